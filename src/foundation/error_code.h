// Every code a failure text can start with, in one table: the code's text
// and its detail, which is fixed for most codes, absent for some and given by
// the failing call for the rest (an identifier, a reader's message).
// python/tallowmere/_errors.py lists the same codes for the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace tallowmere {

enum class Code : uint8_t {
  kActionLimit,
  kActionVersion,
  kBrokerPoisoned,
  kCancelled,
  kCapabilityDenied,
  kCheckpointCapabilities,
  kCheckpointIntent,
  kCheckpointLimit,
  kCheckpointMismatch,
  kClockRegression,
  kDeadlineOverflow,
  kDrainLimit,
  kDuplicateResource,
  kEffectMismatch,
  kEffectScope,
  kEventCollision,
  kEventLimit,
  kExpired,
  kFingerprintLimit,
  kIdempotencyCollision,
  kIdempotencyCorruption,
  kImmutableAction,
  kIntentCollision,
  kIntentDisappeared,
  kIntentLimit,
  kInvalidAction,
  kInvalidArguments,
  kInvalidConfig,
  kInvalidFeatures,
  kInvalidIdentifier,
  kInvalidJson,
  kInvalidLinearExport,
  kInvalidSequence,
  kInvalidTreeExport,
  kInvalidTtl,
  kJournalAhead,
  kJournalBackpressure,
  kJournalFolded,
  kJournalIntegrity,
  kJournalLimit,
  kJournalReplay,
  kJournalVersion,
  kLeaseConflict,
  kMissingEvidence,
  kNotDispatchable,
  kNumericalOverflow,
  kOutcomeTransition,
  kPayloadLimit,
  kPolicyPayloadLimit,
  kPolicyRowLimit,
  kQueueClass,
  kQueueFull,
  kResourceLimit,
  kRevisionOverflow,
  kSequenceOverflow,
  kStaleRevision,
  kStaleSequence,
  kTerminalIntent,
  kUnknownChangedResource,
  kUnknownIntent,
  kUnknownResource,
  kUnregisteredAction,
  kUntrustedSource,
  kWriteDenied,
};

enum class DetailKind : uint8_t { kBare, kFixed, kGiven };

struct Detail {
  DetailKind kind;
  std::string_view text;
};

inline constexpr Detail kBare{DetailKind::kBare, {}};
inline constexpr Detail kGiven{DetailKind::kGiven, {}};
constexpr Detail fixed(std::string_view text) { return Detail{DetailKind::kFixed, text}; }

struct CodeEntry {
  Code code;
  std::string_view text;
  Detail detail;
};

