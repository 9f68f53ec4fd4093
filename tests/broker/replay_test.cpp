// Stored journals: every verification of replay in its order, recovery after
// a restart, and host values as deep as the boundary lets in read back
// wherever the journal holds them.
#include <gtest/gtest.h>

#include <functional>

#include "broker_fixtures.h"
#include "broker/journal_decode.h"

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
Journal written() {
  Harness h;
  h.prepare({"r"}, 1);
  EXPECT_TRUE(h.acknowledge());
  h.run(Submit{intent("run", "act", {writes("r")})}, 2);
  h.run(Submit{intent("wait", "act", {}, 50)}, 3);
  h.run(Begin{"run"}, 4);
  h.run(Enqueue{observed("q", 20, "r", "f9"), false}, 5);
  h.run(Submit{intent("gone", "act", {}, 1)}, 6);
  return h.core.journal();
}

TEST(Replay, RefusesInOrder) {
  const Journal good = written();
  auto edited = [&](std::function<void(Journal&)> edit) {
    Journal journal = good;
    edit(journal);
    return journal;
  };
  // The checkpoint's configuration or state edited and sealed again.
  auto resealed = [&](std::function<void(Journal&, State&)> edit) {
    return edited([&](Journal& j) {
      edit(j, j.checkpoint_state);
      j.checkpoint_hash = checkpoint_digest(j.config, j.checkpoint_state, j.checkpoint_sequence,
                                            j.checkpoint_tick_ms, j.checkpoint_parent_hash);
      relink(j, 0);
    });
  };
  const std::string chain = "journal_integrity: entry chain mismatch";
  const std::string replayed = "journal_replay: recorded transition differs from reducer result";
  const std::string inconsistent = "checkpoint_intent: inconsistent intent registry";
  const std::string limits = "checkpoint_limit: state exceeds configured limits";
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
      {"state limits before capabilities", resealed([](Journal& j, State& s) {
         j.config.max_intents = 1;
         s.capabilities.insert("undeclared");
         for (const char* id : {"i", "j"}) s.intents[id].intent = intent(id, "act");
       }), limits},
      {"normal queue beyond capacity", resealed([](Journal& j, State& s) {
         s.normal_queue.assign(j.config.normal_capacity + 1, observed("e", 1, "r", "f"));
       }), limits},
      {"control queue beyond capacity", resealed([](Journal& j, State& s) {
         s.control_queue.assign(j.config.control_capacity + 1, cancel_event("e", 1, "i"));
       }), limits},
      {"capabilities before intents", resealed([](Journal&, State& s) {
         s.capabilities.insert("undeclared");
         s.intents["i"].intent = intent("j", "act");
       }),
       "checkpoint_capabilities: checkpoint grants undeclared capabilities"},
      {"intent under another id", resealed([](Journal&, State& s) { s.intents["i"].intent = intent("j", "act"); }),
       inconsistent},
      {"intent of an unknown action", resealed([](Journal&, State& s) { s.intents["i"].intent = intent("i", "nope"); }),
       inconsistent},
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
  ASSERT_TRUE(replay_journal(good));
  for (Case& c : cases) {
    Result<Core> core = replay_journal(c.journal);
    ASSERT_FALSE(core) << c.name;
    EXPECT_EQ(core.error(), c.error) << c.name;
  }
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
    // "a" is left effect_unknown, which recovery does not touch, and
    // reconciled with new evidence until the journal holds `entries`.
    Harness h(config_with(max_entries));
    h.prepare({});
    for (const char* id : {"a", "b"}) h.run(Submit{intent(id, "act")});
    h.run(Begin{"a"});
    h.run(Begin{"b"});
    h.run(Finish{"a", outcome(OutcomeStatus::EffectUnknown)});
    if (!running_left) h.run(Finish{"b", completed()});
    for (uint64_t n = 0; h.entries() < entries; ++n) {
      Outcome unknown = outcome(OutcomeStatus::EffectUnknown);
      unknown.evidence = host_value(R"({"attempt":)" + std::to_string(n) + "}");
      ASSERT_EQ(h.run(Reconcile{"a", unknown}, 10 + n)[0], '{');
    }
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
  State state = acting_state();
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

// {"a":[[..["deep"]..]]} with `arrays` nested arrays, as an intent's arguments
// or an outcome's evidence.
template <class Record>
Result<Record> deep(size_t arrays) {
  const bool intent = std::is_same_v<Record, Intent>;
  return from_host<Record>((intent ? R"({"intent_id":"i","action_id":"act","arguments":{"a":)"
                                   : R"({"status":"completed_verified","evidence":{"a":)") +
                           std::string(arrays, '[') + R"("deep")" + std::string(arrays, ']') + "}}");
}

TEST(JournalDecoding, ReadsTheDeepestHostValuesWhereverTheJournalHoldsThem) {
  // The deepest values the host can hand in: 127 levels with their record.
  const size_t deepest = json::kDefaultDepthBudget - 3;
  ASSERT_TRUE(deep<Intent>(deepest));
  ASSERT_FALSE(deep<Intent>(deepest + 1));
  ASSERT_TRUE(deep<Outcome>(deepest));
  // Arguments or evidence, in an entry or in the checkpoint state.
  for (const auto& [in_outcome, checkpointed] : {std::pair{false, false}, {false, true},
                                                 {true, false}, {true, true}}) {
    SCOPED_TRACE(std::to_string(in_outcome) + std::to_string(checkpointed));
    Harness h;
    h.run(RegisterAction{action("act")});
    ASSERT_EQ(h.run(Submit{in_outcome ? intent("i", "act") : deep<Intent>(deepest).value()})[0], '{');
    if (in_outcome) {
      h.run(Begin{"i"});
      ASSERT_EQ(h.run(Finish{"i", deep<Outcome>(deepest).value()})[0], '{');
    }
    ASSERT_TRUE(!checkpointed || h.acknowledge());

    const std::string text = h.core.journal_text();
    Result<Journal> decoded = decode_journal(text);
    ASSERT_TRUE(decoded) << decoded.error();
    Result<Core> replayed = replay_journal(std::move(decoded).value());
    ASSERT_TRUE(replayed) << replayed.error();
    EXPECT_EQ(replayed->journal_text(), text);

    // One array more than the broker can write, wherever it sits.
    std::string deeper = text;
    const size_t innermost = deeper.find(R"(["deep"])");
    ASSERT_EQ(deeper.find(R"(["deep"])", innermost + 1), std::string::npos);
    deeper.replace(innermost, 8, R"([["deep"]])");
    EXPECT_EQ(decode_journal(deeper).error(),
              "invalid_json: " + json::testing::at("recursion limit exceeded", 1,
                                                   static_cast<int>(innermost) + 2));
  }
}

}  // namespace
}  // namespace tallowmere::testing
