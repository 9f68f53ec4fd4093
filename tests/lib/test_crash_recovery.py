"""A host killed at a random point recovers exactly the history it
acknowledged: nothing lost, nothing invented, and no work left running."""

import hashlib
import json
import os
import pathlib
import random
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from tallowmere._native import Broker

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE.parents[1] / "examples"))
from sqlite_host import SqliteHost  # noqa: E402

AFTER_RESTART = {"accepted": "invalidated", "running": "effect_unknown",
                 "cancellation_requested": "effect_unknown"}


def run_until_killed(path, seed):
    """Starts the host, kills it with SIGKILL after a random number of reports
    and a random pause, and returns every report it got out."""
    rng = random.Random(seed)
    child = subprocess.Popen([sys.executable, "-P", str(HERE / "crash_child.py"), str(path),
                              str(seed)], stdout=subprocess.PIPE, text=True)
    reports = []
    wanted = rng.randrange(1, 80)
    while len(reports) < wanted:
        line = child.stdout.readline()
        if not line:
            break
        reports.append(line.split())
    time.sleep(rng.uniform(0, 0.02))
    os.kill(child.pid, signal.SIGKILL)
    reports += [line.split() for line in child.stdout.read().splitlines()]
    child.stdout.close()
    assert child.wait() == -signal.SIGKILL
    return reports


def stored_journal(path):
    connection = sqlite3.connect(path)
    try:
        row = connection.execute("SELECT text FROM journal WHERE id = 1").fetchone()
    except sqlite3.OperationalError:  # Killed before the table was created.
        row = None
    connection.close()
    return None if row is None else row[0]


@pytest.mark.parametrize("seed", range(8))
def test_a_killed_host_recovers_its_acknowledged_history(tmp_path, seed):
    path = tmp_path / "broker.sqlite3"
    reports = run_until_killed(path, seed)
    assert all(words == ["committed"] or (len(words) == 2 and words[0] == "persisting")
               for words in reports), reports
    persisted = [words[1] for words in reports if words[0] == "persisting"]
    committed = sum(1 for words in reports if words[0] == "committed")
    assert len(persisted) - committed in (0, 1)

    stored = stored_journal(path)
    if stored is None:
        assert committed == 0
        return
    replayed = Broker.replay(stored)
    # The last acknowledged state, or one the host committed just before it
    # was killed and could not report.
    assert hashlib.sha256(replayed.encode()).hexdigest() in persisted[max(committed - 1, 0):]

    host = SqliteHost(path)
    recovered = json.loads(host.broker.snapshot())
    before = json.loads(replayed)["state"]
    after = recovered["state"]
    assert {key: record["status"] for key, record in after["intents"].items()} == {
        key: AFTER_RESTART.get(record["status"], record["status"])
        for key, record in before["intents"].items()}
    for field in ("actions", "resources", "event_hashes", "source_sequences", "revision"):
        assert after[field] == before[field], field
    # The recovery itself was made durable before the host went on.
    durable = json.loads(Broker.replay(stored_journal(path)))
    assert (durable["journal_sequence"], durable["state"]) == (
        recovered["journal_sequence"], after)
    host.close()
