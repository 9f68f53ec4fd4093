// The parsing corpus: y_ cases are accepted, n_ cases refused with one of the
// reader's own messages, and each i_ case does what the table below decides.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "foundation/json_writer.h"
#include "json_test_support.h"

namespace tallowmere::json {
namespace {

using testing::at;
using testing::canonical;
using testing::parse;
using testing::skip;

constexpr std::array<std::string_view, 18> kReaderMessages = {
    "EOF while parsing a value", "EOF while parsing an object", "EOF while parsing a list",
    "EOF while parsing a string", "expected value", "expected `,` or `}`", "expected `,` or `]`",
    "expected `:`", "key must be a string", "invalid escape", "invalid number",
    "number out of range", "invalid unicode code point", "lone leading surrogate in hex escape",
    "control character (\\u0000-\\u001F) found while parsing a string", "trailing comma",
    "trailing characters", "recursion limit exceeded",
};

std::vector<std::string> corpus_files(char prefix) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(testing::corpus_dir())) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 2 && name[0] == prefix && name[1] == '_') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.substr(0, info.param.size() - 5);  // without ".json"
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name + "_" + std::to_string(info.index);
}

std::string case_text(const std::string& name) {
  return testing::read_bytes(testing::corpus_dir() / name);
}

class JsonAccepted : public ::testing::TestWithParam<std::string> {};

// Accepted, and the canonical text, also when read as such, reads back as the
// same value and text.
TEST_P(JsonAccepted, ReadsAndRoundTrips) {
  const std::string text = case_text(GetParam());
  const auto parsed = parse(text);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_TRUE(skip(text).ok);
  const std::string canonical = to_text(parsed.value);
  EXPECT_EQ(testing::canonical(text).canonical, canonical);
  const auto again = parse(canonical);
  ASSERT_TRUE(again.ok) << canonical << ": " << again.error;
  EXPECT_EQ(again.value, parsed.value) << canonical;
  EXPECT_EQ(to_text(again.value), canonical);
}

INSTANTIATE_TEST_SUITE_P(Y, JsonAccepted, ::testing::ValuesIn(corpus_files('y')), test_name);

class JsonRefused : public ::testing::TestWithParam<std::string> {};

// Refused with a reader message; skipping the value or reading its canonical
// text fails the same way.
TEST_P(JsonRefused, FailsWithReaderMessage) {
  const std::string text = case_text(GetParam());
  const auto parsed = parse(text);
  ASSERT_FALSE(parsed.ok);
  EXPECT_NE(std::find(kReaderMessages.begin(), kReaderMessages.end(), parsed.message),
            kReaderMessages.end())
      << parsed.error;
  EXPECT_EQ(skip(text).error, parsed.error);
  EXPECT_EQ(canonical(text).error, parsed.error);
}

INSTANTIATE_TEST_SUITE_P(N, JsonRefused, ::testing::ValuesIn(corpus_files('n')), test_name);

struct Decided {
  std::string_view file;
  std::string_view canonical;  // accepted: the canonical text; refused: empty
  std::string error;           // refused: the positioned error
};

