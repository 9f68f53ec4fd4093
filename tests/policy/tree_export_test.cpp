// Loading tree exports: every message, and which one wins when several apply.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "policy/tree_export.h"
#include "policy_test_support.h"

namespace tallowmere::policy {
namespace {

using testing::at_column;
using testing::json_array;
using testing::one_tree;
using testing::TreeText;

std::string error_of(const std::string& text) { return testing::load_error(load_trees(text)); }

std::string with_trees(std::string trees) { return TreeText{.trees = std::move(trees)}.text(); }

// Messages of strict reading, placed where reading stopped.
TEST(TreeExportLoader, ReadingMessages) {
  const std::string no_intercept = TreeText{.calibration = R"({"kind":"platt","coef":1.0})"}.text();
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"{}", "missing field `schema_version`", ""},
      {R"({"schema_version":1,"bogus":2})", "unknown field `bogus`, expected one of "
       "`schema_version`, `feature_names`, `base_margin`, `trees`, `calibration`", "\"bogus\""},
      {R"([1,["a"],0.0,[[[[0,0.5]]]]])", "invalid length 4, expected struct TreeExport with 5 elements", ""},
      {R"([1,["a"],0.0,[[]],["platt",1.0,0.0]])", "invalid length 0, expected struct Tree with 1 element", "]],["},
      {no_intercept, "missing field `intercept`", "}}"},
      {TreeText().text() + " x", "trailing characters", ""},
      // Syntax inside a node is reported as such, not as a shape mismatch.
      {with_trees(one_tree("[0,1e400]")), "number out of range", "1e400"},
  };
  for (const auto& [text, message, anchor] : cases) {
    EXPECT_EQ(error_of(text), "invalid_tree_export: " + testing::placed(text, message, anchor));
  }
  // The export, the tree list, a tree and its node list take four levels.
  const std::string too_deep = with_trees(one_tree(std::string(130, '[') + std::string(130, ']')));
  EXPECT_EQ(error_of(too_deep), "invalid_tree_export: recursion limit exceeded" +
                                    at_column(too_deep.find("[[[") + 124));
}

// A node is a Leaf or a Split by its exact shape; everything else gets one
// message, reported at the node's last byte.
TEST(TreeExportLoader, NodesThatFitNoVariant) {
  const std::string nodes[] = {
      R"({"node_id":0,"leaf":1,"extra":null})",
      R"({"node_id":0})",
      R"({"node_id":0,"leaf":1,"leaf":2})",
      R"({"node_id":1.0,"leaf":1})",
      R"({"node_id":0,"leaf":"1"})",
      R"({"node_id":0,"feature_index":0,"threshold":0.5,"left":1,"right":2,"missing":1e0})",
      R"([0,0.5,1])",
      R"([0,0,0.5,1,2,1,1,1,1])",  // elements past the sixth are skipped, not stored
      R"("leaf")",
  };
  for (const std::string& node : nodes) {
    const std::string text = with_trees(one_tree(node));
    EXPECT_EQ(error_of(text), "invalid_tree_export: data did not match any variant of untagged "
                              "enum Node" + at_column(text.find(node) + node.size() - 1))
        << node;
  }
}

TEST(TreeExportLoader, HeaderChecksComeBeforeTrees) {
  const std::string single_leaf = R"({"nodes":[[0,1]]})";
  const TreeText failing[] = {
      {.schema = "2"},
      {.features = "[]"},
      {.features = json_array("\"f#\"", 4097)},
      {.trees = "[]"},
      {.trees = json_array(single_leaf, 4097)},
      {.base = "1e39"},
      {.calibration = R"({"kind":"Platt","coef":1.0,"intercept":0.0})"},
      {.schema = "2", .trees = R"([{"nodes":[]}])"},
  };
  for (const TreeText& t : failing) {
    EXPECT_EQ(error_of(t.text()), "invalid_tree_export: unsupported schema or bounds")
        << t.text().substr(0, 120);
  }
  EXPECT_EQ(error_of(TreeText{.features = json_array("\"f#\"", 4096),
                              .trees = json_array(single_leaf, 4096)}.text()),
            "<loaded>");
}

