"""What every journal store keeps, and the statements both stores run.

A store holds journals, one per workspace, of which at most one is active
(the others are archived by workspace rotation). A journal is three things:

- its row in `tallowmere_journal`: the writer's epoch, the stored sequence and
  tip, the checkpoint the stored head describes, and how many entries and
  bytes were stored since that head;
- its head in `tallowmere_head`: the text `Broker.journal_head()` returned
  after the last fold;
- its batches in `tallowmere_batch`: the entries after the head, as
  `Broker.journal_entries()` returned them, one row per commit.

Every write is fenced: it changes the journal row only `WHERE epoch = mine AND
sequence = expected`, in the same transaction as the data, so a writer whose
epoch was raised by another, or whose view of the store is stale, changes
nothing and stops.
"""

from dataclasses import dataclass, field

from .errors import DurableError

SCHEMA = (
    """CREATE TABLE IF NOT EXISTS tallowmere_journal (
        workspace_id TEXT PRIMARY KEY,
        active INTEGER NOT NULL,
        epoch BIGINT NOT NULL,
        sequence BIGINT NOT NULL,
        tip TEXT NOT NULL,
        checkpoint_sequence BIGINT NOT NULL,
        checkpoint_hash TEXT NOT NULL,
        entry_count BIGINT NOT NULL,
        entry_bytes BIGINT NOT NULL)""",
    """CREATE UNIQUE INDEX IF NOT EXISTS tallowmere_one_active
        ON tallowmere_journal (active) WHERE active = 1""",
    """CREATE TABLE IF NOT EXISTS tallowmere_head (
        workspace_id TEXT PRIMARY KEY,
        text TEXT NOT NULL)""",
    """CREATE TABLE IF NOT EXISTS tallowmere_batch (
        workspace_id TEXT NOT NULL,
        first_sequence BIGINT NOT NULL,
        last_sequence BIGINT NOT NULL,
        checkpoint_hash TEXT NOT NULL,
        entries TEXT NOT NULL,
        PRIMARY KEY (workspace_id, first_sequence))""",
)

JOURNAL_COLUMNS = ("workspace_id, active, epoch, sequence, tip, checkpoint_sequence, "
                   "checkpoint_hash, entry_count, entry_bytes")
SELECT_ACTIVE = f"SELECT {JOURNAL_COLUMNS} FROM tallowmere_journal WHERE active = 1"
SELECT_NAMED = f"SELECT {JOURNAL_COLUMNS} FROM tallowmere_journal WHERE workspace_id = ?"
SELECT_ALL = ("SELECT workspace_id, active, sequence FROM tallowmere_journal "
              "ORDER BY active, workspace_id")
SELECT_HEAD = "SELECT text FROM tallowmere_head WHERE workspace_id = ?"
SELECT_BATCHES = ("SELECT first_sequence, last_sequence, checkpoint_hash, entries "
                  "FROM tallowmere_batch WHERE workspace_id = ? ORDER BY first_sequence")
SELECT_EPOCH = "SELECT epoch FROM tallowmere_journal WHERE workspace_id = ?"
CLAIM = "UPDATE tallowmere_journal SET epoch = epoch + 1 WHERE workspace_id = ?"
INSERT_JOURNAL = (
    "INSERT INTO tallowmere_journal (workspace_id, active, epoch, sequence, tip, "
    "checkpoint_sequence, checkpoint_hash, entry_count, entry_bytes) "
    "VALUES (?, 1, 1, ?, ?, ?, ?, 0, 0)")
INSERT_HEAD = "INSERT INTO tallowmere_head (workspace_id, text) VALUES (?, ?)"
ARCHIVE = ("UPDATE tallowmere_journal SET active = 0 "
           "WHERE workspace_id = ? AND epoch = ? AND sequence = ? AND active = 1")
# The fence comes first in each transaction: it takes the journal row's lock,
# so a writer that lost the row writes nothing else.
ADVANCE = (
    "UPDATE tallowmere_journal SET sequence = ?, tip = ?, entry_count = entry_count + ?, "
    "entry_bytes = entry_bytes + ? WHERE workspace_id = ? AND epoch = ? AND sequence = ? "
    "AND checkpoint_hash = ? AND active = 1")
INSERT_BATCH = (
    "INSERT INTO tallowmere_batch (workspace_id, first_sequence, last_sequence, "
    "checkpoint_hash, entries) VALUES (?, ?, ?, ?, ?)")
REFOLD = (
    "UPDATE tallowmere_journal SET tip = ?, checkpoint_sequence = ?, checkpoint_hash = ?, "
    "entry_count = 0, entry_bytes = 0 WHERE workspace_id = ? AND epoch = ? AND sequence = ? "
    "AND active = 1")
UPDATE_HEAD = "UPDATE tallowmere_head SET text = ? WHERE workspace_id = ?"
DROP_FOLDED = "DELETE FROM tallowmere_batch WHERE workspace_id = ? AND last_sequence <= ?"


@dataclass(frozen=True, slots=True)
class Batch:
    first_sequence: int
    last_sequence: int
    checkpoint_hash: str
    entries: str


@dataclass(slots=True)
class Stored:
    """One journal as the store holds it."""
    workspace_id: str
    active: bool
    epoch: int
    sequence: int
    tip: str
    checkpoint_sequence: int
    checkpoint_hash: str
    entry_count: int
    entry_bytes: int
    head: str = ""
    batches: list = field(default_factory=list)


