// Configuration validation: every bound at its edges, and the order in which
// the checks run.

#include "contracts/config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "record_test_support.h"

namespace tallowmere {
namespace {

constexpr std::string_view kIdentifierError =
    "invalid_identifier: identifiers must contain 1..512 non-control bytes";
constexpr std::string_view kBoundsError = "invalid_config: capacity bounds violated";

std::string validated(const Config& config) {
  const Check check = validate(config);
  return check ? "" : check.error();
}

TEST(ConfigValidation, EveryBoundAtItsEdges) {
  const std::tuple<uint64_t Config::*, uint64_t, uint64_t> rows[] = {
      {&Config::normal_capacity, 1, 65536},
      {&Config::control_capacity, 1, 4096},
      {&Config::max_event_bytes, 256, 1048576},
      {&Config::max_resources, 1, 100000},
      {&Config::max_intents, 1, 100000},
      {&Config::max_events, 1, 1000000},
      {&Config::max_journal_entries, 32, UINT64_MAX},
  };
  for (const auto& [field, lowest, highest] : rows) {
    SCOPED_TRACE(lowest);
    Config config;
    config.*field = lowest;
    EXPECT_EQ(validated(config), "");
    config.*field = lowest - 1;
    EXPECT_EQ(validated(config), kBoundsError);
    config.*field = highest;
    EXPECT_EQ(validated(config), "");
    if (highest != UINT64_MAX) {
      config.*field = highest + 1;
      EXPECT_EQ(validated(config), kBoundsError);
    }
  }
}

TEST(ConfigValidation, ChecksRunInOrder) {
  const std::pair<std::string, std::string_view> rows[] = {
      {R"({"workspace_id":"","normal_capacity":0})", kIdentifierError},
      {R"({"capabilities":[""],"max_events":0})", kBoundsError},
      {R"({"trusted_sources":[""],"max_intents":0})", kBoundsError},
      {R"({"capabilities":["a",""],"trusted_sources":[""]})", kIdentifierError},
      {R"({"trusted_sources":["runtime","a\u0085"]})", kIdentifierError},
      {R"({"trusted_sources":[]})", ""},
  };
  for (const auto& [text, error] : rows) {
    Config config;
    std::string read_error;
    ASSERT_TRUE(read_document(text, config, [](json::Reader& r, Config& out) { return read(r, out); },
                              read_error)) << read_error;
    EXPECT_EQ(validated(config), error) << text;
  }
}

}  // namespace
}  // namespace tallowmere
