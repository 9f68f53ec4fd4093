"""Replay and recovery from a stored journal: every check with its exact error,
what recovery does to open work, and the clock of a recovered broker."""

import json
import pathlib
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tallowmere._native import Broker, BrokerError

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from broker_records import (  # noqa: E402
    action, cancel_event, checkpoint_hash, intent, intents_of, observed, outcome, rechain, text)

U64_MAX = 2**64 - 1


def written_journal():
    """A register, three observations and a submission, all results
    independent of the tick."""
    broker = Broker()
    broker.register_action(action())
    for index in range(3):
        broker.observe(observed(f"e{index}", f"r{index}", sequence=index + 1))
    return json.loads(broker.journal())


def schema_2(journal):
    journal["schema_version"] = 2
    journal["checkpoint_state"]["revision"] = 1


def bad_config(journal):
    journal["config"]["normal_capacity"] = 0


def too_many_entries(journal):
    journal["config"]["max_journal_entries"] = 32
    journal["entries"] = [journal["entries"][0]] * 33


def changed_checkpoint_state(journal):
    journal["checkpoint_state"]["revision"] = 1


def undeclared_capability(journal):
    journal["checkpoint_state"]["capabilities"] = ["root"]
    journal["checkpoint_hash"] = checkpoint_hash(journal)
    rechain(journal)


def changed_command(journal):
    journal["entries"][1]["command"]["event"]["fingerprint"] = "v2"


def first_entry_removed(journal):
    del journal["entries"][0]


def clock_moved_back(journal):
    journal["entries"][1]["tick_ms"] = 10
    journal["entries"][2]["tick_ms"] = 5
    rechain(journal, 1)


def changed_result_hash(journal):
    journal["entries"][2]["result_hash"] = "0" * 64
    rechain(journal, 2)


def repeated_command(journal):
    journal["entries"][2]["command"] = journal["entries"][1]["command"]
    rechain(journal, 2)


def unknown_field(journal):
    journal["entries"][0]["extra"] = 1


@pytest.mark.parametrize("entry_point", [Broker.replay, Broker.from_journal])
@pytest.mark.parametrize(
    "tamper, message",
    [
        (schema_2, "journal_version: unsupported schema version"),
        (bad_config, "invalid_config: capacity bounds violated"),
        (too_many_entries, "journal_limit: too many entries"),
        (changed_checkpoint_state, "journal_integrity: checkpoint digest mismatch"),
        (undeclared_capability,
         "checkpoint_capabilities: checkpoint grants undeclared capabilities"),
        (changed_command, "journal_integrity: entry chain mismatch"),
        (first_entry_removed, "journal_integrity: entry chain mismatch"),
        (clock_moved_back, "clock_regression: monotonic time moved backwards"),
        (changed_result_hash, "journal_replay: recorded transition differs from reducer result"),
        (repeated_command, "journal_replay: recorded transition differs from reducer result"),
    ],
)
def test_a_tampered_journal_fails_its_first_check(entry_point, tamper, message):
    journal = written_journal()
    tamper(journal)
    with pytest.raises(BrokerError) as caught:
        entry_point(text(journal))
    assert caught.value.args == (message,)


@pytest.mark.parametrize("entry_point", [Broker.replay, Broker.from_journal])
@pytest.mark.parametrize(
    "document, start",
    [
        ("", "invalid_json: EOF while parsing a value at line 1 column 1"),
        (None, "invalid_json: unknown field `extra`"),
    ],
)
def test_an_unreadable_journal_is_refused_before_replay(entry_point, document, start):
    if document is None:
        journal = written_journal()
        unknown_field(journal)
        document = text(journal)
    with pytest.raises(BrokerError) as caught:
        entry_point(document)
    assert str(caught.value).startswith(start)


def test_replay_of_a_new_brokers_journal_is_its_snapshot():
    broker = Broker()
    snapshot = json.loads(Broker.replay(broker.journal()))
    assert snapshot["journal_sequence"] == 0 and snapshot["tick_ms"] == 0
    assert snapshot["journal_tip"] == json.loads(broker.journal())["checkpoint_hash"]
    assert text(snapshot) == broker.snapshot()


def interrupted_broker():
    """Intents left accepted, running and cancellation-requested, a finished
    one, and a queued event."""
    broker = Broker()
    broker.register_action(action())
    for sequence, name in enumerate(("accepted", "running", "stopping", "done"), 1):
        broker.observe(observed(f"e-{name}", f"r-{name}", sequence=sequence))
        broker.submit(intent(name, f"r-{name}"))
    for name in ("running", "stopping", "done"):
        broker.begin(name)
    broker.cancel("stopping")
    broker.finish("done", outcome())
    broker.enqueue(cancel_event("queued", "accepted"), control=True)
    return broker


