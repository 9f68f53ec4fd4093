"""Typed shapes of every JSON text that crosses the module's boundary.

The native methods take and return JSON as `str`. These TypedDicts describe
those texts once decoded, so a type checker sees a misspelt key or a wrong
value type::

    import json
    from tallowmere import Broker
    from tallowmere.types import IntentInput, SubmitResult

    intent: IntentInput = {"intent_id": "deploy-1", "action_id": "deploy"}
    result: SubmitResult = json.loads(broker.submit(json.dumps(intent)))

Inputs the host writes (`...Input`) mark the keys that have a default as not
required. Records the broker writes back (results, snapshots, journals) always
carry every key; an absent optional value is written as null (None).
"""

from typing import Any, Literal, NotRequired, TypedDict

__all__ = [
    "Access", "ActionSpec", "ActionSpecInput", "AcceptedObservation", "BeginCommand",
    "BeginResult", "Calibration", "CancelCommand", "CapabilityRevokeEvent",
    "CheckpointResult", "Command", "Config", "ConfigInput", "DrainApplied", "DrainCommand",
    "DrainItem", "DrainRefused", "DuplicateObservation", "EnqueueCommand", "EnqueueResult",
    "Entry", "Event", "ExpireCommand", "ExpireResult", "FinishCommand", "Intent",
    "IntentCancelEvent", "IntentInput", "IntentRecord", "Journal", "JournalEntries",
    "JsonObject", "LeafNode", "LinearExport", "Node", "ObserveCommand", "ObserveResult",
    "Outcome", "OutcomeInput", "OutcomeStatus", "ReconcileCommand", "RecoverCommand",
    "RegisterActionCommand", "ResourceObservation", "ResourceObservedEvent", "ResourceRef",
    "ResourceState", "RevokeCommand", "RevokeResult", "Snapshot", "SplitNode", "State",
    "Status", "SubmitCommand", "SubmitResult", "Tree", "TreeExport",
]

type JsonObject = dict[str, Any]
"""A free-form JSON object: intent arguments and outcome evidence."""

type Access = Literal["read", "write"]
type Status = Literal["accepted", "running", "cancellation_requested", "completed_verified",
                      "failed_verified", "cancelled", "expired", "invalidated", "effect_unknown"]
"""An intent's lifecycle status; the five from completed_verified to invalidated
are terminal."""
type OutcomeStatus = Literal["completed_verified", "failed_verified", "cancelled_verified",
                             "effect_unknown"]


# --- Configuration -----------------------------------------------------------------


class ConfigInput(TypedDict, total=False):
    """`Broker(config_json)`: every key has a default; unknown keys are refused."""

    workspace_id: str
    """Default "default"."""
    capabilities: list[str]
    """Default []; a set, written back sorted."""
    trusted_sources: list[str]
    """Default ["runtime", "verifier"]."""
    normal_capacity: int
    """Default 256; 1 to 65,536."""
    control_capacity: int
    """Default 32; 1 to 4,096."""
    max_event_bytes: int
    """Default 65,536; 256 to 1,048,576."""
    max_resources: int
    """Default 4,096; 1 to 100,000. Also bounds the registered actions."""
    max_intents: int
    """Default 4,096; 1 to 100,000."""
    max_events: int
    """Default 65,536; 1 to 1,000,000."""
    max_journal_entries: int
    """Default 100,000; at least 32."""


class Config(TypedDict):
    """The configuration as the broker writes it into a journal."""

    workspace_id: str
    capabilities: list[str]
    trusted_sources: list[str]
    normal_capacity: int
    control_capacity: int
    max_event_bytes: int
    max_resources: int
    max_intents: int
    max_events: int
    max_journal_entries: int


# --- Actions, intents, outcomes -----------------------------------------------------


class ActionSpecInput(TypedDict):
    """`Broker.register_action(spec_json)`."""

    action_id: str
    version: NotRequired[int]
    """Default 1; must be positive."""
    required_capabilities: NotRequired[list[str]]
    """Default []."""
    allow_write: NotRequired[bool]
    """Default false."""
    max_resources: NotRequired[int]
    """Default 64; at most 64 resource references per intent."""


class ActionSpec(TypedDict):
    """A registered action contract as the broker writes it."""

    action_id: str
    version: int
    required_capabilities: list[str]
    allow_write: bool
    max_resources: int


class ResourceRef(TypedDict):
    """One resource an intent reads or writes, at the revision it planned against."""

    resource_id: str
    expected_revision: int
    access: Access


