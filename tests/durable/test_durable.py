"""The durable broker on a real SQLite file and a real PostgreSQL server: what
it writes, when it folds, how callers share commits, how it refuses a damaged
store, a second writer and a failed store, and how a workspace rotates."""

import json
import subprocess
import sys
import threading

import pytest

from records import action, intent, observed, rechain, text
from tallowmere._native import Broker, BrokerError
from tallowmere.durable import (DurableBroker, DurableError, JournalRefused, read_journal,
                                replay_store)

SOURCES = [f"s{index}" for index in range(8)]
CONFIG = text({"trusted_sources": SOURCES, "max_intents": 1000, "max_resources": 1000})


def observe_many(broker, count, source="s0", first=1):
    for sequence in range(first, first + count):
        broker.observe(observed(f"{source}-{sequence}", f"r{sequence}", source=source,
                                sequence=sequence))


def layout(raw):
    """(head checkpoint sequence, [(first, last) of each batch])."""
    journal = raw("SELECT checkpoint_sequence FROM tallowmere_journal WHERE active = 1")
    batches = raw("SELECT first_sequence, last_sequence FROM tallowmere_batch "
                  "ORDER BY first_sequence")
    return journal[0][0], [tuple(batch) for batch in batches]


@pytest.mark.parametrize("fold_entries, fold_bytes, head, batches", [
    # One caller: one batch per command, until a bound folds them into the head.
    (10**6, 2**30, 0, [(n, n) for n in range(1, 11)]),
    (4, 2**30, 8, [(9, 9), (10, 10)]),
    (10**6, 1, 10, []),
])
def test_commits_write_only_new_entries_and_fold_past_a_bound(
        store_url, raw, fold_entries, fold_bytes, head, batches):
    with DurableBroker(store_url, CONFIG, fold_entries=fold_entries,
                       fold_bytes=fold_bytes) as broker:
        observe_many(broker, 10)
        live = broker._broker.journal()
    assert layout(raw()) == (head, batches)
    # The rows join into the live journal, byte for byte.
    assert read_journal(store_url) == live


def test_concurrent_callers_share_commits(store_url, raw):
    with DurableBroker(store_url, CONFIG) as broker:
        threads = [threading.Thread(target=observe_many, args=(broker, 30, source))
                   for source in SOURCES]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    commits = len(layout(raw())[1])
    assert commits < 240
    assert json.loads(Broker.replay(read_journal(store_url)))["revision"] == 240


def test_a_full_journal_folds_and_the_command_is_retried(tmp_path):
    # With the fold bounds out of reach, the broker's own backpressure
    # (reserve 16 with no open intent, 32 entries) is what folds.
    config, sqlite_path = text({"max_journal_entries": 32}), str(tmp_path / "b.sqlite3")
    with DurableBroker(sqlite_path, config, fold_entries=10**6) as broker:
        observe_many(broker, 40, source="runtime")
        assert json.loads(broker.snapshot())["revision"] == 40
    assert json.loads(Broker.replay(read_journal(sqlite_path)))["revision"] == 40


SECOND_WRITER = """
import sys
from tallowmere.durable import DurableBroker
try:
    DurableBroker(sys.argv[1])
except Exception as error:
    print(type(error).__name__, error)
"""


def test_a_second_writer_is_refused_and_readers_need_no_lease(store_url):
    with DurableBroker(store_url, CONFIG) as broker:
        observe_many(broker, 2)
        # Another process: another connection, for PostgreSQL another machine.
        second = subprocess.run([sys.executable, "-P", "-c", SECOND_WRITER, store_url],
                                capture_output=True, text=True, check=True)
        assert second.stdout == "DurableError store_locked: another writer holds the store\n"
        with pytest.raises(DurableError, match="^store_locked: another writer holds the store$"):
            DurableBroker(store_url)
        assert json.loads(Broker.replay(read_journal(store_url)))["revision"] == 2
        observe_many(broker, 1, first=3)
    # Closing releases the lease.
    with DurableBroker(store_url) as broker:
        assert json.loads(broker.snapshot())["revision"] == 3


def test_a_standby_takes_over_and_the_old_writer_stops(postgres_url):
    old = DurableBroker(postgres_url, CONFIG)
    observe_many(old, 3)
    standby = DurableBroker(postgres_url, takeover=True)
    assert json.loads(standby.snapshot())["revision"] == 3
    fenced = "store_fenced: another writer took the store over (epoch 3)"
    for call in (lambda: observe_many(old, 1, first=4), lambda: old.register_action(action())):
        with pytest.raises(DurableError) as caught:
            call()
        assert str(caught.value) == fenced
    observe_many(standby, 1, first=4, source="s1")
    standby.close()
    old.close()
    journal = json.loads(Broker.replay(read_journal(postgres_url)))
    assert journal["revision"] == 4 and "s0-4" not in journal["state"]["event_hashes"]


def break_sqlite(broker):
    connection = broker._store.connection
    pages = connection.execute("PRAGMA page_count").fetchone()[0]
    connection.execute(f"PRAGMA max_page_count = {pages}")


def break_postgres(broker):
    import psycopg
    pid = broker._store.connection.info.backend_pid
    with psycopg.connect(broker._store.conninfo, autocommit=True) as admin:
        admin.execute("SELECT pg_terminate_backend(%s)", (pid,))


