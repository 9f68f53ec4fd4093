#include "lib/broker.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "contracts/action_spec.h"
#include "contracts/command.h"
#include "contracts/config.h"
#include "contracts/event.h"
#include "contracts/intent.h"
#include "contracts/journal.h"
#include "contracts/outcome.h"
#include "foundation/boundary.h"
#include "broker/core.h"
#include "broker/journal_decode.h"
#include "foundation/json_writer.h"
#include "broker/replay.h"
#include "lib/arguments.h"
#include "lib/broker_error.h"
#include "lib/callables.h"
#include "lib/guarded_core.h"
#include "lib/native_call.h"

namespace tallowmere::lib {
namespace {

struct BrokerObject {
  PyObject_HEAD
  GuardedCore* core;  // Owned; set before the object is handed out.
};

PyObject* broker_type = nullptr;  // Created once, kept for the process.

GuardedCore& core_of(PyObject* self) { return *reinterpret_cast<BrokerObject*>(self)->core; }

// --- Arguments in, results out ---------------------------------------------------

// A decoded JSON argument, or an empty optional with BrokerError set.
template <class Record>
std::optional<Record> raised_unless_decoded(Result<Record> decoded) {
  if (!decoded) {
    raise_broker_error(decoded.error());
    return std::nullopt;
  }
  return std::move(decoded).value();
}

// Boundary decoding of a JSON argument, with the interpreter lock held.
template <class Record>
std::optional<Record> decode_argument(std::string_view text, uint64_t limit) {
  return raised_unless_decoded(decode_boundary<Record>(
      text, limit, [](json::Reader& reader, Record& out) { return read(reader, out); }));
}

PyObject* to_python(const Answer& answer) {
  switch (answer.end) {
    case Answer::End::kText:
      return new_str(answer.text);
    case Answer::End::kFailure:
      return raise_broker_error(answer.text);
    case Answer::End::kOutOfMemory:
      return PyErr_NoMemory();
    case Answer::End::kAbnormal:
      break;
  }
  // This call poisoned the broker; it reports what every later call will.
  return raise_broker_error(fail(Code::kBrokerPoisoned).text);
}

// Runs one operation on the guarded core with the interpreter lock released.
template <class Operation>
PyObject* run_guarded(PyObject* self, Operation&& operation) {
  GuardedCore& core = core_of(self);
  std::optional<Answer> answer;
  run_released([&] { answer.emplace(operation(core)); });
  return to_python(*answer);
}

PyObject* run_command(PyObject* self, Command command) {
  return run_guarded(self, [&](GuardedCore& core) { return core.command(std::move(command)); });
}

// --- Command methods ---------------------------------------------------------------

// register_action, observe and submit: one JSON record wrapped in a command.
template <class Variant, class Record>
PyObject* record_command(PyObject* self, const Arguments& arguments) {
  std::optional<Record> record =
      decode_argument<Record>(arguments[0].text(), core_of(self).boundary_limit());
  if (!record) return nullptr;
  return run_command(self, Variant{std::move(*record)});
}

// begin, cancel and revoke: one identifier, left for the reducer to judge.
template <class Variant>
PyObject* identifier_command(PyObject* self, const Arguments& arguments) {
  return run_command(self, Variant{std::string(arguments[0].text())});
}

// finish and reconcile: an intent id and an outcome.
template <class Variant>
PyObject* outcome_command(PyObject* self, const Arguments& arguments) {
  std::optional<Outcome> outcome =
      decode_argument<Outcome>(arguments[1].text(), core_of(self).boundary_limit());
  if (!outcome) return nullptr;
  return run_command(self, Variant{std::string(arguments[0].text()), std::move(*outcome)});
}

PyObject* broker_expire(PyObject* self, const Arguments& /*arguments*/) {
  return run_command(self, Expire{});
}

PyObject* broker_enqueue(PyObject* self, const Arguments& arguments) {
  std::optional<Event> event =
      decode_argument<Event>(arguments[0].text(), core_of(self).boundary_limit());
  if (!event) return nullptr;
  return run_command(self, Enqueue{std::move(*event), arguments[1].flag()});
}

PyObject* broker_drain(PyObject* self, const Arguments& arguments) {
  return run_command(self, Drain{arguments[0].count()});
}

// --- Reading the broker ------------------------------------------------------------

// Lock-free, and quick enough to keep the interpreter lock.
PyObject* broker_now_ms(PyObject* self, const Arguments& /*arguments*/) {
  return PyLong_FromUnsignedLongLong(core_of(self).now_ms());
}

template <Answer (GuardedCore::*kRead)()>
PyObject* read_method(PyObject* self, const Arguments& /*arguments*/) {
  return run_guarded(self, [](GuardedCore& core) { return (core.*kRead)(); });
}

PyObject* broker_checkpoint(PyObject* self, const Arguments& arguments) {
  return run_guarded(self,
                     [&](GuardedCore& core) { return core.checkpoint(arguments[0].text()); });
}

PyObject* broker_journal_entries(PyObject* self, const Arguments& arguments) {
  return run_guarded(
      self, [&](GuardedCore& core) { return core.journal_entries(arguments[0].count()); });
}

// --- Construction, replay and recovery -----------------------------------------

// A new Broker object around `core`; `started_at` is read now.
PyObject* wrap_core(PyTypeObject* type, std::unique_ptr<GuardedCore> core) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<BrokerObject*>(self)->core = core.release();
  return self;
}

PyObject* broker_new(PyTypeObject* type, const Arguments& arguments) {
  std::optional<Config> config = decode_argument<Config>(arguments[0].text(), kConfigLimitBytes);
  if (!config) return nullptr;
  Result<Core> core = Core::genesis(std::move(*config));
  if (!core) return raise_broker_error(core.error());
  return wrap_core(type, std::make_unique<GuardedCore>(std::move(core).value(),
                                                       MonotonicClock::now()));
}

void broker_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Freeing a large broker takes a while, and nothing else can reach it:
  // other threads run meanwhile.
  GuardedCore* core = reinterpret_cast<BrokerObject*>(self)->core;
  run_released([core] { delete core; });
  type->tp_free(self);
  Py_DECREF(type);
}

