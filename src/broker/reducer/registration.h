// Registration of versioned action contracts.
#pragma once

#include "contracts/action_spec.h"
#include "contracts/config.h"
#include "foundation/json_value.h"
#include "foundation/result.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

// The stored contract; an identical repeat answers without a change.
Result<json::Value> register_action(const Config& config, WorkingState& state,
                                    const ActionSpec& spec);

}  // namespace tallowmere
