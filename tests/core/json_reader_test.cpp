// The reader's messages and positions. A position is the line and the byte
// column (both from 1) of the offending byte; at the end of the text it is one
// past the last byte.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json_test_support.h"

namespace tallowmere::json {
namespace {

using testing::at;
using testing::nested_arrays;
using testing::parse;
using testing::skip;

struct Refusal {
  std::string input;
  std::string message;
  int line;
  int column;
};

void expect_refusals(const std::vector<Refusal>& table) {
  for (const auto& row : table) {
    SCOPED_TRACE(row.input);
    const std::string expected = at(row.message, row.line, row.column);
    EXPECT_EQ(parse(row.input).error, expected);
    EXPECT_EQ(skip(row.input).error, expected);
  }
}

TEST(JsonReaderMessages, EndOfText) {
  expect_refusals({
      {"", "EOF while parsing a value", 1, 1},
      {" \n ", "EOF while parsing a value", 2, 2},
      {"[", "EOF while parsing a list", 1, 2},
      {"[1", "EOF while parsing a list", 1, 3},
      {"[1,", "EOF while parsing a value", 1, 4},
      {"[[]", "EOF while parsing a list", 1, 4},
      {"{", "EOF while parsing an object", 1, 2},
      {"{\"a\"", "EOF while parsing an object", 1, 5},
      {"{\"a\":", "EOF while parsing a value", 1, 6},
      {"{\"a\":1", "EOF while parsing an object", 1, 7},
      {"{\"a\":1,", "EOF while parsing a value", 1, 8},
      {"\"abc", "EOF while parsing a string", 1, 5},
      {"{\"ab", "EOF while parsing a string", 1, 5},
      {"\"ab\\", "EOF while parsing a string", 1, 5},
      {"\"a\\n", "EOF while parsing a string", 1, 5},
      {"\"\\u12", "EOF while parsing a string", 1, 6},
      {"\"\\uD800", "EOF while parsing a string", 1, 8},
      {"\"\\uD800\\", "EOF while parsing a string", 1, 9},
      {"\"\\uD800\\uDC", "EOF while parsing a string", 1, 12},
      // A number cut short by the end of the text.
      {"-", "EOF while parsing a value", 1, 2},
      {"1.", "EOF while parsing a value", 1, 3},
      {"1e", "EOF while parsing a value", 1, 3},
      {"1e+", "EOF while parsing a value", 1, 4},
  });
}

TEST(JsonReaderMessages, ExpectedValue) {
  expect_refusals({
      {"x", "expected value", 1, 1},
      {"  ]", "expected value", 1, 3},
      {".5", "expected value", 1, 1},
      {"+1", "expected value", 1, 1},
      {"[x]", "expected value", 1, 2},
      {"{\"a\":x}", "expected value", 1, 6},
      // Literals are checked whole, at their first byte.
      {"nul", "expected value", 1, 1},
      {"[tru]", "expected value", 1, 2},
      {"[nulL]", "expected value", 1, 2},
      {"falsy", "expected value", 1, 1},
      {"NaN", "expected value", 1, 1},
  });
}

TEST(JsonReaderMessages, Separators) {
  expect_refusals({
      {"[1 2]", "expected `,` or `]`", 1, 4},
      {"[1}", "expected `,` or `]`", 1, 3},
      {"[1:2]", "expected `,` or `]`", 1, 3},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}`", 1, 8},
      {"{\"a\":1]", "expected `,` or `}`", 1, 7},
      {"{\"a\" 1}", "expected `:`", 1, 6},
      {"{\"a\",1}", "expected `:`", 1, 5},
      {"{1:2}", "key must be a string", 1, 2},
      {"{,}", "key must be a string", 1, 2},
      {"{\"a\":1,b:2}", "key must be a string", 1, 8},
      {"{'a':1}", "key must be a string", 1, 2},
      {"[1,]", "trailing comma", 1, 4},
      {"[1, \n]", "trailing comma", 2, 1},
      {"{\"a\":1,}", "trailing comma", 1, 8},
      {"[,1]", "expected value", 1, 2},
      {"[1,,2]", "expected value", 1, 4},
  });
}

TEST(JsonReaderMessages, Strings) {
  expect_refusals({
      {"\"\\x\"", "invalid escape", 1, 3},
      {"\"\\U0041\"", "invalid escape", 1, 3},
      {"\"\\u12G4\"", "invalid escape", 1, 6},
      {"\"ab\\'\"", "invalid escape", 1, 5},
      {"\"\\uDC00\"", "invalid unicode code point", 1, 2},
      {"\"\\uD800\\u0041\"", "invalid unicode code point", 1, 8},
      {"\"\\uD800\\uD800\"", "invalid unicode code point", 1, 8},
      {"\"\\uD800\"", "lone leading surrogate in hex escape", 1, 2},
      {"\"x\\uD800y\"", "lone leading surrogate in hex escape", 1, 3},
      {"\"\\uD800\\n\"", "lone leading surrogate in hex escape", 1, 2},
      {"\"\xff\"", "invalid unicode code point", 1, 2},
      {"\"a\xc3\"", "invalid unicode code point", 1, 3},
      {"\"\xc3\xa9\xc3\"", "invalid unicode code point", 1, 4},
      {"\"\xed\xa0\x80\"", "invalid unicode code point", 1, 2},
      {"\"\xf4\x90\x80\x80\"", "invalid unicode code point", 1, 2},
      {"\"\xc1\xbf\"", "invalid unicode code point", 1, 2},
      {"\"\\n\xe0\x80\xbf\"", "invalid unicode code point", 1, 4},
      {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string", 1, 3},
      {std::string("\"\0\"", 3), "control character (\\u0000-\\u001F) found while parsing a string",
       1, 2},
      {"\"\\n\t\"", "control character (\\u0000-\\u001F) found while parsing a string", 1, 4},
      {"{\"k\x1f\":1}", "control character (\\u0000-\\u001F) found while parsing a string", 1, 4},
  });
}

TEST(JsonReaderMessages, Numbers) {
  expect_refusals({
      {"01", "invalid number", 1, 2},
      {"-01", "invalid number", 1, 3},
      {"-a", "invalid number", 1, 2},
      {"[-]", "invalid number", 1, 3},
      {"[1.]", "invalid number", 1, 4},
      {"1.e5", "invalid number", 1, 3},
      {"[1e]", "invalid number", 1, 4},
      {"1e+x", "invalid number", 1, 4},
      {"[01]", "invalid number", 1, 3},
      {"1e400", "number out of range", 1, 1},
      {"[0, -1e400]", "number out of range", 1, 5},
      {"1.7976931348623159e308", "number out of range", 1, 1},
  });
}

TEST(JsonReaderMessages, TrailingCharacters) {
  expect_refusals({
      {"1 2", "trailing characters", 1, 3},
      {"{}x", "trailing characters", 1, 3},
      {"[]]", "trailing characters", 1, 3},
      {"12abc", "trailing characters", 1, 3},
      {"truex", "trailing characters", 1, 5},
      {"\"a\"\"b\"", "trailing characters", 1, 4},
      {"1\n\n  x", "trailing characters", 3, 3},
      {"0\f", "trailing characters", 1, 2},
  });
}

TEST(JsonReaderMessages, PositionsCountLinesAndBytes) {
  expect_refusals({
      {"[\n  1,\n  x\n]", "expected value", 3, 3},
      // A carriage return ends no line; only line feeds count.
      {"{\r\n\"a\" 1}", "expected `:`", 2, 5},
      {"[1,\r2\r,x]", "expected value", 1, 8},
      // Columns count bytes, not characters.
      {"[\"\xc3\xa9\" x]", "expected `,` or `]`", 1, 7},
      {"\n\n\n", "EOF while parsing a value", 4, 1},
      {"[1,\n", "EOF while parsing a value", 2, 1},
  });
}

// The first failure wins: later calls neither replace it nor move it.
TEST(JsonReaderMessages, FirstFailureIsKept) {
  Reader reader("[1,x] trailing");
  Value value;
  EXPECT_FALSE(reader.read_value(value));
  EXPECT_FALSE(reader.finish());
  EXPECT_FALSE(reader.skip_value());
  EXPECT_FALSE(reader.fail_at(0, "other"));
  EXPECT_EQ(reader.error(), at("expected value", 1, 4));
}

TEST(JsonReaderDepth, LimitOfNestedArrays) {
  EXPECT_TRUE(parse(nested_arrays(127)).ok);
  EXPECT_TRUE(skip(nested_arrays(127)).ok);
  EXPECT_EQ(parse(nested_arrays(128)).error, at("recursion limit exceeded", 1, 128));
  EXPECT_EQ(skip(nested_arrays(128)).error, at("recursion limit exceeded", 1, 128));
}

TEST(JsonReaderDepth, LimitOfNestedObjects) {
  auto nested_objects = [](size_t depth) {
    std::string text;
    for (size_t i = 0; i < depth; ++i) text += "{\"a\":";
    text += "0";
    text += std::string(depth, '}');
    return text;
  };
  EXPECT_TRUE(parse(nested_objects(127)).ok);
  EXPECT_TRUE(skip(nested_objects(127)).ok);
  // The 128th brace starts at byte 5 * 127.
  EXPECT_EQ(parse(nested_objects(128)).error, at("recursion limit exceeded", 1, 636));
  EXPECT_EQ(skip(nested_objects(128)).error, at("recursion limit exceeded", 1, 636));
}

// Closing a container gives its level back: siblings do not add up.
TEST(JsonReaderDepth, ClosedContainersReturnTheirLevel) {
  const std::string siblings = "[" + nested_arrays(126) + ",{\"a\":" + nested_arrays(125) + "}," +
                               nested_arrays(126) + "]";
  EXPECT_TRUE(parse(siblings).ok) << parse(siblings).error;
  EXPECT_TRUE(skip(siblings).ok);
  std::string many;
  for (int i = 0; i < 1000; ++i) many += (i ? "," : "") + nested_arrays(100);
  EXPECT_TRUE(parse("[" + many + "]").ok);
}

TEST(JsonReaderDepth, CustomBudget) {
  EXPECT_TRUE(parse(nested_arrays(131), 132).ok);
  EXPECT_EQ(parse(nested_arrays(132), 132).error, at("recursion limit exceeded", 1, 132));
  EXPECT_TRUE(parse("[]", 2).ok);
  EXPECT_EQ(parse("[]", 1).error, at("recursion limit exceeded", 1, 1));
  EXPECT_TRUE(parse("7", 1).ok);
}

// Deep input stops at the budget instead of recursing through the stack.
TEST(JsonReaderDepth, DeepInputFailsCleanly) {
  const std::string arrays(100000, '[');
  EXPECT_EQ(parse(arrays).error, at("recursion limit exceeded", 1, 128));
  EXPECT_EQ(skip(arrays).error, at("recursion limit exceeded", 1, 128));
  std::string mixed;
  for (int i = 0; i < 50000; ++i) mixed += "{\"k\":[";
  EXPECT_EQ(parse(mixed).error, at("recursion limit exceeded", 1, 6 * 63 + 6));
}

}  // namespace
}  // namespace tallowmere::json
