"""The broker and a scorer in a few lines, typed end to end.

Run it with `python examples/quickstart.py`; `mypy --strict` checks it.
"""

import json

from tallowmere import Broker, BrokerError, ErrorCode, TreeScorer, error_code
from tallowmere.types import (BeginResult, ConfigInput, IntentInput, IntentRecord, Journal,
                              OutcomeInput, ResourceObservedEvent, SubmitResult, TreeExport)

config: ConfigInput = {"workspace_id": "quickstart", "capabilities": ["deploy"]}
broker = Broker(json.dumps(config))
broker.register_action(json.dumps({"action_id": "deploy", "required_capabilities": ["deploy"],
                                   "allow_write": True, "max_resources": 1}))

# A trusted source reports the resource; it starts at revision 0.
event: ResourceObservedEvent = {
    "event_id": "obs-1", "source_id": "runtime", "source_sequence": 1,
    "kind": "resource_observed", "resource_id": "service/api", "fingerprint": "api-v1"}
broker.observe(json.dumps(event))

# Plan against the revision observed, then dispatch.
intent: IntentInput = {
    "intent_id": "deploy-1", "action_id": "deploy", "idempotency_key": "release-42",
    "resources": [{"resource_id": "service/api", "expected_revision": 0, "access": "write"}],
    "arguments": {"image": "api:v2"}}
submitted: SubmitResult = json.loads(broker.submit(json.dumps(intent)))
began: BeginResult = json.loads(broker.begin("deploy-1"))
print(f"{submitted['record']['status']} -> {began['record']['status']}: {began['arguments']}")

# Persist before running the effect, then acknowledge what was stored.
stored = broker.journal()
journal: Journal = json.loads(stored)
tip = journal["entries"][-1]["hash"] if journal["entries"] else journal["checkpoint_hash"]
broker.checkpoint(tip)

# The effect ran; report it with evidence. The resource moves to revision 1.
outcome: OutcomeInput = {"status": "completed_verified", "changed_resources": ["service/api"],
                         "resource_fingerprints": {"service/api": "api-v2"},
                         "evidence": {"receipt": "r-1"}}
record: IntentRecord = json.loads(broker.finish("deploy-1", json.dumps(outcome)))
print(f"finished: {record['status']}")

# A plan made against the old revision is refused, with a code to branch on.
stale: IntentInput = {**intent, "intent_id": "deploy-2", "idempotency_key": "release-43"}
try:
    broker.submit(json.dumps(stale))
except BrokerError as error:
    assert error_code(error) is ErrorCode.STALE_REVISION
    print(f"refused: {error}")

# Scoring: a one-split tree over two features.
export: TreeExport = {
    "schema_version": 1, "feature_names": ["age", "score"], "base_margin": 0.0,
    "trees": [{"nodes": [
        {"node_id": 0, "feature_index": 1, "threshold": 0.5, "left": 1, "right": 2,
         "missing": 1},
        {"node_id": 1, "leaf": -0.25},
        {"node_id": 2, "leaf": 0.75}]}],
    "calibration": {"kind": "platt", "coef": 1.0, "intercept": 0.0}}
scorer = TreeScorer(json.dumps(export))
print(f"scores: {scorer.score('[[30, 0.2], [30, 0.5]]')}")
