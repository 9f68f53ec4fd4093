#include "lib/scorers.h"

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"
#include "lib/broker_error.h"
#include "policy/feature_input.h"
#include "policy/linear_export.h"
#include "policy/linear_scoring.h"
#include "policy/tree_export.h"
#include "policy/tree_scoring.h"

namespace tallowmere::lib {
namespace {

// --- Conversions ---------------------------------------------------------------

// Runs `work` with the interpreter lock released. A native allocation failure
// becomes the interpreter's MemoryError; the result is false then.
template <class Work>
bool run_released(Work&& work) {
  bool out_of_memory = false;
  PyThreadState* thread = PyEval_SaveThread();
  try {
    work();
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  PyEval_RestoreThread(thread);
  if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

// The str's own UTF-8 buffer, which lives as long as the str; lone
// surrogates raise UnicodeEncodeError.
bool utf8_view(PyObject* text, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    return false;
  }
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

PyObject* to_str(const Result<std::string>& text) {
  if (!text) {
    return raise_broker_error(text.error());
  }
  return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
}

PyObject* to_float_list(const Result<std::vector<double>>& scores) {
  if (!scores) {
    return raise_broker_error(scores.error());
  }
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(scores->size()));
  if (list == nullptr) {
    return nullptr;
  }
  for (size_t i = 0; i < scores->size(); ++i) {
    PyObject* item = PyFloat_FromDouble((*scores)[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

// "O&" converter for row_count: any object with an integer index from 0 to
// 2**64 - 1; the interpreter raises its own TypeError or OverflowError.
int convert_row_count(PyObject* object, void* out) {
  PyObject* index = PyNumber_Index(object);
  if (index == nullptr) {
    return 0;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    return 0;
  }
  *static_cast<uint64_t*>(out) = value;
  return 1;
}

// --- The two model kinds ---------------------------------------------------------

struct TreeKind {
  using Model = policy::TreeModel;
  static constexpr char kQualifiedName[] = "tallowmere._native.TreeScorer";
  static constexpr char kDoc[] = "TreeScorer(export_json)\n--\n\n";
  static constexpr char kNewFormat[] = "U:TreeScorer";
  static constexpr char kOnceName[] = "score_trees";
  static constexpr char kOnceFormat[] = "UU:score_trees";
  static constexpr char kOnceDoc[] = "score_trees(export_json, features_json)\n--\n\n";

  static Result<Model> load(std::string_view text) {
    Result<policy::TreeExport> loaded = policy::load_trees(text);
    if (!loaded) {
      return std::move(loaded).take_error();
    }
    return policy::make_tree_model(std::move(*loaded));
  }
  static const std::vector<std::string>& feature_names(const Model& model) {
    return model.source.feature_names;
  }
  static Result<std::string> score_json(const Model& model, std::string_view text) {
    return policy::trees_json(model, text);
  }
  static Result<std::vector<double>> score_rows(const Model& model, const policy::F32Rows& rows) {
    return policy::tree_rows(model, rows);
  }
};

struct LinearKind {
  using Model = policy::LinearExport;
  static constexpr char kQualifiedName[] = "tallowmere._native.LinearScorer";
  static constexpr char kDoc[] = "LinearScorer(export_json)\n--\n\n";
  static constexpr char kNewFormat[] = "U:LinearScorer";
  static constexpr char kOnceName[] = "score_linear";
  static constexpr char kOnceFormat[] = "UU:score_linear";
  static constexpr char kOnceDoc[] = "score_linear(export_json, features_json)\n--\n\n";

  static Result<Model> load(std::string_view text) { return policy::load_linear(text); }
  static const std::vector<std::string>& feature_names(const Model& model) {
    return model.feature_names;
  }
  static Result<std::string> score_json(const Model& model, std::string_view text) {
    return policy::linear_json(model, text);
  }
  static Result<std::vector<double>> score_rows(const Model& model, const policy::F32Rows& rows) {
    return policy::linear_rows(model, rows);
  }
};

// --- The scorer classes ------------------------------------------------------------

// The model is set once by the constructor and only read afterwards, so any
// number of threads may score with it at once.
template <class Kind>
struct ScorerObject {
  PyObject_HEAD
  const typename Kind::Model* model;
};

template <class Kind>
const typename Kind::Model& model_of(PyObject* self) {
  return *reinterpret_cast<ScorerObject<Kind>*>(self)->model;
}

template <class Kind>
PyObject* scorer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {const_cast<char*>("export_json"), nullptr};
  PyObject* export_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, Kind::kNewFormat, keywords, &export_object)) {
    return nullptr;
  }
  std::string_view export_json;
  if (!utf8_view(export_object, export_json)) {
    return nullptr;
  }
  std::unique_ptr<typename Kind::Model> model;
  std::string error;
  const bool ran = run_released([&] {
    Result<typename Kind::Model> loaded = Kind::load(export_json);
    if (!loaded) {
      error = loaded.error();
      return;
    }
    model = std::make_unique<typename Kind::Model>(std::move(*loaded));
  });
  if (!ran) {
    return nullptr;
  }
  if (!model) {
    return raise_broker_error(error);
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) {
    return nullptr;  // The model goes with `model`.
  }
  reinterpret_cast<ScorerObject<Kind>*>(self)->model = model.release();
  return self;
}

template <class Kind>
void scorer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ScorerObject<Kind>*>(self)->model;
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Kind>
PyObject* scorer_score(PyObject* self, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {const_cast<char*>("features_json"), nullptr};
  PyObject* features_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:score", keywords, &features_object)) {
    return nullptr;
  }
  std::string_view features_json;
  if (!utf8_view(features_object, features_json)) {
    return nullptr;
  }
  const typename Kind::Model& model = model_of<Kind>(self);
  std::optional<Result<std::string>> text;
  if (!run_released([&] { text.emplace(Kind::score_json(model, features_json)); })) {
    return nullptr;
  }
  return to_str(*text);
}

template <class Kind>
PyObject* scorer_score_f32(PyObject* self, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {const_cast<char*>("features_le_bytes"),
                             const_cast<char*>("row_count"), nullptr};
  PyObject* bytes = nullptr;
  uint64_t row_count = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!O&:score_f32", keywords, &PyBytes_Type,
                                   &bytes, convert_row_count, &row_count)) {
    return nullptr;
  }
  // A bytes object never changes and the call holds a reference to it, so
  // its buffer is read in place without the lock.
  const std::span<const unsigned char> packed(
      reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes)),
      static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
  const typename Kind::Model& model = model_of<Kind>(self);
  std::optional<Result<std::vector<double>>> scores;
  const bool ran = run_released([&] {
    Result<policy::F32Rows> rows =
        policy::packed_rows(packed, row_count, Kind::feature_names(model).size());
    if (!rows) {
      scores.emplace(std::move(rows).take_error());
      return;
    }
    scores.emplace(Kind::score_rows(model, *rows));
  });
  if (!ran) {
    return nullptr;
  }
  return to_float_list(*scores);
}

