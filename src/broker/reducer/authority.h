// Whether an intent may run now: its action contract, the live capabilities
// and the revisions of its resources; and the lease rule between intents.
#pragma once

#include <vector>

#include "contracts/action_spec.h"
#include "contracts/intent.h"
#include "contracts/state.h"
#include "foundation/result.h"

namespace tallowmere {

// The intent's registered contract as stored, or the first failing check.
Result<const ActionSpec*> check_authority(const State& state, const Intent& intent);

// Two reference lists conflict when they name one resource and at least one
// of the two references writes it.
bool conflicts(const std::vector<ResourceRef>& a, const std::vector<ResourceRef>& b);

}  // namespace tallowmere
