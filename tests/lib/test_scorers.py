"""The scorer classes and functions as Python sees them: signatures, argument
errors, failures as BrokerError, the packed path, limits and threads."""

import inspect
import json
import random
import struct
import sys
import threading
import time

import pytest

import tallowmere._native as native

BrokerError = native.BrokerError

TREES = json.dumps({
    "schema_version": 1,
    "feature_names": ["age", "score"],
    "base_margin": 0.0,
    "trees": [{"nodes": [
        {"node_id": 0, "feature_index": 1, "threshold": 0.5, "left": 1, "right": 2, "missing": 1},
        {"node_id": 1, "leaf": -0.25},
        {"node_id": 2, "leaf": 0.75},
    ]}],
    "calibration": {"kind": "platt", "coef": 1.0, "intercept": 0.0},
})
LINEAR = json.dumps({
    "schema_version": 1,
    "feature_names": ["age", "score"],
    "coef": [0.5, -1.25],
    "intercept": 0.1,
    "calibration": {"kind": "platt", "coef": 1.0, "intercept": 0.0},
})
EXPORTS = {native.TreeScorer: TREES, native.LinearScorer: LINEAR}
SCORERS = list(EXPORTS)


def packed(rows):
    return b"".join(struct.pack("<%df" % len(row), *row) for row in rows)


def random_forest(seed, features=6, trees=300, depth=8, distinct=10):
    """A forest export of full random trees, heavy enough to keep a call
    busy; `distinct` trees are drawn and repeated in turn to make `trees`."""
    rng = random.Random(seed)

    def grow(nodes, level):
        me = len(nodes)
        nodes.append(None)
        if level == depth:
            nodes[me] = [me, rng.uniform(-0.1, 0.1)]
            return me
        left = grow(nodes, level + 1)
        right = grow(nodes, level + 1)
        nodes[me] = [me, rng.randrange(features), rng.uniform(-2, 2), left, right, left]
        return me

    drawn = []
    for _ in range(distinct):
        nodes = []
        grow(nodes, 0)
        drawn.append(json.dumps([nodes]))
    forest = ",".join(drawn[t % distinct] for t in range(trees))
    names = json.dumps([f"f{k}" for k in range(features)])
    return f'[1,{names},0.0,[{forest}],["platt",1.0,0.0]]'


def float32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


# --- The Python surface ---------------------------------------------------------


@pytest.mark.parametrize("callable_, signature", [
    (native.TreeScorer, "(export_json)"),
    (native.LinearScorer, "(export_json)"),
    (native.TreeScorer.score, "($self, features_json)"),
    (native.LinearScorer.score, "($self, features_json)"),
    (native.TreeScorer.score_f32, "($self, features_le_bytes, row_count)"),
    (native.LinearScorer.score_f32, "($self, features_le_bytes, row_count)"),
    (native.score_trees, "(export_json, features_json)"),
    (native.score_linear, "(export_json, features_json)"),
])
def test_signatures_and_empty_docstrings(callable_, signature):
    assert callable_.__text_signature__ == signature
    assert callable_.__doc__ is None
    inspect.signature(callable_)  # parses


@pytest.mark.parametrize("cls", SCORERS)
def test_classes_are_closed_and_immutable(cls):
    assert cls.__module__ == "tallowmere._native"
    assert cls.__mro__ == (cls, object)
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        cls.score = None
    scorer = cls(EXPORTS[cls])
    with pytest.raises(AttributeError):
        scorer.feature_names = ["x", "y"]
    with pytest.raises(AttributeError):
        scorer.extra = 1
    with pytest.raises(TypeError):
        object.__new__(cls)


@pytest.mark.parametrize("cls", SCORERS)
def test_feature_names_are_a_fresh_copy(cls):
    scorer = cls(EXPORTS[cls])
    first = scorer.feature_names
    assert first == ["age", "score"]
    first.append("x")
    first[0] = "changed"
    second = scorer.feature_names
    assert second == ["age", "score"] and second is not scorer.feature_names


def test_function_module_and_names():
    for function in (native.score_trees, native.score_linear):
        assert function.__module__ == "tallowmere._native"
        assert function.__self__ is native


# --- Arguments --------------------------------------------------------------------

TREE = native.TreeScorer(TREES)


