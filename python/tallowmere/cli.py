"""The `tallowmere` command: inspect, back up and restore durable brokers.

    tallowmere verify SOURCE    replay a store or a journal file and report it
    tallowmere status SOURCE    what the journal holds, against its limits
    tallowmere export STORE     the journal text of a store, for backup
    tallowmere import FILE STORE  start an empty store from a journal text

SOURCE is a SQLite file, a postgresql:// URL or a journal file. Nothing here
takes the writer's lease: a running broker goes on while it is inspected.
Exit status: 0 on success, 1 when the journal is refused, 2 on bad usage or
an unusable store.
"""

import argparse
import json
import os
import sys
import threading
import time

from ._native import Broker, BrokerError
from .durable import texts
from .durable.broker import load_stored, open_store
from .durable.errors import DurableError, JournalRefused
from .durable.rebuild import locate, replayed
from .durable.store import Batch, Stored

REPLAY_LIMIT_BYTES = 268435456
_SQLITE_MAGIC = b"SQLite format 3\x00"
_OPEN = ("accepted", "running", "cancellation_requested", "effect_unknown")


class Progress:
    """Elapsed time of a long step on a terminal; silent elsewhere."""

    def __init__(self, stream, label):
        self.stream = stream if stream.isatty() else None
        self.label = label
        self.done = threading.Event()
        self.thread = None

    def __enter__(self):
        if self.stream is not None:
            self.started = time.monotonic()
            self.stream.write(f"\r{self.label}   0.0 s")
            self.stream.flush()
            self.thread = threading.Thread(target=self._show, daemon=True)
            self.thread.start()
        return self

    def _show(self):
        # The replay runs with the interpreter lock released, so this goes on.
        while not self.done.wait(0.2):
            elapsed = time.monotonic() - self.started
            self.stream.write(f"\r{self.label} {elapsed:5.1f} s")
            self.stream.flush()

    def __exit__(self, *exc_info):
        self.done.set()
        if self.thread is not None:
            self.thread.join()
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def is_journal_file(source):
    if source.startswith(("postgresql://", "postgres://")) or not os.path.isfile(source):
        return False
    with open(source, "rb") as file:
        return file.read(len(_SQLITE_MAGIC)) != _SQLITE_MAGIC


def stored_from_text(text):
    """A journal file seen as a store holding its head and one batch."""
    head_text, entries = texts.split_journal(text)
    head = texts.read_head(head_text)
    count = len(texts.split_entries(entries)) if entries else 0
    last = head.sequence + count
    batches = [Batch(head.sequence + 1, last, head.checkpoint_hash, entries)] if count else []
    tip = text[-68:-4] if count else head.checkpoint_hash
    return Stored(texts.workspace_of(head_text), True, 0, last, tip, head.sequence,
                  head.checkpoint_hash, count, len(entries), head_text, batches)


def verified(source, workspace_id, stream):
    """(stored, journal text, snapshot) of a source, or JournalRefused."""
    if is_journal_file(source):
        with open(source, encoding="utf-8") as file:
            text = file.read()
        with Progress(stream, f"replaying {len(text)} bytes of journal"):
            try:
                snapshot = Broker.replay(text)
            except BrokerError as error:
                try:
                    stored = stored_from_text(text)
                except texts.TextError:
                    raise JournalRefused(str(error), 0, "journal") from None
                raise locate(stored, str(error)) from None
        try:
            stored = stored_from_text(text)
        except texts.TextError:
            stored = None  # Valid, but not written by the broker: no rows to show.
        return stored, text, json.loads(snapshot)
    with Progress(stream, "reading the store"):
        stored = load_stored(source, workspace_id)
    count = stored.sequence - stored.checkpoint_sequence
    with Progress(stream, f"replaying {count} entries"):
        text, snapshot = replayed(stored)
    return stored, text, json.loads(snapshot)


def first_tick(stored):
    if stored is None or not stored.batches:
        return None
    match = texts.ENTRY_START.match(stored.batches[0].entries)
    return int(match[2]) if match else None


def command_verify(arguments, out, err):
    stored, text, snapshot = verified(arguments.source, arguments.workspace, err)
    head = texts.read_head(stored.head) if stored is not None else None
    sequence = snapshot["journal_sequence"]
    out.write(f"workspace   {snapshot['workspace_id']}\n")
    if head is not None:
        out.write(f"checkpoint  sequence {head.sequence}, tick {head.tick_ms} ms, "
                  f"hash {head.checkpoint_hash}, parent {head.parent_hash}\n")
        count = sequence - head.sequence
        if count:
            out.write(f"entries     {head.sequence + 1} to {sequence} ({count}), ticks "
                      f"{first_tick(stored)} to {snapshot['tick_ms']} ms\n")
        else:
            out.write("entries     none after the checkpoint\n")
    out.write(f"tip         sequence {sequence}, hash {snapshot['journal_tip']}\n")
    out.write(f"verified    chain, checkpoint digest and every recorded result "
              f"({len(text.encode())} bytes)\n")
    return 0


