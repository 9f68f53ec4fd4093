// The tree-ensemble export: its records as read, and load_trees, which reads
// and validates the export text into a model or refuses it with one message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "foundation/result.h"
#include "policy/calibration.h"

namespace tallowmere::policy {

inline constexpr uint64_t kTreeExportLimitBytes = 67108864;
inline constexpr uint64_t kNodeTotalLimit = 1000000;
// Bounds on the feature list and the tree list of a tree export.
inline constexpr size_t kMaxFeatures = 4096;
inline constexpr size_t kMaxTrees = 4096;

struct Leaf {
  uint64_t node_id = 0;
  float leaf = 0.0f;
};

struct Split {
  uint64_t node_id = 0;
  uint64_t feature_index = 0;
  float threshold = 0.0f;
  uint64_t left = 0;
  uint64_t right = 0;
  uint64_t missing = 0;
};

using Node = std::variant<Leaf, Split>;

struct Tree {
  std::vector<Node> nodes;
};

struct TreeExport {
  uint32_t schema_version = 0;
  std::vector<std::string> feature_names;
  float base_margin = 0.0f;
  std::vector<Tree> trees;
  Calibration calibration;
};

// Size limit, strict reading, then validation of the header and of each tree;
// the first failure decides.
Result<TreeExport> load_trees(std::string_view export_json);

}  // namespace tallowmere::policy
