"""Error codes as values, and BrokerError made picklable.

Every failure text is a code, ": " and a detail, or the bare code. Callers
branch on the code with `error_code`, never by parsing the text themselves.
"""

import copyreg
import enum

from ._native import BrokerError

__all__ = ["ErrorCode", "error_code", "error_detail"]


class ErrorCode(enum.StrEnum):
    """Every code a `BrokerError` text can start with, the durable broker's
    (`DurableError`) included; the value is the code.

    The meaning of each code and what to do about it are listed in the
    documentation's error reference (docs/errors.md).
    """

    ACTION_LIMIT = "action_limit"
    ACTION_VERSION = "action_version"
    BROKER_POISONED = "broker_poisoned"
    CANCELLED = "cancelled"
    CAPABILITY_DENIED = "capability_denied"
    CHECKPOINT_CAPABILITIES = "checkpoint_capabilities"
    CHECKPOINT_INTENT = "checkpoint_intent"
    CHECKPOINT_LIMIT = "checkpoint_limit"
    CHECKPOINT_MISMATCH = "checkpoint_mismatch"
    CLOCK_REGRESSION = "clock_regression"
    DEADLINE_OVERFLOW = "deadline_overflow"
    DRAIN_LIMIT = "drain_limit"
    DUPLICATE_RESOURCE = "duplicate_resource"
    EFFECT_MISMATCH = "effect_mismatch"
    EFFECT_SCOPE = "effect_scope"
    EVENT_COLLISION = "event_collision"
    EVENT_LIMIT = "event_limit"
    EXPIRED = "expired"
    FINGERPRINT_LIMIT = "fingerprint_limit"
    IDEMPOTENCY_COLLISION = "idempotency_collision"
    IDEMPOTENCY_CORRUPTION = "idempotency_corruption"
    IMMUTABLE_ACTION = "immutable_action"
    INTENT_COLLISION = "intent_collision"
    INTENT_DISAPPEARED = "intent_disappeared"
    INTENT_LIMIT = "intent_limit"
    INVALID_ACTION = "invalid_action"
    INVALID_ARGUMENTS = "invalid_arguments"
    INVALID_CONFIG = "invalid_config"
    INVALID_FEATURES = "invalid_features"
    INVALID_IDENTIFIER = "invalid_identifier"
    INVALID_JSON = "invalid_json"
    INVALID_LINEAR_EXPORT = "invalid_linear_export"
    INVALID_SEQUENCE = "invalid_sequence"
    INVALID_TREE_EXPORT = "invalid_tree_export"
    INVALID_TTL = "invalid_ttl"
    JOURNAL_AHEAD = "journal_ahead"
    JOURNAL_BACKPRESSURE = "journal_backpressure"
    JOURNAL_FOLDED = "journal_folded"
    JOURNAL_INTEGRITY = "journal_integrity"
    JOURNAL_LIMIT = "journal_limit"
    JOURNAL_REPLAY = "journal_replay"
    JOURNAL_VERSION = "journal_version"
    LEASE_CONFLICT = "lease_conflict"
    MISSING_EVIDENCE = "missing_evidence"
    NOT_DISPATCHABLE = "not_dispatchable"
    NUMERICAL_OVERFLOW = "numerical_overflow"
    OUTCOME_TRANSITION = "outcome_transition"
    PAYLOAD_LIMIT = "payload_limit"
    POLICY_PAYLOAD_LIMIT = "policy_payload_limit"
    POLICY_ROW_LIMIT = "policy_row_limit"
    QUEUE_CLASS = "queue_class"
    QUEUE_FULL = "queue_full"
    RESOURCE_LIMIT = "resource_limit"
    REVISION_OVERFLOW = "revision_overflow"
    SEQUENCE_OVERFLOW = "sequence_overflow"
    STALE_REVISION = "stale_revision"
    STALE_SEQUENCE = "stale_sequence"
    STORE_CLOSED = "store_closed"
    STORE_CORRUPT = "store_corrupt"
    STORE_DRIVER = "store_driver"
    STORE_EMPTY = "store_empty"
    STORE_FAILED = "store_failed"
    STORE_FENCED = "store_fenced"
    STORE_IMPORT = "store_import"
    STORE_LOCKED = "store_locked"
    STORE_MISSING = "store_missing"
    TERMINAL_INTENT = "terminal_intent"
    UNKNOWN_CHANGED_RESOURCE = "unknown_changed_resource"
    UNKNOWN_INTENT = "unknown_intent"
    UNKNOWN_RESOURCE = "unknown_resource"
    UNREGISTERED_ACTION = "unregistered_action"
    UNTRUSTED_SOURCE = "untrusted_source"
    WORKSPACE_OPEN = "workspace_open"
    WRITE_DENIED = "write_denied"


def _failure_text(error: BrokerError) -> str:
    """The one str argument every BrokerError the module raises carries."""
    if not isinstance(error, BrokerError):
        raise TypeError(f"expected a BrokerError, not {type(error).__name__}")
    if len(error.args) != 1 or not isinstance(error.args[0], str):
        raise ValueError(f"{error!r} carries no failure text")
    return error.args[0]


def error_code(error: BrokerError) -> ErrorCode:
    """The code of a broker or scorer failure.

    >>> error_code(BrokerError("stale_revision: service/api"))
    <ErrorCode.STALE_REVISION: 'stale_revision'>

    Raises TypeError for anything but a BrokerError, and ValueError for a
    BrokerError whose text starts with no known code.
    """
    return ErrorCode(_failure_text(error).partition(": ")[0])


def error_detail(error: BrokerError) -> str:
    """The detail after the code: a fixed sentence, the identifier the failure
    is about (for example the id of the conflicting intent), or "" for the
    failures that are the bare code.

    >>> error_detail(BrokerError("lease_conflict: deploy-api"))
    'deploy-api'
    """
    return _failure_text(error).partition(": ")[2]


def _broker_error(*args: object) -> BrokerError:
    """Rebuilds a pickled BrokerError."""
    return BrokerError(*args)


def _reduce_broker_error(error: BrokerError) -> tuple[object, ...]:
    """How pickle and copy take a BrokerError apart."""
    # The native type names its module "_native", which no import can find, so
    # the default reduction fails; this one names an importable rebuilder and
    # keeps the arguments and any attributes (such as notes).
    return (_broker_error, error.args, error.__dict__ or None)


copyreg.pickle(BrokerError, _reduce_broker_error)
