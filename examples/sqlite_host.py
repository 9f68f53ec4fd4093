"""A host that keeps its broker's journal in SQLite.

The broker lives in memory; the database holds the last journal text the host
persisted. `persist` writes that text in one transaction and acknowledges it to
the broker with `checkpoint` only after the commit, so the broker never forgets
entries the database does not hold yet. On start the host rebuilds the broker
from the database with `Broker.from_journal`, or creates a new one.

Run it with a database path to see what a restart recovers:

    python examples/sqlite_host.py broker.sqlite3
"""

import json
import sqlite3
import sys

from tallowmere._native import Broker, BrokerError

SCHEMA = """
CREATE TABLE IF NOT EXISTS journal (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    sequence INTEGER NOT NULL,
    tip TEXT NOT NULL,
    text TEXT NOT NULL
)
"""

STORE = """
INSERT INTO journal (id, sequence, tip, text) VALUES (1, ?, ?, ?)
ON CONFLICT (id) DO UPDATE
SET sequence = excluded.sequence, tip = excluded.tip, text = excluded.text
"""


def journal_position(journal_text):
    """The sequence and the tip hash a journal text ends at."""
    journal = json.loads(journal_text)
    entries = journal["entries"]
    if entries:
        return entries[-1]["sequence"], entries[-1]["hash"]
    return journal["checkpoint_sequence"], journal["checkpoint_hash"]


class SqliteHost:
    """A broker whose journal is persisted in the SQLite database at `path`."""

    def __init__(self, path, config_json="{}"):
        # Autocommit mode: the host opens and commits its transactions itself.
        self.connection = sqlite3.connect(path, isolation_level=None)
        self.connection.execute("PRAGMA journal_mode = WAL")
        self.connection.execute("PRAGMA synchronous = FULL")
        self.connection.execute(SCHEMA)
        stored = self.connection.execute("SELECT text FROM journal WHERE id = 1").fetchone()
        if stored is None:
            self.broker = Broker(config_json)
        else:
            # The configuration travels inside the journal; config_json only
            # applies to a new database.
            self.broker = Broker.from_journal(stored[0])
        # Recovery may have journaled its own entry; make it durable at once.
        self.persist()

    def persist(self):
        """Stores the broker's journal, then acknowledges it. Returns the
        sequence the database now holds."""
        text = self.broker.journal()
        sequence, tip = journal_position(text)
        self.connection.execute("BEGIN IMMEDIATE")
        try:
            self.connection.execute(STORE, (sequence, tip, text))
        except BaseException:
            self.connection.execute("ROLLBACK")
            raise
        self.connection.execute("COMMIT")
        try:
            self.broker.checkpoint(tip)
        except BrokerError as error:
            # Another thread journaled a command since `text` was taken. The
            # database still holds a valid journal; the next persist covers
            # the newer entries.
            if not str(error).startswith("checkpoint_mismatch: "):
                raise
        return sequence

    def close(self):
        self.connection.close()


def main(path):
    host = SqliteHost(path)
    snapshot = json.loads(host.broker.snapshot())
    print(f"journal sequence {snapshot['journal_sequence']}, broker time {host.broker.now_ms()} ms")
    for intent_id, record in snapshot["state"]["intents"].items():
        print(f"  {intent_id}: {record['status']}")
    host.close()


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: sqlite_host.py DATABASE")
    main(sys.argv[1])
