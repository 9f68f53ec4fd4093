// The canonical JSON writer: compact, fixed escape table, raw UTF-8, and the
// double layout of json_number.h. Commas are placed by the writer itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/invariant.h"
#include "foundation/json_value.h"

namespace tallowmere::json {

// Appends a quoted, escaped string.
void append_string(std::string& out, std::string_view s);
// The lengths append_string and u64 write, without writing.
size_t string_length(std::string_view s);
size_t decimal_length(uint64_t u);

// Room for most results and command texts, so writing one seldom regrows
// its buffer. Only for texts soon dropped: a kept text would keep the room.
constexpr size_t kTransientCapacity = 1024;

class Writer {
 public:
  Writer() = default;
  explicit Writer(size_t capacity) { own_.reserve(capacity); }
  explicit Writer(std::string& out) : out_(&out) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  std::string& text() { return *out_; }
  std::string take() { return std::move(*out_); }

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // An object key; the next call writes its value.
  void key(std::string_view name);
  // A key that never needs escaping, a field name: written as it is, since
  // every record and result writes dozens of them.
  void plain_key(std::string_view name) {
    TALLOWMERE_ASSERT(string_length(name) == name.size() + 2);
    separate();
    out_->push_back('"');
    out_->append(name);
    out_->append("\":", 2);
    need_comma_ = false;
  }
  // The length plain_key writes: the quoted name and its colon.
  static constexpr size_t plain_key_length(std::string_view name) { return name.size() + 3; }

  void null();
  void boolean(bool b);
  void u64(uint64_t u);
  void i64(int64_t i);
  void f64(double d);
  void string(std::string_view s);
  // Written verbatim: the text is canonical already.
  void canonical(const CanonicalText& c) { verbatim(c.text()); }
  void verbatim(std::string_view canonical_text);
  void value(const Value& v);

 private:
  void separate() {
    if (need_comma_) out_->push_back(',');
  }
  void open(char c) {
    separate();
    out_->push_back(c);
    need_comma_ = false;
  }
  void close(char c) {
    out_->push_back(c);
    need_comma_ = true;
  }

  std::string own_;
  std::string* out_ = &own_;
  bool need_comma_ = false;
};

// The canonical text of a value.
std::string to_text(const Value& v);

}  // namespace tallowmere::json
