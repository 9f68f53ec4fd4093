// The dispatcher: routes each command to its reducer operation. A pure
// function of the configuration, the working state, the command and the tick.
#pragma once

#include <cstdint>

#include "contracts/command.h"
#include "contracts/config.h"
#include "foundation/json_value.h"
#include "foundation/result.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

Result<json::Value> apply(const Config& config, WorkingState& state, const Command& command,
                          uint64_t tick);

}  // namespace tallowmere
