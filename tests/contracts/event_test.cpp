// Events: one flat object holding the event's own fields, "kind" and the
// payload's fields, and the order in which its problems are reported.

#include "contracts/event.h"

#include <gtest/gtest.h>

#include <string>

#include "record_test_support.h"

namespace tallowmere {
namespace {

using testing::accepted;
using testing::expect_canonical;
using testing::expect_refusals;

const std::string kObserved =
    R"({"event_id":"event","source_id":"runtime","source_sequence":1,"kind":"resource_observed",)"
    R"("resource_id":"resource","fingerprint":"fingerprint"})";
const std::string kCancel =
    R"({"event_id":"event","source_id":"verifier","source_sequence":2,"kind":"intent_cancel",)"
    R"("intent_id":"intent"})";
const std::string kRevoke =
    R"({"event_id":"event","source_id":"verifier","source_sequence":3,"kind":"capability_revoke",)"
    R"("capability":"capability"})";

// The three own fields, for texts that test the payload.
const std::string kOwn = R"("event_id":"e","source_id":"s","source_sequence":1)";

TEST(EventJson, ExamplesAreCanonical) {
  expect_canonical<Event>({kObserved, kCancel, kRevoke});
  EXPECT_EQ(accepted<Event>(kObserved),
            (Event{"event", "runtime", 1, ResourceObserved{"resource", "fingerprint"}}));
  EXPECT_EQ(accepted<Event>(kCancel), (Event{"event", "verifier", 2, IntentCancel{"intent"}}));
  EXPECT_EQ(accepted<Event>(kRevoke),
            (Event{"event", "verifier", 3, CapabilityRevoke{"capability"}}));
  EXPECT_FALSE(is_control(accepted<Event>(kObserved)));
  EXPECT_TRUE(is_control(accepted<Event>(kCancel)));
  EXPECT_TRUE(is_control(accepted<Event>(kRevoke)));
}

TEST(EventJson, KeysMayComeInAnyOrder) {
  const Event event = accepted<Event>(
      R"({"fingerprint":"fingerprint","kind":"resource_observed","source_sequence":1,)"
      R"( "resource_id" : "resource" ,"source_id":"runtime","event_id":"event"})");
  EXPECT_EQ(to_text(event), kObserved);
  EXPECT_EQ(accepted<Event>(R"({"kind":"intent_cancel","intent_id":"i",)" + kOwn + "}"),
            (Event{"e", "s", 1, IntentCancel{"i"}}));
  // Sequences start at 1 only by the rules of observation, not of the format.
  EXPECT_EQ(accepted<Event>(R"({"event_id":"e","source_id":"s","source_sequence":0,)"
                            R"("kind":"capability_revoke","capability":"c"})")
                .source_sequence,
            0u);
}

TEST(EventJson, PayloadRefusals) {
  expect_refusals<Event>({
      {"{" + kOwn + R"(,"kind":"intent_cancel","intent_id":"i","revision":1})",
       "unknown field `revision`, expected `intent_id`", R"("revision")"},
      {"{" + kOwn + R"(,"kind":"resource_observed","resource_id":"r","revision":1})",
       "unknown field `revision`, expected `resource_id` or `fingerprint`", R"("revision")"},
      {"{" + kOwn + R"(,"kind":"capability_revoke","intent_id":"i"})",
       "unknown field `intent_id`, expected `capability`", R"("intent_id")"},
      {"{" + kOwn + R"(,"kind":"resource_observed","resource_id":"r"})",
       "missing field `fingerprint`"},
      {"{" + kOwn + R"(,"kind":"intent_cancel"})", "missing field `intent_id`"},
      {"{" + kOwn + R"(,"kind":"intent_cancel","intent_id":"a","intent_id":"b"})",
       "duplicate field `intent_id`", R"("intent_id":"b")"},
      {"{" + kOwn + R"(,"kind":"capability_revoke","capability":null})",
       "invalid type: null, expected a string", "null"},
      {"{" + kOwn + R"(,"kind":"resource_observed_2"})",
       "unknown variant `resource_observed_2`, expected one of `resource_observed`, "
       "`intent_cancel`, `capability_revoke`",
       R"("resource_observed_2")"},
      {"{" + kOwn + R"(,"kind":7})", "invalid type: integer `7`, expected variant identifier",
       "7}"},
      {"{" + kOwn + R"(,"kind":"intent_cancel","kind":"intent_cancel","intent_id":"i"})",
       "duplicate field `kind`", R"("kind":"intent_cancel","intent_id")"},
      {"{" + kOwn + "}", "missing field `kind`"},
  });
  expect_refusals<Event>(testing::u64_refusals(
      R"({"event_id":"e","source_id":"s","kind":"intent_cancel","intent_id":"i",)"
      R"("source_sequence":)",
      "}"));
}

// Own fields are checked where they stand; every payload problem waits until
// the own fields are complete, then kind, then the first payload problem in
// key order, then the payload's missing fields.
TEST(EventJson, ReadingOrder) {
  expect_refusals<Event>({
      {"[]", "invalid type: sequence, expected struct Event", "["},
      {"\"e\"", R"(invalid type: string "e", expected struct Event)", "\""},
      // A syntax error anywhere in the object comes first.
      {R"({"event_id":1,"x":})", "expected value", "}"},
      // An own field's type or repetition fails at once, before payload problems.
      {R"({"revision":1,"intent_id":2,"kind":"intent_cancel","event_id":7})",
       "invalid type: integer `7`, expected a string", "7"},
      {R"({"bad":1,"event_id":"e","event_id":"f"})", "duplicate field `event_id`",
       R"("event_id":"f")"},
      // Missing own fields, in declaration order, before anything about kind.
      {R"({"source_id":"s","source_sequence":1})", "missing field `event_id`"},
      {R"({"kind":"nope","revision":1,"event_id":"e","source_sequence":1})",
       "missing field `source_id`"},
      {R"({"kind":"intent_cancel","revision":1,"event_id":"e","source_id":"s"})",
       "missing field `source_sequence`"},
      // Missing or unknown kind before the payload's keys.
      {R"({"revision":1,)" + kOwn + "}", "missing field `kind`"},
      {R"({"revision":1,"kind":"nope",)" + kOwn + "}",
       "unknown variant `nope`, expected one of `resource_observed`, `intent_cancel`, "
       "`capability_revoke`",
       R"("nope")"},
      // The first payload problem in key order wins, and beats missing payload fields.
      {R"({"fingerprint":1,"extra":2,"kind":"resource_observed",)" + kOwn + "}",
       "invalid type: integer `1`, expected a string", "1"},
      {R"({"extra":2,"fingerprint":1,"kind":"resource_observed",)" + kOwn + "}",
       "unknown field `extra`, expected `resource_id` or `fingerprint`", R"("extra")"},
      {R"({"resource_id":"r","resource_id":"r","extra":2,"kind":"resource_observed",)" + kOwn +
           "}",
       "duplicate field `resource_id`", R"("resource_id":"r","extra")"},
  });
}

TEST(EventValue, KeysComeOutSorted) {
  EXPECT_EQ(json::to_text(to_value(accepted<Event>(kObserved))),
            R"({"event_id":"event","fingerprint":"fingerprint","kind":"resource_observed",)"
            R"("resource_id":"resource","source_id":"runtime","source_sequence":1})");
  EXPECT_EQ(json::to_text(to_value(accepted<Event>(kRevoke))),
            R"({"capability":"capability","event_id":"event","kind":"capability_revoke",)"
            R"("source_id":"verifier","source_sequence":3})");
}

}  // namespace
}  // namespace tallowmere
