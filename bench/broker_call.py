#!/usr/bin/env python3
"""Per-call cost of Broker commands from Python.

Each row times one command over many calls with fresh arguments: argument
binding and conversion, boundary decoding, the transaction under the broker
lock and the result str. Beside it, json.loads of the same argument texts, the
least any JSON-taking call from Python pays (for begin, its intent id as a
JSON string), and the ratio of the two. Commands that take no argument text
show "-" there. Times are the best of --repeats rounds, in microseconds per
call. ratios() gives the ratios with their targets, for bench/summary.py.

    .venv/bin/python -P bench/broker_call.py [--calls 20000] [--repeats 5]
"""

import argparse
import json
import time

from tallowmere._native import Broker

CONFIG = json.dumps({"capabilities": ["deploy"], "max_resources": 100000, "max_intents": 100000,
                     "max_events": 1000000, "max_journal_entries": 2**64 - 1})
ARGUMENTS = {"image": "registry.example/api:2.4.1", "replicas": 3, "region": "eu-west-1",
             "labels": {"team": "platform", "tier": "backend"}, "dry_run": False}


def observed(index, resource):
    return json.dumps({"event_id": f"event-{index}", "source_id": "runtime",
                       "source_sequence": index, "kind": "resource_observed",
                       "resource_id": resource, "fingerprint": f"sha256:{index:064x}"})


def intent(index):
    return json.dumps({"intent_id": f"intent-{index}", "action_id": "deploy",
                       "resources": [{"resource_id": f"svc-{index}", "expected_revision": 0,
                                      "access": "write"}],
                       "idempotency_key": f"key-{index}", "arguments": ARGUMENTS})


def outcome(index):
    return json.dumps({"status": "completed_verified", "changed_resources": [f"svc-{index}"],
                       "resource_fingerprints": {f"svc-{index}": f"sha256:{index + 1:064x}"},
                       "evidence": {"receipt": f"receipt-{index}", "verifier": "ci"}})


class Round:
    """One broker brought to the point where `calls` intents can be submitted,
    begun and finished, with every argument text prepared ahead of time."""

    def __init__(self, calls, first):
        self.broker = Broker(CONFIG)
        self.broker.register_action(json.dumps({"action_id": "deploy", "allow_write": True,
                                                "required_capabilities": ["deploy"]}))
        ids = range(first, first + calls)
        self.events = [observed(index, f"svc-{index}") for index in ids]
        self.intents = [intent(index) for index in ids]
        self.intent_ids = [f"intent-{index}" for index in ids]
        self.quoted_ids = [json.dumps(intent_id) for intent_id in self.intent_ids]
        self.outcomes = [outcome(index) for index in ids]
        self.finished = [(intent_id, text) for intent_id, text in zip(self.intent_ids,
                                                                      self.outcomes)]


def per_call_us(call, arguments):
    start = time.perf_counter_ns()
    for argument in arguments:
        call(argument)
    return (time.perf_counter_ns() - start) / len(arguments) / 1000


def measure(calls, repeats):
    """The best per-call time of each step over `repeats` fresh brokers."""
    best = {}

    def keep(name, value):
        best[name] = min(best.get(name, value), value)

    for repeat in range(repeats):
        run = Round(calls, first=1 + repeat * calls)
        broker = run.broker
        keep("observe", per_call_us(broker.observe, run.events))
        keep("submit", per_call_us(broker.submit, run.intents))
        keep("begin", per_call_us(broker.begin, run.intent_ids))
        keep("finish", per_call_us(lambda pair: broker.finish(*pair), run.finished))
        keep("cancel (finished, no entry)", per_call_us(broker.cancel, run.intent_ids))
        keep("expire (nothing due, no entry)", per_call_us(lambda _: broker.expire(),
                                                          run.intent_ids))
        keep("now_ms", per_call_us(lambda _: broker.now_ms(), run.intent_ids))
        keep("json.loads observe", per_call_us(json.loads, run.events))
        keep("json.loads submit", per_call_us(json.loads, run.intents))
        keep("json.loads begin", per_call_us(json.loads, run.quoted_ids))
        keep("json.loads finish", per_call_us(json.loads, run.outcomes))
    sizes = {"observe": len(run.events[-1]), "submit": len(run.intents[-1]),
             "begin": len(run.quoted_ids[-1]), "finish": len(run.outcomes[-1])}
    return best, sizes


# Commands whose cost is held to a multiple of json.loads of their argument.
# The aim is 2 x json.loads of the same argument text for each; until the
# commands reach it, the guard holds them where they stand, so a regression
# fails while the distance left to go is shown. begin's argument is a short
# id, whose loading costs next to nothing, so its ratio is large by nature.
TARGETS = {"submit": 2.0, "begin": 2.0, "finish": 2.0}
GUARDS = {"submit": 3.0, "begin": 9.0, "finish": 4.5}


def ratios(quick: bool) -> list[tuple[str, float, float, float]]:
    """(label, Broker time / json.loads time, the most that ratio may be, the
    ratio aimed at)."""
    best, _ = measure(2000, 3) if quick else measure(20000, 5)
    return [(f"{name} / json.loads", best[name] / best[f"json.loads {name}"], GUARDS[name],
             target) for name, target in TARGETS.items()]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=5)
    options = parser.parse_args()
    best, sizes = measure(options.calls, options.repeats)

    print(f"{options.calls} calls per round, best of {options.repeats} rounds")
    print()
    print("| command | JSON argument bytes | Broker µs/call | json.loads µs/call | ratio |")
    print("|---|---:|---:|---:|---:|")
    for name in ("observe", "submit", "begin", "finish", "cancel (finished, no entry)",
                 "expire (nothing due, no entry)", "now_ms"):
        baseline = best.get(f"json.loads {name}")
        size = sizes.get(name)
        print(f"| {name} | {size if size else '-'} | {best[name]:.2f} | "
              f"{f'{baseline:.2f}' if baseline else '-'} | "
              f"{f'{best[name] / baseline:.1f}x' if baseline else '-'} |")


if __name__ == "__main__":
    main()
