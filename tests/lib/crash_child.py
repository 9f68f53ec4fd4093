"""Drives a broker through the SQLite host until it is killed.

Usage: crash_child.py DATABASE SEED

Before each persist it prints "persisting" and the SHA-256 of the broker's
snapshot, which is also the snapshot a replay of the stored journal gives;
once the host has committed and acknowledged, it prints "committed".
"""

import hashlib
import itertools
import json
import pathlib
import random
import sys

HERE = pathlib.Path(__file__).parent
sys.path[:0] = [str(HERE), str(HERE.parents[1] / "examples")]
from records import action, intent, observed, outcome  # noqa: E402
from sqlite_host import SqliteHost  # noqa: E402

from tallowmere._native import Broker  # noqa: E402

CONFIG = json.dumps({"max_resources": 100000, "max_intents": 100000})


def report(*words):
    # One write per line: with unbuffered output, print() would write each
    # word apart and a kill could cut a report in two.
    sys.stdout.write(" ".join(words) + "\n")
    sys.stdout.flush()


def digest(snapshot):
    return hashlib.sha256(snapshot.encode()).hexdigest()


def main(path, seed):
    rng = random.Random(seed)
    # A new host persists the genesis journal while it starts.
    report("persisting", digest(Broker(CONFIG).snapshot()))
    host = SqliteHost(path, CONFIG)
    report("committed")
    broker = host.broker
    broker.register_action(action())
    for index in itertools.count(1):
        resource, intent_id = f"r{index}", f"i{index}"
        broker.observe(observed(f"e{index}", resource, sequence=index))
        broker.submit(intent(intent_id, resource))
        # Leave the intent accepted, running, cancellation-requested or finished.
        fate = rng.randrange(4)
        if fate >= 1:
            broker.begin(intent_id)
        if fate == 2:
            broker.cancel(intent_id)
        if fate == 3:
            broker.finish(intent_id, outcome(changed=[resource]))
        if rng.random() < 0.5:
            report("persisting", digest(broker.snapshot()))
            host.persist()
            report("committed")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
