// Typed field readers shared by every record decoder: unsigned integers,
// strings, sets, maps and optional values, with the shared type messages.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "foundation/json_reader.h"

namespace tallowmere {

// Transparent, so lookups by string_view need no temporary string.
using StringSet = std::set<std::string, std::less<>>;
template <class V>
using StringMap = std::map<std::string, V, std::less<>>;

namespace json {

// Accepts only integer literals that fit; "invalid value" for negatives and
// values beyond the width, "invalid type" for fractions, exponents and others.
bool read_u64(Reader& r, uint64_t& out);
bool read_u32(Reader& r, uint32_t& out);
bool read_string_field(Reader& r, std::string& out);
bool read_bool_field(Reader& r, bool& out);
// An array of strings; a repeated member counts once.
bool read_string_set(Reader& r, StringSet& out);

// An object; a key given twice keeps its later value.
template <class V, class ReadValue>
bool read_string_map(Reader& r, StringMap<V>& out, ReadValue read_value) {
  out.clear();
  if (!r.begin_object()) return false;
  std::string_view key;
  bool more;
  while (r.next_key(key, more) && more) {
    V value{};
    std::string owned_key(key);
    if (!read_value(r, value)) return false;
    out.insert_or_assign(std::move(owned_key), std::move(value));
  }
  return !r.failed();
}

// null (or a missing field) means absent.
template <class T, class ReadValue>
bool read_optional(Reader& r, std::optional<T>& out, ReadValue read_value) {
  Reader::Kind kind;
  if (!r.peek(kind)) return false;
  if (kind == Reader::Kind::Null) {
    out.reset();
    return r.read_null();
  }
  T value{};
  if (!read_value(r, value)) return false;
  out = std::move(value);
  return true;
}

}  // namespace json
}  // namespace tallowmere
