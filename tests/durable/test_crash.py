"""A durable broker killed at a random point, round after round on the same
store, comes back with exactly the history it acknowledged: nothing an
"acked" line reported is lost, and nothing is there but that history and at
most the one command (or recovery) that was running when the kill came."""

import json
import os
import pathlib
import random
import signal
import subprocess
import sys
import time

import pytest

from tallowmere._native import Broker
from tallowmere.durable import DurableBroker, DurableError, read_journal
from tallowmere.durable.errors import code_of

HERE = pathlib.Path(__file__).parent
AFTER_RESTART = {"accepted": "invalidated", "running": "effect_unknown",
                 "cancellation_requested": "effect_unknown"}


def run_until_killed(store, seed):
    """Starts the child on the store and kills it with SIGKILL after a random
    number of reports (none: during recovery) and a random pause."""
    rng = random.Random(seed)
    child = subprocess.Popen([sys.executable, "-P", str(HERE / "durable_child.py"), store,
                              str(seed)], stdout=subprocess.PIPE, text=True)
    reports = []
    wanted = rng.choice([0, 1, rng.randrange(2, 60)])
    while len(reports) < wanted and (line := child.stdout.readline()):
        reports.append(line.rstrip("\n").split(" ", 1))
    time.sleep(rng.uniform(0, 0.015))
    os.kill(child.pid, signal.SIGKILL)
    # A report longer than the pipe holds goes in parts, so the kill may cut
    # the last one short: only whole lines count.
    reports += [line.split(" ", 1) for line in child.stdout.read().split("\n")[:-1]]
    child.stdout.close()
    assert child.wait() == -signal.SIGKILL, reports
    return reports


def statuses(state):
    return {intent_id: record["status"] for intent_id, record in state["intents"].items()}


def recovered(state):
    return {intent_id: AFTER_RESTART.get(status, status)
            for intent_id, status in statuses(state).items()}


def check_one_step(before, after, recovering):
    """`after` is `before` plus one command, or plus the recovery."""
    old, new = statuses(before), statuses(after)
    if recovering and new == recovered(before) and not after["normal_queue"] \
            and not after["control_queue"]:
        return
    assert set(old) <= set(new) and len({k for k in new if old.get(k) != new[k]}) <= 1, (old, new)


@pytest.mark.parametrize("seed", range(4))
def test_killed_writers_recover_exactly_their_acknowledged_history(store_url, seed):
    acked = None  # The snapshot of the last durable return.
    for round_ in range(3):
        reports = run_until_killed(store_url, seed * 10 + round_)
        opened = any(word == "opened" for word, *_ in reports)
        in_flight = not opened or reports[-1][0] == "doing"
        for word, *snapshot in reports:
            if word in ("opened", "acked"):
                acked = json.loads(snapshot[0])
        try:
            stored = json.loads(Broker.replay(read_journal(store_url)))
        except DurableError as error:  # Killed before the first commit.
            assert acked is None and code_of(error) in ("store_empty", "store_missing"), error
            continue
        if acked is not None and stored["journal_sequence"] == acked["journal_sequence"]:
            # A fold moves the tip onto the new checkpoint, and nothing else.
            stored.pop("journal_tip"), acked.pop("journal_tip", None)
            assert stored == acked
        elif acked is not None:
            assert in_flight, reports[-3:]
            assert stored["journal_sequence"] == acked["journal_sequence"] + 1
            check_one_step(acked["state"], stored["state"], recovering=not opened)
        acked = stored

    if acked is None:
        return
    # Reopened here, the broker is the stored one after recovery, and its
    # recovery is durable before the open returns.
    with DurableBroker(store_url) as broker:
        live = json.loads(broker.snapshot())
        assert statuses(live["state"]) == recovered(acked["state"])
        for key in ("actions", "resources", "event_hashes", "source_sequences", "revision"):
            assert live["state"][key] == acked["state"][key], key
        assert json.loads(Broker.replay(read_journal(store_url))) == live
