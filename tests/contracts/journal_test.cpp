// The journal's hash inputs. The digests are recomputed here from their
// fixed texts, independently of the writer that builds them.

#include "contracts/journal.h"

#include <gtest/gtest.h>

#include <string>

#include "foundation/digest.h"
#include "record_test_support.h"

namespace tallowmere::testing {
namespace {

// Observed once and pinned, so that any change of the canonical texts shows.
constexpr std::string_view kGenesisDigest =
    "f5766e309dd3da0a06a4b295cb8109207f3130066508c085907ad86a996f933a";

std::string digest(const Config& config, const State& state, uint64_t sequence, uint64_t tick,
                   std::string_view parent) {
  return checkpoint_digest(config, state, sequence, tick, parent);
}

TEST(CheckpointDigest, IsTheHashOfTheFiveElementArray) {
  const State initial = initial_state(Config{});
  const std::string texts = "[" + std::string(kDefaultConfigText) + "," +
                            std::string(kInitialStateText);
  EXPECT_EQ(digest(Config{}, initial, 0, 0, kGenesisParent), sha256_hex(texts + R"(,0,0,"genesis"])"));
  EXPECT_EQ(digest(Config{}, initial, 0, 0, kGenesisParent), kGenesisDigest);
  EXPECT_EQ(digest(Config{}, initial, 3, 4, "a\"b\n"), sha256_hex(texts + R"(,3,4,"a\"b\n"])"));
}

TEST(EntryHash, IsTheHashOfTheFiveElementArray) {
  Entry entry{1, 5, std::string(kGenesisDigest), Drain{1}, std::string(64, 'a'), "not hashed"};
  EXPECT_EQ(computed_hash(entry),
            sha256_hex(R"([1,5,")" + std::string(kGenesisDigest) +
                       R"(",{"operation":"drain","limit":1},")" + std::string(64, 'a') + R"("])"));
}

}  // namespace
}  // namespace tallowmere::testing
