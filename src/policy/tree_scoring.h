// Scoring rows with a tree ensemble: each row's float32 margin is the base
// margin plus one leaf per tree, summed in tree order; the Platt logit of it
// in double goes through the logistic function.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"
#include "policy/feature_input.h"
#include "policy/forest_layout.h"
#include "policy/tree_export.h"

namespace tallowmere::policy {

// A loaded export together with the layout the scorer walks.
struct TreeModel {
  TreeExport source;
  Forest forest;
};

TreeModel make_tree_model(TreeExport source);

Result<std::vector<double>> tree_rows(const TreeModel& model, const JsonRows<float>& rows);
// Packed rows must come from packed_rows, which has refused every value that
// is not finite.
Result<std::vector<double>> tree_rows(const TreeModel& model, const F32Rows& rows);

// Feature text in, score array text out.
Result<std::string> trees_json(const TreeModel& model, std::string_view features_json);

}  // namespace tallowmere::policy
