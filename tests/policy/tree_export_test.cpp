// Loading tree exports: every message, and which one wins when several apply.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "policy/tree_export.h"
#include "policy_test_support.h"

namespace tallowmere::policy {
namespace {

using testing::at_column;
using testing::one_tree;
using testing::TreeText;

const std::string kSplit01 =
    R"({"node_id":0,"feature_index":1,"threshold":0.5,"left":1,"right":2,"missing":1})";
const std::string kLeaves12 = R"({"node_id":1,"leaf":-0.25},{"node_id":2,"leaf":0.75})";

std::string error_of(const std::string& text) {
  Result<TreeExport> loaded = load_trees(text);
  return loaded ? std::string("<loaded>") : loaded.error();
}

TreeText with_trees(std::string trees) {
  TreeText t;
  t.trees = std::move(trees);
  return t;
}

// A list of `count` names, "f0", "f1", ...
std::string names(int count) {
  std::string out = "[";
  for (int i = 0; i < count; ++i) out += (i ? ",\"f" : "\"f") + std::to_string(i) + "\"";
  return out + "]";
}

std::string single_leaf_trees(int count) {
  std::string out = "[";
  for (int i = 0; i < count; ++i) out += std::string(i ? "," : "") + R"({"nodes":[[0,1]]})";
  return out + "]";
}

TEST(TreeExportLoader, AcceptsTheExampleInBothForms) {
  const std::string object = with_trees(one_tree(kSplit01 + "," + kLeaves12)).text();
  Result<TreeExport> model = load_trees(object);
  ASSERT_TRUE(model) << model.error();
  ASSERT_EQ(model->trees.size(), 1u);
  const auto& nodes = model->trees[0].nodes;
  ASSERT_EQ(nodes.size(), 3u);
  const Split& split = std::get<Split>(nodes[0]);
  EXPECT_EQ(split.feature_index, 1u);
  EXPECT_EQ(split.threshold, 0.5f);
  EXPECT_EQ(std::get<Leaf>(nodes[2]).leaf, 0.75f);

  Result<TreeExport> positional = load_trees(R"([1,["a"],0.0,[[[[0,0.5]]]],["platt",1.0,0.0]])");
  Result<TreeExport> same = load_trees(
      R"({"schema_version":1,"feature_names":["a"],"base_margin":0.0,"trees":[{"nodes":[{"node_id":0,"leaf":0.5}]}],"calibration":{"kind":"platt","coef":1.0,"intercept":0.0}})");
  ASSERT_TRUE(positional) << positional.error();
  ASSERT_TRUE(same) << same.error();
  EXPECT_EQ(positional->feature_names, same->feature_names);
  EXPECT_EQ(std::get<Leaf>(positional->trees[0].nodes[0]).leaf,
            std::get<Leaf>(same->trees[0].nodes[0]).leaf);
  EXPECT_EQ(positional->calibration.kind, "platt");
}

struct Case {
  const char* name;
  std::string text;
  std::string message;  // the whole error text
};

// Messages of strict reading; positions point at the byte where reading stopped.
TEST(TreeExportLoader, ReadingMessages) {
  TreeText base;
  const std::string unknown = R"({"schema_version":1,"bogus":2})";
  const std::string all_fields =
      "`schema_version`, `feature_names`, `base_margin`, `trees`, `calibration`";
  const std::string duplicate = R"({"schema_version":1,"schema_version":1})";
  const std::string typed = R"({"schema_version":"1"})";
  const std::string wide = R"({"schema_version":4294967296})";
  const std::string short_array = R"([1,["a"],0.0,[[[[0,0.5]]]]])";
  const std::string long_array = R"([1,["a"],0.0,[[[[0,0.5]]]],["platt",1.0,0.0],7])";
  const std::string empty_tree = R"([1,["a"],0.0,[[]],["platt",1.0,0.0]])";
  const std::string short_calibration = R"([1,["a"],0.0,[[[[0,0.5]]]],["platt",1.0]])";
  TreeText missing_intercept;
  missing_intercept.calibration = R"({"kind":"platt","coef":1.0})";
  const std::string missing_intercept_text = missing_intercept.text();
  const std::string trailing = base.text() + " x";
  const std::vector<Case> cases = {
      {"missing first field", "{}", "invalid_tree_export: missing field `schema_version`" + at_column(1)},
      {"missing last field", R"({"schema_version":1,"feature_names":[],"base_margin":0,"trees":[]})",
       "invalid_tree_export: missing field `calibration`" + at_column(65)},
      {"unknown before missing", unknown,
       "invalid_tree_export: unknown field `bogus`, expected one of " + all_fields +
           at_column(unknown.find("\"bogus\""))},
      {"duplicate before missing", duplicate,
       "invalid_tree_export: duplicate field `schema_version`" + at_column(duplicate.rfind("\"schema"))},
      {"bad type before missing", typed,
       "invalid_tree_export: invalid type: string \"1\", expected u32" + at_column(typed.find("\"1\""))},
      {"schema beyond u32", wide,
       "invalid_tree_export: invalid value: integer `4294967296`, expected u32" + at_column(18)},
      {"short export array", short_array,
       "invalid_tree_export: invalid length 4, expected struct TreeExport with 5 elements" +
           at_column(short_array.size() - 1)},
      {"long export array", long_array,
       "invalid_tree_export: invalid length 6, expected struct TreeExport with 5 elements" +
           at_column(long_array.size() - 1)},
      {"empty tree array", empty_tree,
       "invalid_tree_export: invalid length 0, expected struct Tree with 1 element" +
           at_column(empty_tree.find("[]") + 1)},
      {"short calibration", short_calibration,
       "invalid_tree_export: invalid length 2, expected struct Calibration with 3 elements" +
           at_column(short_calibration.size() - 2)},
      {"calibration field missing", missing_intercept_text,
       "invalid_tree_export: missing field `intercept`" +
           at_column(missing_intercept_text.size() - 2)},
      {"trailing characters", trailing, "invalid_tree_export: trailing characters" + at_column(trailing.size() - 1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(error_of(c.text), c.message);
  }
}

// A node is a Leaf or a Split by its exact shape; everything else gets one
// detail, reported at the node's last byte.
TEST(TreeExportLoader, NodesThatFitNoVariant) {
  const std::vector<std::string> nodes = {
      R"({"node_id":0,"leaf":1,"feature_index":0})",                                    // both kinds' keys
      R"({"node_id":0,"leaf":1,"extra":null})",                                        // an extra key
      R"({"node_id":0})",                                                              // too few keys
      R"({"node_id":0,"leaf":1,"leaf":2})",                                            // a repeated key
      R"({"node_id":1.0,"leaf":1})",                                                   // index with a fraction
      R"({"node_id":-1,"leaf":1})",                                                    // negative index
      R"({"node_id":0,"leaf":"1"})",                                                   // value as a string
      R"({"node_id":0,"leaf":null})",                                                  // null value
      R"({"node_id":0,"feature_index":0,"threshold":0.5,"left":1,"right":2,"missing":1e0})",
      R"([0,0.5,1])",                                                                  // array of 3
      R"([0,0,0.5,1,2,1,1])",                                                          // array of 7
      R"([0,0,0.5,1,2,1,1,1,1])",                                                      // array of 9
      R"([0,[0.5]])",                                                                  // nested value
      R"(5)",
      R"("leaf")",
      R"([])",
  };
  for (const std::string& node : nodes) {
    SCOPED_TRACE(node);
    const std::string text = with_trees(one_tree(node)).text();
    const size_t last = text.find(node) + node.size() - 1;
    EXPECT_EQ(error_of(text),
              "invalid_tree_export: data did not match any variant of untagged enum Node" +
                  at_column(last));
  }
}

TEST(TreeExportLoader, SyntaxErrorsInsideANodeAreReportedAsSuch) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"node_id":0,"leaf":1,})", "trailing comma"},
      {R"({"node_id":0,"extra":tru})", "expected value"},
      {R"([0,1e400])", "number out of range"},
      {std::string(130, '[') + std::string(130, ']'), "recursion limit exceeded"},
  };
  for (const auto& [node, reason] : cases) {
    SCOPED_TRACE(node);
    const std::string error = error_of(with_trees(one_tree(node)).text());
    EXPECT_EQ(error.rfind("invalid_tree_export: " + reason + " at line 1 column ", 0), 0u) << error;
  }
}

