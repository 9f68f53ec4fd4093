// Events are one flat object: the event's own fields, "kind" and the
// payload's fields. Own fields are checked where they stand; every payload
// problem waits until the own fields are complete, then kind, then the first
// payload problem in key order, then the payload's missing fields.

#include <gtest/gtest.h>

#include <string>

#include "record_test_support.h"

namespace tallowmere::testing {
namespace {

TEST(EventJson, ReadingOrder) {
  const std::string own = R"("event_id":"e","source_id":"s","source_sequence":1)";
  const std::string kinds =
      "expected one of `resource_observed`, `intent_cancel`, `capability_revoke`";
  const Rewrite event = rewritten<Event>;
  expect_refusals({
      {event, "[]", "invalid type: sequence, expected struct Event", "["},
      // A syntax error anywhere in the object comes first.
      {event, R"({"event_id":1,"x":})", "expected value", "}"},
      // An own field's type or repetition fails at once, before payload problems.
      {event, R"({"revision":1,"intent_id":2,"kind":"intent_cancel","event_id":7})",
       "invalid type: integer `7`, expected a string", "7"},
      {event, R"({"bad":1,"event_id":"e","event_id":"f"})", "duplicate field `event_id`",
       R"("event_id":"f")"},
      // Missing own fields, in declaration order, before anything about kind.
      {event, R"({"source_id":"s","source_sequence":1})", "missing field `event_id`"},
      {event, R"({"kind":"nope","revision":1,"event_id":"e","source_sequence":1})",
       "missing field `source_id`"},
      {event, R"({"kind":"intent_cancel","event_id":"e","source_id":"s"})",
       "missing field `source_sequence`"},
      // Missing, repeated or unknown kind before the payload's keys.
      {event, R"({"revision":1,)" + own + "}", "missing field `kind`"},
      {event, "{" + own + R"(,"kind":"intent_cancel","kind":"intent_cancel","intent_id":"i"})",
       "duplicate field `kind`", R"("kind":"intent_cancel","intent_id")"},
      {event, R"({"revision":1,"kind":"nope",)" + own + "}", "unknown variant `nope`, " + kinds,
       R"("nope")"},
      {event, "{" + own + R"(,"kind":7})", "invalid type: integer `7`, expected variant identifier",
       "7}"},
      // The first payload problem in key order wins over missing payload fields.
      {event, R"({"fingerprint":1,"extra":2,"kind":"resource_observed",)" + own + "}",
       "invalid type: integer `1`, expected a string", "1"},
      {event, R"({"extra":2,"fingerprint":1,"kind":"resource_observed",)" + own + "}",
       "unknown field `extra`, expected `resource_id` or `fingerprint`", R"("extra")"},
      {event, R"({"resource_id":"r","resource_id":"r","extra":2,"kind":"resource_observed",)" +
                  own + "}",
       "duplicate field `resource_id`", R"("resource_id":"r","extra")"},
      {event, "{" + own + R"(,"kind":"intent_cancel","intent_id":"i","revision":1})",
       "unknown field `revision`, expected `intent_id`", R"("revision")"},
      {event, "{" + own + R"(,"kind":"capability_revoke","intent_id":"i"})",
       "unknown field `intent_id`, expected `capability`", R"("intent_id")"},
      {event, "{" + own + R"(,"kind":"resource_observed","resource_id":"r"})",
       "missing field `fingerprint`"},
  });
}

}  // namespace
}  // namespace tallowmere::testing
