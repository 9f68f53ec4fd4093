"""A bounded soak: many threads drive several brokers and scorers at once,
keeping journals, acknowledging and recovering as hosts do. Afterwards every
broker's journal replays to exactly its snapshot, each host's kept journal
is the broker's own byte for byte, and every score matched the one computed
alone."""

import os
import time
from concurrent.futures import ThreadPoolExecutor

from records import LINEAR, TREES, action, text
from tallowmere._native import Broker, LinearScorer, TreeScorer
from workload import STEPS, Host

SECONDS = float(os.environ.get("TALLOWMERE_SOAK_SECONDS", "15"))
THREADS, BROKERS = 8, 3


def drive(host, deadline):
    done = set()
    while time.monotonic() < deadline:
        choice = host.rng.choices(list(STEPS), weights=list(STEPS.values()))[0]
        try:
            if host.step(choice):
                done.add(choice)
        except BaseException as error:  # noqa: BLE001 - reported by the test
            return done, repr(error)
    return done, None


def test_threads_on_brokers_and_scorers_keep_every_journal_replayable():
    config = text({"trusted_sources": [f"source-{index}" for index in range(THREADS)],
                   "max_journal_entries": 1000, "normal_capacity": 16, "control_capacity": 4})
    brokers = [Broker(config) for _ in range(BROKERS)]
    for broker in brokers:
        broker.register_action(action())
    tree, line = TreeScorer(TREES), LinearScorer(LINEAR)
    hosts = [Host(index, brokers, tree, line) for index in range(THREADS)]
    deadline = time.monotonic() + SECONDS
    with ThreadPoolExecutor(THREADS) as pool:
        results = list(pool.map(lambda host: drive(host, deadline), hosts))

    assert [fault for _, fault in results if fault] == []
    # Every kind of work got through at least once, checkpoints included.
    assert set().union(*(done for done, _ in results)) == set(STEPS)
    for broker in brokers:
        assert Broker.replay(broker.journal()) == broker.snapshot()
    for kept in (kept for host in hosts for kept in host.kept):
        # Once: after a fold the head is taken again first.
        assert kept.store() or kept.store()
        assert kept.journal() == kept.broker.journal()
