// Long seeded command sequences run through the real core and through the
// copy-and-compare reference: results, errors, journals and state texts must
// be identical at every step, the index must equal one rebuilt from the
// state, the lengths the core keeps must equal those of the texts, and
// replaying the real journal text must give the live snapshot. Host values
// come in spellings that read as equal values written differently.
//
// Heavy seeds press on the journal's byte limit with payloads of every size;
// whenever the size has refused work a few times, a copy of the broker fills
// the last bytes and must still end every open intent by each of its
// minimal endings and recover, before, between and after them: the reserve
// of bytes holds whatever was accepted. Checked once more at the real limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "broker_fixtures.h"
#include "broker/journal_decode.h"
#include "foundation/identifier.h"
#include "reference_core.h"

namespace tallowmere::testing {
namespace {

// Seeds 2 and 6 bound the journal by its length alone, one tightly enough for
// the state to outgrow it.
bool size_limited(uint32_t seed) { return seed % 4 == 2; }
uint64_t journal_limit(uint32_t seed) {
  if (!size_limited(seed)) return kJournalLimitBytes;
  return seed == 2 ? 24000 : 60000;
}

// Every fourth seed runs with ledgers small enough to fill.
Config small_config(uint32_t seed) {
  Config config;
  config.capabilities = {"deploy", "read"};
  config.normal_capacity = 4;
  config.control_capacity = 2;
  config.max_resources = 5;
  config.max_intents = seed % 4 == 0 ? 20 : 120;
  config.max_events = seed % 4 == 0 ? 50 : 400;
  config.max_journal_entries = size_limited(seed) ? 100000 : 64;
  return config;
}

// Seeds past 8 are heavy. Their journal holds a few dozen entries' worth of
// bytes; every third one also only 40 entries; odd ones start at sequence
// and tick 10^19, so that every number in an entry has 20 digits.
bool heavy(uint32_t seed) { return seed > 8; }
Core start(uint32_t seed) {
  if (!heavy(seed)) return Core::genesis(small_config(seed), journal_limit(seed)).value();
  Config config = config_with(seed % 3 == 0 ? 40 : 100000);
  config.max_event_bytes = 8192;
  config.max_intents = 40;
  config.normal_capacity = 3;
  config.control_capacity = 2;
  const uint64_t at = seed % 2 == 1 ? 10000000000000000000u : 0;
  const State state = initial_state(config);
  const uint64_t length = core_at(state, config, at).journal_length();
  return core_at(state, config, at, length + 4000 + seed * 7919 % 40000);
}

// An id of all 512 bytes, nearly each needing an escape.
std::string longest_id(uint64_t n) {
  std::string id = "L" + std::to_string(n);
  id.resize(kMaxIdentifierBytes, '"');
  return id;
}

// No changed resources and one member of evidence, `evidence_bytes` long.
Outcome outcome_of(OutcomeStatus status, uint64_t evidence_bytes) {
  Outcome out = outcome(status);
  out.evidence = host_value(R"({"v":")" + std::string(evidence_bytes, 'e') + R"("})");
  return out;
}

// Numbers as a host may write them: -0 and -0.0 are equal to 0.0 but written
// differently; 1E2, 1e2 and 100.0 read as 100.0.
constexpr std::string_view kZeros[] = {"0.0", "-0.0", "-0"};
constexpr std::string_view kHundreds[] = {"1E2", "1e2", "100.0"};

// The verified statuses first.
constexpr OutcomeStatus kStatuses[] = {
    OutcomeStatus::CompletedVerified, OutcomeStatus::FailedVerified,
    OutcomeStatus::CancelledVerified, OutcomeStatus::EffectUnknown};

const ActionSpec kActions[] = {action("a0"), action("a1", false, {"deploy"}),
                               action("a2", true, {"read"}), action("a3", true, {"deploy", "read"})};

// Commands over a small world, so that ids collide, leases conflict,
// deadlines pass and limits fill up. Heavy seeds add payloads of every size
// and the longest ids; their intents live longer, are cancelled less, end
// unknown more often and never meet a recovery, so that open intents of
// every stage meet the limit. Every fifth heavy seed only observes and
// queues events, over many resources.
class CommandSource : public SeededDraws<std::mt19937> {
 public:
  explicit CommandSource(uint32_t seed)
      : SeededDraws(seed), heavy_(heavy(seed)), events_only_(heavy_ && seed % 5 == 4) {}

