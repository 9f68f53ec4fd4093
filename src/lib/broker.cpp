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

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

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

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
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
  return raise_broker_error("broker_poisoned");
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

// Binds the call to `signature` and converts every argument that is given to
// text; bound[i] stays NULL for an optional parameter left out.
bool bind_texts(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, std::string_view texts[kMaxParameters],
                PyObject* bound[kMaxParameters]) {
  if (!bind_vector(signature, args, nargs, kwnames, bound)) return false;
  for (int i = 0; i < signature.count; ++i) {
    if (bound[i] != nullptr && !text_argument(bound[i], signature.names[i], texts[i])) {
      return false;
    }
  }
  return true;
}

// --- Command methods ---------------------------------------------------------------

constexpr Signature kRegisterAction{"Broker.register_action", 1, 1, {"spec_json"}};
constexpr Signature kObserve{"Broker.observe", 1, 1, {"event_json"}};
constexpr Signature kSubmit{"Broker.submit", 1, 1, {"intent_json"}};
constexpr Signature kBegin{"Broker.begin", 1, 1, {"intent_id"}};
constexpr Signature kFinish{"Broker.finish", 2, 2, {"intent_id", "outcome_json"}};
constexpr Signature kReconcile{"Broker.reconcile", 2, 2, {"intent_id", "outcome_json"}};
constexpr Signature kCancel{"Broker.cancel", 1, 1, {"intent_id"}};
constexpr Signature kRevoke{"Broker.revoke", 1, 1, {"capability"}};
constexpr Signature kExpire{"Broker.expire", 0, 0, {}};
constexpr Signature kEnqueue{"Broker.enqueue", 2, 1, {"event_json", "control"}};
constexpr Signature kDrain{"Broker.drain", 1, 0, {"limit"}};

// register_action, observe and submit: one JSON record wrapped in a command.
template <class Variant, class Record, const Signature& kSignature>
PyObject* record_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::string_view texts[kMaxParameters];
    if (!bind_texts(kSignature, args, nargs, kwnames, texts, bound)) return nullptr;
    std::optional<Record> record =
        decode_argument<Record>(texts[0], core_of(self).boundary_limit());
    if (!record) return nullptr;
    return run_command(self, Variant{std::move(*record)});
  });
}

// begin, cancel and revoke: one identifier, left for the reducer to judge.
template <class Variant, const Signature& kSignature>
PyObject* identifier_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::string_view texts[kMaxParameters];
    if (!bind_texts(kSignature, args, nargs, kwnames, texts, bound)) return nullptr;
    return run_command(self, Variant{std::string(texts[0])});
  });
}

// finish and reconcile: an intent id and an outcome.
template <class Variant, const Signature& kSignature>
PyObject* outcome_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::string_view texts[kMaxParameters];
    if (!bind_texts(kSignature, args, nargs, kwnames, texts, bound)) return nullptr;
    std::optional<Outcome> outcome =
        decode_argument<Outcome>(texts[1], core_of(self).boundary_limit());
    if (!outcome) return nullptr;
    return run_command(self, Variant{std::string(texts[0]), std::move(*outcome)});
  });
}

PyObject* broker_expire(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    if (!bind_vector(kExpire, args, nargs, kwnames, bound)) return nullptr;
    return run_command(self, Expire{});
  });
}

PyObject* broker_enqueue(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::string_view event_json;
    bool control = false;
    if (!bind_vector(kEnqueue, args, nargs, kwnames, bound) ||
        !text_argument(bound[0], "event_json", event_json) ||
        (bound[1] != nullptr && !flag_argument(bound[1], "control", control))) {
      return nullptr;
    }
    std::optional<Event> event = decode_argument<Event>(event_json, core_of(self).boundary_limit());
    if (!event) return nullptr;
    return run_command(self, Enqueue{std::move(*event), control});
  });
}

PyObject* broker_drain(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    uint64_t limit = 1;
    if (!bind_vector(kDrain, args, nargs, kwnames, bound) ||
        (bound[0] != nullptr && !count_argument(bound[0], "limit", limit))) {
      return nullptr;
    }
    return run_command(self, Drain{limit});
  });
}

