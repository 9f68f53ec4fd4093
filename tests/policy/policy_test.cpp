// Policy inputs and scoring: loading linear and tree exports and feature
// rows, with every message and which one wins, the size and row limits; then
// scoring, tree ensembles bit for bit against a plain walk of the export as
// read (float32 margins, a double logit), linear models in double.
//
// That any loaded model scores any finite rows as the plain walk or dot
// product does is also the fuzzers' (fuzz/tree_export_fuzzer: "JSON rows
// score as the export's own walk"; fuzz/linear_export_fuzzer: "JSON rows
// score as the plain dot product"). The random models below reach the deep
// and wide layouts that fuzzed texts seldom do.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "policy/feature_input.h"
#include "policy/linear_export.h"
#include "policy/linear_scoring.h"
#include "policy/score_array.h"
#include "policy/tree_export.h"
#include "policy/tree_scoring.h"

namespace tallowmere::policy {
namespace {

constexpr std::string_view kPlatt = R"({"kind":"platt","coef":1.0,"intercept":0.0})";

// A tree export in object form; every part can be replaced.
struct TreeText {
  std::string schema = "1", features = R"(["a","b"])", base = "0.0";
  std::string trees = R"([{"nodes":[{"node_id":0,"leaf":0.5}]}])", calibration = std::string(kPlatt);

