#include "foundation/json_fields.h"

#include <limits>

namespace tallowmere::json {

namespace {

bool read_unsigned(Reader& r, uint64_t& out, uint64_t max, std::string_view expected) {
  Reader::Kind kind;
  if (!r.peek(kind)) return false;
  if (kind != Reader::Kind::Number) return r.fail_type(expected);
  const size_t offset = r.value_offset();
  Number number;
  if (!r.read_number(number)) return false;
  switch (number.kind) {
    case Number::Kind::Unsigned:
      if (number.u > max) return r.fail_value(offset, number, expected);
      out = number.u;
      return true;
    case Number::Kind::Signed: return r.fail_value(offset, number, expected);
    case Number::Kind::Double:
      return r.fail_at(offset, "invalid type: " + describe_number(number) + ", expected " +
                                   std::string(expected));
  }
  return false;
}

}  // namespace

bool read_u64(Reader& r, uint64_t& out) {
  return read_unsigned(r, out, std::numeric_limits<uint64_t>::max(), "u64");
}

bool read_u32(Reader& r, uint32_t& out) {
  uint64_t wide = 0;
  if (!read_unsigned(r, wide, std::numeric_limits<uint32_t>::max(), "u32")) return false;
  out = static_cast<uint32_t>(wide);
  return true;
}

bool read_string_field(Reader& r, std::string& out) { return r.read_string(out); }

bool read_bool_field(Reader& r, bool& out) { return r.read_bool(out); }

bool read_string_set(Reader& r, StringSet& out) {
  out.clear();
  if (!r.begin_array()) return false;
  bool more;
  while (r.next_element(more) && more) {
    std::string_view member;
    if (!r.read_string_view(member)) return false;
    if (out.find(member) == out.end()) out.emplace(member);
  }
  return !r.failed();
}

}  // namespace tallowmere::json
