// Tree scoring, checked bit for bit against a plain walk of the export as
// read, in float32 with a double logit, written here independently.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "policy/score_array.h"
#include "policy/tree_export.h"
#include "policy/tree_scoring.h"
#include "policy_test_support.h"

namespace tallowmere::policy {
namespace {

using testing::oracle_logistic;
using testing::text_or_error;
using testing::TreeText;

// --- The oracle -----------------------------------------------------------------

double oracle_score(const TreeExport& model, std::span<const float> row) {
  float margin = model.base_margin;
  for (const Tree& tree : model.trees) {
    uint64_t at = 0;
    while (const Split* split = std::get_if<Split>(&tree.nodes[at])) {
      at = row[split->feature_index] < split->threshold ? split->left : split->right;
    }
    margin += std::get<Leaf>(tree.nodes[at]).leaf;
  }
  const double product = model.calibration.coef * static_cast<double>(margin);
  return oracle_logistic(model.calibration.intercept + product);
}

// --- Random models ----------------------------------------------------------------

// Thresholds and feature values come partly from one small grid so that
// rows often hit a threshold exactly, including zeros of either sign.
const std::vector<float> kGrid = {-2.0f, -0.5f, -0.0f, 0.0f, 0.5f, 1.0f, 3.25f};

struct Generator {
  std::mt19937_64 random;
  size_t features;

  float value() {
    if (random() % 2 == 0) return kGrid[random() % kGrid.size()];
    return std::uniform_real_distribution<float>(-4.0f, 4.0f)(random);
  }

  // Pre-order numbering gives every child a larger index than its parent.
  void grow(std::vector<Node>& nodes, int depth, bool chain) {
    const uint64_t self = nodes.size();
    const bool leaf = depth == 0 || (!chain && random() % 5 == 0);
    if (leaf) {
      nodes.push_back(Leaf{self, std::uniform_real_distribution<float>(-1.0f, 1.0f)(random)});
      return;
    }
    nodes.push_back(Split{self, random() % features, value(), 0, 0, 0});
    const uint64_t left = nodes.size();
    if (chain) {
      nodes.push_back(Leaf{left, 0.25f});
    } else {
      grow(nodes, depth - 1, false);
    }
    const uint64_t right = nodes.size();
    grow(nodes, depth - 1, chain);
    Split& split = std::get<Split>(nodes[self]);
    split.left = left;
    split.right = right;
    split.missing = random() % 2 ? left : right;
  }

  TreeExport model(size_t trees, int max_depth, size_t deep_chains) {
    TreeExport out;
    out.schema_version = 1;
    for (size_t k = 0; k < features; ++k) out.feature_names.push_back(std::to_string(k).insert(0, 1, 'f'));
    out.base_margin = value();
    for (size_t t = 0; t < trees; ++t) {
      out.trees.emplace_back();
      // Some trees are long chains, deeper than the lockstep walk allows.
      const bool chain = t < deep_chains;
      grow(out.trees.back().nodes, chain ? 40 : static_cast<int>(random() % (max_depth + 1)), chain);
    }
    out.calibration = Calibration{"platt", 0.75, -0.125};
    return out;
  }

