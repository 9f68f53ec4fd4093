// The JSON reader and writer: what every walk of a text gives (a tree, the
// canonical text, a skip), with the reader's messages and positions; the
// parsing corpus; numbers; and the writer's escapes and key order.
//
// Robustness on arbitrary text is the records fuzzer's (fuzz/records_fuzzer):
// any value read is written, read back equal, and read as canonical text
// fails or succeeds as the tree does.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "foundation/json_number.h"
#include "foundation/json_writer.h"
#include "json_test_support.h"

namespace tallowmere::json {
namespace {

using testing::at;

enum class Walk { Build, Canonical, Skip };

struct Parsed {
  bool ok = false;
  Value value;
  std::string canonical, error;
};

Parsed walk(std::string_view text, Walk how = Walk::Build) {
  Reader reader(text);
  Parsed out;
  CanonicalText canonical;
  out.ok = (how == Walk::Build       ? reader.read_value(out.value)
            : how == Walk::Canonical ? reader.read_canonical(canonical)
                                     : reader.skip_value()) &&
           reader.finish();
  out.canonical = canonical.text();
  out.error = out.ok ? "" : reader.error();
  return out;
}

// The canonical text of the tree, or the error; reading the canonical text
// directly and skipping the value must end the same way.
std::string outcome(std::string_view text) {
  const Parsed tree = walk(text), direct = walk(text, Walk::Canonical), skip = walk(text, Walk::Skip);
  const std::string seen = tree.ok ? to_text(tree.value) : tree.error;
  const bool agree = (direct.ok ? direct.canonical : direct.error) == seen && skip.ok == tree.ok &&
                     skip.error == tree.error;
  return agree ? seen : "walks disagree: " + seen;
}

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// A position is the line and byte column (from 1) of the offending byte, one
// past the last byte at the end of the text. The corpus covers surrogate
// escapes and most malformed UTF-8; these rows pin what it leaves open.
TEST(JsonText, EveryWalkEndsAlike) {
  const std::string control = "control character (\\u0000-\\u001F) found while parsing a string";
  const std::string bad_code_point = "invalid unicode code point";
  std::string objects;
  for (int i = 0; i < 128; ++i) objects += "{\"a\":";
  // Closed containers give their level back: siblings do not add up.
  const std::string siblings =
      "[" + nested(126) + ",{\"a\":" + nested(125) + "}," + nested(126) + "]";
  const std::pair<std::string, std::string> rows[] = {
      {"", at("EOF while parsing a value", 1, 1)}, {"[[]", at("EOF while parsing a list", 1, 4)},
      {"{\"a\":1", at("EOF while parsing an object", 1, 7)}, {"{\"ab", at("EOF while parsing a string", 1, 5)},
      {"\"\\uD800\\uDC", at("EOF while parsing a string", 1, 12)},
      {"1e+", at("EOF while parsing a value", 1, 4)},  // a number cut short
      {"  ]", at("expected value", 1, 3)},
      {"[tru]", at("expected value", 1, 2)},  // literals are checked whole, at their first byte
      {"[1:2]", at("expected `,` or `]`", 1, 3)}, {"{\"a\":1]", at("expected `,` or `}`", 1, 7)},
      {"{\"a\",1}", at("expected `:`", 1, 5)}, {"{\"a\":1,b:2}", at("key must be a string", 1, 8)},
      {"[1, \n]", at("trailing comma", 2, 1)}, {"{\"a\":1,}", at("trailing comma", 1, 8)},
      {"\"ab\\'\"", at("invalid escape", 1, 5)}, {"\"\\u12G4\"", at("invalid escape", 1, 6)},
      {"\"x\\uD800y\"", at("lone leading surrogate in hex escape", 1, 3)},
      // Truncated; overlong in 2 and 3 bytes; above U+10FFFF.
      {"\"\xc3\xa9\xc3\"", at(bad_code_point, 1, 4)}, {"\"\xc1\xbf\"", at(bad_code_point, 1, 2)},
      {"\"\\n\xe0\x80\xbf\"", at(bad_code_point, 1, 4)}, {"\"\xf4\x90\x80\x80\"", at(bad_code_point, 1, 2)},
      {std::string("\"\0\"", 3), at(control, 1, 2)}, {"{\"k\x1f\":1}", at(control, 1, 4)},
      // Past the stretches of plain bytes read eight at a time.
      {"\"abcdefghijklmnop\x01\"", at(control, 1, 18)},
      {"\"abcdefghijklm\xc3\xa9nopqrstuvw\xc3\"", at(bad_code_point, 1, 27)},
      {"-01", at("invalid number", 1, 3)}, {"-a", at("invalid number", 1, 2)},
      {"[1.]", at("invalid number", 1, 4)}, {"1e+x", at("invalid number", 1, 4)},
      {"[0, -1e400]", at("number out of range", 1, 5)}, {"truex", at("trailing characters", 1, 5)},
      {"0\f", at("trailing characters", 1, 2)}, {"1\n\n  x", at("trailing characters", 3, 3)},
      // Only line feeds end lines; columns count bytes.
      {"{\r\n\"a\" 1}", at("expected `:`", 2, 5)}, {"[1,\r2\r,x]", at("expected value", 1, 8)},
      {"[\"\xc3\xa9\" x]", at("expected `,` or `]`", 1, 7)},
      // The 128th opening bracket is refused, also in input far too deep to
      // recurse through; the 128th brace starts at byte 5 * 127.
      {std::string(100000, '['), at("recursion limit exceeded", 1, 128)},
      {objects + "0", at("recursion limit exceeded", 1, 636)},
      {nested(127), nested(127)}, {siblings, siblings},
      // Read values are written compactly: escapes decoded and only the
      // needed ones written, members in ascending unsigned byte order (upper
      // case first, a prefix first, 0x7F before UTF-8), a repeated key
      // keeping its last value.
      {R"(["\/", "\u00e9", "\u20AC", "\ud83d\ude00", "\u001B", "\u007f"])",
       "[\"/\",\"\xc3\xa9\",\"\xe2\x82\xac\",\"\xf0\x9f\x98\x80\",\"\\u001b\",\"\x7f\"]"},
      {R"({"\u0061":"\b\f\n\r\t"})", R"({"a":"\b\f\n\r\t"})"}, {R"({"a":1,"b":2,"a":3})", R"({"a":3,"b":2})"},
      {R"({"b":1,"a":{"y":[{"d":0,"c":0}],"x":null}})", R"({"a":{"x":null,"y":[{"c":0,"d":0}]},"b":1})"},
      {R"({"b":{"d":1,"c":2,"d":3},"a":[],"b":{"f":{"h":0,"g":1},"e":true}})",
       R"({"a":[],"b":{"e":true,"f":{"g":1,"h":0}}})"},
      {"[1E2,1.50,-0,0.0000001,1e16,-12,18446744073709551616]",
       "[100.0,1.5,-0.0,1e-7,1e+16,-12,1.8446744073709552e+19]"},
      {"{\"\xc3\xa9\":1,\"\x7f\":0,\"z\":2,\"ab\":3,\"a\":4,\"B\":5,\"\":6}",
       "{\"\":6,\"B\":5,\"a\":4,\"ab\":3,\"z\":2,\"\x7f\":0,\"\xc3\xa9\":1}"},
      {"{\"a\\u0000\":1,\"a\":2}", R"({"a":2,"a\u0000":1})"}, {" [ 1 , 2 ,\n\t3 ] ", "[1,2,3]"},
  };
  for (const auto& [text, expected] : rows) EXPECT_EQ(outcome(text), expected) << text.substr(0, 60);
  // A string's bytes are read eight at a time: the first one that matters is
  // found at every place among them.
  const std::string plain = "abcdefgh ~0![]{}/#";
  for (size_t n = 0; n <= plain.size(); ++n) {
    const std::string before = "\"" + plain.substr(0, n);
    const int column = static_cast<int>(n) + 2;
    EXPECT_EQ(outcome(before + "\x01\""), at(control, 1, column));
    EXPECT_EQ(outcome(before + "\xc3\""), at(bad_code_point, 1, column));
    EXPECT_EQ(outcome(before + "\xc3\xa9\""), before + "\xc3\xa9\"");
  }
}

// The first failure wins: later calls neither replace it nor move it.
TEST(JsonText, FirstFailureIsKept) {
  Reader reader("[1,x] trailing");
  Value value;
  EXPECT_FALSE(reader.read_value(value));
  EXPECT_FALSE(reader.finish());
  EXPECT_FALSE(reader.skip_value());
  EXPECT_FALSE(reader.fail_at(0, "other"));
  EXPECT_EQ(reader.error(), at("expected value", 1, 4));
}

std::vector<std::string> corpus(char prefix) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(JSON_TEST_SUITE_DIR)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 2 && name[0] == prefix && name[1] == '_') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string corpus_text(const std::string& name) {
  std::ifstream in(std::filesystem::path(JSON_TEST_SUITE_DIR) / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// y_ cases are accepted, n_ cases refused with one of the reader's messages.
TEST(JsonCorpus, AcceptedAndRefused) {
  const std::vector<std::string_view> messages = {
      "EOF while parsing a value", "EOF while parsing an object", "EOF while parsing a list",
      "EOF while parsing a string", "expected value", "expected `,` or `}`", "expected `,` or `]`",
      "expected `:`", "key must be a string", "invalid escape", "invalid number",
      "number out of range", "invalid unicode code point", "lone leading surrogate in hex escape",
      "control character (\\u0000-\\u001F) found while parsing a string", "trailing comma",
      "trailing characters", "recursion limit exceeded"};
  EXPECT_EQ(corpus('y').size(), 95u);
  for (const std::string& name : corpus('y')) {
    const std::string text = corpus_text(name);
    const Parsed tree = walk(text);
    EXPECT_TRUE(tree.ok) << name << ": " << tree.error;
    EXPECT_EQ(outcome(text), to_text(tree.value)) << name;
  }
  EXPECT_EQ(corpus('n').size(), 188u);
  for (const std::string& name : corpus('n')) {
    const std::string error = outcome(corpus_text(name));
    const std::string_view message = std::string_view(error).substr(0, error.find(" at line "));
    EXPECT_NE(std::find(messages.begin(), messages.end(), message), messages.end())
        << name << ": " << error;
  }
}

// Every i_ case is decided. Integers beyond 64 bits read as doubles;
// underflow rounds to a zero of its sign; a double has no finite form of an
// overflow. Strings are kept as well-formed UTF-8, which has no form for an
// unpaired surrogate. Only UTF-8 without a byte order mark is JSON text here.
TEST(JsonCorpus, ImplementationDefinedCasesAsDecided) {
  const std::string bad_code_point = "invalid unicode code point";
  const std::string lone = "lone leading surrogate in hex escape";
  const std::pair<std::string, std::vector<std::string>> decided[] = {
      {"[-1.2312312312312312e+29]", {"number_too_big_neg_int"}}, {"[1e+20]", {"number_too_big_pos_int"}},
      {"[-2.374623746732769e+47]", {"number_very_big_negative_int"}},
      {"[0.0]", {"number_double_huge_neg_exp", "number_real_underflow"}},
      {at("number out of range", 1, 2),
       {"number_huge_exp", "number_neg_int_huge_exp", "number_pos_double_huge_exp",
        "number_real_neg_overflow", "number_real_pos_overflow"}},
      {at(bad_code_point, 1, 3),
       {"object_key_lone_2nd_surrogate", "string_incomplete_surrogate_pair",
        "string_inverted_surrogates_U+1D11E", "string_lone_second_surrogate",
        "string_UTF8_surrogate_U+D800", "string_invalid_utf-8", "string_iso_latin_1",
        "string_lone_utf8_continuation_byte", "string_not_in_unicode_range",
        "string_overlong_sequence_2_bytes", "string_overlong_sequence_6_bytes",
        "string_overlong_sequence_6_bytes_null", "string_truncated-utf-8"}},
      {at(bad_code_point, 1, 8), {"string_UTF-8_invalid_sequence"}},
      {at(bad_code_point, 1, 9),
       {"string_1st_valid_surrogate_2nd_invalid", "string_incomplete_surrogates_escape_valid"}},
      {at(lone, 1, 3),
       {"string_1st_surrogate_but_2nd_missing", "string_incomplete_surrogate_and_escape_valid",
        "string_invalid_lonely_surrogate", "string_invalid_surrogate"}},
      {at("expected value", 1, 1),
       {"string_UTF-16LE_with_BOM", "string_utf16BE_no_BOM", "structure_UTF-8_BOM_empty_object"}},
      {at("expected value", 1, 2), {"string_utf16LE_no_BOM"}},
      {at("recursion limit exceeded", 1, 128), {"structure_500_nested_arrays"}},
  };
  std::vector<std::string> names;
  for (const auto& [expected, cases] : decided) {
    for (const std::string& name : cases) {
      names.push_back("i_" + name + ".json");
      EXPECT_EQ(outcome(corpus_text(names.back())), expected) << name;
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, corpus('i'));
}

// Integers that fit 64 bits keep their sign class; everything else is a
// double, told apart by its text so that the sign of zero counts. Underflow
// reads as a zero of the literal's sign; overflow is refused.
TEST(JsonNumbers, Classification) {
  const std::pair<std::string, Value> rows[] = {
      {"0", Value(uint64_t{0})}, {"18446744073709551615", Value(UINT64_MAX)},
      {"-1", Value(int64_t{-1})}, {"-9223372036854775808", Value(INT64_MIN)},
      {"18446744073709551616", Value(18446744073709551616.0)},
      {"-9223372036854775809", Value(-9223372036854775808.0)},
      {"-0", Value(-0.0)}, {"0e0", Value(0.0)}, {"1E+3", Value(1000.0)}, {"25e-1", Value(2.5)},
      {"2.5e-324", Value(4.9406564584124654e-324)},
      {"1.7976931348623157e308", Value(1.7976931348623157e308)},
      {"0.00000000000000000000000000001e330", Value(1e301)},
      {"2.4e-324", Value(0.0)}, {"-0.000001e-320", Value(-0.0)},
  };
  for (const auto& [text, expected] : rows) {
    const Parsed parsed = walk(text);
    EXPECT_TRUE(parsed.value == expected && to_text(parsed.value) == to_text(expected))
        << text << " read as " << to_text(parsed.value) << parsed.error;
  }
  for (const std::string text : {"1.7976931348623159e308", "0.1e310", "100000e304"}) {
    EXPECT_EQ(walk(text).error, at("number out of range", 1, 1)) << text;
  }
  EXPECT_EQ(walk("1" + std::string(309, '0')).error, at("number out of range", 1, 1));
}

// The significant digits of a decimal text: no sign, point, exponent,
// leading or trailing zeros.
std::string significant_digits(std::string_view text) {
  std::string digits;
  for (char c : text.substr(0, text.find('e'))) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  digits.erase(0, digits.find_first_not_of('0'));
  return digits.erase(digits.find_last_not_of('0') + 1);
}

// Every written double reads back to the same bits, carries the digits of
// the shortest round-trip form, and uses an exponent exactly when the
// decimal exponent lies outside -5..15.
void sweep(uint64_t exponent_low, uint64_t exponent_high, int count, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<uint64_t> exponents(exponent_low, exponent_high);
  int failures = 0;
  for (int n = 0; n < count && failures < 10; ++n) {
    const uint64_t bits = (random() & 0x800F'FFFF'FFFF'FFFFull) | (exponents(random) << 52);
    const double value = std::bit_cast<double>(bits);
    if (!std::isfinite(value)) continue;
    const std::string text = format_double(value);
    Number number;
    size_t length = 0;
    const bool read = scan_number(text, number, length) == NumberError::None;
    char shortest[32] = {};  // zeros end the text for atoi
    const auto end = std::to_chars(shortest, shortest + sizeof shortest, value,
                                   std::chars_format::scientific).ptr;
    const std::string_view reference(shortest, static_cast<size_t>(end - shortest));
    const int exponent = std::atoi(reference.data() + reference.find('e') + 1);
    const bool expect_exponent = value != 0.0 && (exponent < -5 || exponent > 15);
    if (!read || length != text.size() || number.kind != Number::Kind::Double ||
        std::bit_cast<uint64_t>(number.d) != bits ||
        significant_digits(text) != significant_digits(reference) ||
        (text.find('e') != std::string::npos) != expect_exponent) {
      ++failures;
      ADD_FAILURE() << "bits " << std::hex << bits << ": wrote " << text << ", shortest " << reference;
    }
  }
}

// Then biased exponents 1003..1079, roughly 1e-6 to 1e17, where the fixed
// layouts and the switch to an exponent live.
TEST(JsonNumbers, RandomDoublesRoundTripShortest) {
  sweep(0, 2047, 700000, 20240611);
  sweep(1003, 1079, 300000, 7);
}

std::string escaped(std::string_view s) {
  std::string out;
  append_string(out, s);
  return out;
}

// Bytes below 0x20 are escaped (five by name, the rest as \u00xx in lower
// case), as are '"' and '\'; every other byte is copied, and the escaped form
// reads back as the byte. The same at every place among raw bytes, high ones
// included, that the writer scans eight at a time.
TEST(JsonWriter, EscapeTable) {
  constexpr char kHex[] = "0123456789abcdef";
  const std::string named = "\b\t\n\f\r\"\\", names = "btnfr\"\\";
  const std::string filler = "a\xa0~\xff 0!\x80z#[]\xdf/\x7f{}";
  for (int byte = 0; byte < 0x100; ++byte) {
    const std::string raw(1, static_cast<char>(byte));
    const size_t name = named.find(raw);
    const std::string expected = name != std::string::npos ? std::string{'\\', names[name]}
                                 : byte < 0x20 ? std::string("\\u00") + kHex[byte >> 4] + kHex[byte & 15]
                                               : raw;
    EXPECT_EQ(escaped(raw), "\"" + expected + "\"") << "byte " << byte;
    EXPECT_EQ(string_length(raw), expected.size() + 2) << "byte " << byte;
    if (byte < 0x80) EXPECT_EQ(walk(escaped(raw)).value, Value(raw)) << "byte " << byte;
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

// Canonical texts compare as the values they hold, which differ in text
// without differing in value only by the sign of a zero double.
TEST(JsonWriter, CanonicalTextsCompareAsValues) {
  const std::tuple<std::string_view, std::string_view, bool> rows[] = {
      {"0.0", "-0.0", true}, {"-0", "0.0", true}, {"[0.0,-0.0]", "[-0.0,0.0]", true},
      {R"({"b":-0.0,"a":{"c":[-0.0]}})", R"({"a":{"c":[0.0]},"b":0.0})", true},
      {"1e2", "100.0", true}, {"1.50", "1.5", true}, {"[-0.0,1]", "[0.0,2]", false},
      {"-0.0", "0", false},  // an integer is not a double
      {"-0", "0", false}, {"1", "1.0", false}, {"0.001", "-0.001", false},
      {"[0.0]", "[-0.001]", false}, {R"("-0.0")", R"("0.0")", false},
      {R"(["a\"-0.0"])", R"(["a\"0.0"])", false},  // still inside the string
      {R"(["a\\",-0.0])", R"(["a\\",0.0])", true},  // the string has ended
      {R"({"-0.0":1})", R"({"0.0":1})", false},
  };
  for (const auto& [a, b, equal] : rows) {
    SCOPED_TRACE(std::string(a) + " vs " + std::string(b));
    const CanonicalText left_text = testing::canonical_text(a), right_text = testing::canonical_text(b);
    EXPECT_EQ(left_text == right_text, equal);
    EXPECT_EQ(right_text == left_text, equal);
    // The trees agree, and so does a value carrying one text beside a tree.
    EXPECT_EQ(walk(a).value == walk(b).value, equal);
    EXPECT_EQ(Value(left_text) == walk(b).value, equal);
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