  std::string text() const {
    return R"({"schema_version":)" + schema + R"(,"feature_names":)" + features +
           R"(,"base_margin":)" + base + R"(,"trees":)" + trees + R"(,"calibration":)" +
           calibration + "}";
  }
};

std::string one_tree(std::string_view nodes) { return R"([{"nodes":[)" + std::string(nodes) + "]}]"; }

std::string with_trees(std::string trees) { return TreeText{.trees = std::move(trees)}.text(); }

// `count` copies of `item` as a JSON array; a "#" in the item becomes its index.
std::string json_array(std::string_view item, size_t count) {
  std::string out = "[";
  for (size_t i = 0; i < count; ++i) {
    const size_t at = item.find('#');
    out.append(i ? "," : "").append(item.substr(0, at));
    if (at != std::string_view::npos) out.append(std::to_string(i)).append(item.substr(at + 1));
  }
  return out + "]";
}

// An export of `count` feature names; the weights are all 1 unless given.
std::string linear_text(size_t count, std::string coef = {}, std::string schema = "1",
                        std::string_view calibration = kPlatt) {
  if (coef.empty()) coef = json_array("1", count);
  return R"({"schema_version":)" + schema + R"(,"feature_names":)" + json_array("\"x\"", count) +
         R"(,"coef":)" + coef + R"(,"intercept":0.1,"calibration":)" + std::string(calibration) + "}";
}

// "line 1 column N" of the byte at `offset` of a one-line text.
std::string at_column(size_t offset) { return " at line 1 column " + std::to_string(offset + 1); }

// The error, else the text or the scores' text, or "<loaded>".
template <class T>
std::string outcome(const Result<T>& result) {
  if (!result) return result.error();
  if constexpr (std::is_same_v<T, std::string>) return *result;
  else if constexpr (std::is_same_v<T, std::vector<double>>) return score_array_text(*result);
  else return "<loaded>";
}
std::string tree_outcome(const std::string& text) { return outcome(load_trees(text)); }
std::string linear_outcome(const std::string& text) { return outcome(load_linear(text)); }

// The logistic function, written apart from the scorers'.
double oracle_logistic(double z) {
  return z >= 0 ? 1.0 / (1.0 + std::exp(-z)) : std::exp(z) / (1.0 + std::exp(z));
}

std::string scores(std::vector<double> values) { return score_array_text(values); }

// The byte limit of each input is checked before it is read.
TEST(PolicyInputs, PayloadLimits) {
  using Load = std::string (*)(const std::string&);
  const std::tuple<Load, std::string, uint64_t> rows[] = {
      {linear_outcome, linear_text(1), kLinearExportLimitBytes},
      {tree_outcome, TreeText().text(), kTreeExportLimitBytes},
      {[](const std::string& text) { return outcome(read_f32_rows(text)); }, "[[1]]", kFeatureTextLimitBytes},
      {[](const std::string& text) { return outcome(read_f64_rows(text)); }, "[[1]]", kFeatureTextLimitBytes},
  };
  for (const auto& [load, valid, limit] : rows) {
    std::string text = valid + std::string(limit - valid.size(), '\n');
    EXPECT_EQ(load(text), "<loaded>") << valid;
    text.push_back(' ');
    EXPECT_EQ(load(text), "policy_payload_limit") << valid;
  }
}

TEST(PolicyInputs, JsonMatrixRefusals) {
  const std::string invalid = "invalid_features: ";
  EXPECT_EQ(outcome(read_f32_rows(R"({"a":1})")), invalid + "invalid type: map, expected sequence" + at_column(0));
  EXPECT_EQ(outcome(read_f32_rows("[1]")), invalid + "invalid type: integer `1`, expected sequence" + at_column(1));
  EXPECT_EQ(outcome(read_f32_rows(R"([[1,"x"]])")), invalid + "invalid type: string \"x\", expected f32" + at_column(4));
  EXPECT_EQ(outcome(read_f32_rows("[[1e400]]")), invalid + "number out of range" + at_column(2));
  EXPECT_EQ(outcome(read_f64_rows("[[null]]")), invalid + "invalid type: null, expected f64" + at_column(2));
}

// Float bits as packed rows hold them: in the host's order, little-endian.
std::vector<unsigned char> pack(const std::vector<uint32_t>& words) {
  std::vector<unsigned char> out(words.size() * 4);
  std::memcpy(out.data(), words.data(), out.size());
  return out;
}

// Limits first, then the length, then finiteness; rows are read where they lie.
TEST(PolicyInputs, PackedRowsCheckInOrder) {
  const std::string limit = "policy_payload_limit", nonfinite = "invalid_features: nonfinite packed value";
  const std::string length = "invalid_features: packed byte length does not match dimensions";
  const std::vector<unsigned char> ones = pack(std::vector<uint32_t>(6, 0x3F800000));
  auto with_word = [&](size_t index, uint32_t word, size_t drop = 0) {
    std::vector<unsigned char> bytes = ones;
    std::memcpy(bytes.data() + index * 4, &word, 4);
    bytes.resize(bytes.size() - drop);
    return bytes;
  };
  const std::tuple<std::vector<unsigned char>, uint64_t, uint64_t, std::string> cases[] = {
      {ones, 2, 3, ""}, {with_word(0, 0x3F800000, 1), 2, 3, length},
      {pack(std::vector<uint32_t>(7, 0)), 2, 3, length}, {with_word(0, 0x3F800000, 1), 4097, 3, limit},
      {pack(std::vector<uint32_t>(4096, 0)), 4096, 1, ""}, {{}, 0, 0, limit}, {{}, 0, 4097, limit},
      {std::vector<unsigned char>(kPackedLimitBytes + 4, 0), 4, 1, limit},
      {std::vector<unsigned char>(kPackedLimitBytes, 0), 4096, 512, ""},
      {with_word(5, 0x7F800000), 2, 3, nonfinite},  // +inf
      {with_word(3, 0xFF800001), 2, 3, nonfinite},  // NaN with a payload
      {with_word(0, 0x7FC00000, 1), 2, 3, length},
  };
  EXPECT_EQ(packed_rows(ones, 2, 3)->data, ones.data());
  for (const auto& [bytes, rows, features, error] : cases) {
    Result<F32Rows> out = packed_rows(bytes, rows, features);
    EXPECT_EQ(out ? "" : out.error(), error) << bytes.size() << " bytes, " << rows << "x" << features;
  }
}

TEST(LinearExportLoader, FormsAndMessages) {
  Result<LinearExport> model = load_linear(linear_text(2, "[0.5,-1.25]"));
  ASSERT_TRUE(model) << model.error();
  EXPECT_EQ(model->coef, (std::vector<double>{0.5, -1.25}));
  EXPECT_EQ(model->intercept, 0.1);
  Result<LinearExport> positional = load_linear(R"([1,["a"],[2],3,["platt",4,5]])");
  ASSERT_TRUE(positional) << positional.error();
  EXPECT_EQ(positional->coef, std::vector<double>{2.0});
  EXPECT_EQ(positional->calibration.intercept, 5.0);
  const std::string invalid = "invalid_linear_export: unsupported schema or nonfinite/dimension bounds";
  const std::pair<std::string, std::string> validated[] = {
      {linear_text(2, "[1.7e308,-1.7e308]"), "<loaded>"}, {linear_text(1, {}, "2"), invalid},
      {linear_text(3, "[1,2]"), invalid}, {linear_text(0, "[]"), invalid},
      {linear_text(4097), invalid}, {linear_text(4096), "<loaded>"},
      {linear_text(1, {}, "1", R"({"kind":"sigmoid","coef":1,"intercept":0})"), invalid},
  };
  for (const auto& [text, expected] : validated) EXPECT_EQ(linear_outcome(text), expected) << text.substr(0, 80);
}

// Messages of strict reading, placed where reading stopped: the last
// occurrence of the anchor, or the last byte.
TEST(ExportLoaders, ReadingMessages) {
  const std::string linear = "invalid_linear_export: ", tree = "invalid_tree_export: ";
  const std::string no_intercept = TreeText{.calibration = R"({"kind":"platt","coef":1.0})"}.text();
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"{}", linear + "missing field `schema_version`", "}"},
      {R"({"schema_version":1,"base_margin":0})", linear + "unknown field `base_margin`, expected one "
       "of `schema_version`, `feature_names`, `coef`, `intercept`, `calibration`", "\"base"},
      {R"({"schema_version":1,"feature_names":[],"coef":[],"calibration":null})",
       linear + "invalid type: null, expected struct Calibration", "null"},
      {R"({"schema_version":1,"feature_names":[],"coef":[],"calibration":["platt",1,0]})",
       linear + "missing field `intercept`", "}"},
      {"[1,[],[],0]", linear + "invalid length 4, expected struct LinearExport with 5 elements", "]"},
      {linear_text(2, "[1e309,1]"), linear + "number out of range", "1e309"},
      {"{}", tree + "missing field `schema_version`", "}"},
      {R"({"schema_version":1,"bogus":2})", tree + "unknown field `bogus`, expected one of "
       "`schema_version`, `feature_names`, `base_margin`, `trees`, `calibration`", "\"bogus\""},
      {R"([1,["a"],0.0,[[[[0,0.5]]]]])", tree + "invalid length 4, expected struct TreeExport with 5 elements", "]"},
      {R"([1,["a"],0.0,[[]],["platt",1.0,0.0]])", tree + "invalid length 0, expected struct Tree with 1 element", "]],["},
      {no_intercept, tree + "missing field `intercept`", "}}"},
      {TreeText().text() + " x", tree + "trailing characters", "x"},
      // Syntax inside a node is reported as such, not as a shape mismatch.
      {with_trees(one_tree("[0,1e400]")), tree + "number out of range", "1e400"},
  };
  for (const auto& [text, message, anchor] : cases) {
    const bool linear_row = message.starts_with(linear);
    EXPECT_EQ(linear_row ? linear_outcome(text) : tree_outcome(text), message + at_column(text.rfind(anchor)));
  }
  // The export, the tree list, a tree and its node list take four levels.
  const std::string too_deep = with_trees(one_tree(std::string(130, '[') + std::string(130, ']')));
  EXPECT_EQ(tree_outcome(too_deep),
            "invalid_tree_export: recursion limit exceeded" + at_column(too_deep.find("[[[") + 124));
}

