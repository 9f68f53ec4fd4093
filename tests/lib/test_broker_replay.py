"""Replay and recovery from a stored journal through Broker.replay and
Broker.from_journal: refusals with their exact errors, what recovery does to
open work, and a recovered broker's clock. Folding a full journal, the
deepest values and equal values written differently are checked by the
engine's own tests."""

import json

import pytest

from records import action, checkpoint_hash, intent, observed, outcome, rechain, text
from tallowmere._native import Broker, BrokerError

U64_MAX = 2**64 - 1


def written_journal():
    """A register and three observations, all results independent of the tick."""
    broker = Broker()
    broker.register_action(action())
    for index in range(3):
        broker.observe(observed(f"e{index}", f"r{index}", sequence=index + 1))
    return json.loads(broker.journal())


@pytest.mark.parametrize("entry_point", [Broker.replay, Broker.from_journal])
@pytest.mark.parametrize("tamper, message", [
    (None, "invalid_json: EOF while parsing a value at line 1 column 1"),
    # The version is checked first, whatever else is wrong.
    (lambda j: (j.update(schema_version=2), j["checkpoint_state"].update(revision=1)),
     "journal_version: unsupported schema version"),
    (lambda j: j["checkpoint_state"].update(revision=1),
     "journal_integrity: checkpoint digest mismatch"),
    (lambda j: j["entries"][1]["command"]["event"].update(fingerprint="v2"),
     "journal_integrity: entry chain mismatch"),
    (lambda j: (j["entries"][2].update(result_hash="0" * 64), rechain(j, 2)),
     "journal_replay: recorded transition differs from reducer result"),
], ids=["unreadable", "version", "checkpoint", "command", "result"])
def test_a_refused_journal_fails_its_first_check(entry_point, tamper, message):
    # Each check in its order is the engine's test; here both entry points
    # read the text and run them.
    journal = written_journal()
    if tamper:
        tamper(journal)
    with pytest.raises(BrokerError) as caught:
        entry_point(text(journal) if tamper else "")
    assert caught.value.args == (message,)


def test_recovery_leaves_a_running_effect_unknown_and_takes_commands():
    # Which status becomes what is the engine's test and the crash test's.
    broker = Broker()
    broker.register_action(action())
    broker.observe(observed("e", "r"))
    broker.submit(intent("i", "r"))
    broker.begin("i")
    stored = broker.journal()
    recovered = Broker.from_journal(stored)
    assert json.loads(recovered.snapshot())["state"]["intents"]["i"]["status"] == "effect_unknown"
    # The recovered broker takes commands, on a clock past the recover entry.
    assert json.loads(recovered.reconcile("i", outcome()))["status"] == "completed_verified"
    assert recovered.now_ms() >= json.loads(stored)["entries"][-1]["tick_ms"] + 1


@pytest.mark.parametrize("tick", [10**12, U64_MAX - 1, U64_MAX])
def test_a_recovered_clock_continues_from_the_journal(tick):
    journal = json.loads(Broker().journal())
    journal["checkpoint_tick_ms"] = tick
    journal["checkpoint_hash"] = checkpoint_hash(journal)
    stored = text(journal)
    recovered = Broker.from_journal(stored)
    # With nothing open, recovery appends nothing.
    assert recovered.journal() == stored
    assert recovered.now_ms() >= tick
    recovered.observe(observed("e", "r"))
    later = json.loads(recovered.journal())["entries"][-1]["tick_ms"]
    assert tick <= later <= recovered.now_ms() <= U64_MAX
