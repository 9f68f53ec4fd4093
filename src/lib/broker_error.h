// BrokerError: the one exception type through which every broker and scorer
// failure reaches Python, raised with the failure text as its only argument.
#pragma once

#include <Python.h>

#include <string_view>

namespace tallowmere::lib {

// Borrowed reference to the process-wide BrokerError type, created on first
// use; NULL with an exception set if creation failed.
PyObject* broker_error_type();

// Raises BrokerError(text). Returns NULL so a binding can end with
// `return raise_broker_error(error.text);`.
PyObject* raise_broker_error(std::string_view text);

}  // namespace tallowmere::lib
