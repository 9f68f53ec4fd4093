// Reading commands: the object is read whole first, then its "operation"
// tag, then the operation's fields, whose nested records stay closed. The
// array form gives the operation first and then exactly its fields.

#include <gtest/gtest.h>

#include <string>

#include "record_test_support.h"

namespace tallowmere::testing {
namespace {

const std::string kOutcome = R"({"status":"effect_unknown"})";

TEST(CommandJson, ReadingOrder) {
  const std::string operations =
      "expected one of `register_action`, `observe`, `submit`, `begin`, `finish`, `reconcile`, "
      "`cancel`, `revoke`, `expire`, `enqueue`, `drain`, `recover`";
  const Rewrite command = rewritten<Command>;
  expect_refusals({
      {command, "null", "invalid type: null, expected internally tagged enum Command", "null"},
      // The whole object is read first: syntax, then a repeated operation.
      {command, R"({"operation":"drain","operation":"x","limit":})", "expected value", "}"},
      {command, R"({"operation":"drain","limit":"x","operation":"drain"})",
       "duplicate field `operation`", R"("operation":"drain"})"},
      // Then a missing operation, whatever the other keys hold.
      {command, R"({"limit":"x"})", "missing field `operation`"},
      // Then the operation's value.
      {command, R"({"limit":"x","operation":"Drain"})", "unknown variant `Drain`, " + operations,
       R"("Drain")"},
      {command, R"({"operation":5})", "invalid type: integer `5`, expected variant identifier", "5"},
      // Then the operation's fields.
      {command, R"({"operation":"drain"})", "missing field `limit`"},
      {command, R"({"operation":"drain","limit":1,"limit":2})", "duplicate field `limit`",
       R"("limit":2)"},
      {command, R"({"limit":"x","operation":"drain"})", R"(invalid type: string "x", expected u64)",
       R"("x")"},
      {command, R"({"operation":"finish","outcome":)" + kOutcome + "}", "missing field `intent_id`"},
      {command, R"({"operation":"enqueue","control":1})",
       "invalid type: integer `1`, expected a boolean", "1}"},
      {command, R"({"operation":"reconcile","intent_id":"i","outcome":{"status":"ok"}})",
       "unknown variant `ok`, expected one of `completed_verified`, `failed_verified`, "
       "`cancelled_verified`, `effect_unknown`", R"("ok")"},
      {command, R"({"operation":"observe","event":[]})",
       "invalid type: sequence, expected struct Event", "[]"},
      // The array form.
      {command, "[]", "missing field `operation`"},
      {command, R"(["finish","intent"])",
       "invalid length 1, expected struct variant Command::Finish with 2 elements"},
      {command, R"(["begin"])", "invalid length 0, expected struct variant Command::Begin with 1 element"},
      // A longer array fails the same way, counting every value given.
      {command, R"(["drain",4,5])",
       "invalid length 2, expected struct variant Command::Drain with 1 element"},
      {command, R"(["expire",1])",
       "invalid length 1, expected struct variant Command::Expire with 0 elements"},
      {command, R"(["drain",-4])", "invalid value: integer `-4`, expected u64", "-4"},
      {command, R"(["Drain",4])", "unknown variant `Drain`, " + operations, R"("Drain")"},
  });
}

}  // namespace
}  // namespace tallowmere::testing
