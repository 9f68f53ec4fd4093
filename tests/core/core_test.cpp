// The core's transaction: genesis, the clock and size checks, no entry for
// an unchanged state, the hash chain, backpressure and checkpoints.
#include <gtest/gtest.h>

#include "broker_fixtures.h"
#include "core/checkpoint.h"
#include "core/digest.h"
#include "core/journal_append.h"

namespace tallowmere::testing {
namespace {

constexpr char kDefaultConfigText[] =
    R"({"workspace_id":"default","capabilities":[],"trusted_sources":["runtime","verifier"],)"
    R"("normal_capacity":256,"control_capacity":32,"max_event_bytes":65536,"max_resources":4096,)"
    R"("max_intents":4096,"max_events":65536,"max_journal_entries":100000})";
constexpr char kInitialStateText[] =
    R"({"actions":{},"capabilities":[],"resources":{},"intents":{},"operation_keys":{},)"
    R"("source_sequences":{},"event_hashes":{},"normal_queue":[],"control_queue":[],"revision":0})";

TEST(Genesis, CheckpointDigestCoversConfigStateAndGenesisParent) {
  Core core = Core::genesis(Config{}).value();
  const Journal& journal = core.journal();
  const std::string expected = sha256_hex(std::string("[") + kDefaultConfigText + "," +
                                          kInitialStateText + R"(,0,0,"genesis"])");
  EXPECT_EQ(journal.checkpoint_hash, expected);
  EXPECT_EQ(journal.checkpoint_parent_hash, "genesis");
  EXPECT_EQ(journal.checkpoint_sequence, 0u);
  EXPECT_EQ(journal.checkpoint_tick_ms, 0u);
  EXPECT_TRUE(journal.entries.empty());
  EXPECT_EQ(core.clock_ms(), 0u);
  EXPECT_EQ(json::to_text(core.snapshot()),
            R"({"journal_sequence":0,"journal_tip":")" + expected +
                R"(","revision":0,"schema_version":1,"state":{"actions":{},"capabilities":[],)"
                R"("control_queue":[],"event_hashes":{},"intents":{},"normal_queue":[],)"
                R"("operation_keys":{},"resources":{},"revision":0,"source_sequences":{}},)"
                R"("tick_ms":0,"workspace_id":"default"})");
}

TEST(Genesis, RefusesConfigurationsInValidationOrder) {
  const std::string identifier = "invalid_identifier: identifiers must contain 1..512 non-control bytes";
  const std::string bounds = "invalid_config: capacity bounds violated";
  struct Case {
    void (*edit)(Config&);
    std::string error;
  } cases[] = {
      {[](Config& c) { c.workspace_id = ""; c.normal_capacity = 0; }, identifier},
      {[](Config& c) { c.max_journal_entries = 31; c.capabilities = {""}; }, bounds},
      {[](Config& c) { c.capabilities = {"ok", std::string("\x01")}; }, identifier},
      {[](Config& c) { c.trusted_sources = {""}; }, identifier},
  };
  for (const Case& c : cases) {
    Config config;
    c.edit(config);
    Result<Core> core = Core::genesis(config);
    ASSERT_FALSE(core);
    EXPECT_EQ(core.error(), c.error);
  }
}

TEST(Transact, ClockRegressionIsCheckedBeforeAnythingElse) {
  Harness h;
  h.run(RegisterAction{action("act")}, 10);
  EXPECT_EQ(h.core.clock_ms(), 10u);
  // Even a command that would change nothing is refused at an earlier tick.
  EXPECT_EQ(h.run(RegisterAction{action("act")}, 9), "clock_regression: monotonic time moved backwards");
  EXPECT_EQ(h.run(RegisterAction{action("act")}, 10).substr(0, 13), R"({"action_id":)");
}

TEST(Transact, CommandTextLimitIsInclusive) {
  Config config = config_with();
  config.max_event_bytes = 256;
  Harness h(config);
  const size_t base = to_text(Command{RegisterAction{action("")}}).size();
  const std::string fits(256 - base, 'a');
  EXPECT_EQ(to_text(Command{RegisterAction{action(fits)}}).size(), 256u);
  EXPECT_EQ(h.run(RegisterAction{action(fits + "a")}), "payload_limit: command exceeds configured byte limit");
  EXPECT_EQ(h.entries(), 0u);
  EXPECT_EQ(h.run(RegisterAction{action(fits)}).rfind(R"({"action_id":)", 0), 0u);
  EXPECT_EQ(h.entries(), 1u);
}

TEST(Transact, UnchangedStateIsAnsweredWithoutEntry) {
  Harness h;
  h.prepare({"r"});
  h.run(Submit{intent("i1", "act", {writes("r")})}, 5);
  h.run(Submit{intent("i2", "act")}, 5);
  h.run(Cancel{"i2"}, 6);
  const Event seen = observed("seen-again", 10, "other", "f");
  h.run(Observe{seen}, 6);
  const std::string journal = h.core.journal_text();
  const size_t entries = h.entries();
  struct Case {
    const char* name;
    Command command;
    const char* answer_prefix;
  } cases[] = {
      {"identical registration", RegisterAction{action("act")}, R"({"action_id":"act")"},
      {"duplicate submission", Submit{intent("i1", "act", {writes("r")}, 5)}, R"({"duplicate":true)"},
      {"cancel of a terminal intent", Cancel{"i2"}, R"({"accepted_ms":5)"},
      {"drain of empty queues", Drain{5}, "[]"},
      {"expire with nothing due", Expire{}, R"({"expired":[]})"},
      {"duplicate event", Observe{seen}, R"({"duplicate":true,"revision":2})"},
  };
  for (Case& c : cases) {
    const std::string answer = h.run(std::move(c.command), 20);
    EXPECT_EQ(answer.rfind(c.answer_prefix, 0), 0u) << c.name << ": " << answer;
    EXPECT_EQ(h.entries(), entries) << c.name;
    EXPECT_EQ(h.core.clock_ms(), 6u) << c.name;
  }
  EXPECT_EQ(h.core.journal_text(), journal);
}

TEST(Transact, EntriesChainFromTheGenesisCheckpoint) {
  Harness h;
  h.prepare({"r"}, 3);
  Result<json::Value> submitted = h.core.transact(Submit{intent("i", "act", {writes("r")})}, 7);
  ASSERT_TRUE(submitted);
  const auto& entries = h.core.journal().entries;
  ASSERT_EQ(entries.size(), 3u);
  std::string previous = h.core.journal().checkpoint_hash;
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].sequence, i + 1);
    EXPECT_EQ(entries[i].previous_hash, previous);
    EXPECT_EQ(entries[i].hash, computed_hash(entries[i]).value());
    EXPECT_EQ(entries[i].hash,
              sha256_hex("[" + std::to_string(i + 1) + "," + std::to_string(entries[i].tick_ms) +
                         ",\"" + previous + "\"," + to_text(entries[i].command) + ",\"" +
                         entries[i].result_hash + "\"]"));
    previous = entries[i].hash;
  }
  EXPECT_EQ(entries.back().tick_ms, 7u);
  EXPECT_EQ(entries.back().result_hash, value_digest(*submitted));
}

