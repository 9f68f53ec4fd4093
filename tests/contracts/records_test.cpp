// Every record read and written: canonical texts write back to themselves,
// defaults and foreign keys, the sorted value form, and what each record
// refuses, in which order; then configuration validation, the journal's hash
// inputs and the status names.
//
// That whatever reads writes a text reading back equal and written again
// unchanged, its value form included, is the records fuzzer's
// (fuzz/records_fuzzer: "a record read back equals the one written").

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contracts/config.h"
#include "contracts/intent_record.h"
#include "contracts/journal.h"
#include "foundation/boundary.h"
#include "foundation/digest.h"
#include "foundation/record.h"

namespace tallowmere {
namespace {

const std::string kDefaultConfig =
    R"({"workspace_id":"default","capabilities":[],"trusted_sources":["runtime","verifier"],)"
    R"("normal_capacity":256,"control_capacity":32,"max_event_bytes":65536,)"
    R"("max_resources":4096,"max_intents":4096,"max_events":65536,"max_journal_entries":100000})";
const std::string kInitialState =
    R"({"actions":{},"capabilities":[],"resources":{},"intents":{},"operation_keys":{},)"
    R"("source_sequences":{},"event_hashes":{},"normal_queue":[],"control_queue":[],"revision":0})";
const std::string kEvent =
    R"({"event_id":"e","source_id":"runtime","source_sequence":1,"kind":"resource_observed",)"
    R"("resource_id":"r","fingerprint":"f"})";
const std::string kCancelEvent =
    R"({"event_id":"c","source_id":"verifier","source_sequence":2,"kind":"intent_cancel",)"
    R"("intent_id":"i"})";
const std::string kOutcome = R"({"status":"completed_verified","changed_resources":["r"],)"
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

template <class T>
bool read_text(std::string_view text, T& record, std::string& error) {
  return read_document(text, record, [](json::Reader& r, T& out) { return read(r, out); }, error);
}

// What reading `text` as a T gives: the record written back, or the reader's
// positioned error. Measuring a record agrees with writing it, and its value
// form, written through the value or directly, holds what its text holds with
// the keys sorted at every depth, as any read value's are.
template <class T>
std::string rewritten(std::string_view text) {
  T record{};
  std::string error;
  if (!read_text(text, record, error)) return error;
  const std::string written = to_text(record), sorted = json::to_text(to_value(record));
  json::Writer direct;
  write_sorted(direct, record);
  json::Reader reader(written);
  json::Value value;
  const bool read_back = reader.read_value(value) && reader.finish();
  if (text_length(record) != written.size() || direct.text() != sorted || !read_back ||
      json::to_text(value) != sorted) {
    return "length or value form differs: " + written;
  }
  return written;
}
using Rewrite = std::string (*)(std::string_view);

TEST(RecordJson, CanonicalTextsWriteBackToThemselves) {
  const std::pair<Rewrite, std::vector<std::string>> rows[] = {
      {rewritten<Config>,
       {kDefaultConfig,
        R"({"workspace_id":"w \u001f\n","capabilities":["a","b"],"trusted_sources":[],)"
        R"("normal_capacity":1,"control_capacity":2,"max_event_bytes":3,"max_resources":4,)"
        R"("max_intents":5,"max_events":6,"max_journal_entries":18446744073709551615})"}},
      {rewritten<Intent>, {kIntent}}, {rewritten<IntentRecord>, {kRecord}},
      {rewritten<Outcome>, {R"({"status":"failed_verified","changed_resources":[],)"
                            R"("resource_fingerprints":{},"evidence":null})"}},
      {rewritten<Event>, {kEvent, R"({"event_id":"v","source_id":"verifier","source_sequence":3,)"
                                  R"("kind":"capability_revoke","capability":"c"})"}},
      {rewritten<State>, {kInitialState, kState}},
      {rewritten<Command>,
       {R"({"operation":"register_action","spec":{"action_id":"a","version":18446744073709551615,)"
        R"("required_capabilities":["c"],"allow_write":true,"max_resources":0}})",
        R"({"operation":"observe","event":)" + kCancelEvent + "}",
        R"({"operation":"submit","intent":)" + kIntent + "}",
        R"({"operation":"begin","intent_id":"i"})",
        R"({"operation":"finish","intent_id":"i","outcome":)" + kOutcome + "}",
        R"({"operation":"reconcile","intent_id":"i","outcome":)" + kOutcome + "}",
        R"({"operation":"cancel","intent_id":"i"})", R"({"operation":"revoke","capability":"c"})",
        R"({"operation":"expire"})", R"({"operation":"drain","limit":1})", R"({"operation":"recover"})",
        R"({"operation":"enqueue","event":)" + kCancelEvent + R"(,"control":true})"}},
      {rewritten<Journal>,
       {R"({"schema_version":1,"config":)" + kDefaultConfig + R"(,"checkpoint_state":)" +
        kInitialState + R"(,"checkpoint_sequence":0,"checkpoint_tick_ms":0,)"
        R"("checkpoint_parent_hash":"genesis","checkpoint_hash":"g","entries":[)" + kEntry + "," +
        kEntry + "]}"}},
  };
  for (const auto& [read, texts] : rows) {
    for (const std::string& text : texts) EXPECT_EQ(read(text), text);
  }
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
      {rewritten<Config>, "{}", kDefaultConfig},
      {rewritten<Config>, R"(["w",["c"],["runtime","verifier"],256,32,65536,4096,4096,65536,40])",
       R"({"workspace_id":"w","capabilities":["c"],"max_journal_entries":40})"},
      {rewritten<ActionSpec>, R"({"action_id":"x"})",
       R"({"action_id":"x","version":1,"required_capabilities":[],"allow_write":false,"max_resources":64})"},
      {rewritten<ActionSpec>, R"(["a",2,["z","y","z"]])",
       R"({"action_id":"a","version":2,"required_capabilities":["y","z"]})"},
      {rewritten<Intent>, R"({"action_id":"a","intent_id":"i","idempotency_key":null})",
       R"({"intent_id":"i","action_id":"a","action_version":1,"resources":[],)"
       R"("idempotency_key":null,"ttl_ms":30000,"arguments":{}})"},
      {rewritten<Intent>, R"(["i","a"])", minimal_intent},
      {rewritten<Outcome>, R"({"status":"effect_unknown"})",
       R"({"status":"effect_unknown","changed_resources":[],"resource_fingerprints":{},"evidence":{}})"},
      {rewritten<IntentRecord>, R"({"intent":)" + minimal_intent + unknown_record + "}", record_nulls},
      {rewritten<IntentRecord>, "[" + minimal_intent + R"(,"running",1,2,null,null,false])", record_nulls},
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
       R"("source_sequences":{},"event_hashes":{},"normal_queue":[],"control_queue":[],"revision":0})"},
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
    ASSERT_EQ(read(same).find(" at line "), std::string::npos) << read(same);
    EXPECT_EQ(read(input), read(same)) << input;
  }
}

