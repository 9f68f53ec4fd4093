#include "lib/broker_error.h"

#include <atomic>

namespace tallowmere::lib {
namespace {

enum class Creation : int { kAbsent, kRunning, kDone };

std::atomic<Creation> creation{Creation::kAbsent};
PyObject* error_type = nullptr;  // Written once, before creation becomes kDone.

}  // namespace

PyObject* broker_error_type() {
  for (;;) {
    Creation seen = creation.load(std::memory_order_acquire);
    if (seen == Creation::kDone) {
      return error_type;
    }
    if (seen == Creation::kAbsent &&
        creation.compare_exchange_strong(seen, Creation::kRunning,
                                         std::memory_order_acq_rel)) {
      break;
    }
    if (seen == Creation::kRunning) {
      // Another thread is creating the type; it may need the interpreter
      // lock to finish, so wait without holding it.
      Py_BEGIN_ALLOW_THREADS
      creation.wait(Creation::kRunning, std::memory_order_acquire);
      Py_END_ALLOW_THREADS
    }
  }

  PyObject* type = PyErr_NewException("_native.BrokerError", PyExc_RuntimeError, nullptr);
  if (type == nullptr) {
    // Let a waiting thread try again rather than wait forever.
    creation.store(Creation::kAbsent, std::memory_order_release);
    creation.notify_all();
    return nullptr;
  }
  error_type = type;  // Kept for the life of the process.
  creation.store(Creation::kDone, std::memory_order_release);
  creation.notify_all();
  return error_type;
}

PyObject* raise_broker_error(std::string_view text) {
  PyObject* type = broker_error_type();
  if (type == nullptr) {
    return nullptr;
  }
  // Failure texts are UTF-8 by construction; "replace" keeps a stray byte from
  // turning a broker failure into a UnicodeDecodeError.
  PyObject* message = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "replace");
  if (message == nullptr) {
    return nullptr;
  }
  PyErr_SetObject(type, message);
  Py_DECREF(message);
  return nullptr;
}

}  // namespace tallowmere::lib
