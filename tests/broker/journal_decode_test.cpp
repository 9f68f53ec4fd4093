// Reading stored journals: host values as deep as the boundary lets in are
// read back wherever the journal holds them, and one level more is refused.
#include <gtest/gtest.h>

#include "broker_fixtures.h"
#include "foundation/boundary.h"
#include "broker/journal_decode.h"
#include "../foundation/json_test_support.h"

namespace tallowmere::testing {
namespace {

// {"a":[[..["deep"]..]]} with `arrays` nested arrays.
std::string nested_member(size_t arrays) {
  return R"({"a":)" + std::string(arrays, '[') + R"("deep")" + std::string(arrays, ']') + "}";
}

template <class Record>
Result<Record> from_host(const std::string& text) {
  return decode_boundary<Record>(text, kConfigLimitBytes,
                                 [](json::Reader& r, Record& out) { return read(r, out); });
}

Result<Intent> host_intent(size_t arrays) {
  return from_host<Intent>(R"({"intent_id":"i","action_id":"act","resources":[],"arguments":)" +
                           nested_member(arrays) + "}");
}

Result<Outcome> host_outcome(size_t arrays) {
  return from_host<Outcome>(R"({"status":"completed_verified","changed_resources":[],"evidence":)" +
                            nested_member(arrays) + "}");
}

TEST(JournalDecoding, ReadsTheDeepestHostValuesWhereverTheJournalHoldsThem) {
  // The deepest values the host can hand in: 127 levels with their record.
  const size_t deepest = json::kDefaultDepthBudget - 3;
  ASSERT_TRUE(host_intent(deepest));
  ASSERT_FALSE(host_intent(deepest + 1));
  ASSERT_TRUE(host_outcome(deepest));
  // Arguments or evidence, in an entry or in the checkpoint state.
  for (const auto& [deep_outcome, checkpointed] : {std::pair{false, false}, {false, true},
                                                   {true, false}, {true, true}}) {
    SCOPED_TRACE(std::to_string(deep_outcome) + std::to_string(checkpointed));
    Harness h;
    h.run(RegisterAction{action("act")});
    ASSERT_EQ(h.run(Submit{deep_outcome ? intent("i", "act") : host_intent(deepest).value()})[0], '{');
    if (deep_outcome) {
      h.run(Begin{"i"});
      ASSERT_EQ(h.run(Finish{"i", host_outcome(deepest).value()})[0], '{');
    }
    if (checkpointed) {
      ASSERT_TRUE(h.acknowledge());
    }

    const std::string written = h.core.journal_text();
    Result<Journal> decoded = decode_journal(written);
    ASSERT_TRUE(decoded) << decoded.error();
    Result<Core> replayed = replay_journal(std::move(decoded).value());
    ASSERT_TRUE(replayed) << replayed.error();
    EXPECT_EQ(replayed->journal_text(), written);

    // One array more than the broker can write, wherever it sits.
    std::string deeper = written;
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
