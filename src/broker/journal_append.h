// Appending to the journal: the backpressure rules, by entry count with its
// reserve for work that ends intents and by the length of the journal text
// with its reserve of bytes for the same, and the next entry of the hash chain.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "contracts/command.h"
#include "contracts/config.h"
#include "contracts/intent_record.h"
#include "contracts/journal.h"
#include "foundation/json_value.h"
#include "foundation/result.h"

namespace tallowmere {

// "journal_backpressure: ...": the host must persist the journal and
// acknowledge its tip before more changes are journaled.
Error journal_backpressure();

// Whether a state-changing command may take one more entry. `open_intents`
// counts the open intents of the working state; `control_waiting` tells
// whether the committed control queue holds an event.
Check admit_to_journal(const Config& config, uint64_t entry_count, uint64_t open_intents,
                       const Command& command, bool control_waiting);

// What a new entry would make the journal weigh, in bytes of text.
struct JournalGrowth {
  // The journal with the entry appended.
  uint64_t journal_after = 0;
  // A checkpoint of the committed state followed by the entry alone: the
  // journal the host gets by acknowledging the tip first.
  uint64_t refolded = 0;
  // A checkpoint of the state the command leaves.
  uint64_t checkpoint_after = 0;
};

// How many journaled commands the minimal ending of this intent may still
// take: none once it is terminal; one when accepted (cancel or expire) or
// unknown with cancellation requested (reconcile); two when cancellation was
// requested (finish as unknown, reconcile) or the effect is unknown (cancel,
// reconcile); three when running (cancel, finish as unknown, reconcile).
// A stored journal may hold a cancellation-requested record without the
// flag, which the broker never writes: finishing it as unknown leaves the
// flag unset, so it takes three steps too (finish, cancel, reconcile).
// Every step of such an ending, and recovery, lowers the count.
uint64_t ending_steps(const IntentRecord& record);

// The longest entry one step of a minimal ending writes, and so the room
// held back for each step.
uint64_t ending_step_bytes();

// The bytes held back so that, whatever was accepted, every open intent can
// still be ended and the journal recovered: a step's room for each remaining
// ending step, and one more while events are queued, for the recover entry.
uint64_t ending_reserve(uint64_t ending_steps, bool events_queued);

// Whether the journal, and every checkpoint taken on it, stays within
// `limit_bytes` with the new entry and `reserve_bytes` to spare:
// "journal_limit" when no checkpoint can make room, backpressure when
// acknowledging the tip would.
Check admit_journal_size(uint64_t limit_bytes, uint64_t reserve_bytes,
                         const JournalGrowth& growth);

// The entry that follows the journal's tip. `command_text` is the command's
// canonical text and `result_hash` the digest of its result's; the command is
// moved into the entry only on success. `recorded`, in replay, is the stored
// entry whose hash replay has verified: when the new entry agrees with it on
// everything that hash covers, its hash is taken rather than computed again.
Result<Entry> next_entry(const Journal& journal, uint64_t tick, Command&& command,
                         std::string_view command_text, std::string result_hash,
                         const Entry* recorded = nullptr);

}  // namespace tallowmere
