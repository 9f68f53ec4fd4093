// Feature inputs: the JSON matrix for each precision and packed float32 rows.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "policy/feature_input.h"
#include "policy_test_support.h"

namespace tallowmere::policy {
namespace {

using testing::at_column;

std::vector<unsigned char> pack(const std::vector<uint32_t>& words) {
  std::vector<unsigned char> out;
  for (uint32_t w : words) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(w >> shift));
  }
  return out;
}

std::vector<unsigned char> pack_floats(const std::vector<float>& values) {
  std::vector<uint32_t> words;
  for (float v : values) words.push_back(std::bit_cast<uint32_t>(v));
  return pack(words);
}

TEST(JsonMatrix, ReadsRaggedRowsInEachPrecision) {
  Result<JsonRows<float>> f = read_f32_rows(" [[0.1,2],[],[-1e-3,1e39,-0]] ");
  ASSERT_TRUE(f) << f.error();
  ASSERT_EQ(f->count(), 3u);
  EXPECT_EQ(f->row(0).size(), 2u);
  EXPECT_EQ(f->row(1).size(), 0u);
  EXPECT_EQ(f->row(0)[0], 0.1f);
  EXPECT_EQ(f->row(2)[0], -1e-3f);
  EXPECT_TRUE(std::isinf(f->row(2)[1]));  // rejected by the scorer, not here
  EXPECT_TRUE(std::signbit(f->row(2)[2]));

  Result<JsonRows<double>> d = read_f64_rows("[[0.1,1e39]]");
  ASSERT_TRUE(d) << d.error();
  EXPECT_EQ(d->row(0)[0], 0.1);
  EXPECT_EQ(d->row(0)[1], 1e39);

  Result<JsonRows<float>> empty = read_f32_rows("[]");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->count(), 0u);
}

TEST(JsonMatrix, ReaderMessages) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"a":1})", "invalid type: map, expected sequence" + at_column(0)},
      {R"([[1,"x"]])", "invalid type: string \"x\", expected f32" + at_column(4)},
      {"[[1,2],]", "trailing comma" + at_column(7)},
      {"[[1],[2]] 3", "trailing characters" + at_column(10)},
      {"[[1e400]]", "number out of range" + at_column(2)},
      {"[1]", "invalid type: integer `1`, expected sequence" + at_column(1)},
      {"", "EOF while parsing a value" + at_column(0)},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    Result<JsonRows<float>> rows = read_f32_rows(text);
    ASSERT_FALSE(rows);
    EXPECT_EQ(rows.error(), "invalid_features: " + message);
  }
  Result<JsonRows<double>> doubles = read_f64_rows("[[null]]");
  ASSERT_FALSE(doubles);
  EXPECT_EQ(doubles.error(), "invalid_features: invalid type: null, expected f64" + at_column(2));
}

TEST(JsonMatrix, SizeLimit) {
  std::string exact = "[[1]]" + std::string(kFeatureTextLimitBytes - 5, ' ');
  EXPECT_TRUE(read_f32_rows(exact));
  EXPECT_TRUE(read_f64_rows(exact));
  exact.push_back(' ');
  EXPECT_EQ(read_f32_rows(exact).error(), "policy_payload_limit");
  EXPECT_EQ(read_f64_rows(exact).error(), "policy_payload_limit");
}

TEST(PackedRows, DecodesLittleEndianRowsInPlace) {
  const std::vector<unsigned char> bytes = pack({0x3F800000, 0x80000000, 0xC0490FDB, 0x00000001,
                                                 0x7F7FFFFF, 0x00000000});
  Result<F32Rows> rows = packed_rows(bytes, 2, 3);
  ASSERT_TRUE(rows) << rows.error();
  EXPECT_EQ(rows->data, bytes.data());
  EXPECT_EQ(rows->at(0, 0), 1.0f);
  EXPECT_TRUE(std::signbit(rows->at(0, 1)));
  EXPECT_EQ(rows->at(0, 2), -3.14159274f);
  EXPECT_EQ(rows->at(1, 0), std::bit_cast<float>(uint32_t{1}));  // smallest subnormal
  EXPECT_EQ(rows->at(1, 1), 3.40282347e38f);
  Result<F32Rows> none = packed_rows({}, 0, 3);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->count, 0u);
}

TEST(PackedRows, ChecksInOrder) {
  const std::string limit = "policy_payload_limit";
  const std::string length = "invalid_features: packed byte length does not match dimensions";
  const std::string nonfinite = "invalid_features: nonfinite packed value";
  const auto two_rows = pack_floats(std::vector<float>(6, 1.0f));
  auto error_of = [](const std::vector<unsigned char>& bytes, uint64_t rows, uint64_t features) {
    Result<F32Rows> out = packed_rows(bytes, rows, features);
    return out ? std::string("<ok>") : out.error();
  };
  auto with_word = [&](size_t index, uint32_t word) {
    std::vector<unsigned char> bytes = two_rows;
    std::memcpy(bytes.data() + index * 4, &word, 4);
    return bytes;
  };
  const std::vector<unsigned char> too_many(kPackedLimitBytes + 4, 0);
  EXPECT_EQ(error_of(two_rows, 2, 3), "<ok>");
  EXPECT_EQ(error_of({two_rows.begin(), two_rows.end() - 1}, 2, 3), length);
  EXPECT_EQ(error_of(pack_floats(std::vector<float>(7, 1.0f)), 2, 3), length);
  EXPECT_EQ(error_of({two_rows.begin(), two_rows.end() - 1}, 4097, 3), limit);
  EXPECT_EQ(error_of({}, 4097, 3), limit);
  EXPECT_EQ(error_of(pack_floats(std::vector<float>(4096, 1.0f)), 4096, 1), "<ok>");
  EXPECT_EQ(error_of({}, 0, 0), limit);
  EXPECT_EQ(error_of({}, 0, 4097), limit);
  EXPECT_EQ(error_of(too_many, 4, 1), limit);
  EXPECT_EQ(error_of(with_word(5, 0x7F800000), 2, 3), nonfinite);  // +inf
  EXPECT_EQ(error_of(with_word(0, 0xFF800000), 2, 3), nonfinite);  // -inf
  EXPECT_EQ(error_of(with_word(3, 0x7FC00000), 2, 3), nonfinite);  // quiet NaN
  EXPECT_EQ(error_of(with_word(3, 0xFF800001), 2, 3), nonfinite);  // NaN with a payload
  EXPECT_EQ(error_of(with_word(3, 0x3F800000), 2, 3), "<ok>");
  // Length before finiteness.
  auto short_nan = with_word(0, 0x7FC00000);
  short_nan.pop_back();
  EXPECT_EQ(error_of(short_nan, 2, 3), length);
}

// The largest input: 8 MiB of bytes, exactly at the limit.
TEST(PackedRows, AcceptsTheFullSize) {
  const std::vector<unsigned char> bytes(kPackedLimitBytes, 0);
  Result<F32Rows> rows = packed_rows(bytes, 4096, 512);
  ASSERT_TRUE(rows) << rows.error();
  EXPECT_EQ(rows->width, 512u);
}

}  // namespace
}  // namespace tallowmere::policy
