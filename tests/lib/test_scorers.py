"""The scorers as Python sees them: JSON and packed rows agree, the one-shot
functions equal the classes, feature_names hands out copies, and refusals
reach Python as BrokerError with the policy's text, one for each way a
scorer is called."""

import json
import random

import pytest

from records import LINEAR, TREES, packed
from tallowmere._native import BrokerError, LinearScorer, TreeScorer, score_linear, score_trees

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


@pytest.mark.parametrize("call, message", [
    (lambda: TreeScorer("{}"),
     "invalid_tree_export: missing field `schema_version` at line 1 column 2"),
    (lambda: TREE.score("[" + ",".join(["[1,2]"] * 4097) + "]"), "policy_row_limit"),
    # The export fails first, even though the features are bad as well.
    (lambda: score_trees("{}", "x"),
     "invalid_tree_export: missing field `schema_version` at line 1 column 2"),
    (lambda: score_linear(LINEAR, "x"), "invalid_features: expected value at line 1 column 1"),
])
def test_refusals_are_broker_errors_with_the_policys_text(call, message):
    with pytest.raises(BrokerError) as caught:
        call()
    assert caught.value.args == (message,)
