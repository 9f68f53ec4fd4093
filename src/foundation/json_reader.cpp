#include "foundation/json_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "foundation/json_bytes.h"
#include "foundation/json_writer.h"

namespace tallowmere::json {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Length of the well-formed UTF-8 sequence starting at s[0] (a byte >= 0x80),
// or 0 when it is malformed, overlong, a surrogate or beyond U+10FFFF.
size_t utf8_sequence_length(const unsigned char* s, size_t available) {
  const unsigned char lead = s[0];
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (available < length) return 0;
  if (s[1] < low || s[1] > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return length;
}

}  // namespace

// --- Failure state ---------------------------------------------------------

bool Reader::fail_at(size_t offset, std::string message) {
  if (!failed_) {
    failed_ = true;
    message_ = std::move(message);
    error_offset_ = offset;
  }
  return false;
}

std::string Reader::error() const {
  const size_t offset = std::min(error_offset_, text_.size());
  size_t line = 1;
  size_t line_start = 0;
  for (size_t i = 0; i < offset; ++i) {
    if (text_[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::string out = message_;
  out.append(" at line ").append(std::to_string(line));
  out.append(" column ").append(std::to_string(offset - line_start + 1));
  return out;
}

void Reader::clear_error() {
  failed_ = false;
  message_.clear();
  error_offset_ = 0;
}

// --- Tokens ----------------------------------------------------------------

void Reader::skip_whitespace() {
  while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
}

bool Reader::peek(Kind& kind) {
  if (failed_) return false;
  skip_whitespace();
  if (pos_ >= text_.size()) return fail_at(pos_, "EOF while parsing a value");
  switch (text_[pos_]) {
    case 'n': kind = Kind::Null; return true;
    case 't':
    case 'f': kind = Kind::Bool; return true;
    case '"': kind = Kind::String; return true;
    case '[': kind = Kind::Array; return true;
    case '{': kind = Kind::Object; return true;
    case '-':
    case '0': case '1': case '2': case '3': case '4':
    case '5': case '6': case '7': case '8': case '9':
      kind = Kind::Number;
      return true;
    default: return fail_at(pos_, "expected value");
  }
}

bool Reader::enter(size_t offset) {
  if (--depth_ <= 0) return fail_at(offset, "recursion limit exceeded");
  ++pos_;
  first_item_ = true;
  return true;
}

// At the closing bracket of the container being read.
bool Reader::leave(bool& more) {
  close_offset_ = pos_++;
  ++depth_;
  first_item_ = false;
  more = false;
  return true;
}

bool Reader::begin_object() {
  Kind kind;
  if (!peek(kind)) return false;
  if (kind != Kind::Object) return fail_type("map");
  return enter(pos_);
}

bool Reader::begin_array() {
  Kind kind;
  if (!peek(kind)) return false;
  if (kind != Kind::Array) return fail_type("sequence");
  return enter(pos_);
}

bool Reader::next_key(std::string_view& key, bool& more) {
  if (failed_) return false;
  skip_whitespace();
  if (pos_ >= text_.size()) return fail_at(pos_, "EOF while parsing an object");
  char c = text_[pos_];
  if (c == '}') return leave(more);
  if (!first_item_) {
    if (c != ',') return fail_at(pos_, "expected `,` or `}`");
    ++pos_;
    skip_whitespace();
    if (pos_ >= text_.size()) return fail_at(pos_, "EOF while parsing a value");
    c = text_[pos_];
    if (c == '}') return fail_at(pos_, "trailing comma");
  }
  if (c != '"') return fail_at(pos_, "key must be a string");
  key_offset_ = pos_;
  if (!parse_string(key)) return false;
  skip_whitespace();
  if (pos_ >= text_.size()) return fail_at(pos_, "EOF while parsing an object");
  if (text_[pos_] != ':') return fail_at(pos_, "expected `:`");
  ++pos_;
  first_item_ = false;
  more = true;
  return true;
}

bool Reader::next_element(bool& more) {
  if (failed_) return false;
  skip_whitespace();
  if (pos_ >= text_.size()) return fail_at(pos_, "EOF while parsing a list");
  const char c = text_[pos_];
  if (c == ']') return leave(more);
  if (!first_item_) {
    if (c != ',') return fail_at(pos_, "expected `,` or `]`");
    ++pos_;
    skip_whitespace();
    if (pos_ < text_.size() && text_[pos_] == ']') return fail_at(pos_, "trailing comma");
  }
  first_item_ = false;
  more = true;
  return true;
}

bool Reader::expect_literal(std::string_view literal) {
  if (text_.substr(pos_, literal.size()) != literal) return fail_at(pos_, "expected value");
  pos_ += literal.size();
  return true;
}

bool Reader::read_null() {
  Kind kind;
  if (!peek(kind)) return false;
  if (kind != Kind::Null) return fail_type("unit");
  return expect_literal("null");
}

bool Reader::read_bool(bool& out) {
  Kind kind;
  if (!peek(kind)) return false;
  if (kind != Kind::Bool) return fail_type("a boolean");
  out = text_[pos_] == 't';
  return expect_literal(out ? "true" : "false");
}

bool Reader::read_number(Number& out) {
  Kind kind;
  if (!peek(kind)) return false;
  if (kind != Kind::Number) return fail_type("a number");
  size_t length = 0;
  switch (scan_number(text_.substr(pos_), out, length)) {
    case NumberError::None: pos_ += length; return true;
    case NumberError::Invalid:
      if (pos_ + length >= text_.size()) return fail_at(pos_ + length, "EOF while parsing a value");
      return fail_at(pos_ + length, "invalid number");
    case NumberError::OutOfRange: return fail_at(pos_, "number out of range");
  }
  return false;
}

// --- Strings ---------------------------------------------------------------

bool Reader::parse_string(std::string_view& out) {
  const size_t start = ++pos_;  // past the opening quote
  const auto* bytes = reinterpret_cast<const unsigned char*>(text_.data());
  const size_t n = text_.size();
  // Fast path: no escapes, the view points into the text.
  while (pos_ < n) {
    pos_ = first_flagged<special_or_high_bytes>(text_.data(), pos_, n);
    if (pos_ >= n) break;
    const unsigned char c = bytes[pos_];
    if (c == '"') {
      out = text_.substr(start, pos_ - start);
      ++pos_;
      return true;
    }
    if (c == '\\') break;
    if (c < 0x20) return fail_at(pos_, "control character (\\u0000-\\u001F) found while parsing a string");
    // From 0x80: the first byte of a UTF-8 sequence, or a stray one.
    const size_t length = utf8_sequence_length(bytes + pos_, n - pos_);
    if (length == 0) return fail_at(pos_, "invalid unicode code point");
    pos_ += length;
  }
  if (pos_ >= n) return fail_at(n, "EOF while parsing a string");
  // Slow path: unescape into scratch space.
  scratch_.assign(text_.data() + start, pos_ - start);
  while (pos_ < n) {
    const unsigned char c = bytes[pos_];
    if (c == '"') {
      ++pos_;
      out = scratch_;
      return true;
    }
    if (c == '\\') {
      if (!parse_escape(scratch_)) return false;
      continue;
    }
    if (c < 0x20) return fail_at(pos_, "control character (\\u0000-\\u001F) found while parsing a string");
    if (c < 0x80) {
      scratch_.push_back(static_cast<char>(c));
      ++pos_;
      continue;
    }
    const size_t length = utf8_sequence_length(bytes + pos_, n - pos_);
    if (length == 0) return fail_at(pos_, "invalid unicode code point");
    scratch_.append(text_.data() + pos_, length);
    pos_ += length;
  }
  return fail_at(n, "EOF while parsing a string");
}

bool Reader::parse_escape(std::string& out) {
  const size_t n = text_.size();
  ++pos_;  // the backslash
  if (pos_ >= n) return fail_at(n, "EOF while parsing a string");
  const char c = text_[pos_++];
  switch (c) {
    case '"': out.push_back('"'); return true;
    case '\\': out.push_back('\\'); return true;
    case '/': out.push_back('/'); return true;
    case 'b': out.push_back('\b'); return true;
    case 'f': out.push_back('\f'); return true;
    case 'n': out.push_back('\n'); return true;
    case 'r': out.push_back('\r'); return true;
    case 't': out.push_back('\t'); return true;
    case 'u': break;
    default: return fail_at(pos_ - 1, "invalid escape");
  }
  auto read_hex4 = [&](uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      if (pos_ >= n) return fail_at(n, "EOF while parsing a string");
      const int digit = hex_digit(text_[pos_]);
      if (digit < 0) return fail_at(pos_, "invalid escape");
      value = value * 16 + static_cast<uint32_t>(digit);
      ++pos_;
    }
    return true;
  };
  const size_t escape_offset = pos_ - 2;
  uint32_t cp;
  if (!read_hex4(cp)) return false;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_at(escape_offset, "invalid unicode code point");
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    // A text cut short after the first half may still have had its partner.
    if (pos_ >= n || (text_[pos_] == '\\' && pos_ + 1 >= n)) {
      return fail_at(n, "EOF while parsing a string");
    }
    if (text_[pos_] != '\\' || text_[pos_ + 1] != 'u') {
      return fail_at(escape_offset, "lone leading surrogate in hex escape");
    }
    pos_ += 2;
    uint32_t low;
    if (!read_hex4(low)) return false;
    if (low < 0xDC00 || low > 0xDFFF) return fail_at(pos_ - 6, "invalid unicode code point");
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, cp);
  return true;
}

bool Reader::read_string_view(std::string_view& out) {
  Kind kind;
  if (!peek(kind)) return false;
  if (kind != Kind::String) return fail_type("a string");
  return parse_string(out);
}

bool Reader::read_string(std::string& out) {
  std::string_view view;
  if (!read_string_view(view)) return false;
  out.assign(view);
  return true;
}

// --- Generic values --------------------------------------------------------

bool Reader::read_array_value(Value& out) {
  if (!enter(pos_)) return false;
  Array elements;
  bool more;
  while (next_element(more) && more) {
    elements.emplace_back();
    if (!read_value(elements.back())) return false;
  }
  if (failed_) return false;
  out = Value(std::move(elements));
  return true;
}

bool Reader::read_object_value(Value& out) {
  if (!enter(pos_)) return false;
  std::vector<Member> members;
  std::string_view key;
  bool more;
  while (next_key(key, more) && more) {
    members.push_back(Member{std::string(key), Value()});
    if (!read_value(members.back().value)) return false;
  }
  if (failed_) return false;
  out = Value(Object::from_members(std::move(members)));
  return true;
}

bool Reader::read_value(Value& out) {
  Kind kind;
  if (!peek(kind)) return false;
  switch (kind) {
    case Kind::Null:
      if (!expect_literal("null")) return false;
      out = Value();
      return true;
    case Kind::Bool: {
      bool b = false;
      if (!read_bool(b)) return false;
      out = Value(b);
      return true;
    }
    case Kind::Number: {
      Number number;
      if (!read_number(number)) return false;
      switch (number.kind) {
        case Number::Kind::Unsigned: out = Value(number.u); break;
        case Number::Kind::Signed: out = Value(number.i); break;
        case Number::Kind::Double: out = Value(number.d); break;
      }
      return true;
    }
    case Kind::String: {
      std::string_view view;
      if (!parse_string(view)) return false;
      out = Value(view);
      return true;
    }
    case Kind::Array: return read_array_value(out);
    case Kind::Object: return read_object_value(out);
  }
  return false;
}

// --- Canonical texts -------------------------------------------------------

bool Reader::read_canonical(CanonicalText& out) {
  canonical_.clear();
  members_used_ = 0;
  // Room for a typical value at once, rather than by doubling.
  if (canonical_.capacity() < 256) canonical_.reserve(256);
  if (members_.capacity() == 0) members_.reserve(16);
  if (!append_canonical(canonical_)) return false;
  out.text_ = std::make_shared<const std::string>(canonical_);
  return true;
}

bool Reader::append_canonical(std::string& out) {
  Kind kind;
  if (!peek(kind)) return false;
  switch (kind) {
    case Kind::Null:
      if (!expect_literal("null")) return false;
      out.append("null");
      return true;
    case Kind::Bool: {
      bool b = false;
      if (!read_bool(b)) return false;
      out.append(b ? "true" : "false");
      return true;
    }
    case Kind::Number: {
      Number number;
      if (!read_number(number)) return false;
      append_number(out, number);
      return true;
    }
    case Kind::String: {
      std::string_view view;
      if (!parse_string(view)) return false;
      append_string(out, view);
      return true;
    }
    case Kind::Array: return append_canonical_array(out);
    case Kind::Object: return append_canonical_object(out);
  }
  return false;
}

bool Reader::append_canonical_array(std::string& out) {
  if (!enter(pos_)) return false;
  out.push_back('[');
  bool first = true;
  bool more;
  while (next_element(more) && more) {
    if (!first) out.push_back(',');
    first = false;
    if (!append_canonical(out)) return false;
  }
  if (failed_) return false;
  out.push_back(']');
  return true;
}

// Members are written as they come; only an object whose keys do not come
// in ascending order, or repeat, is rearranged afterwards.
bool Reader::append_canonical_object(std::string& out) {
  if (!enter(pos_)) return false;
  const size_t first = members_used_;
  const size_t start = out.size() + 1;
  out.push_back('{');
  bool ordered = true;
  std::string_view key;
  bool more;
  while (next_key(key, more) && more) {
    if (members_used_ > first) {
      ordered = ordered && std::string_view(members_[members_used_ - 1].key) < key;
      out.push_back(',');
    }
    if (members_used_ == members_.size()) members_.emplace_back();
    const size_t index = members_used_++;
    members_[index].key.assign(key);
    members_[index].begin = out.size();
    append_string(out, key);
    out.push_back(':');
    if (!append_canonical(out)) return false;
    members_[index].end = out.size();
  }
  if (failed_) return false;
  if (!ordered) {
    // Stable, so among equal keys the last given stays last and wins.
    const auto begin = members_.begin() + static_cast<ptrdiff_t>(first);
    const auto end = members_.begin() + static_cast<ptrdiff_t>(members_used_);
    std::stable_sort(begin, end, [](const Written& a, const Written& b) { return a.key < b.key; });
    sorted_.clear();
    sorted_.reserve(out.size() - start);
    for (auto m = begin; m != end; ++m) {
      if (m + 1 != end && m->key == (m + 1)->key) continue;
      if (!sorted_.empty()) sorted_.push_back(',');
      sorted_.append(out, m->begin, m->end - m->begin);
    }
    out.resize(start);
    out.append(sorted_);
  }
  members_used_ = first;
  out.push_back('}');
  return true;
}

bool Reader::skip_value() {
  Kind kind;
  if (!peek(kind)) return false;
  switch (kind) {
    case Kind::Null: return expect_literal("null");
    case Kind::Bool: return expect_literal(text_[pos_] == 't' ? "true" : "false");
    case Kind::Number: {
      Number number;
      return read_number(number);
    }
    case Kind::String: {
      std::string_view view;
      return parse_string(view);
    }
    case Kind::Array: {
      if (!enter(pos_)) return false;
      bool more;
      while (next_element(more) && more) {
        if (!skip_value()) return false;
      }
      return !failed_;
    }
    case Kind::Object: {
      if (!enter(pos_)) return false;
      std::string_view key;
      bool more;
      while (next_key(key, more) && more) {
        if (!skip_value()) return false;
      }
      return !failed_;
    }
  }
  return false;
}

bool Reader::finish() {
  if (failed_) return false;
  skip_whitespace();
  if (pos_ < text_.size()) return fail_at(pos_, "trailing characters");
  return true;
}

// --- Typed failures --------------------------------------------------------

std::string describe_number(const Number& number) {
  std::string out;
  switch (number.kind) {
    case Number::Kind::Unsigned: out = "integer `" + std::to_string(number.u) + "`"; break;
    case Number::Kind::Signed: out = "integer `" + std::to_string(number.i) + "`"; break;
    case Number::Kind::Double:
      out = "floating point `";
      append_double(out, number.d);
      out.push_back('`');
      break;
  }
  return out;
}

bool Reader::fail_type(std::string_view expected) {
  Kind kind;
  if (!peek(kind)) return false;
  const size_t offset = pos_;
  std::string what;
  switch (kind) {
    case Kind::Null: what = "null"; break;
    case Kind::Bool: what = text_[pos_] == 't' ? "boolean `true`" : "boolean `false`"; break;
    case Kind::Array: what = "sequence"; break;
    case Kind::Object: what = "map"; break;
    case Kind::Number: {
      Number number;
      if (!read_number(number)) return false;
      what = describe_number(number);
      break;
    }
    case Kind::String: {
      std::string_view view;
      if (!parse_string(view)) return false;
      what = "string ";
      what.push_back('"');
      what.append(view);
      what.push_back('"');
      break;
    }
  }
  // A malformed literal is a syntax error, whatever was expected.
  if (kind == Kind::Null && text_.substr(offset, 4) != "null") return fail_at(offset, "expected value");
  if (kind == Kind::Bool && text_.substr(offset, 4) != "true" && text_.substr(offset, 5) != "false") {
    return fail_at(offset, "expected value");
  }
  return fail_at(offset, "invalid type: " + what + ", expected " + std::string(expected));
}

bool Reader::fail_value(size_t offset, const Number& number, std::string_view expected) {
  return fail_at(offset, "invalid value: " + describe_number(number) + ", expected " + std::string(expected));
}

}  // namespace tallowmere::json
