// Linear exports on arbitrary text. A model that loads must score any finite
// rows of its width without fault, bit for bit as the plain dot product in
// feature order scores them: JSON rows as doubles, packed rows as floats
// widened exactly.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "edge_rows.h"
#include "fuzz_check.h"
#include "policy/calibration.h"
#include "policy/feature_input.h"
#include "policy/linear_export.h"
#include "policy/linear_scoring.h"
#include "policy/logistic.h"

namespace {

using namespace tallowmere;
using namespace tallowmere::policy;
using fuzz::require;

template <class T>
Result<std::vector<double>> expected_scores(const LinearExport& model,
                                            const std::vector<T>& values) {
  const size_t width = model.coef.size();
  std::vector<double> scores;
  for (size_t r = 0; r < values.size() / width; ++r) {
    double sum = -0.0;
    for (size_t k = 0; k < width; ++k) {
      const double product = model.coef[k] * static_cast<double>(values[r * width + k]);
      sum += product;
    }
    const double margin = model.intercept + sum;
    const double logit = platt_logit(model.calibration, margin);
    if (!std::isfinite(margin) || !std::isfinite(logit)) return fail(Code::kNumericalOverflow);
    scores.push_back(logistic(logit));
    require(scores.back() >= 0.0 && scores.back() <= 1.0, "a score is a probability");
  }
  return scores;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Result<LinearExport> model =
      load_linear(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!model) return 0;
  const size_t width = model->coef.size();
  require(width == model->feature_names.size() && width > 0, "one weight per feature");

  fuzz::Picker picker(fuzz::seed_of(data, size));
  const size_t rows = 1 + picker.below(8);
  const std::vector<double> doubles =
      fuzz::pick_rows(picker, fuzz::edge_values<double>({}), rows, width);
  const Result<std::vector<double>> expected = expected_scores(*model, doubles);
  const Result<std::string> text = linear_json(*model, fuzz::matrix_text<double>(doubles, width));
  fuzz::require_same_text(text, expected, "JSON rows score as the plain dot product");

  const std::vector<float> floats =
      fuzz::pick_rows(picker, fuzz::edge_values<float>({}), rows, width);
  const F32Rows packed{reinterpret_cast<const unsigned char*>(floats.data()), rows, width};
  fuzz::require_same_scores(linear_rows(*model, packed), expected_scores(*model, floats),
                            "packed rows score as the plain dot product of the widened floats");
  return 0;
}
