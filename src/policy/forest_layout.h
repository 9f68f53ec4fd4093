// A second, flattened layout of a tree ensemble, built once per model for
// scoring. The export itself stays as read; this copy only changes where
// nodes live, never what a row's margin is.
//
// Nodes of all trees share one array, each tree in breadth-first order so
// the levels a row passes through sit close together. A leaf points to itself
// on both sides and keeps its value where a split keeps its threshold, so a
// row can take a fixed number of steps per tree without branching on the
// node kind, and several rows can walk one tree side by side.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "policy/feature_input.h"
#include "policy/tree_export.h"

namespace tallowmere::policy {

struct alignas(16) ForestNode {
  float value;          // split threshold, or leaf value
  uint32_t feature;     // 0 for a leaf
  uint32_t child[2];    // [0] when value < threshold, else [1]; a leaf's own index
};

struct ForestTree {
  uint32_t root;
  uint32_t depth;  // splits on the longest path from the root
};

struct Forest {
  std::vector<ForestNode> nodes;
  std::vector<ForestTree> trees;
  float base_margin = 0.0f;
};

// Needs a model that passed load_trees.
Forest build_forest(const TreeExport& model);

// margins[r] = base margin + the leaf of every tree in tree order, rounded to
// float after each addition. Rows must be rows.width == feature count wide.
void forest_margins(const Forest& forest, const F32Rows& rows, std::span<float> margins);

}  // namespace tallowmere::policy
