"""Converters from trained models into tallowmere's tree and linear exports:
XGBoost boosters, scikit-learn gradient boosting and logistic regression.

Run it (with xgboost and scikit-learn installed) to train three small models,
convert them and compare tallowmere's probabilities with the libraries' own:

    python examples/model_exports.py

Both libraries number a tree's nodes from 0 with every child after its
parent, which is what a tree export requires, so nodes keep their own ids.
The agreement tests and the scoring benchmark use these converters too.
"""

import json

import numpy as np

PLATT_IDENTITY = {"kind": "platt", "coef": 1.0, "intercept": 0.0}


def tree_export(feature_count, trees, base_margin=0.0, calibration=PLATT_IDENTITY):
    return json.dumps({
        "schema_version": 1,
        "feature_names": [f"f{k}" for k in range(feature_count)],
        "base_margin": base_margin,
        "trees": [{"nodes": nodes} for nodes in trees],
        "calibration": calibration,
    })


def xgboost_export(booster, feature_count):
    """From the booster's JSON model: x < split_condition goes left, leaves
    keep their value in split_conditions, and base_score is a probability."""
    learner = json.loads(booster.save_raw("json"))["learner"]
    base_score = np.float32(json.loads(learner["learner_model_param"]["base_score"])[0])
    base_margin = -np.log(np.float32(1) / base_score - np.float32(1))
    trees = []
    for tree in learner["gradient_booster"]["model"]["trees"]:
        left, right = tree["left_children"], tree["right_children"]
        condition, feature = tree["split_conditions"], tree["split_indices"]
        default_left = tree["default_left"]

        def node(i):
            if left[i] == -1:
                return {"node_id": i, "leaf": condition[i]}
            return {"node_id": i, "feature_index": feature[i], "threshold": condition[i],
                    "left": left[i], "right": right[i],
                    "missing": left[i] if default_left[i] else right[i]}

        trees.append([node(i) for i in range(len(left))])
    return tree_export(feature_count, trees, base_margin=float(base_margin))


def threshold_below_or_equal(threshold):
    """scikit-learn sends float32 x left when x <= threshold (a double); here
    left means x < t, so t is the float just above the largest float that is
    still <= threshold."""
    below = np.float32(threshold)
    if below > threshold:
        below = np.nextafter(below, np.float32(-np.inf))
    return float(np.nextafter(below, np.float32(np.inf)))


def sklearn_gbm_export(model, feature_count):
    """From a fitted GradientBoostingClassifier (two classes). The learning
    rate and the prior's log-odds become the calibration, so the leaves stay
    the trees' own values."""
    trees = []
    for estimator in model.estimators_[:, 0]:
        tree = estimator.tree_
        left, right = tree.children_left.tolist(), tree.children_right.tolist()

        def node(i):
            if left[i] == -1:
                return {"node_id": i, "leaf": float(tree.value[i].ravel()[0])}
            return {"node_id": i, "feature_index": int(tree.feature[i]),
                    "threshold": threshold_below_or_equal(tree.threshold[i]),
                    "left": left[i], "right": right[i], "missing": left[i]}

        trees.append([node(i) for i in range(tree.node_count)])
    prior = model.init_.class_prior_[1]
    calibration = {"kind": "platt", "coef": model.learning_rate,
                   "intercept": float(np.log(prior / (1 - prior)))}
    return tree_export(feature_count, trees, calibration=calibration)


def sklearn_logistic_export(model, feature_names):
    """From a fitted two-class LogisticRegression: its weights and intercept
    give the margin, and the calibration is the identity."""
    return json.dumps({
        "schema_version": 1,
        "feature_names": list(feature_names),
        "coef": model.coef_[0].tolist(),
        "intercept": float(model.intercept_[0]),
        "calibration": PLATT_IDENTITY,
    })


def main():
    import xgboost
    from sklearn import ensemble, linear_model

    from tallowmere import LinearScorer, TreeScorer, score_array

    rng = np.random.default_rng(0)
    x = rng.normal(size=(1000, 6)).astype(np.float32)
    y = (x[:, 0] * x[:, 1] + np.sin(3 * x[:, 2]) > 0).astype(int)
    rows = rng.normal(size=(5000, 6)).astype(np.float32)

    booster = xgboost.XGBClassifier(n_estimators=30, max_depth=4, n_jobs=1).fit(x, y)
    gbm = ensemble.GradientBoostingClassifier(n_estimators=30, max_depth=3).fit(x, y)
    logistic = linear_model.LogisticRegression().fit(x, y)
    models = [
        ("xgboost", booster, TreeScorer(xgboost_export(booster.get_booster(), 6))),
        ("scikit-learn gradient boosting", gbm, TreeScorer(sklearn_gbm_export(gbm, 6))),
        ("scikit-learn logistic regression", logistic,
         LinearScorer(sklearn_logistic_export(logistic, [f"f{k}" for k in range(6)]))),
    ]
    for name, model, scorer in models:
        ours = score_array(scorer, rows)
        theirs = model.predict_proba(rows)[:, 1]
        print(f"{name}: {len(rows)} rows, largest difference {np.max(np.abs(ours - theirs)):.1e}")


if __name__ == "__main__":
    main()
