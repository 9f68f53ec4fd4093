// Dispatch, recovery and verified outcomes. Cancellation is tested with
// revocation (observation_test), expiry with submission and the reference test.
#include <gtest/gtest.h>

#include "broker_fixtures.h"

namespace tallowmere::testing {
namespace {

Outcome with(Outcome o, void (*edit)(Outcome&)) {
  edit(o);
  return o;
}

// Begin: the intent, its status, deadline, cancellation, authority, then
// leases. Finish and reconcile: the transition, the report, then the changed
// resources one by one in order, each against the intent's writes, then for
// existence, its revision and its fingerprint ("a" is bumped before a later
// one fails).
TEST(Lifecycle, RefusesInOrder) {
  State state = acting_state();
  state.actions["capped"] = action("capped", true, {"missing"});
  for (const char* id : {"a", "r", "w"}) state.resources[id] = ResourceState{0, "f", 0};
  state.resources["s"] = ResourceState{1, "f", 0};
  state.resources["z"] = ResourceState{UINT64_MAX, "f", 0};
  IntentRecord flagged = record_of(intent("flagged", "act"), Status::Accepted);
  flagged.cancellation_requested = true;
  for (const IntentRecord& record :
       {flagged, record_of(intent("done", "act"), Status::Expired),
        record_of(intent("cap", "capped", {reads("s", 0)}), Status::Accepted),
        record_of(intent("stale", "act", {reads("s", 0), writes("x")}), Status::Accepted),
        record_of(intent("b-writer", "act", {writes("r")}), Status::Accepted),
        record_of(intent("a-reader", "act", {reads("r")}), Status::Accepted),
        record_of(intent("c-run", "act", {reads("r")}), Status::Running),
        record_of(intent("i", "act", {writes("a"), writes("ghost"), reads("s", 1), writes("w"), writes("z")}),
                  Status::Running)}) {
    state.intents[record.intent.intent_id] = record;
  }
  Core core = core_at(state);
  const std::string evidence =
      "missing_evidence: outcome must carry a nonempty verifier/receipt evidence object";
  const Outcome no_evidence = with(completed({"a"}), [](Outcome& o) { o.evidence = host_value("{}"); });
  const std::tuple<Command, uint64_t, std::string> cases[] = {
      {Begin{""}, 0, "unknown_intent: "},
      {Begin{"done"}, 0, "not_dispatchable: Expired"},
      {Begin{"c-run"}, 0, "not_dispatchable: Running"},
      {Begin{"flagged"}, 100, "expired: intent deadline passed before dispatch"},
      {Begin{"flagged"}, 99, "cancelled: cancellation already requested"},
      {Begin{"cap"}, 0, "capability_denied: required capability absent/revoked"},
      {Begin{"stale"}, 0, "stale_revision: s"},
      {Begin{"b-writer"}, 0, "lease_conflict: a-reader"},
      {Finish{"x", completed({"a"})}, 1, "unknown_intent: x"},
      {Reconcile{"i", no_evidence}, 1, kTransition},  // of a running intent
      {Finish{"i", no_evidence}, 1, evidence},
      {Finish{"i", with(completed(), [](Outcome& o) { o.evidence = host_value("[true]"); })}, 1, evidence},
      {Finish{"i", with(completed(), [](Outcome& o) { o.resource_fingerprints["a"] = "f"; })}, 1,
       "effect_mismatch: fingerprints must correspond to changed resources"},
      {Finish{"i", completed({"a", "s"})}, 1, "effect_scope: s"},  // read is not write
      {Finish{"i", completed({"never"})}, 1, "effect_scope: never"},
      {Finish{"i", completed({"a", "ghost"})}, 1, "unknown_changed_resource"},
      {Finish{"i", completed({"a", "z"})}, 1, "revision_overflow"},
      {Finish{"i", with(completed({"a", "w"}),
                        [](Outcome& o) { o.resource_fingerprints["w"] = std::string(4097, 'f'); })},
       1, "fingerprint_limit: fingerprint too long"},
      // A resource's revision refuses to wrap; the state's is met in the drain.
      {Observe{observed("e", 1, "z", "g")}, 1, "revision_overflow"},
  };
  for (const auto& [command, tick, answer] : cases) {
    EXPECT_EQ(text_of(core.transact(command, tick)), answer) << to_text(command);
  }
}

TEST(Recover, MarksInterruptedWorkAndEmptiesQueues) {
  Harness h;
  h.prepare({"r"});
  for (const char* id : {"c", "b", "a", "d"}) h.run(Submit{intent(id, "act")});
  h.run(Begin{"b"});
  h.run(Begin{"c"}, 2);
  h.run(Cancel{"c"});
  h.run(Cancel{"d"});
  h.run(Enqueue{observed("q", 50, "r", "x"), false});
  h.run(Enqueue{cancel_event("qc", 1, "a"), true});
  EXPECT_EQ(h.run(Recover{}, 7),
            R"({"effects_executed":0,"invalidated":["a"],"unknown":["b","c"]})");
  EXPECT_EQ(h.record("c").status, Status::EffectUnknown);
  EXPECT_EQ(h.record("c").started_ms, 2u);
  EXPECT_FALSE(h.record("c").finished_ms);
  EXPECT_EQ(h.record("a").invalidation_reason, "process_restart_requires_new_observation");
  EXPECT_EQ(h.record("a").finished_ms, 7u);
  EXPECT_TRUE(h.core.state().normal_queue.empty() && h.core.state().control_queue.empty());
  EXPECT_EQ(h.run(Recover{}, 8), R"({"effects_executed":0,"invalidated":[],"unknown":[]})");
}

// Intent "i" running since tick 5, writing r and w and reading s. Its begin
// answers with the contract, the arguments and the running record.
Harness running() {
  Harness h;
  h.prepare({"r", "s", "w"});
  Intent i = intent("i", "act", {writes("r"), reads("s"), writes("w")});
  i.arguments = host_value(R"({"n":1})");
  h.run(Submit{i});
  const std::string begun = h.run(Begin{"i"}, 5);
  EXPECT_EQ(begun, R"({"action_spec":)" + value_of(action("act")) +
                       R"(,"admitted":true,"arguments":{"n":1},"record":)" +
                       value_of(h.record("i")) + "}");
  EXPECT_EQ(h.record("i").status, Status::Running);
  return h;
}

TEST(Finish, AppliesChangesOnceAndKeepsTheTerminalReceipt) {
  Harness h = running();
  const std::string fingerprint(4096, 'f');
  Outcome o = completed({"r", "w"});
  o.resource_fingerprints["w"] = fingerprint;
  const std::string finished = h.run(Finish{"i", o}, 9);
  EXPECT_EQ(finished, value_of(h.record("i")));
  EXPECT_EQ(h.record("i").status, Status::CompletedVerified);
  EXPECT_EQ(h.record("i").finished_ms, 9u);
  EXPECT_EQ(h.record("i").outcome, o);
  EXPECT_EQ(h.resource("r"), (ResourceState{1, "f0", 9}));
  EXPECT_EQ(h.resource("w"), (ResourceState{1, fingerprint, 9}));
  // The same receipt again is answered as it stands; another one is refused.
  EXPECT_EQ(h.run(Reconcile{"i", o}, 10), finished);
  o.evidence = host_value(R"({"receipt":"r-2"})");
  EXPECT_EQ(h.run(Finish{"i", o}), "terminal_intent: cannot replace a terminal receipt");
  EXPECT_EQ(h.resource("r").revision, 1u);
}

// Unknown effects stay open until reconciled; so does a cancel request.
TEST(Finish, ReconcileEndsUnknownAndCancelRequested) {
  Harness h = running();
  h.run(Finish{"i", outcome(OutcomeStatus::EffectUnknown, {"r"})}, 5);
  EXPECT_EQ(h.record("i").status, Status::EffectUnknown);
  EXPECT_FALSE(h.record("i").finished_ms);
  EXPECT_EQ(h.run(Finish{"i", completed()}), kTransition);
  h.run(Reconcile{"i", outcome(OutcomeStatus::CancelledVerified, {"r"})}, 6);
  EXPECT_EQ(h.record("i").status, Status::Cancelled);
  EXPECT_EQ(h.record("i").finished_ms, 6u);
  EXPECT_EQ(h.record("i").outcome->status, OutcomeStatus::CancelledVerified);
  EXPECT_EQ(h.resource("r").revision, 2u);

  h.run(Submit{intent("e", "act", {}, 5)}, 6);
  EXPECT_EQ(h.run(Expire{}, 11), R"({"expired":["e"]})");
  EXPECT_EQ(h.run(Finish{"e", completed()}), "terminal_intent: cannot replace a terminal receipt");
  h.run(Submit{intent("f", "act")});
  EXPECT_EQ(h.run(Finish{"f", completed()}), kTransition);
  h.run(Begin{"f"});
  h.run(Cancel{"f"});
  EXPECT_NE(h.run(Reconcile{"f", completed()}).find(R"("status":"completed_verified")"), std::string::npos);
}

}  // namespace
}  // namespace tallowmere::testing
