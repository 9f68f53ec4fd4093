#include "policy/forest_layout.h"

#include <algorithm>
#include <cstring>

namespace tallowmere::policy {

namespace {

// Rows walked side by side through a compact tree, their values transposed
// so that feature k of row r sits at k * kGroupRows + r.
constexpr size_t kGroupRows = 16;
constexpr uint32_t kColumnBytes = kGroupRows * sizeof(float);
// The transposed rows of one block stay in the first cache levels while
// every tree walks them.
constexpr size_t kBlockBytes = 32768;
// Rows walked side by side through a deeper tree: enough independent walks
// to hide load latency, few enough that their values stay in the L1 cache.
constexpr size_t kLockstepRows = 64;
// Trees deeper than this are walked row by row, stopping at the leaf, so a
// long path taken by few rows does not cost every row.
constexpr uint32_t kLockstepDepthLimit = 24;

// Children always come after their parent, so one pass finds every depth.
uint32_t tree_depth(const Tree& tree) {
  std::vector<uint32_t> depth(tree.nodes.size(), 0);
  uint32_t deepest = 0;
  for (size_t i = 0; i < tree.nodes.size(); ++i) {
    deepest = std::max(deepest, depth[i]);
    if (const Split* split = std::get_if<Split>(&tree.nodes[i])) {
      depth[split->left] = depth[split->right] = depth[i] + 1;
    }
  }
  return deepest;
}

void append_compact(const Tree& tree, uint32_t depth, Forest& forest) {
  const auto first = static_cast<uint32_t>(forest.splits.size());
  const auto first_leaf = static_cast<uint32_t>(forest.leaves.size());
  const uint32_t bottom = (uint32_t{1} << depth) - 1;  // position of the first leaf
  // Padding splits read feature 0, which every model has.
  forest.splits.resize(first + bottom, CompactSplit{0.0f, 0});
  forest.leaves.resize(first_leaf + bottom + 1);
  struct Placing {
    uint64_t node;
    uint32_t position;
    uint32_t level;
  };
  std::vector<Placing> pending{{0, 0, 0}};
  while (!pending.empty()) {
    const Placing at = pending.back();
    pending.pop_back();
    const Node& node = tree.nodes[at.node];
    if (const Leaf* leaf = std::get_if<Leaf>(&node)) {
      // Every leaf under this position: the leftmost descendant on the last
      // level and the ones after it.
      const uint32_t span = uint32_t{1} << (depth - at.level);
      float* out = forest.leaves.data() + first_leaf + (at.position + 1) * span - 1 - bottom;
      std::fill(out, out + span, leaf->leaf);
      continue;
    }
    const Split& split = std::get<Split>(node);
    forest.splits[first + at.position] =
        CompactSplit{split.threshold, static_cast<uint32_t>(split.feature_index) * kColumnBytes};
    pending.push_back({split.left, 2 * at.position + 1, at.level + 1});
    pending.push_back({split.right, 2 * at.position + 2, at.level + 1});
  }
  forest.trees.push_back(ForestTree{depth, true, first, first_leaf});
}

void append_explicit(const Tree& tree, uint32_t depth, Forest& forest) {
  const auto base = static_cast<uint32_t>(forest.nodes.size());
  const size_t count = tree.nodes.size();
  forest.nodes.resize(base + count);
  // Breadth-first: the original index of each placed node.
  std::vector<uint32_t> order(count);
  order[0] = 0;
  size_t placed = 1;
  for (size_t slot = 0; slot < count; ++slot) {
    const auto self = static_cast<uint32_t>(base + slot);
    ForestNode& out = forest.nodes[self];
    const Node& node = tree.nodes[order[slot]];
    if (const Leaf* leaf = std::get_if<Leaf>(&node)) {
      out = ForestNode{leaf->leaf, 0, {self, self}};
      continue;
    }
    const Split& split = std::get<Split>(node);
    const uint32_t children[2] = {static_cast<uint32_t>(split.left),
                                  static_cast<uint32_t>(split.right)};
    out = ForestNode{split.threshold, static_cast<uint32_t>(split.feature_index), {}};
    for (int side = 0; side < 2; ++side) {
      order[placed] = children[side];
      out.child[side] = static_cast<uint32_t>(base + placed);
      ++placed;
    }
  }
  forest.trees.push_back(ForestTree{depth, false, base, 0});
}

// One group of transposed rows through a compact tree. The comparison picks
// the child; -0.0 < 0.0 is false, so it goes right.
void compact_group(const Forest& forest, const ForestTree& tree, const unsigned char* columns,
                   float* margins) {
  const CompactSplit* splits = forest.splits.data() + tree.first;
  size_t at[kGroupRows] = {};  // 64-bit, so that no step widens it
  for (uint32_t level = 0; level < tree.depth; ++level) {
#pragma GCC unroll 16
    for (size_t r = 0; r < kGroupRows; ++r) {
      const CompactSplit split = splits[at[r]];
      float value;
      std::memcpy(&value, columns + split.feature + r * sizeof(float), sizeof(float));
      at[r] = 2 * at[r] + 2 - (value < split.threshold);
    }
  }
  const float* leaves = forest.leaves.data() + tree.first_leaf;
  const size_t bottom = (size_t{1} << tree.depth) - 1;
#pragma GCC unroll 16
  for (size_t r = 0; r < kGroupRows; ++r) margins[r] += leaves[at[r] - bottom];
}

float feature(const unsigned char* row, uint32_t k) {
  float value;
  std::memcpy(&value, row + size_t{k} * sizeof(float), sizeof(float));
  return value;
}

// Fewer rows than a group walk as they stand, a few side by side: padding
// them to a group would cost a whole group's steps for each one, and single
// rows are a common call.
template <size_t kRows>
void compact_lanes(const Forest& forest, const ForestTree& tree, const unsigned char* rows,
                   size_t row_bytes, float* margins) {
  const CompactSplit* splits = forest.splits.data() + tree.first;
  size_t at[kRows] = {};
  for (uint32_t level = 0; level < tree.depth; ++level) {
#pragma GCC unroll 4
    for (size_t r = 0; r < kRows; ++r) {
      const CompactSplit split = splits[at[r]];
      const float value = feature(rows + r * row_bytes, split.feature / kColumnBytes);
      at[r] = 2 * at[r] + 2 - (value < split.threshold);
    }
  }
  const float* leaves = forest.leaves.data() + tree.first_leaf;
  const size_t bottom = (size_t{1} << tree.depth) - 1;
#pragma GCC unroll 4
  for (size_t r = 0; r < kRows; ++r) margins[r] += leaves[at[r] - bottom];
}

void compact_rows(const Forest& forest, const ForestTree& tree, const unsigned char* rows,
                  size_t row_bytes, size_t count, float* margins) {
  size_t r = 0;
  for (; r + 4 <= count; r += 4) {
    compact_lanes<4>(forest, tree, rows + r * row_bytes, row_bytes, margins + r);
  }
  for (; r < count; ++r) {
    compact_lanes<1>(forest, tree, rows + r * row_bytes, row_bytes, margins + r);
  }
}

uint32_t step(const ForestNode& node, const unsigned char* row) {
  return node.child[!(feature(row, node.feature) < node.value)];
}

void lockstep_rows(const Forest& forest, const ForestTree& tree, const unsigned char* rows,
                   size_t row_bytes, size_t count, float* margins) {
  const ForestNode* nodes = forest.nodes.data();
  uint32_t at[kLockstepRows];
  for (size_t first = 0; first < count; first += kLockstepRows) {
    const size_t n = std::min(kLockstepRows, count - first);
    const unsigned char* block = rows + first * row_bytes;
    for (size_t r = 0; r < n; ++r) at[r] = tree.first;
    for (uint32_t level = 0; level < tree.depth; ++level) {
      for (size_t r = 0; r < n; ++r) at[r] = step(nodes[at[r]], block + r * row_bytes);
    }
    for (size_t r = 0; r < n; ++r) margins[first + r] += nodes[at[r]].value;
  }
}

void walk_rows(const Forest& forest, const ForestTree& tree, const unsigned char* rows,
               size_t row_bytes, size_t count, float* margins) {
  const ForestNode* nodes = forest.nodes.data();
  for (size_t r = 0; r < count; ++r) {
    uint32_t at = tree.first;
    while (nodes[at].child[0] != nodes[at].child[1]) at = step(nodes[at], rows + r * row_bytes);
    margins[r] += nodes[at].value;
  }
}

// Rows [first, first + count) transposed group by group; count is a whole
// number of groups.
void transpose(const F32Rows& rows, size_t first, size_t count, float* columns) {
  for (size_t group = 0; group * kGroupRows < count; ++group) {
    float* out = columns + group * kGroupRows * rows.width;
    const size_t row0 = first + group * kGroupRows;
    for (size_t r = 0; r < kGroupRows; ++r) {
      for (size_t k = 0; k < rows.width; ++k) out[k * kGroupRows + r] = rows.at(row0 + r, k);
    }
  }
}

}  // namespace

Forest build_forest(const TreeExport& model) {
  Forest forest;
  forest.trees.reserve(model.trees.size());
  for (const Tree& tree : model.trees) {
    const uint32_t depth = tree_depth(tree);
    if (depth <= kCompactDepthLimit) {
      append_compact(tree, depth, forest);
    } else {
      append_explicit(tree, depth, forest);
    }
  }
  forest.base_margin = model.base_margin;
  return forest;
}

void forest_margins(const Forest& forest, const F32Rows& rows, std::span<float> margins) {
  const size_t row_bytes = rows.width * sizeof(float);
  const size_t group_values = kGroupRows * rows.width;
  const size_t block_rows =
      kGroupRows * std::max<size_t>(1, kBlockBytes / (group_values * sizeof(float)));
  const size_t most_rows = std::min(block_rows, rows.count);
  std::vector<float> columns(most_rows / kGroupRows * group_values);
  std::vector<float> sums(most_rows);
  for (size_t first = 0; first < rows.count; first += block_rows) {
    const size_t count = std::min(block_rows, rows.count - first);
    const size_t groups = count / kGroupRows;
    const size_t grouped_rows = groups * kGroupRows;
    transpose(rows, first, grouped_rows, columns.data());
    std::fill(sums.begin(), sums.end(), forest.base_margin);
    const unsigned char* block = rows.data + first * row_bytes;
    const auto* grouped = reinterpret_cast<const unsigned char*>(columns.data());
    // Tree by tree, so each row's margin is summed in tree order.
    for (const ForestTree& tree : forest.trees) {
      if (tree.compact) {
        for (size_t g = 0; g < groups; ++g) {
          compact_group(forest, tree, grouped + g * group_values * sizeof(float),
                        sums.data() + g * kGroupRows);
        }
        compact_rows(forest, tree, block + grouped_rows * row_bytes, row_bytes,
                     count - grouped_rows, sums.data() + grouped_rows);
      } else if (tree.depth <= kLockstepDepthLimit) {
        lockstep_rows(forest, tree, block, row_bytes, count, sums.data());
      } else {
        walk_rows(forest, tree, block, row_bytes, count, sums.data());
      }
    }
    std::copy_n(sums.begin(), count, margins.begin() + first);
  }
}

}  // namespace tallowmere::policy
