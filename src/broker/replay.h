// Rebuilding a core from a stored journal: verify the checkpoint and the
// chain, then re-run every entry through the same transaction.
#pragma once

#include <cstdint>

#include "contracts/journal.h"
#include "foundation/boundary.h"
#include "broker/core.h"
#include "foundation/result.h"

namespace tallowmere {

// The core as it stood after the journal's last entry. `journal_limit_bytes`
// must be the limit the journal was written under.
Result<Core> replay_journal(Journal journal, uint64_t journal_limit_bytes = kJournalLimitBytes);

// Replay, then the recover command at the clock plus one: nothing admitted
// before the restart runs without a new decision. A journal with no room
// left for the recover entry is first folded into a checkpoint on its tip.
Result<Core> recover_journal(Journal journal, uint64_t journal_limit_bytes = kJournalLimitBytes);

}  // namespace tallowmere
