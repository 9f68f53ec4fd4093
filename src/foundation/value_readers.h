// Readers for the kinds of values record fields hold, beyond the scalar ones
// of json_fields.h: nested records, enumerations, generic values,
// optionals, lists and maps. Each is an object usable as a template argument,
// so field tables can compose them: map_of<record>, optional_of<json::read_u64>.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "foundation/json_fields.h"
#include "foundation/json_reader.h"
#include "foundation/json_struct.h"
#include "foundation/json_value.h"

namespace tallowmere::fields {

// Any record, by its own read().
struct RecordReader {
  template <class T>
  bool operator()(json::Reader& r, T& out) const {
    return read(r, out);
  }
};
inline constexpr RecordReader record{};

// A field whose type is any JSON value, held as its canonical text: null is
// an ordinary value.
struct AnyValue {
  bool operator()(json::Reader& r, json::CanonicalText& out) const {
    return r.read_canonical(out);
  }
};
inline constexpr AnyValue any_value{};

// Missing and null both mean absent, so the field is Presence::Defaulted.
template <auto Read>
struct OptionalOf {
  template <class T>
  bool operator()(json::Reader& r, std::optional<T>& out) const {
    return json::read_optional(r, out, Read);
  }
};
template <auto Read>
inline constexpr OptionalOf<Read> optional_of{};

// A JSON array read into a vector or deque, in its order.
template <auto Read>
struct ListOf {
  template <class Sequence>
  bool operator()(json::Reader& r, Sequence& out) const {
    out.clear();
    if (!r.begin_array()) return false;
    bool more;
    while (r.next_element(more) && more) {
      out.emplace_back();
      if (!Read(r, out.back())) return false;
    }
    return !r.failed();
  }
};
template <auto Read>
inline constexpr ListOf<Read> list_of{};

// A JSON object read into a map; a repeated key keeps its later value.
template <auto Read>
struct MapOf {
  template <class V>
  bool operator()(json::Reader& r, StringMap<V>& out) const {
    return json::read_string_map(r, out, Read);
  }
};
template <auto Read>
inline constexpr MapOf<Read> map_of{};

// An enumeration written as one of `names`, in declaration order; `what`
// names it in the type message, e.g. "enum Access".
template <class Enum, size_t N>
bool read_enum(json::Reader& r, Enum& out, const std::array<std::string_view, N>& names,
               std::string_view what) {
  size_t index = 0;
  if (!json::read_variant_index(r, names, what, index)) return false;
  out = static_cast<Enum>(index);
  return true;
}

}  // namespace tallowmere::fields
