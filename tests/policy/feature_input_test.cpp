// Feature inputs: the JSON matrix's messages and limit for each precision, and
// packed float32 rows. Their values are checked through the scorers.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "policy/feature_input.h"
#include "policy_test_support.h"

namespace tallowmere::policy {
namespace {

using testing::at_column;

TEST(JsonMatrix, RefusalsAndSizeLimit) {
  auto f32_error = [](const std::string& text) { return read_f32_rows(text).error(); };
  EXPECT_EQ(f32_error(R"({"a":1})"), "invalid_features: invalid type: map, expected sequence" + at_column(0));
  EXPECT_EQ(f32_error("[1]"), "invalid_features: invalid type: integer `1`, expected sequence" + at_column(1));
  EXPECT_EQ(f32_error(R"([[1,"x"]])"), "invalid_features: invalid type: string \"x\", expected f32" + at_column(4));
  EXPECT_EQ(f32_error("[[1e400]]"), "invalid_features: number out of range" + at_column(2));
  EXPECT_EQ(read_f64_rows("[[null]]").error(),
            "invalid_features: invalid type: null, expected f64" + at_column(2));
  std::string exact = "[[1]]" + std::string(kFeatureTextLimitBytes - 5, ' ');
  EXPECT_TRUE(read_f32_rows(exact));
  EXPECT_TRUE(read_f64_rows(exact));
  exact.push_back(' ');
  EXPECT_EQ(read_f32_rows(exact).error(), "policy_payload_limit");
  EXPECT_EQ(read_f64_rows(exact).error(), "policy_payload_limit");
}

std::vector<unsigned char> pack(const std::vector<uint32_t>& words) {
  std::vector<unsigned char> out;
  for (uint32_t w : words) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(w >> shift));
  }
  return out;
}

// Limits first, then the length, then finiteness.
TEST(PackedRows, ChecksInOrder) {
  const std::string limit = "policy_payload_limit";
  const std::string length = "invalid_features: packed byte length does not match dimensions";
  const std::string nonfinite = "invalid_features: nonfinite packed value";
  const std::vector<unsigned char> ones = pack(std::vector<uint32_t>(6, 0x3F800000));
  auto with_word = [&](size_t index, uint32_t word, size_t drop = 0) {
    std::vector<unsigned char> bytes = ones;
    std::memcpy(bytes.data() + index * 4, &word, 4);
    bytes.resize(bytes.size() - drop);
    return bytes;
  };
  const std::tuple<std::vector<unsigned char>, uint64_t, uint64_t, std::string> cases[] = {
      {ones, 2, 3, ""},
      {with_word(0, 0x3F800000, 1), 2, 3, length},
      {pack(std::vector<uint32_t>(7, 0)), 2, 3, length},
      {with_word(0, 0x3F800000, 1), 4097, 3, limit},
      {pack(std::vector<uint32_t>(4096, 0)), 4096, 1, ""},
      {{}, 0, 0, limit},
      {{}, 0, 4097, limit},
      {std::vector<unsigned char>(kPackedLimitBytes + 4, 0), 4, 1, limit},
      {std::vector<unsigned char>(kPackedLimitBytes, 0), 4096, 512, ""},
      {with_word(5, 0x7F800000), 2, 3, nonfinite},  // +inf
      {with_word(3, 0xFF800001), 2, 3, nonfinite},  // NaN with a payload
      {with_word(0, 0x7FC00000, 1), 2, 3, length},
  };
  EXPECT_EQ(packed_rows(ones, 2, 3)->data, ones.data());  // read where they lie
  EXPECT_EQ(packed_rows(ones, 2, 3)->at(1, 2), 1.0f);
  for (const auto& [bytes, rows, features, error] : cases) {
    Result<F32Rows> out = packed_rows(bytes, rows, features);
    EXPECT_EQ(out ? "" : out.error(), error) << bytes.size() << " bytes, " << rows << "x" << features;
  }
}

}  // namespace
}  // namespace tallowmere::policy
