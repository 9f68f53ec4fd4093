// The dispatcher: routes each command to its reducer operation. A pure
// function of the configuration, the working state, the command and the tick.
// Every operation answers with its result's canonical text (keys ascending),
// written once: the journal hashes those bytes and the caller receives them.
#pragma once

#include <cstdint>
#include <string>

#include "contracts/command.h"
#include "contracts/config.h"
#include "foundation/result.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

Result<std::string> apply(const Config& config, WorkingState& state, const Command& command,
                          uint64_t tick);

}  // namespace tallowmere
