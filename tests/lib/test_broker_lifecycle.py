"""The broker driven from Python: construction, a whole intent lifecycle,
result texts, failed calls and the clock."""

import json
import pathlib
import sys

import pytest

from tallowmere._native import Broker, BrokerError

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from broker_records import (  # noqa: E402
    action, cancel_event, intent, is_canonical_value, observed, outcome, text)


def journal_of(broker):
    return json.loads(broker.journal())


@pytest.mark.parametrize("args", [(), ("{}",), ("[]",), (" {} \r\n",)])
def test_default_configuration_spellings_build_equal_brokers(args):
    broker = Broker(*args)
    assert broker.journal() == Broker().journal()
    assert json.loads(broker.snapshot())["journal_sequence"] == 0
    assert 0 <= broker.now_ms() < 5000


@pytest.mark.parametrize(
    "config, message",
    [
        ({"normal_capacity": 0}, "invalid_config: capacity bounds violated"),
        ({"workspace_id": "", "normal_capacity": 0},
         "invalid_identifier: identifiers must contain 1..512 non-control bytes"),
        ({"revision": 1}, "invalid_json: unknown field `revision`, expected one of "
         "`workspace_id`, `capabilities`, `trusted_sources`, `normal_capacity`, "
         "`control_capacity`, `max_event_bytes`, `max_resources`, `max_intents`, "
         "`max_events`, `max_journal_entries` at line 1 column 2"),
    ],
)
def test_a_refused_configuration_builds_no_broker(config, message):
    with pytest.raises(BrokerError) as caught:
        Broker(text(config))
    assert caught.value.args == (message,)


def test_full_lifecycle_through_every_method():
    broker = Broker(text({"capabilities": ["deploy"]}))
    assert broker.register_action(action(required_capabilities=["deploy"])) == (
        '{"action_id":"deploy","allow_write":true,"max_resources":64,'
        '"required_capabilities":["deploy"],"version":1}')
    broker.observe(observed("e1", "svc"))
    arguments = {"b": 1, "a": {"d": 2, "c": 3}}
    submitted = json.loads(broker.submit(intent("i1", "svc", arguments=arguments)))
    assert submitted["duplicate"] is False and submitted["record"]["status"] == "accepted"
    began = json.loads(broker.begin("i1"))
    assert began["admitted"] is True and began["arguments"] == {"a": {"c": 3, "d": 2}, "b": 1}
    report = outcome(changed=["svc"], resource_fingerprints={"svc": "v2"})
    finished = broker.finish("i1", report)
    assert json.loads(finished)["status"] == "completed_verified"
    # The same report again is answered and leaves no trace.
    entries = len(journal_of(broker)["entries"])
    assert broker.finish("i1", report) == finished
    assert len(journal_of(broker)["entries"]) == entries

    broker.submit(intent("i2", "svc", revision=1))
    broker.begin("i2")
    assert json.loads(broker.cancel("i2"))["status"] == "cancellation_requested"
    reconciled = json.loads(broker.reconcile("i2", outcome("cancelled_verified")))
    assert reconciled["status"] == "cancelled"
    broker.submit(intent("i3", "svc", revision=1))
    assert json.loads(broker.revoke("deploy")) == {
        "affected": ["i3"], "capability": "deploy", "revoked": True}
    assert broker.expire() == '{"expired":[]}'
    broker.enqueue(cancel_event("e2", "i3"), control=True)
    drained = json.loads(broker.drain(limit=64))
    assert [item["event_id"] for item in drained] == ["e2"]

    snapshot = broker.snapshot()
    assert Broker.replay(broker.journal()) == broker.replay(broker.journal()) == snapshot
    intents = json.loads(snapshot)["state"]["intents"]
    assert {key: record["status"] for key, record in intents.items()} == {
        "i1": "completed_verified", "i2": "cancelled", "i3": "cancelled"}
    tip = json.loads(snapshot)["journal_tip"]
    sequence = json.loads(snapshot)["journal_sequence"]
    assert json.loads(broker.checkpoint(tip))["sequence"] == sequence
    assert journal_of(broker)["entries"] == []


def test_results_are_compact_with_sorted_keys_at_every_level():
    broker = Broker()
    broker.register_action(action())
    resource = "r\u00e9/\u2603"
    broker.observe(observed("e", resource))
    results = [
        broker.submit(intent("i", resource, arguments={"z": [{"y": 1, "x": None}], "a": "\u00e9"})),
        broker.begin("i"),
        broker.finish("i", outcome(changed=[resource], evidence={"b": {"d": 1, "c": 2}, "a": 0})),
        broker.snapshot(),
        broker.expire(),
        broker.drain(),
    ]
    for result in results:
        assert is_canonical_value(result), result


def test_a_failed_call_changes_nothing():
    broker = Broker(text({"capabilities": ["deploy"]}))
    broker.register_action(action(required_capabilities=["deploy"]))
    broker.observe(observed("e1", "svc"))
    broker.submit(intent("i1", "svc"))
    failures = [
        (lambda: broker.register_action(action(version=2, required_capabilities=["deploy"])),
         "immutable_action: register a new action ID/version instead of replacing a contract"),
        (lambda: broker.observe(observed("e1", "svc", "other")),
         "event_collision: event ID reused with different payload"),
        (lambda: broker.submit(intent("i2", "svc")), "lease_conflict: i1"),
        (lambda: broker.submit("{\"intent_id\":\"i9\"}"),
         "invalid_json: missing field `action_id` at line 1 column 18"),
        (lambda: broker.begin(""), "unknown_intent: "),
        (lambda: broker.finish("i1", outcome()), "outcome_transition: finish requires running; "
         "reconcile requires unknown/cancel-requested"),
        (lambda: broker.revoke("bad\n"),
         "invalid_identifier: identifiers must contain 1..512 non-control bytes"),
        (lambda: broker.enqueue(observed("e3", "svc"), True),
         "queue_class: control flag must match event kind"),
        (lambda: broker.drain(0), "drain_limit: limit must be 1..64"),
        (lambda: broker.checkpoint("genesis"), "checkpoint_mismatch: acknowledged tip differs"),
    ]
    journal, snapshot = broker.journal(), broker.snapshot()
    for call, message in failures:
        with pytest.raises(BrokerError) as caught:
            call()
        assert caught.value.args == (message,)
        assert broker.journal() == journal and broker.snapshot() == snapshot


def test_ticks_come_from_the_brokers_own_clock():
    broker = Broker()
    broker.register_action(action())
    broker.observe(observed("e", "r"))
    before = broker.now_ms()
    record = json.loads(broker.submit(intent("i", "r", ttl_ms=1)))["record"]
    after = broker.now_ms()
    assert before <= record["accepted_ms"] <= after
    assert record["expires_ms"] == record["accepted_ms"] + 1
    ticks = [entry["tick_ms"] for entry in journal_of(broker)["entries"]]
    assert ticks == sorted(ticks) and ticks[-1] == record["accepted_ms"]
