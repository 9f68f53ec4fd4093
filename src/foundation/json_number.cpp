#include "foundation/json_number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace tallowmere::json {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decimal exponent of the first significant digit of a literal whose
// mantissa is not zero; only its sign matters to the caller.
bool magnitude_below_one(std::string_view literal) {
  size_t pos = literal[0] == '-' ? 1 : 0;
  int64_t leading = 0;  // digits before the first significant one, counted from the point
  bool found = false;
  int64_t integer_digits = 0;
  size_t first_significant = 0;
  while (pos < literal.size() && is_digit(literal[pos])) {
    if (!found && literal[pos] != '0') {
      found = true;
      first_significant = static_cast<size_t>(integer_digits);
    }
    ++integer_digits;
    ++pos;
  }
  int64_t magnitude = 0;
  if (found) {
    magnitude = integer_digits - 1 - static_cast<int64_t>(first_significant);
  } else if (pos < literal.size() && literal[pos] == '.') {
    ++pos;
    while (pos < literal.size() && literal[pos] == '0') {
      ++leading;
      ++pos;
    }
    magnitude = -(leading + 1);
  }
  while (pos < literal.size() && literal[pos] != 'e' && literal[pos] != 'E') ++pos;
  int64_t exponent = 0;
  if (pos < literal.size()) {
    ++pos;
    bool negative = false;
    if (literal[pos] == '+' || literal[pos] == '-') negative = literal[pos++] == '-';
    for (; pos < literal.size(); ++pos) {
      // Saturate: only the sign of the final magnitude matters.
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (literal[pos] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent < 0;
}

}  // namespace

NumberError scan_number(std::string_view text, Number& number, size_t& length) {
  size_t pos = 0;
  const size_t n = text.size();
  bool negative = false;
  if (pos < n && text[pos] == '-') {
    negative = true;
    ++pos;
  }
  if (pos >= n || !is_digit(text[pos])) {
    length = pos;
    return NumberError::Invalid;
  }
  // Integer part, accumulated while it fits 64 bits.
  uint64_t magnitude = 0;
  bool overflow = false;
  if (text[pos] == '0') {
    ++pos;
    if (pos < n && is_digit(text[pos])) {
      length = pos;
      return NumberError::Invalid;
    }
  } else {
    while (pos < n && is_digit(text[pos])) {
      const uint64_t digit = static_cast<uint64_t>(text[pos] - '0');
      if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
      magnitude = magnitude * 10 + digit;
      ++pos;
    }
  }
  bool integral = true;
  if (pos < n && text[pos] == '.') {
    integral = false;
    ++pos;
    if (pos >= n || !is_digit(text[pos])) {
      length = pos;
      return NumberError::Invalid;
    }
    while (pos < n && is_digit(text[pos])) ++pos;
  }
  if (pos < n && (text[pos] == 'e' || text[pos] == 'E')) {
    integral = false;
    ++pos;
    if (pos < n && (text[pos] == '+' || text[pos] == '-')) ++pos;
    if (pos >= n || !is_digit(text[pos])) {
      length = pos;
      return NumberError::Invalid;
    }
    while (pos < n && is_digit(text[pos])) ++pos;
  }
  length = pos;

  if (integral && !overflow) {
    if (!negative) {
      number.kind = Number::Kind::Unsigned;
      number.u = magnitude;
      return NumberError::None;
    }
    // -0 keeps its sign as a double; other negatives fit when |n| <= 2^63.
    if (magnitude != 0 && magnitude <= uint64_t{1} << 63) {
      number.kind = Number::Kind::Signed;
      number.i = static_cast<int64_t>(0 - magnitude);
      return NumberError::None;
    }
  }
  const std::string_view literal = text.substr(0, pos);
  double value = 0.0;
  auto [end, ec] = std::from_chars(literal.data(), literal.data() + literal.size(), value);
  if (ec == std::errc::result_out_of_range) {
    if (!magnitude_below_one(literal)) return NumberError::OutOfRange;
    value = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || end != literal.data() + literal.size()) {
    return NumberError::Invalid;
  }
  number.kind = Number::Kind::Double;
  number.d = value;
  return NumberError::None;
}

void append_double(std::string& out, double value) {
  // JSON has no literal for these; reading never produces one.
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  char buffer[32];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  // Shortest digits in the form [-]d[.ddd]e(+|-)xx.
  std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
  if (text[0] == '-') {
    out.push_back('-');
    text.remove_prefix(1);
  }
  const size_t e = text.find('e');
  char digits[24];
  size_t length = 0;
  for (size_t i = 0; i < e; ++i) {
    if (text[i] != '.') digits[length++] = text[i];
  }
  int exponent = 0;
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  exponent);
  if (length == 1 && digits[0] == '0') {
    out.append("0.0");
    return;
  }
  const std::string_view d(digits, length);
  if (exponent >= -5 && exponent <= 15) {
    if (exponent < 0) {
      out.append("0.");
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out.append(d);
    } else if (length <= static_cast<size_t>(exponent) + 1) {
      out.append(d);
      out.append(static_cast<size_t>(exponent) + 1 - length, '0');
      out.append(".0");
    } else {
      out.append(d.substr(0, static_cast<size_t>(exponent) + 1));
      out.push_back('.');
      out.append(d.substr(static_cast<size_t>(exponent) + 1));
    }
    return;
  }
  out.push_back(d[0]);
  if (length > 1) {
    out.push_back('.');
    out.append(d.substr(1));
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  char exp_text[8];
  auto exp_end = std::to_chars(exp_text, exp_text + sizeof exp_text, exponent < 0 ? -exponent : exponent);
  out.append(exp_text, exp_end.ptr);
}

void append_number(std::string& out, const Number& number) {
  char buffer[24];
  switch (number.kind) {
    case Number::Kind::Unsigned:
      out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number.u).ptr);
      return;
    case Number::Kind::Signed:
      out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, number.i).ptr);
      return;
    case Number::Kind::Double:
      append_double(out, number.d);
      return;
  }
}

std::string format_double(double value) {
  std::string out;
  append_double(out, value);
  return out;
}

}  // namespace tallowmere::json
