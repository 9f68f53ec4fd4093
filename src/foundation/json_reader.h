// A strict pull reader over JSON text. Decoders walk the text with it and
// build their records directly; generic values are built only where the
// record asks for one. The first failure is kept with its byte offset and
// reported as "<message> at line L column C".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/json_number.h"
#include "foundation/json_value.h"

namespace tallowmere::json {

// The budget allows 127 nested arrays and objects; opening one more fails.
inline constexpr int kDefaultDepthBudget = 128;

class Reader {
 public:
  enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };

  explicit Reader(std::string_view text, int depth_budget = kDefaultDepthBudget)
      : text_(text), depth_(depth_budget) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // --- Failure state: the first failure wins. -----------------------------
  bool failed() const { return failed_; }
  // Records the failure at a byte offset; returns false for `return r.fail(...)`.
  bool fail_at(size_t offset, std::string message);
  // The message with its position, "... at line L column C".
  std::string error() const;
  const std::string& message() const { return message_; }
  size_t error_offset() const { return error_offset_; }
  // Forgets a failure, for decoders that try alternatives.
  void clear_error();

  // --- Position. ----------------------------------------------------------
  // A place in the text to come back to, for decoders that scan a value
  // before reading it or that try alternatives.
  struct Mark {
    size_t pos;
    int depth;
    bool first_item;
  };
  Mark mark() const { return Mark{pos_, depth_, first_item_}; }
  void reset(const Mark& m) {
    pos_ = m.pos;
    depth_ = m.depth;
    first_item_ = m.first_item;
  }
  size_t offset() const { return pos_; }
  std::string_view text() const { return text_; }

  // --- Values. ------------------------------------------------------------
  // Skips whitespace and tells what the next value is, without consuming it.
  // Fails with "EOF while parsing a value" or "expected value".
  bool peek(Kind& kind);
  // Offset of the value found by the last peek.
  size_t value_offset() const { return pos_; }

  // Object iteration:
  //   if (!r.begin_object()) return false;
  //   std::string_view key; bool more;
  //   while (r.next_key(key, more) && more) { ...read the value... }
  //   if (r.failed()) return false;
  // The key view is valid until the next call on the reader.
  bool begin_object();
  bool next_key(std::string_view& key, bool& more);
  // Offset of the key returned by the last next_key (its opening quote).
  size_t key_offset() const { return key_offset_; }
  bool begin_array();
  bool next_element(bool& more);
  // Offset of the bracket or brace that closed the last container.
  size_t close_offset() const { return close_offset_; }

  bool read_null();
  bool read_bool(bool& out);
  bool read_number(Number& out);
  bool read_string(std::string& out);
  // A view into the text when the string has no escapes, else into scratch
  // space valid until the next call on the reader.
  bool read_string_view(std::string_view& out);
  bool read_value(Value& out);
  // Any value as its canonical text: the walk, checks and messages of
  // read_value, without building the tree.
  bool read_canonical(CanonicalText& out);
  bool skip_value();

  // After the top-level value: only whitespace may follow ("trailing characters").
  bool finish();

  // --- Typed reading with the shared messages. ----------------------------
  // Fails with "invalid type: <what the next value is>, expected <expected>".
  bool fail_type(std::string_view expected);
  // Fails with "invalid value: <what the number is>, expected <expected>".
  bool fail_value(size_t offset, const Number& number, std::string_view expected);

 private:
  void skip_whitespace();
  bool enter(size_t offset);
  bool leave(bool& more);
  bool parse_string(std::string_view& out);
  bool parse_escape(std::string& out);
  bool expect_literal(std::string_view literal);
  bool read_array_value(Value& out);
  bool read_object_value(Value& out);
  bool append_canonical(std::string& out);
  bool append_canonical_array(std::string& out);
  bool append_canonical_object(std::string& out);

  std::string_view text_;
  size_t pos_ = 0;
  int depth_;
  bool failed_ = false;
  std::string message_;
  size_t error_offset_ = 0;
  size_t key_offset_ = 0;
  size_t close_offset_ = 0;
  // A container just opened: the next item needs no comma.
  bool first_item_ = false;
  std::string scratch_;
  // The canonical text being read, reused from value to value.
  std::string canonical_;
  // The members of the objects being made canonical, innermost last; kept
  // with their key buffers from value to value, so reading seldom allocates.
  struct Written {
    std::string key;
    size_t begin;  // `"key":value` is the written text's [begin, end)
    size_t end;
  };
  std::vector<Written> members_;
  size_t members_used_ = 0;
  std::string sorted_;
};

// How a value is named in type and value messages: `integer \`5\``, `string "x"`, `map`.
std::string describe_number(const Number& number);

}  // namespace tallowmere::json
