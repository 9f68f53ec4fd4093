"""The TypedDicts of tallowmere.types against what the module really reads and
writes: a run through every method gives results, snapshots and journals
that match their types key for key, and every input type marks required
exactly the keys whose absence the module refuses."""

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


def test_every_result_snapshot_and_journal_matches_its_type():
    seen = []

    def call(kind, method, *args):
        seen.append((kind, json.loads(method(*args))))
        return seen[-1][1]

    broker = Broker(text({"capabilities": ["deploy", "audit"], "max_journal_entries": 64}))
    call(t.ActionSpec, broker.register_action, action(required_capabilities=["deploy"]))
    a = "svc/\u00e9\u2603"
    for number, resource in enumerate([a, "b", "c", "d"], 1):
        call(t.ObserveResult, broker.observe, observed(f"o{number}", resource, sequence=number))
    call(t.ObserveResult, broker.observe, observed("o1", a))
    call(t.ObserveResult, broker.observe, observed("o5", a, "v2", sequence=7))
    run = intent("run", a, revision=1, arguments={"b": 1, "a": {"c": [None, "\u00e9"]}},
                 idempotency_key="k")
    before = broker.now_ms()
    # The host's clock stamps the command.
    assert before <= call(t.SubmitResult, broker.submit, run)["record"]["accepted_ms"] <= \
        broker.now_ms()
    call(t.SubmitResult, broker.submit, run)
    call(t.BeginResult, broker.begin, "run")
    call(t.IntentRecord, broker.finish, "run", outcome(changed=[a],
                                                       resource_fingerprints={a: "v3"}))
    for name, resource in (("stop", "b"), ("lost", None), ("gone", None), ("halt", "c")):
        call(t.SubmitResult, broker.submit, intent(name, resource))
    call(t.ObserveResult, broker.observe, cancel_event("x1", "stop"))
    call(t.BeginResult, broker.begin, "halt")
    call(t.IntentRecord, broker.cancel, "halt")
    call(t.IntentRecord, broker.reconcile, "halt", outcome("cancelled_verified"))
    call(t.RevokeResult, broker.revoke, "audit")
    call(t.EnqueueResult, broker.enqueue, observed("o6", "d", "v2", sequence=8))
    call(t.EnqueueResult, broker.enqueue, observed("o7", "d", "v3", sequence=8))
    call(t.EnqueueResult, broker.enqueue, cancel_event("x2", "gone", sequence=2), True)
    call(list[t.DrainItem], broker.drain, 3)
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
    call(t.RevokeResult, recovered.revoke, "deploy")
    call(t.Snapshot, recovered.snapshot)
    call(t.Snapshot, Broker.replay, recovered.journal())
    journal = call(t.Journal, recovered.journal)
    call(t.Journal, recovered.journal_head)
    call(t.JournalEntries, recovered.journal_entries, journal["checkpoint_sequence"])
    call(t.CheckpointResult, recovered.checkpoint, json.loads(recovered.snapshot())["journal_tip"])
    # The journal holds every kind of command.
    operations = {entry["command"]["operation"] for entry in journal["entries"]}
    assert operations == {typing.get_args(typing.get_type_hints(member)["operation"])[0]
                          for member in typing.get_args(t.Command.__value__)}
    for kind, value in seen:
        assert mismatch(kind, value) is None, mismatch(kind, value)


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
