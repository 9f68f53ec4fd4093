"""Memory stays flat across many create-and-drop cycles of brokers and
scorers, their failures included: RSS and traced Python allocations in the
plain build, and the leak sanitizer over the module's own allocations in the
sanitized one."""

import json
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

CHILD = textwrap.dedent("""
    import json, os, sys, tracemalloc
    sys.path.insert(0, sys.argv[2])
    from records import LINEAR, TREES, action, intent, observed, outcome, packed
    from tallowmere._native import (Broker, BrokerError, LinearScorer, TreeScorer,
                                    score_linear, score_trees)

    FEATURES = "[[0.1,2],[3.5,-1e-3]]"
    PACKED = packed([[0.1, 2], [3.5, -1e-3]])
    OUTCOME = outcome(changed=["r"])

    def refused(call, *args):
        try:
            call(*args)
        except (BrokerError, TypeError, OverflowError, ValueError):
            return
        raise AssertionError(f"{call} accepted {args}")

    def cycle():
        broker = Broker('{"capabilities":["deploy"]}')
        broker.register_action(action("a"))
        broker.observe(observed("e", "r"))
        broker.submit(intent("i", "r", action_id="a", arguments={"x": [1, 2.5]}))
        broker.begin("i")
        stored = broker.journal()
        broker.checkpoint(json.loads(stored)["entries"][-1]["hash"])
        Broker.replay(stored)
        recovered = Broker.from_journal(stored)
        recovered.reconcile("i", OUTCOME)
        recovered.snapshot()
        recovered.enqueue(observed("e2", "r", sequence=2))
        recovered.drain(2)
        for cls, export in ((TreeScorer, TREES), (LinearScorer, LINEAR)):
            scorer = cls(export)
            scorer.score(FEATURES)
            scorer.score_f32(PACKED, 2)
            scorer.feature_names
            for call, *args in ((scorer.score, "[[1]]"), (scorer.score_f32, PACKED, 3),
                                (cls, export[:-1])):
                refused(call, *args)
        score_trees(TREES, FEATURES)
        score_linear(LINEAR, FEATURES)
        version_2 = stored.replace('"schema_version":1', '"schema_version":2', 1)
        for call, *args in ((broker.submit, "{"), (broker.finish, "nobody", OUTCOME),
                            (broker.checkpoint, "not the tip"), (broker.submit, 5),
                            (broker.drain, -1), (Broker, '{"unknown":1}'),
                            (Broker.from_journal, version_2), (score_trees, TREES, "[[1e39,0]]")):
            refused(call, *args)

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    cycles = int(sys.argv[1])
    for _ in range(cycles // 4):
        cycle()
    tracemalloc.start()
    traced_before, rss_before = tracemalloc.get_traced_memory()[0], rss()
    for _ in range(cycles):
        cycle()
    traced_after, rss_after = tracemalloc.get_traced_memory()[0], rss()
    print(json.dumps({"traced": traced_after - traced_before, "rss": rss_after - rss_before}))
""")


def run_cycles(cycles, **environment):
    return subprocess.run([sys.executable, "-P", "-c", CHILD, str(cycles),
                           str(pathlib.Path(__file__).parent)], capture_output=True, text=True,
                          timeout=300, env={**os.environ, **environment})


@pytest.mark.no_asan
def test_memory_stays_flat_across_create_and_drop_cycles():
    run = run_cycles(4000)
    assert run.returncode == 0, run.stderr
    growth = json.loads(run.stdout)
    # A leaked broker, scorer, result string or exception per cycle would
    # show as megabytes here.
    assert growth["traced"] < 64 * 1024, growth
    assert growth["rss"] < 2 * 2**20, growth


def leaks_through_the_module(report):
    """The leak sanitizer's reports whose allocation passed through the
    module; CPython's own allocations kept until exit are not ours."""
    blocks = re.split(r"\n(?=(?:Direct|Indirect) leak of )", report)
    ours = re.compile(r"tallowmere::|_native\.cpython|"
                      r"/src/(lib|broker|foundation|contracts|policy)/")
    return [block for block in blocks
            if re.match(r"(Direct|Indirect) leak of ", block) and ours.search(block)]


@pytest.mark.skipif(not UNDER_ASAN, reason="needs the module built with TALLOWMERE_SANITIZE")
def test_no_leak_across_create_and_drop_cycles_under_the_leak_sanitizer():
    options = os.environ.get("ASAN_OPTIONS", "").replace("detect_leaks=0", "detect_leaks=1")
    run = run_cycles(200, PYTHONMALLOC="malloc",
                     ASAN_OPTIONS=f"{options}:detect_leaks=1:exitcode=0:fast_unwind_on_malloc=0")
    assert run.returncode == 0, run.stderr[-4000:]
    assert leaks_through_the_module(run.stderr) == []
