"""The journal through the binding: journal_head() and journal_entries(), from
which a host rebuilds journal() byte for byte while threads command and
checkpoint, each call returning its entries and never the state; replay and
recovery from stored text, and a recovered broker's clock. The checks a
stored journal goes through, in their order, are the engine's tests and the
durable store's."""

import json
import random
import re
import threading
import time

import pytest

from records import action, checkpoint_hash, intent, observed, outcome, raised, text
from tallowmere._native import Broker, BrokerError

U64_MAX = 2**64 - 1
GENESIS = json.loads(Broker().journal())
PAGE = re.compile(r'\{"checkpoint_sequence":(\d+),"checkpoint_hash":"([0-9a-f]{64})",'
                  r'"sequence":(\d+),"tip":"([0-9a-f]{64})","journal_bytes":(\d+),"entries":\[')


def page(broker, after):
    """The leading fields, read without parsing the entries, and the entries."""
    returned = broker.journal_entries(after)
    match = PAGE.match(returned)
    assert match and returned.endswith("]}"), returned[:200]
    return [int(match[1]), match[2], int(match[3]), match[4], int(match[5])], \
        returned[match.end():-2]


def run(broker, index, source="runtime"):
    resource = f"r{index}"
    broker.observe(observed(f"e{index}", resource, source=source, sequence=index))
    broker.submit(intent(f"i{index}", resource))
    broker.begin(f"i{index}")
    broker.finish(f"i{index}", outcome(changed=[resource]))


def test_pages_match_the_journal_and_refuse_sequences_outside_it():
    broker = Broker()
    broker.register_action(action())
    run(broker, 1)
    run(broker, 2)
    broker.checkpoint(json.loads(broker.snapshot())["journal_tip"])
    run(broker, 3)
    stored = broker.journal()
    journal = json.loads(stored)
    position, entries = page(broker, 11)
    assert position == [9, journal["checkpoint_hash"], 13, journal["entries"][-1]["hash"],
                        len(stored)]
    # Each entry is its text in journal(), byte for byte.
    assert entries == ",".join(text(entry) for entry in journal["entries"][2:])
    assert stored.endswith("[" + page(broker, 9)[1] + "]}")
    assert page(broker, 13)[1] == ""
    assert broker.journal_head() == stored.split('"entries":[')[0] + '"entries":[]}'
    for after, message in [
            (8, "journal_folded: entries after this sequence are folded into the checkpoint"),
            (14, "journal_ahead: sequence is beyond the journal tip"),
            (U64_MAX, "journal_ahead: sequence is beyond the journal tip")]:
        assert str(raised(BrokerError, broker.journal_entries, after)) == message
    assert broker.journal() == stored


class Host:
    """Keeps a head and the batches of entries stored after it. A batch
    taken against another checkpoint means the broker folded: the head is
    taken again, and the entries it holds are dropped."""

    def __init__(self, broker):
        self.broker, self.refolds = broker, -1
        self.take_head()

    def take_head(self):
        self.head = self.broker.journal_head()
        head = json.loads(self.head)
        self.stored, self.checkpoint_hash = head["checkpoint_sequence"], head["checkpoint_hash"]
        self.batches, self.refolds = [], self.refolds + 1

    def store(self):
        try:
            position, entries = page(self.broker, self.stored)
        except BrokerError as error:
            assert str(error).startswith("journal_folded: ")
            return self.take_head()
        if position[1] != self.checkpoint_hash:
            return self.take_head()
        self.batches += [entries] if entries else []
        self.stored = position[2]
        return True

    def journal(self):
        return self.head[:-2] + ",".join(self.batches) + "]}" if self.batches else self.head


