// Registration of versioned action contracts.
#pragma once

#include <string>

#include "contracts/action_spec.h"
#include "contracts/config.h"
#include "foundation/result.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

// The stored contract; an identical repeat answers without a change.
Result<std::string> register_action(const Config& config, WorkingState& state,
                                    const ActionSpec& spec);

}  // namespace tallowmere
