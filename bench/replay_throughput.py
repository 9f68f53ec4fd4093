#!/usr/bin/env python3
"""Replay throughput of a long journal from Python.

Drives one broker through --entries journal entries (cycles of observe,
submit, begin and finish on a fresh resource), takes its journal text, and
times Broker.replay (decode, verify, re-execute every entry, snapshot text)
and Broker.from_journal (the same plus recovery and a new broker) on it, with
json.loads of the same text for scale, and each time's ratio to it. Best of
--repeats rounds. ratios() gives the ratios with their targets, for
bench/summary.py.

    .venv/bin/python -P bench/replay_throughput.py [--entries 100000] [--repeats 3]
"""

import argparse
import json
import time

from tallowmere._native import Broker


def observed(event_id, source, sequence, resource, fingerprint):
    return json.dumps({"event_id": event_id, "source_id": source, "source_sequence": sequence,
                       "kind": "resource_observed", "resource_id": resource,
                       "fingerprint": fingerprint})


def written_journal(entries):
    broker = Broker(json.dumps({
        "max_resources": 100000, "max_intents": 100000, "max_events": 1000000,
        "max_journal_entries": 2 * entries}))
    broker.register_action(json.dumps({"action_id": "deploy", "allow_write": True}))
    cycles, spare = divmod(entries - 1, 4)
    for index in range(1, cycles + 1):
        resource, intent_id = f"svc-{index}", f"intent-{index}"
        broker.observe(observed(f"event-{index}", "runtime", index, resource,
                                f"sha256:{index:064x}"))
        broker.submit(json.dumps({
            "intent_id": intent_id, "action_id": "deploy",
            "resources": [{"resource_id": resource, "expected_revision": 0, "access": "write"}],
            "idempotency_key": f"key-{index}",
            "arguments": {"image": f"registry.example/svc:{index}", "replicas": 3}}))
        broker.begin(intent_id)
        broker.finish(intent_id, json.dumps({
            "status": "completed_verified", "changed_resources": [resource],
            "resource_fingerprints": {resource: f"sha256:{index + 1:064x}"},
            "evidence": {"receipt": f"receipt-{index}"}}))
    for index in range(1, spare + 1):
        broker.observe(observed(f"spare-{index}", "verifier", index, "spare", str(index)))
    return broker.journal()


def best_seconds(call, repeats):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


# Replay and recovery are held to a multiple of json.loads of the same text.
TARGET_RATIO = 2.0
OPERATIONS = (("json.loads", json.loads), ("Broker.replay", Broker.replay),
              ("Broker.from_journal", Broker.from_journal))


def measure(entries, repeats):
    """The journal's text and the best seconds of each operation on it."""
    text = written_journal(entries)
    return text, {name: best_seconds(lambda: call(text), repeats) for name, call in OPERATIONS}


def ratios(quick: bool) -> list[tuple[str, float, float]]:
    """(label, operation time / json.loads time, the most that ratio may be)."""
    _, seconds = measure(20000, 2) if quick else measure(100000, 3)
    return [(f"{name} / json.loads", seconds[name] / seconds["json.loads"], TARGET_RATIO)
            for name, _ in OPERATIONS[1:]]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--entries", type=int, default=100000)
    parser.add_argument("--repeats", type=int, default=3)
    options = parser.parse_args()

    text, seconds = measure(options.entries, options.repeats)
    entries = len(json.loads(text)["entries"])
    megabytes = len(text.encode()) / 1e6
    print(f"journal: {entries} entries, {megabytes:.1f} MB")
    print()
    print("| operation | seconds | entries/s | MB/s | ratio to json.loads |")
    print("|---|---:|---:|---:|---:|")
    for name, _ in OPERATIONS:
        taken = seconds[name]
        print(f"| {name} | {taken:.3f} | {entries / taken:,.0f} | {megabytes / taken:.1f} | "
              f"{taken / seconds['json.loads']:.2f}x |")


if __name__ == "__main__":
    main()
