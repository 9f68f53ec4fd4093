// Boundary decoding: the byte limit is checked before any parsing, then one
// value must fill the text up to trailing whitespace.

#include <gtest/gtest.h>

#include <string>

#include "foundation/boundary.h"

namespace tallowmere {
namespace {

Result<json::Value> decode(std::string_view text, uint64_t limit = kConfigLimitBytes) {
  return decode_boundary<json::Value>(
      text, limit, [](json::Reader& r, json::Value& out) { return r.read_value(out); });
}

TEST(BoundaryDecoding, LimitFirstThenOneValueAndWhitespace) {
  const std::string at_limit = "\"" + std::string(kConfigLimitBytes - 2, 'a') + "\"";
  const std::string limit = "payload_limit: JSON exceeds boundary size";
  const std::pair<std::string, std::string> rows[] = {
      {at_limit, ""},
      {at_limit + " ", limit},
      {"[1," + std::string(kConfigLimitBytes, ' '), limit},
      {" \t{}\n \t\r", ""},
      {"{}\r\nx", "invalid_json: trailing characters at line 2 column 1"},
      {"{}\v", "invalid_json: trailing characters at line 1 column 3"},
      {std::string("{}\0", 3), "invalid_json: trailing characters at line 1 column 3"},
  };
  for (const auto& [text, error] : rows) {
    SCOPED_TRACE(text.substr(0, 20));
    const auto result = decode(text);
    EXPECT_EQ(result ? "" : result.error(), error);
  }
}

}  // namespace
}  // namespace tallowmere