  // Reads the state only to aim at stored intents and current revisions.
  Command next(const State& state) {
    state_ = &state;
    const uint64_t roll = events_only_ ? 136 + below(64) : below(200);
    if (roll < 6) return RegisterAction{next_action()};
    if (roll < 50) return Submit{next_intent()};
    if (roll < 84) return Begin{stored_intent()};
    if (roll < 118) {
      const std::string id = stored_intent();
      // A report repeated, often written anew, mostly for an unknown effect.
      if (chance(30)) return Reconcile{id, repeated_outcome(id)};
      Outcome report = next_outcome(id);
      if (chance(75)) return Finish{id, report};
      return Reconcile{id, report};
    }
    if (roll < 126) return Cancel{heavy_ && chance(50) ? "i0" : stored_intent()};
    if (roll < 128) return Revoke{chance(80) ? (chance(50) ? "deploy" : "read") : "x"};
    if (roll < 136) return Expire{};
    if (roll < 156) {
      Event event = next_event();
      const bool control = chance(90) ? is_control(event) : !is_control(event);
      return Enqueue{event, control};
    }
    if (roll < 172) return Drain{chance(90) ? 1 + below(6) : below(2) * 65};
    if (roll < 174 && !heavy_) return Recover{};
    return Observe{next_event()};
  }

  uint64_t next_tick(uint64_t clock) {
    if (chance(3) && clock > 0) return clock - 1;
    if (heavy_) return clock + below(5);
    return clock + (chance(30) ? 0 : below(chance(10) ? 400 : 30));
  }

 private:
  ActionSpec next_action() {
    ActionSpec spec = kActions[chance(50) ? 0 : below(4)];
    if (chance(10)) spec.version = below(3);
    if (chance(5)) spec.max_resources = 1 + below(2);
    if (chance(5)) spec.action_id = pick("extra", 4);
    return spec;
  }

  Intent next_intent() {
    const std::string action_id = chance(60) ? "a0" : pick("a", 5);
    std::string id = chance(80) ? "i" + std::to_string(++intents_) : stored_intent();
    if (heavy_ && chance(20)) id = longest_id(intents_);
    Intent out = intent(id, action_id);
    if (chance(3)) out.action_version = 2;
    for (uint64_t n = below(3); n > 0; --n) {
      ResourceRef ref{pick("r", 6), below(2), chance(50) ? Access::Write : Access::Read};
      auto known = state_->resources.find(ref.resource_id);
      if (known != state_->resources.end() && chance(85)) ref.expected_revision = known->second.revision;
      out.resources.push_back(ref);
    }
    if (chance(30)) out.idempotency_key = pick("k", 3);
    if (chance(20)) out.arguments = host_value(R"({"n":)" + std::to_string(below(2)) + "}");
    if (chance(20)) out.arguments = host_value(R"({"n":)" + spelled(kZeros) + "}");
    if (chance(3)) out.arguments = host_value("[]");
    if (heavy_) out.arguments = host_value(R"({"a":")" + std::string(size(4000), 'a') + R"("})");
    out.ttl_ms = chance(3) ? 0 : 1 + (heavy_ ? size(30000) : below(chance(50) ? 60 : 3000));
    return out;
  }

  Outcome next_outcome(const std::string& intent_id) {
    Outcome out = outcome(heavy_ && chance(60) ? OutcomeStatus::EffectUnknown : kStatuses[below(4)]);
    auto record = state_->intents.find(intent_id);
    for (uint64_t n = below(3); n > 0; --n) {
      if (record != state_->intents.end() && !record->second.intent.resources.empty() && chance(80)) {
        const auto& refs = record->second.intent.resources;
        out.changed_resources.insert(refs[below(refs.size())].resource_id);
      } else {
        out.changed_resources.insert(pick("r", 6));
      }
    }
    if (!out.changed_resources.empty() && chance(40)) {
      out.resource_fingerprints[*out.changed_resources.begin()] = pick("f", 3);
    }
    if (chance(5)) out.resource_fingerprints["r9"] = "f";
    if (chance(10)) out.evidence = host_value("{}");
    if (chance(60)) out.evidence = spelled_evidence();
    if (heavy_) out.evidence = outcome_of(out.status, size(4000)).evidence;
    return out;
  }

  // The intent's stored outcome again, its evidence often written anew.
  Outcome repeated_outcome(const std::string& intent_id) {
    auto record = state_->intents.find(intent_id);
    if (record == state_->intents.end() || !record->second.outcome) return next_outcome(intent_id);
    Outcome out = *record->second.outcome;
    if (out.evidence == spelled_evidence()) out.evidence = spelled_evidence();
    return out;
  }

