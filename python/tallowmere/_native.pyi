"""Type information and documentation for the tallowmere._native extension module.

Every argument and result is JSON text (`str`); `tallowmere.types` describes
each shape. Every broker and scorer failure raises `BrokerError` whose text is
"code: detail" (or the bare code); `tallowmere.error_code` reads the code.
Wrong Python argument types raise the interpreter's own TypeError or
OverflowError before any work is done.
"""

from typing import Final, final

__all__ = [
    "Broker",
    "LinearScorer",
    "TreeScorer",
    "BrokerError",
    "score_linear",
    "score_trees",
    "__version__",
    "__engine__",
]

__version__: Final[str]
"""The module's release, the same as the package's."""
__engine__: Final[str]
"""A short name of the engine behind the module."""

class BrokerError(RuntimeError):
    """Every broker and scorer failure; its one argument is the failure text.

    The text is a lower-case code, ": " and a detail, for example
    "stale_revision: service/api", or the bare code ("broker_poisoned").
    A failed call changes nothing. `tallowmere.error_code(error)` gives the
    code as an `ErrorCode`; importing tallowmere makes instances picklable.
    """

@final
class Broker:
    """A deterministic, journaled intent broker that lives in memory.

    Register action contracts, report resources through events, submit intents
    against the revisions you observed, and drive each intent through begin,
    finish or reconcile, cancel and expiry. Every state change is appended to a
    SHA-256 hash-chained journal: persist `journal()`, acknowledge it with
    `checkpoint(tip)`, and after a restart rebuild with `from_journal`.

    Methods may be called from several threads; one broker's operations run
    one at a time, with the interpreter lock released.
    """

    def __new__(cls, config_json: str = "{}") -> Broker:
        """Build a broker with an empty state and journal.

        `config_json` is a `ConfigInput` object; every key has a default.
        Raises BrokerError "payload_limit: JSON exceeds boundary size" above
        1 MiB, "invalid_json: ..." for a malformed or unknown key,
        "invalid_config: capacity bounds violated" or "invalid_identifier: ...".
        """

    def register_action(self, spec_json: str) -> str:
        """Register an action contract (`ActionSpecInput`); returns the stored
        `ActionSpec`. Registering an identical contract again changes nothing;
        a different one under the same action_id fails with "immutable_action"."""

    def observe(self, event_json: str) -> str:
        """Apply an `Event` from a trusted source now; returns an `ObserveResult`.

        A repeated event is answered as a duplicate; a changed fingerprint
        advances the resource's revision and invalidates accepted intents on it.
        """

    def submit(self, intent_json: str) -> str:
        """Admit an intent (`IntentInput`); returns a `SubmitResult`.

        The intent's resources must be observed at the expected revisions and
        must not conflict with an open intent's leases. Resubmitting the same
        operation (same id, or same action and idempotency key) returns the
        stored record with duplicate true.
        """

    def begin(self, intent_id: str) -> str:
        """Dispatch an accepted intent; returns a `BeginResult` holding the
        contract and arguments to run. Persist the journal before starting the
        effect."""

    def finish(self, intent_id: str, outcome_json: str) -> str:
        """Report the verified outcome (`OutcomeInput`) of a running intent;
        returns the `IntentRecord`. Changed resources get a new revision.
        Repeating the identical report changes nothing."""

    def reconcile(self, intent_id: str, outcome_json: str) -> str:
        """Settle an intent whose effect is unknown (after a restart) or whose
        cancellation was requested, with the evidence of what happened; returns
        the `IntentRecord`."""

    def cancel(self, intent_id: str) -> str:
        """Request cancellation; returns the `IntentRecord`. An accepted intent
        is cancelled at once, a running one is marked cancellation_requested
        and must still be finished or reconciled."""

    def revoke(self, capability: str) -> str:
        """Withdraw a capability and cancel the open intents whose action needs
        it; returns a `RevokeResult`."""

    def expire(self) -> str:
        """End every accepted intent whose deadline has passed; returns an
        `ExpireResult`."""

    def enqueue(self, event_json: str, control: bool = False) -> str:
        """Park an `Event` in the normal queue, or with control=True (for
        intent_cancel and capability_revoke events) in the control queue;
        returns an `EnqueueResult`."""

    def drain(self, limit: int = 1) -> str:
        """Apply up to `limit` (1 to 64) queued events, control events first,
        each as `observe` would; returns a list of `DrainItem`. A refused event
        is reported in its item and consumed."""

    def now_ms(self) -> int:
        """The broker's current tick in milliseconds: the journal's last tick
        when the broker was built plus the monotonic time since. Not wall-clock
        time."""

    def snapshot(self) -> str:
        """The whole state and where the journal stands, as a `Snapshot`."""

    def journal(self) -> str:
        """The journal text to persist, as one unit: configuration, checkpoint
        and every entry since (a `Journal`)."""

    def checkpoint(self, acknowledged_tip: str) -> str:
        """Acknowledge that the journal whose tip is `acknowledged_tip` is
        durable; folds it into a new checkpoint, empties the entries and
        returns a `CheckpointResult`. Fails with "checkpoint_mismatch:
        acknowledged tip differs" when the journal moved on since."""

    def journal_head(self) -> str:
        """The text `journal()` would return with no entries: the checkpoint
        alone. It stays the same until the next checkpoint, so a host stores it
        once per fold."""

    def journal_entries(self, after_sequence: int) -> str:
        """The entries after `after_sequence`, each byte for byte as in
        `journal()`, behind the journal's position: `checkpoint_sequence`,
        `checkpoint_hash`, `sequence`, `tip` and `journal_bytes` (digits and
        hex only, so a host can split the text without parsing it), then
        `entries`. Costs what it returns. Fails with "journal_folded: ..." for
        a sequence below the checkpoint and "journal_ahead: ..." beyond the
        tip."""

    @staticmethod
    def replay(journal_json: str) -> str:
        """Deterministic, observational replay only. This returns state and cannot dispatch
        effects."""

    @staticmethod
    def from_journal(journal_json: str) -> Broker:
        """Recover authority after a restart. Running effects become unknown; pending
        dispatches invalidate."""

