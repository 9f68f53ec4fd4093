// A second, flattened layout of a tree ensemble, built once per model for
// scoring. The export itself stays as read; this copy only changes where
// nodes live, never what a row's margin is.
//
// A tree no deeper than kCompactDepthLimit is stored complete: every path
// padded to the tree's depth, the children of node i at 2i+1 and 2i+2, and
// its leaf values apart from its splits. A leaf above the last level becomes
// splits whose every descendant leaf holds its value, so whichever way those
// go, the row lands on that value. Rows walk such a tree a fixed number of
// steps, several side by side, their positions held in registers.
//
// Deeper trees keep explicit children in one shared array, each tree in
// breadth-first order so the levels a row passes through sit close together.
// A leaf points to itself on both sides and keeps its value where a split
// keeps its threshold, so a row can take a fixed number of steps per tree
// without branching on the node kind.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "policy/feature_input.h"
#include "policy/tree_export.h"

namespace tallowmere::policy {

// 2^10 leaves of 4 bytes and 2^10 - 1 splits of 8: 12 KiB at most per tree.
inline constexpr uint32_t kCompactDepthLimit = 10;

struct CompactSplit {
  float threshold;
  uint32_t feature;  // times the bytes of one feature's column in a row group
};

struct alignas(16) ForestNode {
  float value;          // split threshold, or leaf value
  uint32_t feature;     // 0 for a leaf
  uint32_t child[2];    // [0] when value < threshold, else [1]; a leaf's own index
};

struct ForestTree {
  uint32_t depth;  // splits on the longest path from the root
  bool compact;    // depth <= kCompactDepthLimit
  // Compact: the first split in `splits` and the first leaf in `leaves`.
  // Otherwise: the root in `nodes`.
  uint32_t first;
  uint32_t first_leaf;
};

struct Forest {
  std::vector<CompactSplit> splits;
  std::vector<float> leaves;
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