class IntentInput(TypedDict):
    """`Broker.submit(intent_json)`."""

    intent_id: str
    action_id: str
    action_version: NotRequired[int]
    """Default 1."""
    resources: NotRequired[list[ResourceRef]]
    """Default []."""
    idempotency_key: NotRequired[str | None]
    """Default null."""
    ttl_ms: NotRequired[int]
    """Default 30,000; 1 to 86,400,000."""
    arguments: NotRequired[JsonObject]
    """Default {}; must be an object."""


class Intent(TypedDict):
    """An intent as the broker writes it."""

    intent_id: str
    action_id: str
    action_version: int
    resources: list[ResourceRef]
    idempotency_key: str | None
    ttl_ms: int
    arguments: JsonObject


class OutcomeInput(TypedDict):
    """`Broker.finish` and `Broker.reconcile` (`outcome_json`)."""

    status: OutcomeStatus
    changed_resources: NotRequired[list[str]]
    """Default []."""
    resource_fingerprints: NotRequired[dict[str, str]]
    """Default {}; every key must be among changed_resources."""
    evidence: NotRequired[JsonObject]
    """Default {}, which is refused: the evidence must be a non-empty object."""


class Outcome(TypedDict):
    """A verified outcome as the broker writes it."""

    status: OutcomeStatus
    changed_resources: list[str]
    resource_fingerprints: dict[str, str]
    evidence: JsonObject


class IntentRecord(TypedDict):
    """An intent with its lifecycle, as results and snapshots show it."""

    intent: Intent
    status: Status
    accepted_ms: int
    expires_ms: int
    started_ms: int | None
    finished_ms: int | None
    cancellation_requested: bool
    outcome: Outcome | None
    invalidation_reason: str | None


# --- Events ---------------------------------------------------------------------------


class ResourceObservedEvent(TypedDict):
    """A trusted source saw a resource with this fingerprint (normal traffic)."""

    event_id: str
    source_id: str
    source_sequence: int
    kind: Literal["resource_observed"]
    resource_id: str
    fingerprint: str


class IntentCancelEvent(TypedDict):
    """A trusted source asks to cancel an intent (control traffic)."""

    event_id: str
    source_id: str
    source_sequence: int
    kind: Literal["intent_cancel"]
    intent_id: str


class CapabilityRevokeEvent(TypedDict):
    """A trusted source withdraws a capability (control traffic)."""

    event_id: str
    source_id: str
    source_sequence: int
    kind: Literal["capability_revoke"]
    capability: str


type Event = ResourceObservedEvent | IntentCancelEvent | CapabilityRevokeEvent
"""`Broker.observe` and `Broker.enqueue` (`event_json`); every key is required."""


# --- Command results ----------------------------------------------------------------


class SubmitResult(TypedDict):
    """`Broker.submit`: duplicate is true for an idempotent repeat, whose record
    is the one first stored."""

    duplicate: bool
    record: IntentRecord


class BeginResult(TypedDict):
    """`Broker.begin`: everything the host needs to run the effect."""

    action_spec: ActionSpec
    admitted: Literal[True]
    arguments: JsonObject
    record: IntentRecord


class ResourceObservation(TypedDict):
    """The applied `resource_observed` payload."""

    resource_id: str
    resource_revision: int
    changed: bool
    invalidated: list[str]


class RevokeResult(TypedDict):
    """`Broker.revoke`, and an applied `capability_revoke` payload."""

    revoked: bool
    capability: str
    affected: list[str]


class DuplicateObservation(TypedDict):
    """`Broker.observe` of an event already recorded: nothing changes."""

    duplicate: Literal[True]
    revision: int


class AcceptedObservation(TypedDict):
    """`Broker.observe` of a new event; result is the payload's own result
    (an IntentRecord for intent_cancel)."""

    duplicate: Literal[False]
    sequence_gap: bool
    revision: int
    result: ResourceObservation | IntentRecord | RevokeResult


type ObserveResult = DuplicateObservation | AcceptedObservation


class ExpireResult(TypedDict):
    """`Broker.expire`: the ids it expired, ascending."""

    expired: list[str]


class EnqueueResult(TypedDict):
    """`Broker.enqueue`: depth is the queue's length after the append."""

    control: bool
    depth: int
    queued: Literal[True]


class DrainApplied(TypedDict):
    """A drained event that was applied as `observe` would."""

    event_id: str
    result: ObserveResult


class DrainRefused(TypedDict):
    """A drained event that was refused; it is consumed all the same."""

    error: str
    event_id: str


type DrainItem = DrainApplied | DrainRefused
"""`Broker.drain` returns a list of these, in the order taken."""


class CheckpointResult(TypedDict):
    """`Broker.checkpoint`."""

    checkpoint_hash: str
    sequence: int


# --- State, snapshot, journal ---------------------------------------------------------


class ResourceState(TypedDict):
    """A tracked resource."""

    revision: int
    fingerprint: str
    observed_ms: int


