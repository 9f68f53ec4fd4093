#include "policy/score_array.h"

#include "foundation/json_number.h"

namespace tallowmere::policy {

std::string score_array_text(std::span<const double> scores) {
  std::string out;
  // The longest score, a 17-digit fraction with a three-digit exponent, fits.
  out.reserve(2 + scores.size() * 25);
  out.push_back('[');
  for (size_t i = 0; i < scores.size(); ++i) {
    if (i > 0) out.push_back(',');
    json::append_double(out, scores[i]);
  }
  out.push_back(']');
  return out;
}

}  // namespace tallowmere::policy