const std::vector<Decided>& decided_cases() {
  static const std::vector<Decided> cases = {
      // Integers beyond 64 bits are read as doubles, like any other number that fits no integer.
      {"i_number_too_big_neg_int.json", "[-1.2312312312312312e+29]", ""},
      {"i_number_too_big_pos_int.json", "[1e+20]", ""},
      {"i_number_very_big_negative_int.json", "[-2.374623746732769e+47]", ""},
      // Underflow is rounding, not an error: the value becomes a zero of its sign.
      {"i_number_double_huge_neg_exp.json", "[0.0]", ""},
      {"i_number_real_underflow.json", "[0.0]", ""},
      // A double has no finite form of these; an infinity could not be written back.
      {"i_number_huge_exp.json", "", at("number out of range", 1, 2)},
      {"i_number_neg_int_huge_exp.json", "", at("number out of range", 1, 2)},
      {"i_number_pos_double_huge_exp.json", "", at("number out of range", 1, 2)},
      {"i_number_real_neg_overflow.json", "", at("number out of range", 1, 2)},
      {"i_number_real_pos_overflow.json", "", at("number out of range", 1, 2)},
      // Strings are kept as UTF-8, which has no form for an unpaired surrogate.
      {"i_object_key_lone_2nd_surrogate.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_1st_surrogate_but_2nd_missing.json", "",
       at("lone leading surrogate in hex escape", 1, 3)},
      {"i_string_1st_valid_surrogate_2nd_invalid.json", "", at("invalid unicode code point", 1, 9)},
      {"i_string_incomplete_surrogate_and_escape_valid.json", "",
       at("lone leading surrogate in hex escape", 1, 3)},
      {"i_string_incomplete_surrogates_escape_valid.json", "", at("invalid unicode code point", 1, 9)},
      {"i_string_invalid_lonely_surrogate.json", "", at("lone leading surrogate in hex escape", 1, 3)},
      {"i_string_invalid_surrogate.json", "", at("lone leading surrogate in hex escape", 1, 3)},
      {"i_string_incomplete_surrogate_pair.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_inverted_surrogates_U+1D11E.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_lone_second_surrogate.json", "", at("invalid unicode code point", 1, 3)},
      // Text must be well-formed UTF-8: no stray, overlong, truncated or surrogate sequences.
      {"i_string_UTF-8_invalid_sequence.json", "", at("invalid unicode code point", 1, 8)},
      {"i_string_UTF8_surrogate_U+D800.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_invalid_utf-8.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_iso_latin_1.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_lone_utf8_continuation_byte.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_not_in_unicode_range.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_overlong_sequence_2_bytes.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_overlong_sequence_6_bytes.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_overlong_sequence_6_bytes_null.json", "", at("invalid unicode code point", 1, 3)},
      {"i_string_truncated-utf-8.json", "", at("invalid unicode code point", 1, 3)},
      // Only UTF-8 without a byte order mark is JSON text here.
      {"i_string_UTF-16LE_with_BOM.json", "", at("expected value", 1, 1)},
      {"i_string_utf16BE_no_BOM.json", "", at("expected value", 1, 1)},
      {"i_string_utf16LE_no_BOM.json", "", at("expected value", 1, 2)},
      {"i_structure_UTF-8_BOM_empty_object.json", "", at("expected value", 1, 1)},
      // Nesting is bounded: the 128th opening bracket is refused.
      {"i_structure_500_nested_arrays.json", "", at("recursion limit exceeded", 1, 128)},
  };
  return cases;
}

// Every i_ case is decided, and the corpus is complete.
TEST(JsonImplementationDefined, BehavesAsDecided) {
  EXPECT_EQ(corpus_files('y').size(), 95u);
  EXPECT_EQ(corpus_files('n').size(), 188u);
  std::vector<std::string> decided;
  for (const auto& c : decided_cases()) decided.emplace_back(c.file);
  std::sort(decided.begin(), decided.end());
  EXPECT_EQ(decided, corpus_files('i'));
  for (const auto& c : decided_cases()) {
    SCOPED_TRACE(c.file);
    const std::string text = case_text(std::string(c.file));
    const auto parsed = parse(text);
    if (c.canonical.empty()) {
      EXPECT_FALSE(parsed.ok);
      EXPECT_EQ(parsed.error, c.error);
      EXPECT_EQ(skip(text).error, c.error);
      EXPECT_EQ(canonical(text).error, c.error);
    } else {
      ASSERT_TRUE(parsed.ok) << parsed.error;
      EXPECT_EQ(to_text(parsed.value), c.canonical);
      EXPECT_EQ(canonical(text).canonical, c.canonical);
    }
  }
}

}  // namespace
}  // namespace tallowmere::json
