// The identifier rule: 1 to 512 bytes, no control character of either range.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/identifier.h"

namespace tallowmere {
namespace {

std::string repeat(std::string_view unit, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out.append(unit);
  return out;
}

TEST(Identifier, Rule) {
  const std::vector<std::pair<std::string, bool>> rows = {
      {"", false},
      {repeat("x", 512), true},
      {repeat("x", 513), false},
      // Length counts bytes, not characters.
      {repeat("\xc3\xa9", 256), true},
      {repeat("x", 511) + "\xc3\xa9", false},
      {"ns:key/1 \x7e", true},
      {std::string("nul\0byte", 8), false},
      {"\x1f", false},
      {"del\x7f", false},
      // U+0080..U+009F are control characters too; U+00A0 and above are not.
      {"a\xc2\x80", false},
      {"\xc2\x9f", false},
      {"nbsp\xc2\xa0", true},
      {"\xe2\x80\x85\xf0\x9f\x98\x80", true},
  };
  for (const auto& [text, accepted] : rows) {
    SCOPED_TRACE(text);
    const Check check = check_identifier(text);
    EXPECT_EQ(is_identifier(text), accepted);
    EXPECT_EQ(check ? "" : check.error(),
              accepted ? "" : "invalid_identifier: identifiers must contain 1..512 non-control bytes");
  }
}

}  // namespace
}  // namespace tallowmere
