#include "lib/arguments.h"

namespace tallowmere::lib {
namespace {

const char* plural(Py_ssize_t count) { return count == 1 ? "" : "s"; }

// The name CPython's converters give the type of a refused argument.
const char* type_name(PyObject* object) {
  return object == Py_None ? "None" : Py_TYPE(object)->tp_name;
}

void raise_too_many(const Signature& signature, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (signature.required == signature.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                 signature.function, signature.count, plural(signature.count), given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes from %d to %d positional arguments but %zd %s given",
                 signature.function, signature.required, signature.count, given, verb);
  }
}

static_assert(kMaxParameters == 2, "the missing-argument message names at most two parameters");

bool check_required(const Signature& signature, PyObject* const bound[kMaxParameters]) {
  const char* missing[kMaxParameters] = {};
  int count = 0;
  for (int i = 0; i < signature.required; ++i) {
    if (bound[i] == nullptr) missing[count++] = signature.names[i];
  }
  if (count == 0) return true;
  if (count == 1) {
    PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'",
                 signature.function, missing[0]);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() missing 2 required positional arguments: '%s' and '%s'",
                 signature.function, missing[0], missing[1]);
  }
  return false;
}

bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                  PyObject* bound[kMaxParameters]) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function);
    return false;
  }
  for (int i = 0; i < signature.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) != 0) continue;
    if (bound[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                   signature.function, signature.names[i]);
      return false;
    }
    bound[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
               signature.function, key);
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

}  // namespace

bool bind_vector(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
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

bool bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs,
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

bool text_argument(PyObject* object, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': must be str, not %.50s", name,
                 type_name(object));
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool flag_argument(PyObject* object, const char* name, bool& out) {
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  const int numpy_bool = is_numpy_bool(object);
  if (numpy_bool < 0) return false;
  if (numpy_bool == 0) {
    PyErr_Format(PyExc_TypeError, "argument '%s': must be bool, not %.50s", name,
                 type_name(object));
    return false;
  }
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out = truth == 1;
  return true;
}

bool count_argument(PyObject* object, const char* name, uint64_t& out) {
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
  out = value;
  return true;
}

}  // namespace tallowmere::lib
