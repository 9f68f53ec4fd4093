// The scorer bindings: the TreeScorer and LinearScorer classes and the
// one-shot functions score_trees and score_linear.
#pragma once

#include <Python.h>

namespace tallowmere::lib {

// New references; NULL with an exception set on failure. The classes are
// created once per process and shared.
PyObject* new_tree_scorer_type(PyObject* module);
PyObject* new_linear_scorer_type(PyObject* module);
// Functions bound to `module`.
PyObject* new_score_trees(PyObject* module);
PyObject* new_score_linear(PyObject* module);

}  // namespace tallowmere::lib