TEST(Backpressure, ReserveAndFullJournal) {
  const Command begin = Begin{"i"};
  const Command submit = Submit{intent("i", "act")};
  const Command normal = Enqueue{observed("e", 1, "r", "f"), false};
  const Command control = Enqueue{cancel_event("e", 1, "i"), true};
  struct Case {
    Command command;
    uint64_t entries, open;
    bool control_waiting;
    bool admitted;
  } cases[] = {
      // Reserve 3 * 20 + 16 = 76 against 100 entries.
      {begin, 23, 20, false, true},
      {begin, 24, 20, false, false},
      {submit, 20, 21, false, true},
      {submit, 21, 21, false, false},
      {normal, 24, 20, false, false},
      {control, 24, 20, false, true},
      {control, 99, 20, false, true},
      {Drain{1}, 24, 20, false, false},
      {Drain{1}, 99, 20, true, true},
      {Finish{"i", completed()}, 99, 20, false, true},
      {Reconcile{"i", completed()}, 99, 20, false, true},
      {Cancel{"i"}, 99, 20, false, true},
      {Revoke{"c"}, 99, 20, false, true},
      {Expire{}, 99, 20, false, true},
      {Recover{}, 99, 20, false, true},
      // Nothing passes a full entry list.
      {Finish{"i", completed()}, 100, 0, false, false},
      {Recover{}, 100, 0, false, false},
      {control, 100, 0, false, false},
      {Drain{1}, 100, 0, true, false},
  };
  const Config config = config_with(100);
  for (const Case& c : cases) {
    Check admitted = admit_to_journal(config, c.entries, c.open, c.command, c.control_waiting);
    EXPECT_EQ(admitted.ok(), c.admitted)
        << operation_name(c.command) << " at " << c.entries << " entries, " << c.open << " open";
    if (!admitted) {
      EXPECT_EQ(admitted.error(),
                "journal_backpressure: persist journal and acknowledge checkpoint before more mutations");
    }
  }
}

