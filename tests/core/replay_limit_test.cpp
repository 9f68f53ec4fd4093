// The journal at the real replay limit of 256 MiB, grown with commands of
// almost 1 MiB: it is refused before it outgrows what replay reads, a
// checkpoint makes room again, and a state that outgrows the limit alone is
// refused for good.
#include <gtest/gtest.h>

#include "broker_fixtures.h"
#include "core/journal_decode.h"

namespace tallowmere::testing {
namespace {

Config large_commands() {
  Config config = config_with();
  config.max_event_bytes = 1048576;
  return config;
}

// Almost 1 MiB that differs with `n`.
json::CanonicalText blob(uint64_t n) {
  std::string text(1000000, 'x');
  text.replace(0, 20, std::to_string(n));
  return host_value(R"({"blob":")" + text + R"("})");
}

// "u" is left effect_unknown: reconciling it with fresh evidence replaces the
// evidence in the state but adds a whole entry to the journal.
struct Grower {
  Grower() : h(large_commands()) {
    h.run(RegisterAction{action("act")});
    h.run(Submit{intent("u", "act")});
    h.run(Begin{"u"});
    h.run(Finish{"u", outcome(OutcomeStatus::EffectUnknown)});
  }
  std::string reconcile() {
    Outcome unknown = outcome(OutcomeStatus::EffectUnknown);
    unknown.evidence = blob(++n);
    return h.run(Reconcile{"u", std::move(unknown)});
  }
  std::string submit() {
    Intent big = intent("i" + std::to_string(++n), "act");
    big.arguments = blob(n);
    return h.run(Submit{std::move(big)});
  }
  // Acknowledges the tip whenever the journal asks for it.
  std::string acknowledging(std::string (Grower::*command)()) {
    std::string answer = (this->*command)();
    if (answer != kBackpressure) return answer;
    EXPECT_TRUE(h.acknowledge());
    ++checkpoints;
    --n;
    return (this->*command)();
  }

  Harness h;
  uint64_t n = 0;
  uint64_t checkpoints = 0;
};

TEST(ReplayLimit, TheJournalStopsShortOfTheLimitAndAStateTooLongIsRefused) {
  Grower grower;
  Core& core = grower.h.core;
  std::string answer;
  while ((answer = grower.reconcile())[0] == '{') {
  }
  EXPECT_EQ(answer, kBackpressure);
  EXPECT_GT(grower.n, 256u);
  {
    std::string text = core.journal_text();
    EXPECT_GT(text.size() + 1001000, kJournalLimitBytes);
    text.resize(kJournalLimitBytes, ' ');
    Result<Journal> decoded = decode_journal(text);
    ASSERT_TRUE(decoded) << decoded.error();
    Result<Core> replayed = replay_journal(std::move(decoded).value());
    ASSERT_TRUE(replayed) << replayed.error();
    EXPECT_EQ(json::to_text(replayed->snapshot()), json::to_text(core.snapshot()));
    text.push_back(' ');
    EXPECT_EQ(decode_journal(text).error(), "payload_limit: JSON exceeds boundary size");
  }
  ASSERT_TRUE(grower.h.acknowledge());

  // Intents of 1 MiB grow the state; checkpoints make room until the state
  // alone no longer fits.
  do {
    answer = grower.acknowledging(&Grower::submit);
    if (answer[0] == '{') answer = grower.acknowledging(&Grower::reconcile);
  } while (answer[0] == '{');
  EXPECT_EQ(answer, kJournalTooLong);
  EXPECT_GT(grower.checkpoints, 2u);
  EXPECT_GT(core.state_length() + 1001000, kJournalLimitBytes);
  EXPECT_LE(core.journal_length(), kJournalLimitBytes);
  ASSERT_TRUE(grower.h.acknowledge());
  EXPECT_EQ(grower.submit(), kJournalTooLong);
}

}  // namespace
}  // namespace tallowmere::testing