@pytest.mark.parametrize("store, failure", [
    ("sqlite", "store_failed: database or disk is full; reopen the broker from its store"),
    ("postgres", "store_failed: "),
])
def test_a_failed_store_stops_the_broker_and_loses_nothing_acknowledged(
        request, tmp_path, store, failure):
    url = str(tmp_path / "b.sqlite3") if store == "sqlite" else \
        request.getfixturevalue("postgres_url")
    broker = DurableBroker(url, CONFIG)
    broker.register_action(action())
    observe_many(broker, 3)
    (break_sqlite if store == "sqlite" else break_postgres)(broker)
    # A large entry that needs new pages; then anything at all.
    calls = [lambda: broker.submit(intent("big", "r1", arguments={"blob": "x" * 60000})),
             lambda: broker.observe(observed("late", "r9", source="s1")),
             lambda: broker.expire()]
    texts = []
    for call in calls:
        with pytest.raises(DurableError) as caught:
            call()
        texts.append(str(caught.value))
    assert texts[0].startswith(failure) and texts == texts[:1] * 3, texts
    broker.close()
    with DurableBroker(url) as reopened:
        state = json.loads(reopened.snapshot())["state"]
    assert state["revision"] == 3 and state["actions"] and not state["intents"]


def tampered_store(store_url, raw):
    """A store with a head at sequence 0 and one batch per entry, 1 to 6."""
    with DurableBroker(store_url, CONFIG) as broker:
        broker.register_action(action())
        observe_many(broker, 3)
        broker.submit(intent("i1", "r1"))
        broker.begin("i1")
    return raw()


def batch_of(connection, sequence):
    return connection("SELECT entries FROM tallowmere_batch WHERE first_sequence = ?",
                      sequence)[0][0]


def set_batch(connection, sequence, entries):
    connection("UPDATE tallowmere_batch SET entries = ? WHERE first_sequence = ?", entries,
               sequence)


def edit_batch(sequence, edit):
    return lambda connection: set_batch(connection, sequence, edit(batch_of(connection, sequence)))


def drop_batch(sequence):
    return lambda connection: connection("DELETE FROM tallowmere_batch WHERE first_sequence = ?",
                                         sequence)


def swap_rows(connection):
    second, third = batch_of(connection, 2), batch_of(connection, 3)
    set_batch(connection, 2, third)
    set_batch(connection, 3, second)


def forge_result(connection):
    # The result hash of entry 4 changed and every hash after it recomputed:
    # the chain holds, and only running the command again shows the lie.
    journal = json.loads("[" + ",".join(batch_of(connection, n) for n in range(1, 7)) + "]")
    entries = {"checkpoint_hash": journal[0]["previous_hash"], "entries": journal}
    journal[3]["result_hash"] = "0" * 64
    rechain(entries, 3)
    for entry in journal:
        set_batch(connection, entry["sequence"], text(entry))


CHAIN = "journal_integrity: entry chain mismatch"


@pytest.mark.parametrize("tamper, refusal, sequence", [
    (edit_batch(3, lambda entries: entries.replace('"v1"', '"v2"')), CHAIN, 3),
    (drop_batch(3), CHAIN, 3),
    (drop_batch(6), CHAIN, 6),
    (swap_rows, CHAIN, 2),
    (edit_batch(6, lambda entries: entries[:-40]), "invalid_json: ", 6),
    (lambda connection: connection(
        "UPDATE tallowmere_head SET text = replace(text, '\"default\"', '\"defaulx\"')"),
     "journal_integrity: checkpoint digest mismatch", 0),
    (forge_result, "journal_replay: recorded transition differs from reducer result", 4),
], ids=["edit_entry", "drop_middle", "drop_tail", "swap_rows", "cut_entry", "edit_head",
        "forge_result"])
def test_a_damaged_store_is_refused_at_the_entry_at_fault(
        store_url, raw, tamper, refusal, sequence):
    connection = tampered_store(store_url, raw)
    tamper(connection)
    at = "entry" if sequence else "checkpoint"
    for open_ in (DurableBroker, replay_store):
        with pytest.raises(JournalRefused) as caught:
            open_(store_url)
        error = caught.value
        assert error.text.startswith(refusal) and (error.sequence, error.at) == (sequence, at)
        assert str(error) == f"{error.text} ({at} {sequence})"
    # Refused, not repaired: the rows are as the damage left them.
    assert layout(connection)[0] == 0


def test_rotation_carries_the_grants_and_actions_over_once_no_intent_is_open(store_url):
    config = text({"workspace_id": "w1", "capabilities": ["deploy", "audit"],
                   "max_intents": 2})
    with DurableBroker(store_url, config) as broker:
        broker.register_action(action(required_capabilities=["deploy"]))
        broker.observe(observed("e1", "r1"))
        broker.submit(intent("i1", "r1"))
        broker.submit(intent("i2"))
        with pytest.raises(BrokerError, match="^intent_limit: "):
            broker.submit(intent("i3"))
        broker.revoke("audit")
        with pytest.raises(DurableError) as caught:
            broker.rotate("w2")
        assert str(caught.value) == "workspace_open: 2 intents still open, first i1"
        broker.cancel("i1")
        broker.cancel("i2")
        broker.rotate("w2")
        assert broker.workspace_id == "w2"
        state = json.loads(broker.snapshot())["state"]
        assert (state["capabilities"], list(state["actions"]), state["intents"]) == (
            ["deploy"], ["deploy"], {})
        broker.observe(observed("e1", "r1"))
        broker.submit(intent("i3", "r1"))
    archived = json.loads(Broker.replay(read_journal(store_url, "w1")))
    assert archived["workspace_id"] == "w1" and len(archived["state"]["intents"]) == 2
    with DurableBroker(store_url) as reopened:
        assert reopened.workspace_id == "w2"
        assert list(json.loads(reopened.snapshot())["state"]["intents"]) == ["i3"]