inline constexpr CodeEntry kCodes[] = {
    {Code::kActionLimit, "action_limit", fixed("registry full")},
    {Code::kActionVersion, "action_version", fixed("registered action version differs")},
    {Code::kBrokerPoisoned, "broker_poisoned", kBare},
    {Code::kCancelled, "cancelled", fixed("cancellation already requested")},
    {Code::kCapabilityDenied, "capability_denied", fixed("required capability absent/revoked")},
    {Code::kCheckpointCapabilities, "checkpoint_capabilities",
     fixed("checkpoint grants undeclared capabilities")},
    {Code::kCheckpointIntent, "checkpoint_intent", fixed("inconsistent intent registry")},
    {Code::kCheckpointLimit, "checkpoint_limit", fixed("state exceeds configured limits")},
    {Code::kCheckpointMismatch, "checkpoint_mismatch", fixed("acknowledged tip differs")},
    {Code::kClockRegression, "clock_regression", fixed("monotonic time moved backwards")},
    {Code::kDeadlineOverflow, "deadline_overflow", kBare},
    {Code::kDrainLimit, "drain_limit", fixed("limit must be 1..64")},
    {Code::kDuplicateResource, "duplicate_resource", fixed("resource references must be unique")},
    {Code::kEffectMismatch, "effect_mismatch",
     fixed("fingerprints must correspond to changed resources")},
    {Code::kEffectScope, "effect_scope", kGiven},
    {Code::kEventCollision, "event_collision", fixed("event ID reused with different payload")},
    {Code::kEventLimit, "event_limit",
     fixed("deduplication ledger full; rotate workspace with durable history")},
    {Code::kExpired, "expired", fixed("intent deadline passed before dispatch")},
    {Code::kFingerprintLimit, "fingerprint_limit", fixed("fingerprint too long")},
    {Code::kIdempotencyCollision, "idempotency_collision",
     fixed("operation key reused for different action arguments/resources")},
    {Code::kIdempotencyCorruption, "idempotency_corruption", kBare},
    {Code::kImmutableAction, "immutable_action",
     fixed("register a new action ID/version instead of replacing a contract")},
    {Code::kIntentCollision, "intent_collision", fixed("intent ID reused for different operation")},
    {Code::kIntentDisappeared, "intent_disappeared", kBare},
    {Code::kIntentLimit, "intent_limit",
     fixed("intent ledger full; archive rather than forgetting duplicate identities")},
    {Code::kInvalidAction, "invalid_action",
     fixed("version must be positive and max_resources <=64")},
    {Code::kInvalidArguments, "invalid_arguments", fixed("arguments must be an object")},
    {Code::kInvalidConfig, "invalid_config", fixed("capacity bounds violated")},
    {Code::kInvalidFeatures, "invalid_features", kGiven},
    {Code::kInvalidIdentifier, "invalid_identifier",
     fixed("identifiers must contain 1..512 non-control bytes")},
    {Code::kInvalidJson, "invalid_json", kGiven},
    {Code::kInvalidLinearExport, "invalid_linear_export", kGiven},
    {Code::kInvalidSequence, "invalid_sequence", fixed("source_sequence must start at 1")},
    {Code::kInvalidTreeExport, "invalid_tree_export", kGiven},
    {Code::kInvalidTtl, "invalid_ttl", fixed("ttl_ms must be 1..86400000")},
    {Code::kJournalAhead, "journal_ahead", fixed("sequence is beyond the journal tip")},
    {Code::kJournalBackpressure, "journal_backpressure",
     fixed("persist journal and acknowledge checkpoint before more mutations")},
    {Code::kJournalFolded, "journal_folded",
     fixed("entries after this sequence are folded into the checkpoint")},
    {Code::kJournalIntegrity, "journal_integrity", kGiven},
    {Code::kJournalLimit, "journal_limit", kGiven},
    {Code::kJournalReplay, "journal_replay",
     fixed("recorded transition differs from reducer result")},
    {Code::kJournalVersion, "journal_version", fixed("unsupported schema version")},
    {Code::kLeaseConflict, "lease_conflict", kGiven},
    {Code::kMissingEvidence, "missing_evidence",
     fixed("outcome must carry a nonempty verifier/receipt evidence object")},
    {Code::kNotDispatchable, "not_dispatchable", kGiven},
    {Code::kNumericalOverflow, "numerical_overflow", kBare},
    {Code::kOutcomeTransition, "outcome_transition",
     fixed("finish requires running; reconcile requires unknown/cancel-requested")},
    {Code::kPayloadLimit, "payload_limit", kGiven},
    {Code::kPolicyPayloadLimit, "policy_payload_limit", kBare},
    {Code::kPolicyRowLimit, "policy_row_limit", kBare},
    {Code::kQueueClass, "queue_class", fixed("control flag must match event kind")},
    {Code::kQueueFull, "queue_full", fixed("bounded queue capacity reached")},
    {Code::kResourceLimit, "resource_limit", kGiven},
    {Code::kRevisionOverflow, "revision_overflow", kBare},
    {Code::kSequenceOverflow, "sequence_overflow", kBare},
    {Code::kStaleRevision, "stale_revision", kGiven},
    {Code::kStaleSequence, "stale_sequence", fixed("source event already passed")},
    {Code::kTerminalIntent, "terminal_intent", fixed("cannot replace a terminal receipt")},
    {Code::kUnknownChangedResource, "unknown_changed_resource", kBare},
    {Code::kUnknownIntent, "unknown_intent", kGiven},
    {Code::kUnknownResource, "unknown_resource", kGiven},
    {Code::kUnregisteredAction, "unregistered_action", kGiven},
    {Code::kUntrustedSource, "untrusted_source", kGiven},
    {Code::kWriteDenied, "write_denied", fixed("registered action cannot write")},
};

// Each code is its own row's index, so a lookup is a subscript.
consteval bool rows_follow_codes() {
  for (size_t i = 0; i < std::size(kCodes); ++i) {
    if (kCodes[i].code != static_cast<Code>(i)) return false;
  }
  return true;
}
static_assert(rows_follow_codes());

constexpr const CodeEntry& entry(Code code) { return kCodes[static_cast<size_t>(code)]; }

// The detail three scorers give for a row they cannot score.
inline constexpr std::string_view kBadRowDetail = "wrong dimension or nonfinite number";

}  // namespace tallowmere