TEST(Backpressure, ReserveSaturates) {
  const Config config = config_with(UINT64_MAX);
  EXPECT_FALSE(admit_to_journal(config, 0, UINT64_MAX / 2, Begin{"i"}, false));
  EXPECT_TRUE(admit_to_journal(config, 0, UINT64_MAX / 2, Cancel{"i"}, false));
  EXPECT_TRUE(admit_to_journal(config, UINT64_MAX - 17, 0, Begin{"i"}, false));
  EXPECT_FALSE(admit_to_journal(config, UINT64_MAX - 16, 0, Begin{"i"}, false));
}

TEST(Backpressure, NewWorkWaitsForACheckpointWhileEndingWorkPasses) {
  Harness h(config_with(32));
  h.prepare({"r", "s"});
  h.run(Submit{intent("i1", "act", {writes("r")})});
  h.run(Begin{"i1"});
  ASSERT_EQ(h.entries(), 5u);
  // One open intent: new work passes while entries + 19 < 32.
  for (uint64_t n = 1; h.entries() < 13; ++n) {
    ASSERT_EQ(h.run(Observe{observed("s" + std::to_string(n), 10 + n, "s", std::to_string(n))})[0], '{');
  }
  const std::string refused =
      "journal_backpressure: persist journal and acknowledge checkpoint before more mutations";
  EXPECT_EQ(h.run(Observe{observed("late", 99, "s", "late")}), refused);
  EXPECT_EQ(h.run(Submit{intent("i2", "act")}), refused);
  EXPECT_FALSE(h.core.state().intents.contains("i2"));
  EXPECT_NE(h.run(Finish{"i1", completed({"r"})}).find("completed_verified"), std::string::npos);
  EXPECT_EQ(h.entries(), 14u);
  EXPECT_EQ(h.run(Submit{intent("i2", "act")}), refused);
  ASSERT_TRUE(h.core.checkpoint(journal_tip(h.core.journal())));
  EXPECT_EQ(h.run(Submit{intent("i2", "act")}).rfind(R"({"duplicate":false)", 0), 0u);
}

TEST(Backpressure, FullJournalRefusesEveryChangeButAnswersNoOps) {
  Harness h(config_with(32));
  h.run(RegisterAction{action("act")});
  for (const char* id : {"a", "b", "c"}) h.run(Submit{intent(id, "act")});
  for (const char* id : {"a", "b", "c"}) h.run(Begin{id});
  for (const char* id : {"a", "b", "c"}) h.run(Cancel{id});
  // "c" stays cancellation_requested, which recovery would change.
  for (const char* id : {"a", "b"}) h.run(Finish{id, outcome(OutcomeStatus::EffectUnknown)});
  ASSERT_EQ(h.entries(), 12u);
  // Reconciling with new evidence changes the record each time.
  for (uint64_t n = 0; h.entries() < 32; ++n) {
    Outcome unknown = outcome(OutcomeStatus::EffectUnknown);
    unknown.evidence = json::Value(json::make_object({{"attempt", n}}));
    ASSERT_EQ(h.run(Reconcile{"a", unknown})[0], '{');
  }
  const std::string refused =
      "journal_backpressure: persist journal and acknowledge checkpoint before more mutations";
  EXPECT_EQ(h.run(Reconcile{"b", completed()}), refused);
  EXPECT_EQ(h.run(Recover{}), refused);
  EXPECT_EQ(h.record("b").status, Status::EffectUnknown);
  EXPECT_EQ(h.run(Cancel{"b"}).rfind("{", 0), 0u);
  EXPECT_EQ(h.run(Expire{}), R"({"expired":[]})");
  EXPECT_EQ(h.entries(), 32u);
}