// A text that must be refused with `message`, placed at the first occurrence
// of `anchor` in the input, or at its last byte (the closing brace or bracket
// of the outer value) when there is no anchor.
struct Refusal {
  std::string input, message, anchor = {};
};

void expect_refusals(Rewrite read, const std::vector<Refusal>& rows) {
  for (const Refusal& row : rows) {
    const size_t at = row.anchor.empty() ? row.input.size() - 1 : row.input.find(row.anchor);
    ASSERT_NE(at, std::string::npos) << "anchor " << row.anchor;
    EXPECT_EQ(read(row.input), row.message + " at line 1 column " + std::to_string(at + 1)) << row.input;
  }
}

// The object is read whole first, then its "operation" tag, then the
// operation's fields, whose nested records stay closed. The array form gives
// the operation first and then exactly its fields.
TEST(CommandJson, ReadingOrder) {
  const std::string operations =
      "expected one of `register_action`, `observe`, `submit`, `begin`, `finish`, `reconcile`, "
      "`cancel`, `revoke`, `expire`, `enqueue`, `drain`, `recover`";
  const std::string outcome = R"({"status":"effect_unknown"})";
  expect_refusals(rewritten<Command>, {
      {"null", "invalid type: null, expected internally tagged enum Command", "null"},
      // The whole object first: syntax, then a repeated operation.
      {R"({"operation":"drain","operation":"x","limit":})", "expected value", "}"},
      {R"({"operation":"drain","limit":"x","operation":"drain"})", "duplicate field `operation`",
       R"("operation":"drain"})"},
      // Then a missing operation, whatever the other keys hold; then its value.
      {R"({"limit":"x"})", "missing field `operation`"},
      {R"({"limit":"x","operation":"Drain"})", "unknown variant `Drain`, " + operations, R"("Drain")"},
      {R"({"operation":5})", "invalid type: integer `5`, expected variant identifier", "5"},
      // Then the operation's fields.
      {R"({"operation":"drain"})", "missing field `limit`"},
      {R"({"operation":"drain","limit":1,"limit":2})", "duplicate field `limit`", R"("limit":2)"},
      {R"({"limit":"x","operation":"drain"})", R"(invalid type: string "x", expected u64)", R"("x")"},
      {R"({"operation":"finish","outcome":)" + outcome + "}", "missing field `intent_id`"},
      {R"({"operation":"enqueue","control":1})", "invalid type: integer `1`, expected a boolean", "1}"},
      {R"({"operation":"reconcile","intent_id":"i","outcome":{"status":"ok"}})",
       "unknown variant `ok`, expected one of `completed_verified`, `failed_verified`, "
       "`cancelled_verified`, `effect_unknown`", R"("ok")"},
      {R"({"operation":"observe","event":[]})", "invalid type: sequence, expected struct Event", "[]"},
      // The array form; a longer array fails the same way, counting every value given.
      {"[]", "missing field `operation`"},
      {R"(["finish","intent"])", "invalid length 1, expected struct variant Command::Finish with 2 elements"},
      {R"(["begin"])", "invalid length 0, expected struct variant Command::Begin with 1 element"},
      {R"(["drain",4,5])", "invalid length 2, expected struct variant Command::Drain with 1 element"},
      {R"(["expire",1])", "invalid length 1, expected struct variant Command::Expire with 0 elements"},
      {R"(["drain",-4])", "invalid value: integer `-4`, expected u64", "-4"},
      {R"(["Drain",4])", "unknown variant `Drain`, " + operations, R"("Drain")"},
  });
}

