// The core's transaction: genesis, the command size limit, and the journal's
// backpressure by entries and by length.
#include <gtest/gtest.h>

#include "broker_fixtures.h"
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
  // The snapshot tells the clock, which moves with every command.
  ASSERT_TRUE(core.transact(RegisterAction{action("act")}, 7));
  EXPECT_TRUE(core.snapshot_text().ends_with(R"("tick_ms":7,"workspace_id":"default"})"));
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

// A submission whose arguments weigh 2000 bytes, after one registration,
// under limits measured on real journal texts: the journal with both
// entries, the same after acknowledging the registration first, and the
// checkpoint of the state the submission leaves; each must leave room for
// the one ending step the accepted intent may still take.
TEST(Backpressure, JournalTextStaysWithinTheReplayLimit) {
  Intent big = intent("i", "act");
  big.arguments = host_value(R"({"blob":")" + std::string(2000, 'x') + R"("})");
  // The submission's answer, and what the journal then weighs with the step.
  auto submitted = [&](uint64_t limit, bool acknowledge_first, bool checkpoint_after) {
    Harness h(config_with(), limit);
    h.run(RegisterAction{action("act")});
    EXPECT_TRUE(!acknowledge_first || h.acknowledge());
    const std::string answer = h.run(Submit{big});
    EXPECT_TRUE(!checkpoint_after || h.acknowledge());
    EXPECT_LE(h.core.journal_text().size(), limit);
    return std::pair{answer, h.core.journal_text().size() + ending_step_bytes()};
  };
  const uint64_t appended = submitted(kJournalLimitBytes, false, false).second;
  const uint64_t refolded = submitted(kJournalLimitBytes, true, false).second;
  const uint64_t folded_after = submitted(kJournalLimitBytes, false, true).second;
  ASSERT_LT(folded_after, refolded - 1);
  ASSERT_LT(refolded, appended - 1);

  const std::string accepted = R"({"duplicate":false)";
  const std::tuple<uint64_t, std::string, std::string> cases[] = {
      // limit, answer, answer with the registration acknowledged first
      {appended, accepted, accepted},            // exactly at the limit
      {appended - 1, kBackpressure, accepted},   // a byte over: a checkpoint makes room
      {refolded, kBackpressure, accepted},       // room only after a checkpoint
      {refolded - 1, kJournalTooLong, kJournalTooLong},
      {folded_after - 1, kJournalTooLong, kJournalTooLong},  // the state alone too long
  };
  for (const auto& [limit, answer, after_checkpoint] : cases) {
    SCOPED_TRACE(limit);
    EXPECT_EQ(submitted(limit, false, false).first.substr(0, answer.size()), answer);
    EXPECT_EQ(submitted(limit, true, false).first.substr(0, after_checkpoint.size()),
              after_checkpoint);
  }
}

}  // namespace
}  // namespace tallowmere::testing
