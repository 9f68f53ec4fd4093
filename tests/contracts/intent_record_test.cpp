// Outcomes and intent records: status names, optional fields that read
// missing and null alike, the open record that still holds a closed intent,
// and the two key orders (declared when written, sorted as a value).

#include "contracts/intent_record.h"

#include <gtest/gtest.h>

#include <string>

#include "record_test_support.h"

namespace tallowmere {
namespace {

using testing::accepted;
using testing::expect_canonical;
using testing::expect_refusals;

TEST(StatusNames, NamesDisplayNamesAndTerminality) {
  struct Row {
    Status status;
    std::string_view name;
    std::string_view display;
    bool terminal;
  };
  const Row rows[] = {
      {Status::Accepted, "accepted", "Accepted", false},
      {Status::Running, "running", "Running", false},
      {Status::CancellationRequested, "cancellation_requested", "CancellationRequested", false},
      {Status::CompletedVerified, "completed_verified", "CompletedVerified", true},
      {Status::FailedVerified, "failed_verified", "FailedVerified", true},
      {Status::Cancelled, "cancelled", "Cancelled", true},
      {Status::Expired, "expired", "Expired", true},
      {Status::Invalidated, "invalidated", "Invalidated", true},
      {Status::EffectUnknown, "effect_unknown", "EffectUnknown", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(name_of(row.status), row.name);
    EXPECT_EQ(display_name(row.status), row.display);
    EXPECT_EQ(is_terminal(row.status), row.terminal);
    EXPECT_EQ(is_open(row.status), !row.terminal);
    EXPECT_EQ(accepted<Status>("\"" + std::string(row.name) + "\""), row.status);
  }
}

TEST(OutcomeJson, DefaultsMapsAndEvidence) {
  const Outcome outcome = accepted<Outcome>(R"({"status":"effect_unknown"})");
  Outcome expected;
  expected.status = OutcomeStatus::EffectUnknown;
  EXPECT_EQ(outcome, expected);
  EXPECT_EQ(to_text(outcome),
            R"({"status":"effect_unknown","changed_resources":[],"resource_fingerprints":{},)"
            R"("evidence":{}})");
  expect_canonical<Outcome>({
      R"({"status":"completed_verified","changed_resources":["a","b"],)"
      R"("resource_fingerprints":{"a":"fa","b":"fb"},"evidence":{"receipt":"r","z":[{}]}})",
      R"({"status":"failed_verified","changed_resources":[],"resource_fingerprints":{},)"
      R"("evidence":null})",
  });
  // A repeated key keeps its later value, in the map and in the evidence.
  const Outcome repeated = accepted<Outcome>(
      R"({"status":"cancelled_verified","resource_fingerprints":{"r":"old","r":"new"},)"
      R"("evidence":{"k":1,"k":2}})");
  EXPECT_EQ(repeated.resource_fingerprints.at("r"), "new");
  EXPECT_EQ(json::to_text(repeated.evidence), R"({"k":2})");
}

TEST(OutcomeJson, Refusals) {
  expect_refusals<Outcome>({
      {"{}", "missing field `status`"},
      {R"({"status":"done"})",
       "unknown variant `done`, expected one of `completed_verified`, `failed_verified`, "
       "`cancelled_verified`, `effect_unknown`",
       R"("done")"},
      {R"({"status":null})", "invalid type: null, expected enum OutcomeStatus", "null"},
      {R"({"status":"effect_unknown","changed":[]})",
       "unknown field `changed`, expected one of `status`, `changed_resources`, "
       "`resource_fingerprints`, `evidence`",
       R"("changed")"},
      {R"({"status":"effect_unknown","resource_fingerprints":{"r":1}})",
       "invalid type: integer `1`, expected a string", "1}"},
      {R"({"status":"effect_unknown","resource_fingerprints":[]})",
       "invalid type: sequence, expected map", "[]"},
      {R"(["effect_unknown",[],{},{},1])",
       "invalid length 5, expected struct Outcome with 4 elements"},
  });
}

// --- Intent records --------------------------------------------------------

constexpr std::string_view kIntent =
    R"({"intent_id":"i","action_id":"a","action_version":1,"resources":[],)"
    R"("idempotency_key":null,"ttl_ms":30000,"arguments":{}})";

std::string record_text(std::string_view rest) {
  return R"({"intent":)" + std::string(kIntent) + std::string(rest);
}

TEST(IntentRecordJson, WrittenInDeclaredOrder) {
  expect_canonical<IntentRecord>({
      record_text(R"(,"status":"accepted","accepted_ms":5,"expires_ms":30005,"started_ms":null,)"
                  R"("finished_ms":null,"cancellation_requested":false,"outcome":null,)"
                  R"("invalidation_reason":null})"),
      record_text(R"(,"status":"invalidated","accepted_ms":0,"expires_ms":1,"started_ms":2,)"
                  R"("finished_ms":3,"cancellation_requested":true,"outcome":{"status":)"
                  R"("effect_unknown","changed_resources":[],"resource_fingerprints":{},)"
                  R"("evidence":{}},"invalidation_reason":"recovered"})"),
  });
}

TEST(IntentRecordJson, OptionalFieldsMissingOrNullAreAbsent) {
  const std::string required =
      R"(,"status":"running","accepted_ms":1,"expires_ms":2,"cancellation_requested":false)";
  const IntentRecord missing = accepted<IntentRecord>(record_text(required + "}"));
  EXPECT_FALSE(missing.started_ms || missing.finished_ms || missing.outcome ||
               missing.invalidation_reason);
  const IntentRecord nulls = accepted<IntentRecord>(
      record_text(required + R"(,"started_ms":null,"finished_ms":null,"outcome":null,)"
                             R"("invalidation_reason":null})"));
  EXPECT_EQ(nulls, missing);
  // The array form may stop after the last required position.
  const IntentRecord positional =
      accepted<IntentRecord>("[" + std::string(kIntent) + R"(,"running",1,2,null,null,false])");
  EXPECT_EQ(positional, missing);
}

TEST(IntentRecordJson, OpenRecordSkipsForeignKeysButItsIntentStaysClosed) {
  const IntentRecord record = accepted<IntentRecord>(record_text(
      R"(,"note":{"deep":[1,{"x":null}]},"status":"accepted","accepted_ms":1,"expires_ms":2,)"
      R"("cancellation_requested":false})"));
  EXPECT_EQ(record.status, Status::Accepted);
  expect_refusals<IntentRecord>({
      {R"({"intent":{"intent_id":"i","action_id":"a","note":1},"status":"accepted",)"
       R"("accepted_ms":1,"expires_ms":2,"cancellation_requested":false})",
       "unknown field `note`, expected one of `intent_id`, `action_id`, `action_version`, "
       "`resources`, `idempotency_key`, `ttl_ms`, `arguments`",
       R"("note")"},
      {record_text(R"(,"status":"accepted","accepted_ms":1,"expires_ms":2})"),
       "missing field `cancellation_requested`"},
      {R"({"status":"accepted"})", "missing field `intent`"},
      {record_text(R"(,"status":"Accepted","accepted_ms":1,"expires_ms":2,)"
                   R"("cancellation_requested":false})"),
       "unknown variant `Accepted`, expected one of `accepted`, `running`, "
       "`cancellation_requested`, `completed_verified`, `failed_verified`, `cancelled`, "
       "`expired`, `invalidated`, `effect_unknown`",
       R"("Accepted")"},
      {record_text(R"(,"status":"accepted","accepted_ms":1,"expires_ms":2,"started_ms":-1,)"
                   R"("cancellation_requested":false})"),
       "invalid value: integer `-1`, expected u64", "-1"},
      {record_text(R"(,"status":"accepted","accepted_ms":1,"accepted_ms":1})"),
       "duplicate field `accepted_ms`", R"("accepted_ms":1})"},
      {"[" + std::string(kIntent) + R"(,"running",1,2,null])",
       "invalid length 5, expected struct IntentRecord with 9 elements"},
  });
}

TEST(IntentRecordValue, SortedKeysWhileWriteKeepsDeclaredOrder) {
  IntentRecord record;
  record.intent.intent_id = "i";
  record.intent.action_id = "a";
  record.status = Status::CancellationRequested;
  record.accepted_ms = 1;
  record.expires_ms = 2;
  record.started_ms = 3;
  record.cancellation_requested = true;
  record.outcome.emplace();
  record.outcome->changed_resources = {"r"};
  record.outcome->resource_fingerprints = {{"r", "f"}};
  EXPECT_EQ(json::to_text(to_value(record)),
            R"({"accepted_ms":1,"cancellation_requested":true,"expires_ms":2,"finished_ms":null,)"
            R"("intent":{"action_id":"a","action_version":1,"arguments":{},"idempotency_key":null,)"
            R"("intent_id":"i","resources":[],"ttl_ms":30000},"invalidation_reason":null,)"
            R"("outcome":{"changed_resources":["r"],"evidence":{},)"
            R"("resource_fingerprints":{"r":"f"},"status":"completed_verified"},)"
            R"("started_ms":3,"status":"cancellation_requested"})");
  EXPECT_EQ(to_text(record),
            record_text(R"(,"status":"cancellation_requested","accepted_ms":1,"expires_ms":2,)"
                        R"("started_ms":3,"finished_ms":null,"cancellation_requested":true,)"
                        R"("outcome":{"status":"completed_verified","changed_resources":["r"],)"
                        R"("resource_fingerprints":{"r":"f"},"evidence":{}},)"
                        R"("invalidation_reason":null})"));
}

}  // namespace
}  // namespace tallowmere
