// Replay of stored journals: every verification in its order, and recovery
// after a restart.
#include <gtest/gtest.h>

#include <functional>

#include "broker_fixtures.h"
#include "core/replay.h"

namespace tallowmere::testing {
namespace {

// Re-links the chain from entry `from` on, as a forger would.
void relink(Journal& journal, size_t from) {
  for (size_t i = from; i < journal.entries.size(); ++i) {
    Entry& entry = journal.entries[i];
    entry.previous_hash = i == 0 ? journal.checkpoint_hash : journal.entries[i - 1].hash;
    entry.hash = computed_hash(entry).value();
  }
}

// A journal with a checkpoint at sequence 2 followed by five entries; intent
// "run" is running and "wait" accepted; one normal event is queued.
Harness written() {
  Harness h;
  h.prepare({"r"}, 1);
  EXPECT_TRUE(h.core.checkpoint(journal_tip(h.core.journal())));
  h.run(Submit{intent("run", "act", {writes("r")})}, 2);
  h.run(Submit{intent("wait", "act", {}, 50)}, 3);
  h.run(Begin{"run"}, 4);
  h.run(Enqueue{observed("q", 20, "r", "f9"), false}, 5);
  h.run(Submit{intent("gone", "act", {}, 1)}, 6);
  return h;
}

TEST(Replay, ReproducesTheCoreThatWroteTheJournal) {
  Harness fresh;
  Result<Core> genesis = replay_journal(fresh.core.journal());
  ASSERT_TRUE(genesis);
  EXPECT_EQ(json::to_text(genesis->snapshot()), json::to_text(fresh.core.snapshot()));

  Harness h = written();
  Result<Core> replayed = replay_journal(h.core.journal());
  ASSERT_TRUE(replayed) << replayed.error();
  EXPECT_EQ(json::to_text(replayed->snapshot()), json::to_text(h.core.snapshot()));
  EXPECT_EQ(replayed->journal_text(), h.core.journal_text());
  EXPECT_EQ(replayed->clock_ms(), 6u);
  EXPECT_EQ(replayed->index(), h.core.index());
}

TEST(Replay, RefusesInOrder) {
  const Journal good = written().core.journal();
  auto edited = [&](std::function<void(Journal&)> edit) {
    Journal journal = good;
    edit(journal);
    return journal;
  };
  const std::string chain = "journal_integrity: entry chain mismatch";
  const std::string replayed = "journal_replay: recorded transition differs from reducer result";
  struct Case {
    const char* name;
    Journal journal;
    std::string error;
  } cases[] = {
      {"version before everything", edited([](Journal& j) { j.schema_version = 2; j.config.normal_capacity = 0; }),
       "journal_version: unsupported schema version"},
      {"configuration", edited([](Journal& j) { j.config.normal_capacity = 0; j.entries.clear(); }),
       "invalid_config: capacity bounds violated"},
      {"too many entries", edited([](Journal& j) {
         j.config.max_journal_entries = 32;
         while (j.entries.size() < 33) j.entries.push_back(j.entries.back());
       }),
       "journal_limit: too many entries"},
      {"checkpoint state", edited([](Journal& j) { j.checkpoint_state.revision += 1; }),
       "journal_integrity: checkpoint digest mismatch"},
      {"checkpoint tick", edited([](Journal& j) { j.checkpoint_tick_ms += 1; }),
       "journal_integrity: checkpoint digest mismatch"},
      {"inconsistent checkpoint", edited([](Journal& j) {
         j.checkpoint_state.capabilities.insert("undeclared");
         j.checkpoint_hash = checkpoint_digest(j.config, j.checkpoint_state, j.checkpoint_sequence,
                                               j.checkpoint_tick_ms, j.checkpoint_parent_hash).value();
         relink(j, 0);
       }),
       "checkpoint_capabilities: checkpoint grants undeclared capabilities"},
      {"changed command", edited([](Journal& j) { std::get<Begin>(j.entries[2].command).intent_id = "wait"; }), chain},
      {"first entry removed", edited([](Journal& j) { j.entries.erase(j.entries.begin()); }), chain},
      {"sequence skipped", edited([](Journal& j) { j.entries[1].sequence += 1; relink(j, 1); }), chain},
      {"tick going back", edited([](Journal& j) { j.entries[3].tick_ms = 3; j.entries[4].tick_ms = 3; relink(j, 3); }),
       "clock_regression: monotonic time moved backwards"},
      {"changed command, relinked", edited([](Journal& j) { std::get<Begin>(j.entries[2].command).intent_id = "wait"; relink(j, 2); }),
       replayed},
      {"result hash", edited([](Journal& j) { j.entries[4].result_hash[0] ^= 1; relink(j, 4); }), replayed},
      {"command that changes nothing", edited([](Journal& j) { j.entries.push_back(j.entries[1]); j.entries.back().sequence = 8; j.entries.back().tick_ms = 6; relink(j, 5); }),
       replayed},
      {"refused command", edited([](Journal& j) { j.entries[2].command = Begin{"nope"}; relink(j, 2); }),
       "unknown_intent: nope"},
  };
  for (Case& c : cases) {
    Result<Core> core = replay_journal(c.journal);
    ASSERT_FALSE(core) << c.name;
    EXPECT_EQ(core.error(), c.error) << c.name;
  }
}

TEST(Recover, InterruptedWorkBecomesUnknownAtTheNextTick) {
  Harness h = written();
  Result<Core> recovered = recover_journal(h.core.journal());
  ASSERT_TRUE(recovered) << recovered.error();
  Core& core = *recovered;
  EXPECT_EQ(core.clock_ms(), 7u);
  ASSERT_EQ(core.journal().entries.size(), 6u);
  EXPECT_TRUE(std::holds_alternative<Recover>(core.journal().entries.back().command));
  EXPECT_EQ(core.journal().entries.back().tick_ms, 7u);
  EXPECT_EQ(core.state().intents.at("run").status, Status::EffectUnknown);
  EXPECT_EQ(core.state().intents.at("wait").invalidation_reason, "process_restart_requires_new_observation");
  EXPECT_EQ(core.state().intents.at("gone").status, Status::Invalidated);
  EXPECT_TRUE(core.state().normal_queue.empty());
  EXPECT_EQ(text_of(core.transact(Finish{"run", completed()}, 8)),
            "outcome_transition: finish requires running; reconcile requires unknown/cancel-requested");
  EXPECT_NE(text_of(core.transact(Reconcile{"run", completed({"r"})}, 8)).find("completed_verified"),
            std::string::npos);
  // The recovered journal replays too.
  EXPECT_TRUE(replay_journal(core.journal()));
}

TEST(Recover, NothingOpenMeansNoEntry) {
  Harness h;
  h.prepare({"r"}, 9);
  Result<Core> recovered = recover_journal(h.core.journal());
  ASSERT_TRUE(recovered);
  EXPECT_EQ(recovered->clock_ms(), 9u);
  EXPECT_EQ(recovered->journal_text(), h.core.journal_text());
}

TEST(Recover, FullJournalRefusesOnlyWhenRecoveryWouldWrite) {
  for (bool running_left : {true, false}) {
    Harness h(config_with(32));
    h.run(RegisterAction{action("act")});
    h.run(Submit{intent("a", "act")});
    h.run(Submit{intent("b", "act")});
    h.run(Begin{"a"});
    h.run(Begin{"b"});
    h.run(Finish{"a", outcome(OutcomeStatus::EffectUnknown)});
    const uint64_t last = running_left ? 32 : 31;
    for (uint64_t n = 0; h.entries() < last; ++n) {
      Outcome unknown = outcome(OutcomeStatus::EffectUnknown);
      unknown.evidence = json::Value(json::make_object({{"attempt", n}}));
      ASSERT_EQ(h.run(Reconcile{"a", unknown})[0], '{');
    }
    if (!running_left) h.run(Finish{"b", completed()});
    ASSERT_EQ(h.entries(), 32u);
    Result<Core> recovered = recover_journal(h.core.journal());
    // An intent left unknown is not touched by recovery; a running one is.
    EXPECT_EQ(recovered ? "" : recovered.error(),
              running_left ? "journal_backpressure: persist journal and acknowledge checkpoint before more mutations"
                           : "");
  }
}

TEST(Recover, ClockSaturates) {
  Harness h;
  h.run(RegisterAction{action("act")}, UINT64_MAX - 1);
  h.run(Submit{intent("i", "act", {}, 1)}, UINT64_MAX - 1);
  h.run(RegisterAction{action("later")}, UINT64_MAX);
  Result<Core> recovered = recover_journal(h.core.journal());
  ASSERT_TRUE(recovered) << recovered.error();
  EXPECT_EQ(recovered->clock_ms(), UINT64_MAX);
  EXPECT_EQ(recovered->journal().entries.back().tick_ms, UINT64_MAX);
  EXPECT_EQ(recovered->state().intents.at("i").finished_ms, UINT64_MAX);
}

}  // namespace
}  // namespace tallowmere::testing
