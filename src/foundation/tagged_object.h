// Objects whose variant is named by a tag key ("kind" of an event,
// "operation" of a command) that may stand anywhere among the others. A first
// pass reads the whole object, so syntax errors come first and the tag is
// known before the fields are read in a second pass from a mark.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/json_reader.h"

namespace tallowmere {

struct TagScan {
  bool found = false;
  // Where the value of the first tag key starts.
  json::Reader::Mark value{};
  bool repeated = false;
  // The second tag key, when there is one.
  size_t repeat_offset = 0;
  size_t close_offset = 0;
};

// Reads the object at the reader's position through; the reader stands after
// it on success.
bool scan_tagged_object(json::Reader& r, std::string_view tag, TagScan& out);

std::string missing_field_message(std::string_view name);
std::string duplicate_field_message(std::string_view name);

}  // namespace tallowmere