template <class Kind>
PyObject* scorer_feature_names(PyObject* self, void* /*closure*/) {
  const std::vector<std::string>& names = Kind::feature_names(model_of<Kind>(self));
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(names.size()));
  if (list == nullptr) {
    return nullptr;
  }
  for (size_t i = 0; i < names.size(); ++i) {
    PyObject* name = PyUnicode_DecodeUTF8(names[i].data(),
                                          static_cast<Py_ssize_t>(names[i].size()), nullptr);
    if (name == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), name);
  }
  return list;
}

// A class made from a spec stores the docstring after the signature, here
// empty, as its __doc__; the class's __doc__ is None instead, while
// __text_signature__ still comes from the signature. Takes and returns a new
// reference, or NULL with an exception set.
PyObject* without_doc(PyObject* type) {
  if (type == nullptr) {
    return nullptr;
  }
  PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(type));
  const int set = dict == nullptr ? -1 : PyDict_SetItemString(dict, "__doc__", Py_None);
  Py_XDECREF(dict);
  if (set < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
  return type;
}

template <class Kind>
PyObject* new_scorer_type() {
  static PyMethodDef methods[] = {
      {"score", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scorer_score<Kind>)),
       METH_VARARGS | METH_KEYWORDS, "score($self, features_json)\n--\n\n"},
      {"score_f32",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scorer_score_f32<Kind>)),
       METH_VARARGS | METH_KEYWORDS, "score_f32($self, features_le_bytes, row_count)\n--\n\n"},
      {nullptr, nullptr, 0, nullptr},
  };
  static PyGetSetDef getset[] = {
      {"feature_names", scorer_feature_names<Kind>, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(scorer_new<Kind>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(scorer_dealloc<Kind>)},
      {Py_tp_doc, const_cast<char*>(Kind::kDoc)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {0, nullptr},
  };
  // Not a base type, no instance dictionary, no weak references.
  static PyType_Spec spec = {
      Kind::kQualifiedName,
      static_cast<int>(sizeof(ScorerObject<Kind>)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };
  // Created once, under the interpreter lock, and kept for the process.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = without_doc(PyType_FromSpec(&spec));
  }
  return Py_XNewRef(type);
}

// --- The one-shot functions ------------------------------------------------------

template <class Kind>
PyObject* score_once(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static char* keywords[] = {const_cast<char*>("export_json"),
                             const_cast<char*>("features_json"), nullptr};
  PyObject* export_object = nullptr;
  PyObject* features_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, Kind::kOnceFormat, keywords, &export_object,
                                   &features_object)) {
    return nullptr;
  }
  std::string_view export_json;
  std::string_view features_json;
  if (!utf8_view(export_object, export_json) || !utf8_view(features_object, features_json)) {
    return nullptr;
  }
  std::optional<Result<std::string>> text;
  const bool ran = run_released([&] {
    Result<typename Kind::Model> model = Kind::load(export_json);
    if (!model) {
      text.emplace(std::move(model).take_error());
      return;
    }
    text.emplace(Kind::score_json(*model, features_json));
  });
  if (!ran) {
    return nullptr;
  }
  return to_str(*text);
}

template <class Kind>
PyObject* new_score_once(PyObject* module) {
  static PyMethodDef definition = {
      Kind::kOnceName,
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(score_once<Kind>)),
      METH_VARARGS | METH_KEYWORDS, Kind::kOnceDoc};
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) {
    return nullptr;
  }
  PyObject* function = PyCFunction_NewEx(&definition, module, module_name);
  Py_DECREF(module_name);
  return function;
}

}  // namespace

PyObject* new_tree_scorer_type(PyObject* /*module*/) { return new_scorer_type<TreeKind>(); }
PyObject* new_linear_scorer_type(PyObject* /*module*/) { return new_scorer_type<LinearKind>(); }
PyObject* new_score_trees(PyObject* module) { return new_score_once<TreeKind>(module); }
PyObject* new_score_linear(PyObject* module) { return new_score_once<LinearKind>(module); }

}  // namespace tallowmere::lib
