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

sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "examples"))
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
    broker.register_action(json.dumps({"action_id": "deploy", "allow_write": True}))
    for index in itertools.count(1):
        resource = f"r{index}"
        broker.observe(json.dumps({
            "event_id": f"e{index}", "source_id": "runtime", "source_sequence": index,
            "kind": "resource_observed", "resource_id": resource, "fingerprint": "v1"}))
        intent_id = f"i{index}"
        broker.submit(json.dumps({
            "intent_id": intent_id, "action_id": "deploy",
            "resources": [{"resource_id": resource, "expected_revision": 0, "access": "write"}]}))
        # Leave the intent accepted, running, cancellation-requested or finished.
        fate = rng.randrange(4)
        if fate >= 1:
            broker.begin(intent_id)
        if fate == 2:
            broker.cancel(intent_id)
        if fate == 3:
            broker.finish(intent_id, json.dumps({
                "status": "completed_verified", "changed_resources": [resource],
                "evidence": {"receipt": intent_id}}))
        if rng.random() < 0.5:
            report("persisting", digest(broker.snapshot()))
            host.persist()
            report("committed")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
