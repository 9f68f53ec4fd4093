// The journal's reserve of bytes: whatever a broker accepted on its way up to
// the size limit, every open intent can still be ended by each of its minimal
// endings and the journal recovered, before, between and after them. Checked
// at small limits over many seeds, and once at the real replay limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "broker_fixtures.h"
#include "foundation/identifier.h"
#include "broker/journal_decode.h"

namespace tallowmere::testing {
namespace {

template <class Record>
Record parsed(const std::string& text) {
  Result<Record> record = from_host<Record>(text);
  EXPECT_TRUE(record) << record.error();
  return record ? std::move(record).value() : Record{};
}

Outcome outcome_of(OutcomeStatus status, uint64_t evidence_bytes, std::string changed = "") {
  std::string text = R"({"status":")" + std::string(name_of(status)) + R"(","evidence":{"v":)" +
                     json_string(std::string(evidence_bytes, 'e')) + "}";
  if (!changed.empty()) text += R"(,"changed_resources":[)" + json_string(changed) + "]";
  return parsed<Outcome>(text + "}");
}

// No changed resources and one member of evidence, 8 to 64 bytes of text.
Outcome minimal(OutcomeStatus status, Random& random) { return outcome_of(status, random.below(57)); }

OutcomeStatus verified(Random& random) {
  static const OutcomeStatus kVerified[] = {OutcomeStatus::CompletedVerified,
                                            OutcomeStatus::FailedVerified,
                                            OutcomeStatus::CancelledVerified};
  return kVerified[random.below(3)];
}

// An intent id of all 512 bytes, nearly each needing an escape.
std::string longest_id(uint64_t n) {
  std::string id = "L" + std::to_string(n);
  id.resize(kMaxIdentifierBytes, '"');
  return id;
}

// Runs a step that must be accepted. Only a full entry list may ask for an
// acknowledgement first; the bytes never refuse a minimal ending.
void accepted(Core& core, const Command& step, uint64_t tick) {
  std::string answer = text_of(core.transact(step, tick));
  if (answer == kBackpressure &&
      core.journal().entries.size() == core.config().max_journal_entries) {
    ASSERT_TRUE(core.checkpoint(journal_tip(core.journal())));
    answer = text_of(core.transact(step, tick));
  }
  ASSERT_TRUE(answer[0] == '{') << operation_name(step) << ": " << answer;
}

// Ends the intent by a random one of its minimal endings: cancel or expire
// an accepted intent; finish, or cancel first, or finish as unknown and then
// reconcile (cancelling between) a running one; and so on for each status.
void end_minimally(Core& core, const std::string& id, Random& random) {
  for (int steps = 0;; ++steps) {
    const IntentRecord& record = core.state().intents.at(id);
    if (!is_open(record.status)) return;
    ASSERT_LT(steps, 3) << "a minimal ending takes at most three steps";
    uint64_t tick = core.clock_ms() + random.below(3);
    const Outcome report =
        minimal(random.chance(40) ? OutcomeStatus::EffectUnknown : verified(random), random);
    Command step = Cancel{id};
    if (record.status == Status::Accepted && random.chance(50)) {
      step = Expire{};
      tick = std::max(tick, record.expires_ms);
    } else if (record.status == Status::Running && random.chance(70)) {
      step = Finish{id, report};
    } else if (record.status == Status::CancellationRequested) {
      step = random.chance(50) ? Command(Finish{id, report}) : Command(Reconcile{id, report});
    } else if (record.status == Status::EffectUnknown &&
               (record.cancellation_requested || random.chance(60))) {
      step = Reconcile{id, minimal(verified(random), random)};
    }
    accepted(core, step, tick);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Ends every open intent in random order, recovering the journal from its
// text at a random point among them, then recovers once more.
void end_all_and_recover(Core core, Random& random) {
  const uint64_t limit = core.journal_limit_bytes();
  std::vector<std::string> open(core.index().open().begin(), core.index().open().end());
  std::shuffle(open.begin(), open.end(), random.engine);
  const size_t recovery_at = random.below(open.size() + 1);
  for (size_t n = 0; n <= open.size(); ++n) {
    if (n == recovery_at) {
      const std::string text = core.journal_text();
      ASSERT_LE(text.size(), limit);
      Result<Journal> decoded = decode_journal(text);
      ASSERT_TRUE(decoded) << decoded.error();
      Result<Core> recovered = recover_journal(std::move(decoded).value(), limit);
      ASSERT_TRUE(recovered) << recovered.error();
      core = std::move(recovered).value();
    }
    if (n < open.size()) end_minimally(core, open[n], random);
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_TRUE(core.index().open().empty());
  Result<Core> again = recover_journal(core.journal(), limit);
  EXPECT_TRUE(again) << again.error();
}

// Random commands over a few intents, resources and events, with payloads
// of every size, against a core whose journal limit leaves room for a few
// dozen entries.
class Drive {
 public:
  explicit Drive(uint64_t seed) : random_(seed), core_(start(seed)), events_only_(seed % 5 == 4) {
    accepted(core_, RegisterAction{action("act")}, core_.clock_ms());
    accepted(core_, RegisterAction{action("capped", true, {"deploy"})}, core_.clock_ms());
  }

  // Fills the last bytes with the smallest new work, acknowledging whenever
  // asked and sometimes unasked, until the size refuses both kinds of it.
  void fill() {
    bool refused[2] = {false, false};
    for (int n = 0; n < 100 && !(refused[0] && refused[1]); ++n) {
      const bool queue = random_.chance(50);
      Event small = observed("p" + std::to_string(++events_), ++runtime_, "pad", "p");
      const Command command =
          queue ? Command(Enqueue{std::move(small), false}) : Command(Observe{std::move(small)});
      const std::string answer = text_of(core_.transact(command, core_.clock_ms()));
      if (answer == kBackpressure || (answer[0] == '{' && random_.chance(20))) {
        ASSERT_TRUE(core_.checkpoint(journal_tip(core_.journal())));
      }
      if (answer[0] == '{') refused[0] = refused[1] = false;
      if (answer.starts_with("journal_limit:")) refused[queue] = true;
    }
  }

  Core& core() { return core_; }
  Random& random() { return random_; }

  // The answer to one random command.
  std::string step() {
    const uint64_t tick = core_.clock_ms() + random_.below(5);
    // Every fifth seed only observes and queues events.
    const uint64_t roll = events_only_ ? 72 + random_.below(28) : random_.below(100);
    if (roll < 3) return core_.checkpoint(journal_tip(core_.journal())) ? "{}" : "refused";
    const std::string answer = text_of(core_.transact(next(roll), tick));
    if (answer == kBackpressure && random_.chance(60)) {
      static_cast<void>(core_.checkpoint(journal_tip(core_.journal())));
    }
    return answer;
  }

 private:
  // From sequence and tick 10^19 on, for odd seeds, so that every number in
  // an entry has 20 digits.
  static Core start(uint64_t seed) {
    Config config = config_with(seed % 3 == 0 ? 40 : 100000);
    config.capabilities = {"deploy"};
    config.max_event_bytes = 8192;
    config.max_intents = 40;
    config.normal_capacity = 3;
    config.control_capacity = 2;
    const uint64_t at = seed % 2 == 1 ? 10000000000000000000u : 0;
    const State state = initial_state(config);
    const uint64_t length = core_at(state, config, at).journal_length();
    return core_at(state, config, at, length + 4000 + seed * 7919 % 40000);
  }

  Command next(uint64_t roll) {
    if (roll < 33) return Submit{next_intent()};
    if (roll < 45) return Begin{some_open()};
    if (roll < 60) {
      const std::string id = some_open();
      const OutcomeStatus status =
          random_.chance(60) ? OutcomeStatus::EffectUnknown : verified(random_);
      Outcome report = outcome_of(status, random_.size(4000), changed_by(id));
      if (random_.chance(50)) return Finish{id, std::move(report)};
      return Reconcile{id, std::move(report)};
    }
    if (roll < 67) return Cancel{some_open()};
    if (roll < 71) return Expire{};
    if (roll < 72) return Revoke{"deploy"};
    if (roll < 80) return Observe{observation()};
    if (roll < 90) {
      if (random_.chance(50)) return Enqueue{observation(), false};
      return Enqueue{cancel_event("c" + std::to_string(++events_), ++verifier_, some_open()), true};
    }
    return Drain{1 + random_.below(3)};
  }

  Intent next_intent() {
    const uint64_t n = ++intents_;
    const std::string id = random_.chance(20) ? longest_id(n) : "i" + std::to_string(n);
    std::string text = R"({"intent_id":)" + json_string(id) + R"(,"action_id":")" +
                       (random_.chance(80) ? "act" : "capped") + R"(","ttl_ms":)" +
                       std::to_string(1 + random_.size(30000)) + R"(,"arguments":{"a":)" +
                       json_string(std::string(random_.size(4000), 'a')) + "}";
    if (random_.chance(40)) {
      const std::string resource = random_.pick("r", 4);
      auto known = core_.state().resources.find(resource);
      const uint64_t revision = known == core_.state().resources.end() ? 0 : known->second.revision;
      text += R"(,"resources":[{"resource_id":")" + resource + R"(","expected_revision":)" +
              std::to_string(revision) + R"(,"access":"write"}])";
    }
    return parsed<Intent>(text + "}");
  }

  // A write resource the intent holds, sometimes, to report as changed.
  std::string changed_by(const std::string& id) {
    auto record = core_.state().intents.find(id);
    if (record == core_.state().intents.end() || record->second.intent.resources.empty() ||
        random_.chance(60)) {
      return "";
    }
    return record->second.intent.resources[0].resource_id;
  }

  Event observation() {
    return observed("o" + std::to_string(++events_), ++runtime_,
                    random_.pick("r", events_only_ ? 4000 : 4), std::string(random_.size(4096), 'f'));
  }

  std::string some_open() {
    const StringSet& open = core_.index().open();
    if (open.empty()) return "i0";
    return *std::next(open.begin(), random_.below(open.size()));
  }

  Random random_;
  Core core_;
  bool events_only_;
  uint64_t intents_ = 0, events_ = 0, runtime_ = 0, verifier_ = 0;
};

TEST(EndingReserve, WhateverWasAcceptedEveryOpenIntentEndsAndTheJournalRecovers) {
  uint64_t full = 0, queued = 0;
  std::map<std::pair<Status, bool>, uint64_t> open_by_stage;
  for (uint64_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Until the size refuses work a few times, while commands of every
    // kind keep coming.
    Drive drive(seed);
    const uint64_t entry_limit = drive.core().config().max_journal_entries;
    for (uint64_t n = 0, refusals = 0; n < 1000 && refusals < 4 + seed % 16; ++n) {
      const uint64_t entries = drive.core().journal().entries.size();
      const std::string answer = drive.step();
      if (answer.starts_with("journal_limit:") ||
          (answer == kBackpressure && entries + 200 < entry_limit)) {
        ++refusals;
      }
    }
    drive.fill();
    const Core& core = drive.core();
    // Up against the limit: not even one more ending step would fit.
    full += core.journal_length() + core.reserve_bytes() + ending_step_bytes() >
            core.journal_limit_bytes();
    for (const std::string& id : core.index().open()) {
      const IntentRecord& record = core.state().intents.at(id);
      ++open_by_stage[{record.status, record.cancellation_requested}];
    }
    queued += !core.state().normal_queue.empty() || !core.state().control_queue.empty();
    end_all_and_recover(core, drive.random());
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(full, 120u);
  EXPECT_EQ(open_by_stage.size(), 5u);
  for (const auto& [stage, count] : open_by_stage) EXPECT_GT(count, 25u) << name_of(stage.first);
  EXPECT_GT(queued, 80u);
}

// The reserve holds back a live broker's new work only: a journal written
// without it (by an earlier version), whose open work sits inside the reserve
// of its limit, still replays and recovers as it always did.
TEST(EndingReserve, HoldsBackNewWorkButNotTheReplayOfWhatWasAccepted) {
  Harness writer;
  writer.prepare({"r"});
  writer.run(Submit{intent("i", "act", {writes("r")})});
  writer.run(Begin{"i"});
  Core older = core_at(writer.core.state(), writer.core.config(), 1);
  accepted(older, Cancel{"i"}, 1);
  const uint64_t limit = older.journal_length() + 1000;
  ASSERT_GT(older.reserve_bytes(), 1000u);

  Result<Core> replayed = replay_journal(older.journal(), limit);
  ASSERT_TRUE(replayed) << replayed.error();
  EXPECT_EQ(text_of(replayed->transact(Observe{observed("late", 9, "s", "f")}, 1)),
            kJournalTooLong);
  Result<Core> recovered = recover_journal(older.journal(), limit);
  ASSERT_TRUE(recovered) << recovered.error();
  EXPECT_EQ(recovered->state().intents.at("i").status, Status::EffectUnknown);
}

// A queued event may still need its drain, one ending step more.
TEST(EndingReserve, AQueuedEventHoldsOneStepMore) {
  Harness h;
  h.prepare({"r"});
  const uint64_t idle = h.core.reserve_bytes();
  h.run(Enqueue{observed("late", 9, "r", "g"), false});
  EXPECT_EQ(h.core.reserve_bytes(), idle + ending_step_bytes());
}

// At the real replay limit: a checkpoint of about 254 MiB of finished work,
// open intents with the longest ids in every status, and an intent left
// unknown whose evidence, reported again and again at halving sizes, fills
// the journal until not even a small submission fits. Half the open intents
// are ended there; the text, padded to exactly the limit, is read back and
// recovers, and the other half are ended on the recovered broker. One byte
// more and the text is refused before it is read.
TEST(EndingReserve, AtTheRealReplayLimit) {
  Config config = config_with();
  config.max_event_bytes = 1048576;
  Random random(7);
  std::vector<std::string> open;
  std::string text;
  {
    State state = initial_state(config);
    state.actions["act"] = action("act");
    Intent bulk = parsed<Intent>(R"({"intent_id":"bulk","action_id":"act","arguments":{"blob":)" +
                                 json_string(std::string(1048000, 'b')) + "}}");
    for (int n = 0; n < 254; ++n) {
      bulk.intent_id = "bulk-" + std::to_string(1000 + n);
      state.intents[bulk.intent_id] = record_of(bulk, Status::Cancelled);
    }
    Core core = core_at(state, config);
    ASSERT_GT(core.journal_length(), kJournalLimitBytes - (4u << 20));
    ASSERT_LT(core.journal_length(), kJournalLimitBytes - (2u << 20));

    auto run = [&](const Command& command) { accepted(core, command, core.clock_ms()); };
    for (uint64_t n = 0; n < 10; ++n) {
      open.push_back(longest_id(n));
      run(Submit{parsed<Intent>(R"({"intent_id":)" + json_string(open.back()) +
                                R"(,"action_id":"act","ttl_ms":86400000})")});
      if (n >= 2) run(Begin{open.back()});            // running
      if (n >= 4 && n < 6) run(Cancel{open.back()});  // cancellation requested
      if (n >= 6) run(Finish{open.back(), minimal(OutcomeStatus::EffectUnknown, random)});
      if (n >= 8) run(Cancel{open.back()});           // unknown, cancellation requested
    }
    run(Submit{intent("filler", "act", {}, 86400000)});
    run(Begin{"filler"});
    for (uint64_t bytes = 1u << 19, n = 0; bytes > 0; bytes /= 2) {
      for (;;) {
        Outcome unknown = outcome_of(OutcomeStatus::EffectUnknown, bytes + n++ % 2);
        if (text_of(core.transact(Finish{"filler", unknown}, core.clock_ms()))[0] != '{' &&
            text_of(core.transact(Reconcile{"filler", unknown}, core.clock_ms()))[0] != '{') {
          break;
        }
      }
    }
    const std::string late = text_of(core.transact(Submit{intent("late", "act")}, core.clock_ms()));
    EXPECT_TRUE(late == kBackpressure || late == kJournalTooLong) << late;
    EXPECT_GT(core.journal_length() + core.reserve_bytes() + 1024, kJournalLimitBytes);
    open.push_back("filler");

    std::shuffle(open.begin(), open.end(), random.engine);
    for (size_t n = 0; n < open.size() / 2; ++n) end_minimally(core, open[n], random);
    ASSERT_FALSE(HasFatalFailure());
    text = core.journal_text();
  }
  ASSERT_LE(text.size(), kJournalLimitBytes);
  text.resize(kJournalLimitBytes, ' ');
  Result<Journal> decoded = decode_journal(text);
  ASSERT_TRUE(decoded) << decoded.error();
  Result<Core> recovered = recover_journal(std::move(decoded).value());
  ASSERT_TRUE(recovered) << recovered.error();
  for (size_t n = open.size() / 2; n < open.size(); ++n) end_minimally(*recovered, open[n], random);
  EXPECT_TRUE(recovered->index().open().empty());
  text.push_back(' ');
  EXPECT_EQ(decode_journal(text).error(), "payload_limit: JSON exceeds boundary size");
}

}  // namespace
}  // namespace tallowmere::testing