// A submission whose arguments weigh 2000 bytes, after one registration.
// Its limits are measured on real journal texts: the journal with both
// entries, the same after acknowledging the registration first, and the
// checkpoint of the state the submission leaves.
TEST(Backpressure, JournalTextStaysWithinTheReplayLimit) {
  Intent big = intent("i", "act");
  big.arguments = json::Value(json::make_object({{"blob", std::string(2000, 'x')}}));
  const Command submit = Submit{big};
  auto measured = [&](bool acknowledge_first, bool checkpoint_after) {
    Harness h;
    h.run(RegisterAction{action("act")});
    if (acknowledge_first) EXPECT_TRUE(h.core.checkpoint(journal_tip(h.core.journal())));
    h.run(submit);
    if (checkpoint_after) EXPECT_TRUE(h.core.checkpoint(journal_tip(h.core.journal())));
    return h.core.journal_text().size();
  };
  const uint64_t appended = measured(false, false);
  const uint64_t refolded = measured(true, false);
  const uint64_t folded_after = measured(false, true);
  ASSERT_LT(folded_after, refolded - 1);
  ASSERT_LT(refolded, appended - 1);

  const std::string accepted = R"({"duplicate":false)";
  const std::string refused =
      "journal_backpressure: persist journal and acknowledge checkpoint before more mutations";
  const std::string too_long = "journal_limit: journal would exceed the replay size limit";
  struct Case {
    const char* name;
    uint64_t limit;
    std::string answer;
    std::string after_checkpoint;
  } cases[] = {
      {"exactly at the limit", appended, accepted, accepted},
      {"a byte over, a checkpoint makes room", appended - 1, refused, accepted},
      {"room only after a checkpoint", refolded, refused, accepted},
      {"no room even after a checkpoint", refolded - 1, too_long, too_long},
      {"the state alone too long", folded_after - 1, too_long, too_long},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h(config_with(), c.limit);
    h.run(RegisterAction{action("act")});
    const std::string journal = h.core.journal_text();
    EXPECT_EQ(h.run(submit).substr(0, c.answer.size()), c.answer);
    if (c.answer != accepted) {
      EXPECT_EQ(h.core.journal_text(), journal);
      // Commands that change nothing are answered as before.
      EXPECT_EQ(h.run(RegisterAction{action("act")}).rfind(R"({"action_id":"act")", 0), 0u);
      ASSERT_TRUE(h.core.checkpoint(journal_tip(h.core.journal())));
      EXPECT_EQ(h.run(submit).substr(0, c.after_checkpoint.size()), c.after_checkpoint);
    }
    EXPECT_LE(h.core.journal_text().size(), c.limit);
    EXPECT_TRUE(replay_journal(h.core.journal(), c.limit));
  }
}

TEST(Transact, SameCommandsAtSameTicksGiveIdenticalJournals) {
  auto script = [](Harness& h) {
    h.prepare({"r", "s"}, 1);
    h.run(Submit{intent("b", "act", {writes("r")}, 50)}, 2);
    h.run(Submit{intent("a", "act", {reads("s")}, 10)}, 3);
    h.run(Begin{"b"}, 4);
    h.run(Enqueue{observed("q1", 9, "s", "f1"), false}, 5);
    h.run(Enqueue{cancel_event("q2", 1, "b"), true}, 5);
    h.run(Drain{64}, 20);
    h.run(Finish{"b", completed({"r"})}, 21);
  };
  Harness first, second;
  script(first);
  script(second);
  EXPECT_EQ(first.entries(), 10u);
  EXPECT_EQ(first.core.journal_text(), second.core.journal_text());
  EXPECT_EQ(json::to_text(first.core.snapshot()), json::to_text(second.core.snapshot()));
}

