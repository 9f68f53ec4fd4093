// The canonical writer: the escape table, separators, and the key order of
// generic objects.

#include <gtest/gtest.h>

#include <algorithm>
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
// case), as are '"' and '\'; every other byte is copied.
TEST(JsonWriterEscapes, EveryAsciiByte) {
  constexpr char kHex[] = "0123456789abcdef";
  for (int byte = 0; byte < 0x80; ++byte) {
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
    // And the escaped form reads back as the byte.
    const auto parsed = parse(escaped(raw));
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.value.as_string(), raw);
  }
}

TEST(JsonWriterEscapes, NamedCases) {
  const std::vector<std::pair<std::string, std::string_view>> rows = {
      {"\x1b", "\"\\u001b\""},
      {"\x1f", "\"\\u001f\""},
      {"\x0b", "\"\\u000b\""},
      {std::string(1, '\0'), "\"\\u0000\""},
      {"\x7f", "\"\x7f\""},
      {"a/b", "\"a/b\""},
      {"\xc3\xa9", "\"\xc3\xa9\""},
      {"\xe2\x82\xac \xf0\x9f\x98\x80", "\"\xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"\xc2\x85", "\"\xc2\x85\""},
      {"line\nnext \"q\" \\ end", "\"line\\nnext \\\"q\\\" \\\\ end\""},
      {"", "\"\""},
  };
  for (const auto& [raw, expected] : rows) {
    EXPECT_EQ(escaped(raw), expected);
    EXPECT_EQ(string_length(raw), expected.size());
  }
}

TEST(JsonWriterLengths, DecimalLengthAtEveryPowerOfTen) {
  for (uint64_t power = 1, digits = 1; digits <= 20; power *= 10, ++digits) {
    EXPECT_EQ(decimal_length(power), digits);
    EXPECT_EQ(decimal_length(power - 1), std::max<uint64_t>(digits - 1, 1));
    if (digits == 20) break;
  }
  EXPECT_EQ(decimal_length(UINT64_MAX), 20u);
}

// Input escapes are decoded and the canonical form escapes only what it must.
TEST(JsonWriterEscapes, ReadingNormalizesEscapes) {
  const std::vector<std::pair<std::string_view, std::string_view>> rows = {
      {R"(["\/", "\u00e9", "\u20AC", "\ud83d\ude00", "\u001B", "\u007f"])",
       "[\"/\",\"\xc3\xa9\",\"\xe2\x82\xac\",\"\xf0\x9f\x98\x80\",\"\\u001b\",\"\x7f\"]"},
      {R"({"\u0061":"\b\f\n\r\t"})", R"({"a":"\b\f\n\r\t"})"},
  };
  for (const auto& [input, canonical] : rows) {
    const auto parsed = parse(input);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(to_text(parsed.value), canonical);
  }
}

TEST(JsonWriterLayout, SeparatorsAcrossNesting) {
  Writer writer;
  writer.begin_array();
  writer.u64(1);
  writer.begin_object();
  writer.key("a");
  writer.string("x");
  writer.key("b");
  writer.begin_array();
  writer.end_array();
  writer.key("c");
  writer.begin_object();
  writer.end_object();
  writer.key("d");
  writer.i64(-5);
  writer.end_object();
  writer.null();
  writer.boolean(false);
  writer.begin_array();
  writer.f64(0.5);
  writer.end_array();
  writer.end_array();
  EXPECT_EQ(writer.take(), R"([1,{"a":"x","b":[],"c":{},"d":-5},null,false,[0.5]])");
}

TEST(JsonWriterLayout, AppendsToGivenText) {
  std::string out = "prefix:";
  Writer writer(out);
  writer.begin_object();
  writer.key("k");
  writer.u64(18446744073709551615ull);
  writer.end_object();
  EXPECT_EQ(out, R"(prefix:{"k":18446744073709551615})");
}

// Generic values are written compactly, members in ascending byte order, a
// repeated key keeping its last value, numbers in their canonical layout.
TEST(JsonWriterLayout, CanonicalTextOfGenericValues) {
  const std::vector<std::pair<std::string_view, std::string_view>> rows = {
      {R"({"b":1,"a":2})", R"({"a":2,"b":1})"},
      {R"({"a":1,"a":2})", R"({"a":2})"},
      {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"b":1,"a":{"y":[{"d":0,"c":0}],"x":null}})", R"({"a":{"x":null,"y":[{"c":0,"d":0}]},"b":1})"},
      // Byte order: upper case before lower case, a prefix first, ASCII before UTF-8.
      {"{\"\xc3\xa9\":1,\"z\":2,\"ab\":3,\"a\":4,\"B\":5,\"\":6}",
       "{\"\":6,\"B\":5,\"a\":4,\"ab\":3,\"z\":2,\"\xc3\xa9\":1}"},
      {"{\"a\\u0000\":1,\"a\":2}", R"({"a":2,"a\u0000":1})"},
      {" [ 1 , 2 ,\n\t3 ] ", "[1,2,3]"},
      {"[1.0, 1e2, -0, 10, -10, 0.1e1, 18446744073709551616, 1E-7]",
       "[1.0,100.0,-0.0,10,-10,1.0,1.8446744073709552e+19,1e-7]"},
      {"[true,false,null,\"\",[],{}]", "[true,false,null,\"\",[],{}]"},
  };
  for (const auto& [input, canonical] : rows) {
    const auto parsed = parse(input);
    ASSERT_TRUE(parsed.ok) << input << ": " << parsed.error;
    EXPECT_EQ(to_text(parsed.value), canonical) << input;
  }
}

TEST(JsonWriterLayout, BuiltObjectsAreOrderedToo) {
  Object object = make_object({{"zeta", Value(uint64_t{1})}, {"alpha", Value("x")}});
  object.set("mid", Value(true));
  object.set("alpha", Value(nullptr));
  EXPECT_EQ(to_text(Value(std::move(object))), R"({"alpha":null,"mid":true,"zeta":1})");
}

}  // namespace
}  // namespace tallowmere::json
