// Everything the broker knows besides its configuration and journal.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "contracts/action_spec.h"
#include "contracts/config.h"
#include "contracts/event.h"
#include "contracts/intent_record.h"
#include "foundation/json_fields.h"
#include "foundation/json_reader.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"

namespace tallowmere {

struct ResourceState {
  uint64_t revision = 0;
  std::string fingerprint;
  uint64_t observed_ms = 0;

  friend bool operator==(const ResourceState&, const ResourceState&) = default;
};

struct State {
  StringMap<ActionSpec> actions;
  StringSet capabilities;
  StringMap<ResourceState> resources;
  StringMap<IntentRecord> intents;
  StringMap<std::string> operation_keys;
  StringMap<uint64_t> source_sequences;
  StringMap<std::string> event_hashes;
  std::deque<Event> normal_queue;
  std::deque<Event> control_queue;
  uint64_t revision = 0;

  friend bool operator==(const State&, const State&) = default;
};

// Empty collections, the configured capabilities, revision 0.
State initial_state(const Config& config);

bool read(json::Reader& r, ResourceState& out);
bool read(json::Reader& r, State& out);
void write(json::Writer& w, const ResourceState& resource);
// The length of write's text, measured without writing it.
uint64_t text_length(const ResourceState& resource);
void write(json::Writer& w, const State& state);
uint64_t text_length(const State& state);
json::Value to_value(const ResourceState& resource);
// The text of to_value, written without building the value.
void write_sorted(json::Writer& w, const ResourceState& resource);
json::Value to_value(const State& state);
void write_sorted(json::Writer& w, const State& state);

}  // namespace tallowmere
