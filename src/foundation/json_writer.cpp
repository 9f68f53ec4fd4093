#include "foundation/json_writer.h"

#include <array>
#include <charconv>
#include <cstdint>

#include "foundation/json_bytes.h"
#include "foundation/json_number.h"

namespace tallowmere::json {

namespace {

// Escape for each byte below 0x20, '"' and '\\'; nullptr means the byte is written raw.
constexpr const char* kEscapes[0x60] = {
    "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
    "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
    "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
    "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
    nullptr,   nullptr,   "\\\"",    nullptr,   nullptr,   nullptr,   nullptr,   nullptr,
    nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,
    nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,
    nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,
    nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,
    nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,
    nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,   nullptr,
    nullptr,   nullptr,   nullptr,   nullptr,   "\\\\",    nullptr,   nullptr,   nullptr,
};

const char* escape_of(unsigned char c) { return c < 0x60 ? kEscapes[c] : nullptr; }

// How many bytes each byte's escape adds to it.
constexpr std::array<uint8_t, 256> kEscapeGrowth = [] {
  std::array<uint8_t, 256> growth{};
  for (size_t c = 0; c < 0x60; ++c) {
    if (kEscapes[c] != nullptr) growth[c] = std::char_traits<char>::length(kEscapes[c]) - 1;
  }
  return growth;
}();

// The first byte at or after `from` that needs an escape, or s.size().
size_t next_escape(std::string_view s, size_t from) {
  return first_flagged<special_bytes>(s.data(), from, s.size());
}

}  // namespace

void append_string(std::string& out, std::string_view s) {
  out.push_back('"');
  size_t run = 0;  // start of the pending stretch of raw bytes
  for (size_t i = next_escape(s, 0); i < s.size(); i = next_escape(s, i + 1)) {
    out.append(s.data() + run, i - run);
    out.append(escape_of(static_cast<unsigned char>(s[i])));
    run = i + 1;
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

size_t string_length(std::string_view s) {
  size_t length = s.size() + 2;
  for (size_t i = next_escape(s, 0); i < s.size(); i = next_escape(s, i + 1)) {
    length += kEscapeGrowth[static_cast<unsigned char>(s[i])];
  }
  return length;
}

size_t decimal_length(uint64_t u) {
  size_t digits = 1;
  for (; u >= 10; u /= 10) ++digits;
  return digits;
}

void Writer::key(std::string_view name) {
  separate();
  append_string(*out_, name);
  out_->push_back(':');
  need_comma_ = false;
}

void Writer::null() {
  separate();
  out_->append("null");
  need_comma_ = true;
}

void Writer::boolean(bool b) {
  separate();
  out_->append(b ? "true" : "false");
  need_comma_ = true;
}

void Writer::u64(uint64_t u) {
  separate();
  char buffer[24];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, u).ptr;
  out_->append(buffer, end);
  need_comma_ = true;
}

void Writer::i64(int64_t i) {
  separate();
  char buffer[24];
  auto end = std::to_chars(buffer, buffer + sizeof buffer, i).ptr;
  out_->append(buffer, end);
  need_comma_ = true;
}

void Writer::f64(double d) {
  separate();
  append_double(*out_, d);
  need_comma_ = true;
}

void Writer::string(std::string_view s) {
  separate();
  append_string(*out_, s);
  need_comma_ = true;
}

void Writer::verbatim(std::string_view canonical_text) {
  separate();
  out_->append(canonical_text);
  need_comma_ = true;
}

void Writer::value(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: return null();
    case Value::Kind::Bool: return boolean(v.as_bool());
    case Value::Kind::Unsigned: return u64(v.as_unsigned());
    case Value::Kind::Signed: return i64(v.as_signed());
    case Value::Kind::Double: return f64(v.as_double());
    case Value::Kind::String: return string(v.as_string());
    case Value::Kind::Array:
      begin_array();
      for (const Value& element : v.as_array()) value(element);
      return end_array();
    case Value::Kind::Object:
      begin_object();
      for (const Member& member : v.as_object()) {
        key(member.key);
        value(member.value);
      }
      return end_object();
    case Value::Kind::Canonical: return canonical(v.as_canonical());
  }
}

std::string to_text(const Value& v) {
  Writer writer;
  writer.value(v);
  return writer.take();
}

// Here rather than beside the class, which cannot see the writer.
CanonicalText::CanonicalText(const Value& value)
    : text_(std::make_shared<const std::string>(to_text(value))) {}

}  // namespace tallowmere::json
