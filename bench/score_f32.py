"""Rows per second of TreeScorer.score_f32 against XGBoost's own inplace_predict
on one thread and a plain NumPy walk, on the same XGBoost models and rows.

Run with the package installed: .venv/bin/python bench/score_f32.py
"""

import json
import pathlib
import statistics
import sys
import time

import numpy as np
import xgboost

import tallowmere._native as native

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from model_exports import xgboost_export  # noqa: E402

ROWS = 4096
FEATURES = 50
MODELS = [(100, 6), (100, 8), (500, 6), (500, 8)]


def synthetic(rng, rows):
    x = rng.normal(size=(rows, FEATURES)).astype(np.float32)
    signal = x[:, 0] * x[:, 1] + np.sin(3 * x[:, 2]) - 0.5 * x[:, 3] ** 2 + x[:, 4:20].sum(axis=1) / 4
    y = (signal + 0.5 * rng.normal(size=rows) > 0).astype(int)
    return x, y


def numpy_walker(export):
    """All rows through one tree at a time, level by level, with float32
    margins summed in tree order."""
    model = json.loads(export)
    trees = []
    for tree in model["trees"]:
        nodes = tree["nodes"]
        count = len(nodes)
        feature = np.zeros(count, dtype=np.int64)
        threshold = np.full(count, np.inf, dtype=np.float32)
        left = np.arange(count)
        right = np.arange(count)
        value = np.zeros(count, dtype=np.float32)
        depth = [0] * count
        for node in nodes:
            i = node["node_id"]
            if "leaf" in node:
                value[i] = node["leaf"]
                continue
            feature[i], threshold[i] = node["feature_index"], node["threshold"]
            left[i], right[i] = node["left"], node["right"]
            depth[node["left"]] = depth[node["right"]] = depth[i] + 1
        trees.append((feature, threshold, left, right, value, max(depth)))
    base = np.float32(model["base_margin"])

    def score(rows):
        index = np.arange(len(rows))
        margin = np.full(len(rows), base, dtype=np.float32)
        for feature, threshold, left, right, value, depth in trees:
            at = np.zeros(len(rows), dtype=np.int64)
            for _ in range(depth):
                go_left = rows[index, feature[at]] < threshold[at]
                at = np.where(go_left, left[at], right[at])
            margin += value[at]
        z = margin.astype(np.float64)
        return np.where(z >= 0, 1 / (1 + np.exp(-np.abs(z))), np.exp(-np.abs(z)) / (1 + np.exp(-np.abs(z))))

    return score


def rows_per_second(call, repeats):
    call()  # warm up
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return ROWS / statistics.median(times)


def main():
    rng = np.random.default_rng(2024)
    x_train, y_train = synthetic(rng, 10000)
    rows, _ = synthetic(rng, ROWS)
    packed = rows.astype("<f4").tobytes()

    header = ("trees", "depth", "nodes", "tallowmere rows/s", "xgboost 1 thread rows/s",
              "numpy rows/s", "tallowmere / xgboost", "max |diff|")
    lines = []
    for trees, depth in MODELS:
        model = xgboost.XGBClassifier(n_estimators=trees, max_depth=depth, learning_rate=0.1,
                                      tree_method="hist", n_jobs=2, random_state=0)
        model.fit(x_train, y_train)
        booster = model.get_booster()
        booster.set_param({"nthread": 1})
        export = xgboost_export(booster, FEATURES)
        scorer = native.TreeScorer(export)
        walker = numpy_walker(export)
        nodes = sum(len(t["nodes"]) for t in json.loads(export)["trees"])

        ours = np.array(scorer.score_f32(packed, ROWS))
        theirs = booster.inplace_predict(rows)
        assert np.allclose(walker(rows), ours, rtol=1e-6, atol=0)

        ours_rate = rows_per_second(lambda: scorer.score_f32(packed, ROWS), 15)
        xgb_rate = rows_per_second(lambda: booster.inplace_predict(rows), 15)
        numpy_rate = rows_per_second(lambda: walker(rows), 3)
        lines.append((trees, depth, nodes, f"{ours_rate:,.0f}", f"{xgb_rate:,.0f}", f"{numpy_rate:,.0f}",
                      f"{ours_rate / xgb_rate:.2f}x", f"{np.max(np.abs(ours - theirs)):.1e}"))

    print(f"score_f32 on {ROWS} rows x {FEATURES} features, one thread each (median of 15 runs)")
    widths = [max(len(str(v)) for v in column) for column in zip(header, *lines)]
    for line in (header, *lines):
        print(" | ".join(str(v).rjust(w) for v, w in zip(line, widths)))


if __name__ == "__main__":
    main()
