// Reading a stored journal from the host: the replay size limit, then strict
// reading with a nesting budget deep enough for everything the broker writes.
#pragma once

#include <string_view>

#include "contracts/journal.h"
#include "foundation/json_reader.h"
#include "foundation/result.h"

namespace tallowmere {

// A journal holds host values 4 levels deeper than the host hands them in:
// journal, entries, entry, command around a submitted intent or a reported
// outcome, and journal, checkpoint_state, intents, record around a stored one.
inline constexpr int kJournalEnvelopeDepth = 4;
inline constexpr int kJournalDepthBudget = json::kDefaultDepthBudget + kJournalEnvelopeDepth;

// Boundary decoding of `journal_json` for replay and recovery.
Result<Journal> decode_journal(std::string_view text);

}  // namespace tallowmere
