#include "broker/journal_length.h"

#include "foundation/record.h"

namespace tallowmere {

namespace {

using json::decimal_length;
using json::string_length;

// The frames are measured once on empty records, so the field names and their
// order stay the writer's alone.
uint64_t checkpoint_frame_length() {
  static const uint64_t frame = to_text(Journal{}).size() - to_text(Config{}).size() -
                                to_text(State{}).size() - 2 * decimal_length(0) -
                                2 * string_length("");
  return frame;
}

uint64_t entry_frame_length() {
  static const uint64_t frame = to_text(Entry{}).size() - to_text(Command{}).size() -
                                2 * decimal_length(0) - 3 * string_length("");
  return frame;
}

}  // namespace

uint64_t checkpoint_text_length(uint64_t config_length, uint64_t state_length, uint64_t sequence,
                                uint64_t tick_ms, std::string_view parent_hash,
                                std::string_view checkpoint_hash) {
  return checkpoint_frame_length() + config_length + state_length + decimal_length(sequence) +
         decimal_length(tick_ms) + string_length(parent_hash) + string_length(checkpoint_hash);
}

uint64_t entry_text_length(const Entry& entry, uint64_t command_length) {
  return entry_frame_length() + command_length + decimal_length(entry.sequence) +
         decimal_length(entry.tick_ms) + string_length(entry.previous_hash) +
         string_length(entry.result_hash) + string_length(entry.hash);
}

}  // namespace tallowmere
