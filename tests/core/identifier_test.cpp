// The identifier rule: 1 to 512 bytes, no control character of either range.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/identifier.h"

namespace tallowmere {
namespace {

std::string repeat(std::string_view unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out.append(unit);
  return out;
}

TEST(Identifier, Rule) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {"a", true},
      {repeat("x", 512), true},
      {repeat("x", 513), false},
      {"", false},
      // Length counts bytes: 200 two-byte characters fit, 300 do not.
      {repeat("\xc3\xa9", 200), true},
      {repeat("\xc3\xa9", 300), false},
      {repeat("x", 511) + "\xc3\xa9", false},
      {"with space", true},
      {"ns:key/1", true},
      {"tab\there", false},
      {std::string("nul\0byte", 8), false},
      {"\x1f", false},
      {"del\x7f", false},
      {"\x7e", true},
      // U+0080..U+009F are control characters too; U+00A0 and above are not.
      {"a\xc2\x80", false},
      {"next\xc2\x85line", false},
      {"\xc2\x9f", false},
      {"nbsp\xc2\xa0", true},
      {"\xc3\x85", true},
      {"\xe2\x80\x85", true},
      {"\xf0\x9f\x98\x80", true},
  };
  for (const auto& [text, accepted] : rows) {
    SCOPED_TRACE(text);
    const Check check = check_identifier(text);
    EXPECT_EQ(check.ok(), accepted);
    EXPECT_EQ(is_identifier(text), accepted);
    if (!accepted) {
      EXPECT_EQ(check.error(), "invalid_identifier: identifiers must contain 1..512 non-control bytes");
    }
  }
}

}  // namespace
}  // namespace tallowmere
