"""A bounded soak: many threads drive several brokers and scorers at once,
persisting, acknowledging and recovering as hosts do. Afterwards every
broker's journal replays to exactly its snapshot, every persisted journal
replayed, and every score matched the one computed alone."""

import json
import os
import pathlib
import random
import struct
import sys
import threading
import time

from tallowmere._native import (Broker, BrokerError, LinearScorer, TreeScorer, score_linear,
                                score_trees)

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from broker_records import action, cancel_event, intent, observed, outcome, text  # noqa: E402

SECONDS = float(os.environ.get("TALLOWMERE_SOAK_SECONDS", "15"))
THREADS = 8
BROKERS = 3
PLATT = {"kind": "platt", "coef": 1.5, "intercept": -0.25}
TREES = text({
    "schema_version": 1, "feature_names": ["a", "b", "c"], "base_margin": 0.125,
    "trees": [
        {"nodes": [
            {"node_id": 0, "feature_index": 0, "threshold": 0.5, "left": 1, "right": 2,
             "missing": 1},
            {"node_id": 1, "leaf": -0.75},
            {"node_id": 2, "feature_index": 2, "threshold": -1.0, "left": 3, "right": 4,
             "missing": 4},
            {"node_id": 3, "leaf": 0.25}, {"node_id": 4, "leaf": 1.5}]},
        {"nodes": [{"node_id": 0, "leaf": 0.0625}]},
    ],
    "calibration": PLATT,
})
LINEAR = text({"schema_version": 1, "feature_names": ["a", "b", "c"],
               "coef": [0.5, -1.25, 2.0], "intercept": 0.1, "calibration": PLATT})
ROWS = [[random.Random(row).uniform(-3, 3) for _ in range(3)] for row in range(64)]
FEATURES = text(ROWS)
PACKED = b"".join(struct.pack("<3f", *row) for row in ROWS)


def tip_of(journal):
    entries = journal["entries"]
    return entries[-1]["hash"] if entries else journal["checkpoint_hash"]


class Worker:
    """One host thread: its own event source, its own intents, shared brokers
    and scorers. Refusals are expected in a crowd; anything but a refusal,
    and a poisoned broker above all, is a fault."""

    def __init__(self, index, brokers, scorers, expected):
        self.index = index
        self.brokers = brokers
        self.scorers = scorers
        self.expected = expected
        self.rng = random.Random(1000 + index)
        self.source = f"source-{index}"
        self.sequences = [0] * len(brokers)
        self.intents = [[] for _ in brokers]
        self.counter = 0
        self.done = {}
        self.refused = 0
        self.persisted = []
        self.faults = []

    def event(self, broker_index, cancelled=None):
        self.sequences[broker_index] += 1
        sequence = self.sequences[broker_index]
        event_id = f"{self.source}/{broker_index}/{sequence}"
        if cancelled is not None:
            return cancel_event(event_id, cancelled, source=self.source, sequence=sequence)
        return observed(event_id, f"r{self.rng.randrange(6)}", f"v{self.rng.randrange(4)}",
                        source=self.source, sequence=sequence)

    def step(self):
        b = self.rng.randrange(len(self.brokers))
        broker = self.brokers[b]
        mine = self.intents[b]
        choice = self.rng.choices(
            ["observe", "submit", "begin", "finish", "cancel", "enqueue", "drain", "expire",
             "persist", "score"],
            weights=[4, 4, 3, 3, 1, 2, 2, 1, 2, 3])[0]
        if choice == "observe":
            broker.observe(self.event(b))
        elif choice == "submit":
            self.counter += 1
            intent_id = f"t{self.index}-{self.counter}"
            broker.submit(intent(intent_id, ttl_ms=self.rng.choice([5, 60000])))
            mine.append(intent_id)
        elif choice in ("begin", "finish", "cancel") and mine:
            intent_id = self.rng.choice(mine)
            if choice == "begin":
                broker.begin(intent_id)
            elif choice == "finish":
                broker.finish(intent_id, outcome())
            else:
                broker.cancel(intent_id)
        elif choice == "enqueue" and mine and self.rng.random() < 0.3:
            broker.enqueue(self.event(b, cancelled=self.rng.choice(mine)), True)
        elif choice == "enqueue":
            broker.enqueue(self.event(b))
        elif choice == "drain":
            broker.drain(self.rng.randrange(1, 4))
        elif choice == "expire":
            broker.expire()
        elif choice == "persist":
            self.persist(broker)
        elif choice == "score":
            self.score()
        else:
            return
        self.done[choice] = self.done.get(choice, 0) + 1

    def persist(self, broker):
        stored = broker.journal()
        if self.rng.random() < 0.1:
            self.persisted.append(stored)
        broker.checkpoint(tip_of(json.loads(stored)))

    def score(self):
        tree, linear = self.scorers
        results = {
            "tree": tree.score(FEATURES),
            "tree_f32": tree.score_f32(PACKED, len(ROWS)),
            "linear": linear.score(FEATURES),
            "linear_f32": linear.score_f32(PACKED, len(ROWS)),
            "one_shot": (score_trees(TREES, FEATURES), score_linear(LINEAR, FEATURES)),
        }
        for name, result in results.items():
            if result != self.expected[name]:
                self.faults.append(f"{name} scored differently under load")

    def run(self, deadline):
        while time.monotonic() < deadline:
            try:
                self.step()
            except BrokerError as error:
                if str(error).startswith("broker_poisoned"):
                    self.faults.append(str(error))
                    return
                self.refused += 1
            except BaseException as error:  # noqa: BLE001 - reported by the test
                self.faults.append(repr(error))
                return


def test_threads_on_brokers_and_scorers_keep_every_journal_replayable():
    sources = [f"source-{index}" for index in range(THREADS)]
    config = text({"trusted_sources": sources, "max_journal_entries": 1000,
                   "normal_capacity": 16, "control_capacity": 4})
    brokers = [Broker(config) for _ in range(BROKERS)]
    for broker in brokers:
        broker.register_action(action())
    scorers = (TreeScorer(TREES), LinearScorer(LINEAR))
    expected = {
        "tree": scorers[0].score(FEATURES),
        "tree_f32": scorers[0].score_f32(PACKED, len(ROWS)),
        "linear": scorers[1].score(FEATURES),
        "linear_f32": scorers[1].score_f32(PACKED, len(ROWS)),
        "one_shot": (score_trees(TREES, FEATURES), score_linear(LINEAR, FEATURES)),
    }
    workers = [Worker(index, brokers, scorers, expected) for index in range(THREADS)]
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=worker.run, args=(deadline,)) for worker in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()

    assert [fault for worker in workers for fault in worker.faults] == []
    done = {}
    for worker in workers:
        for name, count in worker.done.items():
            done[name] = done.get(name, 0) + count
    # Every kind of work got through at least once, checkpoints included.
    assert set(done) == {"observe", "submit", "begin", "finish", "cancel", "enqueue", "drain",
                         "expire", "persist", "score"}, done
    for broker in brokers:
        assert Broker.replay(broker.journal()) == broker.snapshot()
        Broker.from_journal(broker.journal())
    persisted = [stored for worker in workers for stored in worker.persisted]
    assert persisted
    for stored in persisted:
        journal = json.loads(stored)
        snapshot = json.loads(Broker.replay(stored))
        assert snapshot["journal_tip"] == tip_of(journal)
