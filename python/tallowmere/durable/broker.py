"""A broker whose results outlive its process.

`DurableBroker` owns a `Broker` and a store. Each command method runs the
broker's command, then returns only once the journal entry it produced (and
every entry before it) is committed to the store: a result the caller got is
never lost to a crash. Callers that arrive while a commit is running share
the next one. Only the new entries are written, one row per commit; when the
stored entries pass `fold_entries` or `fold_bytes`, the broker is folded
(`checkpoint` on the stored tip) and the new head replaces the stored head and
its entries in one transaction.

Any failure of the store is sticky: the call that met it fails, and every
later command fails with the same text until the broker is opened again from
its store, which holds exactly what was acknowledged (and possibly entries
whose commit finished just as the store failed, which no caller was told
about).
"""

import contextlib
import json
import os
import threading

from .._native import Broker, BrokerError
from . import texts
from .errors import DurableError, code_of
from .rebuild import journal_text, recovered_broker, replayed
from .sqlite import SqliteStore
from .store import Store

DEFAULT_FOLD_ENTRIES = 10_000
DEFAULT_FOLD_BYTES = 32 * 2**20
_FOLD_ATTEMPTS = 8
# The statuses of open intents, which a rotation must not leave behind.
_OPEN = ("accepted", "running", "cancellation_requested", "effect_unknown")


def open_store(target, *, read_only=False, **options):
    """A store from a path (SQLite) or a postgresql:// URL (PostgreSQL); a
    Store is returned as it is."""
    if isinstance(target, Store):
        return target
    target = os.fspath(target)
    if target.startswith(("postgresql://", "postgres://")):
        from .postgres import PostgresStore
        return PostgresStore(target, read_only=read_only, **options)
    return SqliteStore(target, read_only=read_only, **options)


def load_stored(target, workspace_id=None):
    """The rows of the active journal of a store, or of the one named,
    read in one snapshot without taking the writer's lease. Raises
    "store_empty" when the store holds no such journal."""
    store = open_store(target, read_only=True)
    try:
        stored = store.load(workspace_id)
    finally:
        if store is not target:
            store.close()
    if stored is None:
        raise DurableError("store_empty: the store holds no journal" if workspace_id is None
                           else f"store_empty: the store holds no journal {workspace_id}")
    return stored


def read_journal(target, workspace_id=None):
    """The journal text a store holds, joined from its rows: for export and
    backup. Checks that the rows join; the broker checks the rest."""
    return journal_text(load_stored(target, workspace_id))


def replay_store(target, workspace_id=None):
    """The `Broker.replay` snapshot text of a store's journal: inspection
    with no authority. A damaged store raises JournalRefused, naming the
    entry at fault."""
    return replayed(load_stored(target, workspace_id))[1]


def _command(name):
    def method(self, *args, **kwargs):
        return self._run(name, args, kwargs)
    method.__name__ = name
    method.__doc__ = f"`Broker.{name}`, returning once its entry is durable."
    return method


