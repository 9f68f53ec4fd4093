// Numbers in JSON text: classification on reading, and the one layout in
// which a double is written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallowmere::json {

// A number as read: non-negative integer literals that fit are unsigned,
// negative ones that fit are signed, everything else is a double.
struct Number {
  enum class Kind : uint8_t { Unsigned, Signed, Double };
  Kind kind = Kind::Unsigned;
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0.0;
};

enum class NumberError : uint8_t { None, Invalid, OutOfRange };

// Scans the longest number starting at text[0]. On success `length` is the
// number of bytes it spans. `Invalid` reports the offset of the offending byte
// in `length`.
NumberError scan_number(std::string_view text, Number& number, size_t& length);

// Appends the shortest round-trip form of a finite double: 1.0, 0.001,
// 1000000000000000.0, 1e+16, 1.5e-7, -0.0. Infinities and NaN are written null.
void append_double(std::string& out, double value);

// Appends a number as read: integers in plain decimal, doubles as above.
void append_number(std::string& out, const Number& number);

// Convenience for messages and tests.
std::string format_double(double value);

}  // namespace tallowmere::json
