// The length of a journal's canonical text, computed from the lengths of its
// parts: the checkpoint part is known once it is taken, each entry when it is
// built, so the broker always knows what its journal weighs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "contracts/journal.h"

namespace tallowmere {

// A journal with no entries.
uint64_t checkpoint_text_length(uint64_t config_length, uint64_t state_length, uint64_t sequence,
                                uint64_t tick_ms, std::string_view parent_hash,
                                std::string_view checkpoint_hash);

// One entry, whose command text is `command_length` bytes long.
uint64_t entry_text_length(const Entry& entry, uint64_t command_length);

// A journal of `journal_length` bytes and `entry_count` entries, one entry longer.
inline uint64_t appended_length(uint64_t journal_length, size_t entry_count,
                                uint64_t entry_length) {
  return journal_length + (entry_count == 0 ? 0 : 1) + entry_length;
}

}  // namespace tallowmere