def test_a_host_rebuilds_the_journal_while_other_threads_command_and_checkpoint():
    broker = Broker(text({"max_intents": 10000, "max_resources": 10000}))
    broker.register_action(action())
    stop = threading.Event()

    def commands(offset):
        for index in range(offset, 2000, 2):
            run(broker, index, ("runtime", "verifier")[offset - 1])

    def checkpoints():
        rng = random.Random(7)
        while not stop.is_set():
            try:
                broker.checkpoint(json.loads(broker.snapshot())["journal_tip"])
            except BrokerError as error:  # A command moved the tip meanwhile.
                assert str(error) == "checkpoint_mismatch: acknowledged tip differs"
            stop.wait(rng.uniform(0, 0.002))

    writers = [threading.Thread(target=commands, args=(offset,)) for offset in (1, 2)]
    threads = writers + [threading.Thread(target=checkpoints)]
    for thread in threads:
        thread.start()
    host = Host(broker)
    # On a loaded machine the writers may finish before the host has seen a
    # fold; checkpoints go on until it has, for a while at most.
    deadline = time.monotonic() + 30
    try:
        rounds = 0
        while any(writer.is_alive() for writer in writers) or \
                (host.refolds == 0 and time.monotonic() < deadline):
            host.store()
            rounds += 1
            if rounds % 50 == 0:
                assert json.loads(Broker.replay(host.journal()))["journal_sequence"] == \
                    host.stored
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    while not host.store():
        pass
    assert host.journal() == broker.journal()
    # No writer's command was lost, refused or run twice on the way.
    snapshot = broker.snapshot()
    assert Broker.replay(broker.journal()) == snapshot
    intents = json.loads(snapshot)["state"]["intents"]
    assert sorted(intents) == sorted(f"i{index}" for index in range(1, 2000))
    assert {record["status"] for record in intents.values()} == {"completed_verified"}
    assert host.refolds > 0


def test_each_call_returns_its_entries_not_the_state():
    # The same three commands after a checkpoint, on top of 100 and of
    # 30,000 intents: the answer is as long either way, but for the longer
    # numbers, while journal() grows with the state.
    lengths = {}
    for count in (100, 30000):
        broker = Broker(text({"max_intents": 30001, "max_resources": 30001,
                              "max_journal_entries": 10**6}))
        broker.register_action(action())
        for index in range(count):
            broker.submit(intent(f"i{index:05}", action_id="deploy"))
        broker.checkpoint(json.loads(broker.snapshot())["journal_tip"])
        broker.observe(observed("e", "r"))
        broker.submit(intent("new", "r"))
        broker.begin("new")
        returned = broker.journal_entries(count + 1)
        numbers = sum(map(len, re.findall(r"(?<=[:,\[])\d+(?=[,\]}])", returned)))
        lengths[count] = (len(returned) - numbers, len(broker.journal()))
    assert lengths[100][0] == lengths[30000][0] < 3000
    assert lengths[30000][1] > 100 * lengths[100][0]


@pytest.mark.parametrize("entry_point", [Broker.replay, Broker.from_journal])
@pytest.mark.parametrize("stored, message", [
    ("", "invalid_json: EOF while parsing a value at line 1 column 1"),
    # The version is checked first, whatever else is wrong.
    (text({**GENESIS, "schema_version": 2, "checkpoint_state": {
        **GENESIS["checkpoint_state"], "revision": 1}}),
     "journal_version: unsupported schema version"),
], ids=["unreadable", "version"])
def test_a_refused_journal_raises_the_engines_text(entry_point, stored, message):
    assert raised(BrokerError, entry_point, stored).args == (message,)


@pytest.mark.parametrize("tick", [10**12, U64_MAX - 1, U64_MAX])
def test_a_recovered_clock_continues_from_the_journal(tick):
    journal = {**GENESIS, "checkpoint_tick_ms": tick}
    journal["checkpoint_hash"] = checkpoint_hash(journal)
    stored = text(journal)
    recovered = Broker.from_journal(stored)
    # With nothing open, recovery appends nothing.
    assert recovered.journal() == stored
    assert recovered.now_ms() >= tick
    recovered.observe(observed("e", "r"))
    later = json.loads(recovered.journal())["entries"][-1]["tick_ms"]
    assert tick <= later <= recovered.now_ms() <= U64_MAX