// Events are one flat object: the event's own fields, "kind" and the
// payload's fields. Own fields are checked where they stand; every payload
// problem waits until the own fields are complete, then kind, then the first
// payload problem in key order, then the payload's missing fields.
TEST(EventJson, ReadingOrder) {
  const std::string own = R"("event_id":"e","source_id":"s","source_sequence":1)";
  const std::string kinds = "expected one of `resource_observed`, `intent_cancel`, `capability_revoke`";
  expect_refusals(rewritten<Event>, {
      {"[]", "invalid type: sequence, expected struct Event", "["},
      {R"({"event_id":1,"x":})", "expected value", "}"},
      {R"({"revision":1,"intent_id":2,"kind":"intent_cancel","event_id":7})",
       "invalid type: integer `7`, expected a string", "7"},
      {R"({"bad":1,"event_id":"e","event_id":"f"})", "duplicate field `event_id`", R"("event_id":"f")"},
      {R"({"source_id":"s","source_sequence":1})", "missing field `event_id`"},
      {R"({"kind":"nope","revision":1,"event_id":"e","source_sequence":1})", "missing field `source_id`"},
      {R"({"kind":"intent_cancel","event_id":"e","source_id":"s"})", "missing field `source_sequence`"},
      {R"({"revision":1,)" + own + "}", "missing field `kind`"},
      {"{" + own + R"(,"kind":"intent_cancel","kind":"intent_cancel","intent_id":"i"})",
       "duplicate field `kind`", R"("kind":"intent_cancel","intent_id")"},
      {R"({"revision":1,"kind":"nope",)" + own + "}", "unknown variant `nope`, " + kinds, R"("nope")"},
      {"{" + own + R"(,"kind":7})", "invalid type: integer `7`, expected variant identifier", "7}"},
      {R"({"fingerprint":1,"extra":2,"kind":"resource_observed",)" + own + "}",
       "invalid type: integer `1`, expected a string", "1"},
      {R"({"extra":2,"fingerprint":1,"kind":"resource_observed",)" + own + "}",
       "unknown field `extra`, expected `resource_id` or `fingerprint`", R"("extra")"},
      {R"({"resource_id":"r","resource_id":"r","extra":2,"kind":"resource_observed",)" + own + "}",
       "duplicate field `resource_id`", R"("resource_id":"r","extra")"},
      {"{" + own + R"(,"kind":"intent_cancel","intent_id":"i","revision":1})",
       "unknown field `revision`, expected `intent_id`", R"("revision")"},
      {"{" + own + R"(,"kind":"capability_revoke","intent_id":"i"})",
       "unknown field `intent_id`, expected `capability`", R"("intent_id")"},
      {"{" + own + R"(,"kind":"resource_observed","resource_id":"r"})", "missing field `fingerprint`"},
  });
}