// The stored journal text of replay and from_journal. It stays put while the
// interpreter lock is released: a str is immutable and the caller holds it
// for the whole call.
PyObject* broker_replay(PyObject* /*unused*/, const Arguments& arguments) {
  const std::string_view text = arguments[0].text();
  std::optional<Result<std::string>> snapshot;
  run_released([&] {
    Result<Journal> journal = decode_journal(text);
    if (!journal) {
      snapshot.emplace(std::move(journal).take_error());
      return;
    }
    Result<Core> core = replay_journal(std::move(journal).value());
    if (!core) {
      snapshot.emplace(std::move(core).take_error());
    } else {
      snapshot.emplace(core->snapshot_text());
    }
  });
  return str_or_raise(*snapshot);
}

PyObject* broker_from_journal(PyObject* /*unused*/, const Arguments& arguments) {
  const std::string_view text = arguments[0].text();
  std::unique_ptr<GuardedCore> recovered;
  std::string error;
  run_released([&] {
    Result<Journal> journal = decode_journal(text);
    Result<Core> core = journal ? recover_journal(std::move(journal).value())
                                : Result<Core>(std::move(journal).take_error());
    if (!core) {
      error = std::move(core).take_error().text;
    } else {
      recovered =
          std::make_unique<GuardedCore>(std::move(core).value(), MonotonicClock::now());
    }
  });
  if (!recovered) return raise_broker_error(error);
  return wrap_core(reinterpret_cast<PyTypeObject*>(broker_type), std::move(recovered));
}

// --- The class ---------------------------------------------------------------------

constexpr char kBroker[] = "Broker";
constexpr Signature kConstructor = function(kBroker, {text("config_json", "{}")});
constexpr Signature kRegisterAction = method(kBroker, "register_action", {text("spec_json")});
constexpr Signature kObserve = method(kBroker, "observe", {text("event_json")});
constexpr Signature kSubmit = method(kBroker, "submit", {text("intent_json")});
constexpr Signature kBegin = method(kBroker, "begin", {text("intent_id")});
constexpr Signature kFinish =
    method(kBroker, "finish", {text("intent_id"), text("outcome_json")});
constexpr Signature kReconcile =
    method(kBroker, "reconcile", {text("intent_id"), text("outcome_json")});
constexpr Signature kCancel = method(kBroker, "cancel", {text("intent_id")});
constexpr Signature kRevoke = method(kBroker, "revoke", {text("capability")});
constexpr Signature kExpire = method(kBroker, "expire", {});
constexpr Signature kEnqueue =
    method(kBroker, "enqueue", {text("event_json"), flag("control", false)});
constexpr Signature kDrain = method(kBroker, "drain", {count("limit", 1)});
constexpr Signature kNowMs = method(kBroker, "now_ms", {});
constexpr Signature kSnapshot = method(kBroker, "snapshot", {});
constexpr Signature kJournal = method(kBroker, "journal", {});
constexpr Signature kCheckpoint = method(kBroker, "checkpoint", {text("acknowledged_tip")});
constexpr Signature kJournalHead = method(kBroker, "journal_head", {});
constexpr Signature kJournalEntries =
    method(kBroker, "journal_entries", {count("after_sequence")});
constexpr Signature kReplay = static_method(
    kBroker, "replay", {text("journal_json")},
    "Deterministic, observational replay only. This returns state and cannot dispatch "
    "effects.");
constexpr Signature kFromJournal = static_method(
    kBroker, "from_journal", {text("journal_json")},
    "Recover authority after a restart. Running effects become unknown; pending dispatches "
    "invalidate.");

PyMethodDef broker_methods[] = {
    definition<kRegisterAction, record_command<RegisterAction, ActionSpec>>(),
    definition<kObserve, record_command<Observe, Event>>(),
    definition<kSubmit, record_command<Submit, Intent>>(),
    definition<kBegin, identifier_command<Begin>>(),
    definition<kFinish, outcome_command<Finish>>(),
    definition<kReconcile, outcome_command<Reconcile>>(),
    definition<kCancel, identifier_command<Cancel>>(),
    definition<kRevoke, identifier_command<Revoke>>(),
    definition<kExpire, broker_expire>(),
    definition<kEnqueue, broker_enqueue>(),
    definition<kDrain, broker_drain>(),
    definition<kNowMs, broker_now_ms>(),
    definition<kSnapshot, read_method<&GuardedCore::snapshot>>(),
    definition<kJournal, read_method<&GuardedCore::journal>>(),
    definition<kCheckpoint, broker_checkpoint>(),
    definition<kJournalHead, read_method<&GuardedCore::journal_head>>(),
    definition<kJournalEntries, broker_journal_entries>(),
    definition<kReplay, broker_replay>(),
    definition<kFromJournal, broker_from_journal>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot broker_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(bound_new<kConstructor, broker_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(broker_dealloc)},
    {Py_tp_doc, class_docstring<kConstructor>()},
    {Py_tp_methods, broker_methods},
    {0, nullptr},
};

// Not a base type, no instance dictionary, no weak references.
PyType_Spec broker_spec = {
    "tallowmere._native.Broker",
    static_cast<int>(sizeof(BrokerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    broker_slots,
};

}  // namespace

PyObject* new_broker_type(PyObject* /*module*/) { return new_class(broker_type, broker_spec); }

}  // namespace tallowmere::lib