class State(TypedDict):
    """Everything the broker knows besides its configuration and journal."""

    actions: dict[str, ActionSpec]
    capabilities: list[str]
    resources: dict[str, ResourceState]
    intents: dict[str, IntentRecord]
    operation_keys: dict[str, str]
    source_sequences: dict[str, int]
    event_hashes: dict[str, str]
    normal_queue: list[Event]
    control_queue: list[Event]
    revision: int


class Snapshot(TypedDict):
    """`Broker.snapshot` and `Broker.replay`."""

    journal_sequence: int
    journal_tip: str
    revision: int
    schema_version: int
    state: State
    tick_ms: int
    workspace_id: str


class RegisterActionCommand(TypedDict):
    """`register_action`, as a journal entry holds it."""

    operation: Literal["register_action"]
    spec: ActionSpec


class ObserveCommand(TypedDict):
    """`observe`, as a journal entry holds it."""

    operation: Literal["observe"]
    event: Event


class SubmitCommand(TypedDict):
    """`submit`, as a journal entry holds it."""

    operation: Literal["submit"]
    intent: Intent


class BeginCommand(TypedDict):
    """`begin`, as a journal entry holds it."""

    operation: Literal["begin"]
    intent_id: str


class FinishCommand(TypedDict):
    """`finish`, as a journal entry holds it."""

    operation: Literal["finish"]
    intent_id: str
    outcome: Outcome


class ReconcileCommand(TypedDict):
    """`reconcile`, as a journal entry holds it."""

    operation: Literal["reconcile"]
    intent_id: str
    outcome: Outcome


class CancelCommand(TypedDict):
    """`cancel`, as a journal entry holds it."""

    operation: Literal["cancel"]
    intent_id: str


class RevokeCommand(TypedDict):
    """`revoke`, as a journal entry holds it."""

    operation: Literal["revoke"]
    capability: str


class ExpireCommand(TypedDict):
    """`expire`, as a journal entry holds it."""

    operation: Literal["expire"]


class EnqueueCommand(TypedDict):
    """`enqueue`, as a journal entry holds it."""

    operation: Literal["enqueue"]
    event: Event
    control: bool


class DrainCommand(TypedDict):
    """`drain`, as a journal entry holds it."""

    operation: Literal["drain"]
    limit: int


class RecoverCommand(TypedDict):
    """Written by `Broker.from_journal` only, never by a host call."""

    operation: Literal["recover"]


type Command = (RegisterActionCommand | ObserveCommand | SubmitCommand | BeginCommand
                | FinishCommand | ReconcileCommand | CancelCommand | RevokeCommand
                | ExpireCommand | EnqueueCommand | DrainCommand | RecoverCommand)
"""One journaled mutation, as a journal entry holds it."""


class Entry(TypedDict):
    """One journaled command, chained to the one before it by previous_hash."""

    sequence: int
    tick_ms: int
    previous_hash: str
    command: Command
    result_hash: str
    hash: str


class Journal(TypedDict):
    """`Broker.journal`, the text a host persists and hands to `from_journal`."""

    schema_version: int
    config: Config
    checkpoint_state: State
    checkpoint_sequence: int
    checkpoint_tick_ms: int
    checkpoint_parent_hash: str
    checkpoint_hash: str
    entries: list[Entry]


class JournalEntries(TypedDict):
    """`Broker.journal_entries`: where the journal stands, then the entries
    after the sequence asked for, each as `journal()` writes it."""

    checkpoint_sequence: int
    checkpoint_hash: str
    sequence: int
    tip: str
    journal_bytes: int
    entries: list[Entry]


# --- Model exports --------------------------------------------------------------------


class Calibration(TypedDict):
    """Platt scaling: score = logistic(intercept + coef * margin)."""

    kind: Literal["platt"]
    coef: float
    intercept: float


class LeafNode(TypedDict):
    """A leaf: its value is added to the margin."""

    node_id: int
    leaf: float


class SplitNode(TypedDict):
    """x[feature_index] < threshold goes to left, otherwise to right."""

    node_id: int
    feature_index: int
    threshold: float
    left: int
    right: int
    missing: int


type Node = LeafNode | SplitNode


class Tree(TypedDict):
    """One tree of the ensemble."""

    nodes: list[Node]
    """Node i at position i; every child after its parent; node 0 is the root."""


class TreeExport(TypedDict):
    """`TreeScorer(export_json)` and `score_trees`; every key is required."""

    schema_version: int
    feature_names: list[str]
    base_margin: float
    trees: list[Tree]
    calibration: Calibration


class LinearExport(TypedDict):
    """`LinearScorer(export_json)` and `score_linear`; every key is required."""

    schema_version: int
    feature_names: list[str]
    coef: list[float]
    intercept: float
    calibration: Calibration
