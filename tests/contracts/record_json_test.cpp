// Every record read and written: canonical texts write back to themselves,
// defaults and foreign keys, the sorted value form, and what each record
// refuses with its own field list, required fields and positional length.
// The shared field readers' messages are pinned once, on one record each.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contracts/intent_record.h"
#include "record_test_support.h"

namespace tallowmere::testing {
namespace {

const std::string kEvent =
    R"({"event_id":"e","source_id":"runtime","source_sequence":1,"kind":"resource_observed",)"
    R"("resource_id":"r","fingerprint":"f"})";
const std::string kCancelEvent =
    R"({"event_id":"c","source_id":"verifier","source_sequence":2,"kind":"intent_cancel",)"
    R"("intent_id":"i"})";
const std::string kOutcome =
    R"({"status":"completed_verified","changed_resources":["r"],)"
    R"("resource_fingerprints":{"r":"f"},"evidence":{"receipt":1}})";
const std::string kIntent =
    R"({"intent_id":"i","action_id":"a","action_version":3,"resources":[)"
    R"({"resource_id":"r","expected_revision":7,"access":"read"}],)"
    R"("idempotency_key":"k","ttl_ms":0,"arguments":{"a":[1,-2,0.5,null,true,"s"]}})";
const std::string kRecord =
    R"({"intent":)" + kIntent + R"(,"status":"effect_unknown","accepted_ms":1,"expires_ms":2,)"
    R"("started_ms":3,"finished_ms":null,"cancellation_requested":true,"outcome":)" + kOutcome +
    R"(,"invalidation_reason":"reason"})";
const std::string kState =
    R"({"actions":{"a":{"action_id":"a","version":1,"required_capabilities":["c"],)"
    R"("allow_write":true,"max_resources":64}},"capabilities":["c","d"],)"
    R"("resources":{"r":{"revision":3,"fingerprint":"f","observed_ms":9}},)"
    R"("intents":{"i":)" + kRecord + R"(},"operation_keys":{"a\u0000k":"i"},)"
    R"("source_sequences":{"runtime":1,"verifier":2},"event_hashes":{"c":"h2","e":"h1"},)"
    R"("normal_queue":[)" + kEvent + R"(],"control_queue":[)" + kCancelEvent + R"(],"revision":2})";
const std::string kEntry =
    R"({"sequence":1,"tick_ms":5,"previous_hash":"p","command":{"operation":"drain","limit":1},)"
    R"("result_hash":"r","hash":"h"})";

TEST(RecordJson, CanonicalTextsWriteBackToThemselves) {
  const std::pair<Rewrite, std::string> rows[] = {
      {rewritten<Config>, std::string(kDefaultConfigText)},
      {rewritten<Config>,
       R"({"workspace_id":"w \u001f\n","capabilities":["a","b"],"trusted_sources":[],)"
       R"("normal_capacity":1,"control_capacity":2,"max_event_bytes":3,"max_resources":4,)"
       R"("max_intents":5,"max_events":6,"max_journal_entries":18446744073709551615})"},
      {rewritten<Intent>, kIntent},
      {rewritten<IntentRecord>, kRecord},
      {rewritten<Outcome>, R"({"status":"failed_verified","changed_resources":[],)"
                           R"("resource_fingerprints":{},"evidence":null})"},
      {rewritten<Event>, kEvent},
      {rewritten<Event>, R"({"event_id":"v","source_id":"verifier","source_sequence":3,)"
                         R"("kind":"capability_revoke","capability":"c"})"},
      {rewritten<State>, std::string(kInitialStateText)},
      {rewritten<State>, kState},
      {rewritten<Command>, R"({"operation":"register_action","spec":{"action_id":"a",)"
                           R"("version":18446744073709551615,"required_capabilities":["c"],)"
                           R"("allow_write":true,"max_resources":0}})"},
      {rewritten<Command>, R"({"operation":"observe","event":)" + kCancelEvent + "}"},
      {rewritten<Command>, R"({"operation":"submit","intent":)" + kIntent + "}"},
      {rewritten<Command>, R"({"operation":"begin","intent_id":"i"})"},
      {rewritten<Command>, R"({"operation":"finish","intent_id":"i","outcome":)" + kOutcome + "}"},
      {rewritten<Command>, R"({"operation":"reconcile","intent_id":"i","outcome":)" + kOutcome + "}"},
      {rewritten<Command>, R"({"operation":"cancel","intent_id":"i"})"},
      {rewritten<Command>, R"({"operation":"revoke","capability":"c"})"},
      {rewritten<Command>, R"({"operation":"expire"})"},
      {rewritten<Command>, R"({"operation":"enqueue","event":)" + kCancelEvent + R"(,"control":true})"},
      {rewritten<Command>, R"({"operation":"drain","limit":1})"},
      {rewritten<Command>, R"({"operation":"recover"})"},
      {rewritten<Journal>, R"({"schema_version":1,"config":)" + std::string(kDefaultConfigText) +
                           R"(,"checkpoint_state":)" + std::string(kInitialStateText) +
                           R"(,"checkpoint_sequence":0,"checkpoint_tick_ms":0,)"
                           R"("checkpoint_parent_hash":"genesis","checkpoint_hash":"g",)"
                           R"("entries":[)" + kEntry + "," + kEntry + "]}"},
  };
  for (const auto& [read, text] : rows) EXPECT_EQ(read(text), text);
}

// Defaulted fields may be left out, null means absent for optional ones, the
// array form gives fields by position, a repeated map key keeps its later
// value, and open records skip foreign keys.
TEST(RecordJson, ReadsTheSameRecordAs) {
  const std::string unknown_record =
      R"(,"status":"running","accepted_ms":1,"expires_ms":2,"cancellation_requested":false)";
  const std::string minimal_intent = R"({"intent_id":"i","action_id":"a"})";
  const std::string record_nulls = R"({"intent":)" + minimal_intent + unknown_record +
                                   R"(,"started_ms":null,"finished_ms":null,"outcome":null,)"
                                   R"("invalidation_reason":null})";
  const std::tuple<Rewrite, std::string, std::string> rows[] = {
      {rewritten<Config>, "{}", std::string(kDefaultConfigText)},
      {rewritten<Config>, R"(["w",["c"],["runtime","verifier"],256,32,65536,4096,4096,65536,40])",
       R"({"workspace_id":"w","capabilities":["c"],"max_journal_entries":40})"},
      {rewritten<ActionSpec>, R"({"action_id":"x"})",
       R"({"action_id":"x","version":1,"required_capabilities":[],"allow_write":false,)"
       R"("max_resources":64})"},
      {rewritten<ActionSpec>, R"(["a",2,["z","y","z"]])",
       R"({"action_id":"a","version":2,"required_capabilities":["y","z"]})"},
      {rewritten<Intent>, R"({"action_id":"a","intent_id":"i","idempotency_key":null})",
       R"({"intent_id":"i","action_id":"a","action_version":1,"resources":[],)"
       R"("idempotency_key":null,"ttl_ms":30000,"arguments":{}})"},
      {rewritten<Intent>, R"(["i","a"])", minimal_intent},
      {rewritten<Outcome>, R"({"status":"effect_unknown"})",
       R"({"status":"effect_unknown","changed_resources":[],"resource_fingerprints":{},)"
       R"("evidence":{}})"},
      {rewritten<IntentRecord>, R"({"intent":)" + minimal_intent + unknown_record + "}", record_nulls},
      {rewritten<IntentRecord>, "[" + minimal_intent + R"(,"running",1,2,null,null,false])",
       record_nulls},
      {rewritten<Event>, R"({"fingerprint":"f","kind":"resource_observed","source_sequence":1,)"
                         R"( "resource_id" : "r" ,"source_id":"runtime","event_id":"e"})", kEvent},
      {rewritten<State>,
       R"({"note":1,"actions":{},"capabilities":["c","c"],"resources":{"r":{"revision":1,)"
       R"("fingerprint":"old","observed_ms":1,"x":[]},"r":{"observed_ms":2,"fingerprint":"new",)"
       R"("revision":2}},"intents":{"i":{"intent":)" + minimal_intent + unknown_record +
       R"(,"note":1}},"operation_keys":{},"source_sequences":{},"event_hashes":{},)"
       R"("normal_queue":[],"control_queue":[],"revision":0})",
       R"({"actions":{},"capabilities":["c"],"resources":{"r":{"revision":2,"fingerprint":"new",)"
       R"("observed_ms":2}},"intents":{"i":)" + record_nulls + R"(},"operation_keys":{},)"
       R"("source_sequences":{},"event_hashes":{},"normal_queue":[],"control_queue":[],)"
       R"("revision":0})"},
      // A command's operation may stand anywhere; keys it does not own are skipped.
      {rewritten<Command>, R"({"spec":7,"operation":"drain","limit":18446744073709551615})",
       R"({"operation":"drain","limit":18446744073709551615})"},
      {rewritten<Command>, R"({"operation":"expire","limit":5})", R"({"operation":"expire"})"},
      {rewritten<Command>, R"({"x":{"deep":[1,{"y":null}]},"operation":"recover"})", R"(["recover"])"},
      {rewritten<Command>, R"(["finish","i",{"status":"effect_unknown"}])",
       R"({"intent_id":"i","outcome":{"status":"effect_unknown"},"operation":"finish"})"},
      {rewritten<Entry>, R"({"hash":"h","result_hash":"r","command":["drain",1],)"
                         R"("previous_hash":"p","tick_ms":5,"sequence":1})", kEntry},
      {rewritten<Entry>, R"([1,5,"p",{"limit":1,"operation":"drain","x":0},"r","h"])", kEntry},
  };
  for (const auto& [read, input, same] : rows) {
    SCOPED_TRACE(input);
    ASSERT_EQ(read(same).find(" at line "), std::string::npos) << read(same);
    EXPECT_EQ(read(input), read(same));
  }
}

// A record's value form holds what its canonical text holds, with the keys
// sorted at every depth as any read value's are.
TEST(RecordJson, ValuesHaveSortedKeysAtEveryDepth) {
  const std::pair<Rewrite, std::string> rows[] = {
      {sorted<Command>, R"({"operation":"enqueue","event":)" + kEvent + R"(,"control":true})"},
      {sorted<State>, kState},
      {sorted<IntentRecord>, kRecord},
      {sorted<Config>, std::string(kDefaultConfigText)},
  };
  for (const auto& [read, text] : rows) {
    json::Reader reader(text);
    json::Value value;
    ASSERT_TRUE(reader.read_value(value) && reader.finish()) << reader.error();
    EXPECT_EQ(read(text), json::to_text(value));
  }
}

TEST(RecordJson, Refusals) {
  const std::string intent_fields =
      "one of `intent_id`, `action_id`, `action_version`, `resources`, `idempotency_key`, "
      "`ttl_ms`, `arguments`";
  expect_refusals({
      // Each closed record's field list, in declaration order.
      {rewritten<Config>, R"({"revision":1})",
       "unknown field `revision`, expected one of `workspace_id`, `capabilities`, "
       "`trusted_sources`, `normal_capacity`, `control_capacity`, `max_event_bytes`, "
       "`max_resources`, `max_intents`, `max_events`, `max_journal_entries`", R"("revision")"},
      {rewritten<ActionSpec>, R"({"action_id":"a","kind":1})",
       "unknown field `kind`, expected one of `action_id`, `version`, `required_capabilities`, "
       "`allow_write`, `max_resources`", R"("kind")"},
      {rewritten<Intent>, R"({"intent_id":"i","action_id":"a","extra":1})",
       "unknown field `extra`, expected " + intent_fields, R"("extra")"},
      {rewritten<Intent>, R"({"intent_id":"i","action_id":"a","resources":[{"revision":0}]})",
       "unknown field `revision`, expected one of `resource_id`, `expected_revision`, `access`",
       R"("revision")"},
      {rewritten<Outcome>, R"({"status":"effect_unknown","changed":[]})",
       "unknown field `changed`, expected one of `status`, `changed_resources`, "
       "`resource_fingerprints`, `evidence`", R"("changed")"},
      {rewritten<Journal>, R"({"schema_version":1,"extra":1})",
       "unknown field `extra`, expected one of `schema_version`, `config`, `checkpoint_state`, "
       "`checkpoint_sequence`, `checkpoint_tick_ms`, `checkpoint_parent_hash`, "
       "`checkpoint_hash`, `entries`", R"("extra")"},
      {rewritten<Entry>, R"({"sequence":1,"note":1})",
       "unknown field `note`, expected one of `sequence`, `tick_ms`, `previous_hash`, "
       "`command`, `result_hash`, `hash`", R"("note")"},
      // Open records still hold closed ones.
      {rewritten<IntentRecord>, R"({"intent":{"intent_id":"i","action_id":"a","note":1}})",
       "unknown field `note`, expected " + intent_fields, R"("note")"},
      {rewritten<State>, R"({"actions":{"a":{"action_id":"a","note":1}}})",
       "unknown field `note`, expected one of `action_id`, `version`, `required_capabilities`, "
       "`allow_write`, `max_resources`", R"("note")"},
      // Required fields, the first missing one in declaration order.
      {rewritten<ActionSpec>, R"({"version":2})", "missing field `action_id`"},
      {rewritten<Intent>, "{}", "missing field `intent_id`"},
      {rewritten<Intent>, R"({"intent_id":"i","action_id":"a","resources":[{"resource_id":"r",)"
                          R"("expected_revision":0}]})", "missing field `access`", "}]"},
      {rewritten<Outcome>, "{}", "missing field `status`"},
      {rewritten<IntentRecord>, R"({"status":"accepted"})", "missing field `intent`"},
      {rewritten<State>, "{}", "missing field `actions`"},
      {rewritten<State>, R"({"resources":{"r":{"revision":1,"fingerprint":"f"}}})",
       "missing field `observed_ms`", "}}}"},
      {rewritten<Journal>, R"({"schema_version":1})", "missing field `config`"},
      {rewritten<Entry>, R"({"sequence":1})", "missing field `tick_ms`"},
      // The positional form: a record's name and field count.
      {rewritten<Config>, R"(["w",[],[],1,1,256,1,1,1,32,0])",
       "invalid length 11, expected struct Config with 10 elements"},
      {rewritten<Intent>, R"(["i"])", "invalid length 1, expected struct Intent with 7 elements"},
      {rewritten<Intent>, R"({"intent_id":"i","action_id":"a","resources":[["r",0]]})",
       "invalid length 2, expected struct ResourceRef with 3 elements", "]]"},
      {rewritten<Entry>, R"([1,5,"p",["drain",1],"r"])",
       "invalid length 5, expected struct Entry with 6 elements"},
      // The shared readers of fields and records; commands and events pin the
  // rest of the shapes.
      {rewritten<Config>, R"({"max_events":1,"max_events":2})", "duplicate field `max_events`",
       R"("max_events":2)"},
      {rewritten<Config>, "5", "invalid type: integer `5`, expected struct Config", "5"},
      {rewritten<Config>, R"({"capabilities":["a",1]})", "invalid type: integer `1`, expected a string", "1]"},
      {rewritten<Config>, R"({"capabilities":"a"})", R"(invalid type: string "a", expected sequence)",
       R"("a")"},
      {rewritten<Intent>, R"({"intent_id":"i","action_id":"a","resources":{}})",
       "invalid type: map, expected sequence", "{}"},
      {rewritten<Outcome>, R"({"status":"effect_unknown","resource_fingerprints":[]})",
       "invalid type: sequence, expected map", "[]"},
      {rewritten<Journal>, R"({"schema_version":4294967296})",
       "invalid value: integer `4294967296`, expected u32", "4294967296"},
      {rewritten<Intent>, R"({"intent_id":"i","action_id":"a","resources":[["r",0,"Write"]]})",
       "unknown variant `Write`, expected `read` or `write`", R"("Write")"},
      {rewritten<Intent>, R"({"intent_id":"i","action_id":"a","resources":[["r",0,1]]})",
       "invalid type: integer `1`, expected enum Access", "1]"},
  });
  const std::pair<std::string_view, std::string_view> u64_refusals[] = {
      {"1e3", "invalid type: floating point `1000.0`, expected u64"},
      {"18446744073709551616", "invalid type: floating point `1.8446744073709552e+19`, expected u64"},
      {"true", "invalid type: boolean `true`, expected u64"},
  };
  for (const auto& [value, message] : u64_refusals) {
    expect_refusals({{rewritten<Config>, R"({"max_intents":)" + std::string(value) + "}",
                      std::string(message), std::string(value)}});
  }
}

TEST(StatusNames, NamesDisplayNamesAndTerminality) {
  const std::tuple<Status, std::string_view, std::string_view, bool> rows[] = {
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
  for (const auto& [status, name, display, terminal] : rows) {
    EXPECT_EQ(name_of(status), name);
    EXPECT_EQ(display_name(status), display);
    EXPECT_EQ(is_terminal(status), terminal) << name;
  }
}

}  // namespace
}  // namespace tallowmere::testing
