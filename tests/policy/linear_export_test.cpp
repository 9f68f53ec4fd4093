// Loading linear exports: reading messages, validation and the size limit.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/linear_export.h"
#include "policy_test_support.h"

namespace tallowmere::policy {
namespace {

std::string error_of(const std::string& text) {
  Result<LinearExport> loaded = load_linear(text);
  return loaded ? std::string("<loaded>") : loaded.error();
}

std::string repeated(const char* item, size_t count) {
  std::string out = "[";
  for (size_t i = 0; i < count; ++i) out.append(i ? "," : "").append(item);
  return out + "]";
}

// An export of `count` feature names; the weights are all 1 unless given.
std::string linear_text(size_t count, std::string coef = {}, std::string schema = "1",
                        std::string calibration = std::string(testing::kPlatt)) {
  if (coef.empty()) coef = repeated("1", count);
  return R"({"schema_version":)" + schema + R"(,"feature_names":)" + repeated("\"x\"", count) +
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

}  // namespace
}  // namespace tallowmere::policy
