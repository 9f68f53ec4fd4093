"""The scorers as Python sees them: JSON and packed rows agree, the one-shot
functions equal the classes, and feature_names hands out copies. Their
refusals are rows of the table in test_arguments.py."""

import json
import random

import pytest

from records import LINEAR, TREES, packed
from tallowmere._native import LinearScorer, TreeScorer, score_linear, score_trees

TREE = TreeScorer(TREES)


def test_json_and_packed_rows_and_one_shot_functions_agree():
    # Packed rows equal the JSON path on float32 values (score_array's tests);
    # here: trees round JSON values to float32 too, a linear model does not.
    assert TREE.score("[[30,0.2],[30,0.5]]") == "[0.4378234991142019,0.679178699175393]"
    assert (TREE.score("[]"), TREE.score_f32(b"", 0)) == ("[]", [])
    rng = random.Random(4)
    rows = [[rng.uniform(-3, 3), rng.choice([0.5, -0.0, 0.0, 0.1])] for _ in range(200)]
    rows_text = json.dumps(rows)
    assert json.loads(TREE.score(rows_text)) == TREE.score_f32(packed(rows), len(rows))
    linear = LinearScorer(LINEAR)
    assert json.loads(linear.score(rows_text)) != linear.score_f32(packed(rows), len(rows))
    assert score_trees(TREES, rows_text) == TREE.score(rows_text)
    assert score_linear(export_json=LINEAR, features_json=rows_text) == linear.score(rows_text)


@pytest.mark.parametrize("cls, export", [(TreeScorer, TREES), (LinearScorer, LINEAR)],
                         ids=["TreeScorer", "LinearScorer"])
def test_feature_names_are_a_fresh_copy(cls, export):
    scorer = cls(export)
    first = scorer.feature_names
    assert first == ["age", "score"]
    first.append("x")
    first[0] = "changed"
    second = scorer.feature_names
    assert second == ["age", "score"] and second is not scorer.feature_names
