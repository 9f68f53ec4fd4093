// Binding a call's positional and keyword arguments to a fixed parameter list,
// and the conversions of the broker's argument types. Failures raise the
// interpreter's own exception types with the wording of its function calls.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

namespace tallowmere::lib {

inline constexpr int kMaxParameters = 2;

// A callable's parameters, each accepted by position or by keyword. The first
// `required` of them have no default.
struct Signature {
  const char* function;  // As named in messages: "Broker.finish".
  int count;
  int required;
  const char* names[kMaxParameters];
};

// Fills `bound` with borrowed references in parameter order, NULL for an
// optional parameter not given. Vectorcall form: `args` holds the positional
// values, then the values of `kwnames`. False with TypeError set on failure.
bool bind_vector(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
                 PyObject* kwnames, PyObject* bound[kMaxParameters]);

// The same for a tuple and an optional keyword dictionary.
bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
                PyObject* bound[kMaxParameters]);

// A str argument as its own UTF-8 buffer, which lives as long as the str.
// Another type raises TypeError "argument '<name>': must be str, not <type>";
// a lone surrogate raises the interpreter's UnicodeEncodeError.
bool text_argument(PyObject* object, const char* name, std::string_view& out);

// A Python bool or a NumPy boolean scalar; nothing else, an int neither.
bool flag_argument(PyObject* object, const char* name, bool& out);

// Any object with an integer index from 0 to 2**64 - 1. A non-integer raises
// TypeError "argument '<name>': ..."; a value out of range keeps the
// interpreter's OverflowError.
bool count_argument(PyObject* object, const char* name, uint64_t& out);

}  // namespace tallowmere::lib
