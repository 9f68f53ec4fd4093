// Boundary decoding: the byte limit is checked before any parsing, then one
// value must fill the text up to trailing whitespace.

#include <gtest/gtest.h>

#include <string>

#include "core/boundary.h"
#include "json_test_support.h"

namespace tallowmere {
namespace {

using json::testing::nested_arrays;

bool read_any(json::Reader& r, json::Value& out) { return r.read_value(out); }

Result<json::Value> decode(std::string_view text, uint64_t limit) {
  return decode_boundary<json::Value>(text, limit, read_any);
}

TEST(BoundaryDecoding, LimitComesFirst) {
  const std::string text = "[1,2,3]";
  EXPECT_TRUE(decode(text, text.size()).ok());
  EXPECT_EQ(decode(text, text.size() - 1).error(), "payload_limit: JSON exceeds boundary size");
  EXPECT_EQ(decode("[1,", 2).error(), "payload_limit: JSON exceeds boundary size");
  EXPECT_EQ(decode("", 0).error(), "invalid_json: EOF while parsing a value at line 1 column 1");
}

TEST(BoundaryDecoding, ConfigLimit) {
  std::string text = "\"" + std::string(kConfigLimitBytes - 2, 'a') + "\"";
  ASSERT_EQ(text.size(), kConfigLimitBytes);
  EXPECT_TRUE(decode(text, kConfigLimitBytes).ok());
  text.insert(1, "a");
  EXPECT_EQ(decode(text, kConfigLimitBytes).error(), "payload_limit: JSON exceeds boundary size");
}

TEST(BoundaryDecoding, OnlyWhitespaceMayFollow) {
  struct Row {
    std::string_view text;
    std::string_view error;  // empty: accepted
  };
  const Row rows[] = {
      {"{\"a\":1}\r\n", ""},
      {" \t{}\n \t\r", ""},
      {"{\"a\":1}x", "invalid_json: trailing characters at line 1 column 8"},
      {"{}\r\nx", "invalid_json: trailing characters at line 2 column 1"},
      {"{} {}", "invalid_json: trailing characters at line 1 column 4"},
      {"{}\v", "invalid_json: trailing characters at line 1 column 3"},
      {std::string_view("{}\0", 3), "invalid_json: trailing characters at line 1 column 3"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const auto result = decode(row.text, 65536);
    if (row.error.empty()) {
      EXPECT_TRUE(result.ok()) << result.error();
    } else {
      EXPECT_EQ(result.error(), row.error);
    }
  }
}

TEST(BoundaryDecoding, DepthLimit) {
  EXPECT_TRUE(decode(nested_arrays(127), 65536).ok());
  EXPECT_EQ(decode(nested_arrays(128), 65536).error(),
            "invalid_json: recursion limit exceeded at line 1 column 128");
}

}  // namespace
}  // namespace tallowmere
