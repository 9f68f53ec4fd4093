// The persisted form of a broker: a checkpoint (configuration, state and its
// digest) and the hash-chained entries appended since.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "contracts/command.h"
#include "contracts/config.h"
#include "contracts/state.h"
#include "foundation/json_reader.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"
#include "foundation/result.h"

namespace tallowmere {

inline constexpr uint32_t kSchemaVersion = 1;
inline constexpr char kGenesisParent[] = "genesis";

struct Entry {
  uint64_t sequence = 0;
  uint64_t tick_ms = 0;
  std::string previous_hash;
  Command command;
  std::string result_hash;
  std::string hash;

  friend bool operator==(const Entry&, const Entry&) = default;
};

struct Journal {
  uint32_t schema_version = kSchemaVersion;
  Config config;
  State checkpoint_state;
  uint64_t checkpoint_sequence = 0;
  uint64_t checkpoint_tick_ms = 0;
  std::string checkpoint_parent_hash;
  std::string checkpoint_hash;
  // Appending never moves the entries before it: a long journal grows
  // without the pause of copying itself to a larger block.
  std::deque<Entry> entries;

  friend bool operator==(const Journal&, const Journal&) = default;
};

bool read(json::Reader& r, Entry& out);
bool read(json::Reader& r, Journal& out);
void write(json::Writer& w, const Entry& entry);
// The length of write's text, measured without writing it.
uint64_t text_length(const Entry& entry);
void write(json::Writer& w, const Journal& journal);
uint64_t text_length(const Journal& journal);
// The journal as `write` gives it with an empty entry list: its checkpoint alone.
void write_head(json::Writer& w, const Journal& journal);
json::Value to_value(const Entry& entry);
// The text of to_value, written without building the value.
void write_sorted(json::Writer& w, const Entry& entry);
json::Value to_value(const Journal& journal);
void write_sorted(json::Writer& w, const Journal& journal);

// The text an entry's hash covers, [sequence,tick_ms,previous_hash,command,
// result_hash], with `command_text` the command's canonical text. Append and
// replay both hash this text; the entry's own hash is not part of it.
std::string entry_hash_input(uint64_t sequence, uint64_t tick_ms, std::string_view previous_hash,
                             std::string_view command_text, std::string_view result_hash);
// SHA-256 of the entry's entry_hash_input.
std::string computed_hash(const Entry& entry);

// SHA-256 of [config,state,sequence,tick_ms,parent_hash].
std::string checkpoint_digest(const Config& config, const State& state, uint64_t sequence,
                              uint64_t tick_ms, std::string_view parent_hash);

// The hash of the last entry, or the checkpoint hash with no entries.
const std::string& journal_tip(const Journal& journal);
// The sequence of the last entry, or the checkpoint sequence with no entries.
uint64_t journal_sequence(const Journal& journal);

}  // namespace tallowmere
