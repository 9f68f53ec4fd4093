// Scoring rows with a linear model, entirely in double: the dot product in
// feature order, the intercept added last, then calibration and the logistic
// function as for trees.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"
#include "policy/feature_input.h"
#include "policy/linear_export.h"

namespace tallowmere::policy {

Result<std::vector<double>> linear_rows(const LinearExport& model, const JsonRows<double>& rows);
// Packed rows, each value widened exactly to double.
Result<std::vector<double>> linear_rows(const LinearExport& model, const F32Rows& rows);

// Feature text in, score array text out.
Result<std::string> linear_json(const LinearExport& model, std::string_view features_json);

}  // namespace tallowmere::policy
