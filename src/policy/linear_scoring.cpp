#include "policy/linear_scoring.h"

#include <cmath>

#include "policy/logistic.h"
#include "policy/score_array.h"

namespace tallowmere::policy {

namespace {

// `value(k)` yields feature k of one row as a double. Packed rows were
// refused whole when any value is not finite, so only JSON rows are checked.
template <bool kCheckFinite, class RowValue>
Result<double> score_row(const LinearExport& model, size_t width, RowValue value) {
  if (width != model.coef.size()) {
    return fail(Code::kInvalidFeatures, kBadRowDetail);
  }
  for (size_t k = 0; kCheckFinite && k < width; ++k) {
    if (!std::isfinite(value(k))) return fail(Code::kInvalidFeatures, kBadRowDetail);
  }
  // Strictly in feature order from -0.0; each product is rounded before it
  // is added.
  double sum = -0.0;
  for (size_t k = 0; k < width; ++k) {
    const double product = model.coef[k] * value(k);
    sum = sum + product;
  }
  const double margin = model.intercept + sum;
  const double logit = platt_logit(model.calibration, margin);
  if (!std::isfinite(margin) || !std::isfinite(logit)) return fail(Code::kNumericalOverflow);
  return logistic(logit);
}

template <class ScoreRow>
Result<std::vector<double>> score_rows(size_t count, ScoreRow score_row_at) {
  if (count > kRowLimit) return fail(Code::kPolicyRowLimit);
  std::vector<double> scores;
  scores.reserve(count);
  for (size_t r = 0; r < count; ++r) {
    Result<double> score = score_row_at(r);
    if (!score) return std::move(score).take_error();
    scores.push_back(*score);
  }
  return scores;
}

}  // namespace

Result<std::vector<double>> linear_rows(const LinearExport& model, const JsonRows<double>& rows) {
  return score_rows(rows.count(), [&](size_t r) {
    const std::span<const double> row = rows.row(r);
    return score_row<true>(model, row.size(), [row](size_t k) { return row[k]; });
  });
}

Result<std::vector<double>> linear_rows(const LinearExport& model, const F32Rows& rows) {
  return score_rows(rows.count, [&](size_t r) {
    return score_row<false>(model, rows.width,
                     [&rows, r](size_t k) { return static_cast<double>(rows.at(r, k)); });
  });
}

Result<std::string> linear_json(const LinearExport& model, std::string_view features_json) {
  Result<JsonRows<double>> rows = read_f64_rows(features_json);
  if (!rows) return std::move(rows).take_error();
  Result<std::vector<double>> scores = linear_rows(model, *rows);
  if (!scores) return std::move(scores).take_error();
  return score_array_text(*scores);
}

}  // namespace tallowmere::policy
