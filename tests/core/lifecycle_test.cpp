// Dispatch, cancellation, expiry, recovery, and verified outcomes.
#include <gtest/gtest.h>

#include "broker_fixtures.h"

namespace tallowmere::testing {
namespace {

// Action act; resources r, s; intent "i" writes r and reads s, due at 100.
Harness with_intent() {
  Harness h;
  h.prepare({"r", "s"});
  h.run(RegisterAction{action("capped", true, {"deploy"})});
  h.run(Submit{intent("i", "act", {writes("r"), reads("s")}, 100)});
  return h;
}

TEST(Begin, ChecksInOrder) {
  State state = initial_state(config_with());
  state.actions["act"] = action("act");
  state.actions["capped"] = action("capped", true, {"missing"});
  state.resources["r"] = ResourceState{0, "f", 0};
  state.resources["s"] = ResourceState{1, "f", 0};
  IntentRecord flagged = record_of(intent("flagged", "act"), Status::Accepted);
  flagged.cancellation_requested = true;
  for (const IntentRecord& record :
       {flagged, record_of(intent("done", "act"), Status::Expired),
        record_of(intent("cap", "capped", {reads("s", 0)}), Status::Accepted),
        record_of(intent("stale", "act", {reads("s", 0), writes("x")}), Status::Accepted),
        record_of(intent("b-writer", "act", {writes("r")}), Status::Accepted),
        record_of(intent("a-reader", "act", {reads("r")}), Status::Accepted),
        record_of(intent("c-run", "act", {reads("r")}), Status::Running)}) {
    state.intents[record.intent.intent_id] = record;
  }
  Core core = core_at(state);
  struct Case {
    const char* id;
    uint64_t tick;
    std::string answer;
  } cases[] = {
      {"", 0, "unknown_intent: "},
      {"done", 0, "not_dispatchable: Expired"},
      {"c-run", 0, "not_dispatchable: Running"},
      {"flagged", 100, "expired: intent deadline passed before dispatch"},
      {"flagged", 99, "cancelled: cancellation already requested"},
      {"cap", 0, "capability_denied: required capability absent/revoked"},
      {"stale", 0, "stale_revision: s"},
      {"b-writer", 0, "lease_conflict: a-reader"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_of(core.transact(Begin{c.id}, c.tick)), c.answer) << c.id;
  }
  EXPECT_EQ(core.state(), state);
  EXPECT_TRUE(core.journal().entries.empty());
}

TEST(Begin, RunsAndAnswersWithContractAndArguments) {
  Harness h = with_intent();
  EXPECT_EQ(h.run(Begin{"i"}, 99),
            R"({"action_spec":{"action_id":"act","allow_write":true,"max_resources":64,)"
            R"("required_capabilities":[],"version":1},"admitted":true,"arguments":{},)"
            R"("record":{"accepted_ms":0,"cancellation_requested":false,"expires_ms":100,)"
            R"("finished_ms":null,"intent":{"action_id":"act","action_version":1,"arguments":{},)"
            R"("idempotency_key":null,"intent_id":"i","resources":[{"access":"write",)"
            R"("expected_revision":0,"resource_id":"r"},{"access":"read","expected_revision":0,)"
            R"("resource_id":"s"}],"ttl_ms":100},"invalidation_reason":null,"outcome":null,)"
            R"("started_ms":99,"status":"running"}})");
}

TEST(Cancel, TransitionsByStatus) {
  Harness h = with_intent();
  h.run(Submit{intent("j", "act", {}, 100)});
  h.run(Begin{"i"}, 1);
  EXPECT_EQ(h.run(Cancel{"nope"}), "unknown_intent: nope");

  h.run(Cancel{"j"}, 2);
  EXPECT_EQ(h.record("j").status, Status::Cancelled);
  EXPECT_EQ(h.record("j").finished_ms, 2u);
  EXPECT_TRUE(h.record("j").cancellation_requested);
  EXPECT_EQ(h.run(Begin{"j"}), "not_dispatchable: Cancelled");

  h.run(Cancel{"i"}, 3);
  EXPECT_EQ(h.record("i").status, Status::CancellationRequested);
  EXPECT_FALSE(h.record("i").finished_ms);
  const size_t entries = h.entries();
  EXPECT_NE(h.run(Cancel{"i"}, 4).find(R"("status":"cancellation_requested")"), std::string::npos);
  EXPECT_EQ(h.entries(), entries);
}

TEST(Expire, EndsOnlyOverdueAcceptedIntents) {
  Harness h;
  h.prepare({"r"});
  h.run(Submit{intent("z", "act", {}, 10)});
  h.run(Submit{intent("a", "act", {}, 10)});
  h.run(Submit{intent("m", "act", {}, 11)});
  h.run(Submit{intent("run", "act", {}, 10)});
  h.run(Begin{"run"});
  const size_t entries = h.entries();
  EXPECT_EQ(h.run(Expire{}, 9), R"({"expired":[]})");
  EXPECT_EQ(h.entries(), entries);
  EXPECT_EQ(h.run(Expire{}, 10), R"({"expired":["a","z"]})");
  EXPECT_EQ(h.record("a").finished_ms, 10u);
  EXPECT_EQ(h.record("run").status, Status::Running);
  EXPECT_EQ(h.run(Expire{}, 500), R"({"expired":["m"]})");
}

TEST(Recover, MarksInterruptedWorkAndEmptiesQueues) {
  Harness h;
  h.prepare({"r", "s"});
  for (const char* id : {"c", "b", "a", "d"}) h.run(Submit{intent(id, "act")});
  h.run(Begin{"b"});
  h.run(Begin{"c"}, 2);
  h.run(Cancel{"c"});
  h.run(Cancel{"d"});
  h.run(Enqueue{observed("q", 50, "r", "x"), false});
  h.run(Enqueue{cancel_event("qc", 1, "a"), true});
  EXPECT_EQ(h.run(Recover{}, 7), R"({"effects_executed":0,"invalidated":["a"],"unknown":["b","c"]})");
  EXPECT_EQ(h.record("c").status, Status::EffectUnknown);
  EXPECT_EQ(h.record("c").started_ms, 2u);
  EXPECT_FALSE(h.record("c").finished_ms);
  EXPECT_EQ(h.record("a").invalidation_reason, "process_restart_requires_new_observation");
  EXPECT_EQ(h.record("a").finished_ms, 7u);
  EXPECT_TRUE(h.core.state().normal_queue.empty());
  EXPECT_TRUE(h.core.state().control_queue.empty());
  const size_t entries = h.entries();
  EXPECT_EQ(h.run(Recover{}, 8), R"({"effects_executed":0,"invalidated":[],"unknown":[]})");
  EXPECT_EQ(h.entries(), entries);
}

// Intent "i" running, writing r and w and reading s.
Harness running() {
  Harness h;
  h.prepare({"r", "s", "w"});
  h.run(Submit{intent("i", "act", {writes("r"), reads("s"), writes("w")})});
  h.run(Begin{"i"});
  return h;
}

TEST(Finish, ChecksInOrder) {
  auto with = [](Outcome o, auto edit) {
    edit(o);
    return o;
  };
  const Outcome base = completed({"r"});
  struct Case {
    const char* name;
    std::string id;
    Outcome outcome;
    bool reconcile;
    std::string answer;
  } cases[] = {
      {"unknown intent", "x", base, false, "unknown_intent: x"},
      {"reconcile of running", "i", base, true,
       "outcome_transition: finish requires running; reconcile requires unknown/cancel-requested"},
      {"transition before evidence", "i", with(base, [](Outcome& o) { o.evidence = json::Object(); }), true,
       "outcome_transition: finish requires running; reconcile requires unknown/cancel-requested"},
      {"empty evidence", "i", with(base, [](Outcome& o) { o.evidence = json::Object(); }), false,
       "missing_evidence: outcome must carry a nonempty verifier/receipt evidence object"},
      {"array evidence", "i", with(base, [](Outcome& o) { o.evidence = json::Array{json::Value(true)}; }), false,
       "missing_evidence: outcome must carry a nonempty verifier/receipt evidence object"},
      {"fingerprint without change", "i", with(completed(), [](Outcome& o) { o.resource_fingerprints["r"] = "f"; }), false,
       "effect_mismatch: fingerprints must correspond to changed resources"},
      {"read is not write", "i", completed({"r", "s"}), false, "effect_scope: s"},
      {"scope before existence", "i", completed({"never"}), false, "effect_scope: never"},
      {"fingerprint limit", "i",
       with(completed({"r", "w"}), [](Outcome& o) { o.resource_fingerprints["w"] = std::string(4097, 'f'); }), false,
       "fingerprint_limit: fingerprint too long"},
  };
  Harness h = running();
  const std::string journal = h.core.journal_text();
  for (Case& c : cases) {
    Command command = c.reconcile ? Command{Reconcile{c.id, c.outcome}} : Command{Finish{c.id, c.outcome}};
    EXPECT_EQ(h.run(command), c.answer) << c.name;
  }
  EXPECT_EQ(h.core.journal_text(), journal);
  // The failed finishes bumped r before failing on a later resource; that was undone.
  EXPECT_EQ(h.resource("r").revision, 0u);
}

TEST(Finish, UnknownChangedResourceAfterScope) {
  State state = initial_state(config_with());
  state.actions["act"] = action("act");
  state.resources["a"] = ResourceState{0, "f", 0};
  state.intents["i"] = record_of(intent("i", "act", {writes("a"), writes("ghost")}), Status::Running);
  Core core = core_at(state);
  EXPECT_EQ(text_of(core.transact(Finish{"i", completed({"a", "b-unwritten", "ghost"})}, 1)),
            "effect_scope: b-unwritten");
  EXPECT_EQ(text_of(core.transact(Finish{"i", completed({"a", "ghost"})}, 1)), "unknown_changed_resource");
  EXPECT_EQ(core.state(), state);
}

TEST(Finish, AppliesChangesAndRepeatsAreHarmless) {
  Harness h = running();
  Outcome o = completed({"r", "w"});
  o.resource_fingerprints["w"] = std::string(4096, 'f');
  h.run(Finish{"i", o}, 9);
  EXPECT_EQ(h.record("i").status, Status::CompletedVerified);
  EXPECT_EQ(h.record("i").finished_ms, 9u);
  EXPECT_EQ(h.resource("r").revision, 1u);
  EXPECT_EQ(h.resource("r").fingerprint, "f0");
  EXPECT_EQ(h.resource("r").observed_ms, 9u);
  EXPECT_EQ(h.resource("w").fingerprint, std::string(4096, 'f'));
  const size_t entries = h.entries();
  EXPECT_NE(h.run(Reconcile{"i", o}, 10).find(R"("status":"completed_verified")"), std::string::npos);
  EXPECT_EQ(h.entries(), entries);
  o.evidence = json::Value(json::make_object({{"receipt", "r-2"}}));
  EXPECT_EQ(h.run(Finish{"i", o}), "terminal_intent: cannot replace a terminal receipt");
}

TEST(Finish, UnknownEffectThenReconcile) {
  Harness h = running();
  h.run(Finish{"i", outcome(OutcomeStatus::EffectUnknown, {"r"})}, 5);
  EXPECT_EQ(h.record("i").status, Status::EffectUnknown);
  EXPECT_FALSE(h.record("i").finished_ms);
  EXPECT_EQ(h.resource("r").revision, 1u);
  EXPECT_EQ(h.run(Finish{"i", completed()}),
            "outcome_transition: finish requires running; reconcile requires unknown/cancel-requested");
  h.run(Reconcile{"i", outcome(OutcomeStatus::CancelledVerified, {"r"})}, 6);
  EXPECT_EQ(h.record("i").status, Status::Cancelled);
  EXPECT_EQ(h.record("i").finished_ms, 6u);
  EXPECT_EQ(h.record("i").outcome->status, OutcomeStatus::CancelledVerified);
  EXPECT_EQ(h.resource("r").revision, 2u);
}

TEST(Finish, TerminalWithoutOutcomeAndCancelRequested) {
  Harness h;
  h.prepare({"r"});
  h.run(Submit{intent("e", "act", {}, 5)});
  h.run(Expire{}, 5);
  EXPECT_EQ(h.run(Finish{"e", completed()}), "terminal_intent: cannot replace a terminal receipt");
  h.run(Submit{intent("f", "act")});
  EXPECT_EQ(h.run(Finish{"f", completed()}),
            "outcome_transition: finish requires running; reconcile requires unknown/cancel-requested");
  h.run(Begin{"f"});
  h.run(Cancel{"f"});
  EXPECT_NE(h.run(Reconcile{"f", completed()}).find(R"("status":"completed_verified")"), std::string::npos);
}

TEST(Finish, RevisionOverflowDiscardsEarlierResources) {
  State state = initial_state(config_with());
  state.actions["act"] = action("act");
  state.resources["a"] = ResourceState{0, "f", 0};
  state.resources["b"] = ResourceState{UINT64_MAX, "f", 0};
  state.intents["i"] = record_of(intent("i", "act", {writes("a"), writes("b")}), Status::Running);
  Core core = core_at(state);
  EXPECT_EQ(text_of(core.transact(Finish{"i", completed({"a", "b"})}, 1)), "revision_overflow");
  EXPECT_EQ(core.state(), state);
  EXPECT_EQ(core.index(), IntentIndex::build(state));
}

}  // namespace
}  // namespace tallowmere::testing
