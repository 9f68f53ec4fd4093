// Field readers for the model exports: single- and double-precision numbers
// and lists of strings and doubles, with the shared type messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/json_number.h"
#include "foundation/json_reader.h"

namespace tallowmere::policy {

// Integer literals convert directly to the nearest float; fractions and
// exponents go through double first. Beyond the float range the result is an
// infinity, which the callers reject later.
float to_f32(const json::Number& number);
double to_f64(const json::Number& number);

bool read_f32(json::Reader& r, float& out);
bool read_f64(json::Reader& r, double& out);

// A JSON array read item by item with `read_item(Reader&, T&)`.
template <class T, class ReadItem>
bool read_list(json::Reader& r, std::vector<T>& out, ReadItem read_item) {
  out.clear();
  if (!r.begin_array()) return false;
  bool more;
  while (r.next_element(more) && more) {
    out.emplace_back();
    if (!read_item(r, out.back())) return false;
  }
  return !r.failed();
}

// Like read_list, but keeps only as many items as `room` allows, taking them
// from it, and reads the rest in full into a scratch item. For lists whose
// excess validation refuses anyway: the outcome stays that of reading
// everything, while a hostile text of tiny items cannot take many times its
// own size in memory.
template <class T, class ReadItem>
bool read_list_within(json::Reader& r, std::vector<T>& out, uint64_t& room, ReadItem read_item) {
  out.clear();
  if (!r.begin_array()) return false;
  T scratch;
  bool more;
  while (r.next_element(more) && more) {
    T* item = &scratch;
    if (room > 0) {
      --room;
      item = &out.emplace_back();
    } else {
      scratch = T{};
    }
    if (!read_item(r, *item)) return false;
  }
  return !r.failed();
}

inline bool read_string(json::Reader& r, std::string& out) { return r.read_string(out); }

inline bool read_string_list(json::Reader& r, std::vector<std::string>& out) {
  return read_list(r, out, read_string);
}

inline bool read_f64_list(json::Reader& r, std::vector<double>& out) {
  return read_list(r, out, read_f64);
}

}  // namespace tallowmere::policy