// Each closed record's field list in declaration order, also inside open
// records; the first missing required field; the positional form's name and
// field count; and the shared field readers' messages, pinned once each.
TEST(RecordJson, Refusals) {
  const std::string intent_fields =
      "one of `intent_id`, `action_id`, `action_version`, `resources`, `idempotency_key`, "
      "`ttl_ms`, `arguments`";
  const std::string action_fields =
      "one of `action_id`, `version`, `required_capabilities`, `allow_write`, `max_resources`";
  const std::string ia = R"({"intent_id":"i","action_id":"a",)";
  expect_refusals(rewritten<Config>, {
      {R"({"revision":1})", "unknown field `revision`, expected one of `workspace_id`, `capabilities`, "
       "`trusted_sources`, `normal_capacity`, `control_capacity`, `max_event_bytes`, "
       "`max_resources`, `max_intents`, `max_events`, `max_journal_entries`", R"("revision")"},
      {R"(["w",[],[],1,1,256,1,1,1,32,0])", "invalid length 11, expected struct Config with 10 elements"},
      {R"({"max_events":1,"max_events":2})", "duplicate field `max_events`", R"("max_events":2)"},
      {"5", "invalid type: integer `5`, expected struct Config", "5"},
      {R"({"capabilities":["a",1]})", "invalid type: integer `1`, expected a string", "1]"},
      {R"({"capabilities":"a"})", R"(invalid type: string "a", expected sequence)", R"("a")"},
      {R"({"max_intents":1e3})", "invalid type: floating point `1000.0`, expected u64", "1e3"},
      {R"({"max_intents":18446744073709551616})",
       "invalid type: floating point `1.8446744073709552e+19`, expected u64", "18446744073709551616"},
      {R"({"max_intents":true})", "invalid type: boolean `true`, expected u64", "true"},
  });
  expect_refusals(rewritten<ActionSpec>, {
      {R"({"action_id":"a","kind":1})", "unknown field `kind`, expected " + action_fields, R"("kind")"},
      {R"({"version":2})", "missing field `action_id`"},
  });
  expect_refusals(rewritten<Intent>, {
      {ia + R"("extra":1})", "unknown field `extra`, expected " + intent_fields, R"("extra")"},
      {ia + R"("resources":[{"revision":0}]})",
       "unknown field `revision`, expected one of `resource_id`, `expected_revision`, `access`",
       R"("revision")"},
      {"{}", "missing field `intent_id`"},
      {ia + R"("resources":[{"resource_id":"r","expected_revision":0}]})", "missing field `access`", "}]"},
      {R"(["i"])", "invalid length 1, expected struct Intent with 7 elements"},
      {ia + R"("resources":[["r",0]]})", "invalid length 2, expected struct ResourceRef with 3 elements", "]]"},
      {ia + R"("resources":{}})", "invalid type: map, expected sequence", "{}"},
      {ia + R"("resources":[["r",0,"Write"]]})", "unknown variant `Write`, expected `read` or `write`",
       R"("Write")"},
      {ia + R"("resources":[["r",0,1]]})", "invalid type: integer `1`, expected enum Access", "1]"},
  });
  expect_refusals(rewritten<Outcome>, {
      {R"({"status":"effect_unknown","changed":[]})", "unknown field `changed`, expected one of "
       "`status`, `changed_resources`, `resource_fingerprints`, `evidence`", R"("changed")"},
      {"{}", "missing field `status`"},
      {R"({"status":"effect_unknown","resource_fingerprints":[]})", "invalid type: sequence, expected map",
       "[]"},
  });
  expect_refusals(rewritten<Journal>, {
      {R"({"schema_version":1,"extra":1})", "unknown field `extra`, expected one of `schema_version`, "
       "`config`, `checkpoint_state`, `checkpoint_sequence`, `checkpoint_tick_ms`, "
       "`checkpoint_parent_hash`, `checkpoint_hash`, `entries`", R"("extra")"},
      {R"({"schema_version":1})", "missing field `config`"},
      {R"({"schema_version":4294967296})", "invalid value: integer `4294967296`, expected u32",
       "4294967296"},
  });
  expect_refusals(rewritten<Entry>, {
      {R"({"sequence":1,"note":1})", "unknown field `note`, expected one of `sequence`, `tick_ms`, "
       "`previous_hash`, `command`, `result_hash`, `hash`", R"("note")"},
      {R"({"sequence":1})", "missing field `tick_ms`"},
      {R"([1,5,"p",["drain",1],"r"])", "invalid length 5, expected struct Entry with 6 elements"},
  });
  expect_refusals(rewritten<IntentRecord>, {
      {R"({"intent":{"intent_id":"i","action_id":"a","note":1}})",
       "unknown field `note`, expected " + intent_fields, R"("note")"},
      {R"({"status":"accepted"})", "missing field `intent`"},
  });
  expect_refusals(rewritten<State>, {
      {R"({"actions":{"a":{"action_id":"a","note":1}}})", "unknown field `note`, expected " + action_fields,
       R"("note")"},
      {"{}", "missing field `actions`"},
      {R"({"resources":{"r":{"revision":1,"fingerprint":"f"}}})", "missing field `observed_ms`", "}}}"},
  });
}