TEST(TreeExportLoader, TreeChecks) {
  auto split = [](int id, int feature, const char* threshold, int left, int right, int missing) {
    return "[" + std::to_string(id) + "," + std::to_string(feature) + "," + threshold + "," +
           std::to_string(left) + "," + std::to_string(right) + "," + std::to_string(missing) + "]";
  };
  auto leaf = [](int id, const char* value = "1") { return "[" + std::to_string(id) + "," + value + "]"; };
  const std::string bounds = "node bounds";
  const std::string contiguous = "IDs must be contiguous";
  const std::string nonfinite = "nonfinite leaf";
  const std::string bad_split = "invalid split or cyclic graph";
  const std::string rooted = "graph must be one rooted tree";
  const std::string tail = "," + leaf(1) + "," + leaf(2);
  const std::pair<std::string, std::string> cases[] = {
      {one_tree(""), bounds},
      {one_tree(split(0, 0, "0.5", 1, 2, 1) + "," + leaf(2) + "," + leaf(1)), contiguous},
      {one_tree(leaf(1, "1e39")), contiguous},  // the id before the leaf value
      {one_tree(leaf(0, "1e39")), nonfinite},
      {one_tree(split(0, 2, "0.5", 1, 2, 1) + tail), bad_split},  // feature out of range
      {one_tree(split(0, 0, "-1e39", 1, 2, 1) + tail), bad_split},
      {one_tree(split(0, 0, "0.5", 0, 2, 0) + tail), bad_split},  // left to itself
      {one_tree(split(0, 0, "0.5", 1, 0, 1) + tail), bad_split},  // right to itself
      {one_tree(split(0, 0, "0.5", 1, 1, 1) + tail), bad_split},
      {one_tree(split(0, 0, "0.5", 3, 2, 2) + tail), bad_split},  // left past the end
      {one_tree(split(0, 0, "0.5", 1, 3, 1) + tail), bad_split},  // right past the end
      {one_tree(split(0, 0, "0.5", 1, 2, 0) + tail), bad_split},  // missing names neither child
      {one_tree(split(0, 0, "0.5", 1, 3, 1) + tail + "," + leaf(3)), rooted},  // never referenced
      {one_tree(split(0, 0, "0.5", 1, 2, 1) + "," + split(1, 1, "0.5", 2, 3, 2) + "," + leaf(2) +
                "," + leaf(3)), rooted},  // two parents
      // Every node is checked before the in-degrees; trees in order.
      {one_tree(split(0, 0, "0.5", 1, 3, 1) + tail + "," + leaf(3, "1e39")), nonfinite},
      {"[[[" + leaf(1) + "]],[[]]]", contiguous},
  };
  EXPECT_EQ(error_of(with_trees(one_tree(leaf(0)))), "<loaded>");
  for (const auto& [trees, message] : cases) {
    EXPECT_EQ(error_of(with_trees(trees)), "invalid_tree_export: " + message) << trees;
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

TEST(TreeExportLoader, NodeTotalAndSizeLimits) {
  auto two_trees = [](size_t first, size_t second, size_t first_id = 0) {
    return "[1,[\"a\"],0.0,[" + chain_tree(first, first_id) + "," + chain_tree(second) +
           "],[\"platt\",1.0,0.0]]";
  };
  EXPECT_EQ(error_of(two_trees(499999, 500001)), "<loaded>");
  EXPECT_EQ(error_of(two_trees(499999, 500003)), "invalid_tree_export: node bounds");
  // A fault in an earlier tree is found before the total passes the limit.
  EXPECT_EQ(error_of(two_trees(499999, 500003, 7)), "invalid_tree_export: IDs must be contiguous");

  const std::string valid = TreeText().text();
  std::string exact = valid + std::string(kTreeExportLimitBytes - valid.size(), ' ');
  EXPECT_EQ(error_of(exact), "<loaded>");
  exact.push_back(' ');
  EXPECT_EQ(error_of(exact), "policy_payload_limit");
}

// Past the counts validation accepts, reading goes on without keeping what it
// reads, so reading errors there still come first.
TEST(TreeExportLoader, ReadingPastTheBoundsFindsTheSameErrors) {
  const std::string bad_node = R"([2,"x"])";
  const std::string deep = "[1,[\"a\"],0.0,[" + chain_tree(999999) + ",[[[0,0,0.5,1,2,1],[1,1]," +
                           bad_node + "]]],[\"platt\",1.0,0.0]]";
  const std::string names = TreeText{.features = "[1," + json_array("\"f#\"", 4097).substr(1)}.text();
  const std::string trees =
      with_trees(R"([{"nodes":[],"x":0},)" + json_array(R"({"nodes":[[0,1]]})", 4097).substr(1));
  EXPECT_EQ(error_of(deep), "invalid_tree_export: data did not match any variant of untagged enum Node" +
                                at_column(deep.find(bad_node) + bad_node.size() - 1));
  EXPECT_EQ(error_of(names),
            "invalid_tree_export: invalid type: integer `1`, expected a string" + at_column(names.find("[1,") + 1));
  EXPECT_EQ(error_of(trees), "invalid_tree_export: unknown field `x`, expected `nodes`" +
                                 at_column(trees.find(R"("x")")));
}

// The peak memory of refusing a largest text made of tiny items, in a child
// process so that nothing else this process did counts.
size_t peak_growth_refusing(const std::string& item, const std::string& before,
                            const std::string& after) {
  const pid_t child = fork();
  if (child == 0) {
    std::string text;
    text.reserve(kTreeExportLimitBytes);
    text.append(before).append(item);
    while (text.size() + 1 + item.size() + after.size() <= kTreeExportLimitBytes) {
      text.append(",").append(item);
    }
    text.append(after);
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const long start_kb = usage.ru_maxrss;
    const bool refused = !load_trees(text);
    getrusage(RUSAGE_SELF, &usage);
    _exit(refused ? std::min<long>((usage.ru_maxrss - start_kb) / 8192, 254) : 255);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) * size_t{8} : 2040;  // in MiB
}

TEST(TreeExportLoader, TinyItemsPastTheBoundsAreNotKept) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's own bookkeeping hides the loader's";
#endif
  const std::string platt = R"(],["platt",1.0,0.0]])";
  const std::tuple<std::string, std::string, std::string> texts[] = {
      {"[0,1]", R"([1,["a"],0.0,[[[)", "]]" + platt},
      {R"("")", "[1,[", R"(],0.0,[[[[0,1]]]])" + platt},
      {"[[[0,1]]]", R"([1,["a"],0.0,[)", platt},
  };
  for (const auto& [item, before, after] : texts) {
    EXPECT_LT(peak_growth_refusing(item, before, after), 160u) << item;
  }
}

// Integers convert straight to the nearest float; fractions and exponents go
// through double first.
TEST(TreeExportLoader, SinglePrecisionFields) {
  const std::pair<std::string, float> cases[] = {
      // 2^60 + 2^36 + 1 lies just above the midpoint of two floats; through
      // double it would land on the midpoint and round to even instead.
      {"1152921573326323713", std::ldexp(1.0f, 60) + std::ldexp(1.0f, 37)},
      {"1152921573326323713.0", std::ldexp(1.0f, 60)},
  };
  for (const auto& [literal, expected] : cases) {
    Result<TreeExport> model = load_trees(TreeText{.base = literal}.text());
    ASSERT_TRUE(model) << literal << ": " << model.error();
    EXPECT_EQ(std::bit_cast<uint32_t>(model->base_margin), std::bit_cast<uint32_t>(expected)) << literal;
  }
}

}  // namespace
}  // namespace tallowmere::policy
