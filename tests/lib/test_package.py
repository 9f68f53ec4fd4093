"""The public package around the module: its names and version, error codes
as values, BrokerError across pickling and process pools, the scorers'
feature names, and numpy arrays scored bit for bit as the JSON path scores
them."""

import concurrent.futures
import copy
import importlib.metadata
import json
import multiprocessing
import pathlib
import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

import tallowmere
from records import LINEAR, PLATT, TREES, raised, text
from tallowmere import (Broker, BrokerError, ErrorCode, LinearScorer, TreeScorer, error_code,
                        error_detail, score_array)

ROOT = pathlib.Path(__file__).resolve().parents[2]
TREE = TreeScorer(TREES)
LINE = LinearScorer(LINEAR)
UNCONFIGURED = '{"normal_capacity":0}'


def test_names_version_and_no_numpy_on_import():
    native = tallowmere._native
    for name in native.__all__:
        assert getattr(tallowmere, name) is getattr(native, name), name
    assert all(hasattr(tallowmere, name) for name in tallowmere.__all__)
    assert importlib.metadata.version("tallowmere") == native.__version__
    probe = "import sys, tallowmere, tallowmere.types; sys.exit('numpy' in sys.modules)"
    assert subprocess.run([sys.executable, "-P", "-c", probe]).returncode == 0


@pytest.mark.parametrize("call, code, detail", [
    (lambda: Broker(UNCONFIGURED), ErrorCode.INVALID_CONFIG, "capacity bounds violated"),
    # The detail is everything after the first ": ", blanks and colons included.
    (lambda: Broker().begin("a: b"), ErrorCode.UNKNOWN_INTENT, "a: b"),
    (lambda: Broker().begin(""), ErrorCode.UNKNOWN_INTENT, ""),
    (lambda: TREE.score_f32(b"", 4097), ErrorCode.POLICY_PAYLOAD_LIMIT, ""),
])
def test_codes_and_details_of_real_failures(call, code, detail):
    error = raised(BrokerError, call)
    assert (error_code(error), error_detail(error)) == (code, detail)
    assert str(error) == (f"{code}: {detail}" if ": " in str(error) else code)


@pytest.mark.parametrize("error, exception", [
    (RuntimeError("stale_revision: r"), TypeError), (BrokerError("no_such_code: x"), ValueError),
    (BrokerError(), ValueError), (BrokerError(1), ValueError)])
def test_error_code_refuses_what_is_no_failure_text(error, exception):
    raised(exception, error_code, error)


def test_every_engine_code_is_listed_and_documented():
    catalogue = (ROOT / "src/foundation/error_code.h").read_text()
    produced = set(re.findall(r'\{Code::\w+, "(\w+)",', catalogue))
    for path in (ROOT / "python/tallowmere").rglob("*.py"):
        produced |= set(re.findall(r'Error\(\s*f?"(\w+): ', path.read_text()))
    assert produced == set(ErrorCode)
    documented = set(re.findall(r"^\| `(\w+)` \|", (ROOT / "docs/errors.md").read_text(), re.M))
    assert documented == set(ErrorCode)


def test_broker_error_survives_pickling_copying_and_a_process_pool():
    error = raised(BrokerError, Broker, UNCONFIGURED)
    error.add_note("while starting")
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(error, protocol))
        assert (type(again), again.args, again.__notes__) == (
            BrokerError, error.args, ["while starting"])
    assert copy.deepcopy(error).args == error.args
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
        arrived = raised(BrokerError, pool.submit(Broker, UNCONFIGURED).result)
    assert type(arrived) is BrokerError and arrived.args == error.args


@pytest.mark.parametrize("scorer", [TREE, LINE], ids=["TreeScorer", "LinearScorer"])
def test_feature_names_are_a_fresh_copy(scorer):
    first = scorer.feature_names
    first.append("x")
    first[0] = "changed"
    second = scorer.feature_names
    assert second == ["age", "score"] and second is not scorer.feature_names


@pytest.mark.parametrize("scorer", [TREE, LINE], ids=["trees", "linear"])
@pytest.mark.parametrize("layout", ["C", "F", "big-endian"])
def test_arrays_score_as_the_json_path(scorer, layout):
    rows = np.random.default_rng(7).normal(scale=[100, 1], size=(10_000, 2)).astype(np.float32)
    rows[:40, 1] = [0.5, -0.0, 0.0, 1e-40, np.float32(0.1), 3e38, -3e38, 0.49999997] * 5
    # The JSON path, one call per 4,096 rows.
    expected = np.array([score for start in range(0, len(rows), 4096) for score in json.loads(
        scorer.score(json.dumps(rows[start:start + 4096].tolist())))])
    given = {"C": rows, "F": np.asfortranarray(rows), "big-endian": rows.astype(">f4")}[layout]
    scores = score_array(scorer, given)
    assert scores.dtype == np.float64
    assert scores.view(np.uint64).tolist() == expected.view(np.uint64).tolist()
    assert score_array(scorer, rows[:0]).shape == (0,)


def test_wide_rows_are_split_under_the_byte_bound():
    # 600 rows of 4,096 features are 9.8 MB: more than one packed call takes.
    wide = LinearScorer(text({"schema_version": 1, "feature_names": ["f"] * 4096,
                              "coef": [0.001] * 4096, "intercept": 0.0, "calibration": PLATT}))
    rows = np.random.default_rng(3).normal(size=(600, 4096)).astype(np.float32)
    assert str(raised(BrokerError, wide.score_f32, rows.tobytes(), 600)) == "policy_payload_limit"
    halves = [wide.score_f32(half.tobytes(), 300) for half in (rows[:300], rows[300:])]
    assert score_array(wide, rows).tolist() == halves[0] + halves[1]


def with_value(row, column, value):
    array = np.ones((6000, 2), dtype=np.float32)
    array[row, column] = value
    return array


@pytest.mark.parametrize("features, native_rows", [
    # The text score_f32 gives for the same rows: the whole array, or the
    # chunk that holds the fault.
    (np.ones((10, 3), dtype=np.float32), slice(None)),
    (np.ones((5000, 3), dtype=np.float32), slice(0, 4096)),
    (with_value(5000, 1, np.nan), slice(4096, None)),
    (with_value(7, 0, np.inf), slice(0, 4096)),
])
def test_array_refusals_are_the_packed_texts(features, native_rows):
    chunk = features[native_rows]
    expected = raised(BrokerError, TREE.score_f32, chunk.tobytes(), len(chunk))
    assert raised(BrokerError, score_array, TREE, features).args == expected.args


@pytest.mark.parametrize("scorer, features", [
    (TREE, [[1.0, 2.0]]), (TREE, np.ones((2, 2), dtype=np.float64)),
    (TREE, np.ones((2, 2), dtype=np.int32)), (TREE, np.ones(2, dtype=np.float32)),
    (Broker(), np.ones((2, 2), dtype=np.float32))])
def test_arrays_of_the_wrong_python_type_are_type_errors(scorer, features):
    raised(TypeError, score_array, scorer, features)
