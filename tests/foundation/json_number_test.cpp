// Numbers: how a literal is classified, and the layout a double is written in.

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "foundation/json_number.h"
#include "json_test_support.h"

namespace tallowmere::json {
namespace {

// Integers that fit 64 bits keep their sign class; everything else is a
// double, compared by bits so that the sign of zero counts. Underflow reads as
// a zero of the literal's sign; overflow is refused.
TEST(NumberClassification, KindsAndValues) {
  const std::vector<std::pair<std::string, std::optional<Value>>> rows = {
      {"0", Value(uint64_t{0})},
      {"18446744073709551615", Value(UINT64_MAX)},
      {"-1", Value(int64_t{-1})},
      {"-9223372036854775808", Value(INT64_MIN)},
      {"18446744073709551616", Value(18446744073709551616.0)},
      {"-9223372036854775809", Value(-9223372036854775808.0)},
      {"-0", Value(-0.0)},
      {"0e0", Value(0.0)},
      {"1E+3", Value(1000.0)},
      {"25e-1", Value(2.5)},
      {"2.5e-324", Value(4.9406564584124654e-324)},
      {"1.7976931348623157e308", Value(1.7976931348623157e308)},
      {"0.00000000000000000000000000001e330", Value(1e301)},
      {"2.4e-324", Value(0.0)},
      {"-0.000001e-320", Value(-0.0)},
      {"1.7976931348623159e308", std::nullopt},
      {"0.1e310", std::nullopt},
      {"100000e304", std::nullopt},
      {"1" + std::string(309, '0'), std::nullopt},
  };
  for (const auto& [text, expected] : rows) {
    SCOPED_TRACE(text);
    const testing::Parsed parsed = testing::parse(text);
    if (!expected) {
      EXPECT_EQ(parsed.error, testing::at("number out of range", 1, 1));
      continue;
    }
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_EQ(parsed.value.kind(), expected->kind());
    if (expected->kind() == Value::Kind::Double) {
      EXPECT_EQ(std::bit_cast<uint64_t>(parsed.value.as_double()),
                std::bit_cast<uint64_t>(expected->as_double()));
    } else {
      EXPECT_EQ(parsed.value, *expected);
    }
  }
}

TEST(DoubleLayout, PinnedCases) {
  const std::vector<std::pair<double, std::string_view>> rows = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {0.001, "0.001"},
      {0.00001, "0.00001"},
      {0.000012345, "0.000012345"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {123456789012345.67, "123456789012345.67"},
      {1e16, "1e+16"},
      {12345678901234567.0, "1.2345678901234568e+16"},
      {2.5e300, "2.5e+300"},
      {-2.5e-300, "-2.5e-300"},
      {0.1 + 0.2, "0.30000000000000004"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& [value, expected] : rows) EXPECT_EQ(format_double(value), expected);
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

TEST(DoubleLayout, RandomBitPatternsRoundTripShortest) { sweep(0, 2047, 700000, 20240611); }

// Biased exponents 1003..1079 cover roughly 1e-6 to 1e17, where the fixed
// layouts and the switch to an exponent live.
TEST(DoubleLayout, RandomFixedRangeRoundTripShortest) { sweep(1003, 1079, 300000, 7); }

}  // namespace
}  // namespace tallowmere::json
