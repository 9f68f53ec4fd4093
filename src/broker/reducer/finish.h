// Verified outcomes: finish (of a dispatched intent) and reconcile (of an
// uncertain one). The changed resources become resource history.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "contracts/outcome.h"
#include "foundation/result.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

inline constexpr size_t kMaxFingerprintBytes = 4096;

// The record after the change; an identical repeat on a terminal intent
// answers without a change.
Result<std::string> finish(WorkingState& state, std::string_view intent_id, const Outcome& outcome,
                           uint64_t tick, bool reconcile);

}  // namespace tallowmere