// --- Reading the broker ------------------------------------------------------------

constexpr Signature kNowMs{"Broker.now_ms", 0, 0, {}};
constexpr Signature kSnapshot{"Broker.snapshot", 0, 0, {}};
constexpr Signature kJournal{"Broker.journal", 0, 0, {}};
constexpr Signature kCheckpoint{"Broker.checkpoint", 1, 1, {"acknowledged_tip"}};
constexpr Signature kJournalHead{"Broker.journal_head", 0, 0, {}};
constexpr Signature kJournalEntries{"Broker.journal_entries", 1, 1, {"after_sequence"}};

// Lock-free, and quick enough to keep the interpreter lock.
PyObject* broker_now_ms(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* bound[kMaxParameters];
  if (!bind_vector(kNowMs, args, nargs, kwnames, bound)) return nullptr;
  return PyLong_FromUnsignedLongLong(core_of(self).now_ms());
}

template <const Signature& kSignature, Answer (GuardedCore::*kRead)()>
PyObject* read_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    if (!bind_vector(kSignature, args, nargs, kwnames, bound)) return nullptr;
    return run_guarded(self, [](GuardedCore& core) { return (core.*kRead)(); });
  });
}

PyObject* broker_checkpoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::string_view texts[kMaxParameters];
    if (!bind_texts(kCheckpoint, args, nargs, kwnames, texts, bound)) return nullptr;
    return run_guarded(self, [&](GuardedCore& core) { return core.checkpoint(texts[0]); });
  });
}

PyObject* broker_journal_entries(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    uint64_t after_sequence = 0;
    if (!bind_vector(kJournalEntries, args, nargs, kwnames, bound) ||
        !count_argument(bound[0], "after_sequence", after_sequence)) {
      return nullptr;
    }
    return run_guarded(
        self, [&](GuardedCore& core) { return core.journal_entries(after_sequence); });
  });
}

// --- Construction, replay and recovery -----------------------------------------

constexpr Signature kConstructor{"Broker", 1, 0, {"config_json"}};
constexpr Signature kReplay{"Broker.replay", 1, 1, {"journal_json"}};
constexpr Signature kFromJournal{"Broker.from_journal", 1, 1, {"journal_json"}};

// A new Broker object around `core`; `started_at` is read now.
PyObject* wrap_core(PyTypeObject* type, std::unique_ptr<GuardedCore> core) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<BrokerObject*>(self)->core = core.release();
  return self;
}

PyObject* broker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::string_view config_json = "{}";
    if (!bind_tuple(kConstructor, args, kwargs, bound) ||
        (bound[0] != nullptr && !text_argument(bound[0], "config_json", config_json))) {
      return nullptr;
    }
    std::optional<Config> config = decode_argument<Config>(config_json, kConfigLimitBytes);
    if (!config) return nullptr;
    Result<Core> core = Core::genesis(std::move(*config));
    if (!core) return raise_broker_error(core.error());
    return wrap_core(type, std::make_unique<GuardedCore>(std::move(core).value(),
                                                         MonotonicClock::now()));
  });
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

// The stored journal argument of replay and from_journal. Its text stays put
// while the interpreter lock is released: a str is immutable and the caller
// holds it for the whole call.
bool journal_argument(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::string_view& text) {
  PyObject* bound[kMaxParameters];
  std::string_view texts[kMaxParameters];
  if (!bind_texts(signature, args, nargs, kwnames, texts, bound)) return false;
  text = texts[0];
  return true;
}

PyObject* broker_replay(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    std::string_view text;
    if (!journal_argument(kReplay, args, nargs, kwnames, text)) return nullptr;
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
    if (!*snapshot) return raise_broker_error(snapshot->error());
    return new_str(**snapshot);
  });
}

PyObject* broker_from_journal(PyObject* /*unused*/, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    std::string_view text;
    if (!journal_argument(kFromJournal, args, nargs, kwnames, text)) return nullptr;
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
  });
}