@final
class TreeScorer:
    """A calibrated tree ensemble loaded once from its `TreeExport` JSON.

    Immutable and safe to share between threads; scoring releases the
    interpreter lock.
    """

    def __new__(cls, export_json: str) -> TreeScorer:
        """Load and validate a tree export (at most 64 MiB of text); raises
        BrokerError "invalid_tree_export: ..." or "policy_payload_limit"."""

    def score(self, features_json: str) -> str:
        """Score a JSON matrix of rows (at most 4,096 rows and 8 MiB); returns a
        JSON array of probabilities. Values are rounded to float32 first."""

    def score_f32(self, features_le_bytes: bytes, row_count: int) -> list[float]:
        """Score `row_count` rows of packed little-endian float32 values
        (at most 4,096 rows and 8 MiB); returns one probability per row.
        `tallowmere.score_array` scores numpy arrays of any length."""

    @property
    def feature_names(self) -> list[str]:
        """A copy of the model's feature names, in column order."""

@final
class LinearScorer:
    """A calibrated linear model loaded once from its `LinearExport` JSON.

    Computes in double precision. Immutable and safe to share between threads.
    """

    def __new__(cls, export_json: str) -> LinearScorer:
        """Load and validate a linear export (at most 1 MiB of text); raises
        BrokerError "invalid_linear_export: ..." or "policy_payload_limit"."""

    def score(self, features_json: str) -> str:
        """Score a JSON matrix of rows (at most 4,096 rows and 8 MiB); returns a
        JSON array of probabilities. Values are read as doubles."""

    def score_f32(self, features_le_bytes: bytes, row_count: int) -> list[float]:
        """Score `row_count` rows of packed little-endian float32 values, each
        widened exactly to double (at most 4,096 rows and 8 MiB)."""

    @property
    def feature_names(self) -> list[str]:
        """A copy of the model's feature names, in column order."""

def score_trees(export_json: str, features_json: str) -> str:
    """Load a tree export and score a JSON matrix in one call, as
    `TreeScorer(export_json).score(features_json)` does."""

def score_linear(export_json: str, features_json: str) -> str:
    """Load a linear export and score a JSON matrix in one call, as
    `LinearScorer(export_json).score(features_json)` does."""
