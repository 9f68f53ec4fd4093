"""The durable broker on a real SQLite file and a real PostgreSQL server: what
it writes, when it folds, how callers share commits, how it refuses a damaged
store, a second writer and a failed store, and how a workspace rotates."""

import json
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

from records import action, intent, observed, raised, rechain, text
from tallowmere._native import Broker, BrokerError
from tallowmere.durable import (DurableBroker, DurableError, JournalRefused, read_journal,
                                replay_store)

SOURCES = [f"s{index}" for index in range(8)]
CONFIG = {"trusted_sources": SOURCES, "max_intents": 1000, "max_resources": 1000}


def observe_many(broker, count, source="s0", first=1):
    for sequence in range(first, first + count):
        broker.observe(observed(f"{source}-{sequence}", f"r{sequence}", source=source,
                                sequence=sequence))


def stored(url, workspace="default"):
    return json.loads(Broker.replay(read_journal(url, workspace)))


def layout(raw):
    """(head checkpoint sequence, [(first, last) of each batch])."""
    journal = raw("SELECT checkpoint_sequence FROM tallowmere_journal WHERE active = 1")
    batches = raw("SELECT first_sequence, last_sequence FROM tallowmere_batch "
                  "ORDER BY first_sequence")
    return journal[0][0], [tuple(batch) for batch in batches]


@pytest.mark.parametrize("options, journal_limit, count, head, batches", [
    # One caller: one batch per command, until a bound folds them into the head.
    ({}, 10**5, 10, 0, [(n, n) for n in range(1, 11)]),
    ({"fold_entries": 4}, 10**5, 10, 8, [(9, 9), (10, 10)]),
    ({"fold_bytes": 1}, 10**5, 10, 10, []),
    # With the fold bounds out of reach, the broker's own backpressure (a
    # reserve of 16 entries of 32) folds, and the command is retried.
    ({}, 32, 40, 32, [(n, n) for n in range(33, 41)]),
])
def test_commits_write_only_new_entries_and_fold_past_a_bound(
        store_url, raw, options, journal_limit, count, head, batches):
    with DurableBroker(store_url, text({**CONFIG, "max_journal_entries": journal_limit}),
                       **{"fold_entries": 10**6, "fold_bytes": 2**30, **options}) as broker:
        observe_many(broker, count)
        live = broker._broker.journal()
    assert layout(raw()) == (head, batches)
    # The rows join into the live journal, byte for byte.
    assert read_journal(store_url) == live


def test_concurrent_callers_share_commits(store_url, raw):
    with DurableBroker(store_url, text(CONFIG)) as broker:
        with ThreadPoolExecutor(len(SOURCES)) as pool:
            list(pool.map(lambda source: observe_many(broker, 30, source), SOURCES))
    assert len(layout(raw())[1]) < 240 and stored(store_url)["revision"] == 240


# Another process: another connection, for PostgreSQL another machine.
SECOND_WRITER = """
import sys
from tallowmere.durable import DurableBroker
try:
    DurableBroker(sys.argv[1])
except Exception as error:
    print(type(error).__name__, error)
"""


def test_a_second_writer_is_refused_and_readers_need_no_lease(store_url):
    locked = "store_locked: another writer holds the store"
    with DurableBroker(store_url, text(CONFIG)) as broker:
        observe_many(broker, 2)
        second = subprocess.run([sys.executable, "-P", "-c", SECOND_WRITER, store_url],
                                capture_output=True, text=True, check=True)
        assert second.stdout == f"DurableError {locked}\n"
        assert str(raised(DurableError, DurableBroker, store_url)) == locked
        assert stored(store_url)["revision"] == 2
        observe_many(broker, 1, first=3)
    # Closing releases the lease.
    with DurableBroker(store_url) as broker:
        assert json.loads(broker.snapshot())["revision"] == 3


def test_a_standby_takes_over_and_the_old_writer_stops(postgres_url):
    old = DurableBroker(postgres_url, text(CONFIG))
    observe_many(old, 3)
    standby = DurableBroker(postgres_url, takeover=True)
    assert json.loads(standby.snapshot())["revision"] == 3
    for call in (lambda: observe_many(old, 1, first=4), lambda: old.register_action(action())):
        assert str(raised(DurableError, call)) == \
            "store_fenced: another writer took the store over (epoch 3)"
    observe_many(standby, 1, first=4, source="s1")
    standby.close()
    old.close()
    journal = stored(postgres_url)
    assert journal["revision"] == 4 and "s0-4" not in journal["state"]["event_hashes"]


