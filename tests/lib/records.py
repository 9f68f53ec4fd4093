"""Inputs the binding tests build: broker records and model exports as JSON
text, packed feature rows, and the journal arithmetic that tampering tests
need to forge a journal whose hashes still match; and the exception a call
raises."""

import hashlib
import json
import struct

import pytest


def text(value):
    """Canonical text of a value read back with json.loads: key order kept,
    compact, raw UTF-8. Exact for the integers and strings these tests use."""
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def action(action_id="deploy", **fields):
    return text({"action_id": action_id, "allow_write": True, **fields})


def observed(event_id, resource_id, fingerprint="v1", source="runtime", sequence=1):
    return text({"event_id": event_id, "source_id": source, "source_sequence": sequence,
                 "kind": "resource_observed", "resource_id": resource_id,
                 "fingerprint": fingerprint})


def cancel_event(event_id, intent_id, source="verifier", sequence=1):
    return text({"event_id": event_id, "source_id": source, "source_sequence": sequence,
                 "kind": "intent_cancel", "intent_id": intent_id})


def intent(intent_id, resource_id=None, action_id="deploy", revision=0, **fields):
    resources = [] if resource_id is None else [
        {"resource_id": resource_id, "expected_revision": revision, "access": "write"}]
    return text({"intent_id": intent_id, "action_id": action_id, "resources": resources,
                 **fields})


def outcome(status="completed_verified", changed=(), **fields):
    return text({"status": status, "changed_resources": list(changed),
                 "evidence": {"receipt": "r"}, **fields})


PLATT = {"kind": "platt", "coef": 1.0, "intercept": 0.0}
TREES = text({
    "schema_version": 1, "feature_names": ["age", "score"], "base_margin": 0.0,
    "trees": [{"nodes": [
        {"node_id": 0, "feature_index": 1, "threshold": 0.5, "left": 1, "right": 2, "missing": 1},
        {"node_id": 1, "leaf": -0.25}, {"node_id": 2, "leaf": 0.75}]}],
    "calibration": PLATT})
LINEAR = text({"schema_version": 1, "feature_names": ["age", "score"], "coef": [0.5, -1.25],
               "intercept": 0.1, "calibration": PLATT})


def packed(rows):
    """Rows as little-endian float32, the layout score_f32 reads."""
    return b"".join(struct.pack(f"<{len(row)}f", *row) for row in rows)


def sha256(data):
    return hashlib.sha256(data.encode("utf-8")).hexdigest()


def checkpoint_hash(journal):
    return sha256(text([journal["config"], journal["checkpoint_state"],
                        journal["checkpoint_sequence"], journal["checkpoint_tick_ms"],
                        journal["checkpoint_parent_hash"]]))


def rechain(journal, start=0):
    """Recomputes the hashes of the entries from index `start` on, so that a
    changed entry still links to its neighbours."""
    entries = journal["entries"]
    for index in range(start, len(entries)):
        previous = journal["checkpoint_hash"] if index == 0 else entries[index - 1]["hash"]
        entry = entries[index]
        entry["previous_hash"] = previous
        entry["hash"] = sha256(text([entry["sequence"], entry["tick_ms"], previous,
                                     entry["command"], entry["result_hash"]]))
    return journal


def raised(error, call, *args):
    """The exception of type `error` that call(*args) raises."""
    with pytest.raises(error) as caught:
        call(*args)
    assert type(caught.value) is error, caught.value
    return caught.value
