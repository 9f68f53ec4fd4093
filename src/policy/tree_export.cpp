#include "policy/tree_export.h"

#include <array>
#include <cmath>
#include <limits>

#include "foundation/boundary.h"
#include "foundation/json_fields.h"
#include "foundation/json_struct.h"
#include "policy/export_fields.h"

namespace tallowmere::policy {

namespace {

using json::Presence;
using json::Reader;

constexpr Code kCode = Code::kInvalidTreeExport;

// --- Nodes -------------------------------------------------------------------
//
// A node carries no tag: it is a Leaf or a Split by its exact shape. No value
// fits both (their key sets and array lengths differ), so collecting the
// members once and matching the shape afterwards decides what trying Leaf and
// then Split would. Syntax errors inside the node still surface as such.

enum Slot : uint8_t { kNodeId, kLeafValue, kFeatureIndex, kThreshold, kLeft, kRight, kMissing, kSlots };

constexpr std::array<std::string_view, kSlots> kSlotNames = {
    "node_id", "leaf", "feature_index", "threshold", "left", "right", "missing"};
// Positions of the array forms.
constexpr std::array<Slot, 2> kLeafOrder = {kNodeId, kLeafValue};
constexpr std::array<Slot, 6> kSplitOrder = {kNodeId, kFeatureIndex, kThreshold, kLeft, kRight, kMissing};

constexpr uint32_t bit(Slot slot) { return uint32_t{1} << slot; }
constexpr uint32_t kLeafSlots = bit(kNodeId) | bit(kLeafValue);
constexpr uint32_t kSplitSlots =
    bit(kNodeId) | bit(kFeatureIndex) | bit(kThreshold) | bit(kLeft) | bit(kRight) | bit(kMissing);

struct NodeShape {
  std::array<json::Number, kSlots> values;
  uint32_t present = 0;
  bool fits = true;  // false once a member rules out both variants
};

// Every member of a node is a number; anything else is skipped and spoils
// the shape.
bool read_member(Reader& r, json::Number& out, bool& fits) {
  Reader::Kind kind;
  if (!r.peek(kind)) return false;
  if (kind == Reader::Kind::Number) return r.read_number(out);
  fits = false;
  return r.skip_value();
}

bool read_node_object(Reader& r, NodeShape& shape) {
  if (!r.begin_object()) return false;
  std::string_view key;
  bool more;
  while (r.next_key(key, more) && more) {
    size_t slot = 0;
    while (slot < kSlots && kSlotNames[slot] != key) ++slot;
    if (slot == kSlots || (shape.present & bit(Slot(slot)))) {
      shape.fits = false;
      if (!r.skip_value()) return false;
      continue;
    }
    shape.present |= bit(Slot(slot));
    if (!read_member(r, shape.values[slot], shape.fits)) return false;
  }
  return !r.failed();
}

bool read_node_array(Reader& r, NodeShape& shape) {
  if (!r.begin_array()) return false;
  std::array<json::Number, kSplitOrder.size()> items;
  size_t count = 0;
  bool more;
  while (r.next_element(more) && more) {
    if (count >= items.size()) {
      shape.fits = false;
      if (!r.skip_value()) return false;
    } else if (!read_member(r, items[count], shape.fits)) {
      return false;
    }
    ++count;
  }
  if (r.failed()) return false;
  auto place = [&](auto order) {
    for (size_t i = 0; i < order.size(); ++i) {
      shape.values[order[i]] = items[i];
      shape.present |= bit(order[i]);
    }
  };
  if (count == kLeafOrder.size()) {
    place(kLeafOrder);
  } else if (count == kSplitOrder.size()) {
    place(kSplitOrder);
  } else {
    shape.fits = false;
  }
  return true;
}

bool is_index(const json::Number& number) { return number.kind == json::Number::Kind::Unsigned; }

bool read_node(Reader& r, Node& out) {
  Reader::Kind kind;
  if (!r.peek(kind)) return false;
  NodeShape shape;
  if (kind == Reader::Kind::Object) {
    if (!read_node_object(r, shape)) return false;
  } else if (kind == Reader::Kind::Array) {
    if (!read_node_array(r, shape)) return false;
  } else {
    shape.fits = false;
    if (!r.skip_value()) return false;
  }
  const auto& v = shape.values;
  if (shape.fits && shape.present == kLeafSlots && is_index(v[kNodeId])) {
    out = Leaf{v[kNodeId].u, to_f32(v[kLeafValue])};
    return true;
  }
  if (shape.fits && shape.present == kSplitSlots && is_index(v[kNodeId]) &&
      is_index(v[kFeatureIndex]) && is_index(v[kLeft]) && is_index(v[kRight]) &&
      is_index(v[kMissing])) {
    out = Split{v[kNodeId].u, v[kFeatureIndex].u, to_f32(v[kThreshold]),
                v[kLeft].u, v[kRight].u, v[kMissing].u};
    return true;
  }
  // Reported at the node's last byte.
  return r.fail_at(r.offset() - 1, "data did not match any variant of untagged enum Node");
}

// --- Records -----------------------------------------------------------------

// Reading keeps at most one feature name, one tree and one node more than
// validation accepts: enough for the checks to refuse them as before.
struct TreeReading {
  Tree& tree;
  uint64_t& node_room;
};

const std::array<json::Field<TreeReading>, 1> kTreeFields = {{
    {"nodes", Presence::Required,
     [](Reader& r, TreeReading& t) { return read_list_within(r, t.tree.nodes, t.node_room, read_node); }},
}};

bool read_trees(Reader& r, std::vector<Tree>& trees) {
  uint64_t tree_room = kMaxTrees + 1;
  uint64_t node_room = kNodeTotalLimit + 1;
  return read_list_within(r, trees, tree_room, [&](Reader& reader, Tree& tree) {
    TreeReading reading{tree, node_room};
    return json::read_struct(reader, reading, "struct Tree", kTreeFields, json::Keys::Closed);
  });
}

bool read_feature_names(Reader& r, std::vector<std::string>& names) {
  uint64_t room = kMaxFeatures + 1;
  return read_list_within(r, names, room, read_string);
}

const std::array<json::Field<TreeExport>, 5> kExportFields = {{
    {"schema_version", Presence::Required,
     [](Reader& r, TreeExport& e) { return json::read_u32(r, e.schema_version); }},
    {"feature_names", Presence::Required,
     [](Reader& r, TreeExport& e) { return read_feature_names(r, e.feature_names); }},
    {"base_margin", Presence::Required,
     [](Reader& r, TreeExport& e) { return read_f32(r, e.base_margin); }},
    {"trees", Presence::Required, [](Reader& r, TreeExport& e) { return read_trees(r, e.trees); }},
    {"calibration", Presence::Required,
     [](Reader& r, TreeExport& e) { return read(r, e.calibration); }},
}};

bool read_export(Reader& r, TreeExport& out) {
  return json::read_struct(r, out, "struct TreeExport", kExportFields, json::Keys::Closed);
}

// --- Validation --------------------------------------------------------------

Check check_header(const TreeExport& model) {
  const Calibration& calibration = model.calibration;
  if (model.schema_version != 1 || model.feature_names.empty() ||
      model.feature_names.size() > kMaxFeatures || model.trees.empty() ||
      model.trees.size() > kMaxTrees || !std::isfinite(model.base_margin) ||
      calibration.kind != kPlattKind || !std::isfinite(calibration.coef) ||
      !std::isfinite(calibration.intercept)) {
    return fail(kCode, "unsupported schema or bounds");
  }
  return {};
}

bool split_is_valid(const Split& split, uint64_t index, uint64_t count, uint64_t feature_count) {
  return split.feature_index < feature_count && std::isfinite(split.threshold) &&
         split.left > index && split.right > index && split.left != split.right &&
         split.left < count && split.right < count &&
         (split.missing == split.left || split.missing == split.right);
}

// `node_total` counts the nodes of the trees checked so far and saturates.
Check check_tree(const Tree& tree, uint64_t feature_count, uint64_t& node_total) {
  const uint64_t count = tree.nodes.size();
  node_total = count > std::numeric_limits<uint64_t>::max() - node_total
                   ? std::numeric_limits<uint64_t>::max()
                   : node_total + count;
  if (count == 0 || node_total > kNodeTotalLimit) return fail(kCode, "node bounds");

  std::vector<uint32_t> in_degree(count, 0);
  for (uint64_t i = 0; i < count; ++i) {
    const Node& node = tree.nodes[i];
    if (const Leaf* leaf = std::get_if<Leaf>(&node)) {
      if (leaf->node_id != i) return fail(kCode, "IDs must be contiguous");
      if (!std::isfinite(leaf->leaf)) return fail(kCode, "nonfinite leaf");
      continue;
    }
    const Split& split = std::get<Split>(node);
    if (split.node_id != i) return fail(kCode, "IDs must be contiguous");
    if (!split_is_valid(split, i, count, feature_count)) {
      return fail(kCode, "invalid split or cyclic graph");
    }
    ++in_degree[split.left];
    ++in_degree[split.right];
  }
  for (uint64_t i = 0; i < count; ++i) {
    if (in_degree[i] != (i == 0 ? 0u : 1u)) return fail(kCode, "graph must be one rooted tree");
  }
  return {};
}

}  // namespace

Result<TreeExport> load_trees(std::string_view export_json) {
  if (export_json.size() > kTreeExportLimitBytes) return fail(Code::kPolicyPayloadLimit);
  TreeExport model;
  std::string error;
  if (!read_document(export_json, model, read_export, error)) return fail(kCode, error);
  if (Check header = check_header(model); !header) return std::move(header).take_error();
  uint64_t node_total = 0;
  for (const Tree& tree : model.trees) {
    Check checked = check_tree(tree, model.feature_names.size(), node_total);
    if (!checked) return std::move(checked).take_error();
  }
  return model;
}

}  // namespace tallowmere::policy
