// How each kind of record member is written and converted to a generic value:
// strings, counts, booleans, enumerations by name, generic values, optionals
// (absent is null), sets and lists as arrays, maps as objects, and nested
// records by their own write and to_value; canonical texts as they are. Sets
// and maps iterate in ascending byte order already, which is the order both
// forms need.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

#include "foundation/json_value.h"
#include "foundation/json_writer.h"

namespace tallowmere {

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <class T>
concept StringKeyedMap = requires { typename T::mapped_type; };

template <class T>
concept Sequence = requires(const T& items) {
  items.begin();
  items.end();
  items.size();
};

// Nested records in declared field order, or with `kSorted` in ascending key
// order as their generic values are written (write_sorted).
template <bool kSorted = false, class T>
void write_member(json::Writer& w, const T& member) {
  if constexpr (std::is_same_v<T, std::string>) {
    w.string(member);
  } else if constexpr (std::is_same_v<T, bool>) {
    w.boolean(member);
  } else if constexpr (std::is_unsigned_v<T>) {
    w.u64(member);
  } else if constexpr (std::is_enum_v<T>) {
    w.string(name_of(member));
  } else if constexpr (std::is_same_v<T, json::Value>) {
    w.value(member);
  } else if constexpr (std::is_same_v<T, json::CanonicalText>) {
    w.canonical(member);
  } else if constexpr (kIsOptional<T>) {
    if (member) {
      write_member<kSorted>(w, *member);
    } else {
      w.null();
    }
  } else if constexpr (StringKeyedMap<T>) {
    w.begin_object();
    for (const auto& [key, item] : member) {
      w.key(key);
      write_member<kSorted>(w, item);
    }
    w.end_object();
  } else if constexpr (Sequence<T>) {
    w.begin_array();
    for (const auto& item : member) write_member<kSorted>(w, item);
    w.end_array();
  } else if constexpr (kSorted) {
    write_sorted(w, member);
  } else {
    write(w, member);
  }
}

// The length of the text write_member writes, measured without writing it.
template <class T>
uint64_t member_length(const T& member) {
  if constexpr (std::is_same_v<T, std::string>) {
    return json::string_length(member);
  } else if constexpr (std::is_same_v<T, bool>) {
    return member ? 4 : 5;
  } else if constexpr (std::is_unsigned_v<T>) {
    return json::decimal_length(member);
  } else if constexpr (std::is_enum_v<T>) {
    return json::string_length(name_of(member));
  } else if constexpr (std::is_same_v<T, json::Value>) {
    return json::to_text(member).size();
  } else if constexpr (std::is_same_v<T, json::CanonicalText>) {
    return member.text().size();
  } else if constexpr (kIsOptional<T>) {
    return member ? member_length(*member) : 4;
  } else if constexpr (StringKeyedMap<T>) {
    uint64_t length = member.empty() ? 2 : 1 + member.size();  // braces and commas
    for (const auto& [key, item] : member) length += json::string_length(key) + 1 + member_length(item);
    return length;
  } else if constexpr (Sequence<T>) {
    uint64_t length = member.size() == 0 ? 2 : 1 + member.size();
    for (const auto& item : member) length += member_length(item);
    return length;
  } else {
    return text_length(member);
  }
}

template <class T>
json::Value member_value(const T& member) {
  if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, bool> ||
                std::is_same_v<T, json::Value> || std::is_same_v<T, json::CanonicalText>) {
    return json::Value(member);
  } else if constexpr (std::is_unsigned_v<T>) {
    return json::Value(static_cast<uint64_t>(member));
  } else if constexpr (std::is_enum_v<T>) {
    return json::Value(name_of(member));
  } else if constexpr (kIsOptional<T>) {
    return member ? member_value(*member) : json::Value();
  } else if constexpr (StringKeyedMap<T>) {
    json::Object object;
    object.reserve(member.size());
    for (const auto& [key, item] : member) object.append_sorted(key, member_value(item));
    return json::Value(std::move(object));
  } else if constexpr (Sequence<T>) {
    json::Array array;
    array.reserve(member.size());
    for (const auto& item : member) array.push_back(member_value(item));
    return json::Value(std::move(array));
  } else {
    return to_value(member);
  }
}

}  // namespace tallowmere
