// Feature rows for scoring fuzzed models. The values a model is most
// sensitive to (its own thresholds and their neighbours, zeros, extremes and
// subnormals) are picked by a small generator seeded from the input, and the
// rows are written both packed and as JSON text.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace tallowmere::fuzz {

// FNV-1a of the input: the same input always scores the same rows.
inline uint64_t seed_of(const uint8_t* data, size_t size) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

class Picker {
 public:
  explicit Picker(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return state_ >> 33;
  }
  size_t below(size_t bound) { return bound == 0 ? 0 : next() % bound; }

 private:
  uint64_t state_;
};

// Finite values worth trying: fixed edges plus `near` and their neighbours.
template <class T>
std::vector<T> edge_values(std::span<const float> near) {
  using limits = std::numeric_limits<T>;
  std::vector<T> values{T(0),           -T(0),         T(1),          T(-1),
                        T(0.5),         limits::max(), limits::lowest(), limits::denorm_min(),
                        -limits::min(), T(1e30),       T(-3.25e-7)};
  for (const float t : near) {
    for (const float v : {t, std::nextafter(t, -INFINITY), std::nextafter(t, INFINITY)}) {
      if (std::isfinite(v)) values.push_back(static_cast<T>(v));
    }
  }
  return values;
}

template <class T>
std::vector<T> pick_rows(Picker& picker, const std::vector<T>& candidates, size_t rows,
                         size_t width) {
  std::vector<T> values(rows * width);
  for (T& value : values) value = candidates[picker.below(candidates.size())];
  return values;
}

// A JSON number that reads back as exactly `value`: 17 significant digits
// identify a double, and every float is one. Negative zero keeps its sign.
inline std::string number_text(double value) {
  // Only float rows hold infinities; 1e39 reads as one after rounding.
  if (std::isinf(value)) return value > 0 ? "1e39" : "-1e39";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

template <class T>
std::string matrix_text(std::span<const T> values, size_t width) {
  std::string text = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i % width == 0) text += i == 0 ? "[" : "],[";
    else text += ",";
    text += number_text(static_cast<double>(values[i]));
  }
  if (!values.empty()) text += "]";
  return text + "]";
}

}  // namespace tallowmere::fuzz
