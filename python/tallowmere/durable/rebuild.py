"""Joining a stored journal back into the text the broker wrote, and naming
the entry at fault when the broker refuses it."""

from .._native import Broker, BrokerError
from . import texts
from .errors import DurableError, JournalRefused

CHAIN_MISMATCH = "journal_integrity: entry chain mismatch"
DIGEST_MISMATCH = "journal_integrity: checkpoint digest mismatch"


def journal_text(stored):
    """The journal text of `stored`. Raises JournalRefused when its rows do
    not join into one unbroken journal; the broker verifies the rest."""
    try:
        head = texts.read_head(stored.head)
    except texts.TextError:
        raise DurableError("store_corrupt: the stored head is not a journal text") from None
    if head.checkpoint_hash != stored.checkpoint_hash or head.sequence != \
            stored.checkpoint_sequence:
        raise JournalRefused(DIGEST_MISMATCH, head.sequence, "checkpoint")
    # A gap, an overlap or a missing tail breaks the chain at the first
    # sequence that is not where it should be.
    expected = head.sequence + 1
    for batch in stored.batches:
        if batch.first_sequence != expected or batch.last_sequence < expected:
            raise JournalRefused(CHAIN_MISMATCH, expected)
        expected = batch.last_sequence + 1
    if expected - 1 != stored.sequence:
        raise JournalRefused(CHAIN_MISMATCH, expected)
    return texts.join_journal(stored.head, [batch.entries for batch in stored.batches])


def _check_tip(stored, text):
    """A text the broker read may still end before the stored tip: rows
    holding fewer entries than their sequences say."""
    if not stored.batches:
        return
    if text[-68:-4] != stored.tip:
        located = locate(stored, CHAIN_MISMATCH)
        if located.at == "recovery":  # Every entry is there; the last differs.
            located = JournalRefused(CHAIN_MISMATCH, stored.sequence)
        raise located


def _refuses(text):
    try:
        Broker.replay(text)
    except BrokerError as error:
        return str(error)
    return None


def locate(stored, error_text):
    """JournalRefused for `error_text`, at the first entry of `stored` at
    fault: the first one that does not read, does not link to the one before
    it or does not match its own hash, or else the first one replay refuses.
    """
    head = texts.read_head(stored.head)
    refused = _refuses(stored.head)
    if refused is not None:
        return JournalRefused(error_text, head.sequence, "checkpoint")
    sequence, previous = head.sequence, head.checkpoint_hash
    entries = []
    for batch in stored.batches:
        try:
            parts = texts.split_entries(batch.entries)
        except texts.TextError as error:
            return JournalRefused(error_text, sequence + error.args[0] + 1)
        for part in parts:
            sequence += 1
            link = texts.entry_link(part)
            if link is None or link[:2] != (sequence, previous):
                return JournalRefused(error_text, sequence)
            previous = link[2]
            entries.append(part)
    if stored.sequence > sequence:
        return JournalRefused(error_text, sequence + 1)
    # Every entry links; find the first one the reducer does not reproduce.
    low, high = 0, len(entries)
    if _refuses(texts.join_journal(stored.head, entries)) is None:
        return JournalRefused(error_text, sequence + 1, "recovery")
    while low < high:
        middle = (low + high) // 2
        if _refuses(texts.join_journal(stored.head, entries[:middle + 1])) is None:
            low = middle + 1
        else:
            high = middle
    return JournalRefused(error_text, head.sequence + low + 1)


def _read(stored, reader):
    """(journal text, reader(text)) with `reader` one of Broker's journal
    readers; its refusal becomes JournalRefused at the entry at fault."""
    text = journal_text(stored)
    try:
        result = reader(text)
    except BrokerError as error:
        raise locate(stored, str(error)) from None
    _check_tip(stored, text)
    return text, result


def recovered_broker(stored):
    """`Broker.from_journal` of the stored journal, or JournalRefused."""
    return _read(stored, Broker.from_journal)[1]


def replayed(stored):
    """(journal text, `Broker.replay` snapshot text) of the stored journal,
    or JournalRefused."""
    return _read(stored, Broker.replay)
