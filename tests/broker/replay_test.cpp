// Replay of stored journals: every verification in its order, and recovery
// after a restart.
#include <gtest/gtest.h>

#include <functional>

#include "broker_fixtures.h"
#include "broker/replay.h"

namespace tallowmere::testing {
namespace {

// Re-links the chain from entry `from` on, as a forger would.
void relink(Journal& journal, size_t from) {
  for (size_t i = from; i < journal.entries.size(); ++i) {
    Entry& entry = journal.entries[i];
    entry.previous_hash = i == 0 ? journal.checkpoint_hash : journal.entries[i - 1].hash;
    entry.hash = computed_hash(entry);
  }
}

// A journal with a checkpoint at sequence 2 followed by five entries; intent
// "run" is running and "wait" accepted; one normal event is queued.
Harness written() {
  Harness h;
  h.prepare({"r"}, 1);
  EXPECT_TRUE(h.acknowledge());
  h.run(Submit{intent("run", "act", {writes("r")})}, 2);
  h.run(Submit{intent("wait", "act", {}, 50)}, 3);
  h.run(Begin{"run"}, 4);
  h.run(Enqueue{observed("q", 20, "r", "f9"), false}, 5);
  h.run(Submit{intent("gone", "act", {}, 1)}, 6);
  return h;
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
      {"inconsistent checkpoint", edited([](Journal& j) {
         j.checkpoint_state.capabilities.insert("undeclared");
         j.checkpoint_hash = checkpoint_digest(j.config, j.checkpoint_state, j.checkpoint_sequence,
                                               j.checkpoint_tick_ms, j.checkpoint_parent_hash);
         relink(j, 0);
       }),
       "checkpoint_capabilities: checkpoint grants undeclared capabilities"},
      {"changed command", edited([](Journal& j) { std::get<Begin>(j.entries[2].command).intent_id = "wait"; }), chain},
      {"first entry removed", edited([](Journal& j) { j.entries.erase(j.entries.begin()); }), chain},
      {"sequence skipped", edited([](Journal& j) { j.entries[1].sequence += 1; relink(j, 1); }), chain},
      {"tick going back", edited([](Journal& j) { j.entries[3].tick_ms = 3; j.entries[4].tick_ms = 3; relink(j, 3); }),
       "clock_regression: monotonic time moved backwards"},
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

// "a" is left effect_unknown, which recovery does not touch, and reconciled
// with new evidence until the journal holds `entries`; "b" is left running
// or finished.
Harness filled(uint64_t max_entries, uint64_t entries, bool running_left) {
  Harness h(config_with(max_entries));
  h.run(RegisterAction{action("act")});
  h.run(Submit{intent("a", "act")});
  h.run(Submit{intent("b", "act")});
  h.run(Begin{"a"});
  h.run(Begin{"b"});
  h.run(Finish{"a", outcome(OutcomeStatus::EffectUnknown)});
  if (!running_left) h.run(Finish{"b", completed()});
  for (uint64_t n = 0; h.entries() < entries; ++n) {
    Outcome unknown = outcome(OutcomeStatus::EffectUnknown);
    unknown.evidence = host_value(R"({"attempt":)" + std::to_string(n) + "}");
    EXPECT_EQ(h.run(Reconcile{"a", unknown}, 10 + n)[0], '{');
  }
  return h;
}

// Recovery runs Recover one tick after the last entry. A journal at its entry
// limit has no room for that entry: its history is folded into a checkpoint
// first, and only when recovery has something to change. (The size of the
// text never asks for the fold: its reserve keeps room for the entry.)
TEST(Recover, RunsAtTheNextTickFoldingAFullJournalOnlyWhenItMustWrite) {
  const std::tuple<uint64_t, uint64_t, bool> cases[] = {
      // max entries, entries, an intent left running
      {1000, 20, true}, {32, 32, true}, {32, 32, false},
  };
  for (const auto& [max_entries, entries, running_left] : cases) {
    SCOPED_TRACE(std::to_string(max_entries) + (running_left ? " running" : " finished"));
    const Harness h = filled(max_entries, entries, running_left);
    Result<Core> recovered = recover_journal(h.core.journal());
    ASSERT_TRUE(recovered) << recovered.error();
    if (!running_left) {
      EXPECT_EQ(recovered->journal_text(), h.core.journal_text());
      continue;
    }
    const bool folded = entries == max_entries;
    const Journal& journal = recovered->journal();
    const Entry& last = h.core.journal().entries.back();
    EXPECT_EQ(journal.checkpoint_parent_hash, folded ? last.hash : kGenesisParent);
    EXPECT_EQ(journal.checkpoint_state, folded ? h.core.state() : initial_state(config_with()));
    ASSERT_EQ(journal.entries.size(), folded ? 1u : entries + 1);
    EXPECT_TRUE(std::holds_alternative<Recover>(journal.entries.back().command));
    EXPECT_EQ(journal.entries.back().sequence, last.sequence + 1);
    EXPECT_EQ(journal.entries.back().tick_ms, last.tick_ms + 1);
    EXPECT_EQ(recovered->state().intents.at("b").status, Status::EffectUnknown);
    // The recovered journal replays and recovers again, now without an entry.
    Result<Core> again = recover_journal(journal);
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(again->journal_text(), recovered->journal_text());
  }
}

// A checkpoint state that was not written under the limit it is read with
// can leave recovery no room: invalidating 400 accepted intents outweighs
// what is left. Replay still reads it.
TEST(Recover, ACheckpointTooCloseToTheLimitForRecoveryFails) {
  State state = initial_state(config_with());
  state.actions["act"] = action("act");
  for (int n = 0; n < 400; ++n) {
    const std::string id = "i" + std::to_string(1000 + n);
    state.intents[id] = record_of(intent(id, "act"), Status::Accepted, 1000);
  }
  const Core core = core_at(state);
  const uint64_t limit = core.journal_text().size();
  ASSERT_TRUE(replay_journal(core.journal(), limit));
  EXPECT_EQ(recover_journal(core.journal(), limit).error(), kJournalTooLong);
  EXPECT_TRUE(recover_journal(core.journal()));
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
