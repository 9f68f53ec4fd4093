"""Durable brokers: a `Broker` whose journal is committed to a store before
any result is returned, on SQLite (embedded, the default) or PostgreSQL."""

from .broker import DurableBroker, load_stored, open_store, read_journal, replay_store
from .errors import DurableError, JournalRefused
from .sqlite import SqliteStore
from .store import Store


def __getattr__(name):
    # psycopg is optional: the PostgreSQL store loads only when asked for.
    if name == "PostgresStore":
        from .postgres import PostgresStore
        return PostgresStore
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = ["DurableBroker", "DurableError", "JournalRefused", "PostgresStore", "SqliteStore",
           "Store", "load_stored", "open_store", "read_journal", "replay_store"]
