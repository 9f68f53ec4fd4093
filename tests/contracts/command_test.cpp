// Commands: the "operation" tag that may stand anywhere, open variants whose
// nested records stay closed, the positional array form and its lengths.

#include "contracts/command.h"

#include <gtest/gtest.h>

#include <string>

#include "record_test_support.h"

namespace tallowmere {
namespace {

using testing::accepted;
using testing::expect_canonical;
using testing::expect_refusals;

const std::string kCancelEvent =
    R"({"event_id":"event","source_id":"runtime","source_sequence":1,"kind":"intent_cancel",)"
    R"("intent_id":"intent"})";
const std::string kOutcome =
    R"({"status":"completed_verified","changed_resources":["r"],)"
    R"("resource_fingerprints":{"r":"f"},"evidence":{"receipt":1}})";

TEST(CommandJson, EveryOperationIsCanonical) {
  expect_canonical<Command>({
      R"({"operation":"register_action","spec":{"action_id":"a","version":1,)"
      R"("required_capabilities":["c"],"allow_write":true,"max_resources":64}})",
      R"({"operation":"observe","event":)" + kCancelEvent + "}",
      R"({"operation":"submit","intent":{"intent_id":"i","action_id":"a","action_version":1,)"
      R"("resources":[],"idempotency_key":"k","ttl_ms":30000,"arguments":{"x":1}}})",
      R"({"operation":"begin","intent_id":"intent"})",
      R"({"operation":"finish","intent_id":"i","outcome":)" + kOutcome + "}",
      R"({"operation":"reconcile","intent_id":"i","outcome":)" + kOutcome + "}",
      R"({"operation":"cancel","intent_id":"i"})",
      R"({"operation":"revoke","capability":"c"})",
      R"({"operation":"expire"})",
      R"({"operation":"enqueue","event":)" + kCancelEvent + R"(,"control":true})",
      R"({"operation":"drain","limit":1})",
      R"({"operation":"recover"})",
  });
}

TEST(CommandJson, OperationAnywhereAndForeignKeysSkipped) {
  struct Row {
    std::string input;
    Command expected;
  };
  const Row rows[] = {
      {R"({"limit":1,"operation":"drain"})", Drain{1}},
      {R"({"operation":"drain","limit":1,"extra":true})", Drain{1}},
      {R"({"spec":7,"operation":"drain","limit":18446744073709551615})", Drain{UINT64_MAX}},
      {R"({"operation":"expire","limit":5})", Expire{}},
      {R"({"x":{"deep":[1,{"y":null}]},"operation":"recover"})", Recover{}},
      {R"({"control":false,"event":)" + kCancelEvent + R"(,"operation":"enqueue"})",
       Enqueue{accepted<Event>(kCancelEvent), false}},
      {R"(["drain",4])", Drain{4}},
      {R"(["expire"])", Expire{}},
      {R"(["revoke","c"])", Revoke{"c"}},
      {R"(["finish","i",)" + kOutcome + "]", Finish{"i", accepted<Outcome>(kOutcome)}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    const Command command = accepted<Command>(row.input);
    EXPECT_EQ(command, row.expected);
    EXPECT_EQ(to_text(command), to_text(row.expected));
  }
  EXPECT_EQ(to_text(accepted<Command>(R"({"limit":1,"operation":"drain"})")),
            R"({"operation":"drain","limit":1})");
}

const std::string kOperations =
    "one of `register_action`, `observe`, `submit`, `begin`, `finish`, `reconcile`, `cancel`, "
    "`revoke`, `expire`, `enqueue`, `drain`, `recover`";

TEST(CommandJson, ObjectFormReadingOrder) {
  expect_refusals<Command>({
      {"5", "invalid type: integer `5`, expected internally tagged enum Command", "5"},
      {"null", "invalid type: null, expected internally tagged enum Command", "null"},
      // The whole object is read first: syntax, then a repeated operation.
      {R"({"operation":"drain","operation":"x","limit":})", "expected value", "}"},
      {R"({"operation":"drain","limit":"x","operation":"drain"})", "duplicate field `operation`",
       R"("operation":"drain"})"},
      // Then a missing operation, whatever the other keys hold.
      {"{}", "missing field `operation`"},
      {R"({"limit":"x"})", "missing field `operation`"},
      // Then the operation's value.
      {R"({"limit":"x","operation":"Drain"})", "unknown variant `Drain`, expected " + kOperations,
       R"("Drain")"},
      {R"({"operation":5})", "invalid type: integer `5`, expected variant identifier", "5"},
      // Then the variant's fields.
      {R"({"operation":"drain"})", "missing field `limit`"},
      {R"({"operation":"drain","limit":1,"limit":2})", "duplicate field `limit`", R"("limit":2)"},
      {R"({"limit":"x","operation":"drain"})", R"(invalid type: string "x", expected u64)",
       R"("x")"},
      {R"({"operation":"finish","intent_id":"i"})", "missing field `outcome`"},
      {R"({"operation":"finish","outcome":{"status":"effect_unknown"}})",
       "missing field `intent_id`"},
      {R"({"operation":"enqueue","event":)" + kCancelEvent + "}", "missing field `control`"},
      {R"({"operation":"enqueue","control":1})", "invalid type: integer `1`, expected a boolean",
       "1}"},
  });
  expect_refusals<Command>(testing::u64_refusals(R"({"operation":"drain","limit":)", "}"));
}

TEST(CommandJson, NestedRecordsStayClosed) {
  expect_refusals<Command>({
      {R"({"operation":"register_action","spec":{"action_id":"a","extra":1}})",
       "unknown field `extra`, expected one of `action_id`, `version`, "
       "`required_capabilities`, `allow_write`, `max_resources`",
       R"("extra")"},
      {R"({"operation":"submit","intent":{"intent_id":"i","action_id":"a","x":1}})",
       "unknown field `x`, expected one of `intent_id`, `action_id`, `action_version`, "
       "`resources`, `idempotency_key`, `ttl_ms`, `arguments`",
       R"("x")"},
      {R"({"operation":"reconcile","intent_id":"i","outcome":{"status":"ok"}})",
       "unknown variant `ok`, expected one of `completed_verified`, `failed_verified`, "
       "`cancelled_verified`, `effect_unknown`",
       R"("ok")"},
      {R"({"operation":"observe","event":{"event_id":"e","source_id":"s","source_sequence":1,)"
       R"("kind":"intent_cancel","intent_id":"i","revision":1}})",
       "unknown field `revision`, expected `intent_id`", R"("revision")"},
      {R"({"operation":"observe","event":{"event_id":"e","source_id":"s","source_sequence":1}})",
       "missing field `kind`", "}}"},
      {R"({"operation":"observe","event":[]})", "invalid type: sequence, expected struct Event",
       "[]"},
  });
}

TEST(CommandJson, ArrayForm) {
  expect_refusals<Command>({
      {"[]", "missing field `operation`"},
      {R"(["finish","intent"])",
       "invalid length 1, expected struct variant Command::Finish with 2 elements"},
      {R"(["begin"])", "invalid length 0, expected struct variant Command::Begin with 1 element"},
      {R"(["register_action"])",
       "invalid length 0, expected struct variant Command::RegisterAction with 1 element"},
      // A longer array fails the same way, counting every value given.
      {R"(["drain",4,5])",
       "invalid length 2, expected struct variant Command::Drain with 1 element"},
      {R"(["expire",1])",
       "invalid length 1, expected struct variant Command::Expire with 0 elements"},
      {R"(["drain",-4])", "invalid value: integer `-4`, expected u64", "-4"},
      {R"([5])", "invalid type: integer `5`, expected variant identifier", "5"},
      {R"(["Drain",4])", "unknown variant `Drain`, expected " + kOperations, R"("Drain")"},
  });
}

TEST(CommandValue, KeysComeOutSorted) {
  EXPECT_EQ(json::to_text(to_value(accepted<Command>(
                R"({"operation":"enqueue","event":)" + kCancelEvent + R"(,"control":true})"))),
            R"({"control":true,"event":{"event_id":"event","intent_id":"intent",)"
            R"("kind":"intent_cancel","source_id":"runtime","source_sequence":1},)"
            R"("operation":"enqueue"})");
  EXPECT_EQ(json::to_text(to_value(Command{Drain{3}})), R"({"limit":3,"operation":"drain"})");
}

}  // namespace
}  // namespace tallowmere
