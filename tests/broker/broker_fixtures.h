// Builders for configurations, contracts, intents, events and outcomes, a
// small harness that runs commands on a core and answers in text, and the
// draws of the seeded tests.
#pragma once

#include <bit>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contracts/command.h"
#include "foundation/boundary.h"
#include "foundation/record.h"
#include "broker/core.h"
#include "broker/replay.h"
#include "foundation/json_writer.h"
#include "../foundation/json_test_support.h"

namespace tallowmere::testing {

inline const std::string kIdentifierError =
    "invalid_identifier: identifiers must contain 1..512 non-control bytes";
inline const std::string kBackpressure =
    "journal_backpressure: persist journal and acknowledge checkpoint before more mutations";
inline const std::string kJournalTooLong =
    "journal_limit: journal would exceed the replay size limit";
inline const std::string kTransition =
    "outcome_transition: finish requires running; reconcile requires unknown/cancel-requested";

inline Config config_with(uint64_t max_journal_entries = 100000) {
  Config config;
  config.capabilities = {"deploy", "read"};
  config.max_journal_entries = max_journal_entries;
  return config;
}

inline ActionSpec action(std::string id, bool allow_write = true, StringSet capabilities = {}) {
  ActionSpec spec;
  spec.action_id = std::move(id);
  spec.allow_write = allow_write;
  spec.required_capabilities = std::move(capabilities);
  return spec;
}

inline ResourceRef writes(std::string id, uint64_t revision = 0) {
  return ResourceRef{std::move(id), revision, Access::Write};
}
inline ResourceRef reads(std::string id, uint64_t revision = 0) {
  return ResourceRef{std::move(id), revision, Access::Read};
}

inline Intent intent(std::string id, std::string action_id, std::vector<ResourceRef> refs = {},
                     uint64_t ttl_ms = 30000) {
  Intent out;
  out.intent_id = std::move(id);
  out.action_id = std::move(action_id);
  out.resources = std::move(refs);
  out.ttl_ms = ttl_ms;
  return out;
}

inline Event observed(std::string id, uint64_t sequence, std::string resource,
                      std::string fingerprint, std::string source = "runtime") {
  return Event{std::move(id), std::move(source), sequence,
               ResourceObserved{std::move(resource), std::move(fingerprint)}};
}
inline Event cancel_event(std::string id, uint64_t sequence, std::string intent_id) {
  return Event{std::move(id), "verifier", sequence, IntentCancel{std::move(intent_id)}};
}
inline Event revoke_event(std::string id, uint64_t sequence, std::string capability) {
  return Event{std::move(id), "verifier", sequence, CapabilityRevoke{std::move(capability)}};
}

// A host value (arguments, evidence) as the broker holds it.
inline json::CanonicalText host_value(std::string_view text) {
  return json::testing::canonical_text(text);
}

// A record read from its text, as the host hands it in.
template <class Record>
Result<Record> from_host(std::string_view text) {
  return decode_boundary<Record>(text, kJournalLimitBytes,
                                 [](json::Reader& r, Record& out) { return read(r, out); });
}

inline Outcome outcome(OutcomeStatus status, StringSet changed = {}) {
  Outcome out;
  out.status = status;
  out.changed_resources = std::move(changed);
  out.evidence = host_value(R"({"receipt":"r-1"})");
  return out;
}
inline Outcome completed(StringSet changed = {}) {
  return outcome(OutcomeStatus::CompletedVerified, std::move(changed));
}

// The canonical text of a result, or its error text.
inline std::string text_of(const Result<json::Value>& result) {
  return result ? json::to_text(*result) : result.error();
}
inline std::string text_of(const Result<std::string>& result) {
  return result ? *result : result.error();
}
// A record's value form written out, as an answer that holds it must read.
template <class Record>
std::string value_of(const Record& record) {
  return json::to_text(to_value(record));
}

struct Harness {
  explicit Harness(Config config = config_with(), uint64_t journal_limit_bytes = kJournalLimitBytes)
      : core(Core::genesis(std::move(config), journal_limit_bytes).value()) {}

  // Runs at `tick`, or at the current clock.
  std::string run(Command command, uint64_t tick) {
    return text_of(core.transact(std::move(command), tick));
  }
  std::string run(Command command) { return run(std::move(command), core.clock_ms()); }

  size_t entries() const { return core.journal().entries.size(); }
  bool acknowledge() { return bool(core.checkpoint(journal_tip(core.journal()))); }
  const IntentRecord& record(const std::string& id) const { return core.state().intents.at(id); }
  const ResourceState& resource(const std::string& id) const {
    return core.state().resources.at(id);
  }

  // An action "act" that may write, and the named resources at revision 0.
  void prepare(const std::vector<std::string>& resources, uint64_t tick = 0) {
    run(RegisterAction{action("act")}, tick);
    for (const std::string& id : resources) {
      run(Observe{observed("seen-" + id, ++sequence, id, "f0")}, tick);
    }
  }

  Core core;
  uint64_t sequence = 0;
};

// A core whose checkpoint, taken at sequence and tick `start`, holds `state`,
// for situations that commands alone cannot reach.
inline Core core_at(const State& state, Config config = config_with(), uint64_t start = 0,
                    uint64_t journal_limit_bytes = kJournalLimitBytes) {
  Journal journal;
  journal.config = config;
  journal.checkpoint_state = state;
  journal.checkpoint_sequence = journal.checkpoint_tick_ms = start;
  journal.checkpoint_parent_hash = kGenesisParent;
  journal.checkpoint_hash = checkpoint_digest(config, state, start, start, kGenesisParent);
  return replay_journal(std::move(journal), journal_limit_bytes).value();
}

// A state holding action "act" (may write), for scenes commands alone cannot reach.
inline State acting_state(const Config& config = config_with()) {
  State state = initial_state(config);
  state.actions["act"] = action("act");
  return state;
}

inline IntentRecord record_of(Intent intent, Status status, uint64_t expires_ms = 100) {
  IntentRecord record;
  record.intent = std::move(intent);
  record.status = status;
  record.expires_ms = expires_ms;
  return record;
}

template <class Engine>
class SeededDraws {
 public:
  explicit SeededDraws(uint64_t seed) : engine(seed) {}
  uint64_t below(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(engine); }
  bool chance(uint64_t percent) { return below(100) < percent; }
  std::string pick(const char* prefix, uint64_t n) { return prefix + std::to_string(below(n)); }
  // Mostly small, sometimes up to `most`.
  uint64_t size(uint64_t most) {
    return below(std::bit_floor(most) >> below(std::bit_width(most))) + 1;
  }

  Engine engine;
};
using Random = SeededDraws<std::mt19937_64>;

}  // namespace tallowmere::testing
