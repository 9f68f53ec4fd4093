// The configuration: its fixed default text, the defaulted closed record
// rules, and validation with its bounds at every edge and its check order.

#include "contracts/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "record_test_support.h"

namespace tallowmere {
namespace {

using testing::accepted;
using testing::expect_canonical;
using testing::expect_refusals;

constexpr std::string_view kDefaultText =
    R"({"workspace_id":"default","capabilities":[],"trusted_sources":["runtime","verifier"],)"
    R"("normal_capacity":256,"control_capacity":32,"max_event_bytes":65536,)"
    R"("max_resources":4096,"max_intents":4096,"max_events":65536,"max_journal_entries":100000})";

TEST(ConfigJson, DefaultTextIsFixed) {
  EXPECT_EQ(to_text(Config{}), kDefaultText);
  EXPECT_EQ(accepted<Config>("{}"), Config{});
  EXPECT_EQ(accepted<Config>("[]"), Config{});
  EXPECT_EQ(accepted<Config>(kDefaultText), Config{});
}

TEST(ConfigJson, WritesBackCanonically) {
  expect_canonical<Config>({
      std::string(kDefaultText),
      R"({"workspace_id":"w \u001f\n","capabilities":["a","b"],"trusted_sources":[],)"
      R"("normal_capacity":1,"control_capacity":2,"max_event_bytes":3,"max_resources":4,)"
      R"("max_intents":5,"max_events":6,"max_journal_entries":18446744073709551615})",
  });
}

TEST(ConfigJson, MissingKeysTakeDefaultsAndSetsAreSorted) {
  const Config config = accepted<Config>(
      R"({"max_intents":7,"capabilities":["b","a","a"],"trusted_sources":["z"]})");
  Config expected;
  expected.max_intents = 7;
  expected.capabilities = {"a", "b"};
  expected.trusted_sources = {"z"};
  EXPECT_EQ(config, expected);
  EXPECT_NE(to_text(config).find(R"("capabilities":["a","b"])"), std::string::npos);
}

TEST(ConfigJson, ArrayFormFillsPositionsAndDefaultsTheRest) {
  Config expected;
  expected.workspace_id = "w";
  expected.capabilities = {"c"};
  EXPECT_EQ(accepted<Config>(R"(["w",["c"]])"), expected);
  expected.max_journal_entries = 40;
  EXPECT_EQ(
      accepted<Config>(R"(["w",["c"],["runtime","verifier"],256,32,65536,4096,4096,65536,40])"),
      expected);
}

TEST(ConfigJson, Refusals) {
  expect_refusals<Config>({
      {R"({"revision":1})",
       "unknown field `revision`, expected one of `workspace_id`, `capabilities`, "
       "`trusted_sources`, `normal_capacity`, `control_capacity`, `max_event_bytes`, "
       "`max_resources`, `max_intents`, `max_events`, `max_journal_entries`",
       R"("revision")"},
      {R"({"max_events":1,"max_events":2})", "duplicate field `max_events`", R"("max_events":2)"},
      {R"({"workspace_id":null})", "invalid type: null, expected a string", "null"},
      {R"({"capabilities":"a"})", R"(invalid type: string "a", expected sequence)", R"("a")"},
      {R"({"capabilities":["a",1]})", "invalid type: integer `1`, expected a string", "1]"},
      {R"({"trusted_sources":null})", "invalid type: null, expected sequence", "null"},
      {"5", "invalid type: integer `5`, expected struct Config", "5"},
      {"null", "invalid type: null, expected struct Config", "null"},
      {R"(["w",[],[],1,1,256,1,1,1,32,0])",
       "invalid length 11, expected struct Config with 10 elements"},
  });
  for (const std::string_view field : {"normal_capacity", "max_journal_entries"}) {
    const std::string before = "{\"" + std::string(field) + "\":";
    expect_refusals<Config>(testing::u64_refusals(before, "}"));
  }
}

// --- Validation ------------------------------------------------------------

constexpr std::string_view kIdentifierError =
    "invalid_identifier: identifiers must contain 1..512 non-control bytes";
constexpr std::string_view kBoundsError = "invalid_config: capacity bounds violated";

struct BoundRow {
  uint64_t Config::*field;
  const char* name;
  uint64_t lowest;
  uint64_t highest;
};

TEST(ConfigValidation, EveryBoundAtItsEdges) {
  const BoundRow rows[] = {
      {&Config::normal_capacity, "normal_capacity", 1, 65536},
      {&Config::control_capacity, "control_capacity", 1, 4096},
      {&Config::max_event_bytes, "max_event_bytes", 256, 1048576},
      {&Config::max_resources, "max_resources", 1, 100000},
      {&Config::max_intents, "max_intents", 1, 100000},
      {&Config::max_events, "max_events", 1, 1000000},
      {&Config::max_journal_entries, "max_journal_entries", 32, UINT64_MAX},
  };
  EXPECT_TRUE(validate(Config{}).ok());
  for (const BoundRow& row : rows) {
    SCOPED_TRACE(row.name);
    Config config;
    config.*row.field = row.lowest;
    EXPECT_TRUE(validate(config).ok()) << validate(config).error();
    config.*row.field = row.highest;
    EXPECT_TRUE(validate(config).ok()) << validate(config).error();
    config.*row.field = row.lowest - 1;
    EXPECT_EQ(validate(config).error(), kBoundsError);
    if (row.highest != UINT64_MAX) {
      config.*row.field = row.highest + 1;
      EXPECT_EQ(validate(config).error(), kBoundsError);
    }
  }
}

TEST(ConfigValidation, ChecksRunInOrder) {
  struct Row {
    const char* what;
    std::string json;
    std::string_view error;  // empty: valid
  };
  const Row rows[] = {
      {"identifier before bounds", R"({"workspace_id":"","normal_capacity":0})", kIdentifierError},
      {"control character in workspace", R"({"workspace_id":"a\tb"})", kIdentifierError},
      {"overlong workspace", R"({"workspace_id":")" + std::string(513, 'w') + "\"}",
       kIdentifierError},
      {"512-byte workspace", R"({"workspace_id":")" + std::string(512, 'w') + "\"}", ""},
      {"bounds before capabilities", R"({"capabilities":[""],"max_events":0})", kBoundsError},
      {"bounds before trusted sources", R"({"trusted_sources":[""],"max_intents":0})",
       kBoundsError},
      {"empty capability", R"({"capabilities":["a",""]})", kIdentifierError},
      {"empty trusted source after bounds", R"({"trusted_sources":["runtime",""]})",
       kIdentifierError},
      {"C1 control in a source", "{\"trusted_sources\":[\"a\xC2\x85\"]}", kIdentifierError},
      {"no trusted sources at all", R"({"trusted_sources":[]})", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const Check check = validate(accepted<Config>(row.json));
    if (row.error.empty()) {
      EXPECT_TRUE(check.ok()) << check.error();
    } else {
      EXPECT_EQ(check.error(), row.error);
    }
  }
}

TEST(ConfigValue, KeysComeOutSorted) {
  EXPECT_EQ(json::to_text(to_value(Config{})),
            R"({"capabilities":[],"control_capacity":32,"max_event_bytes":65536,)"
            R"("max_events":65536,"max_intents":4096,"max_journal_entries":100000,)"
            R"("max_resources":4096,"normal_capacity":256,)"
            R"("trusted_sources":["runtime","verifier"],"workspace_id":"default"})");
}

}  // namespace
}  // namespace tallowmere
