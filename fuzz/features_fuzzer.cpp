// The feature readers on arbitrary input; the first byte picks the form.
// JSON: the float and double readers accept the same texts with the same row
// shapes, and rows written back as text read back to the same values. Packed:
// a result covers exactly the bytes given, every value finite, and nothing
// past the buffer is ever read (the bytes end where the fuzzer's buffer ends).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "edge_rows.h"
#include "fuzz_check.h"
#include "policy/feature_input.h"

namespace {

using namespace tallowmere;
using namespace tallowmere::policy;
using fuzz::require;

// Bit for bit, so that a zero keeps its sign.
template <class T>
bool same_values(const JsonRows<T>& a, const JsonRows<T>& b) {
  return a.ends == b.ends &&
         std::equal(a.values.begin(), a.values.end(), b.values.begin(), b.values.end(),
                    [](T x, T y) { return std::memcmp(&x, &y, sizeof(T)) == 0; });
}

template <class T>
std::string rows_text(const JsonRows<T>& rows) {
  std::string text = "[";
  for (size_t r = 0; r < rows.count(); ++r) {
    text += r == 0 ? "[" : ",[";
    const std::span<const T> row = rows.row(r);
    for (size_t k = 0; k < row.size(); ++k) {
      if (k > 0) text += ",";
      text += fuzz::number_text(static_cast<double>(row[k]));
    }
    text += "]";
  }
  return text + "]";
}

void json_rows(std::string_view text) {
  const Result<JsonRows<float>> floats = read_f32_rows(text);
  const Result<JsonRows<double>> doubles = read_f64_rows(text);
  if (floats.ok() != doubles.ok()) {
    require(false, "both readers accept the same texts",
            floats.ok() ? doubles.error() : floats.error());
  }
  if (!floats) {
    // The messages may differ only in the type they expected, which comes
    // last before the position; the text before it may quote the input.
    std::string as_double = floats.error();
    if (as_double != doubles.error()) {
      const size_t type = as_double.rfind(", expected f32 at line ");
      if (type != std::string::npos) as_double.replace(type, 14, ", expected f64");
    }
    require(as_double == doubles.error(), "both readers refuse a text alike",
            floats.error() + "\n" + doubles.error());
    return;
  }
  require(floats->ends == doubles->ends, "both readers find the same rows");
  const Result<JsonRows<float>> floats_again = read_f32_rows(rows_text(*floats));
  require(floats_again.ok() && same_values(*floats_again, *floats),
          "float rows written back read the same");
  const Result<JsonRows<double>> doubles_again = read_f64_rows(rows_text(*doubles));
  require(doubles_again.ok() && same_values(*doubles_again, *doubles),
          "double rows written back read the same");
}

void packed(const uint8_t* data, size_t size) {
  if (size < 4) return;
  // Counts up to 65535 reach past both limits; the rest is the payload.
  const uint64_t row_count = data[0] | (uint64_t(data[1]) << 8);
  const uint64_t feature_count = data[2] | (uint64_t(data[3]) << 8);
  const std::span<const unsigned char> bytes(data + 4, size - 4);
  const Result<F32Rows> rows = packed_rows(bytes, row_count, feature_count);
  if (!rows) {
    const std::string& error = rows.error();
    require(error == "policy_payload_limit" ||
                error == "invalid_features: packed byte length does not match dimensions" ||
                error == "invalid_features: nonfinite packed value",
            "a packed refusal is one of its three texts", error);
    return;
  }
  require(rows->count == row_count && rows->width == feature_count, "rows keep their shape");
  require(rows->count * rows->width * 4 == bytes.size(), "rows cover exactly the bytes given");
  for (size_t r = 0; r < rows->count; ++r) {
    for (size_t k = 0; k < rows->width; ++k) {
      const float value = rows->at(r, k);
      require(std::isfinite(value), "every packed value is finite");
      uint32_t bits;
      std::memcpy(&bits, bytes.data() + (r * rows->width + k) * 4, 4);
      require(std::bit_cast<uint32_t>(value) == bits, "a value is its little-endian bytes");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    packed(data + 1, size - 1);
  } else {
    json_rows(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));
  }
  return 0;
}
