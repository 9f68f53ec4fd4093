// The journal record, its hash inputs and its derived tip and sequence. The
// digests are recomputed here from their documented texts, independently of
// the writer that builds them.

#include "contracts/journal.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/digest.h"
#include "record_test_support.h"

namespace tallowmere {
namespace {

using testing::accepted;
using testing::expect_canonical;
using testing::expect_refusals;

constexpr std::string_view kDefaultConfigText =
    R"({"workspace_id":"default","capabilities":[],"trusted_sources":["runtime","verifier"],)"
    R"("normal_capacity":256,"control_capacity":32,"max_event_bytes":65536,)"
    R"("max_resources":4096,"max_intents":4096,"max_events":65536,"max_journal_entries":100000})";
constexpr std::string_view kInitialStateText =
    R"({"actions":{},"capabilities":[],"resources":{},"intents":{},"operation_keys":{},)"
    R"("source_sequences":{},"event_hashes":{},"normal_queue":[],"control_queue":[],)"
    R"("revision":0})";

// Observed once and pinned, so that any change of the canonical texts shows.
constexpr std::string_view kGenesisDigest =
    "f5766e309dd3da0a06a4b295cb8109207f3130066508c085907ad86a996f933a";

std::string genesis_digest() {
  return checkpoint_digest(Config{}, initial_state(Config{}), 0, 0, kGenesisParent).value();
}

Journal genesis_journal() {
  Journal journal;
  journal.checkpoint_state = initial_state(journal.config);
  journal.checkpoint_parent_hash = kGenesisParent;
  journal.checkpoint_hash = genesis_digest();
  return journal;
}

Entry drain_entry(uint64_t sequence, std::string previous_hash) {
  Entry entry{sequence, 5, std::move(previous_hash), Drain{1}, std::string(64, 'a'), ""};
  entry.hash = computed_hash(entry).value();
  return entry;
}

TEST(CheckpointDigest, GenesisIsTheHashOfTheDocumentedText) {
  const std::string text = "[" + std::string(kDefaultConfigText) + "," +
                           std::string(kInitialStateText) + ",0,0,\"genesis\"]";
  EXPECT_EQ(genesis_digest(), sha256_hex(text));
  EXPECT_EQ(genesis_digest(), kGenesisDigest);
}

TEST(CheckpointDigest, CoversEveryArgument) {
  State state = initial_state(Config{});
  Config config;
  const std::string base = checkpoint_digest(config, state, 3, 4, "p").value();
  EXPECT_EQ(base, sha256_hex("[" + std::string(kDefaultConfigText) + "," +
                             std::string(kInitialStateText) + R"(,3,4,"p"])"));
  EXPECT_EQ(checkpoint_digest(config, state, 3, 4, "a\"b\n").value(),
            sha256_hex("[" + std::string(kDefaultConfigText) + "," +
                       std::string(kInitialStateText) + R"(,3,4,"a\"b\n"])"));
  EXPECT_NE(checkpoint_digest(config, state, 4, 4, "p").value(), base);
  EXPECT_NE(checkpoint_digest(config, state, 3, 5, "p").value(), base);
  state.revision = 1;
  EXPECT_NE(checkpoint_digest(config, state, 3, 4, "p").value(), base);
  state.revision = 0;
  config.max_events = 7;
  EXPECT_NE(checkpoint_digest(config, state, 3, 4, "p").value(), base);
}

TEST(EntryHash, IsTheHashOfTheFiveElementArray) {
  const Entry entry = drain_entry(1, genesis_digest());
  EXPECT_EQ(entry.hash, sha256_hex(R"([1,5,")" + genesis_digest() +
                                   R"(",{"operation":"drain","limit":1},")" +
                                   std::string(64, 'a') + R"("])"));
  // The entry's own hash is not hashed; every other field is.
  Entry changed = entry;
  changed.hash = "x";
  EXPECT_EQ(computed_hash(changed).value(), entry.hash);
  const std::function<void(Entry&)> changes[] = {
      [](Entry& e) { e.sequence = 2; },
      [](Entry& e) { e.tick_ms = 6; },
      [](Entry& e) { e.previous_hash.back() ^= 1; },
      [](Entry& e) { e.command = Drain{2}; },
      [](Entry& e) { e.result_hash[0] = 'b'; },
  };
  for (const auto& change : changes) {
    changed = entry;
    change(changed);
    EXPECT_NE(computed_hash(changed).value(), entry.hash);
  }
}

TEST(JournalDerived, TipAndSequence) {
  Journal journal = genesis_journal();
  journal.checkpoint_sequence = 7;
  EXPECT_EQ(journal_tip(journal), journal.checkpoint_hash);
  EXPECT_EQ(journal_sequence(journal), 7u);
  journal.entries.push_back(drain_entry(8, journal.checkpoint_hash));
  journal.entries.push_back(drain_entry(9, journal.entries.back().hash));
  EXPECT_EQ(journal_tip(journal), journal.entries.back().hash);
  EXPECT_EQ(journal_sequence(journal), 9u);
}

TEST(JournalJson, GenesisTextAndRoundTrip) {
  const Journal genesis = genesis_journal();
  const std::string genesis_text =
      R"({"schema_version":1,"config":)" + std::string(kDefaultConfigText) +
      R"(,"checkpoint_state":)" + std::string(kInitialStateText) +
      R"(,"checkpoint_sequence":0,"checkpoint_tick_ms":0,"checkpoint_parent_hash":"genesis",)"
      R"("checkpoint_hash":")" + genesis_digest() + R"(","entries":[]})";
  EXPECT_EQ(to_text(genesis), genesis_text);
  EXPECT_EQ(accepted<Journal>(genesis_text), genesis);

  Journal journal = genesis;
  journal.entries.push_back(drain_entry(1, journal.checkpoint_hash));
  journal.entries.push_back(drain_entry(2, journal.entries.back().hash));
  expect_canonical<Journal>({to_text(journal)});
}

TEST(JournalJson, KeysInAnyOrderAndCommandsInArrayForm) {
  const Entry entry = drain_entry(1, "p");
  const Entry read = accepted<Entry>(R"({"hash":")" + entry.hash + R"(","result_hash":")" +
                                     entry.result_hash + R"(","command":["drain",1],)"
                                     R"("previous_hash":"p","tick_ms":5,"sequence":1})");
  EXPECT_EQ(read, entry);
  EXPECT_EQ(accepted<Entry>(R"([1,5,"p",{"limit":1,"operation":"drain","x":0},")" +
                            entry.result_hash + R"(",")" + entry.hash + R"("])"),
            entry);
}

