// Objects keep their members in ascending byte order of their keys, whether
// they are built by sorted insertion or by appending keys that arrive sorted.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json_value.h"
#include "core/json_writer.h"

namespace tallowmere::json {
namespace {

TEST(JsonObject, AppendingSortedKeysEqualsInsertingThemInAnyOrder) {
  // Unsigned byte order: 0x7F sorts before the lead byte 0xC3 of "é".
  const std::vector<std::string> sorted = {"B", "a", "ab", "a\x7f", "\x7f", "\xc3\xa9"};
  Object appended;
  appended.reserve(sorted.size());
  for (const std::string& key : sorted) appended.append_sorted(key, Value(key));
  Object inserted;
  for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) inserted.set(*it, Value(*it));
  EXPECT_EQ(appended, inserted);
  EXPECT_EQ(to_text(Value(appended)),
            "{\"B\":\"B\",\"a\":\"a\",\"ab\":\"ab\",\"a\x7f\":\"a\x7f\",\"\x7f\":\"\x7f\","
            "\"\xc3\xa9\":\"\xc3\xa9\"}");
  ASSERT_NE(appended.find("ab"), nullptr);
  EXPECT_EQ(*appended.find("ab"), Value("ab"));
}

}  // namespace
}  // namespace tallowmere::json
