// Rebuilding a core from a stored journal: verify the checkpoint and the
// chain, then re-run every entry through the same transaction.
#pragma once

#include "contracts/journal.h"
#include "core/core.h"
#include "core/result.h"

namespace tallowmere {

// The core as it stood after the journal's last entry.
Result<Core> replay_journal(Journal journal);

// Replay, then the recover command at the clock plus one: nothing admitted
// before the restart runs without a new decision.
Result<Core> recover_journal(Journal journal);

}  // namespace tallowmere
