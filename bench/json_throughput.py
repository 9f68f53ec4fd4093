#!/usr/bin/env python3
"""JSON throughput: our reader and writer against Python's json module.

Builds a journal-like document of about --megabytes MB (a checkpoint with a
populated state and many submit/begin/observe/finish entries), runs
json_throughput_bench on it (decoding into typed records and writing them
back, and the same through generic values), times json.loads and json.dumps
on the same text, and prints one table. MB/s is document megabytes per
second for every row.

    python3 bench/json_throughput.py [--megabytes 10] [--repeats 7] [--binary PATH]

Without --binary the program is built in build/bench (Release).
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD_DIR = os.path.join(ROOT, "build", "bench")
PROGRAM = "json_throughput_bench"

STATUSES = ["accepted", "running", "cancellation_requested", "completed_verified",
            "failed_verified", "cancelled", "expired", "invalidated", "effect_unknown"]
TEXTS = ["plain ascii text", "caf\u00e9 cr\u00e8me br\u00fbl\u00e9e", "\u65e5\u672c\u8a9e\u306e\u30c1\u30fc\u30e0",
         "line one\nline two \"quoted\" back\\slash\ttab", "path/with/slashes/\u00fcber",
         "emoji \U0001F600 and escape \u001b[0m", "\u0394\u03b5\u03bb\u03c4\u03b1 \u0410\u0411\u0412"]


def sorted_object(pairs):
    """A generic JSON object as the broker writes it: keys in ascending order."""
    return dict(sorted(pairs.items()))


def digest(rng):
    return "%064x" % rng.getrandbits(256)


def arguments(rng, n):
    return sorted_object({
        "path": "/srv/data/%s/file-%d.txt" % (rng.choice(TEXTS), n),
        "mode": rng.choice(["r", "rw", "append"]),
        "retries": rng.randrange(10),
        "timeout_s": round(rng.uniform(0.5, 120.0), 3),
        "weights": [rng.random(), rng.uniform(-1e6, 1e6), 1e-7 * rng.random(), 3.14159],
        "labels": sorted_object({"env": rng.choice(["prod", "staging"]), "team": rng.choice(TEXTS),
                                 "note": rng.choice(TEXTS)}),
        "enabled": rng.random() < 0.5,
        "parent": None,
        "limits": sorted_object({"cpu": round(rng.uniform(0.1, 8), 2), "mem_mb": rng.choice([256, 1024, 4096]),
                                 "nested": [[1, 2, [3, {"deep": rng.choice(TEXTS)}]]]}),
    })


def intent(rng, n, resources):
    return {
        "intent_id": "intent-%06d" % n,
        "action_id": "action-%02d" % rng.randrange(40),
        "action_version": 1 + rng.randrange(3),
        "resources": [{"resource_id": rng.choice(resources), "expected_revision": rng.randrange(50),
                       "access": rng.choice(["read", "write"])} for _ in range(rng.randrange(1, 4))],
        "idempotency_key": "op-%06d" % n if rng.random() < 0.5 else None,
        "ttl_ms": 30000,
        "arguments": arguments(rng, n),
    }


def outcome(rng, resources):
    changed = sorted(set(rng.choice(resources) for _ in range(rng.randrange(1, 3))))
    return {
        "status": rng.choice(["completed_verified", "failed_verified"]),
        "changed_resources": changed,
        "resource_fingerprints": {r: digest(rng)[:24] for r in changed},
        "evidence": sorted_object({"receipt": digest(rng), "verifier": "verifier-%d" % rng.randrange(4),
                                   "checks": [{"name": rng.choice(TEXTS), "passed": True, "score": rng.random()}],
                                   "duration_ms": rng.randrange(1, 10000)}),
    }


def event(rng, n, resources):
    return {"event_id": "event-%07d" % n, "source_id": "runtime", "source_sequence": n,
            "kind": "resource_observed", "resource_id": rng.choice(resources), "fingerprint": digest(rng)[:32]}


def intent_record(rng, n, resources):
    status = rng.choice(STATUSES)
    done = status in ("completed_verified", "failed_verified")
    return {
        "intent": intent(rng, n, resources),
        "status": status,
        "accepted_ms": 1000 * n,
        "expires_ms": 1000 * n + 30000,
        "started_ms": 1000 * n + 5 if status != "accepted" else None,
        "finished_ms": 1000 * n + 90 if done else None,
        "cancellation_requested": status == "cancellation_requested",
        "outcome": outcome(rng, resources) if done else None,
        "invalidation_reason": "recovered while running" if status == "invalidated" else None,
    }


def journal_document(megabytes, seed=7):
    rng = random.Random(seed)
    capabilities = sorted("cap.%s" % name for name in ["read", "write", "deploy", "admin", "network"])
    resources = ["res/%s/%05d" % (rng.choice(["db", "fs", "queue"]), i) for i in range(3000)]
    state = {
        "actions": {"action-%02d" % i: {"action_id": "action-%02d" % i, "version": 1 + i % 3,
                                         "required_capabilities": capabilities[: 1 + i % 4],
                                         "allow_write": i % 2 == 0, "max_resources": 64}
                    for i in range(40)},
        "capabilities": capabilities,
        "resources": {r: {"revision": rng.randrange(100), "fingerprint": digest(rng)[:32],
                          "observed_ms": rng.randrange(10**9)} for r in sorted(resources)},
        "intents": {"intent-%06d" % n: intent_record(rng, n, resources) for n in range(2000)},
        "operation_keys": {"op-%06d" % n: "intent-%06d" % n for n in range(0, 2000, 2)},
        "source_sequences": {"runtime": 6000, "verifier": 1200},
        "event_hashes": {"event-%07d" % n: digest(rng) for n in range(6000)},
        "normal_queue": [event(rng, 6000 + n, resources) for n in range(40)],
        "control_queue": [{"event_id": "event-c%03d" % n, "source_id": "verifier", "source_sequence": n + 1,
                           "kind": "intent_cancel", "intent_id": "intent-%06d" % n} for n in range(8)],
        "revision": 6000,
    }
    document = {
        "schema_version": 1,
        "config": {"workspace_id": "bench", "capabilities": capabilities,
                   "trusted_sources": ["runtime", "verifier"], "normal_capacity": 256,
                   "control_capacity": 32, "max_event_bytes": 65536, "max_resources": 100000,
                   "max_intents": 100000, "max_events": 1000000, "max_journal_entries": 1000000},
        "checkpoint_state": state,
        "checkpoint_sequence": 5000,
        "checkpoint_tick_ms": 2_000_000,
        "checkpoint_parent_hash": digest(rng),
        "checkpoint_hash": digest(rng),
        "entries": [],
    }
    size = len(json.dumps(document, ensure_ascii=False, separators=(",", ":")).encode())
    entries, sequence, previous, n = document["entries"], 5000, document["checkpoint_hash"], 2000
    while size < megabytes * 1_000_000:
        commands = [
            {"operation": "submit", "intent": intent(rng, n, resources)},
            {"operation": "begin", "intent_id": "intent-%06d" % n},
            {"operation": "observe", "event": event(rng, 10000 + n, resources)},
            {"operation": "finish", "intent_id": "intent-%06d" % n, "outcome": outcome(rng, resources)},
        ]
        for command in commands:
            sequence += 1
            entry = {"sequence": sequence, "tick_ms": 2_000_000 + 10 * sequence, "previous_hash": previous,
                     "command": command, "result_hash": digest(rng), "hash": digest(rng)}
            previous = entry["hash"]
            entries.append(entry)
            size += len(json.dumps(entry, ensure_ascii=False, separators=(",", ":")).encode()) + 1
        n += 1
    return json.dumps(document, ensure_ascii=False, separators=(",", ":"))


def build_program():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD_DIR, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DTALLOWMERE_BUILD_BENCH=ON", "-DTALLOWMERE_BUILD_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD_DIR, "--target", PROGRAM, "-j2"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(BUILD_DIR, "bench", PROGRAM)


def best_seconds(repeats, run):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=10.0)
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--binary", help="a built %s; built in build/bench when left out" % PROGRAM)
    args = parser.parse_args()

    text = journal_document(args.megabytes)
    size = len(text.encode())
    program = args.binary or build_program()
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".json", delete=False) as f:
        f.write(text)
        path = f.name
    try:
        run = subprocess.run([program, path, str(args.repeats)], capture_output=True, text=True)
    finally:
        os.unlink(path)
    if run.returncode != 0:
        sys.exit("%s failed: %s" % (PROGRAM, run.stderr.strip()))
    native = {line.split()[0]: float(line.split()[2]) for line in run.stdout.splitlines()}

    loads = best_seconds(args.repeats, lambda: json.loads(text))
    value = json.loads(text)
    dumps = best_seconds(args.repeats, lambda: json.dumps(value, separators=(",", ":")))

    rows = [
        ("read into typed records (Journal)", native["read_journal"], loads),
        ("read into generic values", native["read_value"], loads),
        ("Python json.loads", loads, loads),
        ("write typed records (Journal)", native["write_journal"], dumps),
        ("write generic values", native["write_value"], dumps),
        ("Python json.dumps", dumps, dumps),
    ]
    print("document: %.2f MB, best of %d runs" % (size / 1e6, args.repeats))
    print("%-36s %10s %14s" % ("operation", "MB/s", "vs Python"))
    for name, seconds, python_seconds in rows:
        print("%-36s %10.1f %13.2fx" % (name, size / 1e6 / seconds, python_seconds / seconds))


if __name__ == "__main__":
    main()