@pytest.mark.parametrize("call, error, message", [
    (lambda: native.TreeScorer(), TypeError,
     "TreeScorer() missing 1 required positional argument: 'export_json'"),
    (lambda: native.TreeScorer(TREES, TREES), TypeError,
     "TreeScorer() takes 1 positional argument but 2 were given"),
    (lambda: native.TreeScorer(b"{}"), TypeError, "argument 'export_json': must be str, not bytes"),
    (lambda: native.LinearScorer(None), TypeError, "argument 'export_json': must be str, not None"),
    (lambda: native.TreeScorer(export=TREES), TypeError,
     "TreeScorer() got an unexpected keyword argument 'export'"),
    (lambda: TREE.score(), TypeError,
     "TreeScorer.score() missing 1 required positional argument: 'features_json'"),
    (lambda: TREE.score(b"[]"), TypeError, "argument 'features_json': must be str, not bytes"),
    (lambda: TREE.score("[]", features_json="[]"), TypeError,
     "TreeScorer.score() got multiple values for argument 'features_json'"),
    (lambda: TREE.score_f32(bytearray(), 0), TypeError,
     "argument 'features_le_bytes': must be bytes, not bytearray"),
    (lambda: TREE.score_f32(memoryview(b""), 0), TypeError,
     "argument 'features_le_bytes': must be bytes, not memoryview"),
    (lambda: TREE.score_f32("", 0), TypeError, "argument 'features_le_bytes': must be bytes, not str"),
    (lambda: TREE.score_f32(b"", 0.0), TypeError,
     "argument 'row_count': 'float' object cannot be interpreted as an integer"),
    (lambda: TREE.score_f32(b"", "0"), TypeError,
     "argument 'row_count': 'str' object cannot be interpreted as an integer"),
    (lambda: TREE.score_f32(b""), TypeError,
     "TreeScorer.score_f32() missing 1 required positional argument: 'row_count'"),
    (lambda: TREE.score_f32(b"", -1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: TREE.score_f32(b"", 2**64), OverflowError, "int too big to convert"),
    (lambda: native.score_trees(TREES), TypeError,
     "score_trees() missing 1 required positional argument: 'features_json'"),
    (lambda: native.score_linear(LINEAR, 1), TypeError, "argument 'features_json': must be str, not int"),
    (lambda: native.score_linear(), TypeError,
     "score_linear() missing 2 required positional arguments: 'export_json' and 'features_json'"),
    (lambda: native.score_trees("\ud800", "[]"), UnicodeEncodeError, None),
    (lambda: TREE.score("[\udfff]"), UnicodeEncodeError, None),
])
def test_argument_errors_are_the_interpreters_own(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert not isinstance(caught.value, BrokerError)
    if message is not None:
        assert str(caught.value) == message


def test_arguments_by_position_or_keyword():
    rows = [[30.0, 0.25], [1.0, 0.5]]
    data = packed(rows)
    assert TREE.score_f32(data, 2) == TREE.score_f32(features_le_bytes=data, row_count=2)
    assert TREE.score_f32(data[:8], row_count=True) == TREE.score_f32(data[:8], 1)
    assert native.score_trees(features_json="[]", export_json=TREES) == "[]"
    assert native.TreeScorer(export_json=TREES).score(features_json="[[1,2]]") == TREE.score("[[1,2]]")

    class Blob(bytes):
        pass

    class Count:
        def __index__(self):
            return 2

    assert TREE.score_f32(Blob(data), Count()) == TREE.score_f32(data, 2)
    # The largest count passes conversion and is refused by the scorer.
    with pytest.raises(BrokerError, match="^policy_payload_limit$"):
        TREE.score_f32(row_count=2**64 - 1, features_le_bytes=b"")


# --- Results and failures -----------------------------------------------------------


def test_worked_example():
    assert TREE.score("[[30,0.2],[30,0.5]]") == "[0.4378234991142019,0.679178699175393]"
    assert TREE.score("[]") == "[]"
    assert TREE.score_f32(b"", 0) == []
    assert native.score_trees(TREES, "[[30,0.2]]") == "[0.4378234991142019]"


@pytest.mark.parametrize("call, message", [
    (lambda: native.TreeScorer("{}"), "invalid_tree_export: missing field `schema_version` at line 1 column 2"),
    (lambda: native.LinearScorer("[]"),
     "invalid_linear_export: invalid length 0, expected struct LinearExport with 5 elements at line 1 column 2"),
    (lambda: native.LinearScorer(TREES), "invalid_linear_export: unknown field `base_margin`, expected one of "
     "`schema_version`, `feature_names`, `coef`, `intercept`, `calibration` at line 1 column "
     + str(TREES.index('"base_margin"') + 1)),
    (lambda: TREE.score_f32(b"\0" * 8 * 4097, 4097), "policy_payload_limit"),
    (lambda: TREE.score("[" + ",".join(["[1,2]"] * 4097) + "]"), "policy_row_limit"),
    (lambda: TREE.score_f32(packed([[1, float("nan")]]), 1), "invalid_features: nonfinite packed value"),
    (lambda: TREE.score_f32(packed([[1, 2]]) + b"\0", 1),
     "invalid_features: packed byte length does not match dimensions"),
    (lambda: TREE.score("[[1,2],[1]]"), "invalid_features: wrong dimension or nonfinite number"),
    (lambda: TREE.score("[[1e39,2]]"), "invalid_features: wrong dimension or nonfinite number"),
    (lambda: TREE.score('{"rows":[]}'), "invalid_features: invalid type: map, expected sequence at line 1 column 1"),
    # The export fails first, even though the features are bad as well.
    (lambda: native.score_trees("{}", "x"), "invalid_tree_export: missing field `schema_version` at line 1 column 2"),
    (lambda: native.score_linear(LINEAR, "x"), "invalid_features: expected value at line 1 column 1"),
    (lambda: native.score_linear(LINEAR.replace("0.5", "1e200"), "[[1e200,0]]"), "numerical_overflow"),
])
def test_failures_are_broker_errors_with_their_text(call, message):
    with pytest.raises(BrokerError) as caught:
        call()
    assert caught.value.args == (message,)


def test_limits_at_their_boundaries():
    row = "[1,2]"
    exact = "[" + row + "]" + " " * (8 * 1024 * 1024 - len(row) - 2)
    assert TREE.score(exact) == TREE.score("[" + row + "]")
    with pytest.raises(BrokerError, match="^policy_payload_limit$"):
        TREE.score(exact + " ")
    linear_exact = LINEAR + "\t" * (1024 * 1024 - len(LINEAR))
    native.LinearScorer(linear_exact)
    with pytest.raises(BrokerError, match="^policy_payload_limit$"):
        native.score_linear(linear_exact + "\t", "[]")
    full = packed([[0.25, 0.75]] * 4096)
    assert len(TREE.score_f32(full, 4096)) == 4096
    assert len(native.LinearScorer(LINEAR).score_f32(full, 4096)) == 4096


def test_json_and_packed_rows_agree_for_trees_and_differ_for_linear():
    rng = random.Random(4)
    rows = [[rng.uniform(-3, 3), rng.choice([0.5, -0.0, 0.0, 0.1])] for _ in range(200)]
    text = json.dumps(rows)
    assert json.loads(TREE.score(text)) == TREE.score_f32(packed(rows), len(rows))
    assert TREE.score(text) == native.score_trees(TREES, text)
    linear = native.LinearScorer(LINEAR)
    assert linear.score(text) == native.score_linear(LINEAR, text)
    from_bytes = linear.score_f32(packed(rows), len(rows))
    assert json.loads(linear.score(json.dumps([[float32(v) for v in r] for r in rows]))) == from_bytes
    assert json.loads(linear.score(text)) != from_bytes


# --- Hostile input ------------------------------------------------------------------


def test_mutated_exports_and_packed_bytes_never_crash():
    rng = random.Random(1)
    sources = [TREES, LINEAR, random_forest(2, trees=3, depth=3)]
    alphabet = '{}[],:"0123456789.-e \\nul'
    for _ in range(3000):
        text = list(rng.choice(sources))
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(len(text))
            action = rng.randrange(3)
            if action == 0:
                text[at] = rng.choice(alphabet)
            elif action == 1:
                del text[at]
            else:
                text.insert(at, rng.choice(alphabet))
        text = "".join(text)
        for call in (lambda: native.TreeScorer(text), lambda: native.LinearScorer(text),
                     lambda: TREE.score(text), lambda: native.score_trees(TREES, text)):
            try:
                call()
            except BrokerError:
                pass
    for _ in range(2000):
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(24)))
        try:
            TREE.score_f32(data, rng.randrange(4))
        except BrokerError as error:
            assert str(error).startswith(("invalid_features: ", "policy_payload_limit"))


