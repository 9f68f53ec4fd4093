"""Reading the broker's journal texts by position, without parsing them.

`Broker.journal_entries` leads with fields made only of digits and hex, then
the entry list; `Broker.journal_head` ends with the checkpoint's fixed-format
fields. The store keeps both as they come and joins them back into the text
`Broker.journal()` gives: the head up to its empty entry list, the stored
batches of entries separated by commas, and the closing brackets.
"""

import hashlib
import json
import re
from dataclasses import dataclass

_PAGE = re.compile(
    r'\{"checkpoint_sequence":(\d+),"checkpoint_hash":"([0-9a-f]{64})",'
    r'"sequence":(\d+),"tip":"([0-9a-f]{64})","journal_bytes":(\d+),"entries":\[')

# A journal text with no entries ends with these fields; what comes before
# them (configuration and state) is never read here.
_HEAD_TAIL = re.compile(
    r'"checkpoint_sequence":(\d+),"checkpoint_tick_ms":(\d+),'
    r'"checkpoint_parent_hash":"(genesis|[0-9a-f]{64})","checkpoint_hash":"([0-9a-f]{64})",'
    r'"entries":\[\]\}\Z')
_HEAD_TAIL_BYTES = 300
_EMPTY_ENTRIES = "[]}"

# One entry as the broker writes it. The command sits between fixed-format
# fields, so the text hashed for the entry can be cut out of it.
ENTRY_START = re.compile(r'\{"sequence":(\d+),"tick_ms":(\d+),')
_ENTRY = re.compile(
    r'\{"sequence":(\d+),"tick_ms":(\d+),"previous_hash":"([0-9a-f]{64})",'
    r'"command":(.*),"result_hash":"([0-9a-f]{64})","hash":"([0-9a-f]{64})"\}\Z', re.DOTALL)


class TextError(ValueError):
    """A text that is not in the form the broker writes."""


@dataclass(frozen=True, slots=True)
class Page:
    """What `journal_entries` returned: the position and the entries after
    the sequence asked for, as comma-separated entry texts ("" for none)."""
    checkpoint_sequence: int
    checkpoint_hash: str
    sequence: int
    tip: str
    journal_bytes: int
    entries: str


@dataclass(frozen=True, slots=True)
class Head:
    """The checkpoint a head text describes."""
    sequence: int
    tick_ms: int
    parent_hash: str
    checkpoint_hash: str


def read_page(text):
    match = _PAGE.match(text)
    if match is None or not text.endswith("]}"):
        raise TextError("not a journal_entries text")
    return Page(int(match[1]), match[2], int(match[3]), match[4], int(match[5]),
                text[match.end():-2])


def read_head(text):
    match = _HEAD_TAIL.search(text, max(0, len(text) - _HEAD_TAIL_BYTES))
    if match is None or not text.startswith("{"):
        raise TextError("not a journal head")
    return Head(int(match[1]), int(match[2]), match[3], match[4])


def join_journal(head, batches):
    """The journal text of a head followed by batches of entry texts."""
    if not batches:
        return head
    return "".join((head[:-len(_EMPTY_ENTRIES) + 1], ",".join(batches), "]}"))


def split_entries(batch):
    """The entry texts of a batch, byte for byte. Raises TextError with the
    index of the first entry that does not read."""
    decoder = json.JSONDecoder()
    entries = []
    at = 0
    while at < len(batch):
        try:
            _, end = decoder.raw_decode(batch, at)
        except ValueError:
            raise TextError(len(entries)) from None
        entries.append(batch[at:end])
        if end < len(batch) and batch[end] != ",":
            raise TextError(len(entries))
        at = end + 1
    return entries


def entry_link(entry):
    """(sequence, previous_hash, hash) of an entry whose hash matches its
    content; None when the text is not a well-formed entry or its hash
    differs."""
    match = _ENTRY.match(entry)
    if match is None:
        return None
    sequence, tick, previous, command, result, own = match.groups()
    hashed = f'[{sequence},{tick},"{previous}",{command},"{result}"]'
    if hashlib.sha256(hashed.encode()).hexdigest() != own:
        return None
    return int(sequence), previous, own


_CONFIG_START = '{"schema_version":1,"config":{"workspace_id":'


def workspace_of(head):
    """The workspace_id of a journal text, the first field of its config."""
    if not head.startswith(_CONFIG_START):
        raise TextError("not a journal text")
    try:
        workspace_id, _ = json.JSONDecoder().raw_decode(head, len(_CONFIG_START))
    except ValueError:
        raise TextError("not a journal text") from None
    return workspace_id


# Where the entry list of a whole journal text begins. The checkpoint fields
# come in an order no sorted object inside the state can repeat (the tick
# before the parent hash), so the first match is the journal's own.
_ENTRIES_START = re.compile(
    r'"checkpoint_sequence":\d+,"checkpoint_tick_ms":\d+,'
    r'"checkpoint_parent_hash":"(?:genesis|[0-9a-f]{64})","checkpoint_hash":"[0-9a-f]{64}",'
    r'"entries":\[')


def split_journal(text):
    """(head text, comma-separated entry texts) of a journal text as the
    broker writes it."""
    match = _ENTRIES_START.search(text)
    if match is None or not text.endswith("]}"):
        raise TextError("not a journal text the broker wrote")
    return text[:match.end()] + "]}", text[match.end():-2]
