// Builders for export texts and helpers shared by the policy tests.
#pragma once

#include <cmath>
#include <string>
#include <string_view>

#include "foundation/result.h"

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

// `count` copies of `item` as a JSON array; a "#" in the item becomes its index.
inline std::string json_array(std::string_view item, size_t count) {
  std::string out = "[";
  for (size_t i = 0; i < count; ++i) {
    const size_t at = item.find('#');
    out.append(i ? "," : "").append(item.substr(0, at));
    if (at != std::string_view::npos) out.append(std::to_string(i)).append(item.substr(at + 1));
  }
  return out + "]";
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

// "<loaded>" for a loaded export, else its error.
template <class T>
std::string load_error(const Result<T>& loaded) {
  return loaded ? std::string("<loaded>") : loaded.error();
}

inline std::string text_or_error(const Result<std::string>& text) { return text ? *text : text.error(); }

// The logistic function, written apart from the scorers'.
inline double oracle_logistic(double z) {
  if (z >= 0) return 1.0 / (1.0 + std::exp(-z));
  return std::exp(z) / (1.0 + std::exp(z));
}

}  // namespace tallowmere::policy::testing
