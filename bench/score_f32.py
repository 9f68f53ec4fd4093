"""CPU time of TreeScorer.score_f32 against XGBoost's own inplace_predict on
one thread and a plain NumPy walk, on the same XGBoost models and rows. The
engines take turns call by call, so a load on the machine falls on both
alike; each figure is the median over the rounds.

    .venv/bin/python -P bench/score_f32.py [--quick]

--quick trains on fewer rows, takes fewer rounds and leaves out the NumPy
walk; bench/summary.py uses it through ratios().
"""

import argparse
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
# score_f32 takes at most this share of XGBoost's time on every model.
MAX_TIME_RATIO = 1 / 2.2


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


def cpu_seconds(calls, rounds):
    """Median CPU seconds of each call, the calls taking turns round by round
    after one warm-up round. `None` calls are skipped."""
    times = [[] for _ in calls]
    for round_ in range(rounds + 1):
        for call, spent in zip(calls, times):
            if call is None:
                continue
            start = time.process_time_ns()
            call()
            if round_ > 0:
                spent.append((time.process_time_ns() - start) / 1e9)
    return [statistics.median(spent) if spent else None for spent in times]


def measure(quick):
    """One result per model: trees, depth, nodes, our, XGBoost's and the
    NumPy walk's CPU seconds per call (None in quick mode), max |diff|."""
    # One thread throughout: CPU time counts every thread of the process.
    rng = np.random.default_rng(2024)
    x_train, y_train = synthetic(rng, 3000 if quick else 10000)
    rows, _ = synthetic(rng, ROWS)
    packed = rows.astype("<f4").tobytes()
    rounds = 5 if quick else 15
    results = []
    for trees, depth in MODELS:
        model = xgboost.XGBClassifier(n_estimators=trees, max_depth=depth, learning_rate=0.1,
                                      tree_method="hist", n_jobs=1, random_state=0)
        model.fit(x_train, y_train)
        booster = model.get_booster()
        booster.set_param({"nthread": 1})
        export = xgboost_export(booster, FEATURES)
        scorer = native.TreeScorer(export)
        nodes = sum(len(t["nodes"]) for t in json.loads(export)["trees"])

        ours = np.array(scorer.score_f32(packed, ROWS))
        theirs = booster.inplace_predict(rows)
        walker = None
        if not quick:
            walker = numpy_walker(export)
            assert np.allclose(walker(rows), ours, rtol=1e-6, atol=0)
        ours_s, xgb_s = cpu_seconds([lambda: scorer.score_f32(packed, ROWS),
                                     lambda: booster.inplace_predict(rows)], rounds)
        (numpy_s,) = cpu_seconds([walker and (lambda: walker(rows))], 3)
        results.append((trees, depth, nodes, ours_s, xgb_s, numpy_s,
                        float(np.max(np.abs(ours - theirs)))))
    return results


def label(trees, depth):
    return f"score_f32 {trees}x{depth} / xgboost inplace_predict"


def ratios(quick):
    return [(label(trees, depth), ours_s / xgb_s, MAX_TIME_RATIO)
            for trees, depth, _, ours_s, xgb_s, _, _ in measure(quick)]


def rate(seconds):
    return "-" if seconds is None else f"{ROWS / seconds:,.0f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rows to train on and rounds")
    quick = parser.parse_args().quick

    header = ("trees", "depth", "nodes", "ns/tree-row", "tallowmere rows/s",
              "xgboost 1 thread rows/s", "numpy rows/s", "speed-up", "time ratio", "max |diff|")
    lines = []
    for trees, depth, nodes, ours_s, xgb_s, numpy_s, diff in measure(quick):
        lines.append((trees, depth, nodes, f"{ours_s * 1e9 / (trees * ROWS):.2f}", rate(ours_s),
                      rate(xgb_s), rate(numpy_s), f"{xgb_s / ours_s:.2f}x",
                      f"{ours_s / xgb_s:.3f}", f"{diff:.1e}"))

    print(f"score_f32 on {ROWS} rows x {FEATURES} features, one thread each, CPU time, "
          f"median of {5 if quick else 15} interleaved rounds")
    print(f"time ratio = tallowmere / xgboost, at most {MAX_TIME_RATIO:.3f}")
    widths = [max(len(str(v)) for v in column) for column in zip(header, *lines)]
    for line in (header, *lines):
        print(" | ".join(str(v).rjust(w) for v, w in zip(line, widths)))


if __name__ == "__main__":
    main()
