#include "broker/reducer/dispatch.h"

#include "broker/reducer/authority.h"
#include "foundation/invariant.h"
#include "foundation/record.h"

namespace tallowmere {

void write_ids(json::Writer& w, const std::vector<std::string>& ids) {
  w.begin_array();
  for (const std::string& id : ids) w.string(id);
  w.end_array();
}

Result<std::string> begin(WorkingState& state, std::string_view intent_id, uint64_t tick) {
  const State& view = state.view();
  auto found = view.intents.find(intent_id);
  if (found == view.intents.end()) return fail(Code::kUnknownIntent, intent_id);
  const IntentRecord& current = found->second;
  if (current.status != Status::Accepted) {
    return fail(Code::kNotDispatchable, display_name(current.status));
  }
  if (current.expires_ms <= tick) return fail(Code::kExpired);
  if (current.cancellation_requested) {
    return fail(Code::kCancelled);
  }
  Result<const ActionSpec*> spec = check_authority(view, current.intent);
  if (!spec) return std::move(spec).take_error();
  if (auto holder = state.first_lease_conflict(current.intent.resources, intent_id)) {
    return fail(Code::kLeaseConflict, *holder);
  }
  found = view.intents.find(intent_id);
  if (found == view.intents.end()) return fail(Code::kIntentDisappeared);

  IntentRecord record = found->second;
  record.status = Status::Running;
  record.started_ms = tick;
  const IntentRecord& stored = state.put_intent(std::move(record));
  json::Writer w(json::kTransientCapacity);
  w.begin_object();
  w.plain_key("action_spec");
  write_sorted(w, **spec);
  w.plain_key("admitted");
  w.boolean(true);
  w.plain_key("arguments");
  w.canonical(stored.intent.arguments);
  w.plain_key("record");
  write_sorted(w, stored);
  w.end_object();
  return w.take();
}

Result<std::string> cancel(WorkingState& state, std::string_view intent_id, uint64_t tick) {
  const State& view = state.view();
  auto found = view.intents.find(intent_id);
  if (found == view.intents.end()) return fail(Code::kUnknownIntent, intent_id);
  if (is_terminal(found->second.status)) return value_text(found->second);
  IntentRecord record = found->second;
  record.cancellation_requested = true;
  if (record.status == Status::Accepted) {
    record.status = Status::Cancelled;
    record.finished_ms = tick;
  } else if (record.status == Status::Running) {
    record.status = Status::CancellationRequested;
  }
  return value_text(state.put_intent(std::move(record)));
}

std::vector<std::string> expire_overdue(WorkingState& state, uint64_t tick) {
  std::vector<std::string> expired = state.overdue_accepted(tick);
  for (const std::string& id : expired) {
    IntentRecord record = must_find(state.view().intents, id);
    record.status = Status::Expired;
    record.finished_ms = tick;
    state.put_intent(std::move(record));
  }
  return expired;
}

std::string expire(WorkingState& state, uint64_t tick) {
  json::Writer w(json::kTransientCapacity);
  w.begin_object();
  w.plain_key("expired");
  write_ids(w, expire_overdue(state, tick));
  w.end_object();
  return w.take();
}

std::string recover(WorkingState& state, uint64_t tick) {
  std::vector<std::string> invalidated;
  std::vector<std::string> unknown;
  for (const std::string& id : state.open_intents()) {
    IntentRecord record = must_find(state.view().intents, id);
    if (record.status == Status::Running || record.status == Status::CancellationRequested) {
      record.status = Status::EffectUnknown;
      unknown.push_back(id);
    } else if (record.status == Status::Accepted) {
      record.status = Status::Invalidated;
      record.invalidation_reason = kRestartReason;
      record.finished_ms = tick;
      invalidated.push_back(id);
    } else {
      continue;
    }
    state.put_intent(std::move(record));
  }
  state.clear_queues();
  json::Writer w(json::kTransientCapacity);
  w.begin_object();
  w.plain_key("effects_executed");
  w.u64(0);
  w.plain_key("invalidated");
  write_ids(w, invalidated);
  w.plain_key("unknown");
  write_ids(w, unknown);
  w.end_object();
  return w.take();
}

}  // namespace tallowmere