TEST(TreeExportLoader, HeaderChecks) {
  const std::string header = "invalid_tree_export: unsupported schema or bounds";
  auto modified = [](auto change) {
    TreeText t;
    change(t);
    return t.text();
  };
  const std::vector<std::pair<const char*, std::string>> failing = {
      {"schema 2", modified([](TreeText& t) { t.schema = "2"; })},
      {"schema 0", modified([](TreeText& t) { t.schema = "0"; })},
      {"no features", modified([](TreeText& t) { t.features = "[]"; })},
      {"4097 features", modified([](TreeText& t) { t.features = names(4097); })},
      {"no trees", modified([](TreeText& t) { t.trees = "[]"; })},
      {"4097 trees", modified([](TreeText& t) { t.trees = single_leaf_trees(4097); })},
      {"base margin beyond float", modified([](TreeText& t) { t.base = "1e39"; })},
      {"kind in other case", modified([](TreeText& t) {
         t.calibration = R"({"kind":"Platt","coef":1.0,"intercept":0.0})";
       })},
      // The header is checked before any tree.
      {"header before trees", modified([](TreeText& t) {
         t.schema = "2";
         t.trees = R"([{"nodes":[]}])";
       })},
  };
  for (const auto& [name, text] : failing) {
    SCOPED_TRACE(name);
    EXPECT_EQ(error_of(text), header);
  }
  const std::string widest = modified([](TreeText& t) {
    t.features = names(4096);
    t.trees = single_leaf_trees(4096);
  });
  EXPECT_EQ(error_of(widest), "<loaded>");
}

