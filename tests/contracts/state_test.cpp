// The broker state: its fixed initial text, the open record with closed and
// open records nested in its maps, equality, and the sorted value form the
// snapshot shows.

#include "contracts/state.h"

#include <gtest/gtest.h>

#include <string>

#include "record_test_support.h"

namespace tallowmere {
namespace {

using testing::accepted;
using testing::expect_canonical;
using testing::expect_refusals;

constexpr std::string_view kInitialText =
    R"({"actions":{},"capabilities":[],"resources":{},"intents":{},"operation_keys":{},)"
    R"("source_sequences":{},"event_hashes":{},"normal_queue":[],"control_queue":[],)"
    R"("revision":0})";

const std::string kEventA =
    R"({"event_id":"a","source_id":"runtime","source_sequence":1,"kind":"resource_observed",)"
    R"("resource_id":"r","fingerprint":"f"})";
const std::string kEventB =
    R"({"event_id":"b","source_id":"verifier","source_sequence":2,"kind":"intent_cancel",)"
    R"("intent_id":"i"})";
const std::string kRecord =
    R"({"intent":{"intent_id":"i","action_id":"a","action_version":1,"resources":[],)"
    R"("idempotency_key":"k","ttl_ms":30000,"arguments":{}},"status":"running",)"
    R"("accepted_ms":1,"expires_ms":30001,"started_ms":2,"finished_ms":null,)"
    R"("cancellation_requested":false,"outcome":null,"invalidation_reason":null})";

// A state with every collection filled; keys and members in canonical order.
const std::string kFullText =
    R"({"actions":{"a":{"action_id":"a","version":1,"required_capabilities":["c"],)"
    R"("allow_write":true,"max_resources":64}},"capabilities":["c","d"],)"
    R"("resources":{"r":{"revision":3,"fingerprint":"f","observed_ms":9}},)"
    R"("intents":{"i":)" + kRecord + R"(},"operation_keys":{"a\u0000k":"i"},)"
    R"("source_sequences":{"runtime":1,"verifier":2},"event_hashes":{"a":"h1","b":"h2"},)"
    R"("normal_queue":[)" + kEventA + R"(],"control_queue":[)" + kEventB + R"(],"revision":2})";

TEST(StateJson, InitialStateTextIsFixed) {
  EXPECT_EQ(to_text(initial_state(Config{})), kInitialText);
  EXPECT_EQ(accepted<State>(kInitialText), initial_state(Config{}));
  Config config;
  config.capabilities = {"b", "a"};
  const State state = initial_state(config);
  EXPECT_EQ(state.capabilities, config.capabilities);
  EXPECT_NE(to_text(state).find(R"("capabilities":["a","b"])"), std::string::npos);
}

TEST(StateJson, FullStateIsCanonical) { expect_canonical<State>({kFullText}); }

TEST(StateJson, OpenRecordsSkipForeignKeysAndMapsKeepTheLaterValue) {
  const State state = accepted<State>(
      R"({"note":1,"actions":{},"capabilities":["c","c"],)"
      R"("resources":{"r":{"revision":1,"fingerprint":"old","observed_ms":1,"x":[]},)"
      R"("r":{"observed_ms":2,"fingerprint":"new","revision":2}},)"
      R"("intents":{},"operation_keys":{},"source_sequences":{"s":1,"s":5},"event_hashes":{},)"
      R"("normal_queue":[],"control_queue":[],"revision":0})");
  EXPECT_EQ(state.capabilities, StringSet{"c"});
  EXPECT_EQ(state.resources.at("r"), (ResourceState{2, "new", 2}));
  EXPECT_EQ(state.source_sequences.at("s"), 5u);
}

TEST(StateJson, Refusals) {
  const std::string without_revision(kInitialText.substr(0, kInitialText.rfind(",\"revision\"")));
  expect_refusals<State>({
      {"{}", "missing field `actions`"},
      {without_revision + "}", "missing field `revision`"},
      {without_revision + R"(,"revision":1,"revision":1})", "duplicate field `revision`",
       R"("revision":1})"},
      {R"({"resources":{"r":{"revision":1,"fingerprint":"fingerprint"}}})",
       "missing field `observed_ms`", "}}}"},
      {R"({"resources":{"r":[1,"f"]}})",
       "invalid length 2, expected struct ResourceState with 3 elements", "]}}"},
      {R"({"actions":{"a":{"action_id":"a","note":1}}})",
       "unknown field `note`, expected one of `action_id`, `version`, `required_capabilities`, "
       "`allow_write`, `max_resources`",
       R"("note")"},
      {R"({"normal_queue":[{"event_id":"e","source_id":"s","source_sequence":1,)"
       R"("kind":"capability_revoke","capability":"c","note":1}]})",
       "unknown field `note`, expected `capability`", R"("note")"},
      {R"({"source_sequences":{"s":-1}})", "invalid value: integer `-1`, expected u64", "-1"},
      {R"({"operation_keys":{"k":null}})", "invalid type: null, expected a string", "null"},
      {R"([{},[],{},{},{},{},{},[],[]])",
       "invalid length 9, expected struct State with 10 elements"},
  });
  // An intent record inside the state stays open.
  const std::string open_record = kRecord.substr(0, kRecord.size() - 1) + R"(,"note":1})";
  const State state = accepted<State>(
      R"({"actions":{},"capabilities":[],"resources":{},"intents":{"i":)" + open_record +
      R"(},"operation_keys":{},"source_sequences":{},"event_hashes":{},"normal_queue":[],)"
      R"("control_queue":[],"revision":0})");
  EXPECT_EQ(state.intents.size(), 1u);
}

TEST(StateEquality, QueueOrderCountsMapInsertionOrderDoesNot) {
  const Event a = accepted<Event>(kEventA);
  const Event b = accepted<Event>(kEventB);
  State first;
  first.normal_queue = {a, b};
  State second;
  second.normal_queue = {b, a};
  EXPECT_NE(first, second);

  State forward;
  State backward;
  for (const char* key : {"a", "b", "c"}) forward.event_hashes.emplace(key, key);
  for (const char* key : {"c", "b", "a"}) backward.event_hashes.emplace(key, key);
  EXPECT_EQ(forward, backward);
  EXPECT_EQ(to_text(forward), to_text(backward));
}

TEST(StateValue, EveryObjectHasSortedKeys) {
  const State state = accepted<State>(kFullText);
  EXPECT_EQ(
      json::to_text(to_value(state)),
      R"({"actions":{"a":{"action_id":"a","allow_write":true,"max_resources":64,)"
      R"("required_capabilities":["c"],"version":1}},"capabilities":["c","d"],)"
      R"("control_queue":[{"event_id":"b","intent_id":"i","kind":"intent_cancel",)"
      R"("source_id":"verifier","source_sequence":2}],"event_hashes":{"a":"h1","b":"h2"},)"
      R"("intents":{"i":{"accepted_ms":1,"cancellation_requested":false,"expires_ms":30001,)"
      R"("finished_ms":null,"intent":{"action_id":"a","action_version":1,"arguments":{},)"
      R"("idempotency_key":"k","intent_id":"i","resources":[],"ttl_ms":30000},)"
      R"("invalidation_reason":null,"outcome":null,"started_ms":2,"status":"running"}},)"
      R"("normal_queue":[{"event_id":"a","fingerprint":"f","kind":"resource_observed",)"
      R"("resource_id":"r","source_id":"runtime","source_sequence":1}],)"
      R"("operation_keys":{"a\u0000k":"i"},"resources":{"r":{"fingerprint":"f",)"
      R"("observed_ms":9,"revision":3}},"revision":2,)"
      R"("source_sequences":{"runtime":1,"verifier":2}})");
}

}  // namespace
}  // namespace tallowmere
