// Action contracts, resource references and intents: their canonical texts,
// defaults, the closed record rules and the generic arguments value.

#include "contracts/intent.h"

#include <gtest/gtest.h>

#include <string>

#include "contracts/action_spec.h"
#include "record_test_support.h"

namespace tallowmere {
namespace {

using testing::accepted;
using testing::expect_canonical;
using testing::expect_refusals;

constexpr std::string_view kIntentText =
    R"({"intent_id":"intent","action_id":"action","action_version":1,)"
    R"("resources":[{"resource_id":"resource","expected_revision":0,"access":"write"}],)"
    R"("idempotency_key":null,"ttl_ms":30000,"arguments":{}})";

ActionSpec spec_of(std::string action_id, StringSet capabilities = {}) {
  ActionSpec spec;
  spec.action_id = std::move(action_id);
  spec.required_capabilities = std::move(capabilities);
  return spec;
}

TEST(ActionSpecJson, DefaultsAndCanonicalText) {
  const ActionSpec spec = accepted<ActionSpec>(R"({"action_id":"action"})");
  EXPECT_EQ(spec, spec_of("action"));
  EXPECT_EQ(to_text(spec),
            R"({"action_id":"action","version":1,"required_capabilities":[],)"
            R"("allow_write":false,"max_resources":64})");
  expect_canonical<ActionSpec>({
      R"({"action_id":"a","version":18446744073709551615,"required_capabilities":["x","y"],)"
      R"("allow_write":true,"max_resources":0})",
  });
  ActionSpec positional = spec_of("a", {"y", "z"});
  positional.version = 2;
  EXPECT_EQ(accepted<ActionSpec>(R"(["a",2,["z","y","z"]])"), positional);
}

TEST(ActionSpecJson, Refusals) {
  expect_refusals<ActionSpec>({
      {"{}", "missing field `action_id`"},
      {R"({"version":2})", "missing field `action_id`"},
      {R"({"action_id":"a","kind":1})",
       "unknown field `kind`, expected one of `action_id`, `version`, `required_capabilities`, "
       "`allow_write`, `max_resources`",
       R"("kind")"},
      {R"({"action_id":"a","action_id":"b"})", "duplicate field `action_id`", R"("action_id":"b")"},
      {R"({"action_id":"a","allow_write":null})", "invalid type: null, expected a boolean", "null"},
      {R"({"action_id":"a","allow_write":1})", "invalid type: integer `1`, expected a boolean",
       "1}"},
      {"[]", "invalid length 0, expected struct ActionSpec with 5 elements"},
      {R"(["a",1,[],false,64,0])", "invalid length 6, expected struct ActionSpec with 5 elements"},
      {"true", "invalid type: boolean `true`, expected struct ActionSpec", "true"},
  });
  expect_refusals<ActionSpec>(testing::u64_refusals(R"({"action_id":"a","version":)", "}"));
}

TEST(IntentJson, ExampleTextIsCanonical) {
  const Intent intent = accepted<Intent>(kIntentText);
  EXPECT_EQ(intent.resources,
            (std::vector<ResourceRef>{{"resource", 0, Access::Write}}));
  EXPECT_FALSE(intent.idempotency_key.has_value());
  EXPECT_EQ(to_text(intent), kIntentText);
  expect_canonical<Intent>({
      std::string(kIntentText),
      R"({"intent_id":"i","action_id":"a","action_version":3,"resources":[)"
      R"({"resource_id":"r","expected_revision":7,"access":"read"},)"
      R"({"resource_id":"r","expected_revision":7,"access":"read"}],)"
      R"("idempotency_key":"k","ttl_ms":0,"arguments":{"a":[1,-2,0.5,null,true,"s"]}})",
  });
}

TEST(IntentJson, OnlyIdsGetDefaults) {
  const Intent intent = accepted<Intent>(R"({"action_id":"action","intent_id":"intent"})");
  Intent expected;
  expected.intent_id = "intent";
  expected.action_id = "action";
  EXPECT_EQ(intent, expected);
  EXPECT_EQ(to_text(intent),
            R"({"intent_id":"intent","action_id":"action","action_version":1,"resources":[],)"
            R"("idempotency_key":null,"ttl_ms":30000,"arguments":{}})");
  EXPECT_EQ(accepted<Intent>(R"(["intent","action"])"), intent);
  EXPECT_EQ(
      accepted<Intent>(R"({"intent_id":"intent","action_id":"action","idempotency_key":null})"),
      intent);
}

TEST(IntentJson, ArgumentsAreAGenericValue) {
  struct Row {
    std::string arguments;
    std::string written;
  };
  const Row rows[] = {
      {R"({"b":1,"a":2})", R"({"a":2,"b":1})"},
      {R"({"a":1,"a":{"y":0,"x":[]}})", R"({"a":{"x":[],"y":0}})"},
      {"null", "null"},
      {"[3,1]", "[3,1]"},
      {"1e2", "100.0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    const Intent intent =
        accepted<Intent>(R"({"intent_id":"i","action_id":"a","arguments":)" + row.arguments + "}");
    EXPECT_EQ(json::to_text(intent.arguments), row.written);
  }
}

TEST(IntentJson, Refusals) {
  const std::string intent_fields =
      "one of `intent_id`, `action_id`, `action_version`, `resources`, `idempotency_key`, "
      "`ttl_ms`, `arguments`";
  const std::string ref_fields = "one of `resource_id`, `expected_revision`, `access`";
  expect_refusals<Intent>({
      {"{}", "missing field `intent_id`"},
      {R"({"action_id":"a"})", "missing field `intent_id`"},
      {R"({"intent_id":"i"})", "missing field `action_id`"},
      {R"({"intent_id":"i","action_id":"a","extra":1})",
       "unknown field `extra`, expected " + intent_fields, R"("extra")"},
      {R"({"intent_id":"i","action_id":"a","ttl_ms":1,"ttl_ms":2})", "duplicate field `ttl_ms`",
       R"("ttl_ms":2)"},
      {R"({"intent_id":null,"action_id":"a"})", "invalid type: null, expected a string", "null"},
      {R"({"intent_id":"i","action_id":"a","resources":null})",
       "invalid type: null, expected sequence", "null"},
      {R"({"intent_id":"i","action_id":"a","idempotency_key":5})",
       "invalid type: integer `5`, expected a string", "5"},
      {R"({"intent_id":"i","action_id":"a",)"
       R"("resources":[{"resource_id":"r","expected_revision":0}]})",
       "missing field `access`", "}]"},
      {R"({"intent_id":"i","action_id":"a","resources":[{"resource_id":"r","revision":0}]})",
       "unknown field `revision`, expected " + ref_fields, R"("revision")"},
      {R"({"intent_id":"i","action_id":"a","resources":[["r",0,"Write"]]})",
       "unknown variant `Write`, expected `read` or `write`", R"("Write")"},
      {R"({"intent_id":"i","action_id":"a","resources":[["r",0,1]]})",
       "invalid type: integer `1`, expected enum Access", "1]"},
      {R"({"intent_id":"i","action_id":"a","resources":[["r",0]]})",
       "invalid length 2, expected struct ResourceRef with 3 elements", "]]"},
      {R"({"intent_id":"i","action_id":"a","resources":{}})",
       "invalid type: map, expected sequence", "{}"},
      {R"(["i"])", "invalid length 1, expected struct Intent with 7 elements"},
      {R"("i")", R"(invalid type: string "i", expected struct Intent)", R"("i")"},
  });
  expect_refusals<Intent>(
      testing::u64_refusals(R"({"intent_id":"i","action_id":"a","ttl_ms":)", "}"));
  expect_refusals<ResourceRef>(
      testing::u64_refusals(R"({"resource_id":"r","access":"read","expected_revision":)", "}"));
}

TEST(IntentValue, KeysComeOutSortedAtEveryDepth) {
  Intent intent = accepted<Intent>(kIntentText);
  intent.idempotency_key = "key";
  EXPECT_EQ(json::to_text(to_value(intent)),
            R"({"action_id":"action","action_version":1,"arguments":{},"idempotency_key":"key",)"
            R"("intent_id":"intent","resources":[{"access":"write","expected_revision":0,)"
            R"("resource_id":"resource"}],"ttl_ms":30000})");
  EXPECT_EQ(json::to_text(to_value(spec_of("a", {"c"}))),
            R"({"action_id":"a","allow_write":false,"max_resources":64,)"
            R"("required_capabilities":["c"],"version":1})");
}

}  // namespace
}  // namespace tallowmere