std::string validated(const Config& config) {
  const Check check = validate(config);
  return check ? "" : check.error();
}

// Every bound at its edges, and the order in which the checks run.
TEST(ConfigValidation, BoundsAndOrder) {
  const std::string identifier = "invalid_identifier: identifiers must contain 1..512 non-control bytes";
  const std::string bounds = "invalid_config: capacity bounds violated";
  const std::tuple<uint64_t Config::*, uint64_t, uint64_t> edges[] = {
      {&Config::normal_capacity, 1, 65536}, {&Config::control_capacity, 1, 4096},
      {&Config::max_event_bytes, 256, 1048576}, {&Config::max_resources, 1, 100000},
      {&Config::max_intents, 1, 100000}, {&Config::max_events, 1, 1000000},
      {&Config::max_journal_entries, 32, UINT64_MAX},
  };
  for (const auto& [field, lowest, highest] : edges) {
    for (const uint64_t value : {lowest - 1, lowest, highest, highest + 1}) {
      Config config;
      config.*field = value;
      const bool inside = value >= lowest && value <= highest;
      EXPECT_EQ(validated(config), inside ? "" : bounds) << lowest << ".." << highest << ": " << value;
    }
  }
  const std::pair<std::string, std::string> order[] = {
      {R"({"workspace_id":"","normal_capacity":0})", identifier},
      {R"({"capabilities":[""],"max_events":0})", bounds},
      {R"({"trusted_sources":[""],"max_intents":0})", bounds},
      {R"({"capabilities":["a",""],"trusted_sources":[""]})", identifier},
      {R"({"trusted_sources":["runtime","a\u0085"]})", identifier}, {R"({"trusted_sources":[]})", ""},
  };
  for (const auto& [text, error] : order) {
    Config config;
    std::string read_error;
    ASSERT_TRUE(read_text(text, config, read_error)) << read_error;
    EXPECT_EQ(validated(config), error) << text;
  }
}

// A parent hash is written as a string, escapes and all. The plain inputs
// and SHA-256 itself are checked where the binding tests forge journals with
// hashlib (tests/lib/test_journal.py, tests/durable/test_durable.py).
TEST(JournalHashes, TheParentIsWrittenAsAString) {
  EXPECT_EQ(checkpoint_digest(Config{}, initial_state(Config{}), 3, 4, "a\"b\n"),
            sha256_hex("[" + kDefaultConfig + "," + kInitialState + R"(,3,4,"a\"b\n"])"));
}

TEST(StatusNames, NamesDisplayNamesAndTerminality) {
  const std::tuple<Status, std::string_view, std::string_view, bool> rows[] = {
      {Status::Accepted, "accepted", "Accepted", false}, {Status::Running, "running", "Running", false},
      {Status::CancellationRequested, "cancellation_requested", "CancellationRequested", false},
      {Status::CompletedVerified, "completed_verified", "CompletedVerified", true},
      {Status::FailedVerified, "failed_verified", "FailedVerified", true},
      {Status::Cancelled, "cancelled", "Cancelled", true}, {Status::Expired, "expired", "Expired", true},
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
}  // namespace tallowmere
