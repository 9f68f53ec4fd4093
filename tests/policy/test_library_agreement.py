"""Models trained with real libraries, converted into this system's exports,
score the same probabilities as the libraries' own predictions."""

import json
import pathlib
import sys

import numpy as np
import pytest
import xgboost
from sklearn import ensemble, linear_model

import tallowmere._native as native

# The converters are a documented example; the importlib import mode adds no
# directory to the path by itself.
sys.path.insert(0, str(pathlib.Path(__file__).parents[2] / "examples"))
from model_exports import (sklearn_gbm_export, sklearn_logistic_export,  # noqa: E402
                           xgboost_export)


def synthetic(seed, rows, features):
    """Seeded data with interactions and noise, so trees grow deep and uneven."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, features))
    signal = x[:, 0] * x[:, 1] + np.sin(3 * x[:, 2]) - 0.5 * x[:, 3] ** 2
    y = (signal + 0.5 * rng.normal(size=rows) > 0).astype(int)
    return x, y


def packed_scores(scorer, seed, features):
    rows = np.random.default_rng(seed).normal(size=(4096, features)).astype(np.float32)
    return rows, scorer.score_f32(rows.tobytes(), len(rows))


def xgboost_case(trees, depth):
    x, y = synthetic(seed=trees, rows=3000, features=10)
    model = xgboost.XGBClassifier(n_estimators=trees, max_depth=depth, learning_rate=0.2,
                                  n_jobs=1, random_state=0).fit(x.astype(np.float32), y)
    return model, *packed_scores(native.TreeScorer(xgboost_export(model.get_booster(), 10)),
                                 99, 10)


def sklearn_gbm_case():
    x, y = synthetic(seed=11, rows=2000, features=8)
    model = ensemble.GradientBoostingClassifier(n_estimators=60, max_depth=4, learning_rate=0.2,
                                                random_state=0).fit(x, y)
    return model, *packed_scores(native.TreeScorer(sklearn_gbm_export(model, 8)), 5, 8)


def sklearn_logistic_case():
    x, y = synthetic(seed=3, rows=2000, features=12)
    model = linear_model.LogisticRegression(C=0.5, max_iter=1000).fit(x, y)
    export = sklearn_logistic_export(model, [f"f{k}" for k in range(12)])
    rows = np.random.default_rng(8).normal(scale=2.0, size=(4096, 12))
    return model, rows, json.loads(native.score_linear(export, json.dumps(rows.tolist())))


@pytest.mark.parametrize("case, rtol, atol", [
    # Both sum the same float32 leaves; XGBoost then takes the sigmoid in
    # float32, which costs it a few units in the last place.
    (lambda: xgboost_case(40, 4), 2.0**-20, 0),
    (lambda: xgboost_case(120, 7), 2.0**-20, 0),
    # scikit-learn keeps its leaves and their sum in double; here both are
    # float32, so the margin carries float32 rounding from every tree.
    (sklearn_gbm_case, 1e-5, 0),
    (sklearn_logistic_case, 0, 1e-12),
], ids=["xgboost-40x4", "xgboost-120x7", "sklearn-gbm", "sklearn-logistic"])
def test_converted_models_score_as_their_libraries(case, rtol, atol):
    model, rows, ours = case()
    np.testing.assert_allclose(ours, model.predict_proba(rows)[:, 1], rtol=rtol, atol=atol)
