#include "lib/arguments.h"

#include <cstdarg>

namespace tallowmere::lib {
namespace {

// Raises TypeError "<callable>() <what>", the callable named as a traceback
// names it: "Broker.finish", "Broker", "score_trees".
void raise_call_error(const Signature& signature, const char* what_format, ...) {
  va_list values;
  va_start(values, what_format);
  PyObject* what = PyUnicode_FromFormatV(what_format, values);
  va_end(values);
  if (what == nullptr) return;
  const bool owned = signature.owner != nullptr;
  PyErr_Format(PyExc_TypeError, "%s%s%s() %U", owned ? signature.owner : "", owned ? "." : "",
               signature.name, what);
  Py_DECREF(what);
}

const char* plural(Py_ssize_t count) { return count == 1 ? "" : "s"; }

// The name CPython's converters give the type of a refused argument.
const char* type_name(PyObject* object) {
  return object == Py_None ? "None" : Py_TYPE(object)->tp_name;
}

void raise_too_many(const Signature& signature, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required == signature.count) {
    raise_call_error(signature, "takes %d positional argument%s but %zd %s given",
                     signature.count, plural(signature.count), given, verb);
  } else {
    raise_call_error(signature, "takes from %d to %d positional arguments but %zd %s given",
                     signature.required, signature.count, given, verb);
  }
}

static_assert(kMaxParameters == 2, "the missing-argument message names at most two parameters");

bool check_required(const Signature& signature, PyObject* const bound[kMaxParameters]) {
  const char* missing[kMaxParameters] = {};
  int count = 0;
  for (int i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) missing[count++] = signature.parameters[i].name;
  }
  if (count == 0) return true;
  if (count == 1) {
    raise_call_error(signature, "missing 1 required positional argument: '%s'", missing[0]);
  } else {
    raise_call_error(signature, "missing 2 required positional arguments: '%s' and '%s'",
                     missing[0], missing[1]);
  }
  return false;
}

bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                  PyObject* bound[kMaxParameters]) {
  if (!PyUnicode_Check(key)) {
    raise_call_error(signature, "keywords must be strings");
    return false;
  }
  for (int i = 0; i < signature.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, signature.parameters[i].name) != 0) continue;
    if (bound[i] != nullptr) {
      raise_call_error(signature, "got multiple values for argument '%s'",
                       signature.parameters[i].name);
      return false;
    }
    bound[i] = value;
    return true;
  }
  raise_call_error(signature, "got an unexpected keyword argument '%U'", key);
  return false;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
                     PyObject* bound[kMaxParameters]) {
  for (int i = 0; i < kMaxParameters; ++i) bound[i] = nullptr;
  if (positional > signature.count) {
    raise_too_many(signature, positional);
    return false;
  }
  for (Py_ssize_t i = 0; i < positional; ++i) bound[i] = args[i];
  return true;
}

// NumPy's boolean scalar can only exist once NumPy is imported, so the module
// is looked up, never imported. 1 when `object` is one, 0 when not, -1 on error.
int is_numpy_bool(PyObject* object) {
  static PyObject* numpy_name = nullptr;  // Interned once, kept for the process.
  if (numpy_name == nullptr) {
    numpy_name = PyUnicode_InternFromString("numpy");
    if (numpy_name == nullptr) return -1;
  }
  PyObject* numpy = PyImport_GetModule(numpy_name);
  if (numpy == nullptr) return PyErr_Occurred() ? -1 : 0;
  PyObject* bool_type = nullptr;
  const int found = PyObject_GetOptionalAttrString(numpy, "bool_", &bool_type);
  Py_DECREF(numpy);
  if (found <= 0) return found;
  const int matches = reinterpret_cast<PyObject*>(Py_TYPE(object)) == bool_type ? 1 : 0;
  Py_DECREF(bool_type);
  return matches;
}

// Raises TypeError "argument '<name>': must be <expected>, not <type>".
bool refused(const char* name, const char* expected, PyObject* object) {
  PyErr_Format(PyExc_TypeError, "argument '%s': must be %s, not %.50s", name, expected,
               type_name(object));
  return false;
}

}  // namespace

bool bind_objects(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
                  PyObject* kwnames, PyObject* bound[kMaxParameters]) {
  if (!bind_positional(signature, args, positional, bound)) return false;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[positional + i], bound)) {
      return false;
    }
  }
  return check_required(signature, bound);
}

bool bind_objects(const Signature& signature, PyObject* args, PyObject* kwargs,
                  PyObject* bound[kMaxParameters]) {
  if (!bind_positional(signature, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), bound)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(signature, key, value, bound)) return false;
    }
  }
  return check_required(signature, bound);
}

bool convert_text(PyObject* object, const char* name, Value& out) {
  if (!PyUnicode_Check(object)) return refused(name, "str", object);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out = {data, static_cast<uint64_t>(size)};
  return true;
}

bool convert_flag(PyObject* object, const char* name, Value& out) {
  if (PyBool_Check(object)) {
    out = {nullptr, object == Py_True ? 1U : 0U};
    return true;
  }
  const int numpy_bool = is_numpy_bool(object);
  if (numpy_bool < 0) return false;
  if (numpy_bool == 0) return refused(name, "bool", object);
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out = {nullptr, truth == 1 ? 1U : 0U};
  return true;
}

// A value out of range keeps the interpreter's OverflowError.
bool convert_count(PyObject* object, const char* name, Value& out) {
  PyObject* index = PyNumber_Index(object);
  if (index == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyObject* cause = PyErr_GetRaisedException();
      PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, cause);
      Py_DECREF(cause);
    }
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = {nullptr, value};
  return true;
}

bool convert_bytes(PyObject* object, const char* name, Value& out) {
  if (!PyBytes_Check(object)) return refused(name, "bytes", object);
  out = {PyBytes_AS_STRING(object), static_cast<uint64_t>(PyBytes_GET_SIZE(object))};
  return true;
}

}  // namespace tallowmere::lib
