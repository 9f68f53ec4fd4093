// The linear-model export: one weight per feature, an intercept and the Platt
// calibration, read and validated by load_linear.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/result.h"
#include "policy/calibration.h"

namespace tallowmere::policy {

inline constexpr uint64_t kLinearExportLimitBytes = 1048576;
inline constexpr size_t kMaxWeights = 4096;

struct LinearExport {
  uint32_t schema_version = 0;
  std::vector<std::string> feature_names;
  std::vector<double> coef;
  double intercept = 0.0;
  Calibration calibration;
};

// Size limit, strict reading, then one validation message for every fault.
Result<LinearExport> load_linear(std::string_view export_json);

}  // namespace tallowmere::policy
