"""How Broker methods bind and convert their arguments, and the byte limits
applied to JSON arguments before they are parsed."""

import json
import pathlib
import sys

import numpy as np
import pytest

from tallowmere._native import Broker, BrokerError

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from broker_records import cancel_event, observed, text  # noqa: E402

B = Broker()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: B.begin("a", "b"), TypeError,
         "Broker.begin() takes 1 positional argument but 2 were given"),
        (lambda: B.expire(1), TypeError,
         "Broker.expire() takes 0 positional arguments but 1 was given"),
        (lambda: B.enqueue("{}", True, 3), TypeError,
         "Broker.enqueue() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: Broker("{}", "{}"), TypeError,
         "Broker() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda: B.finish(), TypeError,
         "Broker.finish() missing 2 required positional arguments: 'intent_id' and 'outcome_json'"),
        (lambda: B.reconcile(intent_id="i"), TypeError,
         "Broker.reconcile() missing 1 required positional argument: 'outcome_json'"),
        (lambda: Broker.replay(), TypeError,
         "Broker.replay() missing 1 required positional argument: 'journal_json'"),
        (lambda: B.cancel("i", id="i"), TypeError,
         "Broker.cancel() got an unexpected keyword argument 'id'"),
        (lambda: B.now_ms(now=1), TypeError,
         "Broker.now_ms() got an unexpected keyword argument 'now'"),
        (lambda: B.revoke("c", capability="c"), TypeError,
         "Broker.revoke() got multiple values for argument 'capability'"),
        (lambda: B.begin(1), TypeError, "argument 'intent_id': must be str, not int"),
        (lambda: B.submit(intent_json=b"{}"), TypeError,
         "argument 'intent_json': must be str, not bytes"),
        (lambda: Broker(None), TypeError, "argument 'config_json': must be str, not None"),
        (lambda: B.finish("i", None), TypeError,
         "argument 'outcome_json': must be str, not None"),
        (lambda: Broker.from_journal(journal_json=[]), TypeError,
         "argument 'journal_json': must be str, not list"),
        (lambda: B.enqueue("{}", 1), TypeError, "argument 'control': must be bool, not int"),
        (lambda: B.enqueue("{}", control=np.int8(1)), TypeError,
         "argument 'control': must be bool, not numpy.int8"),
        (lambda: B.drain("1"), TypeError,
         "argument 'limit': 'str' object cannot be interpreted as an integer"),
        (lambda: B.drain(limit=1.0), TypeError,
         "argument 'limit': 'float' object cannot be interpreted as an integer"),
        (lambda: B.drain(-1), OverflowError, "can't convert negative int to unsigned"),
        (lambda: B.drain(2**64), OverflowError, "int too big to convert"),
        (lambda: B.begin("\ud800"), UnicodeEncodeError,
         "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"),
        # Argument binding comes before any conversion.
        (lambda: B.finish(1, None, 2), TypeError,
         "Broker.finish() takes 2 positional arguments but 3 were given"),
    ],
)
def test_argument_errors_keep_the_interpreters_types(call, error, message):
    before = B.journal()
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error
    assert str(caught.value) == message
    assert B.journal() == before


class Index:
    def __index__(self):
        return 2


@pytest.mark.parametrize("limit", [2, np.uint64(2), np.int16(2), Index(), True])
def test_limit_takes_any_integer_index(limit):
    broker = Broker()
    for sequence in (1, 2, 3):
        broker.enqueue(cancel_event(f"e{sequence}", "i", sequence=sequence), control=True)
    taken = len(json.loads(broker.drain(limit)))
    assert taken == (1 if limit is True else 2)


@pytest.mark.parametrize("control", [True, np.True_, np.bool_(True)])
def test_control_takes_python_and_numpy_booleans(control):
    broker = Broker()
    assert broker.enqueue(cancel_event("e", "i"), control) == \
        '{"control":true,"depth":1,"queued":true}'
    assert broker.enqueue(event_json=cancel_event("f", "i"), control=control) == \
        '{"control":true,"depth":2,"queued":true}'


def test_optional_arguments_take_their_defaults():
    broker = Broker()
    assert broker.enqueue(observed("e", "r")) == '{"control":false,"depth":1,"queued":true}'
    with pytest.raises(BrokerError, match="^queue_class: control flag must match event kind$"):
        broker.enqueue(cancel_event("c", "i"), np.False_)
    broker.enqueue(observed("f", "r", sequence=2))
    assert len(json.loads(broker.drain())) == 1


def padded(document, size):
    return document + " " * (size - len(document.encode()))


@pytest.mark.parametrize("extra, accepted", [(0, True), (1, False)])
def test_json_arguments_are_limited_by_max_event_bytes(extra, accepted):
    broker = Broker(text({"max_event_bytes": 300}))
    event = padded(observed("e", "r"), 300 + extra)
    if accepted:
        broker.observe(event)
    else:
        with pytest.raises(BrokerError) as caught:
            broker.observe(event)
        assert str(caught.value) == "payload_limit: JSON exceeds boundary size"
    # A journal is held to its own, larger limit.
    assert Broker.replay(padded(broker.journal(), 300 + extra))


@pytest.mark.parametrize("extra, accepted", [(0, True), (1, False)])
def test_config_json_is_limited_to_one_mebibyte(extra, accepted):
    config = padded("{}", 1048576 + extra)
    if accepted:
        assert Broker(config).snapshot() == Broker().snapshot()
    else:
        with pytest.raises(BrokerError) as caught:
            Broker(config)
        assert caught.value.args == ("payload_limit: JSON exceeds boundary size",)
