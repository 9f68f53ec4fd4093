#include "policy/feature_input.h"

#include "foundation/boundary.h"
#include "policy/export_fields.h"

namespace tallowmere::policy {

namespace {

template <class T, bool (*read_value)(json::Reader&, T&)>
bool read_matrix(json::Reader& r, JsonRows<T>& out) {
  if (!r.begin_array()) return false;
  bool more_rows;
  while (r.next_element(more_rows) && more_rows) {
    if (!r.begin_array()) return false;
    bool more;
    while (r.next_element(more) && more) {
      T value;
      if (!read_value(r, value)) return false;
      out.values.push_back(value);
    }
    if (r.failed()) return false;
    out.ends.push_back(out.values.size());
  }
  return !r.failed();
}

template <class T, bool (*read_value)(json::Reader&, T&)>
Result<JsonRows<T>> read_rows(std::string_view text) {
  if (text.size() > kFeatureTextLimitBytes) return fail(Code::kPolicyPayloadLimit);
  JsonRows<T> rows;
  std::string error;
  if (!read_document(text, rows, read_matrix<T, read_value>, error)) {
    return fail(Code::kInvalidFeatures, error);
  }
  return rows;
}

bool is_finite_bits(uint32_t bits) { return (bits & 0x7F800000u) != 0x7F800000u; }

}  // namespace

Result<JsonRows<float>> read_f32_rows(std::string_view features_json) {
  return read_rows<float, read_f32>(features_json);
}

Result<JsonRows<double>> read_f64_rows(std::string_view features_json) {
  return read_rows<double, read_f64>(features_json);
}

Result<F32Rows> packed_rows(std::span<const unsigned char> bytes, uint64_t row_count,
                            uint64_t feature_count) {
  if (bytes.size() > kPackedLimitBytes || row_count > kRowLimit || feature_count < 1 ||
      feature_count > kPackedFeatureLimit) {
    return fail(Code::kPolicyPayloadLimit);
  }
  // Both factors are bounded above, so the product cannot wrap.
  if (bytes.size() != row_count * feature_count * sizeof(float)) {
    return fail(Code::kInvalidFeatures, "packed byte length does not match dimensions");
  }
  for (size_t offset = 0; offset < bytes.size(); offset += sizeof(uint32_t)) {
    uint32_t bits;
    std::memcpy(&bits, bytes.data() + offset, sizeof bits);
    if (!is_finite_bits(bits)) return fail(Code::kInvalidFeatures, "nonfinite packed value");
  }
  return F32Rows{bytes.data(), static_cast<size_t>(row_count), static_cast<size_t>(feature_count)};
}

}  // namespace tallowmere::policy
