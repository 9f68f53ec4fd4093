// The two bounded event queues: enqueue by traffic class, and drain in
// batches, control events first, each applied as an observation.
#pragma once

#include <cstdint>
#include <string>

#include "contracts/config.h"
#include "contracts/event.h"
#include "foundation/result.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

inline constexpr uint64_t kMaxDrainLimit = 64;

// {"control", "depth", "queued": true}.
Result<std::string> enqueue(const Config& config, WorkingState& state, const Event& event,
                            bool control);

// One item per event taken: {"event_id", "result"} or {"error", "event_id"}.
Result<std::string> drain(const Config& config, WorkingState& state, uint64_t limit,
                          uint64_t tick);

}  // namespace tallowmere
