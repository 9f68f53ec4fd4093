#!/usr/bin/env python3
"""Durable commands per second and their median latency, on SQLite
(synchronous=FULL) and on a private PostgreSQL server (synchronous_commit=on)
that this script starts on a Unix socket, at 100, 4,096 and 30,000 stored
intents:

- durable, 1 caller: DurableBroker.observe, returning once committed;
- durable, 8 callers: the same from 8 threads sharing commits;
- today's way: the command, journal(), the whole text stored in one
  transaction, then checkpoint(tip);
- floor: the same database committing one small row per transaction.

Then what one journal_entries() call and one journal() call cost beside each
other, and the time to open a store holding 100,000 entries on top of a
4,096-intent head (load, join, from_journal, and the fold that follows).
Everything runs in one process on one machine: compare within one run.

    .venv/bin/python -P bench/durable.py [--commands 400] [--today 20]
"""

import argparse
import json
import os
import pathlib
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).parents[1] / "tests" / "durable"))
from pg_server import Server  # noqa: E402

from tallowmere._native import Broker  # noqa: E402
from tallowmere.durable import DurableBroker, open_store  # noqa: E402
from tallowmere.durable import texts  # noqa: E402

SOURCES = [f"source-{index}" for index in range(8)]
CONFIG = json.dumps({"capabilities": ["deploy"], "trusted_sources": SOURCES,
                     "max_resources": 100000, "max_intents": 31000, "max_events": 1000000,
                     "max_journal_entries": 200000})
ARGUMENTS = {"image": "registry.example/api:2.4.1", "replicas": 3, "region": "eu-west-1",
             "labels": {"team": "platform", "tier": "backend"}, "dry_run": False}
STORED = (100, 4096, 30000)
TODAY = "today: journal() + store + checkpoint"


def observed(source, sequence):
    return json.dumps({"event_id": f"{source}-{sequence}", "source_id": source,
                       "source_sequence": sequence, "kind": "resource_observed",
                       "resource_id": f"svc-{sequence % 1000}",
                       "fingerprint": f"sha256:{sequence:064x}"})


def position(broker):
    """The broker's journal position (an O(state) head read: setup only)."""
    return texts.read_page(broker.journal_entries(texts.read_head(broker.journal_head())
                                                  .sequence))


def seeded(intents):
    """A broker holding `intents` finished intents, folded into its head."""
    broker = Broker(CONFIG)
    broker.register_action(json.dumps({"action_id": "deploy", "allow_write": True,
                                       "required_capabilities": ["deploy"]}))
    for index in range(intents):
        broker.submit(json.dumps({"intent_id": f"intent-{index}", "action_id": "deploy",
                                  "resources": [], "idempotency_key": f"key-{index}",
                                  "arguments": ARGUMENTS}))
        broker.cancel(f"intent-{index}")
        if index % 20000 == 19999:
            broker.checkpoint(position(broker).tip)
    broker.checkpoint(position(broker).tip)
    return broker


def fresh_store(target, head_text):
    """A store holding `head_text` as its journal, as a fold leaves it."""
    store = open_store(target)
    store.lease()
    store.create(texts.workspace_of(head_text), head_text, texts.read_head(head_text))
    store.close()


def rate(latencies, wall):
    return len(latencies) / wall, statistics.median(latencies) * 1e3


def durable_loop(target, callers, commands):
    broker = DurableBroker(target, fold_entries=10**6, fold_bytes=2**40)
    latencies = []
    per_caller = commands // callers

    def caller(source):
        for sequence in range(1, per_caller + 1):
            started = time.perf_counter()
            broker.observe(observed(source, sequence))
            latencies.append(time.perf_counter() - started)

    threads = [threading.Thread(target=caller, args=(source,)) for source in SOURCES[:callers]]
    started = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wall = time.perf_counter() - started
    broker.close()
    return rate(latencies, wall)


class Database:
    """One connection to either store's database for the baseline loops."""

    def __init__(self, target):
        self.postgres = target.startswith("postgresql://")
        if self.postgres:
            import psycopg
            self.connection = psycopg.connect(target, autocommit=True)
        else:
            import sqlite3
            self.connection = sqlite3.connect(target, isolation_level=None)
            self.connection.execute("PRAGMA journal_mode = WAL")
            self.connection.execute("PRAGMA synchronous = FULL")
        self.connection.execute("CREATE TABLE IF NOT EXISTS bench_row (id BIGINT PRIMARY KEY, "
                                "value TEXT NOT NULL)")
        self.marker = "%s" if self.postgres else "?"

    def commit(self, sql, *parameters):
        if self.postgres:
            with self.connection.transaction():
                self.connection.execute(sql.replace("?", "%s"), parameters)
        else:
            self.connection.execute("BEGIN IMMEDIATE")
            self.connection.execute(sql, parameters)
            self.connection.execute("COMMIT")

    def close(self):
        self.connection.close()


def floor_loop(target, commands):
    database = Database(target)
    latencies = []
    started = time.perf_counter()
    for index in range(commands):
        begun = time.perf_counter()
        database.commit("INSERT INTO bench_row (id, value) VALUES (?, ?)", index, "x" * 64)
        latencies.append(time.perf_counter() - begun)
    wall = time.perf_counter() - started
    database.close()
    return rate(latencies, wall)


