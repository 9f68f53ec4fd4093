"""How the broker's and the scorers' calls bind and convert their arguments:
the interpreter's own exception types and wording, before any native work;
the broker's and the scorers' refusals, raised as BrokerError with their
text unchanged; and the byte limits the broker applies to JSON arguments. A
refused call changes nothing."""

import inspect
import json
import re

import numpy as np
import pytest

from records import (LINEAR, TREES, action, cancel_event, intent, observed, outcome, packed,
                     raised, text)
from tallowmere._native import (Broker, BrokerError, LinearScorer, TreeScorer, score_linear,
                                score_trees)

B = Broker(text({"capabilities": ["deploy"]}))
B.register_action(action())
B.observe(observed("e1", "svc"))
B.submit(intent("i1", "svc"))
T = TreeScorer(TREES)


@pytest.mark.parametrize("call, error, message", [
    # Conversion, naming the argument.
    (lambda: B.submit(intent_json=b"{}"), TypeError,
     "argument 'intent_json': must be str, not bytes"),
    (lambda: Broker(None), TypeError, "argument 'config_json': must be str, not None"),
    (lambda: B.enqueue("{}", 1), TypeError, "argument 'control': must be bool, not int"),
    (lambda: B.enqueue("{}", control=np.int8(1)), TypeError,
     "argument 'control': must be bool, not numpy.int8"),
    (lambda: B.drain("1"), TypeError,
     "argument 'limit': 'str' object cannot be interpreted as an integer"),
    (lambda: B.drain(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: B.journal_entries(1.0), TypeError,
     "argument 'after_sequence': 'float' object cannot be interpreted as an integer"),
    (lambda: B.journal_entries(2**64), OverflowError, "int too big to convert"),
    (lambda: T.score_f32(b"", 2**64), OverflowError, "int too big to convert"),
    (lambda: T.score_f32(bytearray(), 0), TypeError,
     "argument 'features_le_bytes': must be bytes, not bytearray"),
    (lambda: T.score_f32(None, 1), TypeError,
     "argument 'features_le_bytes': must be bytes, not None"),
    (lambda: B.begin("\ud800"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
    # The engine's refusals, one for each way an argument reaches it; a
    # configuration refused after reading, and an unknown intent id, are
    # test_package's.
    (lambda: B.submit('{"intent_id":"i9"}'), BrokerError,
     "invalid_json: missing field `action_id` at line 1 column 18"),
    (lambda: B.finish("i1", outcome()), BrokerError,
     "outcome_transition: finish requires running; reconcile requires unknown/cancel-requested"),
    (lambda: B.drain(0), BrokerError, "drain_limit: limit must be 1..64"),
    (lambda: B.checkpoint("genesis"), BrokerError,
     "checkpoint_mismatch: acknowledged tip differs"),
    # A numpy False converts, and is then refused for a control event.
    (lambda: B.enqueue(cancel_event("f", "i"), np.False_), BrokerError,
     "queue_class: control flag must match event kind"),
    # The scorers' refusals, one for each way a scorer is called; the largest
    # count passes conversion.
    (lambda: TreeScorer("{}"), BrokerError,
     "invalid_tree_export: missing field `schema_version` at line 1 column 2"),
    (lambda: T.score("[" + ",".join(["[1,2]"] * 4097) + "]"), BrokerError, "policy_row_limit"),
    (lambda: T.score_f32(b"", 2**64 - 1), BrokerError, "policy_payload_limit"),
    # The export fails first, even though the features are bad as well.
    (lambda: score_trees("{}", "x"), BrokerError,
     "invalid_tree_export: missing field `schema_version` at line 1 column 2"),
    (lambda: score_linear(LINEAR, "x"), BrokerError,
     "invalid_features: expected value at line 1 column 1"),
])
def test_refused_calls_raise_their_exact_errors_and_change_nothing(call, error, message):
    before = B.journal(), B.snapshot()
    assert str(raised(error, call)) == message
    assert (B.journal(), B.snapshot()) == before


CALLABLES = [Broker, LinearScorer, TreeScorer, score_linear, score_trees] + [
    getattr(instance, name) for instance in (B, LinearScorer(LINEAR), T)
    for name in vars(type(instance)) if not name.startswith("__") and name != "feature_names"]


def plural(count, noun):
    return f"{count} {noun}" + ("" if count == 1 else "s")


@pytest.mark.parametrize("callable_", CALLABLES, ids=lambda callable_: callable_.__qualname__)
def test_every_callable_binds_by_the_names_in_its_signature(callable_):
    # The interpreter's own wording, naming the callable and its parameters
    # as the text signature does; binding comes before any conversion.
    parameters = inspect.signature(callable_).parameters.values()
    names = [p.name for p in parameters]
    required = [f"'{p.name}'" for p in parameters if p.default is p.empty]
    takes = f"from {len(required)} to {len(names)} positional arguments" \
        if len(required) < len(names) else plural(len(names), "positional argument")
    given = "1 was" if not names else f"{len(names) + 1} were"
    calls = [([None] * (len(names) + 1), {}, f"takes {takes} but {given} given"),
             ([None] * len(names), {"bogus": 0}, "got an unexpected keyword argument 'bogus'")]
    if required:
        calls.append(([], {}, f"missing {plural(len(required), 'required positional argument')}"
                              f": {' and '.join(required)}"))
    if names:
        calls.append(([None], {names[0]: None}, f"got multiple values for argument '{names[0]}'"))
    before = B.journal(), B.snapshot()
    for args, keywords, message in calls:
        assert str(raised(TypeError, lambda: callable_(*args, **keywords))) == \
            f"{callable_.__qualname__}() {message}"
    if names:
        with pytest.raises(TypeError, match=f"^argument '{names[0]}': "):
            callable_(**{name: object() for name in names})
    assert (B.journal(), B.snapshot()) == before


class Index:
    def __index__(self):
        return 2


class Blob(bytes):
    pass


def drained(*limit):
    broker = Broker()
    for sequence in (1, 2, 3):
        broker.enqueue(cancel_event(f"e{sequence}", "i", sequence=sequence), control=True)
    return len(json.loads(broker.drain(*limit)))


ROWS = packed([[30.0, 0.25], [1.0, 0.5]])
QUEUED = '{"control":%s,"depth":1,"queued":true}'


@pytest.mark.parametrize("call, expected", [
    # A count takes any integer index; a limit defaults to one.
    (lambda: drained(), 1), (lambda: drained(2), 2), (lambda: drained(np.uint64(2)), 2),
    (lambda: drained(np.int16(2)), 2), (lambda: drained(Index()), 2), (lambda: drained(True), 1),
    (lambda: T.score_f32(Blob(ROWS), Index()), T.score_f32(ROWS, 2)),
    (lambda: T.score_f32(ROWS[:8], True), T.score_f32(ROWS, 2)[:1]),
    (lambda: (T.score("[]"), T.score_f32(b"", 0)), ("[]", [])),
    # A flag takes Python's and numpy's booleans and defaults to False.
    (lambda: Broker().enqueue(observed("e", "r")), QUEUED % "false"),
    (lambda: Broker().enqueue(cancel_event("c", "i"), True), QUEUED % "true"),
    (lambda: Broker().enqueue(event_json=cancel_event("c", "i"), control=np.True_),
     QUEUED % "true"),
])
def test_accepted_conversions(call, expected):
    assert call() == expected


def padded(document, size):
    return document + " " * (size - len(document.encode()))


@pytest.mark.parametrize("extra", [0, 1])
def test_json_arguments_are_held_to_their_own_byte_limits(extra):
    # An event to the configuration's max_event_bytes, a configuration to a
    # mebibyte, a journal to its own, larger limit.
    broker = Broker(text({"max_event_bytes": 300}))
    for call in (lambda: broker.observe(padded(observed("e", "r"), 300 + extra)),
                 lambda: Broker(padded("{}", 1048576 + extra))):
        if extra:
            with pytest.raises(BrokerError, match="^payload_limit: JSON exceeds boundary size$"):
                call()
        else:
            call()
    assert Broker.replay(padded(broker.journal(), 300 + extra))