def command_status(arguments, out, err):
    stored, text, snapshot = verified(arguments.source, arguments.workspace, err)
    head = texts.read_head(stored.head) if stored is not None else None
    config = json.loads(stored.head)["config"] if stored is not None else \
        json.loads(text)["config"]
    state = snapshot["state"]
    by_status = {}
    for record in state["intents"].values():
        by_status[record["status"]] = by_status.get(record["status"], 0) + 1
    listed = ", ".join(f"{status} {count}" for status, count in sorted(by_status.items()))
    opened = sum(count for status, count in by_status.items() if status in _OPEN)
    entries = snapshot["journal_sequence"] - (head.sequence if head else 0)
    rows = [
        ("workspace", snapshot["workspace_id"]),
        ("journal", f"sequence {snapshot['journal_sequence']}, tick {snapshot['tick_ms']} ms"),
        ("intents", f"{len(state['intents'])} of {config['max_intents']}"
                    + (f": {listed}" if listed else "") + f" ({opened} open)"),
        ("resources", f"{len(state['resources'])} of {config['max_resources']}"),
        ("actions", f"{len(state['actions'])} of {config['max_resources']}"),
        ("events", f"{len(state['event_hashes'])} of {config['max_events']} remembered"),
        ("queues", f"normal {len(state['normal_queue'])} of {config['normal_capacity']}, "
                   f"control {len(state['control_queue'])} of {config['control_capacity']}"),
        ("entries", f"{entries} of {config['max_journal_entries']} since the checkpoint"),
        ("bytes", f"{len(text.encode())} of {REPLAY_LIMIT_BYTES} (replay limit)"),
    ]
    if not is_journal_file(arguments.source):
        others = [f"{name} ({'active' if active else 'archived'})" for name, active, _ in
                  open_workspaces(arguments.source)]
        rows.append(("store", ", ".join(others)))
    for label, value in rows:
        out.write(f"{label:<11} {value}\n")
    return 0


def open_workspaces(source):
    store = open_store(source, read_only=True)
    try:
        return store.workspaces()
    finally:
        store.close()


def command_export(arguments, out, err):
    stored, text, _ = verified(arguments.store, arguments.workspace, err)
    if arguments.output is None:
        out.write(text)
    else:
        with open(arguments.output, "x", encoding="utf-8") as file:
            file.write(text)
    return 0


def command_import(arguments, out, err):
    with open(arguments.file, encoding="utf-8") as file:
        text = file.read()
    snapshot = json.loads(Broker.replay(text))
    try:
        head_text, entries = texts.split_journal(text)
    except texts.TextError:
        raise DurableError("store_import: the file is not a journal text the broker wrote; "
                           "export it from a broker or a store") from None
    head = texts.read_head(head_text)
    store = open_store(arguments.store)
    try:
        store.lease()
        if store.load() is not None:
            raise DurableError("store_import: the store already holds an active journal")
        store.create(texts.workspace_of(head_text), head_text, head)
        stored = store.claim()
        if entries:
            page = texts.Page(head.sequence, head.checkpoint_hash, snapshot["journal_sequence"],
                              snapshot["journal_tip"], 0, entries)
            store.append(stored, page, len(entries.encode()))
    finally:
        store.close()
    out.write(f"imported {snapshot['workspace_id']} at sequence "
              f"{snapshot['journal_sequence']}\n")
    return 0


def parser():
    top = argparse.ArgumentParser(prog="tallowmere", description=__doc__.split("\n\n")[0])
    commands = top.add_subparsers(dest="command", required=True)
    for name, source, helptext in (
            ("verify", "source", "replay a store or a journal file and report the chain"),
            ("status", "source", "intents, resources, queues and the journal against limits"),
            ("export", "store", "write the journal text of a store, for backup")):
        command = commands.add_parser(name, help=helptext)
        command.add_argument(source, help="a SQLite file, a postgresql:// URL"
                             + (" or a journal file" if source == "source" else ""))
        command.add_argument("--workspace", help="an archived workspace instead of the active")
        if name == "export":
            command.add_argument("--output", "-o", help="a new file instead of standard output")
    command = commands.add_parser("import", help="start an empty store from a journal text")
    command.add_argument("file")
    command.add_argument("store")
    return top


COMMANDS = {"verify": command_verify, "status": command_status, "export": command_export,
            "import": command_import}


def main(argv=None, out=None, err=None):
    out = out or sys.stdout
    err = err or sys.stderr
    arguments = parser().parse_args(argv)
    try:
        return COMMANDS[arguments.command](arguments, out, err)
    except DurableError as error:
        if isinstance(error, JournalRefused):
            err.write(f"refused: {error}\n")
            return 1
        err.write(f"tallowmere: {error}\n")
        return 2
    except BrokerError as error:
        err.write(f"refused: {error}\n")
        return 1
    except Exception as error:  # The store's own failures: a file, a server.
        err.write(f"tallowmere: {type(error).__name__}: {error}\n")
        return 2
