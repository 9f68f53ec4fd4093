// Boundary decoding (the byte limit before any parsing, then one value up to
// trailing whitespace) and the identifier rule. SHA-256 is checked against
// hashlib by the binding tests that forge journals.

#include <gtest/gtest.h>

#include <string>

#include "foundation/boundary.h"
#include "foundation/identifier.h"

namespace tallowmere {
namespace {

TEST(BoundaryDecoding, LimitFirstThenOneValueAndWhitespace) {
  const std::string at_limit = "\"" + std::string(kConfigLimitBytes - 2, 'a') + "\"";
  const std::string limit = "payload_limit: JSON exceeds boundary size";
  const std::pair<std::string, std::string> rows[] = {
      {at_limit, ""}, {at_limit + " ", limit}, {"[1," + std::string(kConfigLimitBytes, ' '), limit},
      {" \t{}\n \t\r", ""}, {"{}\r\nx", "invalid_json: trailing characters at line 2 column 1"},
      {"{}\v", "invalid_json: trailing characters at line 1 column 3"},
      {std::string("{}\0", 3), "invalid_json: trailing characters at line 1 column 3"},
  };
  for (const auto& [text, error] : rows) {
    const auto result = decode_boundary<json::Value>(
        text, kConfigLimitBytes, [](json::Reader& r, json::Value& out) { return r.read_value(out); });
    EXPECT_EQ(result ? "" : result.error(), error) << text.substr(0, 20);
  }
}

// 1 to 512 bytes, no control character of either range.
TEST(Identifier, Rule) {
  const std::string x511(511, 'x');
  std::string e_acute_256;
  for (int i = 0; i < 256; ++i) e_acute_256 += "\xc3\xa9";
  const std::pair<std::string, bool> rows[] = {
      {"", false}, {x511 + "x", true}, {x511 + "xx", false},
      // Length counts bytes, not characters.
      {e_acute_256, true}, {x511 + "\xc3\xa9", false},
      {"ns:key/1 \x7e", true}, {std::string("nul\0byte", 8), false}, {"\x1f", false}, {"del\x7f", false},
      // U+0080..U+009F are control characters too; U+00A0 and above are not.
      {"a\xc2\x80", false}, {"\xc2\x9f", false}, {"nbsp\xc2\xa0", true},
      {"\xe2\x80\x85\xf0\x9f\x98\x80", true},
  };
  for (const auto& [text, accepted] : rows) {
    const Check check = check_identifier(text);
    EXPECT_EQ(is_identifier(text), accepted) << text;
    EXPECT_EQ(check ? "" : check.error(),
              accepted ? "" : "invalid_identifier: identifiers must contain 1..512 non-control bytes");
  }
}

}  // namespace
}  // namespace tallowmere
