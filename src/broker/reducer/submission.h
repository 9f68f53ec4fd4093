// Admission of intents: form, idempotent repeats, ledger capacity, authority
// and leases, then an accepted record with a deadline.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "contracts/config.h"
#include "contracts/intent.h"
#include "foundation/result.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

// {"duplicate": bool, "record": the stored record}.
Result<std::string> submit(const Config& config, WorkingState& state, const Intent& intent,
                           uint64_t tick);

// "<byte length of action_id>:<action_id>:<idempotency_key>", or nothing
// without an idempotency key.
std::optional<std::string> operation_key(const Intent& intent);

// Equal in everything but the intent id and the ttl.
bool same_operation(const Intent& a, const Intent& b);

}  // namespace tallowmere
