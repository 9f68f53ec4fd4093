"""The journal through the binding: journal_head() and journal_entries()
against journal(), byte for byte, and a recovered broker's clock. Hosts
keeping journals from them while threads command and checkpoint are in the
soak; the checks a stored journal goes through, in their order, are the
engine's tests and the durable store's."""

import json

import pytest

from records import action, checkpoint_hash, intent, observed, outcome, raised, text
from tallowmere._native import Broker, BrokerError
from tallowmere.durable.texts import Page, read_page

U64_MAX = 2**64 - 1
GENESIS = json.loads(Broker().journal())


def page(broker, after):
    return read_page(broker.journal_entries(after))


def run(broker, index):
    resource = f"r{index}"
    broker.observe(observed(f"e{index}", resource, sequence=index))
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
    # Each entry is its text in journal(), byte for byte.
    assert page(broker, 11) == Page(9, journal["checkpoint_hash"], 13,
                                    journal["entries"][-1]["hash"], len(stored),
                                    ",".join(text(entry) for entry in journal["entries"][2:]))
    assert stored.endswith("[" + page(broker, 9).entries + "]}")
    assert page(broker, 13).entries == ""
    assert broker.journal_head() == stored.split('"entries":[')[0] + '"entries":[]}'
    for after, message in [
            (8, "journal_folded: entries after this sequence are folded into the checkpoint"),
            (14, "journal_ahead: sequence is beyond the journal tip"),
            (U64_MAX, "journal_ahead: sequence is beyond the journal tip")]:
        assert str(raised(BrokerError, broker.journal_entries, after)) == message
    assert broker.journal() == stored


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
