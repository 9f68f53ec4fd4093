// The canonical writer: the escape table, the compact text of read and built
// values with their keys in byte order, and canonical texts read as such.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "foundation/json_writer.h"
#include "json_test_support.h"

namespace tallowmere::json {
namespace {

using testing::canonical;
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
    // The same at every place among raw bytes, high ones included, that
    // the writer scans eight at a time.
    const std::string filler = "a\xa0~\xff 0!\x80z#[]\xdf/\x7f{}";
    for (size_t at = 0; at <= filler.size(); ++at) {
      const std::string before = filler.substr(0, at), after = filler.substr(at);
      EXPECT_EQ(escaped(before + raw + after), "\"" + before + expected + after + "\"")
          << "byte " << byte << " at " << at;
      EXPECT_EQ(string_length(before + raw + after), filler.size() + expected.size() + 2);
    }
  }
  EXPECT_EQ(escaped("\xe2\x82\xac a/b \"q\"\n"), "\"\xe2\x82\xac a/b \\\"q\\\"\\n\"");
  EXPECT_EQ(string_length("\xe2\x82\xac a/b \"q\"\n"), 17u);
}

// Read values are written compactly: escapes decoded and only the needed
// ones written, members in ascending byte order (a repeated key keeping its
// last value). Reading the canonical text directly gives the same.
TEST(JsonWriter, CanonicalTextOfReadValues) {
  const std::vector<std::pair<std::string_view, std::string_view>> rows = {
      {R"(["\/", "\u00e9", "\u20AC", "\ud83d\ude00", "\u001B", "\u007f"])",
       "[\"/\",\"\xc3\xa9\",\"\xe2\x82\xac\",\"\xf0\x9f\x98\x80\",\"\\u001b\",\"\x7f\"]"},
      {R"({"\u0061":"\b\f\n\r\t"})", R"({"a":"\b\f\n\r\t"})"},
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"b":1,"a":{"y":[{"d":0,"c":0}],"x":null}})",
       R"({"a":{"x":null,"y":[{"c":0,"d":0}]},"b":1})"},
      {R"({"b":{"d":1,"c":2,"d":3},"a":[],"b":{"f":{"h":0,"g":1},"e":true}})",
       R"({"a":[],"b":{"e":true,"f":{"g":1,"h":0}}})"},
      {"[1E2,1.50,-0,0.0000001,1e16,-12,18446744073709551616]",
       "[100.0,1.5,-0.0,1e-7,1e+16,-12,1.8446744073709552e+19]"},
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
    EXPECT_EQ(testing::canonical(input).canonical, canonical) << input;
  }
}

// Canonical texts compare as the values they hold, which differ in text
// without differing in value only by the sign of a zero double.
TEST(JsonWriter, CanonicalTextsCompareAsValues) {
  const std::vector<std::tuple<std::string_view, std::string_view, bool>> rows = {
      {"0.0", "-0.0", true},
      {"-0", "0.0", true},
      {"[0.0,-0.0]", "[-0.0,0.0]", true},
      {R"({"b":-0.0,"a":{"c":[-0.0]}})", R"({"a":{"c":[0.0]},"b":0.0})", true},
      {"1e2", "100.0", true},
      {"1.50", "1.5", true},
      {"[-0.0,1]", "[0.0,2]", false},
      {"-0.0", "0", false},  // an integer is not a double
      {"-0", "0", false},
      {"1", "1.0", false},
      {"0.001", "-0.001", false},
      {"[0.0]", "[-0.001]", false},
      {R"("-0.0")", R"("0.0")", false},
      {R"(["a\"-0.0"])", R"(["a\"0.0"])", false},  // still inside the string
      {R"(["a\\",-0.0])", R"(["a\\",0.0])", true},  // the string has ended
      {R"({"-0.0":1})", R"({"0.0":1})", false},
  };
  for (const auto& [a, b, equal] : rows) {
    SCOPED_TRACE(std::string(a) + " vs " + std::string(b));
    const CanonicalText left = testing::canonical_text(a);
    const CanonicalText right = testing::canonical_text(b);
    EXPECT_EQ(left == right, equal);
    EXPECT_EQ(right == left, equal);
    // The trees agree, and so does a value carrying one text beside a tree.
    EXPECT_EQ(parse(a).value == parse(b).value, equal);
    EXPECT_EQ(Value(left) == parse(b).value, equal);
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
