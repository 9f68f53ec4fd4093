#include "policy/calibration.h"

#include <array>

#include "foundation/json_fields.h"
#include "foundation/json_struct.h"
#include "policy/export_fields.h"

namespace tallowmere::policy {

namespace {

using json::Presence;

const std::array<json::Field<Calibration>, 3> kFields = {{
    {"kind", Presence::Required,
     [](json::Reader& r, Calibration& c) { return json::read_string_field(r, c.kind); }},
    {"coef", Presence::Required, [](json::Reader& r, Calibration& c) { return read_f64(r, c.coef); }},
    {"intercept", Presence::Required,
     [](json::Reader& r, Calibration& c) { return read_f64(r, c.intercept); }},
}};

}  // namespace

bool read(json::Reader& r, Calibration& out) {
  return json::read_struct(r, out, "struct Calibration", kFields, json::Keys::Closed);
}

}  // namespace tallowmere::policy