TEST(Checkpoint, FoldsTheAcknowledgedTip) {
  Harness h;
  h.run(RegisterAction{action("a1")}, 1);
  h.run(RegisterAction{action("a2")}, 2);
  h.run(RegisterAction{action("a3")}, 4);
  const std::string second = h.core.journal().entries[1].hash;
  const std::string third = h.core.journal().entries[2].hash;
  EXPECT_EQ(text_of(h.core.checkpoint(second)), "checkpoint_mismatch: acknowledged tip differs");
  EXPECT_EQ(h.entries(), 3u);

  const std::string expected = sha256_hex("[" + to_text(h.core.config()) + "," +
                                          to_text(h.core.state()) + ",3,4,\"" + third + "\"]");
  EXPECT_EQ(text_of(h.core.checkpoint(third)),
            R"({"checkpoint_hash":")" + expected + R"(","sequence":3})");
  const Journal& journal = h.core.journal();
  EXPECT_TRUE(journal.entries.empty());
  EXPECT_EQ(journal.checkpoint_sequence, 3u);
  EXPECT_EQ(journal.checkpoint_tick_ms, 4u);
  EXPECT_EQ(journal.checkpoint_parent_hash, third);
  EXPECT_EQ(journal.checkpoint_state, h.core.state());
  EXPECT_EQ(h.core.clock_ms(), 4u);

  // A second checkpoint acknowledges the new checkpoint hash, same sequence.
  EXPECT_EQ(text_of(h.core.checkpoint(third)), "checkpoint_mismatch: acknowledged tip differs");
  Result<json::Value> again = h.core.checkpoint(expected);
  ASSERT_TRUE(again);
  EXPECT_EQ(h.core.journal().checkpoint_parent_hash, expected);
  EXPECT_EQ(h.core.journal().checkpoint_sequence, 3u);

  h.run(RegisterAction{action("a4")}, 5);
  EXPECT_EQ(h.core.journal().entries[0].sequence, 4u);
  EXPECT_EQ(h.core.journal().entries[0].previous_hash, h.core.journal().checkpoint_hash);
}

TEST(Checkpoint, ValidateStateChecksInOrder) {
  Config config = config_with();
  config.max_intents = 1;
  auto with_intent = [](const std::string& key, const std::string& id, const std::string& act) {
    State state;
    state.actions["act"] = action("act");
    IntentRecord record;
    record.intent = intent(id, act);
    state.intents[key] = record;
    return state;
  };
  struct Case {
    State state;
    std::string error;
  } cases[] = {
      {with_intent("i", "i", "act"), ""},
      {with_intent("i", "j", "act"), "checkpoint_intent: inconsistent intent registry"},
      {with_intent("i", "i", "unknown"), "checkpoint_intent: inconsistent intent registry"},
  };
  State too_many = with_intent("i", "i", "act");
  too_many.intents["j"] = too_many.intents["i"];
  too_many.intents["j"].intent.intent_id = "j";
  too_many.capabilities = {"undeclared"};
  State undeclared = with_intent("i", "j", "act");
  undeclared.capabilities = {"deploy", "undeclared"};
  for (const Case& c : cases) {
    Check valid = validate_state(config, c.state);
    EXPECT_EQ(valid ? "" : valid.error(), c.error);
  }
  EXPECT_EQ(validate_state(config, too_many).error(), "checkpoint_limit: state exceeds configured limits");
  EXPECT_EQ(validate_state(config, undeclared).error(),
            "checkpoint_capabilities: checkpoint grants undeclared capabilities");
}

}  // namespace
}  // namespace tallowmere::testing
