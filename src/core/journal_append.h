// Appending to the journal: the backpressure rule with its reserve for work
// that ends intents, and the next entry of the hash chain.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "contracts/command.h"
#include "contracts/config.h"
#include "contracts/journal.h"
#include "core/json_value.h"
#include "core/result.h"

namespace tallowmere {

// Whether a state-changing command may take one more entry. `open_intents`
// counts the open intents of the working state; `control_waiting` tells
// whether the committed control queue holds an event.
Check admit_to_journal(const Config& config, uint64_t entry_count, uint64_t open_intents,
                       const Command& command, bool control_waiting);

// The entry that follows the journal's tip. `command_text` is the command's
// canonical text; the command is moved into the entry only on success.
Result<Entry> next_entry(const Journal& journal, uint64_t tick, Command&& command,
                         std::string_view command_text, const json::Value& result);

// The text an entry's hash covers: [sequence,tick_ms,previous_hash,command,result_hash].
std::string entry_hash_text(uint64_t sequence, uint64_t tick_ms, std::string_view previous_hash,
                            std::string_view command_text, std::string_view result_hash);

}  // namespace tallowmere
