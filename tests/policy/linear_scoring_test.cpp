// Linear scoring in double: summation order, the intercept last, overflow
// and the row checks, on JSON rows and on packed float32 rows.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "policy/linear_export.h"
#include "policy/linear_scoring.h"
#include "policy/score_array.h"

namespace tallowmere::policy {
namespace {

double logistic_of(double z) {
  return z >= 0 ? 1.0 / (1.0 + std::exp(-z)) : std::exp(z) / (1.0 + std::exp(z));
}

std::string score_text(double score) { return score_array_text(std::vector<double>{score}); }

LinearExport model(std::vector<double> coef, double intercept = 0.0,
                   Calibration calibration = {"platt", 1.0, 0.0}) {
  LinearExport out;
  out.schema_version = 1;
  out.feature_names.assign(coef.size(), "x");
  out.coef = std::move(coef);
  out.intercept = intercept;
  out.calibration = std::move(calibration);
  return out;
}

std::string scored(const LinearExport& m, const std::string& rows) {
  Result<std::string> text = linear_json(m, rows);
  return text ? *text : text.error();
}

TEST(LinearScoring, SumsInFeatureOrderAndAddsTheInterceptLast) {
  const std::vector<std::tuple<const char*, LinearExport, std::string, std::string>> cases = {
      // 1e16 + 1 is 1e16 in double: only the strict order cancels to 0.
      {"feature order", model({1e16, 1, -1e16}), "[[1,1,1]]", "[0.5]"},
      {"other order", model({1e16, -1e16, 1}), "[[1,1,1]]", score_text(logistic_of(1))},
      // Adding the intercept first would lose it against 1e16.
      {"intercept last", model({1e16, -1e16}, 1.0), "[[1,1]]", score_text(logistic_of(1))},
      {"all zero", model({0, 0, 0}), "[[3,-4,1e300],[0,0,0]]", "[0.5,0.5]"},
      {"calibration", model({2}, 0.5, {"platt", -3.0, 0.25}), "[[1.5]]",
       score_text(logistic_of(0.25 + -3.0 * 3.5))},
      {"features stay double", model({1}), "[[0.1]]", score_text(logistic_of(0.1))},
      {"large product", model({1e200}), "[[1e200]]", "numerical_overflow"},
      {"large logit", model({1}, 0.0, {"platt", 1e308, 0}), "[[10]]", "numerical_overflow"},
      {"finite extremes", model({1}, 0.0, {"platt", 1e300, 0}), "[[-1],[1]]", "[0.0,1.0]"},
      {"dimension", model({1, 2}), "[[1,2],[1]]", "invalid_features: wrong dimension or nonfinite number"},
      {"overflow before a later bad row", model({1e200}), "[[1e200],[]]", "numerical_overflow"},
      {"empty", model({1}), "[]", "[]"},
  };
  for (const auto& [name, m, rows, expected] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(scored(m, rows), expected);
  }
}

// (1 + 2^-30)(1 - 2^-30) rounds to 1.0, so after -1 the sum is 0; a fused
// multiply-add would keep -2^-60, which the calibration blows up to -1.
TEST(LinearScoring, ProductsAreRoundedBeforeTheyAreAdded) {
  const LinearExport m = model({1.0, 1.000000000931322574615478515625}, 0.0,
                               {"platt", 1152921504606846976.0, 0.0});
  EXPECT_EQ(scored(m, "[[-1,0.999999999068677425384521484375]]"), "[0.5]");
}

TEST(LinearScoring, RowLimit) {
  std::string rows = "[[1]";
  for (int i = 1; i < 4096; ++i) rows += ",[1]";
  EXPECT_NE(scored(model({1}), rows + "]").find("0.7310585786300049"), std::string::npos);
  EXPECT_EQ(scored(model({1}), rows + ",[]]"), "policy_row_limit");
}

// Packed values are widened exactly, so 0.1f is scored as the float nearest
// 0.1, not as the double nearest 0.1.
TEST(LinearScoring, PackedRowsAreWidenedFloats) {
  const float values[] = {0.1f, -2.5f};
  std::vector<unsigned char> bytes(sizeof values);
  std::memcpy(bytes.data(), values, sizeof values);
  Result<F32Rows> rows = packed_rows(bytes, 1, 2);
  ASSERT_TRUE(rows) << rows.error();
  const LinearExport m = model({3, 0.5}, 0.25);
  Result<std::vector<double>> scores = linear_rows(m, *rows);
  ASSERT_TRUE(scores) << scores.error();
  const double sum = (-0.0 + 3.0 * static_cast<double>(0.1f)) + 0.5 * -2.5;
  EXPECT_EQ(scores->at(0), logistic_of(0.25 + sum));
  EXPECT_NE(scores->at(0), logistic_of(0.25 + ((-0.0 + 3.0 * 0.1) + 0.5 * -2.5)));
}

}  // namespace
}  // namespace tallowmere::policy
