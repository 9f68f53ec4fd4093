"""One host's work on brokers and scorers: every call of the module, its
refusals included, with each broker's journal kept as hosts store it, from
journal_head() and journal_entries(). The soak runs several hosts at once on
shared brokers; the leak test runs one, step by step, on brokers it creates
and drops."""

import itertools
import json
import random

from records import LINEAR, TREES, cancel_event, intent, observed, outcome, packed, text
from tallowmere._native import (Broker, BrokerError, LinearScorer, TreeScorer, score_linear,
                                score_trees)
from tallowmere.durable import texts

ROWS = [[random.Random(row).uniform(-3, 3) for _ in range(2)] for row in range(64)]
FEATURES, PACKED = text(ROWS), packed(ROWS)
VERSION_2 = Broker().journal().replace('"schema_version":1', '"schema_version":2', 1)
STEPS = {"observe": 4, "submit": 4, "begin": 3, "finish": 3, "cancel": 1, "reconcile": 1,
         "enqueue": 2, "drain": 2, "expire": 1, "persist": 2, "recover": 1, "score": 3,
         "refuse": 1}


def scores(tree, line):
    return (tree.score(FEATURES), tree.score_f32(PACKED, len(ROWS)), line.score(FEATURES),
            line.score_f32(PACKED, len(ROWS)), score_trees(TREES, FEATURES),
            score_linear(LINEAR, FEATURES), tree.feature_names, line.feature_names)


class Kept:
    """A broker's journal as a host stores it: the head, then each batch of
    entries after what it holds. A batch taken against another checkpoint
    means the broker folded: the head is taken again, its entries dropped."""

    def __init__(self, broker):
        self.broker = broker
        self.take_head()

    def take_head(self):
        self.head = self.broker.journal_head()
        head = json.loads(self.head)
        self.stored, self.checkpoint_hash = head["checkpoint_sequence"], head["checkpoint_hash"]
        self.tip, self.batches = self.checkpoint_hash, []

    def store(self):
        """None when the broker had folded and the head was taken again."""
        try:
            page = texts.read_page(self.broker.journal_entries(self.stored))
        except BrokerError as error:
            assert str(error).startswith("journal_folded: "), error
            return self.take_head()
        if page.checkpoint_hash != self.checkpoint_hash:
            return self.take_head()
        self.batches += [page.entries] if page.entries else []
        self.stored, self.tip = page.sequence, page.tip
        return True

    def journal(self):
        return texts.join_journal(self.head, self.batches)


class Host:
    """Its own event source and intents on each broker. A broker's refusal
    is part of the work; anything else is a fault, and so are a poisoned
    broker and a clock that went back: commands take their ticks under the
    broker's lock."""

    def __init__(self, index, brokers, tree, line):
        self.rng, self.source = random.Random(1000 + index), f"source-{index}"
        self.brokers, self.tree, self.line = brokers, tree, line
        self.kept = [Kept(broker) for broker in brokers]
        self.sequences, self.intents = [0] * len(brokers), [[] for _ in brokers]
        self.submitted, self.expected = itertools.count(1), scores(tree, line)
        # The one-shot functions score as the scorers do.
        assert self.expected[4:6] == self.expected[0:3:2]

    def event(self, b, cancelled=None):
        self.sequences[b] += 1
        event_id, sequence = f"{self.source}/{b}/{self.sequences[b]}", self.sequences[b]
        if cancelled is not None:
            return cancel_event(event_id, cancelled, source=self.source, sequence=sequence)
        return observed(event_id, f"r{self.rng.randrange(6)}", f"v{self.rng.randrange(4)}",
                        source=self.source, sequence=sequence)

    def refusals(self, broker):
        return [(broker.submit, "{"), (broker.finish, "nobody", outcome()),
                (broker.checkpoint, "not the tip"), (broker.submit, 5), (broker.drain, -1),
                (Broker, '{"unknown":1}'), (Broker.from_journal, VERSION_2),
                (score_trees, TREES, "[[1e39,0]]"), (self.tree.score, "[[1]]"),
                (self.line.score_f32, PACKED, len(ROWS) + 1), (TreeScorer, TREES[:-1]),
                (LinearScorer, LINEAR[:-1])]

    def step(self, choice):
        """Runs one step on a broker picked at random; False when it had
        nothing to do or the broker refused it."""
        try:
            return self.attempt(choice)
        except BrokerError as error:
            if str(error).startswith(("broker_poisoned", "clock_regression")):
                raise AssertionError(str(error)) from None
            return False

    def attempt(self, choice):
        rng = self.rng
        b = rng.randrange(len(self.brokers))
        broker, mine, kept = self.brokers[b], self.intents[b], self.kept[b]
        if choice in ("begin", "finish", "cancel", "reconcile", "recover") and not mine:
            return False
        if choice == "observe":
            broker.observe(self.event(b))
        elif choice == "submit":
            intent_id = f"t{self.source}-{next(self.submitted)}"
            broker.submit(intent(intent_id, ttl_ms=rng.choice([5, 60000]),
                                 arguments={"x": [1, 2.5]}))
            mine.append(intent_id)
        elif choice in ("begin", "cancel"):
            getattr(broker, choice)(rng.choice(mine))
        elif choice in ("finish", "reconcile"):
            getattr(broker, choice)(rng.choice(mine), outcome())
        elif choice == "enqueue":
            cancelled = rng.choice(mine) if mine and rng.random() < 0.3 else None
            broker.enqueue(self.event(b, cancelled), cancelled is not None)
        elif choice == "drain":
            broker.drain(rng.randrange(1, 4))
        elif choice == "expire":
            broker.expire()
        elif choice == "persist":
            kept.store()
            replayed = json.loads(Broker.replay(kept.journal()))
            assert (replayed["journal_sequence"], replayed["journal_tip"]) == \
                (kept.stored, kept.tip)
            broker.checkpoint(kept.tip)
        elif choice == "recover":
            # Recovered from what the host kept: a running intent comes back
            # unknown, and is reconciled there.
            kept.store()
            recovered = Broker.from_journal(kept.journal())
            assert Broker.replay(recovered.journal()) == recovered.snapshot()
            recovered.reconcile(rng.choice(mine), outcome())
        elif choice == "score":
            assert scores(self.tree, self.line) == self.expected, "scored differently"
        else:
            for call, *args in self.refusals(broker):
                try:
                    call(*args)
                except (BrokerError, TypeError, OverflowError, ValueError):
                    continue
                raise AssertionError(f"{call} accepted {args}")
        return True
