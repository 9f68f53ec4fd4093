// The dispatch lifecycle between submission and outcome: begin, cancel,
// expiry of undispatched intents, and recovery after a restart.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/json_writer.h"
#include "foundation/result.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

inline constexpr char kRestartReason[] = "process_restart_requires_new_observation";

// {"action_spec", "admitted": true, "arguments", "record"}.
Result<std::string> begin(WorkingState& state, std::string_view intent_id, uint64_t tick);

// The record after the change; a terminal intent is returned unchanged.
Result<std::string> cancel(WorkingState& state, std::string_view intent_id, uint64_t tick);

// Ends every accepted intent whose deadline is at or before the tick and
// returns their ids in ascending order.
std::vector<std::string> expire_overdue(WorkingState& state, uint64_t tick);

// {"expired": [ids]}.
std::string expire(WorkingState& state, uint64_t tick);

// {"effects_executed": 0, "invalidated": [ids], "unknown": [ids]}.
std::string recover(WorkingState& state, uint64_t tick);

// A list of ids as a JSON array.
void write_ids(json::Writer& w, const std::vector<std::string>& ids);

}  // namespace tallowmere