  JsonRows<float> rows(size_t count) {
    JsonRows<float> out;
    for (size_t r = 0; r < count; ++r) {
      for (size_t k = 0; k < features; ++k) out.values.push_back(value());
      out.ends.push_back(out.values.size());
    }
    return out;
  }
};

// Scores are compared as their shortest texts, which tell every bit apart.
std::string scores_text(const Result<std::vector<double>>& scores) {
  return scores ? score_array_text(*scores) : scores.error();
}

TEST(TreeScoring, MatchesThePlainWalkBitForBit) {
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    // Wide rows on the last seed make many small blocks of rows.
    Generator gen{std::mt19937_64(seed), seed == 12 ? 300 : 1 + seed % 9};
    // Up to depth 12: trees stored complete and trees just too deep for that.
    const TreeModel model = make_tree_model(gen.model(20 + seed * 7, 12, seed % 3));
    // 300 rows: several groups and blocks, and a partial one of each; a few
    // seeds score fewer rows than a group.
    const JsonRows<float> rows = gen.rows(seed % 4 == 1 ? seed : 300);
    std::vector<double> oracle;
    for (size_t r = 0; r < rows.count(); ++r) oracle.push_back(oracle_score(model.source, rows.row(r)));
    const std::string expected = score_array_text(oracle);

    EXPECT_EQ(scores_text(tree_rows(model, rows)), expected);
    std::vector<unsigned char> packed(rows.values.size() * 4);
    std::memcpy(packed.data(), rows.values.data(), packed.size());
    Result<F32Rows> view = packed_rows(packed, rows.count(), gen.features);
    ASSERT_TRUE(view) << view.error();
    EXPECT_EQ(scores_text(tree_rows(model, *view)), expected);
  }
}

// --- Fixed models -------------------------------------------------------------------

TreeModel load(const std::string& text) {
  Result<TreeExport> loaded = load_trees(text);
  EXPECT_TRUE(loaded) << loaded.error();
  return make_tree_model(loaded ? std::move(*loaded) : TreeExport{});
}

const std::string kExample = TreeText{.trees = testing::one_tree(
    R"({"node_id":0,"feature_index":1,"threshold":0.5,"left":1,"right":2,"missing":1},)"
    R"({"node_id":1,"leaf":-0.25},{"node_id":2,"leaf":0.75})")}.text();

std::string scored(const TreeModel& model, const std::string& features) {
  return text_or_error(trees_json(model, features));
}

// Feature texts are read as floats before they are compared: 0.49999999
// rounds to the threshold 0.5 and goes right, 0.4999999 stays left.
TEST(TreeScoring, FeatureTextsAreReadAsFloats) {
  const TreeModel model = load(kExample);
  const double left = oracle_logistic(-0.25);
  const double right = oracle_logistic(0.75);
  EXPECT_EQ(scored(model, "[[30,0.49999999],[30,0.4999999]]"),
            score_array_text(std::vector<double>{right, left}));
}

// A finite margin whose calibrated logit overflows.
TEST(TreeScoring, LogitOverflow) {
  const TreeModel model = load(TreeText{.features = R"(["a"])", .trees = "[[[[0,-1]]]]",
                                        .calibration = R"({"kind":"platt","coef":1e308,"intercept":-1e308})"}
                                   .text());
  EXPECT_EQ(scored(model, "[[0]]"), "numerical_overflow");
}

// A split on feature 0: below 0 a small leaf, otherwise a leaf that
// overflows the margin.
const std::string kOverflowRight =
    TreeText{.features = R"(["a"])", .base = "3e38",
             .trees = testing::one_tree(R"([0,0,0.0,1,2,1],[1,1],[2,3e38])")}.text();

TEST(TreeScoring, RowsFailInOrder) {
  const TreeModel model = load(kOverflowRight);
  const std::string dimension = "invalid_features: wrong dimension or nonfinite number";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[[-1]]", score_array_text(std::vector<double>{1.0})},
      {"[[1]]", "numerical_overflow"},
      {"[[-1],[1],[]]", "numerical_overflow"},
      {"[[-1],[],[1]]", dimension},
      {"[[-1],[1e39]]", dimension},
      {"[[-1],[-1,2]]", dimension},
      {"[[],[1]]", dimension},
      {"[]", "[]"},
  };
  for (const auto& [rows, result] : cases) {
    SCOPED_TRACE(rows);
    EXPECT_EQ(scored(model, rows), result);
  }
}

TEST(TreeScoring, RowLimit) {
  const TreeModel model = load(kExample);
  Result<std::string> full = trees_json(model, testing::json_array("[1,0]", 4096));
  ASSERT_TRUE(full) << full.error();
  EXPECT_EQ(std::count(full->begin(), full->end(), ','), 4095);
  // The count is checked before any row.
  const std::string empty_rows = testing::json_array("[]", 4097);
  EXPECT_EQ(scored(model, empty_rows), "policy_row_limit");
  // Reading errors come before the count.
  EXPECT_EQ(scored(model, empty_rows + "x"),
            "invalid_features: trailing characters" + testing::at_column(empty_rows.size()));
}

}  // namespace
}  // namespace tallowmere::policy
