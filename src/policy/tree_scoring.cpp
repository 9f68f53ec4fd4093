#include "policy/tree_scoring.h"

#include <algorithm>
#include <cmath>

#include "policy/logistic.h"
#include "policy/score_array.h"

namespace tallowmere::policy {

namespace {

Error bad_row() { return fail(Code::kInvalidFeatures, kBadRowDetail); }

bool all_finite(std::span<const float> values) {
  return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

// Scores the leading rows that passed the row check; `rest_failed` tells that
// the row after them did not. Rows fail in order, so an overflow among the
// scored rows comes before that row's dimension error.
Result<std::vector<double>> score_checked(const TreeModel& model, const F32Rows& rows,
                                          bool rest_failed) {
  std::vector<float> margins(rows.count);
  forest_margins(model.forest, rows, margins);
  std::vector<double> scores;
  scores.reserve(rows.count);
  for (const float margin : margins) {
    const double logit = platt_logit(model.source.calibration, static_cast<double>(margin));
    if (!std::isfinite(margin) || !std::isfinite(logit)) return fail(Code::kNumericalOverflow);
    scores.push_back(logistic(logit));
  }
  if (rest_failed) return bad_row();
  return scores;
}

}  // namespace

TreeModel make_tree_model(TreeExport source) {
  Forest forest = build_forest(source);
  return TreeModel{std::move(source), std::move(forest)};
}

Result<std::vector<double>> tree_rows(const TreeModel& model, const JsonRows<float>& rows) {
  if (rows.count() > kRowLimit) return fail(Code::kPolicyRowLimit);
  const size_t width = model.source.feature_names.size();
  size_t checked = 0;
  while (checked < rows.count() && rows.row(checked).size() == width &&
         all_finite(rows.row(checked))) {
    ++checked;
  }
  // Rows that passed hold exactly `width` values each and so lie back to back.
  const F32Rows leading{reinterpret_cast<const unsigned char*>(rows.values.data()), checked, width};
  return score_checked(model, leading, checked < rows.count());
}

Result<std::vector<double>> tree_rows(const TreeModel& model, const F32Rows& rows) {
  if (rows.count > kRowLimit) return fail(Code::kPolicyRowLimit);
  if (rows.count > 0 && rows.width != model.source.feature_names.size()) return bad_row();
  return score_checked(model, rows, false);
}

Result<std::string> trees_json(const TreeModel& model, std::string_view features_json) {
  Result<JsonRows<float>> rows = read_f32_rows(features_json);
  if (!rows) return std::move(rows).take_error();
  Result<std::vector<double>> scores = tree_rows(model, *rows);
  if (!scores) return std::move(scores).take_error();
  return score_array_text(*scores);
}

}  // namespace tallowmere::policy