std::string split(int id, int feature, const char* threshold, int left, int right, int missing) {
  return "[" + std::to_string(id) + "," + std::to_string(feature) + "," + threshold + "," +
         std::to_string(left) + "," + std::to_string(right) + "," + std::to_string(missing) + "]";
}
std::string leaf(int id, const char* value = "1") { return "[" + std::to_string(id) + "," + value + "]"; }

// A tree of `count` nodes (odd) in positional form: a chain of splits, each
// with a leaf on its left; `first_id` lets a caller break contiguity.
std::string chain_tree(size_t count, size_t first_id = 0) {
  std::string out = "[[";
  for (size_t i = 0; i + 1 < count; i += 2) {
    const std::string id = std::to_string(i == 0 ? first_id : i), left = std::to_string(i + 1);
    out += "[" + id + ",0,0.5," + left + "," + std::to_string(i + 2) + "," + left + "],[" + left + ",1],";
  }
  return out + "[" + std::to_string(count - 1) + ",2]]]";
}

// A node is a Leaf or a Split by its exact shape; everything else gets one
// message, at the node's last byte. Past the counts validation accepts,
// reading goes on without keeping what it reads, so reading errors there
// still come first.
TEST(TreeExportLoader, NodesThatFitNoVariant) {
  std::vector<std::pair<std::string, std::string>> cases;
  for (const std::string node : {
           R"({"node_id":0,"leaf":1,"extra":null})", R"({"node_id":0})", R"({"node_id":0,"leaf":1,"leaf":2})",
           R"({"node_id":1.0,"leaf":1})", R"({"node_id":0,"leaf":"1"})",
           R"({"node_id":0,"feature_index":0,"threshold":0.5,"left":1,"right":2,"missing":1e0})",
           R"([0,0.5,1])", R"([0,0,0.5,1,2,1,1,1,1])",  // elements past the sixth are skipped, not stored
           R"("leaf")"}) {
    cases.emplace_back(node, with_trees(one_tree(node)));
  }
  const std::string bad = R"([2,"x"])";
  cases.emplace_back(bad, "[1,[\"a\"],0.0,[" + chain_tree(999999) + ",[[[0,0,0.5,1,2,1],[1,1]," + bad +
                              "]]],[\"platt\",1.0,0.0]]");
  for (const auto& [node, text] : cases) {
    EXPECT_EQ(tree_outcome(text), "invalid_tree_export: data did not match any variant of untagged "
                                  "enum Node" + at_column(text.find(node) + node.size() - 1)) << node;
  }
  const std::string names = TreeText{.features = "[1," + json_array("\"f#\"", 4097).substr(1)}.text();
  const std::string trees =
      with_trees(R"([{"nodes":[],"x":0},)" + json_array(R"({"nodes":[[0,1]]})", 4097).substr(1));
  EXPECT_EQ(tree_outcome(names), "invalid_tree_export: invalid type: integer `1`, expected a string" +
                                     at_column(names.find("[1,") + 1));
  EXPECT_EQ(tree_outcome(trees), "invalid_tree_export: unknown field `x`, expected `nodes`" +
                                     at_column(trees.find(R"("x")")));
}

