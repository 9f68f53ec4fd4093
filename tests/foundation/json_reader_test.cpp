// The reader's messages and positions, read, read as canonical text and
// skipped alike. A position is
// the line and the byte column (both from 1) of the offending byte; at the
// end of the text it is one past the last byte. The corpus covers surrogate
// escapes and most malformed UTF-8; these rows pin what it leaves open.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json_test_support.h"

namespace tallowmere::json {
namespace {

using testing::at;
using testing::canonical;
using testing::nested_arrays;
using testing::parse;
using testing::skip;

const std::string kControl = "control character (\\u0000-\\u001F) found while parsing a string";

struct Refusal {
  std::string input;
  std::string message;
  int line;
  int column;
};

TEST(JsonReader, RefusesWithMessageAndPosition) {
  const std::vector<Refusal> rows = {
      {"", "EOF while parsing a value", 1, 1},
      {"[[]", "EOF while parsing a list", 1, 4},
      {"{\"a\":1", "EOF while parsing an object", 1, 7},
      {"{\"ab", "EOF while parsing a string", 1, 5},
      {"\"\\uD800\\uDC", "EOF while parsing a string", 1, 12},
      {"1e+", "EOF while parsing a value", 1, 4},  // a number cut short
      {"  ]", "expected value", 1, 3},
      {"[tru]", "expected value", 1, 2},  // literals are checked whole, at their first byte
      {"[1:2]", "expected `,` or `]`", 1, 3},
      {"{\"a\":1]", "expected `,` or `}`", 1, 7},
      {"{\"a\",1}", "expected `:`", 1, 5},
      {"{\"a\":1,b:2}", "key must be a string", 1, 8},
      {"[1, \n]", "trailing comma", 2, 1},
      {"{\"a\":1,}", "trailing comma", 1, 8},
      {"\"ab\\'\"", "invalid escape", 1, 5},
      {"\"\\u12G4\"", "invalid escape", 1, 6},
      {"\"x\\uD800y\"", "lone leading surrogate in hex escape", 1, 3},
      {"\"\xc3\xa9\xc3\"", "invalid unicode code point", 1, 4},       // truncated
      {"\"\xc1\xbf\"", "invalid unicode code point", 1, 2},           // overlong, 2 bytes
      {"\"\\n\xe0\x80\xbf\"", "invalid unicode code point", 1, 4},    // overlong, 3 bytes
      {"\"\xf4\x90\x80\x80\"", "invalid unicode code point", 1, 2},   // above U+10FFFF
      {std::string("\"\0\"", 3), kControl, 1, 2},
      {"{\"k\x1f\":1}", kControl, 1, 4},
      // Past the stretches of plain bytes read eight at a time.
      {"\"abcdefghijklmnop\x01\"", kControl, 1, 18},
      {"\"abcdefghijklm\xc3\xa9nopqrstuvw\xc3\"", "invalid unicode code point", 1, 27},
      {"-01", "invalid number", 1, 3},
      {"-a", "invalid number", 1, 2},
      {"[1.]", "invalid number", 1, 4},
      {"1e+x", "invalid number", 1, 4},
      {"[0, -1e400]", "number out of range", 1, 5},
      {"truex", "trailing characters", 1, 5},
      {"0\f", "trailing characters", 1, 2},
      {"1\n\n  x", "trailing characters", 3, 3},
      // Only line feeds end lines; columns count bytes.
      {"{\r\n\"a\" 1}", "expected `:`", 2, 5},
      {"[1,\r2\r,x]", "expected value", 1, 8},
      {"[\"\xc3\xa9\" x]", "expected `,` or `]`", 1, 7},
      // The 128th opening bracket is refused, also in input far too deep to
      // recurse through.
      {std::string(100000, '['), "recursion limit exceeded", 1, 128},
  };
  for (const Refusal& row : rows) {
    SCOPED_TRACE(row.input);
    const std::string expected = at(row.message, row.line, row.column);
    EXPECT_EQ(parse(row.input).error, expected);
    EXPECT_EQ(skip(row.input).error, expected);
    EXPECT_EQ(canonical(row.input).error, expected);
  }
}

// The first failure wins: later calls neither replace it nor move it.
TEST(JsonReader, FirstFailureIsKept) {
  Reader reader("[1,x] trailing");
  Value value;
  EXPECT_FALSE(reader.read_value(value));
  EXPECT_FALSE(reader.finish());
  EXPECT_FALSE(reader.skip_value());
  EXPECT_FALSE(reader.fail_at(0, "other"));
  EXPECT_EQ(reader.error(), at("expected value", 1, 4));
}

TEST(JsonReader, DepthBudget) {
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += "{\"a\":";
  // Closed containers give their level back: siblings do not add up.
  const std::string siblings = "[" + nested_arrays(126) + ",{\"a\":" + nested_arrays(125) + "}," +
                               nested_arrays(126) + "]";
  for (auto run : {parse, canonical, skip}) {
    EXPECT_TRUE(run(nested_arrays(127), kDefaultDepthBudget).ok);
    EXPECT_TRUE(run(siblings, kDefaultDepthBudget).ok);
    // The 128th brace starts at byte 5 * 127.
    EXPECT_EQ(run(objects + "0", kDefaultDepthBudget).error, at("recursion limit exceeded", 1, 636));
  }
}

}  // namespace
}  // namespace tallowmere::json
