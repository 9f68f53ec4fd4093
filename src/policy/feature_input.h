// Feature rows handed to the scorers: a JSON matrix read into rows, or packed
// little-endian float32 rows validated and then read where they lie.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "foundation/result.h"

namespace tallowmere::policy {

inline constexpr uint64_t kFeatureTextLimitBytes = 8388608;
inline constexpr uint64_t kPackedLimitBytes = 8388608;
inline constexpr uint64_t kRowLimit = 4096;
inline constexpr uint64_t kPackedFeatureLimit = 4096;

// Rows of a JSON matrix, their values back to back. Rows may differ in
// length; the scorers check each against the model.
template <class T>
struct JsonRows {
  std::vector<T> values;
  std::vector<size_t> ends;  // one past the last value of each row

  size_t count() const { return ends.size(); }
  std::span<const T> row(size_t index) const {
    const size_t begin = index == 0 ? 0 : ends[index - 1];
    return std::span<const T>(values).subspan(begin, ends[index] - begin);
  }
};

// Fractions and exponents round through double; integers convert directly.
Result<JsonRows<float>> read_f32_rows(std::string_view features_json);
Result<JsonRows<double>> read_f64_rows(std::string_view features_json);

// Packed input needs no decoding step: on a little-endian host its bytes
// already are the floats.
static_assert(std::endian::native == std::endian::little,
              "packed rows are read in place on little-endian hosts");

// A row-major matrix of finite float32 values that may sit at any alignment,
// such as the bytes of a Python bytes object.
struct F32Rows {
  const unsigned char* data = nullptr;
  size_t count = 0;
  size_t width = 0;

  float at(size_t row, size_t k) const {
    float value;
    std::memcpy(&value, data + (row * width + k) * sizeof(float), sizeof(float));
    return value;
  }
};

// Checks the limits, the length and every value's finiteness; the result
// points into `bytes`, which must outlive it.
Result<F32Rows> packed_rows(std::span<const unsigned char> bytes, uint64_t row_count,
                            uint64_t feature_count);

}  // namespace tallowmere::policy
