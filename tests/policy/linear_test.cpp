// Linear exports: loading, with its messages and size limit, and scoring in
// double: summation order, the intercept last, overflow and the row checks.
// Packed rows are checked against JSON rows through the module.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/linear_export.h"
#include "policy/linear_scoring.h"
#include "policy/score_array.h"
#include "policy_test_support.h"

namespace tallowmere::policy {
namespace {

using testing::json_array;
using testing::oracle_logistic;

std::string error_of(const std::string& text) { return testing::load_error(load_linear(text)); }

// An export of `count` feature names; the weights are all 1 unless given.
std::string linear_text(size_t count, std::string coef = {}, std::string schema = "1",
                        std::string calibration = std::string(testing::kPlatt)) {
  if (coef.empty()) coef = json_array("1", count);
  return R"({"schema_version":)" + schema + R"(,"feature_names":)" + json_array("\"x\"", count) +
         R"(,"coef":)" + coef + R"(,"intercept":0.1,"calibration":)" + calibration + "}";
}

TEST(LinearExportLoader, ReadsBothForms) {
  Result<LinearExport> model = load_linear(linear_text(2, "[0.5,-1.25]"));
  ASSERT_TRUE(model) << model.error();
  EXPECT_EQ(model->coef, (std::vector<double>{0.5, -1.25}));
  EXPECT_EQ(model->intercept, 0.1);
  Result<LinearExport> positional = load_linear(R"([1,["a"],[2],3,["platt",4,5]])");
  ASSERT_TRUE(positional) << positional.error();
  EXPECT_EQ(positional->coef, std::vector<double>{2.0});
  EXPECT_EQ(positional->calibration.intercept, 5.0);
}

TEST(LinearExportLoader, Messages) {
  const std::string validation = "unsupported schema or nonfinite/dimension bounds";
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"{}", "missing field `schema_version`", "}"},
      {R"({"schema_version":1,"base_margin":0})", "unknown field `base_margin`, expected one of "
       "`schema_version`, `feature_names`, `coef`, `intercept`, `calibration`", "\"base"},
      {R"({"schema_version":1,"feature_names":[],"coef":[],"calibration":null})",
       "invalid type: null, expected struct Calibration", "null"},
      {R"({"schema_version":1,"feature_names":[],"coef":[],"calibration":["platt",1,0]})",
       "missing field `intercept`", ""},
      {"[1,[],[],0]", "invalid length 4, expected struct LinearExport with 5 elements", ""},
      {linear_text(2, "[1e309,1]"), "number out of range", "1e309"},
  };
  for (const auto& [text, message, anchor] : cases) {
    EXPECT_EQ(error_of(text), "invalid_linear_export: " + testing::placed(text, message, anchor));
  }
  const std::pair<std::string, std::string> validated[] = {
      {linear_text(2, "[1.7e308,-1.7e308]"), "<loaded>"},
      {linear_text(1, {}, "2"), validation},
      {linear_text(3, "[1,2]"), validation},
      {linear_text(0, "[]"), validation},
      {linear_text(4097), validation},
      {linear_text(4096), "<loaded>"},
      {linear_text(1, {}, "1", R"({"kind":"sigmoid","coef":1,"intercept":0})"), validation},
  };
  for (const auto& [text, message] : validated) {
    EXPECT_EQ(error_of(text), message == "<loaded>" ? message : "invalid_linear_export: " + message)
        << text.substr(0, 80);
  }
}

TEST(LinearExportLoader, SizeLimit) {
  const std::string valid = linear_text(1);
  std::string exact = valid + std::string(kLinearExportLimitBytes - valid.size(), '\n');
  EXPECT_EQ(error_of(exact), "<loaded>");
  exact.push_back('\n');
  EXPECT_EQ(error_of(exact), "policy_payload_limit");
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
  return testing::text_or_error(linear_json(m, rows));
}

TEST(LinearScoring, SumsInFeatureOrderAndAddsTheInterceptLast) {
  const std::vector<std::tuple<const char*, LinearExport, std::string, std::string>> cases = {
      // 1e16 + 1 is 1e16 in double: only the strict order cancels to 0.
      {"feature order", model({1e16, 1, -1e16}), "[[1,1,1]]", "[0.5]"},
      {"other order", model({1e16, -1e16, 1}), "[[1,1,1]]", score_text(oracle_logistic(1))},
      // Adding the intercept first would lose it against 1e16.
      {"intercept last", model({1e16, -1e16}, 1.0), "[[1,1]]", score_text(oracle_logistic(1))},
      {"all zero", model({0, 0, 0}), "[[3,-4,1e300],[0,0,0]]", "[0.5,0.5]"},
      {"calibration", model({2}, 0.5, {"platt", -3.0, 0.25}), "[[1.5]]",
       score_text(oracle_logistic(0.25 + -3.0 * 3.5))},
      {"features stay double", model({1}), "[[0.1]]", score_text(oracle_logistic(0.1))},
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

// The count is checked before any row.
TEST(LinearScoring, RowLimit) {
  EXPECT_EQ(scored(model({1}), json_array("[1]", 4096)),
            score_array_text(std::vector<double>(4096, oracle_logistic(1))));
  EXPECT_EQ(scored(model({1}), json_array("[]", 4097)), "policy_row_limit");
}

}  // namespace
}  // namespace tallowmere::policy