def stored_from_row(row):
    return Stored(row[0], bool(row[1]), *row[2:])


def locked_out():
    return DurableError("store_locked: another writer holds the store")


class Store:
    """The statements of a store, run on a DB-API connection by a subclass
    that provides `_transaction(write)`, `_placeholders(sql)` and the lease."""

    # Whether a lost row fence means another writer: set by subclasses for
    # the message only.
    kind = "store"

    def _run(self, cursor, sql, parameters=()):
        cursor.execute(self._placeholders(sql), parameters)
        return cursor

    def _fenced(self, cursor, workspace_id, epoch):
        row = self._run(cursor, SELECT_EPOCH, (workspace_id,)).fetchone()
        if row is not None and row[0] != epoch:
            return DurableError(
                f"store_fenced: another writer took the store over (epoch {row[0]})")
        return DurableError("store_fenced: the stored journal moved on without this writer")

    def _load(self, cursor, row):
        stored = stored_from_row(row)
        head = self._run(cursor, SELECT_HEAD, (stored.workspace_id,)).fetchone()
        stored.head = "" if head is None else head[0]
        stored.batches = [Batch(*batch) for batch in
                          self._run(cursor, SELECT_BATCHES, (stored.workspace_id,))]
        return stored

    # --- Reading, without a lease ------------------------------------------------

    def load(self, workspace_id=None):
        """The active journal, or the one named; None when there is none."""
        with self._transaction(write=False) as cursor:
            if not self._has_schema(cursor):
                return None
            if workspace_id is None:
                row = self._run(cursor, SELECT_ACTIVE).fetchone()
            else:
                row = self._run(cursor, SELECT_NAMED, (workspace_id,)).fetchone()
            return None if row is None else self._load(cursor, row)

    def workspaces(self):
        """(workspace_id, active, sequence) of every journal, archived first."""
        with self._transaction(write=False) as cursor:
            if not self._has_schema(cursor):
                return []
            return [(row[0], bool(row[1]), row[2]) for row in self._run(cursor, SELECT_ALL)]

    # --- Writing, under the lease -----------------------------------------------------

    def claim(self):
        """Raises the active journal's epoch and loads it, in one transaction:
        from then on, an older writer's next write changes nothing."""
        with self._transaction(write=True) as cursor:
            row = self._run(cursor, SELECT_ACTIVE).fetchone()
            if row is None:
                return None
            self._run(cursor, CLAIM, (row[0],))
            row = self._run(cursor, SELECT_NAMED, (row[0],)).fetchone()
            return self._load(cursor, row)

    def create(self, workspace_id, head_text, head, archive=None):
        """Starts an active journal at a head; with `archive` (a Stored
        writer's view of the active journal) archives that one in the same
        transaction. Returns the new journal's epoch, 1."""
        with self._transaction(write=True) as cursor:
            if archive is not None:
                if self._run(cursor, ARCHIVE, (archive.workspace_id, archive.epoch,
                                               archive.sequence)).rowcount != 1:
                    raise self._fenced(cursor, archive.workspace_id, archive.epoch)
            elif self._run(cursor, SELECT_ACTIVE).fetchone() is not None:
                raise locked_out()
            self._run(cursor, INSERT_JOURNAL, (workspace_id, head.sequence, head.checkpoint_hash,
                                               head.sequence, head.checkpoint_hash))
            self._run(cursor, INSERT_HEAD, (workspace_id, head_text))
        return 1

    def append(self, stored, page, entry_bytes):
        """Stores the entries of `page`, which follow `stored.sequence`, and
        advances `stored` to the page's position."""
        count = page.sequence - stored.sequence
        with self._transaction(write=True) as cursor:
            if self._run(cursor, ADVANCE, (
                    page.sequence, page.tip, count, entry_bytes, stored.workspace_id,
                    stored.epoch, stored.sequence, page.checkpoint_hash)).rowcount != 1:
                raise self._fenced(cursor, stored.workspace_id, stored.epoch)
            self._run(cursor, INSERT_BATCH, (stored.workspace_id, stored.sequence + 1,
                                             page.sequence, page.checkpoint_hash, page.entries))
        stored.sequence = page.sequence
        stored.tip = page.tip
        stored.entry_count += count
        stored.entry_bytes += entry_bytes

    def store_head(self, stored, head_text, head):
        """Replaces the head by one folded at the stored sequence and drops
        the batches it holds."""
        with self._transaction(write=True) as cursor:
            if self._run(cursor, REFOLD, (
                    head.checkpoint_hash, head.sequence, head.checkpoint_hash,
                    stored.workspace_id, stored.epoch, head.sequence)).rowcount != 1:
                raise self._fenced(cursor, stored.workspace_id, stored.epoch)
            self._run(cursor, UPDATE_HEAD, (head_text, stored.workspace_id))
            self._run(cursor, DROP_FOLDED, (stored.workspace_id, head.sequence))
        stored.tip = head.checkpoint_hash
        stored.checkpoint_sequence = head.sequence
        stored.checkpoint_hash = head.checkpoint_hash
        stored.entry_count = 0
        stored.entry_bytes = 0
