"""The store for more than one machine: a PostgreSQL database, through
psycopg 3 (the `postgres` extra).

The journal lives in the database, which the operator replicates; a standby
on another machine opens the same store with `takeover=True` and rebuilds the
broker from it. While a writer is connected it holds a session advisory lock,
so a second writer that does not ask to take over is refused at once. Taking
over raises the journal's epoch; the old writer's next write then changes no
row, and it stops without acknowledging anything more.
"""

import contextlib

from .errors import DurableError
from .store import SCHEMA, Store, locked_out

# pg_try_advisory_lock(classid, objid): one lock per database.
_LEASE_KEY = (0x7A11, 0x0E1E)


def _psycopg():
    try:
        import psycopg
    except ImportError:
        raise DurableError("store_driver: the PostgreSQL store needs psycopg 3; "
                           "install tallowmere[postgres]") from None
    return psycopg


class PostgresStore(Store):
    kind = "postgres"

    def __init__(self, conninfo, *, read_only=False, connect_timeout=10):
        psycopg = _psycopg()
        self.conninfo = conninfo
        self.read_only = read_only
        self.connection = psycopg.connect(conninfo, autocommit=True,
                                          connect_timeout=connect_timeout)
        self._leased = False
        try:
            if not read_only:
                with self._transaction(write=True) as cursor:
                    # Concurrent first opens would race on CREATE IF NOT EXISTS.
                    cursor.execute("SELECT pg_advisory_xact_lock(%s, %s)",
                                   (_LEASE_KEY[0], _LEASE_KEY[1] + 1))
                    for statement in SCHEMA:
                        cursor.execute(statement)
        except BaseException:
            self.connection.close()
            raise

    def lease(self, takeover=False):
        """Takes the writer's lease, or raises "store_locked" while another
        writer is connected. With `takeover` the lease is not waited for: the
        epoch that `claim` raises is what stops the other writer."""
        if self._leased:
            return
        with self.connection.cursor() as cursor:
            cursor.execute("SELECT pg_try_advisory_lock(%s, %s)", _LEASE_KEY)
            held = cursor.fetchone()[0]
        if not held and not takeover:
            raise locked_out()
        self._leased = held

    def _has_schema(self, cursor):
        cursor.execute("SELECT to_regclass('tallowmere_journal') IS NOT NULL")
        return cursor.fetchone()[0]

    @staticmethod
    def _placeholders(sql):
        return sql.replace("?", "%s")

    @contextlib.contextmanager
    def _transaction(self, write):
        # A reader sees one snapshot across its statements; a writer works at
        # read committed behind the row fence, which serializes writers.
        with self.connection.transaction(), self.connection.cursor() as cursor:
            if not write:
                cursor.execute("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY")
            yield cursor

    def close(self):
        self.connection.close()
