"""A bounded soak: many threads drive several brokers and scorers at once,
persisting, acknowledging and recovering as hosts do. Afterwards every
broker's journal replays to exactly its snapshot, every persisted journal
replayed, and every score matched the one computed alone."""

import itertools
import json
import os
import random
import time
from concurrent.futures import ThreadPoolExecutor

from records import LINEAR, TREES, action, cancel_event, intent, observed, outcome, packed, text
from tallowmere._native import (Broker, BrokerError, LinearScorer, TreeScorer, score_linear,
                                score_trees)

SECONDS = float(os.environ.get("TALLOWMERE_SOAK_SECONDS", "15"))
THREADS, BROKERS = 8, 3
ROWS = [[random.Random(row).uniform(-3, 3) for _ in range(2)] for row in range(64)]
FEATURES, PACKED = text(ROWS), packed(ROWS)
TREE, LINE = TreeScorer(TREES), LinearScorer(LINEAR)
STEPS = {"observe": 4, "submit": 4, "begin": 3, "finish": 3, "cancel": 1, "enqueue": 2,
         "drain": 2, "expire": 1, "persist": 2, "score": 3}


def scores():
    return (TREE.score(FEATURES), TREE.score_f32(PACKED, len(ROWS)), LINE.score(FEATURES),
            LINE.score_f32(PACKED, len(ROWS)), score_trees(TREES, FEATURES),
            score_linear(LINEAR, FEATURES))


def tip_of(journal):
    entries = journal["entries"]
    return entries[-1]["hash"] if entries else journal["checkpoint_hash"]


def host(index, brokers, expected, deadline, seen):
    """One host thread: its own event source and intents, shared brokers and
    scorers. Refusals are expected in a crowd; anything but a refusal, and a
    poisoned broker above all, is a fault."""
    rng = random.Random(1000 + index)
    source = f"source-{index}"
    sequences = [0] * len(brokers)
    intents = [[] for _ in brokers]
    submitted = itertools.count(1)

    def event(b, cancelled=None):
        sequences[b] += 1
        event_id, sequence = f"{source}/{b}/{sequences[b]}", sequences[b]
        if cancelled is not None:
            return cancel_event(event_id, cancelled, source=source, sequence=sequence)
        return observed(event_id, f"r{rng.randrange(6)}", f"v{rng.randrange(4)}",
                        source=source, sequence=sequence)

    while time.monotonic() < deadline:
        b = rng.randrange(len(brokers))
        broker, mine = brokers[b], intents[b]
        choice = rng.choices(list(STEPS), weights=list(STEPS.values()))[0]
        if choice in ("begin", "finish", "cancel") and not mine:
            continue
        try:
            if choice == "observe":
                broker.observe(event(b))
            elif choice == "submit":
                intent_id = f"t{index}-{next(submitted)}"
                broker.submit(intent(intent_id, ttl_ms=rng.choice([5, 60000])))
                mine.append(intent_id)
            elif choice == "begin":
                broker.begin(rng.choice(mine))
            elif choice == "finish":
                broker.finish(rng.choice(mine), outcome())
            elif choice == "cancel":
                broker.cancel(rng.choice(mine))
            elif choice == "enqueue":
                cancelled = rng.choice(mine) if mine and rng.random() < 0.3 else None
                broker.enqueue(event(b, cancelled), cancelled is not None)
            elif choice == "drain":
                broker.drain(rng.randrange(1, 4))
            elif choice == "expire":
                broker.expire()
            elif choice == "persist":
                stored = broker.journal()
                if rng.random() < 0.1:
                    seen["persisted"].append(stored)
                broker.checkpoint(tip_of(json.loads(stored)))
            elif scores() != expected:
                seen["faults"].append("scored differently under load")
        except BrokerError as error:
            if str(error).startswith("broker_poisoned"):
                return seen["faults"].append(str(error))
            continue
        except BaseException as error:  # noqa: BLE001 - reported by the test
            return seen["faults"].append(repr(error))
        seen["done"].add(choice)


def test_threads_on_brokers_and_scorers_keep_every_journal_replayable():
    config = text({"trusted_sources": [f"source-{index}" for index in range(THREADS)],
                   "max_journal_entries": 1000, "normal_capacity": 16, "control_capacity": 4})
    brokers = [Broker(config) for _ in range(BROKERS)]
    for broker in brokers:
        broker.register_action(action())
    seen = {"done": set(), "persisted": [], "faults": []}
    deadline, expected = time.monotonic() + SECONDS, scores()
    with ThreadPoolExecutor(THREADS) as pool:
        list(pool.map(lambda index: host(index, brokers, expected, deadline, seen),
                      range(THREADS)))

    assert seen["faults"] == []
    # Every kind of work got through at least once, checkpoints included.
    assert seen["done"] == set(STEPS)
    for broker in brokers:
        assert Broker.replay(broker.journal()) == broker.snapshot()
        Broker.from_journal(broker.journal())
    assert seen["persisted"]
    for stored in seen["persisted"]:
        assert json.loads(Broker.replay(stored))["journal_tip"] == tip_of(json.loads(stored))