TEST(TreeExportLoader, TreeChecks) {
  const std::string leaf0 = R"({"node_id":0,"leaf":1})";
  auto split = [](int id, int feature, const char* threshold, int left, int right, int missing) {
    return R"({"node_id":)" + std::to_string(id) + R"(,"feature_index":)" + std::to_string(feature) +
           R"(,"threshold":)" + threshold + R"(,"left":)" + std::to_string(left) + R"(,"right":)" +
           std::to_string(right) + R"(,"missing":)" + std::to_string(missing) + "}";
  };
  auto leaf = [](int id, const char* value = "1") {
    return R"({"node_id":)" + std::to_string(id) + R"(,"leaf":)" + value + "}";
  };
  const std::string bounds = "invalid_tree_export: node bounds";
  const std::string contiguous = "invalid_tree_export: IDs must be contiguous";
  const std::string nonfinite = "invalid_tree_export: nonfinite leaf";
  const std::string bad_split = "invalid_tree_export: invalid split or cyclic graph";
  const std::string rooted = "invalid_tree_export: graph must be one rooted tree";
  const std::string tail = leaf(1) + "," + leaf(2);
  const std::vector<std::tuple<const char*, std::string, std::string>> cases = {
      {"single leaf", one_tree(leaf0), "<loaded>"},
      {"empty tree", one_tree(""), bounds},
      {"ids 0 2 1", one_tree(split(0, 0, "0.5", 1, 2, 1) + "," + leaf(2) + "," + leaf(1)), contiguous},
      {"id checked before the leaf value", one_tree(leaf(1, "1e39")), contiguous},
      {"leaf beyond float", one_tree(leaf(0, "1e39")), nonfinite},
      {"feature out of range", one_tree(split(0, 2, "0.5", 1, 2, 1) + "," + tail), bad_split},
      {"threshold beyond float", one_tree(split(0, 0, "-1e39", 1, 2, 1) + "," + tail), bad_split},
      {"left to itself", one_tree(split(0, 0, "0.5", 0, 2, 0) + "," + tail), bad_split},
      {"right to itself", one_tree(split(0, 0, "0.5", 1, 0, 1) + "," + tail), bad_split},
      {"left equals right", one_tree(split(0, 0, "0.5", 1, 1, 1) + "," + tail), bad_split},
      {"left past the end", one_tree(split(0, 0, "0.5", 3, 2, 2) + "," + tail), bad_split},
      {"right past the end", one_tree(split(0, 0, "0.5", 1, 3, 1) + "," + tail), bad_split},
      {"missing names neither child", one_tree(split(0, 0, "0.5", 1, 2, 0) + "," + tail), bad_split},
      {"back to an earlier node",
       one_tree(split(0, 0, "0.5", 1, 2, 1) + "," + split(1, 0, "0.5", 0, 3, 3) + "," + leaf(2) + "," + leaf(3)),
       bad_split},
      {"node never referenced", one_tree(split(0, 0, "0.5", 1, 3, 1) + "," + tail + "," + leaf(3)), rooted},
      {"node with two parents",
       one_tree(split(0, 0, "0.5", 1, 2, 1) + "," + split(1, 1, "0.5", 2, 3, 2) + "," + leaf(2) + "," + leaf(3)),
       rooted},
      {"leaf alone after a leaf root", one_tree(leaf0 + "," + leaf(1)), rooted},
      // Every node is checked before the in-degrees are.
      {"node faults before in-degree",
       one_tree(split(0, 0, "0.5", 1, 3, 1) + "," + tail + "," + leaf(3, "1e39")), nonfinite},
      // Trees are checked in order; the first fault decides.
      {"earlier tree decides",
       R"([{"nodes":[)" + leaf(1) + R"(]},{"nodes":[]}])", contiguous},
      {"empty tree before a faulty one",
       R"([{"nodes":[]},{"nodes":[)" + leaf(1) + "]}]", bounds},
  };
  for (const auto& [name, trees, message] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(error_of(with_trees(trees).text()), message);
  }
}

