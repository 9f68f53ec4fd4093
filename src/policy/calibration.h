// Platt calibration shared by both model kinds: the logit is
// intercept + coef * margin, then the logistic function gives the score.
#pragma once

#include <string>

#include "foundation/json_reader.h"

namespace tallowmere::policy {

struct Calibration {
  std::string kind;
  double coef = 0.0;
  double intercept = 0.0;
};

inline constexpr char kPlattKind[] = "platt";

// Closed record, every field required, object or 3-element array form.
bool read(json::Reader& r, Calibration& out);

// The product and the sum are rounded separately; the build forbids
// contracting them into one fused operation.
inline double platt_logit(const Calibration& calibration, double margin) {
  const double scaled = calibration.coef * margin;
  return calibration.intercept + scaled;
}

}  // namespace tallowmere::policy
