// Decoding JSON text that arrives from the host: the byte limit first, then
// strict reading into a record, with nothing but whitespace after it.
#pragma once

#include <cstdint>
#include <string_view>

#include "foundation/json_reader.h"
#include "foundation/result.h"

namespace tallowmere {

// Byte limits of the host's JSON arguments.
inline constexpr uint64_t kConfigLimitBytes = 1048576;
inline constexpr uint64_t kJournalLimitBytes = 268435456;

// Reads one document with `read(Reader&, T&)`; on failure returns the
// reader's message with its position.
template <class T, class ReadFn>
bool read_document(std::string_view text, T& out, ReadFn read, std::string& error,
                   int depth_budget = json::kDefaultDepthBudget) {
  json::Reader reader(text, depth_budget);
  if (read(reader, out) && reader.finish()) return true;
  error = reader.error();
  return false;
}

// Boundary decoding: "payload_limit: JSON exceeds boundary size" above the
// limit, "invalid_json: <reader message>" when the text does not read.
template <class T, class ReadFn>
Result<T> decode_boundary(std::string_view text, uint64_t limit, ReadFn read,
                          int depth_budget = json::kDefaultDepthBudget) {
  if (text.size() > limit) return fail(Code::kPayloadLimit, "JSON exceeds boundary size");
  T record{};
  std::string error;
  if (!read_document(text, record, read, error, depth_budget)) {
    return fail(Code::kInvalidJson, error);
  }
  return record;
}

}  // namespace tallowmere
