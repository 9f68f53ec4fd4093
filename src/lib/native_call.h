// The edge between Python and native code: no C++ exception may cross it, and
// native work may run without the interpreter lock.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace tallowmere::lib {

// Runs `body`, which returns a new reference or NULL with an exception set.
// An exception escaping it becomes MemoryError for an allocation failure and
// SystemError for anything else.
template <class Body>
PyObject* guarded_call(Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected native exception");
  }
  return nullptr;
}

// Runs `work` with the interpreter lock released. An exception is carried
// past the re-acquisition of the lock and rethrown there, for guarded_call.
template <class Work>
void run_released(Work&& work) {
  std::exception_ptr escaped;
  PyThreadState* thread = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    escaped = std::current_exception();
  }
  PyEval_RestoreThread(thread);
  if (escaped) std::rethrow_exception(escaped);
}

}  // namespace tallowmere::lib
