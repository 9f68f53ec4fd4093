// Events from trusted sources: admission, deduplication, per-source order,
// and the effect of each payload; and revocation of capabilities.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "contracts/config.h"
#include "contracts/event.h"
#include "foundation/result.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

inline constexpr char kResourceChangedReason[] = "resource_changed_before_dispatch";

// Identifiers, trusted source, sequence from 1, and the byte limit.
Check validate_event(const Config& config, const Event& event);

// {"duplicate": true, "revision"} for a repeat, else {"duplicate": false,
// "result", "revision", "sequence_gap"}.
Result<std::string> observe(const Config& config, WorkingState& state, const Event& event,
                            uint64_t tick);

// {"affected": [ids], "capability", "revoked": bool}.
Result<std::string> revoke(WorkingState& state, std::string_view capability, uint64_t tick);

}  // namespace tallowmere
