// Helpers shared by the JSON tests and the broker's: a reader error with its
// position, and the canonical text of a document that must read.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/json_reader.h"

namespace tallowmere::json::testing {

inline std::string at(std::string_view message, int line, int column) {
  return std::string(message) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

inline CanonicalText canonical_text(std::string_view text) {
  Reader reader(text);
  CanonicalText value;
  if (!reader.read_canonical(value) || !reader.finish()) throw std::invalid_argument(reader.error());
  return value;
}

}  // namespace tallowmere::json::testing