// A tree of `count` nodes (odd) in positional form: a chain of splits, each
// with a leaf on its left; `first_id` lets a caller break contiguity.
std::string chain_tree(size_t count, size_t first_id = 0) {
  std::string out = "[[";
  for (size_t i = 0; i + 1 < count; i += 2) {
    const std::string leaf = std::to_string(i + 1);
    out.append("[").append(std::to_string(i == 0 ? first_id : i)).append(",0,0.5,");
    out.append(leaf).append(",").append(std::to_string(i + 2)).append(",").append(leaf);
    out.append("],[").append(leaf).append(",1],");
  }
  out.append("[").append(std::to_string(count - 1)).append(",2]]]");
  return out;
}

TEST(TreeExportLoader, NodeTotalLimit) {
  auto two_trees = [](size_t first, size_t second, size_t first_id = 0) {
    return "[1,[\"a\"],0.0,[" + chain_tree(first, first_id) + "," + chain_tree(second) +
           "],[\"platt\",1.0,0.0]]";
  };
  Result<TreeExport> full = load_trees(two_trees(499999, 500001));
  ASSERT_TRUE(full) << full.error();
  EXPECT_EQ(full->trees[1].nodes.size(), 500001u);
  EXPECT_EQ(error_of(two_trees(499999, 500003)), "invalid_tree_export: node bounds");
  // A fault in an earlier tree is found before the total passes the limit.
  EXPECT_EQ(error_of(two_trees(499999, 500003, 7)), "invalid_tree_export: IDs must be contiguous");
}

TEST(TreeExportLoader, SizeLimitComesBeforeParsing) {
  const std::string valid = TreeText().text();
  std::string exact = valid + std::string(kTreeExportLimitBytes - valid.size(), ' ');
  EXPECT_EQ(error_of(exact), "<loaded>");
  exact.push_back(' ');
  EXPECT_EQ(error_of(exact), "policy_payload_limit");
  EXPECT_EQ(error_of(std::string(kTreeExportLimitBytes + 1, '{')), "policy_payload_limit");
}

// Integers convert straight to the nearest float; fractions and exponents go
// through double first.
TEST(TreeExportLoader, SinglePrecisionFields) {
  const std::vector<std::pair<std::string, float>> cases = {
      {"0.1", 0.1f},
      {"16777217", 16777216.0f},
      {"-16777219", -16777220.0f},
      // 2^60 + 2^36 + 1 lies just above the midpoint of two floats; through
      // double it would land on the midpoint and round to even instead.
      {"1152921573326323713", std::ldexp(1.0f, 60) + std::ldexp(1.0f, 37)},
      {"1152921573326323713.0", std::ldexp(1.0f, 60)},
      {"-0", -0.0f},
      {"3.4028235e38", 3.4028235e38f},
  };
  for (const auto& [literal, expected] : cases) {
    SCOPED_TRACE(literal);
    TreeText t;
    t.base = literal;
    Result<TreeExport> model = load_trees(t.text());
    ASSERT_TRUE(model) << model.error();
    EXPECT_EQ(std::bit_cast<uint32_t>(model->base_margin), std::bit_cast<uint32_t>(expected));
  }
}

}  // namespace
}  // namespace tallowmere::policy
