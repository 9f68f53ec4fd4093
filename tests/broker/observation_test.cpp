// Events: admission, deduplication, ordering, payload effects, revocation,
// and the two queues with their drain.
#include <gtest/gtest.h>

#include "broker_fixtures.h"
#include "broker/reducer/observation.h"

namespace tallowmere::testing {
namespace {

TEST(ValidateEvent, ChecksInOrder) {
  Config config = config_with();
  config.max_event_bytes = 256;
  const size_t base = to_text(observed("e", 1, "r", "")).size();
  const std::pair<Event, std::string> cases[] = {
      {observed("", 0, "r", "f", "stranger"), kIdentifierError},
      {observed("e", 0, "r", "f", ""), kIdentifierError},
      {observed("e", 0, "r", "f", "stranger"), "untrusted_source: stranger"},
      {observed("e", 0, "r", std::string(300, 'f')), "invalid_sequence: source_sequence must start at 1"},
      {observed("e", 1, "r", std::string(256 - base + 1, 'f')), "payload_limit: event exceeds configured byte limit"},
      {observed("e", 1, "r", std::string(256 - base, 'f')), ""},
      {observed("e", 1, "", "f"), ""},  // the resource id is checked when applied
  };
  for (const auto& [event, error] : cases) {
    Check valid = validate_event(config, event);
    EXPECT_EQ(valid ? "" : valid.error(), error) << to_text(event);
  }
}

TEST(Observe, DeduplicatesOrdersAndCounts) {
  Harness h;
  const Event first = observed("e1", 5, "r", "f0");
  const std::string unchanged = R"({"changed":false,"invalidated":[],"resource_id":"r","resource_revision":0})";
  EXPECT_EQ(h.run(Observe{first}, 1),
            R"({"duplicate":false,"result":)" + unchanged + R"(,"revision":1,"sequence_gap":true})");
  EXPECT_EQ(h.run(Observe{first}, 2), R"({"duplicate":true,"revision":1})");
  EXPECT_EQ(h.run(Observe{observed("e1", 6, "r", "f0")}), "event_collision: event ID reused with different payload");
  EXPECT_EQ(h.run(Observe{observed("e2", 5, "r", "f1")}), "stale_sequence: source event already passed");
  EXPECT_EQ(h.run(Observe{observed("e2", 6, "r", "f0")}, 3),
            R"({"duplicate":false,"result":)" + unchanged + R"(,"revision":2,"sequence_gap":false})");
  EXPECT_EQ(h.resource("r").observed_ms, 3u);
  // Sources keep separate positions.
  EXPECT_NE(h.run(Observe{observed("e3", 1, "q", "f", "verifier")}).find(R"("revision":3)"), std::string::npos);
  EXPECT_EQ(h.core.state().source_sequences, (StringMap<uint64_t>{{"runtime", 6}, {"verifier", 1}}));
}

TEST(Observe, ChangedFingerprintInvalidatesAcceptedIntentsOnly) {
  Harness h;
  h.prepare({"r", "s"});
  h.run(Submit{intent("b", "act", {reads("r")})});
  h.run(Submit{intent("a", "act", {reads("r"), reads("s")})});
  h.run(Submit{intent("run", "act", {reads("r")})});
  h.run(Submit{intent("other", "act", {reads("s")})});
  h.run(Begin{"run"});
  EXPECT_EQ(h.run(Observe{observed("e", 50, "r", "f1")}, 4),
            R"({"duplicate":false,"result":{"changed":true,"invalidated":["a","b"],"resource_id":"r",)"
            R"("resource_revision":1},"revision":3,"sequence_gap":true})");
  EXPECT_EQ(h.record("a").invalidation_reason, "resource_changed_before_dispatch");
  EXPECT_EQ(h.record("a").finished_ms, 4u);
}

TEST(Observe, LimitsAndPayloadErrorsChangeNothing) {
  Config config = config_with();
  config.max_resources = 1;
  config.max_events = 3;
  Harness h(config);
  h.run(Observe{observed("e1", 1, "r", "f")});
  const std::pair<Event, std::string> cases[] = {
      {observed("e2", 2, "", "f"), kIdentifierError},
      {observed("e2", 2, "r", std::string(4097, 'f')), "fingerprint_limit: fingerprint too long"},
      {observed("e2", 2, "new", "f"), "resource_limit: resource registry full"},
  };
  for (const auto& [event, answer] : cases) EXPECT_EQ(h.run(Observe{event}), answer) << to_text(event);
  EXPECT_EQ(h.run(Observe{observed("e2", 2, "r", std::string(4096, 'f'))}).substr(0, 18), R"({"duplicate":false)");
  h.run(Observe{observed("e3", 3, "r", "g")});
  EXPECT_EQ(h.run(Observe{observed("e4", 4, "r", "g")}),
            "event_limit: deduplication ledger full; rotate workspace with durable history");
  EXPECT_EQ(h.run(Observe{observed("e1", 1, "r", "f")}), R"({"duplicate":true,"revision":3})");
}

TEST(Revoke, CancelsOpenIntentsWhoseActionNeedsIt) {
  Harness h;
  h.prepare({});
  h.run(RegisterAction{action("deployer", true, {"deploy", "read"})});
  h.run(RegisterAction{action("reader", true, {"read"})});
  for (const char* id : {"d-acc", "d-run", "d-req", "d-unk", "d-done", "r-acc"}) {
    h.run(Submit{intent(id, id[0] == 'd' ? "deployer" : "reader")});
  }
  for (const char* id : {"d-run", "d-req", "d-unk", "d-done"}) h.run(Begin{id});
  EXPECT_NE(h.run(Cancel{"d-req"}).find(R"("status":"cancellation_requested")"), std::string::npos);
  h.run(Finish{"d-unk", outcome(OutcomeStatus::EffectUnknown)});
  h.run(Finish{"d-done", completed()});
  EXPECT_EQ(h.run(Revoke{"deploy"}, 3),
            R"({"affected":["d-acc","d-req","d-run","d-unk"],"capability":"deploy","revoked":true})");
  EXPECT_EQ(h.record("d-acc").status, Status::Cancelled);
  EXPECT_EQ(h.record("d-run").status, Status::CancellationRequested);
  EXPECT_EQ(h.record("d-unk").status, Status::EffectUnknown);
  EXPECT_TRUE(h.record("d-unk").cancellation_requested);
  // Absent already: not revoked, still applied, and now nothing changes.
  EXPECT_EQ(h.run(Revoke{"deploy"}),
            R"({"affected":["d-req","d-run","d-unk"],"capability":"deploy","revoked":false})");
  EXPECT_EQ(h.run(Revoke{""}), kIdentifierError);
  // Cancelling an ended intent answers its record as it stands.
  const std::string ended = h.run(Cancel{"d-acc"}, 4);
  EXPECT_EQ(ended, value_of(h.record("d-acc")));
  EXPECT_EQ(h.record("d-acc").finished_ms, 3u);
  EXPECT_TRUE(h.record("d-acc").cancellation_requested);
  // The same through an event, wrapped in the observation's answer.
  EXPECT_EQ(h.run(Observe{revoke_event("v1", 1, "read")}),
            R"({"duplicate":false,"result":{"affected":["d-req","d-run","d-unk","r-acc"],)"
            R"("capability":"read","revoked":true},"revision":1,"sequence_gap":false})");
}

TEST(Enqueue, ChecksInOrder) {
  Config config = config_with();
  config.control_capacity = 2;
  Harness h(config);
  const std::string wrong_class = "queue_class: control flag must match event kind";
  EXPECT_EQ(h.run(Enqueue{observed("e", 0, "r", "f"), true}), "invalid_sequence: source_sequence must start at 1");
  EXPECT_EQ(h.run(Enqueue{observed("e", 1, "r", "f"), true}), wrong_class);
  EXPECT_EQ(h.run(Enqueue{cancel_event("c", 1, "i"), false}), wrong_class);
  EXPECT_EQ(h.run(Enqueue{cancel_event("c1", 1, "i"), true}), R"({"control":true,"depth":1,"queued":true})");
  EXPECT_EQ(h.run(Enqueue{revoke_event("c2", 2, "x"), true}), R"({"control":true,"depth":2,"queued":true})");
  EXPECT_EQ(h.run(Enqueue{cancel_event("c3", 3, "i"), true}), "queue_full: bounded queue capacity reached");
  // Queued events are not deduplicated or ordered until drained.
  for (const char* depth : {"1", "2"}) {
    EXPECT_EQ(h.run(Enqueue{observed("n1", 1, "r", "f"), false}),
              std::string(R"({"control":false,"depth":)") + depth + R"(,"queued":true})");
  }
}

// Control events first, each event seeing the effects of those before it;
// refused events are consumed and their changes discarded.
TEST(Drain, ControlFirstEachSeeingTheEventsBefore) {
  Harness h;
  h.prepare({"r"});
  h.run(Submit{intent("i", "act", {writes("r")})});
  h.run(Enqueue{observed("a", 10, "r", "f1"), false});  // invalidates nothing: i is cancelled first
  h.run(Enqueue{observed("b", 10, "r", "f2"), false});  // stale: a passed sequence 10
  h.run(Enqueue{observed("c", 11, "r", "f2"), false});
  h.run(Enqueue{cancel_event("x", 1, "i"), true});
  EXPECT_EQ(h.run(Drain{0}), "drain_limit: limit must be 1..64");
  EXPECT_EQ(h.run(Drain{65}), "drain_limit: limit must be 1..64");
  EXPECT_EQ(h.run(Drain{2}, 7).rfind(R"([{"event_id":"x","result":{"duplicate":false)", 0), 0u);
  EXPECT_EQ(h.record("i").status, Status::Cancelled);
  EXPECT_EQ(h.resource("r").fingerprint, "f1");
  EXPECT_EQ(h.run(Drain{64}, 8),
            R"([{"error":"stale_sequence: source event already passed","event_id":"b"},)"
            R"({"event_id":"c","result":{"duplicate":false,"result":{"changed":true,"invalidated":[],)"
            R"("resource_id":"r","resource_revision":2},"revision":4,"sequence_gap":false}}])");
  EXPECT_EQ(h.run(Drain{64}), "[]");
  // A refused event is consumed, and leaves no trace besides.
  h.run(Enqueue{cancel_event("bad", 9, "missing"), true});
  EXPECT_EQ(h.run(Drain{1}), R"([{"error":"unknown_intent: missing","event_id":"bad"}])");
  EXPECT_FALSE(h.core.state().event_hashes.contains("bad"));
}

TEST(Drain, AFailedEventUndoesItsOwnPartialChanges) {
  // The revocation cancels "n" and then fails on the event counter: only its
  // removal from the queue survives, and the event before it stays applied.
  State state = initial_state(config_with());
  state.actions["needs"] = action("needs", true, {"deploy"});
  state.intents["n"] = record_of(intent("n", "needs"), Status::Accepted);
  state.revision = UINT64_MAX - 1;
  state.control_queue = {cancel_event("c0", 1, "nope"), revoke_event("c1", 2, "read"),
                         revoke_event("c2", 3, "deploy")};
  Core core = core_at(state);
  EXPECT_EQ(text_of(core.transact(Drain{3}, 5)),
            R"([{"error":"unknown_intent: nope","event_id":"c0"},)"
            R"({"event_id":"c1","result":{"duplicate":false,"result":{"affected":[],)"
            R"("capability":"read","revoked":true},"revision":18446744073709551615,"sequence_gap":true}},)"
            R"({"error":"revision_overflow","event_id":"c2"}])");
  EXPECT_EQ(core.state().intents.at("n").status, Status::Accepted);
  EXPECT_EQ(core.state().capabilities, StringSet{"deploy"});
  EXPECT_EQ(core.state().source_sequences.at("verifier"), 2u);
  EXPECT_TRUE(core.state().control_queue.empty());
}

}  // namespace
}  // namespace tallowmere::testing
