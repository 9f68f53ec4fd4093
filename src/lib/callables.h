// Python classes, methods and functions made from their signatures, for the
// Broker and the scorers alike: each call is bound and converted before its
// body runs, inside guarded_call; results come back as str or list.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/result.h"
#include "lib/arguments.h"
#include "lib/native_call.h"

namespace tallowmere::lib {

// What a method or function does with its converted arguments; `self` is the
// instance, the module of a function, or NULL for a static method. Returns a
// new reference or NULL with an exception set.
using Body = PyObject* (*)(PyObject* self, const Arguments& arguments);
// What a class does with its constructor's converted arguments.
using NewBody = PyObject* (*)(PyTypeObject* type, const Arguments& arguments);

template <const Signature& kSignature, Body kBody>
PyObject* bound_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    Arguments arguments;
    if (!bind<kSignature>(arguments, args, nargs, kwnames)) return nullptr;
    return kBody(self, arguments);
  });
}

// A class's tp_new slot.
template <const Signature& kSignature, NewBody kBody>
PyObject* bound_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_call([&]() -> PyObject* {
    Arguments arguments;
    if (!bind<kSignature>(arguments, args, kwargs)) return nullptr;
    return kBody(type, arguments);
  });
}

// The method table entry, or function definition, of `kSignature`.
template <const Signature& kSignature, Body kBody>
PyMethodDef definition() {
  using Fast = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
  constexpr Fast kFast = bound_call<kSignature, kBody>;
  return {kSignature.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kFast)),
          METH_FASTCALL | METH_KEYWORDS |
              (kSignature.form == Form::kStaticMethod ? METH_STATIC : 0),
          kDocstring<kSignature>.data()};
}

// The class's own docstring: its constructor's text signature.
template <const Signature& kConstructor>
void* class_docstring() {
  return const_cast<char*>(kDocstring<kConstructor>.data());
}

// New reference to the class made from `spec` on first use and kept in
// `kept` for the process; NULL with an exception set on failure. Called with
// the interpreter lock held.
PyObject* new_class(PyObject*& kept, PyType_Spec& spec);

PyObject* new_str(std::string_view text);

// The text as str, or BrokerError with the failure text.
PyObject* str_or_raise(const Result<std::string>& text);

// A list of `size` items made by `item(i)`, each a new reference or NULL with
// an exception set.
template <class Item>
PyObject* new_list(size_t size, Item&& item) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < size; ++i) {
    PyObject* value = item(i);
    if (value == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), value);
  }
  return list;
}

}  // namespace tallowmere::lib