def test_a_failed_store_stops_the_broker_and_loses_nothing_acknowledged(store_url, raw):
    broker = DurableBroker(store_url, text(CONFIG))
    broker.register_action(action())
    observe_many(broker, 3)
    connection = broker._store.connection
    if store_url.startswith("postgresql://"):
        raw()("SELECT pg_terminate_backend(?)", connection.info.backend_pid)
        failure = "store_failed: "
    else:
        pages = connection.execute("PRAGMA page_count").fetchone()[0]
        connection.execute(f"PRAGMA max_page_count = {pages}")
        failure = "store_failed: database or disk is full; reopen the broker from its store"
    # A large entry that needs new pages; then anything at all.
    texts = [str(raised(DurableError, call)) for call in (
        lambda: broker.submit(intent("big", "r1", arguments={"blob": "x" * 60000})),
        lambda: broker.observe(observed("late", "r9", source="s1")), broker.expire)]
    assert texts[0].startswith(failure) and texts == texts[:1] * 3, texts
    broker.close()
    with DurableBroker(store_url) as reopened:
        state = json.loads(reopened.snapshot())["state"]
    assert state["revision"] == 3 and state["actions"] and not state["intents"]


def batch(connection, sequence, entries=None):
    """The entries of the batch that starts at `sequence`, or sets them."""
    if entries is None:
        return connection("SELECT entries FROM tallowmere_batch WHERE first_sequence = ?",
                          sequence)[0][0]
    return connection("UPDATE tallowmere_batch SET entries = ? WHERE first_sequence = ?",
                      entries, sequence)


def forge_result(connection):
    # The result hash of entry 4 changed and every hash after it recomputed:
    # the chain holds, and only running the command again shows the lie.
    journal = json.loads("[" + ",".join(batch(connection, n) for n in range(1, 7)) + "]")
    journal[3]["result_hash"] = "0" * 64
    rechain({"checkpoint_hash": journal[0]["previous_hash"], "entries": journal}, 3)
    for entry in journal:
        batch(connection, entry["sequence"], text(entry))


CHAIN = "journal_integrity: entry chain mismatch"


@pytest.mark.parametrize("tamper, refusal, sequence", [
    (lambda c: batch(c, 3, batch(c, 3).replace('"v1"', '"v2"')), CHAIN, 3),
    (lambda c: c("DELETE FROM tallowmere_batch WHERE first_sequence = 3"), CHAIN, 3),
    (lambda c: c("DELETE FROM tallowmere_batch WHERE first_sequence = 6"), CHAIN, 6),
    (lambda c: [batch(c, n, entries) for n, entries in ((2, batch(c, 3)), (3, batch(c, 2)))],
     CHAIN, 2),
    (lambda c: batch(c, 6, batch(c, 6)[:-40]), "invalid_json: ", 6),
    (lambda c: c("UPDATE tallowmere_head SET text = replace(text, '\"default\"', '\"defaulx\"')"),
     "journal_integrity: checkpoint digest mismatch", 0),
    (forge_result, "journal_replay: recorded transition differs from reducer result", 4),
], ids=["edit_entry", "drop_middle", "drop_tail", "swap_rows", "cut_entry", "edit_head",
        "forge_result"])
def test_a_damaged_store_is_refused_at_the_entry_at_fault(
        store_url, raw, tamper, refusal, sequence):
    # A head at sequence 0 and one batch per entry, 1 to 6.
    with DurableBroker(store_url, text(CONFIG)) as broker:
        broker.register_action(action())
        observe_many(broker, 3)
        broker.submit(intent("i1", "r1"))
        broker.begin("i1")
    connection = raw()
    tamper(connection)
    at = "entry" if sequence else "checkpoint"
    for open_ in (DurableBroker, replay_store):
        error = raised(JournalRefused, open_, store_url)
        assert error.text.startswith(refusal) and (error.sequence, error.at) == (sequence, at)
        assert str(error) == f"{error.text} ({at} {sequence})"
    # Refused, not repaired: the rows are as the damage left them.
    assert layout(connection)[0] == 0


def test_rotation_carries_the_grants_and_actions_over_once_no_intent_is_open(store_url):
    config = text({"workspace_id": "w1", "capabilities": ["deploy", "audit"], "max_intents": 2})
    with DurableBroker(store_url, config) as broker:
        broker.register_action(action(required_capabilities=["deploy"]))
        broker.observe(observed("e1", "r1"))
        broker.submit(intent("i1", "r1"))
        broker.submit(intent("i2"))
        assert str(raised(BrokerError, broker.submit, intent("i3"))).startswith("intent_limit: ")
        broker.revoke("audit")
        assert str(raised(DurableError, broker.rotate, "w2")) == \
            "workspace_open: 2 intents still open, first i1"
        broker.cancel("i1")
        broker.cancel("i2")
        broker.rotate("w2")
        assert broker.workspace_id == "w2"
        state = json.loads(broker.snapshot())["state"]
        assert (state["capabilities"], list(state["actions"]), state["intents"]) == (
            ["deploy"], ["deploy"], {})
        broker.observe(observed("e1", "r1"))
        broker.submit(intent("i3", "r1"))
    archived = stored(store_url, "w1")
    assert archived["workspace_id"] == "w1" and len(archived["state"]["intents"]) == 2
    with DurableBroker(store_url) as reopened:
        assert reopened.workspace_id == "w2"
        assert list(json.loads(reopened.snapshot())["state"]["intents"]) == ["i3"]