// Validation after reading: the header's checks before the trees', every node
// before the in-degrees, trees in order, and a fault in an earlier tree before
// the node total passes its limit.
TEST(TreeExportLoader, Validation) {
  const std::string header = "unsupported schema or bounds", bounds = "node bounds";
  const std::string contiguous = "IDs must be contiguous", nonfinite = "nonfinite leaf";
  const std::string bad_split = "invalid split or cyclic graph", rooted = "graph must be one rooted tree";
  const std::string single_leaf = R"({"nodes":[[0,1]]})", tail = "," + leaf(1) + "," + leaf(2);
  auto two_trees = [](size_t first, size_t second, size_t first_id = 0) {
    return "[1,[\"a\"],0.0,[" + chain_tree(first, first_id) + "," + chain_tree(second) +
           "],[\"platt\",1.0,0.0]]";
  };
  auto one = [](const std::string& nodes) { return with_trees(one_tree(nodes)); };
  const std::string features_4096 = json_array("\"f#\"", 4096), trees_4096 = json_array(single_leaf, 4096);
  std::vector<std::pair<std::string, std::string>> cases = {
      {TreeText{.schema = "2"}.text(), header}, {TreeText{.features = "[]"}.text(), header},
      {TreeText{.features = json_array("\"f#\"", 4097)}.text(), header}, {with_trees("[]"), header},
      {with_trees(json_array(single_leaf, 4097)), header}, {TreeText{.base = "1e39"}.text(), header},
      {TreeText{.calibration = R"({"kind":"Platt","coef":1.0,"intercept":0.0})"}.text(), header},
      {TreeText{.schema = "2", .trees = R"([{"nodes":[]}])"}.text(), header},
      {TreeText{.features = features_4096, .trees = trees_4096}.text(), "<loaded>"},
      {one(leaf(0)), "<loaded>"}, {one(""), bounds},
      {one(split(0, 0, "0.5", 1, 2, 1) + "," + leaf(2) + "," + leaf(1)), contiguous},
      // The id is checked before the leaf value.
      {one(leaf(1, "1e39")), contiguous}, {one(leaf(0, "1e39")), nonfinite},
      // Never referenced; two parents.
      {one(split(0, 0, "0.5", 1, 3, 1) + tail + "," + leaf(3)), rooted},
      {one(split(0, 0, "0.5", 1, 2, 1) + "," + split(1, 1, "0.5", 2, 3, 2) + "," + leaf(2) + "," + leaf(3)), rooted},
      {one(split(0, 0, "0.5", 1, 3, 1) + tail + "," + leaf(3, "1e39")), nonfinite},
      {with_trees("[[[" + leaf(1) + "]],[[]]]"), contiguous},
      {two_trees(499999, 500001), "<loaded>"}, {two_trees(499999, 500003), bounds},
      {two_trees(499999, 500003, 7), contiguous},
  };
  // The feature out of range, a nonfinite threshold, left or right to itself,
  // both children the same, left or right past the end, and a missing side
  // that names neither child.
  for (const std::string& bad : {split(0, 2, "0.5", 1, 2, 1), split(0, 0, "-1e39", 1, 2, 1),
                                 split(0, 0, "0.5", 0, 2, 0), split(0, 0, "0.5", 1, 0, 1),
                                 split(0, 0, "0.5", 1, 1, 1), split(0, 0, "0.5", 3, 2, 2),
                                 split(0, 0, "0.5", 1, 3, 1), split(0, 0, "0.5", 1, 2, 0)}) {
    cases.emplace_back(one(bad + tail), bad_split);
  }
  for (const auto& [text, message] : cases) {
    EXPECT_EQ(tree_outcome(text), message == "<loaded>" ? message : "invalid_tree_export: " + message)
        << text.substr(0, 120);
  }
}