def test_recovery_resolves_nothing_and_lets_nothing_run():
    broker = interrupted_broker()
    stored = json.loads(broker.journal())
    before = intents_of(broker.snapshot())
    last_tick = stored["entries"][-1]["tick_ms"]

    recovered = Broker.from_journal(text(stored))
    journal = json.loads(recovered.journal())
    assert journal["entries"][:-1] == stored["entries"]
    recover = journal["entries"][-1]
    assert recover["command"] == {"operation": "recover"}
    assert recover["tick_ms"] == last_tick + 1

    after = intents_of(recovered.snapshot())
    assert {key: record["status"] for key, record in after.items()} == {
        "accepted": "invalidated", "running": "effect_unknown",
        "stopping": "effect_unknown", "done": "completed_verified"}
    assert after["accepted"]["invalidation_reason"] == "process_restart_requires_new_observation"
    assert after["accepted"]["finished_ms"] == last_tick + 1
    assert after["running"]["started_ms"] == before["running"]["started_ms"]
    assert after["running"]["finished_ms"] is None
    assert after["done"] == before["done"]
    state = json.loads(recovered.snapshot())["state"]
    assert state["control_queue"] == [] and state["normal_queue"] == []

    with pytest.raises(BrokerError) as caught:
        recovered.finish("running", outcome())
    assert caught.value.args == (
        "outcome_transition: finish requires running; reconcile requires unknown/cancel-requested",)
    assert json.loads(recovered.reconcile("running", outcome()))["status"] == "completed_verified"
    assert recovered.now_ms() >= last_tick + 1


def test_recovery_with_nothing_open_appends_nothing():
    broker = Broker()
    broker.register_action(action())
    broker.observe(observed("e", "r"))
    stored = broker.journal()
    recovered = Broker.from_journal(stored)
    assert recovered.journal() == stored
    assert recovered.now_ms() >= json.loads(stored)["entries"][-1]["tick_ms"]


def journal_at_tick(tick):
    """A new broker's journal whose checkpoint was taken at `tick`."""
    journal = json.loads(Broker().journal())
    journal["checkpoint_tick_ms"] = tick
    journal["checkpoint_hash"] = checkpoint_hash(journal)
    return text(journal)


@pytest.mark.parametrize("tick", [10**12, U64_MAX - 1, U64_MAX])
def test_a_recovered_clock_continues_from_the_journal(tick):
    recovered = Broker.from_journal(journal_at_tick(tick))
    assert recovered.now_ms() >= tick
    recovered.observe(observed("e", "r"))
    later = json.loads(recovered.journal())["entries"][-1]["tick_ms"]
    assert tick <= later <= recovered.now_ms() <= U64_MAX


FULL = text({"max_journal_entries": 32})


def filled_with_queued_events():
    broker = Broker(FULL)
    for sequence in range(1, 33):
        broker.enqueue(cancel_event(f"e{sequence}", "i", sequence=sequence), control=True)
    return broker


def filled_around_a_running_intent():
    """Reconciling an intent left effect_unknown, which recovery does not
    touch, fills the entry list while another one runs."""
    broker = Broker(FULL)
    broker.register_action(action())
    for name in ("running", "unknown"):
        broker.submit(intent(name))
        broker.begin(name)
    broker.finish("unknown", outcome("effect_unknown"))
    for attempt in range(26):
        broker.reconcile("unknown", outcome("effect_unknown", evidence={"attempt": attempt}))
    return broker


@pytest.mark.parametrize("filled", [filled_with_queued_events, filled_around_a_running_intent])
def test_recovery_folds_a_full_journal_into_a_checkpoint_first(filled):
    stored = filled().journal()
    last = json.loads(stored)["entries"][-1]
    assert last["sequence"] == 32

    recovered = Broker.from_journal(stored)
    journal = json.loads(recovered.journal())
    assert journal["checkpoint_parent_hash"] == last["hash"]
    assert (journal["checkpoint_sequence"], journal["checkpoint_tick_ms"]) == (
        last["sequence"], last["tick_ms"])
    assert journal["checkpoint_state"] == json.loads(Broker.replay(stored))["state"]
    [recover] = journal["entries"]
    assert recover["command"] == {"operation": "recover"}
    assert (recover["sequence"], recover["tick_ms"]) == (last["sequence"] + 1, last["tick_ms"] + 1)
    assert Broker.from_journal(recovered.journal()).journal() == recovered.journal()


def test_a_full_journal_with_nothing_to_recover_is_kept():
    settled = Broker(FULL)
    for sequence in range(1, 32):
        settled.enqueue(cancel_event(f"e{sequence}", "i", sequence=sequence), control=True)
    settled.drain(64)
    assert len(json.loads(settled.journal())["entries"]) == 32
    assert Broker.from_journal(settled.journal()).journal() == settled.journal()


WRITTEN = text(written_journal())


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.integers(0, len(WRITTEN)), st.integers(0, 3),
                          st.sampled_from('{}[]",:0123456789-.eE tfnul\\"\u00e9\x00')),
                min_size=1, max_size=6))
def test_a_mangled_journal_is_refused_or_replayed_never_worse(edits):
    document = WRITTEN
    for position, removed, inserted in edits:
        document = document[:position] + inserted + document[position + removed:]
    for entry_point, made in ((Broker.replay, str), (Broker.from_journal, Broker)):
        try:
            assert type(entry_point(document)) is made
        except BrokerError as error:
            assert error.args[0].split(": ")[0].isidentifier()


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def test_the_deepest_values_a_broker_accepts_still_replay():
    broker = Broker()
    broker.register_action(action())
    with pytest.raises(BrokerError, match="^invalid_json: recursion limit exceeded at line 1 "):
        broker.submit(intent("i", arguments={"x": nested(126)}))
    broker.submit(intent("i", arguments={"x": nested(125)}))
    broker.begin("i")
    broker.finish("i", outcome(evidence={"x": nested(125)}))
    assert Broker.replay(broker.journal()) == broker.snapshot()
    broker.checkpoint(json.loads(broker.snapshot())["journal_tip"])
    assert Broker.from_journal(broker.journal()).snapshot() == broker.snapshot()