  // All equal as values, most written differently from one another.
  json::CanonicalText spelled_evidence() {
    return host_value(R"({"receipt":"r-1","x":[)" + spelled(kZeros) + "," + spelled(kZeros) +
                      R"(],"y":)" + spelled(kHundreds) + "}");
  }

  template <size_t N>
  std::string spelled(const std::string_view (&spellings)[N]) {
    return std::string(spellings[below(N)]);
  }

  Event next_event() {
    const uint64_t kind = heavy_ && chance(60) ? 0 : below(10);
    const std::string id = chance(85) ? "e" + std::to_string(++events_) : pick("e", events_ + 1);
    std::string source = kind < 6 ? "runtime" : "verifier";
    if (chance(3)) source = "stranger";
    uint64_t& next = sequences_[source];
    uint64_t sequence = chance(85) ? ++next : below(next + 2);
    if (kind < 6) {
      if (!heavy_) return observed(id, sequence, pick("r", 7), pick("f", 3), source);
      return observed(id, sequence, pick("r", events_only_ ? 4000 : 7), std::string(size(4096), 'f'), source);
    }
    Event event = kind < 9 ? cancel_event(id, sequence, stored_intent())
                           : revoke_event(id, sequence, chance(50) ? "deploy" : "read");
    event.source_id = source;
    return event;
  }

  // Mostly an open intent, sometimes any stored one, rarely a stranger.
  std::string stored_intent() {
    if (state_->intents.empty() || chance(5)) return "i0";
    std::vector<const std::string*> open;
    for (const auto& [id, record] : state_->intents) {
      if (is_open(record.status)) open.push_back(&id);
    }
    if (!open.empty() && chance(heavy_ ? 95 : 75)) return *open[below(open.size())];
    return std::next(state_->intents.begin(), below(state_->intents.size()))->first;
  }