// The peak memory of refusing a largest text made of tiny items, in a child
// process so that nothing else this process did counts.
size_t peak_growth_refusing(const std::string& item, const std::string& before, const std::string& after) {
  const pid_t child = fork();
  if (child == 0) {
    std::string text;
    text.reserve(kTreeExportLimitBytes);
    text.append(before).append(item);
    while (text.size() + 1 + item.size() + after.size() <= kTreeExportLimitBytes) text.append(",").append(item);
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
      {"[0,1]", R"([1,["a"],0.0,[[[)", "]]" + platt}, {R"("")", "[1,[", R"(],0.0,[[[[0,1]]]])" + platt},
      {"[[[0,1]]]", R"([1,["a"],0.0,[)", platt},
  };
  for (const auto& [item, before, after] : texts) {
    EXPECT_LT(peak_growth_refusing(item, before, after), 160u) << item;
  }
}

// Integers convert straight to the nearest float; fractions and exponents go
// through double first. 2^60 + 2^36 + 1 lies just above the midpoint of two
// floats; through double it would land on the midpoint and round to even.
TEST(TreeExportLoader, SinglePrecisionFields) {
  const std::pair<std::string, float> cases[] = {
      {"1152921573326323713", std::ldexp(1.0f, 60) + std::ldexp(1.0f, 37)},
      {"1152921573326323713.0", std::ldexp(1.0f, 60)},
  };
  for (const auto& [literal, expected] : cases) {
    Result<TreeExport> model = load_trees(TreeText{.base = literal}.text());
    ASSERT_TRUE(model) << literal << ": " << model.error();
    EXPECT_EQ(std::bit_cast<uint32_t>(model->base_margin), std::bit_cast<uint32_t>(expected)) << literal;
  }
}

double oracle_score(const TreeExport& model, std::span<const float> row) {
  float margin = model.base_margin;
  for (const Tree& tree : model.trees) {
    uint64_t at = 0;
    while (const Split* split = std::get_if<Split>(&tree.nodes[at])) {
      at = row[split->feature_index] < split->threshold ? split->left : split->right;
    }
    margin += std::get<Leaf>(tree.nodes[at]).leaf;
  }
  return oracle_logistic(model.calibration.intercept + model.calibration.coef * static_cast<double>(margin));
}

// Random models. Thresholds and feature values come partly from one small
// grid so that rows often hit a threshold exactly, zeros of either sign too.
struct Generator {
  std::mt19937_64 random;
  size_t features;

  float value() {
    static constexpr float kGrid[] = {-2.0f, -0.5f, -0.0f, 0.0f, 0.5f, 1.0f, 3.25f};
    if (random() % 2 == 0) return kGrid[random() % std::size(kGrid)];
    return std::uniform_real_distribution<float>(-4.0f, 4.0f)(random);
  }

