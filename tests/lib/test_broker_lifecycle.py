"""The broker driven from Python: a whole intent lifecycle through every
method, the result texts and the clock. Refusals are in test_arguments.py."""

import json

from records import action, cancel_event, intent, observed, outcome, text
from tallowmere._native import Broker


def test_full_lifecycle_through_every_method():
    broker = Broker(text({"capabilities": ["deploy"]}))
    resource = "svc/\u00e9\u2603"
    assert broker.register_action(action(required_capabilities=["deploy"])) == (
        '{"action_id":"deploy","allow_write":true,"max_resources":64,'
        '"required_capabilities":["deploy"],"version":1}')
    broker.observe(observed("e1", resource))
    before = broker.now_ms()
    arguments = {"b": 1, "a": {"d": 2, "c": [{"y": None, "x": "\u00e9"}]}}
    submitted = json.loads(broker.submit(intent("i1", resource, arguments=arguments, ttl_ms=60000)))
    assert submitted["duplicate"] is False and submitted["record"]["status"] == "accepted"
    assert before <= submitted["record"]["accepted_ms"] <= broker.now_ms()
    assert json.loads(broker.begin("i1"))["arguments"] == arguments
    report = outcome(changed=[resource], resource_fingerprints={resource: "v2"})
    assert json.loads(broker.finish("i1", report))["status"] == "completed_verified"

    broker.submit(intent("i2", resource, revision=1))
    broker.begin("i2")
    assert json.loads(broker.cancel("i2"))["status"] == "cancellation_requested"
    assert json.loads(broker.reconcile("i2", outcome("cancelled_verified")))["status"] == "cancelled"
    broker.submit(intent("i3", resource, revision=1))
    assert broker.revoke("deploy") == '{"affected":["i3"],"capability":"deploy","revoked":true}'
    assert broker.expire() == '{"expired":[]}'
    broker.enqueue(cancel_event("e2", "i3"), control=True)
    assert [item["event_id"] for item in json.loads(broker.drain(limit=64))] == ["e2"]

    snapshot = broker.snapshot()
    assert Broker.replay(broker.journal()) == broker.replay(broker.journal()) == snapshot
    # With nothing left open, recovery changes nothing.
    assert Broker.from_journal(broker.journal()).snapshot() == snapshot
    snapshot = json.loads(snapshot)
    assert {key: record["status"] for key, record in snapshot["state"]["intents"].items()} == {
        "i1": "completed_verified", "i2": "cancelled", "i3": "cancelled"}
    ticks = [entry["tick_ms"] for entry in json.loads(broker.journal())["entries"]]
    assert ticks == sorted(ticks) and ticks[-1] <= broker.now_ms()
    checkpoint = broker.checkpoint(snapshot["journal_tip"])
    assert json.loads(checkpoint)["sequence"] == snapshot["journal_sequence"]
    assert json.loads(broker.journal())["entries"] == []
