// Consistency of a checkpoint state with its configuration, checked before
// a stored checkpoint is trusted.
#pragma once

#include "contracts/config.h"
#include "contracts/state.h"
#include "foundation/result.h"

namespace tallowmere {

// Limits, declared capabilities, then the intent registry.
Check validate_state(const Config& config, const State& state);

}  // namespace tallowmere