  // Pre-order numbering gives every child a larger index than its parent. A
  // chain has a leaf on every left.
  void grow(std::vector<Node>& nodes, int depth, bool chain) {
    const uint64_t self = nodes.size();
    if (depth == 0 || (!chain && random() % 5 == 0)) {
      nodes.push_back(Leaf{self, std::uniform_real_distribution<float>(-1.0f, 1.0f)(random)});
      return;
    }
    nodes.push_back(Split{self, random() % features, value(), self + 1, 0, 0});
    if (chain) nodes.push_back(Leaf{self + 1, 0.25f});
    else grow(nodes, depth - 1, false);
    const uint64_t right = nodes.size();
    grow(nodes, depth - 1, chain);
    Split& split = std::get<Split>(nodes[self]);
    split.right = right;
    split.missing = random() % 2 ? self + 1 : right;
  }

  // Up to depth 12: trees stored complete and trees just too deep for that;
  // some trees are long chains, deeper than the lockstep walk allows.
  TreeExport model(size_t trees, size_t deep_chains) {
    TreeExport out;
    out.schema_version = 1;
    out.base_margin = value();
    out.calibration = {"platt", 0.75, -0.125};
    for (size_t k = 0; k < features; ++k) out.feature_names.push_back("f" + std::to_string(k));
    for (size_t t = 0; t < trees; ++t) {
      out.trees.emplace_back();
      grow(out.trees.back().nodes, t < deep_chains ? 40 : static_cast<int>(random() % 13), t < deep_chains);
    }
    return out;
  }
};

// Scores are compared as their shortest texts, which tell every bit apart.
TEST(TreeScoring, MatchesThePlainWalkBitForBit) {
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    // Wide rows on the last seed make many small blocks of rows.
    Generator gen{std::mt19937_64(seed), seed == 12 ? 300 : 1 + seed % 9};
    const TreeModel model = make_tree_model(gen.model(20 + seed * 7, seed % 3));
    // 300 rows: several groups and blocks, and a partial one of each; a few
    // seeds score fewer rows than a group.
    JsonRows<float> rows;
    std::vector<double> oracle;
    for (size_t r = 0; r < (seed % 4 == 1 ? seed : 300); ++r) {
      for (size_t k = 0; k < gen.features; ++k) rows.values.push_back(gen.value());
      rows.ends.push_back(rows.values.size());
      oracle.push_back(oracle_score(model.source, rows.row(r)));
    }
    EXPECT_EQ(outcome(tree_rows(model, rows)), scores(oracle));
    std::vector<unsigned char> packed(rows.values.size() * 4);
    std::memcpy(packed.data(), rows.values.data(), packed.size());
    Result<F32Rows> view = packed_rows(packed, rows.count(), gen.features);
    ASSERT_TRUE(view) << view.error();
    EXPECT_EQ(outcome(tree_rows(model, *view)), scores(oracle));
  }
}

