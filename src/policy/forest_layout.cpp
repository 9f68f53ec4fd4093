#include "policy/forest_layout.h"

#include <algorithm>
#include <cstring>

namespace tallowmere::policy {

namespace {

// Rows walked side by side through one tree: enough independent walks to
// hide load latency, few enough that their values stay in the L1 cache.
constexpr size_t kBlockRows = 64;
// Trees deeper than this are walked row by row, stopping at the leaf, so a
// long path taken by few rows does not cost every row.
constexpr uint32_t kLockstepDepthLimit = 24;

void append_tree(const Tree& tree, Forest& forest) {
  const auto base = static_cast<uint32_t>(forest.nodes.size());
  const size_t count = tree.nodes.size();
  forest.nodes.resize(base + count);
  // Breadth-first: original index and depth of each placed node.
  std::vector<uint32_t> order(count);
  std::vector<uint32_t> depth(count);
  order[0] = 0;
  depth[0] = 0;
  size_t placed = 1;
  uint32_t max_depth = 0;
  for (size_t slot = 0; slot < count; ++slot) {
    const auto self = static_cast<uint32_t>(base + slot);
    ForestNode& out = forest.nodes[self];
    const Node& node = tree.nodes[order[slot]];
    if (const Leaf* leaf = std::get_if<Leaf>(&node)) {
      out = ForestNode{leaf->leaf, 0, {self, self}};
      max_depth = std::max(max_depth, depth[slot]);
      continue;
    }
    const Split& split = std::get<Split>(node);
    const uint32_t children[2] = {static_cast<uint32_t>(split.left),
                                  static_cast<uint32_t>(split.right)};
    out = ForestNode{split.threshold, static_cast<uint32_t>(split.feature_index), {}};
    for (int side = 0; side < 2; ++side) {
      order[placed] = children[side];
      depth[placed] = depth[slot] + 1;
      out.child[side] = static_cast<uint32_t>(base + placed);
      ++placed;
    }
  }
  forest.trees.push_back(ForestTree{base, max_depth});
}

float feature(const unsigned char* row, uint32_t k) {
  float value;
  std::memcpy(&value, row + size_t{k} * sizeof(float), sizeof(float));
  return value;
}

// One step: the comparison picks the child; -0.0 < 0.0 is false, so it goes right.
uint32_t step(const ForestNode& node, const unsigned char* row) {
  return node.child[!(feature(row, node.feature) < node.value)];
}

void lockstep_block(const Forest& forest, const ForestTree& tree, const unsigned char* rows,
                    size_t row_bytes, size_t count, float* margins) {
  const ForestNode* nodes = forest.nodes.data();
  uint32_t at[kBlockRows];
  for (size_t r = 0; r < count; ++r) at[r] = tree.root;
  for (uint32_t level = 0; level < tree.depth; ++level) {
    for (size_t r = 0; r < count; ++r) at[r] = step(nodes[at[r]], rows + r * row_bytes);
  }
  for (size_t r = 0; r < count; ++r) margins[r] += nodes[at[r]].value;
}

void walk_block(const Forest& forest, const ForestTree& tree, const unsigned char* rows,
                size_t row_bytes, size_t count, float* margins) {
  const ForestNode* nodes = forest.nodes.data();
  for (size_t r = 0; r < count; ++r) {
    uint32_t at = tree.root;
    while (nodes[at].child[0] != nodes[at].child[1]) at = step(nodes[at], rows + r * row_bytes);
    margins[r] += nodes[at].value;
  }
}

}  // namespace

Forest build_forest(const TreeExport& model) {
  Forest forest;
  size_t total = 0;
  for (const Tree& tree : model.trees) total += tree.nodes.size();
  forest.nodes.reserve(total);
  forest.trees.reserve(model.trees.size());
  for (const Tree& tree : model.trees) append_tree(tree, forest);
  forest.base_margin = model.base_margin;
  return forest;
}

void forest_margins(const Forest& forest, const F32Rows& rows, std::span<float> margins) {
  const size_t row_bytes = rows.width * sizeof(float);
  for (size_t first = 0; first < rows.count; first += kBlockRows) {
    const size_t count = std::min(kBlockRows, rows.count - first);
    const unsigned char* block = rows.data + first * row_bytes;
    float* out = margins.data() + first;
    std::fill(out, out + count, forest.base_margin);
    // Tree by tree, so each row's margin is summed in tree order.
    for (const ForestTree& tree : forest.trees) {
      if (tree.depth <= kLockstepDepthLimit) {
        lockstep_block(forest, tree, block, row_bytes, count, out);
      } else {
        walk_block(forest, tree, block, row_bytes, count, out);
      }
    }
  }
}

}  // namespace tallowmere::policy
