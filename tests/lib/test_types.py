"""The TypedDicts of tallowmere.types against what the module really reads and
writes: a run through every method, whose values a host relies on are
checked on the way, gives results, snapshots and journals that match their
types key for key, and every input type marks required exactly the keys whose
absence the module refuses."""

import json
import time
import types
import typing

import pytest

from records import LINEAR, TREES, action, cancel_event, intent, observed, outcome, text
from tallowmere import Broker, BrokerError, LinearScorer, TreeScorer
from tallowmere import types as t


def mismatch(kind, value, path="value"):
    """Where `value` departs from the annotation `kind`, or None."""
    origin, args = typing.get_origin(kind), typing.get_args(kind)
    if isinstance(kind, typing.TypeAliasType):
        return mismatch(kind.__value__, value, path)
    if kind is typing.Any:
        return None
    if typing.is_typeddict(kind):
        if not isinstance(value, dict):
            return f"{path}: {value!r} is not a {kind.__name__}"
        keys = kind.__required_keys__ | kind.__optional_keys__
        if not kind.__required_keys__ <= value.keys() <= keys:
            return f"{path}: keys {sorted(value)} are not those of {kind.__name__}"
        hints = typing.get_type_hints(kind)
        return next(filter(None, (mismatch(hints[key], item, f"{path}.{key}")
                                  for key, item in value.items())), None)
    if origin in (typing.Union, types.UnionType):
        found = [mismatch(arg, value, path) for arg in args]
        return None if None in found else " / ".join(found)
    if origin is typing.Literal:
        return None if value in args and type(value) is type(args[0]) else f"{path}: {value!r}"
    if origin is list:
        return (f"{path}: not a list" if not isinstance(value, list) else next(filter(None, (
            mismatch(args[0], item, f"{path}[{i}]") for i, item in enumerate(value))), None))
    if origin is dict:
        return (f"{path}: not an object" if not isinstance(value, dict) else next(filter(None, (
            mismatch(args[1], item, f"{path}[{key!r}]") for key, item in value.items())), None))
    wanted = (int, float) if kind is float else kind
    ok = isinstance(value, wanted) and (kind is bool or not isinstance(value, bool))
    return None if ok else f"{path}: {value!r} is not {kind}"


def drive():
    """One broker run through every method, journaled and recovered, with the
    values a host relies on checked on the way; returns each result with its
    type, and the journal whose entries hold every command."""
    seen = []

    def call(kind, method, *args):
        value = json.loads(method(*args))
        seen.append((kind, value))
        return value

    broker = Broker(text({"capabilities": ["deploy", "audit"], "max_journal_entries": 64}))
    spec = broker.register_action(action(required_capabilities=["deploy"]))
    assert spec == ('{"action_id":"deploy","allow_write":true,"max_resources":64,'
                    '"required_capabilities":["deploy"],"version":1}')
    seen.append((t.ActionSpec, json.loads(spec)))
    a = "svc/\u00e9\u2603"
    for number, resource in enumerate([a, "b", "c", "d"], 1):
        call(t.ObserveResult, broker.observe, observed(f"o{number}", resource, sequence=number))
    call(t.ObserveResult, broker.observe, observed("o1", a))
    call(t.ObserveResult, broker.observe, observed("o5", a, "v2", sequence=7))
    arguments = {"b": 1, "a": {"d": 2, "c": [{"y": None, "x": "\u00e9"}]}}
    run = intent("run", a, revision=1, arguments=arguments, idempotency_key="k")
    before = broker.now_ms()
    submitted = call(t.SubmitResult, broker.submit, run)
    assert submitted["duplicate"] is False and submitted["record"]["status"] == "accepted"
    assert before <= submitted["record"]["accepted_ms"] <= broker.now_ms()
    assert call(t.SubmitResult, broker.submit, run)["duplicate"] is True
    assert call(t.BeginResult, broker.begin, "run")["arguments"] == arguments
    assert call(t.IntentRecord, broker.finish, "run", outcome(
        changed=[a], resource_fingerprints={a: "v3"}))["status"] == "completed_verified"
    for name, resource in (("stop", "b"), ("lost", None), ("gone", None), ("halt", "c")):
        call(t.SubmitResult, broker.submit, intent(name, resource))
    call(t.ObserveResult, broker.observe, cancel_event("x1", "stop"))
    call(t.BeginResult, broker.begin, "halt")
    assert call(t.IntentRecord, broker.cancel, "halt")["status"] == "cancellation_requested"
    assert call(t.IntentRecord, broker.reconcile, "halt",
                outcome("cancelled_verified"))["status"] == "cancelled"
    call(t.RevokeResult, broker.revoke, "audit")
    call(t.EnqueueResult, broker.enqueue, observed("o6", "d", "v2", sequence=8))
    call(t.EnqueueResult, broker.enqueue, observed("o7", "d", "v3", sequence=8))
    call(t.EnqueueResult, broker.enqueue, cancel_event("x2", "gone", sequence=2), True)
    drained = call(list[t.DrainItem], broker.drain, 3)
    assert [sorted(item) for item in drained] == [["event_id", "result"]] * 2 + [
        ["error", "event_id"]]
    call(t.SubmitResult, broker.submit, intent("late", ttl_ms=1))
    time.sleep(0.01)
    assert call(t.ExpireResult, broker.expire) == {"expired": ["late"]}
    call(t.SubmitResult, broker.submit, intent("open", "c"))
    call(t.BeginResult, broker.begin, "open")
    recovered = Broker.from_journal(broker.journal())
    call(t.IntentRecord, recovered.reconcile, "open", outcome())
    call(t.SubmitResult, recovered.submit, intent("later"))
    call(t.IntentRecord, recovered.cancel, "later")
    recovered.submit(intent("last"))
    assert recovered.revoke("deploy") == \
        '{"affected":["last"],"capability":"deploy","revoked":true}'
    call(t.Snapshot, recovered.snapshot)
    stored = recovered.journal()
    assert Broker.replay(stored) == recovered.replay(stored) == recovered.snapshot()
    call(t.Snapshot, Broker.replay, stored)
    journal = call(t.Journal, recovered.journal)
    call(t.Journal, recovered.journal_head)
    call(t.JournalEntries, recovered.journal_entries, journal["checkpoint_sequence"])
    tip = json.loads(recovered.snapshot())["journal_tip"]
    assert call(t.CheckpointResult, recovered.checkpoint, tip)["sequence"] == \
        journal["entries"][-1]["sequence"]
    assert json.loads(recovered.journal())["entries"] == []
    return seen, journal