  const bool heavy_, events_only_;
  uint64_t events_ = 0;
  uint64_t intents_ = 0;
  const State* state_ = nullptr;
  std::map<std::string, uint64_t> sequences_;
};

// No changed resources and one member of evidence, 8 to 64 bytes of text.
Outcome minimal(OutcomeStatus status, Random& random) { return outcome_of(status, random.below(57)); }

OutcomeStatus verified(Random& random) { return kStatuses[random.below(3)]; }

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

struct Tally {
  size_t journaled = 0, unchanged = 0, failed = 0, invalidations = 0, size_refusals = 0,
         rewrites_kept_out = 0, full = 0, queued = 0;
  std::set<std::string> codes;
  std::map<std::pair<Status, bool>, size_t> open_by_stage;
};

// Fills the last bytes of a copy with the smallest new work, acknowledging
// whenever asked and sometimes unasked, until the size refuses both kinds of
// it; then every open intent must end and the journal recover.
void fill_then_end_all(Core core, Random& random, Tally& tally) {
  bool refused[2] = {false, false};
  auto known = core.state().source_sequences.find("runtime");
  uint64_t sequence = known == core.state().source_sequences.end() ? 0 : known->second;
  for (int n = 0; n < 100 && !(refused[0] && refused[1]); ++n) {
    const bool queue = random.chance(50);
    Event small = observed("pad" + std::to_string(n), ++sequence, "pad", "p");
    const Command command =
        queue ? Command(Enqueue{std::move(small), false}) : Command(Observe{std::move(small)});
    const std::string answer = text_of(core.transact(command, core.clock_ms()));
    if (answer == kBackpressure || (answer[0] == '{' && random.chance(20))) {
      ASSERT_TRUE(core.checkpoint(journal_tip(core.journal())));
    }
    if (answer[0] == '{') refused[0] = refused[1] = false;
    if (answer == kJournalTooLong) refused[queue] = true;
  }
  // Up against the limit: not even one more ending step would fit.
  tally.full += core.journal_length() + core.reserve_bytes() + ending_step_bytes() >
                core.journal_limit_bytes();
  for (const std::string& id : core.index().open()) {
    const IntentRecord& record = core.state().intents.at(id);
    ++tally.open_by_stage[{record.status, record.cancellation_requested}];
  }
  tally.queued += !core.state().normal_queue.empty() || !core.state().control_queue.empty();
  end_all_and_recover(std::move(core), random);
}

void run_seed(uint32_t seed, size_t steps, Tally& tally) {
  Core real = start(seed);
  ReferenceCore reference(real);
  CommandSource source(seed);
  Random endings(seed);
  // The snapshot replaying the journal gives, kept while the journal stays.
  std::string replayed_journal;
  std::string replayed_snapshot;
  bool backpressured = false;
  // Heavy seeds start with the plain action and the one needing every
  // capability, and stop after their third check of the endings.
  for (const ActionSpec* spec : {&kActions[0], &kActions[3]}) {
    if (!heavy(seed)) break;
    const uint64_t tick = real.clock_ms();
    ASSERT_EQ(text_of(real.transact(RegisterAction{*spec}, tick)),
              text_of(reference.transact(RegisterAction{*spec}, tick)));
  }
  for (size_t step = 0, size_refusals = 0, checks = 0; step < steps && checks < 3; ++step) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
    // Odd seeds acknowledge often; even seeds let backpressure build up;
    // heavy ones acknowledge it more often than not.
    if (source.chance(seed % 2 == 1 ? 4 : 1) || (backpressured && source.chance(60))) {
      const std::string tip = source.chance(90) ? journal_tip(real.journal()) : "stale";
      ASSERT_EQ(text_of(real.checkpoint(tip)), text_of(reference.checkpoint(tip)));
      backpressured = false;
    } else {
      const Command command = source.next(real.state());
      const uint64_t tick = source.next_tick(real.clock_ms());
      const size_t entries = real.journal().entries.size();
      const size_t before = entries + real.journal().checkpoint_sequence;
      const std::string expected = text_of(reference.transact(command, tick));
      const std::string actual = text_of(real.transact(command, tick));
      ASSERT_EQ(actual, expected) << to_text(command) << " at " << tick;
      if (actual.find(R"("changed":true,"invalidated":[")") != std::string::npos) ++tally.invalidations;
      const size_t after = real.journal().entries.size() + real.journal().checkpoint_sequence;
      backpressured = heavy(seed) && actual == kBackpressure;
      if (after > before) {
        ++tally.journaled;
      } else if (actual[0] == '{' || actual[0] == '[') {
        ++tally.unchanged;
      } else {
        ++tally.failed;
        tally.codes.insert(actual.substr(0, actual.find(':')));
        if (actual == kJournalTooLong ||
            (actual == kBackpressure && entries + 200 < real.config().max_journal_entries)) {
          ++tally.size_refusals;
          if (heavy(seed) && ++size_refusals % (4 + seed % 16) == 0) {
            ++checks;
            fill_then_end_all(real, endings, tally);
            ASSERT_FALSE(::testing::Test::HasFatalFailure());
          }
        }
      }
    }
    const std::string state = to_text(real.state());
    ASSERT_EQ(state, to_text(reference.state()));
    const std::string journal = real.journal_text();
    ASSERT_EQ(journal, reference.journal_text());
    // The tracked lengths and the index are asserted by the core itself.
    if (journal != replayed_journal) {
      Result<Journal> stored = decode_journal(journal);
      ASSERT_TRUE(stored) << stored.error();
      Result<Core> replayed = replay_journal(std::move(*stored), real.journal_limit_bytes());
      ASSERT_TRUE(replayed) << replayed.error();
      replayed_journal = journal;
      replayed_snapshot = replayed->snapshot_text();
    }
    ASSERT_EQ(real.snapshot_text(), replayed_snapshot);
  }
  tally.rewrites_kept_out += reference.rewrites_kept_out();
}

TEST(Differential, RealCoreMatchesCopyAndCompare) {
  Tally tally;
  for (uint32_t seed = 1; seed <= 138; ++seed) {
    run_seed(seed, heavy(seed) ? 1000 : 3000, tally);
    if (HasFatalFailure()) return;
  }
  // The mix must exercise all three paths, or the comparison proves little.
  EXPECT_GT(tally.journaled, 3000u);
  EXPECT_GT(tally.unchanged, 1000u);
  EXPECT_GT(tally.failed, 3000u);
  EXPECT_GT(tally.invalidations, 20u);
  EXPECT_GT(tally.size_refusals, 20u);
  EXPECT_GT(tally.rewrites_kept_out, 60u);
  // The endings start from every open stage, mostly up against the limit.
  EXPECT_GT(tally.full, 300u);
  EXPECT_EQ(tally.open_by_stage.size(), 5u);
  for (const auto& [stage, count] : tally.open_by_stage) EXPECT_GT(count, 40u) << name_of(stage.first);
  EXPECT_GT(tally.queued, 120u);
  for (const char* code :
       {"lease_conflict", "stale_revision", "unknown_resource", "intent_collision",
        "idempotency_collision", "intent_limit", "journal_backpressure", "clock_regression",
        "not_dispatchable", "expired", "outcome_transition", "terminal_intent", "effect_scope",
        "stale_sequence", "event_collision", "queue_full", "queue_class", "drain_limit",
        "resource_limit", "missing_evidence", "effect_mismatch", "immutable_action",
        "invalid_action", "capability_denied", "untrusted_source", "invalid_ttl",
        "invalid_arguments", "duplicate_resource", "write_denied", "unregistered_action",
        "event_limit", "action_version", "journal_limit"}) {
    EXPECT_TRUE(tally.codes.contains(code)) << code;
  }
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
  // A queued event may still need its drain, one ending step more.
  const uint64_t idle = writer.core.reserve_bytes();
  writer.run(Enqueue{observed("late", 9, "r", "g"), false});
  EXPECT_EQ(writer.core.reserve_bytes(), idle + ending_step_bytes());
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
  EXPECT_EQ(text_of(recovered->transact(Observe{observed("later", 10, "s", "f")}, 9)),
            kJournalTooLong);
}

// The longest minimal step fills one step exactly: a reconcile of the longest
// escaped id, with the longest status and the most evidence a minimal step
// carries, at the last sequence and tick, after another entry.
TEST(EndingReserve, TheLongestStepFillsOneStep) {
  State state = acting_state();
  const std::string id(kMaxIdentifierBytes, '"');
  state.intents[id] = record_of(intent(id, "act"), Status::EffectUnknown);
  Core core = core_at(state, config_with(), UINT64_MAX - 2);
  accepted(core, Observe{observed("e", 1, "s", "f")}, UINT64_MAX);  // the comma comes after one
  const uint64_t before = core.journal_length();
  accepted(core, Reconcile{id, outcome_of(OutcomeStatus::CompletedVerified, 56)}, UINT64_MAX);
  EXPECT_EQ(core.journal_length() - before, ending_step_bytes());
}

// At the real replay limit: a checkpoint of about 254 MiB of finished work,
// open intents with the longest ids in every status, and an intent left
// unknown whose evidence, reported again and again at halving sizes, fills
// the journal until not even a small submission fits. Every open intent is
// ended there, the journal recovering from its text somewhere among them;
// the text, padded to exactly the limit, is read back and recovers. One byte
// more and the text is refused before it is read.
TEST(EndingReserve, AtTheRealReplayLimit) {
  Config config = config_with();
  config.max_event_bytes = 1048576;
  Random random(7);
  std::string text;
  {
    State state = acting_state(config);
    Intent bulk = intent("bulk", "act");
    bulk.arguments = host_value(R"({"blob":")" + std::string(1048000, 'b') + R"("})");
    for (int n = 0; n < 254; ++n) {
      bulk.intent_id = "bulk-" + std::to_string(1000 + n);
      state.intents[bulk.intent_id] = record_of(bulk, Status::Cancelled);
    }
    Core core = core_at(state, config);
    ASSERT_GT(core.journal_length(), kJournalLimitBytes - (4u << 20));
    ASSERT_LT(core.journal_length(), kJournalLimitBytes - (2u << 20));

    auto run = [&](const Command& command) { accepted(core, command, core.clock_ms()); };
    for (uint64_t n = 0; n < 10; ++n) {
      const std::string id = longest_id(n);
      run(Submit{intent(id, "act", {}, 86400000)});
      if (n >= 2) run(Begin{id});            // running
      if (n >= 4 && n < 6) run(Cancel{id});  // cancellation requested
      if (n >= 6) run(Finish{id, minimal(OutcomeStatus::EffectUnknown, random)});
      if (n >= 8) run(Cancel{id});           // unknown, cancellation requested
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
    text = core.journal_text();
    end_all_and_recover(std::move(core), random);
    ASSERT_FALSE(HasFatalFailure());
  }
  ASSERT_LE(text.size(), kJournalLimitBytes);
  text.resize(kJournalLimitBytes, ' ');
  Result<Journal> decoded = decode_journal(text);
  ASSERT_TRUE(decoded) << decoded.error();
  Result<Core> recovered = recover_journal(std::move(decoded).value());
  EXPECT_TRUE(recovered) << recovered.error();
  text.push_back(' ');
  EXPECT_EQ(decode_journal(text).error(), "payload_limit: JSON exceeds boundary size");
}

}  // namespace
}  // namespace tallowmere::testing
