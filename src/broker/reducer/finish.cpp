#include "broker/reducer/finish.h"

#include <algorithm>
#include <cstdint>

#include "foundation/record.h"

namespace tallowmere {

namespace {

bool allowed(Status status, bool reconcile) {
  if (status == Status::CancellationRequested) return true;
  return reconcile ? status == Status::EffectUnknown : status == Status::Running;
}

bool writes(const Intent& intent, std::string_view resource_id) {
  return std::any_of(intent.resources.begin(), intent.resources.end(), [&](const ResourceRef& ref) {
    return ref.resource_id == resource_id && ref.access == Access::Write;
  });
}

Status status_after(OutcomeStatus outcome) {
  switch (outcome) {
    case OutcomeStatus::CompletedVerified:
      return Status::CompletedVerified;
    case OutcomeStatus::FailedVerified:
      return Status::FailedVerified;
    case OutcomeStatus::CancelledVerified:
      return Status::Cancelled;
    case OutcomeStatus::EffectUnknown:
      break;
  }
  return Status::EffectUnknown;
}

Check check_report(const Outcome& outcome) {
  if (!outcome.evidence.is_object() || outcome.evidence.is_empty_object()) {
    return fail(Code::kMissingEvidence);
  }
  for (const auto& [resource_id, fingerprint] : outcome.resource_fingerprints) {
    if (!outcome.changed_resources.contains(resource_id)) {
      return fail(Code::kEffectMismatch);
    }
  }
  return {};
}

// Bumps the revision of every changed resource; the first failure aborts and
// the transaction discards the resources already written.
Check apply_changes(WorkingState& state, const Intent& intent, const Outcome& outcome,
                    uint64_t tick) {
  for (const std::string& resource_id : outcome.changed_resources) {
    if (!writes(intent, resource_id)) return fail(Code::kEffectScope, resource_id);
    const auto& resources = state.view().resources;
    auto found = resources.find(resource_id);
    if (found == resources.end()) return fail(Code::kUnknownChangedResource);
    ResourceState resource = found->second;
    if (resource.revision == UINT64_MAX) return fail(Code::kRevisionOverflow);
    resource.revision += 1;
    if (auto fingerprint = outcome.resource_fingerprints.find(resource_id);
        fingerprint != outcome.resource_fingerprints.end()) {
      if (fingerprint->second.size() > kMaxFingerprintBytes) {
        return fail(Code::kFingerprintLimit);
      }
      resource.fingerprint = fingerprint->second;
    }
    resource.observed_ms = tick;
    state.put_resource(resource_id, resource);
  }
  return {};
}

}  // namespace

Result<std::string> finish(WorkingState& state, std::string_view intent_id, const Outcome& outcome,
                           uint64_t tick, bool reconcile) {
  const auto& intents = state.view().intents;
  auto found = intents.find(intent_id);
  if (found == intents.end()) return fail(Code::kUnknownIntent, intent_id);
  const IntentRecord& current = found->second;
  if (is_terminal(current.status)) {
    if (current.outcome && *current.outcome == outcome) return value_text(current);
    return fail(Code::kTerminalIntent);
  }
  if (!allowed(current.status, reconcile)) {
    return fail(Code::kOutcomeTransition);
  }
  if (Check report = check_report(outcome); !report) return std::move(report).take_error();
  if (Check changes = apply_changes(state, current.intent, outcome, tick); !changes) {
    return std::move(changes).take_error();
  }
  found = intents.find(intent_id);
  if (found == intents.end()) return fail(Code::kIntentDisappeared);

  IntentRecord record = found->second;
  record.status = status_after(outcome.status);
  if (outcome.status != OutcomeStatus::EffectUnknown) record.finished_ms = tick;
  record.outcome = outcome;
  return value_text(state.put_intent(std::move(record)));
}

}  // namespace tallowmere
