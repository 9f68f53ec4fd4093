#include "foundation/json_struct.h"

namespace tallowmere::json {

std::string expected_list(std::span<const std::string_view> names) {
  std::string out;
  auto quoted = [&out](std::string_view name) { out.append("`").append(name).append("`"); };
  if (names.size() == 1) {
    quoted(names[0]);
  } else if (names.size() == 2) {
    quoted(names[0]);
    out.append(" or ");
    quoted(names[1]);
  } else {
    out.append("one of ");
    for (size_t i = 0; i < names.size(); ++i) {
      if (i > 0) out.append(", ");
      quoted(names[i]);
    }
  }
  return out;
}

std::string unknown_field_message(std::string_view key, std::span<const std::string_view> names) {
  std::string out = "unknown field `" + std::string(key) + "`, ";
  if (names.empty()) return out + "there are no fields";
  return out + "expected " + expected_list(names);
}

std::string invalid_length_message(uint64_t given, std::string_view what, size_t expected) {
  return "invalid length " + std::to_string(given) + ", expected " + std::string(what) + " with " +
         std::to_string(expected) + (expected == 1 ? " element" : " elements");
}

std::string unknown_variant_message(std::string_view text, std::span<const std::string_view> names) {
  return "unknown variant `" + std::string(text) + "`, expected " + expected_list(names);
}

bool read_variant_index(Reader& r, std::span<const std::string_view> names, std::string_view what,
                        size_t& index) {
  Reader::Kind kind;
  if (!r.peek(kind)) return false;
  if (kind != Reader::Kind::String) return r.fail_type(what);
  const size_t offset = r.value_offset();
  std::string_view text;
  if (!r.read_string_view(text)) return false;
  for (index = 0; index < names.size(); ++index) {
    if (names[index] == text) return true;
  }
  return r.fail_at(offset, unknown_variant_message(text, names));
}

}  // namespace tallowmere::json
