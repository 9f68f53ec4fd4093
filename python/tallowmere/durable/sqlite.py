"""The embedded store: one SQLite file, in WAL mode, synchronous=FULL by
default, so a commit that returned survives a power cut.

One writer at a time: the writer holds an exclusive lock on the file
`<path>.lease` for as long as it lives. The operating system drops the lock
with the process, so a killed writer leaves nothing to clean up. Readers take
no lease and read a consistent snapshot while the writer goes on.
"""

import contextlib
import fcntl
import os
import sqlite3

from .errors import DurableError
from .store import SCHEMA, Store, locked_out

SYNCHRONOUS = ("OFF", "NORMAL", "FULL", "EXTRA")


class SqliteStore(Store):
    kind = "sqlite"

    def __init__(self, path, *, synchronous="FULL", read_only=False):
        if synchronous not in SYNCHRONOUS:
            raise ValueError(f"synchronous must be one of {', '.join(SYNCHRONOUS)}")
        self.path = os.fspath(path)
        self.read_only = read_only
        self._lease = None
        if read_only:
            if not os.path.exists(self.path):
                raise DurableError(f"store_missing: no store at {self.path}")
            uri = "file:" + os.path.abspath(self.path) + "?mode=ro"
            self.connection = sqlite3.connect(uri, uri=True, isolation_level=None,
                                              check_same_thread=False)
        else:
            self.connection = sqlite3.connect(self.path, isolation_level=None,
                                              check_same_thread=False)
        try:
            self.connection.execute("PRAGMA busy_timeout = 10000")
            if not read_only:
                self.connection.execute("PRAGMA journal_mode = WAL")
                self.connection.execute(f"PRAGMA synchronous = {synchronous}")
                with self._transaction(write=True) as cursor:
                    for statement in SCHEMA:
                        cursor.execute(statement)
        except BaseException:
            self.connection.close()
            raise

    def lease(self, takeover=False):
        """Takes the writer's lease, or raises "store_locked". A file has no
        other machine to take it over from, so `takeover` changes nothing."""
        if self._lease is not None:
            return
        descriptor = os.open(self.path + ".lease", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(descriptor)
            raise locked_out() from None
        self._lease = descriptor

    def _has_schema(self, cursor):
        return cursor.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' "
                              "AND name = 'tallowmere_journal'").fetchone() is not None

    @staticmethod
    def _placeholders(sql):
        return sql

    @contextlib.contextmanager
    def _transaction(self, write):
        cursor = self.connection.cursor()
        # IMMEDIATE takes the write lock at once, so a write transaction never
        # has to be retried halfway; a read sees one snapshot throughout.
        cursor.execute("BEGIN IMMEDIATE" if write else "BEGIN")
        try:
            yield cursor
        except BaseException:
            if self.connection.in_transaction:
                self.connection.execute("ROLLBACK")
            raise
        else:
            cursor.execute("COMMIT")
        finally:
            cursor.close()

    def close(self):
        self.connection.close()
        if self._lease is not None:
            os.close(self._lease)
            self._lease = None
