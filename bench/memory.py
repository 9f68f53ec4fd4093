#!/usr/bin/env python3
"""Memory per byte of journal text, live and on recovery.

For each shape of intent arguments (arrays of small numbers, nested objects,
long strings), one fresh process submits intents until the broker's journal
holds --megabytes of text, and reports its resident memory above that of the
process before the broker was built, per byte of journal text (taken before
the broker writes its journal text). Another fresh
process reads that journal text and rebuilds the broker with
Broker.from_journal; it reports its peak resident memory above that of the
process before the text was read (so the text itself is counted), per byte of
journal text.

    .venv/bin/python -P bench/memory.py [--megabytes 20]
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile

from tallowmere._native import Broker

CONFIG = json.dumps({"max_intents": 100000,
                     "max_journal_entries": 1000000})
ARGUMENT_BYTES = 4000


def small_numbers(rng):
    return {"values": [rng.randrange(10) for _ in range(ARGUMENT_BYTES // 2)]}


def nested_objects(rng):
    def level(depth):
        if depth == 0:
            return rng.randrange(1000)
        return {f"k{index}": level(depth - 1) for index in range(5)}
    return level(4)


def long_strings(rng):
    return {"text": "".join(rng.choice("abcdefghij") for _ in range(ARGUMENT_BYTES))}


SHAPES = {"arrays of small numbers": small_numbers, "nested objects": nested_objects,
          "long strings": long_strings}


def resident_bytes(field="VmRSS"):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak():
    # Makes VmHWM restart from the present resident size.
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def live(shape, megabytes, path):
    rng = random.Random(1)
    texts = [json.dumps(SHAPES[shape](rng), separators=(",", ":")) for _ in range(16)]
    before = resident_bytes()
    broker = Broker(CONFIG)
    broker.register_action(json.dumps({"action_id": "act"}))
    target = megabytes * 1_000_000
    written, index = 0, 0
    while written < target:
        index += 1
        intent = (f'{{"intent_id":"intent-{index}","action_id":"act","ttl_ms":86400000,'
                  f'"arguments":{texts[index % len(texts)]}}}')
        broker.submit(intent)
        # The entry's command holds the intent; its frame adds the hashes.
        written += len(intent) + 300
    # Measured before the journal text exists: what the broker holds.
    live_bytes = resident_bytes() - before
    journal = broker.journal()
    with open(path, "w", encoding="utf-8") as out:
        out.write(journal)
    return {"journal_bytes": len(journal.encode()), "live_bytes": live_bytes}


def recover(path):
    before = resident_bytes()
    with open(path, encoding="utf-8") as stored:
        text = stored.read()
    reset_peak()
    broker = Broker.from_journal(text)
    peak = resident_bytes("VmHWM") - before
    del broker
    return {"peak_bytes": peak}


def in_fresh_process(*arguments):
    done = subprocess.run([sys.executable, "-P", __file__, *arguments], capture_output=True,
                          text=True)
    if done.returncode != 0:
        sys.exit(done.stderr)
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=int, default=20)
    parser.add_argument("--live", help=argparse.SUPPRESS)
    parser.add_argument("--recover", help=argparse.SUPPRESS)
    parser.add_argument("--path", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.live:
        print(json.dumps(live(options.live, options.megabytes, options.path)))
        return
    if options.recover:
        print(json.dumps(recover(options.recover)))
        return

    print(f"journal of about {options.megabytes} MB of submitted intents, "
          f"arguments of about {ARGUMENT_BYTES} bytes each; memory in bytes per journal byte")
    print()
    print("| arguments | journal MB | live | from_journal peak | peak - live |")
    print("|---|---:|---:|---:|---:|")
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "journal.json")
        for shape in SHAPES:
            built = in_fresh_process("--live", shape, "--megabytes", str(options.megabytes),
                                     "--path", path)
            recovered = in_fresh_process("--recover", path)
            length = built["journal_bytes"]
            live_ratio = built["live_bytes"] / length
            peak_ratio = recovered["peak_bytes"] / length
            print(f"| {shape} | {length / 1e6:.1f} | {live_ratio:.2f} | {peak_ratio:.2f} | "
                  f"{peak_ratio - live_ratio:.2f} |")


if __name__ == "__main__":
    main()
