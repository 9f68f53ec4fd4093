// The logistic function in the form that never overflows: exp is only ever
// applied to a non-positive argument.
#pragma once

#include <cmath>

namespace tallowmere::policy {

inline double logistic(double z) {
  if (z >= 0.0) return 1.0 / (1.0 + std::exp(-z));
  const double e = std::exp(z);
  return e / (1.0 + e);
}

}  // namespace tallowmere::policy
