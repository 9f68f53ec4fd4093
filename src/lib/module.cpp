// The extension module _native: single-phase initialization that binds the
// module to the first interpreter importing it and fills its namespace in a
// fixed order.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "foundation/version.h"
#include "lib/broker.h"
#include "lib/broker_error.h"
#include "lib/scorers.h"

namespace tallowmere::lib {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

constexpr std::int64_t kNoInterpreter = -1;

// Set once the module is fully initialized; read from any interpreter.
std::atomic<std::int64_t> owner_interpreter{kNoInterpreter};
PyObject* cached_module = nullptr;

PyObject* new_broker_error(PyObject*) { return Py_XNewRef(broker_error_type()); }
PyObject* new_version(PyObject*) { return PyUnicode_FromString(kVersion); }
PyObject* new_engine(PyObject*) { return PyUnicode_FromString(kEngine); }

// One namespace entry; `make` returns a new reference or NULL with an
// exception set. It gets the module being filled, for functions bound to it.
struct Attribute {
  const char* name;
  PyObject* (*make)(PyObject* module);
};

// The namespace in the order it is added, which is also the order of __all__.
constexpr Attribute kAttributes[] = {
    {"Broker", new_broker_type},
    {"LinearScorer", new_linear_scorer_type},
    {"TreeScorer", new_tree_scorer_type},
    {"BrokerError", new_broker_error},
    {"score_linear", new_score_linear},
    {"score_trees", new_score_trees},
    {"__version__", new_version},
    {"__engine__", new_engine},
};

// Appends `name` to the module's __all__ (creating the list on first use), then
// sets the attribute.
int add_attribute(PyObject* module, const char* name, PyObject* value) {
  int result = -1;
  PyObject* all = nullptr;
  PyObject* key = nullptr;
  int found = PyObject_GetOptionalAttrString(module, "__all__", &all);
  if (found < 0) {
    goto done;
  }
  if (found == 0) {
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      goto done;
    }
  }
  key = PyUnicode_FromString(name);
  if (key == nullptr || PyList_Append(all, key) < 0) {
    goto done;
  }
  if (PyModule_AddObjectRef(module, name, value) < 0) {
    goto done;
  }
  result = 0;
done:
  Py_XDECREF(key);
  Py_XDECREF(all);
  return result;
}

PyObject* create_module() {
  PyObject* module = PyModule_Create(&module_def);
  if (module == nullptr) {
    return nullptr;
  }
  for (const Attribute& attribute : kAttributes) {
    PyObject* value = attribute.make(module);
    int added = value == nullptr ? -1 : add_attribute(module, attribute.name, value);
    Py_XDECREF(value);
    if (added < 0) {
      Py_CLEAR(module);
      break;
    }
  }
  return module;
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id < 0) {
    return nullptr;
  }
  std::int64_t owner = owner_interpreter.load(std::memory_order_acquire);
  if (owner != kNoInterpreter && owner != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tallowmere._native does not support sub-interpreters");
    return nullptr;
  }
  if (owner == id) {
    return Py_NewRef(cached_module);
  }
  PyObject* module = create_module();
  if (module == nullptr) {
    return nullptr;
  }
  cached_module = Py_NewRef(module);  // Kept for the life of the process.
  owner_interpreter.store(id, std::memory_order_release);
  return module;
}

}  // namespace
}  // namespace tallowmere::lib

PyMODINIT_FUNC PyInit__native(void) { return tallowmere::lib::init_module(); }
