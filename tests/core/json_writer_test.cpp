// The canonical writer: the escape table, and the compact text of read and
// built values with their keys in byte order.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json_writer.h"
#include "json_test_support.h"

namespace tallowmere::json {
namespace {

using testing::parse;

std::string escaped(std::string_view s) {
  std::string out;
  append_string(out, s);
  return out;
}

// Bytes below 0x20 are escaped (five by name, the rest as \u00xx in lower
// case), as are '"' and '\'; every other byte is copied, and the escaped form
// reads back as the byte.
TEST(JsonWriter, EscapeTable) {
  constexpr char kHex[] = "0123456789abcdef";
  for (int byte = 0; byte < 0x100; ++byte) {
    const std::string raw(1, static_cast<char>(byte));
    std::string expected;
    switch (byte) {
      case '\b': expected = "\\b"; break;
      case '\t': expected = "\\t"; break;
      case '\n': expected = "\\n"; break;
      case '\f': expected = "\\f"; break;
      case '\r': expected = "\\r"; break;
      case '"': expected = "\\\""; break;
      case '\\': expected = "\\\\"; break;
      default:
        expected = byte < 0x20 ? std::string("\\u00") + kHex[byte >> 4] + kHex[byte & 15] : raw;
    }
    EXPECT_EQ(escaped(raw), "\"" + expected + "\"") << "byte " << byte;
    EXPECT_EQ(string_length(raw), expected.size() + 2) << "byte " << byte;
    if (byte < 0x80) {
      EXPECT_EQ(parse(escaped(raw)).value, Value(raw)) << "byte " << byte;
    }
  }
  EXPECT_EQ(escaped("\xe2\x82\xac a/b \"q\"\n"), "\"\xe2\x82\xac a/b \\\"q\\\"\\n\"");
  EXPECT_EQ(string_length("\xe2\x82\xac a/b \"q\"\n"), 17u);
}

// Read values are written compactly: escapes decoded and only the needed
// ones written, members in ascending byte order (a repeated key keeping its
// last value).
TEST(JsonWriter, CanonicalTextOfReadValues) {
  const std::vector<std::pair<std::string_view, std::string_view>> rows = {
      {R"(["\/", "\u00e9", "\u20AC", "\ud83d\ude00", "\u001B", "\u007f"])",
       "[\"/\",\"\xc3\xa9\",\"\xe2\x82\xac\",\"\xf0\x9f\x98\x80\",\"\\u001b\",\"\x7f\"]"},
      {R"({"\u0061":"\b\f\n\r\t"})", R"({"a":"\b\f\n\r\t"})"},
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"b":1,"a":{"y":[{"d":0,"c":0}],"x":null}})",
       R"({"a":{"x":null,"y":[{"c":0,"d":0}]},"b":1})"},
      // Unsigned byte order: upper case first, a prefix first, 0x7F before UTF-8.
      {"{\"\xc3\xa9\":1,\"\x7f\":0,\"z\":2,\"ab\":3,\"a\":4,\"B\":5,\"\":6}",
       "{\"\":6,\"B\":5,\"a\":4,\"ab\":3,\"z\":2,\"\x7f\":0,\"\xc3\xa9\":1}"},
      {"{\"a\\u0000\":1,\"a\":2}", R"({"a":2,"a\u0000":1})"},
      {" [ 1 , 2 ,\n\t3 ] ", "[1,2,3]"},
  };
  for (const auto& [input, canonical] : rows) {
    const auto parsed = parse(input);
    ASSERT_TRUE(parsed.ok) << input << ": " << parsed.error;
    EXPECT_EQ(to_text(parsed.value), canonical) << input;
  }
}

// Built objects are ordered the same way, whether by sorted insertion (a
// repeated key replacing its value) or by appending keys that arrive sorted.
TEST(JsonWriter, BuiltObjectsAreOrdered) {
  const std::vector<std::string> sorted = {"B", "a", "ab", "a\x7f", "zeta", "\x7f", "\xc3\xa9"};
  Object appended;
  for (const std::string& key : sorted) appended.append_sorted(key, Value(key));
  Object inserted = make_object({{"zeta", Value(true)}});
  for (auto it = sorted.rbegin(); it != sorted.rend(); ++it) inserted.set(*it, Value(*it));
  EXPECT_EQ(appended, inserted);
  EXPECT_EQ(to_text(Value(inserted)),
            "{\"B\":\"B\",\"a\":\"a\",\"ab\":\"ab\",\"a\x7f\":\"a\x7f\",\"zeta\":\"zeta\","
            "\"\x7f\":\"\x7f\",\"\xc3\xa9\":\"\xc3\xa9\"}");
  ASSERT_NE(appended.find("ab"), nullptr);
  EXPECT_EQ(*appended.find("ab"), Value("ab"));
}

}  // namespace
}  // namespace tallowmere::json