# --- Threads and the interpreter lock -----------------------------------------------


def test_several_threads_score_one_scorer():
    scorer = native.TreeScorer(random_forest(7, trees=100))
    rng = random.Random(3)
    batches = [[[rng.uniform(-2, 2) for _ in range(6)] for _ in range(500)] for _ in range(6)]
    expected = [scorer.score_f32(packed(batch), len(batch)) for batch in batches]
    failures = []

    def work(index):
        for _ in range(5):
            batch = batches[index]
            if scorer.score_f32(packed(batch), len(batch)) != expected[index]:
                failures.append(index)
            if json.loads(scorer.score(json.dumps(batch))) != [float(x) for x in expected[index]]:
                failures.append(index)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(batches))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_the_interpreter_lock_is_released_while_scoring():
    """A Python thread keeps running inside a long native call only if the
    call released the interpreter lock."""
    export = random_forest(9, trees=1500)
    scorer = native.TreeScorer(export)
    rows = packed([[0.1 * k for k in range(6)]] * 4096)
    text = json.dumps([[0.1 * k for k in range(6)]] * 4096)
    stamps = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    calls = {
        "score_f32": lambda: scorer.score_f32(rows, 4096),
        "score": lambda: scorer.score(text),
        "TreeScorer": lambda: native.TreeScorer(export),
    }
    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        for name, call in calls.items():
            begin = time.perf_counter()
            call()
            end = time.perf_counter()
            margin = min(0.01, (end - begin) / 4)
            inside = [t for t in stamps if begin + margin < t < end - margin]
            assert end - begin > 0.02, f"{name} too quick to tell"
            assert inside, f"{name} held the interpreter lock"
    finally:
        stop.set()
        ticker.join()
