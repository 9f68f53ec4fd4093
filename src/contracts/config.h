// The broker's fixed configuration: workspace, declared capabilities,
// trusted sources and the capacity limits.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/json_fields.h"
#include "foundation/json_reader.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"
#include "foundation/result.h"

namespace tallowmere {

struct Config {
  std::string workspace_id = "default";
  StringSet capabilities;
  StringSet trusted_sources = {"runtime", "verifier"};
  uint64_t normal_capacity = 256;
  uint64_t control_capacity = 32;
  uint64_t max_event_bytes = 65536;
  uint64_t max_resources = 4096;
  uint64_t max_intents = 4096;
  uint64_t max_events = 65536;
  uint64_t max_journal_entries = 100000;

  friend bool operator==(const Config&, const Config&) = default;
};

// Closed record; every field defaulted.
bool read(json::Reader& r, Config& out);
void write(json::Writer& w, const Config& config);
// The length of write's text, measured without writing it.
uint64_t text_length(const Config& config);
json::Value to_value(const Config& config);
// The text of to_value, written without building the value.
void write_sorted(json::Writer& w, const Config& config);

// Identifier of the workspace, capacity bounds, then capabilities and trusted
// sources in ascending order; the first failure decides.
Check validate(const Config& config);

}  // namespace tallowmere