TEST(JournalJson, Refusals) {
  const std::string entry_text = to_text(drain_entry(1, "p"));
  const std::string body = to_text(genesis_journal());
  const std::string open = body.substr(0, body.size() - 1);  // without the closing brace
  expect_refusals<Journal>({
      {open + R"(,"extra":1})",
       "unknown field `extra`, expected one of `schema_version`, `config`, `checkpoint_state`, "
       "`checkpoint_sequence`, `checkpoint_tick_ms`, `checkpoint_parent_hash`, "
       "`checkpoint_hash`, `entries`",
       R"("extra")"},
      {R"({"schema_version":1})", "missing field `config`"},
      {R"({"schema_version":4294967296})",
       "invalid value: integer `4294967296`, expected u32", "4294967296"},
      {R"({"schema_version":1,"schema_version":1})", "duplicate field `schema_version`",
       R"("schema_version":1})"},
      {R"({"entries":[)" + entry_text.substr(0, entry_text.size() - 1) + R"(,"note":1}]})",
       "unknown field `note`, expected one of `sequence`, `tick_ms`, `previous_hash`, "
       "`command`, `result_hash`, `hash`",
       R"("note")"},
      {R"({"entries":[{"sequence":1}]})", "missing field `tick_ms`", "}]"},
      {R"({"entries":[[1,5,"p",["drain",1],"r"]]})",
       "invalid length 5, expected struct Entry with 6 elements", "]]"},
      {R"({"entries":[{"command":{"operation":"drain"}}]})", "missing field `limit`",
       "}}]"},
      {R"([1,{}])", "invalid length 2, expected struct Journal with 8 elements"},
  });
  expect_refusals<Entry>(testing::u64_refusals(R"({"sequence":)", "}"));
}

}  // namespace
}  // namespace tallowmere
