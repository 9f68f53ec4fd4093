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
#include "lib/callables.h"
#include "lib/native_call.h"
#include "policy/feature_input.h"
#include "policy/linear_export.h"
#include "policy/linear_scoring.h"
#include "policy/tree_export.h"
#include "policy/tree_scoring.h"

namespace tallowmere::lib {
namespace {

PyObject* to_float_list(const Result<std::vector<double>>& scores) {
  if (!scores) return raise_broker_error(scores.error());
  return new_list(scores->size(), [&](size_t i) { return PyFloat_FromDouble((*scores)[i]); });
}

// --- The two model kinds ---------------------------------------------------------

struct TreeKind {
  using Model = policy::TreeModel;
  static constexpr char kQualifiedName[] = "tallowmere._native.TreeScorer";
  static constexpr char kName[] = "TreeScorer";
  static constexpr char kOnceName[] = "score_trees";

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
  static constexpr char kName[] = "LinearScorer";
  static constexpr char kOnceName[] = "score_linear";

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

// The two kinds' callables differ only in their names.
template <class Kind>
struct Declared {
  static constexpr Signature kNew = function(Kind::kName, {text("export_json")});
  static constexpr Signature kScore = method(Kind::kName, "score", {text("features_json")});
  static constexpr Signature kScoreF32 =
      method(Kind::kName, "score_f32", {bytes("features_le_bytes"), count("row_count")});
  static constexpr Signature kOnce =
      function(Kind::kOnceName, {text("export_json"), text("features_json")});
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
PyObject* scorer_new(PyTypeObject* type, const Arguments& arguments) {
  const std::string_view export_json = arguments[0].text();
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
}

template <class Kind>
void scorer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ScorerObject<Kind>*>(self)->model;
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Kind>
PyObject* scorer_score(PyObject* self, const Arguments& arguments) {
  const std::string_view features_json = arguments[0].text();
  const typename Kind::Model& model = model_of<Kind>(self);
  std::optional<Result<std::string>> text;
  run_released([&] { text.emplace(Kind::score_json(model, features_json)); });
  return str_or_raise(*text);
}

template <class Kind>
PyObject* scorer_score_f32(PyObject* self, const Arguments& arguments) {
  // The call holds a reference to the bytes object for its whole length.
  const std::span<const unsigned char> packed = arguments[0].bytes();
  const uint64_t row_count = arguments[1].count();
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
}

template <class Kind>
PyObject* scorer_feature_names(PyObject* self, void* /*closure*/) {
  const std::vector<std::string>& names = Kind::feature_names(model_of<Kind>(self));
  return new_list(names.size(), [&](size_t i) { return new_str(names[i]); });
}

template <class Kind>
PyObject* new_scorer_type() {
  using Declared = Declared<Kind>;
  static PyMethodDef methods[] = {
      definition<Declared::kScore, scorer_score<Kind>>(),
      definition<Declared::kScoreF32, scorer_score_f32<Kind>>(),
      {nullptr, nullptr, 0, nullptr},
  };
  static PyGetSetDef getset[] = {
      {"feature_names", scorer_feature_names<Kind>, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(bound_new<Declared::kNew, scorer_new<Kind>>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(scorer_dealloc<Kind>)},
      {Py_tp_doc, class_docstring<Declared::kNew>()},
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
  static PyObject* type = nullptr;
  return new_class(type, spec);
}

// --- The one-shot functions ------------------------------------------------------

// Loads the model, scores with it and drops it; an export error wins over
// anything wrong with the features.
template <class Kind>
PyObject* score_once(PyObject* /*module*/, const Arguments& arguments) {
  const std::string_view export_json = arguments[0].text();
  const std::string_view features_json = arguments[1].text();
  std::optional<Result<std::string>> text;
  run_released([&] {
    Result<typename Kind::Model> model = Kind::load(export_json);
    if (!model) {
      text.emplace(std::move(model).take_error());
      return;
    }
    text.emplace(Kind::score_json(*model, features_json));
  });
  return str_or_raise(*text);
}

template <class Kind>
PyObject* new_score_once(PyObject* module) {
  static PyMethodDef function = definition<Declared<Kind>::kOnce, score_once<Kind>>();
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) {
    return nullptr;
  }
  PyObject* bound = PyCFunction_NewEx(&function, module, module_name);
  Py_DECREF(module_name);
  return bound;
}

}  // namespace

PyObject* new_tree_scorer_type(PyObject* /*module*/) { return new_scorer_type<TreeKind>(); }
PyObject* new_linear_scorer_type(PyObject* /*module*/) { return new_scorer_type<LinearKind>(); }
PyObject* new_score_trees(PyObject* module) { return new_score_once<TreeKind>(module); }
PyObject* new_score_linear(PyObject* module) { return new_score_once<LinearKind>(module); }

}  // namespace tallowmere::lib
