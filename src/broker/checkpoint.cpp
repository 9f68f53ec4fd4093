#include "broker/checkpoint.h"

#include "broker/core.h"
#include "broker/journal_length.h"

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

Result<json::Value> Core::checkpoint(std::string_view acknowledged_tip) {
  const std::string& tip = journal_tip(journal_);
  if (acknowledged_tip != tip) return fail(Code::kCheckpointMismatch);
  const uint64_t sequence = journal_sequence(journal_);
  std::string digest = checkpoint_digest(config_, state_, sequence, clock_ms_, tip);

  Journal next;
  next.schema_version = kSchemaVersion;
  next.config = config_;
  next.checkpoint_state = state_;
  next.checkpoint_sequence = sequence;
  next.checkpoint_tick_ms = clock_ms_;
  next.checkpoint_parent_hash = tip;
  next.checkpoint_hash = digest;
  journal_ = std::move(next);
  journal_length_ = checkpoint_text_length(config_length_, state_length_.total(), sequence,
                                           clock_ms_, journal_.checkpoint_parent_hash,
                                           journal_.checkpoint_hash);
  return json::Value(json::make_object(
      {{"checkpoint_hash", std::move(digest)}, {"sequence", sequence}}));
}

}  // namespace tallowmere
