"""One broker under several Python threads, the interpreter lock released
during replay, and a broker poisoned by an operation that ran out of memory."""

import json
import pathlib
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from tallowmere._native import Broker

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from broker_records import observed, text  # noqa: E402


def test_threads_on_one_broker_lose_and_duplicate_nothing():
    sources = [f"source-{index}" for index in range(4)]
    broker = Broker(text({"trusted_sources": sources}))
    per_thread = 250
    failures = []

    def observe_all(source):
        try:
            for sequence in range(1, per_thread + 1):
                broker.observe(observed(f"{source}/{sequence}", source, str(sequence),
                                        source=source, sequence=sequence))
                if sequence % 25 == 0:
                    json.loads(broker.snapshot())
                    broker.now_ms()
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=observe_all, args=(source,)) for source in sources]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []

    entries = json.loads(broker.journal())["entries"]
    assert [entry["sequence"] for entry in entries] == list(range(1, 4 * per_thread + 1))
    ticks = [entry["tick_ms"] for entry in entries]
    assert ticks == sorted(ticks)
    for source in sources:
        mine = [entry["command"]["event"] for entry in entries
                if entry["command"]["event"]["source_id"] == source]
        assert [event["source_sequence"] for event in mine] == list(range(1, per_thread + 1))
    assert Broker.replay(broker.journal()) == broker.snapshot()


def long_journal(entries):
    broker = Broker(text({"max_events": entries, "max_journal_entries": 2 * entries}))
    for sequence in range(1, entries + 1):
        broker.observe(observed(f"e{sequence}", "r", str(sequence % 7), sequence=sequence))
    return broker.journal()


def test_other_threads_run_while_a_long_replay_is_under_way():
    journal = long_journal(20000)
    stamps = []
    stop = threading.Event()

    def count():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    counter = threading.Thread(target=count)
    counter.start()
    time.sleep(0.05)
    start = time.perf_counter()
    Broker.replay(journal)
    end = time.perf_counter()
    stop.set()
    counter.join()

    # Decoding holds the interpreter lock, replaying does not: a replay holding
    # it throughout would leave one gap as long as the call.
    inside = [start, *(stamp for stamp in stamps if start < stamp < end), end]
    longest_gap = max(later - earlier for earlier, later in zip(inside, inside[1:]))
    assert longest_gap < 0.5 * (end - start), (longest_gap, end - start)


POISON = textwrap.dedent("""
    import json, resource, sys
    from tallowmere._native import Broker, BrokerError

    broker = Broker()
    broker.register_action('{"action_id":"a"}')
    blob = "x" * 60000
    for index in range(600):
        broker.submit(json.dumps({"intent_id": f"i{index}", "action_id": "a",
                                  "arguments": {"blob": blob}}))

    def address_space():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + 16 * 2**20, hard))
    try:
        getattr(broker, sys.argv[1])()
        first = "completed"
    except MemoryError:
        first = "MemoryError"
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    later = []
    for call in (broker.snapshot, broker.journal, broker.expire,
                 lambda: broker.begin("i0"), lambda: broker.checkpoint("tip")):
        try:
            call()
            later.append("answered")
        except BrokerError as error:
            later.append(str(error))
    print(json.dumps({"first": first, "later": later, "now_ms": broker.now_ms() >= 0,
                      "other": Broker().expire()}))
""")


@pytest.mark.no_asan
def test_an_operation_out_of_memory_poisons_the_broker():
    for method in ("journal", "snapshot"):
        run = subprocess.run([sys.executable, "-P", "-c", POISON, method],
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        assert json.loads(run.stdout) == {
            "first": "MemoryError", "later": ["broker_poisoned"] * 5, "now_ms": True,
            "other": '{"expired":[]}'}, method