// Feature texts are read as floats before they are compared: 0.49999999
// rounds to the threshold 0.5 and goes right, 0.4999999 stays left. A finite
// margin may overflow when calibrated; a row that overflows the margin fails
// in its turn among rows of the wrong width or a nonfinite value. The row
// count is checked before any row, reading errors before the count.
TEST(TreeScoring, FixedModels) {
  const std::string example = with_trees(one_tree(
      R"({"node_id":0,"feature_index":1,"threshold":0.5,"left":1,"right":2,"missing":1},)"
      R"({"node_id":1,"leaf":-0.25},{"node_id":2,"leaf":0.75})"));
  const std::string logit_overflow = TreeText{.features = R"(["a"])", .trees = "[[[[0,-1]]]]",
      .calibration = R"({"kind":"platt","coef":1e308,"intercept":-1e308})"}.text();
  // Below 0 a small leaf, otherwise a leaf that overflows the margin.
  const std::string overflow_right = TreeText{.features = R"(["a"])", .base = "3e38",
      .trees = one_tree(R"([0,0,0.0,1,2,1],[1,1],[2,3e38])")}.text();
  const std::string dimension = "invalid_features: wrong dimension or nonfinite number";
  const std::string empty_rows = json_array("[]", 4097);
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {example, "[[30,0.49999999],[30,0.4999999]]", scores({oracle_logistic(0.75), oracle_logistic(-0.25)})},
      {example, json_array("[1,0]", 4096), scores(std::vector<double>(4096, oracle_logistic(-0.25)))},
      {example, empty_rows, "policy_row_limit"},
      {example, empty_rows + "x", "invalid_features: trailing characters" + at_column(empty_rows.size())},
      {logit_overflow, "[[0]]", "numerical_overflow"}, {overflow_right, "[[-1]]", "[1.0]"},
      {overflow_right, "[[1]]", "numerical_overflow"},
      {overflow_right, "[[-1],[1],[]]", "numerical_overflow"},
      {overflow_right, "[[-1],[],[1]]", dimension}, {overflow_right, "[[-1],[1e39]]", dimension},
      {overflow_right, "[[-1],[-1,2]]", dimension}, {overflow_right, "[[],[1]]", dimension},
      {overflow_right, "[]", "[]"},
  };
  for (const auto& [model_text, rows, expected] : cases) {
    Result<TreeExport> loaded = load_trees(model_text);
    ASSERT_TRUE(loaded) << loaded.error();
    EXPECT_EQ(outcome(trees_json(make_tree_model(std::move(*loaded)), rows)), expected) << rows.substr(0, 40);
  }
}

LinearExport model(std::vector<double> coef, double intercept = 0.0, Calibration calibration = {"platt", 1.0, 0.0}) {
  return LinearExport{.schema_version = 1, .feature_names = std::vector<std::string>(coef.size(), "x"),
                      .coef = coef, .intercept = intercept, .calibration = calibration};
}

// Summation in feature order, the intercept last, each product rounded
// before it is added: (1 + 2^-30)(1 - 2^-30) rounds to 1.0, so after -1 the
// sum is 0, where a fused multiply-add would keep -2^-60, which the
// calibration blows up to -1. The row count is checked before any row.
TEST(LinearScoring, OrderRoundingOverflowAndRows) {
  const std::tuple<const char*, LinearExport, std::string, std::string> cases[] = {
      // 1e16 + 1 is 1e16 in double: only the strict order cancels to 0.
      {"feature order", model({1e16, 1, -1e16}), "[[1,1,1]]", "[0.5]"},
      {"other order", model({1e16, -1e16, 1}), "[[1,1,1]]", scores({oracle_logistic(1)})},
      // Adding the intercept first would lose it against 1e16.
      {"intercept last", model({1e16, -1e16}, 1.0), "[[1,1]]", scores({oracle_logistic(1)})},
      {"rounded products", model({1.0, 1.000000000931322574615478515625}, 0.0, {"platt", 1152921504606846976.0, 0.0}),
       "[[-1,0.999999999068677425384521484375]]", "[0.5]"},
      {"all zero", model({0, 0, 0}), "[[3,-4,1e300],[0,0,0]]", "[0.5,0.5]"},
      {"calibration", model({2}, 0.5, {"platt", -3.0, 0.25}), "[[1.5]]",
       scores({oracle_logistic(0.25 + -3.0 * 3.5)})},
      {"features stay double", model({1}), "[[0.1]]", scores({oracle_logistic(0.1)})},
      {"large product", model({1e200}), "[[1e200]]", "numerical_overflow"},
      {"large logit", model({1}, 0.0, {"platt", 1e308, 0}), "[[10]]", "numerical_overflow"},
      {"finite extremes", model({1}, 0.0, {"platt", 1e300, 0}), "[[-1],[1]]", "[0.0,1.0]"},
      {"dimension", model({1, 2}), "[[1,2],[1]]", "invalid_features: wrong dimension or nonfinite number"},
      {"overflow before a later bad row", model({1e200}), "[[1e200],[]]", "numerical_overflow"},
      {"empty", model({1}), "[]", "[]"},
      {"row limit", model({1}), json_array("[1]", 4096), scores(std::vector<double>(4096, oracle_logistic(1)))},
      {"past the row limit", model({1}), json_array("[]", 4097), "policy_row_limit"},
  };
  for (const auto& [name, m, rows, expected] : cases) EXPECT_EQ(outcome(linear_json(m, rows)), expected) << name;
}

}  // namespace
}  // namespace tallowmere::policy
