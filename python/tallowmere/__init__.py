"""Deterministic journaled intent broker and calibrated model scorers.

`Broker` admits, dispatches and settles intents against versioned action
contracts and keeps a hash-chained journal a host persists; `TreeScorer` and
`LinearScorer` turn feature rows into calibrated probabilities. Every failure
is a `BrokerError` whose `error_code` names its kind. The JSON shapes that
cross the boundary are typed in `tallowmere.types`.
"""

from ._arrays import score_array
from ._errors import ErrorCode, error_code, error_detail
from ._native import (
    Broker,
    BrokerError,
    LinearScorer,
    TreeScorer,
    __engine__,
    __version__,
    score_linear,
    score_trees,
)

from .durable import DurableBroker, DurableError, JournalRefused

__all__ = [
    # The native module.
    "Broker",
    "BrokerError",
    "LinearScorer",
    "TreeScorer",
    "score_linear",
    "score_trees",
    "__engine__",
    "__version__",
    # Errors as values.
    "ErrorCode",
    "error_code",
    "error_detail",
    # numpy arrays (the numpy extra).
    "score_array",
    # Durable hosting (SQLite, PostgreSQL).
    "DurableBroker",
    "DurableError",
    "JournalRefused",
]