# Each input type with the smallest value the module accepts (the required
# keys only, and evidence, which finish refuses empty), the call that reads
# it and returns the form the broker writes back (or None), and where the
# typed object sits inside the value, when not the value itself.
def submit(value):
    broker = Broker()
    broker.register_action(action())
    broker.observe(observed("o", "r"))
    return json.loads(broker.submit(text(value)))["record"]["intent"]


def finish(value):
    broker = Broker()
    broker.register_action(action())
    broker.submit(intent("i"))
    broker.begin("i")
    return json.loads(broker.finish("i", text(value)))["outcome"]


def enqueue(event):
    Broker().enqueue(text(event), event.get("kind") != "resource_observed")


REF = {"intent_id": "i", "action_id": "deploy",
       "resources": [{"resource_id": "r", "expected_revision": 0, "access": "read"}]}
INPUTS = [
    (t.ConfigInput, t.Config, {}, lambda v: json.loads(Broker(text(v)).journal())["config"],
     None),
    (t.ActionSpecInput, t.ActionSpec, {"action_id": "a"},
     lambda v: json.loads(Broker().register_action(text(v))), None),
    (t.IntentInput, t.Intent, {"intent_id": "i", "action_id": "deploy"}, submit, None),
    (t.ResourceRef, t.ResourceRef, REF, lambda v: submit(v)["resources"][0],
     lambda v: v["resources"][0]),
    (t.OutcomeInput, t.Outcome, {"status": "failed_verified", "evidence": {"e": 1}}, finish,
     None),
    (t.ResourceObservedEvent, None, json.loads(observed("o", "r")), enqueue, None),
    (t.IntentCancelEvent, None, json.loads(cancel_event("x", "i")), enqueue, None),
    (t.CapabilityRevokeEvent, None, {"event_id": "e", "source_id": "runtime",
                                     "source_sequence": 1, "kind": "capability_revoke",
                                     "capability": "c"}, enqueue, None),
    (t.TreeExport, None, json.loads(TREES), lambda v: TreeScorer(text(v)), None),
    (t.LinearExport, None, json.loads(LINEAR), lambda v: LinearScorer(text(v)), None),
    (t.Calibration, None, json.loads(LINEAR), lambda v: LinearScorer(text(v)),
     lambda v: v["calibration"]),
]


@pytest.mark.parametrize("given, written, smallest, read, locate", INPUTS,
                         ids=[row[0].__name__ for row in INPUTS])
def test_input_types_require_what_the_module_requires(given, written, smallest, read, locate):
    locate = locate or (lambda value: value)
    assert mismatch(given, locate(smallest)) is None
    assert set(locate(smallest)) - {"evidence"} == given.__required_keys__
    result = read(smallest)
    if written is not None:
        # The defaults fill in exactly the keys the input type leaves optional.
        assert mismatch(written, result) is None, mismatch(written, result)
        assert set(result) == given.__required_keys__ | given.__optional_keys__
    for key in given.__required_keys__:
        removed = json.loads(json.dumps(smallest))
        del locate(removed)[key]
        with pytest.raises(BrokerError, match=f"missing field `{key}`"):
            read(removed)