// --- The class ---------------------------------------------------------------------

template <FastMethod kMethod>
constexpr PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kMethod));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef broker_methods[] = {
    {"register_action",
     as_cfunction<record_method<RegisterAction, ActionSpec, kRegisterAction>>(), kFast,
     "register_action($self, spec_json)\n--\n\n"},
    {"observe", as_cfunction<record_method<Observe, Event, kObserve>>(), kFast,
     "observe($self, event_json)\n--\n\n"},
    {"submit", as_cfunction<record_method<Submit, Intent, kSubmit>>(), kFast,
     "submit($self, intent_json)\n--\n\n"},
    {"begin", as_cfunction<identifier_method<Begin, kBegin>>(), kFast,
     "begin($self, intent_id)\n--\n\n"},
    {"finish", as_cfunction<outcome_method<Finish, kFinish>>(), kFast,
     "finish($self, intent_id, outcome_json)\n--\n\n"},
    {"reconcile", as_cfunction<outcome_method<Reconcile, kReconcile>>(), kFast,
     "reconcile($self, intent_id, outcome_json)\n--\n\n"},
    {"cancel", as_cfunction<identifier_method<Cancel, kCancel>>(), kFast,
     "cancel($self, intent_id)\n--\n\n"},
    {"revoke", as_cfunction<identifier_method<Revoke, kRevoke>>(), kFast,
     "revoke($self, capability)\n--\n\n"},
    {"expire", as_cfunction<broker_expire>(), kFast, "expire($self)\n--\n\n"},
    {"enqueue", as_cfunction<broker_enqueue>(), kFast,
     "enqueue($self, event_json, control=False)\n--\n\n"},
    {"drain", as_cfunction<broker_drain>(), kFast, "drain($self, limit=1)\n--\n\n"},
    {"now_ms", as_cfunction<broker_now_ms>(), kFast, "now_ms($self)\n--\n\n"},
    {"snapshot", as_cfunction<read_method<kSnapshot, &GuardedCore::snapshot>>(), kFast,
     "snapshot($self)\n--\n\n"},
    {"journal", as_cfunction<read_method<kJournal, &GuardedCore::journal>>(), kFast,
     "journal($self)\n--\n\n"},
    {"checkpoint", as_cfunction<broker_checkpoint>(), kFast,
     "checkpoint($self, acknowledged_tip)\n--\n\n"},
    {"journal_head", as_cfunction<read_method<kJournalHead, &GuardedCore::journal_head>>(),
     kFast, "journal_head($self)\n--\n\n"},
    {"journal_entries", as_cfunction<broker_journal_entries>(), kFast,
     "journal_entries($self, after_sequence)\n--\n\n"},
    {"replay", as_cfunction<broker_replay>(), kFast | METH_STATIC,
     "replay(journal_json)\n--\n\n"
     "Deterministic, observational replay only. This returns state and cannot dispatch "
     "effects."},
    {"from_journal", as_cfunction<broker_from_journal>(), kFast | METH_STATIC,
     "from_journal(journal_json)\n--\n\n"
     "Recover authority after a restart. Running effects become unknown; pending dispatches "
     "invalidate."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot broker_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(broker_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(broker_dealloc)},
    {Py_tp_doc, const_cast<char*>("Broker(config_json=\"{}\")\n--\n\n")},
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

PyObject* new_broker_type(PyObject* /*module*/) {
  if (broker_type != nullptr) return Py_NewRef(broker_type);
  PyObject* type = PyType_FromSpec(&broker_spec);
  if (type == nullptr) return nullptr;
  // PyType_FromSpec keeps what follows the text signature, here nothing, as
  // __doc__ ""; the class documents itself by its signature alone.
  PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(type));
  if (dict == nullptr || PyDict_SetItemString(dict, "__doc__", Py_None) < 0) {
    Py_XDECREF(dict);
    Py_DECREF(type);
    return nullptr;
  }
  Py_DECREF(dict);
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  broker_type = type;  // Kept for the process.
  return Py_NewRef(broker_type);
}

}  // namespace tallowmere::lib
