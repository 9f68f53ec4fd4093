// Builders for export texts shared by the policy tests.
#pragma once

#include <string>
#include <string_view>

namespace tallowmere::policy::testing {

inline constexpr std::string_view kPlatt = R"({"kind":"platt","coef":1.0,"intercept":0.0})";

// A tree export in object form; every part can be replaced.
struct TreeText {
  std::string schema = "1";
  std::string features = R"(["a","b"])";
  std::string base = "0.0";
  std::string trees = R"([{"nodes":[{"node_id":0,"leaf":0.5}]}])";
  std::string calibration = std::string(kPlatt);

  std::string text() const {
    return R"({"schema_version":)" + schema + R"(,"feature_names":)" + features +
           R"(,"base_margin":)" + base + R"(,"trees":)" + trees + R"(,"calibration":)" +
           calibration + "}";
  }
};

// One tree holding the given node list.
inline std::string one_tree(std::string_view nodes) {
  return R"([{"nodes":[)" + std::string(nodes) + "]}]";
}

// "line 1 column N" of the byte at `offset` of a one-line text.
inline std::string at_column(size_t offset) {
  return " at line 1 column " + std::to_string(offset + 1);
}

// `message` placed at the last occurrence of `anchor` in `text`, or at its
// last byte without an anchor.
inline std::string placed(std::string_view text, std::string_view message,
                          std::string_view anchor = {}) {
  return std::string(message) + at_column(anchor.empty() ? text.size() - 1 : text.rfind(anchor));
}

}  // namespace tallowmere::policy::testing
