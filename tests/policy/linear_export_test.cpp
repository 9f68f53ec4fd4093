// Loading linear exports: reading messages, validation and the size limit.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/linear_export.h"
#include "policy_test_support.h"

namespace tallowmere::policy {
namespace {

using testing::at_column;

struct LinearText {
  std::string schema = "1";
  std::string features = R"(["age","score"])";
  std::string coef = "[0.5,-1.25]";
  std::string intercept = "0.1";
  std::string calibration = std::string(testing::kPlatt);

  std::string text() const {
    return R"({"schema_version":)" + schema + R"(,"feature_names":)" + features + R"(,"coef":)" +
           coef + R"(,"intercept":)" + intercept + R"(,"calibration":)" + calibration + "}";
  }
};

std::string error_of(const std::string& text) {
  Result<LinearExport> loaded = load_linear(text);
  return loaded ? std::string("<loaded>") : loaded.error();
}

std::string repeated(const std::string& item, size_t count) {
  std::string out = "[";
  for (size_t i = 0; i < count; ++i) out.append(i ? "," : "").append(item);
  return out + "]";
}

TEST(LinearExportLoader, ReadsBothForms) {
  Result<LinearExport> model = load_linear(LinearText().text());
  ASSERT_TRUE(model) << model.error();
  EXPECT_EQ(model->coef, (std::vector<double>{0.5, -1.25}));
  EXPECT_EQ(model->intercept, 0.1);
  Result<LinearExport> positional = load_linear(R"([1,["a"],[2],3,["platt",4,5]])");
  ASSERT_TRUE(positional) << positional.error();
  EXPECT_EQ(positional->coef, std::vector<double>{2.0});
  EXPECT_EQ(positional->calibration.intercept, 5.0);
}

TEST(LinearExportLoader, Messages) {
  const std::string validation =
      "invalid_linear_export: unsupported schema or nonfinite/dimension bounds";
  auto with = [](auto change) {
    LinearText t;
    change(t);
    return t.text();
  };
  const std::string unknown = R"({"schema_version":1,"base_margin":0})";
  const std::string null_calibration =
      R"({"schema_version":1,"feature_names":[],"coef":[],"calibration":null})";
  const std::string no_intercept =
      R"({"schema_version":1,"feature_names":[],"coef":[],"calibration":["platt",1,0]})";
  const std::string huge_weight = with([](LinearText& t) { t.coef = "[1e309,1]"; });
  const std::vector<std::tuple<const char*, std::string, std::string>> cases = {
      {"unknown field", unknown,
       "invalid_linear_export: unknown field `base_margin`, expected one of `schema_version`, "
       "`feature_names`, `coef`, `intercept`, `calibration`" + at_column(unknown.find("\"base"))},
      {"null calibration", null_calibration,
       "invalid_linear_export: invalid type: null, expected struct Calibration" +
           at_column(null_calibration.find("null"))},
      {"missing intercept", no_intercept,
       "invalid_linear_export: missing field `intercept`" + at_column(no_intercept.size() - 1)},
      {"missing in order", R"({"calibration":[],"schema_version":1})",
       "invalid_linear_export: invalid length 0, expected struct Calibration with 3 elements" +
           at_column(16)},
      {"array too short", "[1,[],[],0]",
       "invalid_linear_export: invalid length 4, expected struct LinearExport with 5 elements" +
           at_column(10)},
      {"weight beyond double", huge_weight,
       "invalid_linear_export: number out of range" + at_column(huge_weight.find("1e309"))},
      {"largest weights", with([](LinearText& t) { t.coef = "[1.7e308,-1.7e308]"; }), "<loaded>"},
      {"schema 2", with([](LinearText& t) { t.schema = "2"; }), validation},
      {"names and weights differ", with([](LinearText& t) { t.features = R"(["a","b","c"])"; }),
       validation},
      {"no weights", with([](LinearText& t) { t.features = "[]"; t.coef = "[]"; }), validation},
      {"4097 weights", with([](LinearText& t) {
         t.features = repeated("\"x\"", 4097);
         t.coef = repeated("1", 4097);
       }),
       validation},
      {"4096 weights", with([](LinearText& t) {
         t.features = repeated("\"x\"", 4096);
         t.coef = repeated("1", 4096);
       }),
       "<loaded>"},
      {"kind", with([](LinearText& t) { t.calibration = R"({"kind":"sigmoid","coef":1,"intercept":0})"; }),
       validation},
  };
  for (const auto& [name, text, message] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(error_of(text), message);
  }
  EXPECT_EQ(error_of("{}"), "invalid_linear_export: missing field `schema_version`" + at_column(1));
}

TEST(LinearExportLoader, SizeLimit) {
  const std::string valid = LinearText().text();
  std::string exact = valid + std::string(kLinearExportLimitBytes - valid.size(), '\n');
  EXPECT_EQ(error_of(exact), "<loaded>");
  exact.push_back('\n');
  EXPECT_EQ(error_of(exact), "policy_payload_limit");
}

}  // namespace
}  // namespace tallowmere::policy