def today_loop(target, broker, commands):
    """The command, then journal(), stored whole, then checkpoint(tip). The
    tip is cut from the text's end, the cheapest way today's API allows."""
    database = Database(target)
    upsert = ("INSERT INTO bench_row (id, value) VALUES (1, ?) ON CONFLICT (id) "
              "DO UPDATE SET value = excluded.value")
    latencies = []
    started = time.perf_counter()
    for sequence in range(1, commands + 1):
        begun = time.perf_counter()
        broker.observe(observed(SOURCES[7], 10**6 + sequence))
        text = broker.journal()
        database.commit(upsert, text)
        broker.checkpoint(text[-68:-4])
        latencies.append(time.perf_counter() - begun)
    wall = time.perf_counter() - started
    database.close()
    return rate(latencies, wall)


def call_costs(broker):
    """Microseconds of journal_entries() for one new entry, and of journal()."""
    broker.observe(observed(SOURCES[6], 1))
    after = position(broker).sequence - 1
    calls = 2000
    started = time.perf_counter()
    for _ in range(calls):
        broker.journal_entries(after)
    entries_us = (time.perf_counter() - started) / calls * 1e6
    started = time.perf_counter()
    for _ in range(5):
        text = broker.journal()
    journal_us = (time.perf_counter() - started) / 5 * 1e6
    return entries_us, journal_us, len(text)


def recovery(target, entries):
    """Seconds to open a store of `entries` entries after a 4,096-intent head."""
    broker = seeded(4096)
    head_text = broker.journal_head()
    fresh_store(target, head_text)
    store = open_store(target)
    store.lease()
    stored = store.claim()
    for sequence in range(1, entries + 1):
        broker.observe(observed(SOURCES[0], sequence))
        if sequence % 1000 == 0 or sequence == entries:
            page = texts.read_page(broker.journal_entries(stored.sequence))
            store.append(stored, page, len(page.entries.encode()))
    store.close()
    del broker
    started = time.perf_counter()
    reopened = DurableBroker(target)
    elapsed = time.perf_counter() - started
    reopened.close()
    return elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--commands", type=int, default=400)
    parser.add_argument("--today", type=int, default=20)
    parser.add_argument("--recovery", type=int, default=100000)
    options = parser.parse_args()

    server = Server()
    databases = iter(range(10**6))
    work = tempfile.mkdtemp(prefix="tallowmere-bench-")

    def target(kind):
        name = f"bench{next(databases)}"
        if kind == "sqlite":
            return os.path.join(work, name + ".sqlite3")
        return server.create_database(name)

    try:
        seeds = {count: seeded(count) for count in STORED}
        rows = []
        for kind in ("sqlite", "postgres"):
            floor = floor_loop(target(kind), options.commands)
            rows.append((kind, "floor: one small row per commit", "-", *floor))
            for count in STORED:
                head_text = seeds[count].journal_head()
                for callers in (1, 8):
                    place = target(kind)
                    fresh_store(place, head_text)
                    measured = durable_loop(place, callers, options.commands)
                    rows.append((kind, f"durable, {callers} caller{'s' * (callers > 1)}", count,
                                 *measured))
                today = Broker.from_journal(seeds[count].journal())
                rows.append((kind, TODAY, count,
                             *today_loop(target(kind), today, options.today)))

        print(f"{'store':<9} {'loop':<40} {'intents':>7} {'commands/s':>11} "
              f"{'median ms':>10}")
        for kind, loop, count, per_second, median in rows:
            print(f"{kind:<9} {loop:<40} {count:>7} {per_second:>11.0f} {median:>10.3f}")

        print()
        print("targets, from the rows above:")
        for kind in ("sqlite", "postgres"):
            table = {(loop, count): (per_second, median)
                     for row_kind, loop, count, per_second, median in rows if row_kind == kind}
            one = {count: table[("durable, 1 caller", count)] for count in STORED}
            eight = {count: table[("durable, 8 callers", count)] for count in STORED}
            floor = table[("floor: one small row per commit", "-")]
            growth = one[30000][1] / one[100][1]
            print(f"{kind}: median latency 30,000 / 100 intents = {growth:.2f} (target <= 1.5)")
            print(f"{kind}: 1 caller / floor latency = "
                  + ", ".join(f"{one[count][1] / floor[1]:.2f}" for count in STORED)
                  + " at 100, 4,096, 30,000 (target <= 1.5)")
            print(f"{kind}: 8 callers / 1 caller throughput = "
                  + ", ".join(f"{eight[count][0] / one[count][0]:.2f}" for count in STORED)
                  + " (target >= 3)")
            today = {count: table[(TODAY, count)] for count in STORED}
            print(f"{kind}: durable / today throughput at 4,096 and 30,000 intents = "
                  + ", ".join(f"{one[count][0] / today[count][0]:.0f}x" for count in (4096, 30000)))

        print()
        print(f"{'intents':>7} {'journal_entries() us':>21} {'journal() us':>13} "
              f"{'journal() bytes':>16}")
        for count in STORED:
            entries_us, journal_us, length = call_costs(seeds[count])
            print(f"{count:>7} {entries_us:>21.2f} {journal_us:>13.0f} {length:>16}")

        print()
        title = f"open after {options.recovery} entries on 4,096 intents"
        print(f"{'store':<9} {title:>48}")
        for kind in ("sqlite", "postgres"):
            print(f"{kind:<9} {recovery(target(kind), options.recovery):>46.2f} s")
    finally:
        server.stop()
        for name in os.listdir(work):
            os.remove(os.path.join(work, name))
        os.rmdir(work)


if __name__ == "__main__":
    main()
