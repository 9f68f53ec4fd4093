#include "broker/checkpoint.h"

namespace tallowmere {

Check validate_state(const Config& config, const State& state) {
  if (state.resources.size() > config.max_resources || state.intents.size() > config.max_intents ||
      state.event_hashes.size() > config.max_events ||
      state.normal_queue.size() > config.normal_capacity ||
      state.control_queue.size() > config.control_capacity) {
    return fail(Code::kCheckpointLimit);
  }
  for (const std::string& capability : state.capabilities) {
    if (!config.capabilities.contains(capability)) {
      return fail(Code::kCheckpointCapabilities);
    }
  }
  for (const auto& [id, record] : state.intents) {
    if (id != record.intent.intent_id || !state.actions.contains(record.intent.action_id)) {
      return fail(Code::kCheckpointIntent);
    }
  }
  return {};
}

}  // namespace tallowmere
