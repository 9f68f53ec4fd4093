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

# Each cycle runs every step of a host once, in an order where each finds
# something to do, on a broker and scorers of its own.
CHILD = textwrap.dedent("""
    import json, os, sys, tracemalloc
    sys.path.insert(0, sys.argv[2])
    from records import LINEAR, TREES, action
    from tallowmere._native import Broker, LinearScorer, TreeScorer
    from workload import Host

    ORDER = ["observe", "submit", "begin", "persist", "recover", "enqueue", "drain", "score",
             "refuse", "submit", "cancel", "reconcile", "finish", "expire"]

    def cycle():
        broker = Broker('{"trusted_sources":["source-0"]}')
        broker.register_action(action())
        host = Host(0, [broker], TreeScorer(TREES), LinearScorer(LINEAR))
        for step in ORDER:
            host.step(step)

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