class DurableBroker:
    """A `Broker` whose journal lives in a store.

    `store` is a SQLite file path, a postgresql:// URL or a store object.
    Opening an empty store starts a new broker from `config_json`; opening a
    store that holds a journal rebuilds the broker from it with
    `Broker.from_journal` (the configuration travels in the journal) and makes
    the recovery durable before returning. Only one writer opens a store at a
    time; a PostgreSQL standby takes it over with `takeover=True`.
    """

    def __init__(self, store, config_json="{}", *, fold_entries=DEFAULT_FOLD_ENTRIES,
                 fold_bytes=DEFAULT_FOLD_BYTES, takeover=False):
        if fold_entries < 1 or fold_bytes < 1:
            raise ValueError("fold_entries and fold_bytes must be positive")
        self.fold_entries = fold_entries
        self.fold_bytes = fold_bytes
        self._store = open_store(store)
        self._owns_store = self._store is not store
        self._condition = threading.Condition()
        self._gate = threading.Lock()
        self._requested = 0     # Tickets handed to callers whose command returned.
        self._durable = 0       # Tickets whose entries are committed.
        self._committing = False
        self._failure = None    # The first store failure, kept.
        try:
            self._store.lease(takeover)
            stored = self._store.claim()
            if stored is None:
                self._broker = Broker(config_json)
                head_text = self._broker.journal_head()
                head = texts.read_head(head_text)
                workspace_id = texts.workspace_of(head_text)
                self._store.create(workspace_id, head_text, head)
                stored = self._store.claim()
            else:
                self._broker = recovered_broker(stored)
            stored.head = ""
            stored.batches = []
            self._stored = stored
            # Recovery may have journaled its own entry, or folded.
            self._commit()
        except BaseException:
            if self._owns_store:
                self._store.close()
            raise

    # --- Commands -------------------------------------------------------------------

    register_action = _command("register_action")
    observe = _command("observe")
    submit = _command("submit")
    begin = _command("begin")
    finish = _command("finish")
    reconcile = _command("reconcile")
    cancel = _command("cancel")
    revoke = _command("revoke")
    expire = _command("expire")
    enqueue = _command("enqueue")
    drain = _command("drain")

    def _run(self, name, args, kwargs):
        self._raise_failure()
        try:
            result = self._call(name, args, kwargs)
        except BrokerError as error:
            if code_of(error) != "journal_backpressure":
                raise
            # The broker holds more than it may: fold what is stored and try
            # once more; a second refusal is the caller's.
            self._as_committer(self._fold_now)
            result = self._call(name, args, kwargs)
        self._wait_durable()
        return result

    def _call(self, name, args, kwargs):
        # The gate keeps a rotation from swapping the broker under a command.
        with self._gate:
            return getattr(self._broker, name)(*args, **kwargs)

    # --- Reading ----------------------------------------------------------------

    def now_ms(self):
        return self._broker.now_ms()

    def snapshot(self):
        """The live broker's snapshot; it may show entries whose commit is
        still running."""
        return self._broker.snapshot()

    @property
    def workspace_id(self):
        return self._stored.workspace_id

    @property
    def stored_sequence(self):
        """The last sequence committed to the store."""
        return self._stored.sequence

    @property
    def failure(self):
        """The store failure that stopped this broker, or None."""
        return self._failure

    # --- Group commit -----------------------------------------------------------

    def _raise_failure(self):
        if self._failure is not None:
            raise DurableError(str(self._failure))

    def _wait_durable(self):
        with self._condition:
            self._requested += 1
            ticket = self._requested
            while self._durable < ticket:
                self._raise_failure()
                if self._committing:
                    self._condition.wait()
                    continue
                # Every ticket handed out so far belongs to a command that has
                # returned, so the next commit covers them all.
                target = self._requested
                self._committing = True
                self._condition.release()
                try:
                    self._commit()
                finally:
                    self._condition.acquire()
                    self._committing = False
                    self._condition.notify_all()
                if self._failure is None:
                    self._durable = max(self._durable, target)

    def _as_committer(self, work):
        with self._condition:
            while self._committing:
                self._condition.wait()
            self._raise_failure()
            self._committing = True
        try:
            work()
        finally:
            with self._condition:
                self._committing = False
                self._condition.notify_all()
        self._raise_failure()

    def _stop(self, error):
        """Keeps the first store failure; every later command reports it."""
        if self._failure is None:
            if isinstance(error, DurableError):
                self._failure = error
            else:
                detail = " ".join(str(error).split()) or type(error).__name__
                self._failure = DurableError(
                    f"store_failed: {detail}; reopen the broker from its store")
        return self._failure

    def _commit(self):
        """Makes every entry the broker holds durable, then folds when the
        stored entries pass a bound. Only the committer runs it."""
        with self._stopping():
            self._append()
            stored = self._stored
            if stored.entry_count >= self.fold_entries or stored.entry_bytes >= self.fold_bytes:
                self._fold()

    @contextlib.contextmanager
    def _stopping(self):
        """Any failure while storing stops the broker: what it holds and what
        the store holds may differ from then on."""
        try:
            yield
        except Exception as error:
            raise self._stop(error) from None

    def _append(self):
        stored = self._stored
        page = texts.read_page(self._broker.journal_entries(stored.sequence))
        if page.checkpoint_hash != stored.checkpoint_hash:
            # The broker folded (recovery of a full journal does): its head
            # goes first, so no batch is stored against another head.
            head_text = self._broker.journal_head()
            head = texts.read_head(head_text)
            if head.checkpoint_hash != page.checkpoint_hash or head.sequence != stored.sequence:
                raise DurableError("store_failed: the broker folded entries the store "
                                   "does not hold; reopen the broker from its store")
            self._store.store_head(stored, head_text, head)
            page = texts.read_page(self._broker.journal_entries(stored.sequence))
        if page.sequence > stored.sequence:
            self._store.append(stored, page, len(page.entries.encode()))

    def _fold(self):
        """Folds the broker at the stored tip and stores its head. False when
        a command journaled since the last append moved the tip."""
        stored = self._stored
        try:
            self._broker.checkpoint(stored.tip)
        except BrokerError as error:
            if code_of(error) == "checkpoint_mismatch":
                return False
            raise
        head_text = self._broker.journal_head()
        self._store.store_head(stored, head_text, texts.read_head(head_text))
        return True

    def _fold_now(self):
        for _ in range(_FOLD_ATTEMPTS):
            with self._stopping():
                self._append()
                if self._fold():
                    return

    # --- Workspace rotation -----------------------------------------------------------

    def rotate(self, workspace_id):
        """Archives this workspace and continues in a new one named
        `workspace_id`, for when the intent or event ledger is full.

        The archived journal is folded to its final head and kept, read-only.
        The new workspace starts with the same configuration, the capabilities
        still granted and the registered actions; resources, intents, the
        event ledger and queues start empty. Refused with "workspace_open"
        while an intent is still open: end those here first (finish,
        reconcile, cancel or expire), since nothing carries them over.
        """
        def rotate():
            with self._gate:
                self._rotate(workspace_id)
        self._as_committer(rotate)

    def _rotate(self, workspace_id):
        snapshot = json.loads(self._broker.snapshot())
        state = snapshot["state"]
        open_ids = sorted(intent_id for intent_id, record in state["intents"].items()
                          if record["status"] in _OPEN)
        if open_ids:
            raise DurableError(f"workspace_open: {len(open_ids)} intents still open, "
                               f"first {open_ids[0]}")
        head_text = self._broker.journal_head()
        config = json.loads(head_text)["config"]
        config["workspace_id"] = workspace_id
        config["capabilities"] = state["capabilities"]
        successor = Broker(json.dumps(config, separators=(",", ":"), ensure_ascii=False))
        for spec in state["actions"].values():
            successor.register_action(json.dumps(spec, separators=(",", ":"),
                                                 ensure_ascii=False))
        successor.checkpoint(json.loads(successor.snapshot())["journal_tip"])
        with self._stopping():
            # The archive keeps the final journal as one head.
            self._append()
            while not self._fold():
                self._append()
            new_head = successor.journal_head()
            head = texts.read_head(new_head)
            self._store.create(workspace_id, new_head, head, archive=self._stored)
            stored = self._store.claim()
        stored.head = ""
        stored.batches = []
        self._broker = successor
        self._stored = stored

    # --- Closing ----------------------------------------------------------------------

    def close(self):
        """Releases the store; every acknowledged result is already in it."""
        with self._condition:
            while self._committing:
                self._condition.wait()
            if self._failure is None:
                self._failure = DurableError("store_closed: the broker was closed")
        if self._owns_store:
            self._store.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
