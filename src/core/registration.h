// Registration of versioned action contracts.
#pragma once

#include "contracts/action_spec.h"
#include "contracts/config.h"
#include "core/json_value.h"
#include "core/result.h"
#include "core/working_state.h"

namespace tallowmere {

// The stored contract; an identical repeat answers without a change.
Result<json::Value> register_action(const Config& config, WorkingState& state,
                                    const ActionSpec& spec);

}  // namespace tallowmere
