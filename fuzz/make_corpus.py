"""Regenerates the fuzzers' seed corpora in fuzz/corpus/<fuzzer>/ from a real
broker run and small model exports, with the installed tallowmere package:

    .venv/bin/python -P fuzz/make_corpus.py
"""

import json
import pathlib
import shutil
import struct
import sys
import time

from tallowmere._native import Broker, LinearScorer, TreeScorer

HERE = pathlib.Path(__file__).resolve().parent
# The records fuzzer's first byte picks the decoder, in this order.
RECORDS = ["config", "action_spec", "resource_ref", "intent", "intent_record", "outcome",
           "event", "command", "resource_state", "state", "entry", "journal", "value"]


def text(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


def observed(event_id, sequence, resource_id, fingerprint, source="runtime"):
    return text({"event_id": event_id, "source_id": source, "source_sequence": sequence,
                 "kind": "resource_observed", "resource_id": resource_id,
                 "fingerprint": fingerprint})


def control_event(event_id, sequence, kind, **payload):
    return text({"event_id": event_id, "source_id": "verifier", "source_sequence": sequence,
                 "kind": kind, **payload})


def intent(intent_id, action_id, resources, **fields):
    return text({"intent_id": intent_id, "action_id": action_id,
                 "resources": [{"resource_id": r, "expected_revision": rev, "access": access}
                               for r, rev, access in resources], **fields})


def outcome(status, changed=(), fingerprints=None, evidence=None):
    return text({"status": status, "changed_resources": list(changed),
                 "resource_fingerprints": fingerprints or {},
                 "evidence": evidence or {"receipt": "r-1", "attempts": [1, 2.5, -3], "ok": True}})


def broker_journals():
    """The journal at each interesting point of one broker's life."""
    config = {"workspace_id": "fuzz", "capabilities": ["deploy", "read"],
              "normal_capacity": 4, "control_capacity": 2, "max_journal_entries": 100}
    broker = Broker(text(config))
    journals = {"genesis": broker.journal()}
    broker.register_action(text({"action_id": "deploy", "required_capabilities": ["deploy"],
                                 "allow_write": True, "max_resources": 2}))
    broker.register_action(text({"action_id": "inspect", "required_capabilities": ["read"]}))
    broker.observe(observed("o1", 1, "svc/api", "v1"))
    broker.observe(observed("o2", 2, "svc/db", "d1"))
    broker.observe(observed("o3", 3, "svc/api", "v2"))
    journals["observed"] = broker.journal()
    broker.submit(intent("i1", "deploy", [("svc/api", 1, "write")], idempotency_key="k1",
                         arguments={"image": "api:2", "replicas": 3}))
    broker.submit(intent("i2", "inspect", [("svc/db", 0, "read")], ttl_ms=5))
    broker.begin("i1")
    broker.finish("i1", outcome("completed_verified", ["svc/api"], {"svc/api": "v3"}))
    journals["finished"] = broker.journal()
    time.sleep(0.02)
    broker.expire()
    broker.submit(intent("i3", "deploy", [("svc/api", 2, "write")]))
    broker.begin("i3")
    broker.submit(intent("i4", "inspect", [("svc/db", 0, "read")]))
    broker.enqueue(observed("o4", 4, "svc/cache", "c1"))
    broker.enqueue(control_event("c1", 1, "intent_cancel", intent_id="i3"), True)
    journals["queued"] = broker.journal()
    broker.drain(2)
    broker.submit(intent("i5", "deploy", [("svc/cache", 0, "write")]))
    broker.begin("i5")
    broker.finish("i5", outcome("failed_verified"))
    broker.submit(intent("i6", "inspect", []))
    broker.cancel("i6")
    journals["drained"] = broker.journal()
    acknowledged = json.loads(broker.journal())["entries"][-1]["hash"]
    broker.checkpoint(acknowledged)
    broker.revoke("read")
    broker.observe(observed("o5", 5, "svc/db", "d2"))
    journals["after_checkpoint"] = broker.journal()
    recovered = Broker.from_journal(broker.journal())
    journals["recovered"] = recovered.journal()
    recovered.reconcile("i3", outcome("completed_verified", ["svc/api"], {"svc/api": "v4"}))
    journals["reconciled"] = recovered.journal()
    # An unknown effect reported again with evidence equal but written
    # differently (0.0, then -0.0), and ended after.
    zeros = Broker(text(config))
    zeros.register_action(text({"action_id": "deploy", "allow_write": True}))
    zeros.observe(observed("o1", 1, "svc/api", "v1"))
    zeros.submit(intent("z1", "deploy", [("svc/api", 0, "write")], arguments={"n": -0.0}))
    zeros.begin("z1")
    zeros.finish("z1", outcome("effect_unknown", ["svc/api"]))
    for zero in (0.0, -0.0):
        zeros.reconcile("z1", outcome("effect_unknown", evidence={"x": [zero, 1e2]}))
    zeros.cancel("z1")
    journals["signed_zeros"] = zeros.journal()
    return journals


def record_seeds(journals):
    seeds = []

    def add(kind, value):
        seeds.append((kind, text(value) if not isinstance(value, str) else value))

    reconciled = json.loads(journals["reconciled"])
    drained = json.loads(journals["drained"])
    add("config", reconciled["config"])
    add("config", {})
    add("state", drained["checkpoint_state"])
    add("state", reconciled["checkpoint_state"])
    add("journal", journals["genesis"])
    operations = set()
    for entry in drained["entries"] + reconciled["entries"]:
        command = entry["command"]
        if command["operation"] in operations:
            continue
        operations.add(command["operation"])
        add("entry", entry)
        add("command", command)
        for key, kind in (("spec", "action_spec"), ("intent", "intent"),
                          ("outcome", "outcome"), ("event", "event")):
            if key in command:
                add(kind, command[key])
        for ref in command.get("intent", {}).get("resources", []):
            add("resource_ref", ref)
    state = json.loads(Broker.replay(journals["reconciled"]))["state"]
    for record in state["intents"].values():
        add("intent_record", record)
    for resource in state["resources"].values():
        add("resource_state", resource)
    add("value", Broker.replay(journals["queued"]))
    add("value", '{"a":[1,-2,3.5e-7,true,null,"\\u00e9\\n"],"b":{}}')
    add("command", ["drain", 3])
    return seeds


PLATT = {"kind": "platt", "coef": 1.0, "intercept": 0.0}


def tree_exports():
    def export(features, trees, base=0.0, calibration=PLATT):
        return text({"schema_version": 1, "feature_names": features, "base_margin": base,
                     "trees": [{"nodes": nodes} for nodes in trees],
                     "calibration": calibration})

    stump = [{"node_id": 0, "feature_index": 1, "threshold": 0.5, "left": 1, "right": 2,
              "missing": 1},
             {"node_id": 1, "leaf": -0.25}, {"node_id": 2, "leaf": 0.75}]
    deeper = [{"node_id": 0, "feature_index": 0, "threshold": -1.5, "left": 1, "right": 2,
               "missing": 2},
              {"node_id": 1, "leaf": 1e-3},
              {"node_id": 2, "feature_index": 2, "threshold": 3.0e7, "left": 3, "right": 4,
               "missing": 3},
              {"node_id": 3, "leaf": -2.5}, {"node_id": 4, "leaf": 4.0}]
    exports = {
        "leaf": export(["x"], [[{"node_id": 0, "leaf": 0.5}]]),
        "stump": export(["age", "score"], [stump]),
        "two_trees": export(["a", "b", "c"], [deeper, stump], base=0.3,
                            calibration={"kind": "platt", "coef": -1.75, "intercept": 0.2}),
        "positional": '[1,["a"],0.0,[[[[0,0.5]]]],["platt",1.0,0.0]]',
        "spaced": '{ "schema_version" : 1 , "feature_names" : [ "" , "" ] ,\n'
                  '"base_margin" : 1e-3, "trees" : [ { "nodes" : [ [0, 1, 2.5, 1, 2, 2],'
                  ' [1, -1], [2, 1] ] } ], "calibration" : ["platt", 2, -1] }',
    }
    try:
        sys.path.insert(0, str(HERE.parent / "tests" / "policy"))
        import numpy as np
        import xgboost
        from model_exports import xgboost_export

        rng = np.random.default_rng(7)
        x = rng.normal(size=(200, 3)).astype(np.float32)
        y = (x[:, 0] + x[:, 1] * x[:, 2] > 0).astype(np.float32)
        booster = xgboost.train({"max_depth": 3, "objective": "binary:logistic"},
                                xgboost.DMatrix(x, label=y), num_boost_round=4)
        exports["xgboost"] = xgboost_export(booster, 3)
    except ImportError:
        print("make_corpus: no xgboost, leaving out its export")
    for name, body in exports.items():
        TreeScorer(body)
    # Refused, and once read past the end of a fixed buffer.
    exports["node_array_of_9"] = '[1,["a"],0.0,[[[[0,0,0.5,1,2,1,1,1,1]]]],["platt",1.0,0.0]]'
    return exports


def linear_exports():
    exports = {
        "two": text({"schema_version": 1, "feature_names": ["age", "score"],
                     "coef": [0.5, -1.25], "intercept": 0.1, "calibration": PLATT}),
        "wide": text({"schema_version": 1, "feature_names": [f"f{k}" for k in range(6)],
                      "coef": [1e-3, -2.0, 0.0, 3.5e10, -0.0, 7.0], "intercept": -4.0,
                      "calibration": {"kind": "platt", "coef": 0.8, "intercept": -0.3}}),
        "positional": '[1,["x"],[2.0],0.0,["platt",1.0,0.0]]',
        "extreme": text({"schema_version": 1, "feature_names": ["x", "y"],
                         "coef": [1.7e308, -1e-300], "intercept": 0.0, "calibration": PLATT}),
    }
    for body in exports.values():
        LinearScorer(body)
    return exports


def feature_seeds():
    def packed(rows, features, values):
        return (b"\x01" + struct.pack("<HH", rows, features)
                + b"".join(struct.pack("<f", v) for v in values))

    return {
        "json_empty": b"\x00[]",
        "json_two_rows": b"\x00[[0.1,2],[3.5,-1e-3]]",
        "json_ragged": b"\x00[[1],[],[1,2,3]]",
        "json_overflow": b"\x00[[1e39,-1e39,16777217,-0]]",
        "json_spaced": b"\x00 [ [ 1.5e-45 , 2E+3 ] ]\n",
        # Refusals whose messages quote the input or name the row type.
        "json_nested_row": b"\x00[[0.1,2],[[0.1,2],[-[-7]]",
        "json_quoted_type": b'\\["expected f32e39 "\\ "\\ q ',
        "packed_2x3": packed(2, 3, [0.5, -1.0, 2.0, 3.0, 1e-40, -0.0]),
        "packed_empty": packed(0, 1, []),
        "packed_infinity": packed(1, 2, [1.0, float("inf")]),
        "packed_short": packed(2, 2, [1.0, 2.0, 3.0]),
    }


def write_corpus(name, seeds):
    folder = HERE / "corpus" / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for file_name, body in seeds.items():
        (folder / file_name).write_bytes(body if isinstance(body, bytes) else body.encode())


def main():
    journals = broker_journals()
    for body in journals.values():
        Broker.replay(body)
    write_corpus("journal_fuzzer", journals)
    counts = {}
    records = {}
    for kind, body in record_seeds(journals):
        counts[kind] = counts.get(kind, 0) + 1
        records[f"{kind}-{counts[kind]}"] = bytes([RECORDS.index(kind)]) + body.encode()
    write_corpus("records_fuzzer", records)
    write_corpus("tree_export_fuzzer", tree_exports())
    write_corpus("linear_export_fuzzer", linear_exports())
    write_corpus("features_fuzzer", feature_seeds())


if __name__ == "__main__":
    main()
