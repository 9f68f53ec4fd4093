// A versioned action contract: what an intent of this action needs and may do.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/json_fields.h"
#include "foundation/json_reader.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"

namespace tallowmere {

struct ActionSpec {
  std::string action_id;
  uint64_t version = 1;
  StringSet required_capabilities;
  bool allow_write = false;
  uint64_t max_resources = 64;

  friend bool operator==(const ActionSpec&, const ActionSpec&) = default;
};

bool read(json::Reader& r, ActionSpec& out);
void write(json::Writer& w, const ActionSpec& spec);
// The length of write's text, measured without writing it.
uint64_t text_length(const ActionSpec& spec);
json::Value to_value(const ActionSpec& spec);
// The text of to_value, written without building the value.
void write_sorted(json::Writer& w, const ActionSpec& spec);

}  // namespace tallowmere
