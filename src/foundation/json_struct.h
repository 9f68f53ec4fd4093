// Reading a record from its object form or its positional array form, driven
// by a table of its fields in declaration order. The table fixes the
// messages: duplicate, unknown and missing fields, and the array length.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "foundation/json_reader.h"

namespace tallowmere::json {

enum class Presence : uint8_t {
  Required,   // missing: "missing field `name`"
  Defaulted,  // missing: keeps the value the record was built with
};

// Closed records reject keys that are not field names; open ones skip them.
enum class Keys : uint8_t { Closed, Open };

template <class Record>
struct Field {
  std::string_view name;
  Presence presence;
  bool (*read)(Reader&, Record&);
};

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string expected_list(std::span<const std::string_view> names);
// "unknown field `key`, expected ..." (or "there are no fields").
std::string unknown_field_message(std::string_view key, std::span<const std::string_view> names);
// "invalid length N, expected <what> with K elements".
std::string invalid_length_message(uint64_t given, std::string_view what, size_t expected);

// "unknown variant `text`, expected ...".
std::string unknown_variant_message(std::string_view text, std::span<const std::string_view> names);

// Reads an enumeration written as one of `names`; `what` names it in the type
// message, e.g. "enum Access".
bool read_variant_index(Reader& r, std::span<const std::string_view> names, std::string_view what,
                        size_t& index);

// Reads `out`, which holds the defaults on entry. `what` names the record in
// messages, e.g. "struct Config".
template <class Record, size_t N>
bool read_struct(Reader& r, Record& out, std::string_view what,
                 const std::array<Field<Record>, N>& fields, Keys keys) {
  static_assert(N > 0 && N <= 32);
  Reader::Kind kind;
  if (!r.peek(kind)) return false;
  if (kind == Reader::Kind::Array) {
    if (!r.begin_array()) return false;
    size_t given = 0;
    bool more;
    while (r.next_element(more) && more) {
      if (given == N) {
        // Count what is there, so the message tells the real length.
        if (!r.skip_value()) return false;
        while (r.next_element(more) && more) {
          ++given;
          if (!r.skip_value()) return false;
        }
        if (r.failed()) return false;
        return r.fail_at(r.close_offset(), invalid_length_message(given + 1, what, N));
      }
      if (!fields[given].read(r, out)) return false;
      ++given;
    }
    if (r.failed()) return false;
    for (size_t i = given; i < N; ++i) {
      if (fields[i].presence == Presence::Required) {
        return r.fail_at(r.close_offset(), invalid_length_message(given, what, N));
      }
    }
    return true;
  }
  if (kind != Reader::Kind::Object) return r.fail_type(what);
  if (!r.begin_object()) return false;
  uint32_t seen = 0;
  std::string_view key;
  bool more;
  while (r.next_key(key, more) && more) {
    size_t index = 0;
    while (index < N && fields[index].name != key) ++index;
    if (index == N) {
      if (keys == Keys::Closed) {
        std::array<std::string_view, N> names;
        for (size_t i = 0; i < N; ++i) names[i] = fields[i].name;
        return r.fail_at(r.key_offset(), unknown_field_message(key, names));
      }
      if (!r.skip_value()) return false;
      continue;
    }
    if (seen & (uint32_t{1} << index)) {
      return r.fail_at(r.key_offset(), "duplicate field `" + std::string(key) + "`");
    }
    seen |= uint32_t{1} << index;
    if (!fields[index].read(r, out)) return false;
  }
  if (r.failed()) return false;
  for (size_t i = 0; i < N; ++i) {
    if (fields[i].presence == Presence::Required && !(seen & (uint32_t{1} << i))) {
      return r.fail_at(r.close_offset(), "missing field `" + std::string(fields[i].name) + "`");
    }
  }
  return true;
}

}  // namespace tallowmere::json
