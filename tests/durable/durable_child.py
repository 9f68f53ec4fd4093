"""Drives a durable broker until it is killed.

Usage: durable_child.py STORE SEED

Once the broker is open (recovered, when the store holds a journal) it prints
"opened" and its snapshot; before each command "doing", and once the command
returned (its entry durable) "acked" and the snapshot. Folds come every few
entries, so a kill lands before, inside and after commits, folds and recovery.
"""

import itertools
import json
import pathlib
import random
import sys

HERE = pathlib.Path(__file__).parent
sys.path[:0] = [str(HERE.parent / "lib")]
from records import action, cancel_event, intent, observed, outcome  # noqa: E402
from tallowmere._native import BrokerError  # noqa: E402
from tallowmere.durable import DurableBroker  # noqa: E402

CONFIG = json.dumps({"max_resources": 100000, "max_intents": 100000})


def report(word, snapshot=""):
    # One line per report; the reader drops a last line the kill cut short.
    sys.stdout.write(f"{word} {snapshot}\n")
    sys.stdout.flush()


def main(store, seed):
    rng = random.Random(seed)
    broker = DurableBroker(store, CONFIG, fold_entries=rng.choice([2, 5, 40]))
    report("opened", broker.snapshot())
    for index in itertools.count(json.loads(broker.snapshot())["journal_sequence"] + 1):
        state = json.loads(broker.snapshot())["state"]
        by_status = {}
        for intent_id, record in sorted(state["intents"].items()):
            by_status.setdefault(record["status"], []).append(intent_id)
        step = rng.randrange(6)
        report("doing")
        try:
            if not state["actions"]:
                broker.register_action(action())
            elif step == 0 or not state["intents"]:
                broker.observe(observed(f"e{index}", f"r{index}", sequence=index))
            elif step == 1:
                broker.submit(intent(f"i{index}", f"r{rng.randrange(index)}",
                                     revision=rng.randrange(2)))
            elif step == 2 and "accepted" in by_status:
                broker.begin(rng.choice(by_status["accepted"]))
            elif step == 3 and "running" in by_status:
                intent_id = rng.choice(by_status["running"])
                resource = state["intents"][intent_id]["intent"]["resources"][0]["resource_id"]
                broker.finish(intent_id, outcome(changed=[resource]))
            elif step == 4 and "effect_unknown" in by_status:
                broker.reconcile(rng.choice(by_status["effect_unknown"]), outcome())
            else:
                broker.enqueue(cancel_event(f"c{index}", f"i{index - 1}", sequence=index),
                               control=True)
        except BrokerError:
            pass  # Refused commands journal nothing; the history goes on.
        report("acked", broker.snapshot())


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
