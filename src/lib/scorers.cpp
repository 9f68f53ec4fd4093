#include "lib/scorers.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"
#include "lib/arguments.h"
#include "lib/broker_error.h"
#include "lib/native_call.h"
#include "policy/feature_input.h"
#include "policy/linear_export.h"
#include "policy/linear_scoring.h"
#include "policy/tree_export.h"
#include "policy/tree_scoring.h"

namespace tallowmere::lib {
namespace {

// --- Conversions ---------------------------------------------------------------

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

// A bytes object, or an instance of a subclass of bytes: immutable, so its
// buffer can be read in place without the interpreter lock.
bool packed_argument(PyObject* object, const char* name, std::span<const unsigned char>& out) {
  if (!PyBytes_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': must be bytes, not %.50s", name,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  out = std::span<const unsigned char>(
      reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object)),
      static_cast<size_t>(PyBytes_GET_SIZE(object)));
  return true;
}

// --- The two model kinds ---------------------------------------------------------

struct TreeKind {
  using Model = policy::TreeModel;
  static constexpr char kQualifiedName[] = "tallowmere._native.TreeScorer";
  static constexpr char kDoc[] = "TreeScorer(export_json)\n--\n\n";
  static constexpr Signature kNew{"TreeScorer", 1, 1, {"export_json"}};
  static constexpr Signature kScore{"TreeScorer.score", 1, 1, {"features_json"}};
  static constexpr Signature kScoreF32{
      "TreeScorer.score_f32", 2, 2, {"features_le_bytes", "row_count"}};
  static constexpr Signature kOnce{"score_trees", 2, 2, {"export_json", "features_json"}};
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
  static constexpr Signature kNew{"LinearScorer", 1, 1, {"export_json"}};
  static constexpr Signature kScore{"LinearScorer.score", 1, 1, {"features_json"}};
  static constexpr Signature kScoreF32{
      "LinearScorer.score_f32", 2, 2, {"features_le_bytes", "row_count"}};
  static constexpr Signature kOnce{"score_linear", 2, 2, {"export_json", "features_json"}};
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
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::string_view export_json;
    if (!bind_tuple(Kind::kNew, args, kwargs, bound) ||
        !text_argument(bound[0], "export_json", export_json)) {
      return nullptr;
    }
    std::unique_ptr<typename Kind::Model> model;
    std::string error;
    run_released([&] {
      Result<typename Kind::Model> loaded = Kind::load(export_json);
      if (!loaded) {
        error = std::move(loaded).take_error().text;
        return;
      }
      model = std::make_unique<typename Kind::Model>(std::move(*loaded));
    });
    if (!model) {
      return raise_broker_error(error);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
      return nullptr;  // The model goes with `model`.
    }
    reinterpret_cast<ScorerObject<Kind>*>(self)->model = model.release();
    return self;
  });
}

template <class Kind>
void scorer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ScorerObject<Kind>*>(self)->model;
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Kind>
PyObject* scorer_score(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::string_view features_json;
    if (!bind_vector(Kind::kScore, args, nargs, kwnames, bound) ||
        !text_argument(bound[0], "features_json", features_json)) {
      return nullptr;
    }
    const typename Kind::Model& model = model_of<Kind>(self);
    std::optional<Result<std::string>> text;
    run_released([&] { text.emplace(Kind::score_json(model, features_json)); });
    return to_str(*text);
  });
}

template <class Kind>
PyObject* scorer_score_f32(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::span<const unsigned char> packed;
    uint64_t row_count = 0;
    if (!bind_vector(Kind::kScoreF32, args, nargs, kwnames, bound) ||
        !packed_argument(bound[0], "features_le_bytes", packed) ||
        !count_argument(bound[1], "row_count", row_count)) {
      return nullptr;
    }
    // The call holds a reference to the bytes object for its whole length.
    const typename Kind::Model& model = model_of<Kind>(self);
    std::optional<Result<std::vector<double>>> scores;
    run_released([&] {
      Result<policy::F32Rows> rows =
          policy::packed_rows(packed, row_count, Kind::feature_names(model).size());
      if (!rows) {
        scores.emplace(std::move(rows).take_error());
        return;
      }
      scores.emplace(Kind::score_rows(model, *rows));
    });
    return to_float_list(*scores);
  });
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

template <class Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <class Kind>
PyObject* new_scorer_type() {
  static PyMethodDef methods[] = {
      {"score", as_cfunction(scorer_score<Kind>), METH_FASTCALL | METH_KEYWORDS,
       "score($self, features_json)\n--\n\n"},
      {"score_f32", as_cfunction(scorer_score_f32<Kind>), METH_FASTCALL | METH_KEYWORDS,
       "score_f32($self, features_le_bytes, row_count)\n--\n\n"},
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

// Loads the model, scores with it and drops it; an export error wins over
// anything wrong with the features.
template <class Kind>
PyObject* score_once(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  return guarded_call([&]() -> PyObject* {
    PyObject* bound[kMaxParameters];
    std::string_view export_json;
    std::string_view features_json;
    if (!bind_vector(Kind::kOnce, args, nargs, kwnames, bound) ||
        !text_argument(bound[0], "export_json", export_json) ||
        !text_argument(bound[1], "features_json", features_json)) {
      return nullptr;
    }
    std::optional<Result<std::string>> text;
    run_released([&] {
      Result<typename Kind::Model> model = Kind::load(export_json);
      if (!model) {
        text.emplace(std::move(model).take_error());
        return;
      }
      text.emplace(Kind::score_json(*model, features_json));
    });
    return to_str(*text);
  });
}

template <class Kind>
PyObject* new_score_once(PyObject* module) {
  static PyMethodDef definition = {Kind::kOnce.function, as_cfunction(score_once<Kind>),
                                   METH_FASTCALL | METH_KEYWORDS, Kind::kOnceDoc};
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
