#include "policy/linear_export.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "foundation/boundary.h"
#include "foundation/json_fields.h"
#include "foundation/json_struct.h"
#include "policy/export_fields.h"

namespace tallowmere::policy {

namespace {

using json::Presence;
using json::Reader;

constexpr Code kCode = Code::kInvalidLinearExport;

const std::array<json::Field<LinearExport>, 5> kFields = {{
    {"schema_version", Presence::Required,
     [](Reader& r, LinearExport& e) { return json::read_u32(r, e.schema_version); }},
    {"feature_names", Presence::Required,
     [](Reader& r, LinearExport& e) { return read_string_list(r, e.feature_names); }},
    {"coef", Presence::Required, [](Reader& r, LinearExport& e) { return read_f64_list(r, e.coef); }},
    {"intercept", Presence::Required, [](Reader& r, LinearExport& e) { return read_f64(r, e.intercept); }},
    {"calibration", Presence::Required,
     [](Reader& r, LinearExport& e) { return read(r, e.calibration); }},
}};

bool read_export(Reader& r, LinearExport& out) {
  return json::read_struct(r, out, "struct LinearExport", kFields, json::Keys::Closed);
}

bool is_valid(const LinearExport& model) {
  const auto finite = [](double value) { return std::isfinite(value); };
  return model.schema_version == 1 && model.feature_names.size() == model.coef.size() &&
         !model.coef.empty() && model.coef.size() <= kMaxWeights &&
         model.calibration.kind == kPlattKind && std::isfinite(model.intercept) &&
         std::isfinite(model.calibration.coef) && std::isfinite(model.calibration.intercept) &&
         std::all_of(model.coef.begin(), model.coef.end(), finite);
}

}  // namespace

Result<LinearExport> load_linear(std::string_view export_json) {
  if (export_json.size() > kLinearExportLimitBytes) return fail(Code::kPolicyPayloadLimit);
  LinearExport model;
  std::string error;
  if (!read_document(export_json, model, read_export, error)) return fail(kCode, error);
  if (!is_valid(model)) return fail(kCode, "unsupported schema or nonfinite/dimension bounds");
  return model;
}

}  // namespace tallowmere::policy
