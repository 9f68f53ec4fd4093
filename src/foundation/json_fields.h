// Typed field readers shared by every record decoder: unsigned integers,
// strings, sets, maps and optional values, with the shared type messages.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "foundation/json_reader.h"

namespace tallowmere {

// Orders keys as std::string does (bytes as unsigned char, then length),
// eight bytes at a time and inline: ids share long prefixes, and every
// lookup in the state compares a key at each level of its tree.
struct KeyLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    size_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
      for (; i + 8 <= common; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y);
      }
    }
    for (; i < common; ++i) {
      if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
  }
};

using StringSet = std::set<std::string, KeyLess>;
template <class V>
using StringMap = std::map<std::string, V, KeyLess>;

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
