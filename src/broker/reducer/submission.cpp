#include "broker/reducer/submission.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "broker/reducer/authority.h"
#include "broker/reducer/dispatch.h"
#include "foundation/identifier.h"
#include "foundation/record.h"

namespace tallowmere {

namespace {

constexpr uint64_t kMaxTtlMs = 86400000;

std::string submission_result(bool duplicate, const IntentRecord& record) {
  json::Writer w(json::kTransientCapacity);
  w.begin_object();
  w.plain_key("duplicate");
  w.boolean(duplicate);
  w.plain_key("record");
  write_sorted(w, record);
  w.end_object();
  return w.take();
}

bool has_duplicate_resource(const std::vector<ResourceRef>& refs) {
  std::vector<std::string_view> ids;
  ids.reserve(refs.size());
  for (const ResourceRef& ref : refs) ids.push_back(ref.resource_id);
  std::sort(ids.begin(), ids.end());
  return std::adjacent_find(ids.begin(), ids.end()) != ids.end();
}

// Identifiers, arguments, ttl and resource references of the intent itself.
Check check_form(const Intent& intent) {
  if (Check id = check_identifier(intent.intent_id); !id) return id;
  if (Check id = check_identifier(intent.action_id); !id) return id;
  if (intent.idempotency_key) {
    if (Check id = check_identifier(*intent.idempotency_key); !id) return id;
  }
  if (!intent.arguments.is_object()) {
    return fail(Code::kInvalidArguments);
  }
  if (intent.ttl_ms == 0 || intent.ttl_ms > kMaxTtlMs) {
    return fail(Code::kInvalidTtl);
  }
  if (has_duplicate_resource(intent.resources)) {
    return fail(Code::kDuplicateResource);
  }
  for (const ResourceRef& ref : intent.resources) {
    if (Check id = check_identifier(ref.resource_id); !id) return id;
  }
  return {};
}

}  // namespace

std::optional<std::string> operation_key(const Intent& intent) {
  if (!intent.idempotency_key) return std::nullopt;
  std::string key = std::to_string(intent.action_id.size());
  key.append(":").append(intent.action_id).append(":").append(*intent.idempotency_key);
  return key;
}

bool same_operation(const Intent& a, const Intent& b) {
  return a.action_id == b.action_id && a.action_version == b.action_version &&
         a.resources == b.resources && a.arguments == b.arguments &&
         a.idempotency_key == b.idempotency_key;
}

Result<std::string> submit(const Config& config, WorkingState& state, const Intent& intent,
                           uint64_t tick) {
  if (Check form = check_form(intent); !form) return std::move(form).take_error();
  const State& view = state.view();
  if (auto stored = view.intents.find(intent.intent_id); stored != view.intents.end()) {
    if (same_operation(stored->second.intent, intent)) {
      return submission_result(true, stored->second);
    }
    return fail(Code::kIntentCollision);
  }
  const std::optional<std::string> key = operation_key(intent);
  if (key) {
    if (auto holder = view.operation_keys.find(*key); holder != view.operation_keys.end()) {
      auto first = view.intents.find(holder->second);
      if (first == view.intents.end()) return fail(Code::kIdempotencyCorruption);
      if (same_operation(first->second.intent, intent)) {
        return submission_result(true, first->second);
      }
      return fail(Code::kIdempotencyCollision);
    }
  }
  if (view.intents.size() >= config.max_intents) {
    return fail(Code::kIntentLimit);
  }
  expire_overdue(state, tick);
  if (Result<const ActionSpec*> authority = check_authority(view, intent); !authority) {
    return std::move(authority).take_error();
  }
  if (auto holder = state.first_lease_conflict(intent.resources, intent.intent_id)) {
    return fail(Code::kLeaseConflict, *holder);
  }
  if (intent.ttl_ms > UINT64_MAX - tick) return fail(Code::kDeadlineOverflow);

  IntentRecord record;
  record.intent = intent;
  record.status = Status::Accepted;
  record.accepted_ms = tick;
  record.expires_ms = tick + intent.ttl_ms;
  if (key) state.put_operation_key(*key, intent.intent_id);
  return submission_result(false, state.put_intent(std::move(record)));
}

}  // namespace tallowmere
