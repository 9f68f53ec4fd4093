// The core's transaction: genesis, the clock and size checks, no entry for
// an unchanged state, the hash chain, backpressure and checkpoints.
#include <gtest/gtest.h>

#include "broker_fixtures.h"
#include "broker/checkpoint.h"
#include "broker/journal_append.h"

namespace tallowmere::testing {
namespace {

TEST(Genesis, StartsFromTheGenesisCheckpoint) {
  Core core = Core::genesis(Config{}).value();
  const std::string digest =
      checkpoint_digest(Config{}, initial_state(Config{}), 0, 0, "genesis");
  EXPECT_EQ(core.snapshot_text(),
            R"({"journal_sequence":0,"journal_tip":")" + digest +
                R"(","revision":0,"schema_version":1,"state":{"actions":{},"capabilities":[],)"
                R"("control_queue":[],"event_hashes":{},"intents":{},"normal_queue":[],)"
                R"("operation_keys":{},"resources":{},"revision":0,"source_sequences":{}},)"
                R"("tick_ms":0,"workspace_id":"default"})");
}

TEST(Transact, CommandTextLimitIsInclusive) {
  Config config = config_with();
  config.max_event_bytes = 256;
  Harness h(config);
  const std::string fits(256 - to_text(Command{RegisterAction{action("")}}).size(), 'a');
  EXPECT_EQ(h.run(RegisterAction{action(fits + "a")}),
            "payload_limit: command exceeds configured byte limit");
  EXPECT_EQ(h.entries(), 0u);
  EXPECT_EQ(h.run(RegisterAction{action(fits)}).rfind(R"({"action_id":)", 0), 0u);
  EXPECT_EQ(h.entries(), 1u);
}

TEST(Backpressure, ReserveAndFullJournal) {
  const Command begin = Begin{"i"};
  const Command submit = Submit{intent("i", "act")};
  const Command normal = Enqueue{observed("e", 1, "r", "f"), false};
  const Command control = Enqueue{cancel_event("e", 1, "i"), true};
  struct Case {
    Command command;
    uint64_t max_entries, entries, open;
    bool control_waiting, admitted;
  } cases[] = {
      // Reserve 3 * 20 + 16 = 76 against 100 entries.
      {begin, 100, 23, 20, false, true},
      {begin, 100, 24, 20, false, false},
      {submit, 100, 20, 21, false, true},
      {submit, 100, 21, 21, false, false},
      {normal, 100, 24, 20, false, false},
      {control, 100, 99, 20, false, true},
      {Drain{1}, 100, 24, 20, false, false},
      {Drain{1}, 100, 99, 20, true, true},
      {Finish{"i", completed()}, 100, 99, 20, false, true},
      {Reconcile{"i", completed()}, 100, 99, 20, false, true},
      {Cancel{"i"}, 100, 99, 20, false, true},
      {Revoke{"c"}, 100, 99, 20, false, true},
      {Expire{}, 100, 99, 20, false, true},
      {Recover{}, 100, 99, 20, false, true},
      // Nothing passes a full entry list.
      {Finish{"i", completed()}, 100, 100, 0, false, false},
      {Recover{}, 100, 100, 0, false, false},
      {control, 100, 100, 0, false, false},
      {Drain{1}, 100, 100, 0, true, false},
      // The reserve saturates instead of wrapping.
      {begin, UINT64_MAX, 0, UINT64_MAX / 2, false, false},
      {Cancel{"i"}, UINT64_MAX, 0, UINT64_MAX / 2, false, true},
      {begin, UINT64_MAX, UINT64_MAX - 17, 0, false, true},
      {begin, UINT64_MAX, UINT64_MAX - 16, 0, false, false},
  };
  for (const Case& c : cases) {
    Check admitted = admit_to_journal(config_with(c.max_entries), c.entries, c.open, c.command,
                                      c.control_waiting);
    EXPECT_EQ(admitted ? "" : admitted.error(), c.admitted ? "" : kBackpressure)
        << operation_name(c.command) << " at " << c.entries << " entries, " << c.open << " open";
  }
}

// A submission whose arguments weigh 2000 bytes, after one registration.
// Its limits are measured on real journal texts: the journal with both
// entries, the same after acknowledging the registration first, and the
// checkpoint of the state the submission leaves; each must leave room for
// the one ending step the accepted intent may still take.
TEST(Backpressure, JournalTextStaysWithinTheReplayLimit) {
  Intent big = intent("i", "act");
  big.arguments = host_value(R"({"blob":")" + std::string(2000, 'x') + R"("})");
  const Command submit = Submit{big};
  auto measured = [&](bool acknowledge_first, bool checkpoint_after) {
    Harness h;
    h.run(RegisterAction{action("act")});
    if (acknowledge_first && !h.acknowledge()) ADD_FAILURE();
    h.run(submit);
    if (checkpoint_after && !h.acknowledge()) ADD_FAILURE();
    return h.core.journal_text().size() + ending_step_bytes();
  };
  const uint64_t appended = measured(false, false);
  const uint64_t refolded = measured(true, false);
  const uint64_t folded_after = measured(false, true);
  ASSERT_LT(folded_after, refolded - 1);
  ASSERT_LT(refolded, appended - 1);

  const std::string accepted = R"({"duplicate":false)";
  struct Case {
    uint64_t limit;
    std::string answer, after_checkpoint;
  } cases[] = {
      {appended, accepted, accepted},            // exactly at the limit
      {appended - 1, kBackpressure, accepted},   // a byte over: a checkpoint makes room
      {refolded, kBackpressure, accepted},       // room only after a checkpoint
      {refolded - 1, kJournalTooLong, kJournalTooLong},
      {folded_after - 1, kJournalTooLong, kJournalTooLong},  // the state alone too long
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    Harness h(config_with(), c.limit);
    h.run(RegisterAction{action("act")});
    const std::string journal = h.core.journal_text();
    EXPECT_EQ(h.run(submit).substr(0, c.answer.size()), c.answer);
    if (c.answer != accepted) {
      EXPECT_EQ(h.core.journal_text(), journal);
      // Commands that change nothing are answered as before.
      EXPECT_EQ(h.run(RegisterAction{action("act")}).rfind(R"({"action_id":"act")", 0), 0u);
      ASSERT_TRUE(h.acknowledge());
      EXPECT_EQ(h.run(submit).substr(0, c.after_checkpoint.size()), c.after_checkpoint);
    }
    EXPECT_LE(h.core.journal_text().size(), c.limit);
    EXPECT_TRUE(replay_journal(h.core.journal(), c.limit));
  }
}

TEST(Checkpoint, ValidateStateChecksInOrder) {
  Config config = config_with();
  config.max_intents = 1;
  auto with_intent = [](const std::string& key, const std::string& id, const std::string& act,
                        StringSet capabilities = {}) {
    State state;
    state.actions["act"] = action("act");
    state.intents[key].intent = intent(id, act);
    state.capabilities = std::move(capabilities);
    return state;
  };
  const std::string inconsistent = "checkpoint_intent: inconsistent intent registry";
  State too_many = with_intent("i", "i", "act", {"undeclared"});
  too_many.intents["j"].intent = intent("j", "act");
  const std::pair<State, std::string> cases[] = {
      {with_intent("i", "i", "act", {"deploy"}), ""},
      {too_many, "checkpoint_limit: state exceeds configured limits"},
      {with_intent("i", "j", "act", {"deploy", "undeclared"}),
       "checkpoint_capabilities: checkpoint grants undeclared capabilities"},
      {with_intent("i", "j", "act"), inconsistent},
      {with_intent("i", "i", "unknown"), inconsistent},
  };
  for (const auto& [state, error] : cases) {
    Check valid = validate_state(config, state);
    EXPECT_EQ(valid ? "" : valid.error(), error);
  }
}

}  // namespace
}  // namespace tallowmere::testing
