// Numbers: how a literal is classified, and the layout a double is written in.

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/json_number.h"
#include "core/json_writer.h"
#include "json_test_support.h"

namespace tallowmere::json {
namespace {

Number read_one(std::string_view text) {
  Reader reader(text);
  Number number;
  EXPECT_TRUE(reader.read_number(number) && reader.finish()) << text << ": " << reader.error();
  return number;
}

TEST(NumberClassification, Integers) {
  struct Row {
    std::string_view text;
    Number::Kind kind;
    uint64_t u;
    int64_t i;
  };
  const std::vector<Row> rows = {
      {"0", Number::Kind::Unsigned, 0, 0},
      {"7", Number::Kind::Unsigned, 7, 0},
      {"18446744073709551615", Number::Kind::Unsigned, std::numeric_limits<uint64_t>::max(), 0},
      {"-1", Number::Kind::Signed, 0, -1},
      {"-9223372036854775807", Number::Kind::Signed, 0, -9223372036854775807},
      {"-9223372036854775808", Number::Kind::Signed, 0, std::numeric_limits<int64_t>::min()},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const Number number = read_one(row.text);
    EXPECT_EQ(number.kind, row.kind);
    if (row.kind == Number::Kind::Unsigned) {
      EXPECT_EQ(number.u, row.u);
    } else {
      EXPECT_EQ(number.i, row.i);
    }
  }
}

// Everything that is not an integer fitting 64 bits is a double; bits are
// compared so that the sign of zero counts.
TEST(NumberClassification, Doubles) {
  const std::vector<std::pair<std::string_view, double>> rows = {
      {"18446744073709551616", 18446744073709551616.0},
      {"-9223372036854775809", -9223372036854775808.0},
      {"99999999999999999999999", 1e23},
      {"-0", -0.0},
      {"-0.0", -0.0},
      {"0.0", 0.0},
      {"0e0", 0.0},
      {"1.0", 1.0},
      {"1e3", 1000.0},
      {"1E3", 1000.0},
      {"1e+3", 1000.0},
      {"25e-1", 2.5},
      {"0.1", 0.1},
      {"2.2250738585072011e-308", 2.2250738585072011e-308},
      {"4.9406564584124654e-324", 4.9406564584124654e-324},
      {"2.5e-324", 4.9406564584124654e-324},
      {"1.7976931348623157e308", 1.7976931348623157e308},
      {"0.00000000000000000000000000001e330", 1e301},
      // Underflow reads as a zero of the literal's sign.
      {"1e-400", 0.0},
      {"-1e-400", -0.0},
      {"2.4e-324", 0.0},
      {"1000e-400", 0.0},
      {"-0.000001e-320", -0.0},
  };
  for (const auto& [text, expected] : rows) {
    SCOPED_TRACE(text);
    const Number number = read_one(text);
    EXPECT_EQ(number.kind, Number::Kind::Double);
    EXPECT_EQ(std::bit_cast<uint64_t>(number.d), std::bit_cast<uint64_t>(expected)) << number.d;
  }
}

TEST(NumberClassification, OutOfRange) {
  for (std::string_view text : {"1e400", "-1e400", "1e309", "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792", "0.1e310", "100000e304"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(testing::parse(text).error, testing::at("number out of range", 1, 1));
  }
}

TEST(DoubleLayout, FixedCases) {
  const std::vector<std::pair<double, std::string_view>> rows = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {1.0, "1.0"},
      {-1.0, "-1.0"},
      {0.5, "0.5"},
      {0.001, "0.001"},
      {0.00001, "0.00001"},
      {0.000012345, "0.000012345"},
      {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"},
      {123.45, "123.45"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {1234567890123456.0, "1234567890123456.0"},
      {123456789012345.67, "123456789012345.67"},
      {1e16, "1e+16"},
      {12345678901234567.0, "1.2345678901234568e+16"},
      {2.5e300, "2.5e+300"},
      {-2.5e-300, "-2.5e-300"},
      {0.1 + 0.2, "0.30000000000000004"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
  };
  for (const auto& [value, expected] : rows) {
    EXPECT_EQ(format_double(value), expected);
  }
}

// A non-finite double has no JSON form; it is written as null.
TEST(DoubleLayout, NonFiniteIsNull) {
  for (double value : {std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity(),
                       std::numeric_limits<double>::quiet_NaN()}) {
    Writer writer;
    writer.begin_array();
    writer.f64(value);
    writer.f64(1.0);
    writer.end_array();
    EXPECT_EQ(writer.take(), "[null,1.0]");
  }
}

// The significant digits of a decimal text: no sign, point, exponent,
// leading or trailing zeros.
std::string significant_digits(std::string_view text) {
  std::string digits;
  for (char c : text.substr(0, text.find('e'))) {
    if (c >= '0' && c <= '9') digits.push_back(c);
  }
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return "0";
  digits.erase(0, first);
  digits.erase(digits.find_last_not_of('0') + 1);
  return digits;
}

struct Sweep {
  uint64_t exponent_low;   // range of the biased exponent field
  uint64_t exponent_high;
};

// Every written double reads back to the same bits, carries the digits of
// the shortest round-trip form, and uses an exponent exactly when the
// decimal exponent lies outside -5..15.
void sweep(const Sweep& range, int count, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_int_distribution<uint64_t> exponents(range.exponent_low, range.exponent_high);
  int failures = 0;
  for (int n = 0; n < count && failures < 10; ++n) {
    const uint64_t bits = (random() & 0x800F'FFFF'FFFF'FFFFull) | (exponents(random) << 52);
    const double value = std::bit_cast<double>(bits);
    if (!std::isfinite(value)) continue;
    const std::string text = format_double(value);

    Number number;
    size_t length = 0;
    const bool read = scan_number(text, number, length) == NumberError::None;
    char shortest[32];
    const auto end = std::to_chars(shortest, shortest + sizeof shortest, value,
                                   std::chars_format::scientific).ptr;
    const std::string_view reference(shortest, static_cast<size_t>(end - shortest));
    size_t exponent_at = reference.find('e') + 1;
    if (reference[exponent_at] == '+') ++exponent_at;
    int exponent = 0;
    std::from_chars(reference.data() + exponent_at, end, exponent);
    const bool expect_exponent = value != 0.0 && (exponent < -5 || exponent > 15);

    const bool good = read && length == text.size() && number.kind == Number::Kind::Double &&
                      std::bit_cast<uint64_t>(number.d) == bits &&
                      significant_digits(text) == significant_digits(reference) &&
                      (text.find('e') != std::string::npos) == expect_exponent;
    if (!good) {
      ++failures;
      ADD_FAILURE() << "bits " << std::hex << bits << ": wrote " << text << ", shortest "
                    << reference;
    }
  }
}

TEST(DoubleLayout, RandomBitPatternsRoundTripShortest) { sweep({0, 2047}, 700000, 20240611); }

// Biased exponents 1003..1079 cover roughly 1e-6 to 1e17, where the fixed
// layouts and the switch to an exponent live.
TEST(DoubleLayout, RandomFixedRangeRoundTripShortest) { sweep({1003, 1079}, 300000, 7); }

}  // namespace
}  // namespace tallowmere::json
