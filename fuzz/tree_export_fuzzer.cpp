// Tree exports on arbitrary text. A model that loads must score any finite
// rows of its width without fault, bit for bit as a plain walk of the
// export's own nodes scores them, and the same from JSON text as from packed
// floats. A JSON row that is not finite after the scored ones is refused in
// its turn; packed rows holding one are refused whole.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "fuzz_check.h"
#include "edge_rows.h"
#include "policy/calibration.h"
#include "policy/feature_input.h"
#include "policy/logistic.h"
#include "policy/tree_export.h"
#include "policy/tree_scoring.h"

namespace {

using namespace tallowmere;
using namespace tallowmere::policy;
using fuzz::require;

float walked_margin(const TreeExport& model, std::span<const float> row) {
  float margin = model.base_margin;
  for (const Tree& tree : model.trees) {
    uint64_t at = 0;
    for (size_t steps = 0;; ++steps) {
      require(at < tree.nodes.size() && steps < tree.nodes.size(),
              "a walk from the root reaches a leaf inside its tree");
      if (const Leaf* leaf = std::get_if<Leaf>(&tree.nodes[at])) {
        margin += leaf->leaf;
        break;
      }
      const Split& split = std::get<Split>(tree.nodes[at]);
      require(split.feature_index < row.size(), "a split reads a feature of the row");
      at = row[split.feature_index] < split.threshold ? split.left : split.right;
    }
  }
  return margin;
}

// The scores of the rows in order, or the error of the first row that fails.
Result<std::vector<double>> expected_scores(const TreeExport& model,
                                            const std::vector<float>& values, size_t width,
                                            bool last_row_bad) {
  std::vector<double> scores;
  const size_t rows = values.size() / width;
  for (size_t r = 0; r < rows; ++r) {
    const std::span<const float> row(values.data() + r * width, width);
    if (last_row_bad && r + 1 == rows) {
      return fail(Code::kInvalidFeatures, kBadRowDetail);
    }
    const float margin = walked_margin(model, row);
    const double logit = platt_logit(model.calibration, static_cast<double>(margin));
    if (!std::isfinite(margin) || !std::isfinite(logit)) return fail(Code::kNumericalOverflow);
    scores.push_back(logistic(logit));
    require(scores.back() >= 0.0 && scores.back() <= 1.0, "a score is a probability");
  }
  return scores;
}

std::vector<float> thresholds_of(const TreeExport& model) {
  std::vector<float> thresholds;
  for (const Tree& tree : model.trees) {
    for (const Node& node : tree.nodes) {
      if (const Split* split = std::get_if<Split>(&node)) thresholds.push_back(split->threshold);
      if (thresholds.size() == 64) return thresholds;
    }
  }
  return thresholds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Result<TreeExport> loaded = load_trees(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!loaded) return 0;
  const TreeModel model = make_tree_model(std::move(*loaded));
  const TreeExport& source = model.source;
  const size_t width = source.feature_names.size();

  fuzz::Picker picker(fuzz::seed_of(data, size));
  // Up to three groups of rows walked side by side, the last one partial.
  const size_t rows = 1 + picker.below(40);
  std::vector<float> values =
      fuzz::pick_rows(picker, fuzz::edge_values<float>(thresholds_of(source)), rows, width);
  const bool last_row_bad = picker.below(4) == 0;
  if (last_row_bad) values[values.size() - 1 - picker.below(width)] = INFINITY;

  const Result<std::vector<double>> expected =
      expected_scores(source, values, width, last_row_bad);
  const Result<std::string> text = trees_json(model, fuzz::matrix_text<float>(values, width));
  fuzz::require_same_text(text, expected, "JSON rows score as the export's own walk");

  const std::span<const unsigned char> bytes(reinterpret_cast<const unsigned char*>(values.data()),
                                             values.size() * sizeof(float));
  const Result<F32Rows> packed = packed_rows(bytes, rows, width);
  if (last_row_bad) {
    require(!packed && packed.error() == "invalid_features: nonfinite packed value",
            "packed rows holding an infinity are refused whole");
    return 0;
  }
  require(packed.ok(), "finite packed rows of the model's width are taken");
  const Result<std::vector<double>> scored = tree_rows(model, *packed);
  fuzz::require_same_scores(scored, expected, "packed rows score as the export's own walk");
  const Result<std::vector<double>> again = tree_rows(model, *packed);
  require(again.ok() == scored.ok() && (!again || fuzz::same_bits(*again, *scored)),
          "scoring twice gives the same bits");
  return 0;
}
