// Registration and submission: every check in its order, idempotent repeats,
// leases, and the expiry pass that belongs to the submitting transaction.
#include <gtest/gtest.h>

#include <functional>

#include "broker_fixtures.h"

namespace tallowmere::testing {
namespace {

TEST(Registration, ChecksInOrder) {
  Config config = config_with();
  config.max_resources = 2;
  Harness h(config);
  const std::string act =
      R"({"action_id":"act","allow_write":true,"max_resources":64,"required_capabilities":[],"version":1})";
  const std::string bounds = "invalid_action: version must be positive and max_resources <=64";
  auto spec = [](std::function<void(ActionSpec&)> edit) {
    ActionSpec s = action("new");
    edit(s);
    return s;
  };
  const std::pair<ActionSpec, std::string> cases[] = {
      {action("act"), act},
      {spec([](ActionSpec& s) { s.action_id = ""; s.version = 0; }), kIdentifierError},
      {spec([](ActionSpec& s) { s.version = 0; s.required_capabilities = {""}; }), bounds},
      {spec([](ActionSpec& s) { s.max_resources = 65; }), bounds},
      {spec([](ActionSpec& s) { s.required_capabilities = {"ok", ""}; }), kIdentifierError},
      {spec([](ActionSpec& s) { s.action_id = "act"; s.version = 2; }),
       "immutable_action: register a new action ID/version instead of replacing a contract"},
      // An ungranted capability is fine.
      {spec([](ActionSpec& s) { s.required_capabilities = {"x"}; s.max_resources = 0; }),
       R"({"action_id":"new","allow_write":true,"max_resources":0,"required_capabilities":["x"],"version":1})"},
      {spec([](ActionSpec& s) { s.action_id = "third"; }), "action_limit: registry full"},
      {action("act"), act},  // an identical repeat passes a full registry
  };
  for (const auto& [spec, answer] : cases) EXPECT_EQ(h.run(RegisterAction{spec}), answer);
}

// Actions act (writes), ro (reads, one resource), capped (needs "deploy",
// which is revoked), v2 (version 2); resources r and busy at revision 0 and s
// at revision 1; intent "held" reads busy, "idem" carries idempotency key k.
Harness world(Config config = config_with()) {
  Harness h(config);
  h.prepare({"r", "s", "busy"});
  ActionSpec ro = action("ro", false);
  ro.max_resources = 1;
  ActionSpec v2 = action("v2");
  v2.version = 2;
  for (const ActionSpec& spec : {ro, action("capped", true, {"deploy"}), v2}) h.run(RegisterAction{spec});
  h.run(Revoke{"deploy"});
  h.run(Observe{observed("s-changed", 100, "s", "f1")});
  h.run(Submit{intent("held", "act", {reads("busy")})});
  Intent idem = intent("idem", "act", {reads("r")});
  idem.idempotency_key = "k";
  h.run(Submit{idem});
  return h;
}

Intent edited(std::function<void(Intent&)> edit) {
  Intent out = intent("new", "act", {writes("r")});
  edit(out);
  return out;
}

TEST(Submission, ChecksInOrder) {
  const std::string ttl = "invalid_ttl: ttl_ms must be 1..86400000";
  const std::string idempotency =
      "idempotency_collision: operation key reused for different action arguments/resources";
  const std::string collision = "intent_collision: intent ID reused for different operation";
  const json::CanonicalText other_arguments = host_value(R"({"a":true})");
  const std::pair<Intent, std::string> cases[] = {
      {edited([](Intent& i) { i.idempotency_key = ""; i.arguments = host_value("null"); }), kIdentifierError},
      {edited([](Intent& i) { i.arguments = host_value("[]"); i.ttl_ms = 0; }),
       "invalid_arguments: arguments must be an object"},
      {edited([](Intent& i) { i.ttl_ms = 0; i.resources.push_back(reads("r")); }), ttl},
      {edited([](Intent& i) { i.ttl_ms = 86400001; }), ttl},
      {edited([](Intent& i) { i.resources = {reads(""), writes("r"), reads("r")}; }),
       "duplicate_resource: resource references must be unique"},
      {edited([](Intent& i) { i.intent_id = "held"; i.resources = {reads("")}; }), kIdentifierError},
      {edited([&](Intent& i) { i.intent_id = "held"; i.resources = {reads("busy")}; i.arguments = other_arguments; }),
       collision},
      {edited([](Intent& i) { i.intent_id = "idem"; i.resources = {reads("r")}; i.idempotency_key = "other"; }),
       collision},
      {edited([&](Intent& i) { i.idempotency_key = "k"; i.resources = {reads("r")}; i.arguments = other_arguments; }),
       idempotency},
      {edited([](Intent& i) { i.idempotency_key = "k"; i.resources = {reads("r")}; i.action_version = 2; }),
       idempotency},
      {edited([](Intent& i) { i.action_id = "nope"; i.action_version = 3; }), "unregistered_action: nope"},
      {edited([](Intent& i) { i.action_id = "capped"; i.action_version = 2; }),
       "action_version: registered action version differs"},
      {edited([](Intent& i) { i.action_id = "capped"; i.resources = {writes("x")}; }),
       "capability_denied: required capability absent/revoked"},
      {edited([](Intent& i) { i.action_id = "ro"; i.resources = {writes("r"), writes("x")}; }),
       "resource_limit: action resource bound exceeded"},
      {edited([](Intent& i) { i.action_id = "ro"; i.resources = {writes("x")}; }),
       "write_denied: registered action cannot write"},
      {edited([](Intent& i) { i.resources = {writes("x"), reads("s", 0)}; }), "unknown_resource: x"},
      {edited([](Intent& i) { i.resources = {reads("s", 0), writes("x")}; }), "stale_revision: s"},
      {edited([](Intent& i) { i.resources = {writes("busy")}; }), "lease_conflict: held"},
  };
  Harness h = world();
  for (const auto& [submitted, answer] : cases) EXPECT_EQ(h.run(Submit{submitted}, 50), answer);
}

TEST(Submission, AcceptsWithADeadlineAndAnswersRepeats) {
  Harness h = world();
  Intent fresh = intent("new", "act", {reads("r", 0), reads("s", 1)}, 86400000);
  fresh.idempotency_key = "key";
  const std::string accepted = h.run(Submit{fresh}, 7);
  EXPECT_EQ(accepted, R"({"duplicate":false,"record":)" + value_of(h.record("new")) + "}");
  EXPECT_EQ(h.record("new").intent, fresh);
  EXPECT_EQ(h.record("new").status, Status::Accepted);
  EXPECT_EQ(h.record("new").accepted_ms, 7u);
  EXPECT_EQ(h.record("new").expires_ms, 86400007u);
  EXPECT_EQ(h.core.state().operation_keys.at("3:act:key"), "new");
  // A retry may change the deadline and, under the same key, the intent id.
  Intent retried = fresh;
  retried.ttl_ms = 5;
  EXPECT_EQ(h.run(Submit{retried}, 8).rfind(R"({"duplicate":true,"record":{"accepted_ms":7,)", 0), 0u);
  retried.intent_id = "other";
  EXPECT_NE(h.run(Submit{retried}, 8).find(R"("intent_id":"new")"), std::string::npos);
  EXPECT_FALSE(h.core.state().intents.contains("other"));
  EXPECT_EQ(h.run(Submit{intent("late", "act", {}, 6)}, UINT64_MAX - 5), "deadline_overflow");
  EXPECT_EQ(h.run(Submit{intent("late", "act", {}, 5)}, UINT64_MAX - 5).substr(0, 20), R"({"duplicate":false,")");
}

TEST(Submission, LedgerLimitCountsTerminalIntentsButNotRepeats) {
  Config config = config_with();
  config.max_intents = 3;
  Harness h = world(config);
  h.run(Submit{intent("done", "act")});
  h.run(Cancel{"done"});
  const std::string full = "intent_limit: intent ledger full; archive rather than forgetting duplicate identities";
  EXPECT_EQ(h.run(Submit{intent("new", "act")}), full);
  // Later checks do not run: the unregistered action is not reported.
  EXPECT_EQ(h.run(Submit{intent("new", "nope")}), full);
  EXPECT_EQ(h.run(Submit{intent("done", "act")}).rfind(R"({"duplicate":true)", 0), 0u);
}

TEST(Submission, ExpiryPassIsPartOfTheTransaction) {
  Harness h;
  h.prepare({"r", "s"});
  h.run(Observe{observed("s-changed", 100, "s", "f1")});
  h.run(Submit{intent("old", "act", {writes("r")}, 10)}, 0);
  // The submission expires "old" first, then fails on its own stale
  // reference: the expiry is discarded with it.
  EXPECT_EQ(h.run(Submit{intent("new", "act", {writes("r"), reads("s", 0)})}, 10), "stale_revision: s");
  // One millisecond early the old lease still holds.
  EXPECT_EQ(h.run(Submit{intent("new", "act", {writes("r")})}, 9), "lease_conflict: old");
  EXPECT_EQ(h.run(Submit{intent("new", "act", {writes("r")})}, 10).substr(0, 20), R"({"duplicate":false,")");
  EXPECT_EQ(h.record("old").status, Status::Expired);
  EXPECT_EQ(h.record("old").finished_ms, 10u);
}

}  // namespace
}  // namespace tallowmere::testing
