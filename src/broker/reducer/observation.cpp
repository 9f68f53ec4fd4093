#include "broker/reducer/observation.h"

#include <cstdint>
#include <string>
#include <variant>

#include "foundation/record.h"
#include "foundation/digest.h"
#include "broker/reducer/dispatch.h"
#include "broker/reducer/finish.h"
#include "foundation/identifier.h"
#include "foundation/invariant.h"

namespace tallowmere {

namespace {

// The admission checks; on success, the event's canonical text.
Result<std::string> admitted_text(const Config& config, const Event& event) {
  if (Check id = check_identifier(event.event_id); !id) return std::move(id).take_error();
  if (Check id = check_identifier(event.source_id); !id) return std::move(id).take_error();
  if (!config.trusted_sources.contains(event.source_id)) {
    return fail(Code::kUntrustedSource, event.source_id);
  }
  if (event.source_sequence == 0) {
    return fail(Code::kInvalidSequence);
  }
  std::string text = to_text(event);
  if (text.size() > config.max_event_bytes) {
    return fail(Code::kPayloadLimit, "event exceeds configured byte limit");
  }
  return text;
}

Result<std::string> observe_resource(const Config& config, WorkingState& state,
                                     const ResourceObserved& payload, uint64_t tick) {
  if (Check id = check_identifier(payload.resource_id); !id) return std::move(id).take_error();
  if (payload.fingerprint.size() > kMaxFingerprintBytes) {
    return fail(Code::kFingerprintLimit);
  }
  const auto& resources = state.view().resources;
  auto stored = resources.find(payload.resource_id);
  const bool known = stored != resources.end();
  const bool changed = known && stored->second.fingerprint != payload.fingerprint;
  if (!known && resources.size() >= config.max_resources) {
    return fail(Code::kResourceLimit, "resource registry full");
  }
  uint64_t revision = 0;
  if (known) {
    revision = stored->second.revision;
    if (changed) {
      if (revision == UINT64_MAX) return fail(Code::kRevisionOverflow);
      revision += 1;
    }
  }
  state.put_resource(payload.resource_id, ResourceState{revision, payload.fingerprint, tick});

  std::vector<std::string> invalidated;
  if (changed) invalidated = state.accepted_on_resource(payload.resource_id);
  for (const std::string& id : invalidated) {
    IntentRecord record = must_find(state.view().intents, id);
    record.status = Status::Invalidated;
    record.invalidation_reason = kResourceChangedReason;
    record.finished_ms = tick;
    state.put_intent(std::move(record));
  }
  json::Writer w(json::kTransientCapacity);
  w.begin_object();
  w.plain_key("changed");
  w.boolean(changed);
  w.plain_key("invalidated");
  write_ids(w, invalidated);
  w.plain_key("resource_id");
  w.string(payload.resource_id);
  w.plain_key("resource_revision");
  w.u64(revision);
  w.end_object();
  return w.take();
}

Result<std::string> apply_payload(const Config& config, WorkingState& state,
                                  const EventPayload& payload, uint64_t tick) {
  if (const auto* observed = std::get_if<ResourceObserved>(&payload)) {
    return observe_resource(config, state, *observed, tick);
  }
  if (const auto* cancellation = std::get_if<IntentCancel>(&payload)) {
    return cancel(state, cancellation->intent_id, tick);
  }
  return revoke(state, std::get<CapabilityRevoke>(payload).capability, tick);
}

}  // namespace

Check validate_event(const Config& config, const Event& event) {
  Result<std::string> text = admitted_text(config, event);
  if (!text) return std::move(text).take_error();
  return {};
}

Result<std::string> observe(const Config& config, WorkingState& state, const Event& event,
                            uint64_t tick) {
  Result<std::string> text = admitted_text(config, event);
  if (!text) return std::move(text).take_error();
  const std::string digest = sha256_hex(*text);
  const State& view = state.view();
  if (auto recorded = view.event_hashes.find(event.event_id); recorded != view.event_hashes.end()) {
    if (recorded->second != digest) {
      return fail(Code::kEventCollision);
    }
    json::Writer w(json::kTransientCapacity);
    w.begin_object();
    w.plain_key("duplicate");
    w.boolean(true);
    w.plain_key("revision");
    w.u64(view.revision);
    w.end_object();
    return w.take();
  }
  if (view.event_hashes.size() >= config.max_events) {
    return fail(Code::kEventLimit);
  }
  auto source = view.source_sequences.find(event.source_id);
  const uint64_t last = source == view.source_sequences.end() ? 0 : source->second;
  if (event.source_sequence <= last) return fail(Code::kStaleSequence);

  Result<std::string> result = apply_payload(config, state, event.payload, tick);
  if (!result) return result;
  state.put_source_sequence(event.source_id, event.source_sequence);
  state.put_event_hash(event.event_id, digest);
  if (view.revision == UINT64_MAX) return fail(Code::kRevisionOverflow);
  state.set_revision(view.revision + 1);
  json::Writer w(json::kTransientCapacity);
  w.begin_object();
  w.plain_key("duplicate");
  w.boolean(false);
  w.plain_key("result");
  w.verbatim(*result);
  w.plain_key("revision");
  w.u64(view.revision);
  w.plain_key("sequence_gap");
  w.boolean(event.source_sequence > last + 1);
  w.end_object();
  return w.take();
}

Result<std::string> revoke(WorkingState& state, std::string_view capability, uint64_t tick) {
  if (Check id = check_identifier(capability); !id) return std::move(id).take_error();
  const bool revoked = state.remove_capability(capability);
  const std::vector<std::string> affected = state.open_requiring(capability);
  for (const std::string& id : affected) {
    Result<std::string> cancelled = cancel(state, id, tick);
    if (!cancelled) return cancelled;
  }
  json::Writer w(json::kTransientCapacity);
  w.begin_object();
  w.plain_key("affected");
  write_ids(w, affected);
  w.plain_key("capability");
  w.string(capability);
  w.plain_key("revoked");
  w.boolean(revoked);
  w.end_object();
  return w.take();
}

}  // namespace tallowmere
