// The Broker class: one journaled broker core per object, driven from Python
// by one method per command, with replay and recovery from a stored journal.
#pragma once

#include <Python.h>

namespace tallowmere::lib {

// New reference to the Broker class, created once per process; NULL with an
// exception set on failure.
PyObject* new_broker_type(PyObject* module);

}  // namespace tallowmere::lib
