#include "foundation/tagged_object.h"

namespace tallowmere {

bool scan_tagged_object(json::Reader& r, std::string_view tag, TagScan& out) {
  out = TagScan{};
  if (!r.begin_object()) return false;
  std::string_view key;
  bool more;
  while (r.next_key(key, more) && more) {
    if (key == tag) {
      if (!out.found) {
        out.found = true;
        out.value = r.mark();
      } else if (!out.repeated) {
        out.repeated = true;
        out.repeat_offset = r.key_offset();
      }
    }
    if (!r.skip_value()) return false;
  }
  if (r.failed()) return false;
  out.close_offset = r.close_offset();
  return true;
}

std::string missing_field_message(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}

std::string duplicate_field_message(std::string_view name) {
  return "duplicate field `" + std::string(name) + "`";
}

}  // namespace tallowmere
