#include "lib/callables.h"

#include "lib/broker_error.h"

namespace tallowmere::lib {

PyObject* new_class(PyObject*& kept, PyType_Spec& spec) {
  if (kept != nullptr) return Py_NewRef(kept);
  PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return nullptr;
  // PyType_FromSpec keeps what follows the text signature, here nothing, as
  // __doc__ ""; a class documents itself by its signature alone, with
  // __doc__ None.
  PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(type));
  const int set = dict == nullptr ? -1 : PyDict_SetItemString(dict, "__doc__", Py_None);
  Py_XDECREF(dict);
  if (set < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  kept = type;
  return Py_NewRef(kept);
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* str_or_raise(const Result<std::string>& text) {
  if (!text) return raise_broker_error(text.error());
  return new_str(*text);
}

}  // namespace tallowmere::lib
