#include "contracts/outcome.h"

#include <array>

#include "foundation/record_fields.h"
#include "foundation/json_struct.h"

namespace tallowmere {

namespace {

using fields::field;
using json::Presence;

constexpr std::array<std::string_view, 4> kOutcomeStatusNames{
    "completed_verified", "failed_verified", "cancelled_verified", "effect_unknown"};

constexpr std::array kOutcomeFields{
    field<&Outcome::status, fields::record>("status", Presence::Required),
    field<&Outcome::changed_resources, json::read_string_set>("changed_resources",
                                                              Presence::Defaulted),
    field<&Outcome::resource_fingerprints, fields::map_of<json::read_string_field>>(
        "resource_fingerprints", Presence::Defaulted),
    field<&Outcome::evidence, fields::any_value>("evidence", Presence::Defaulted),
};
constexpr auto kOutcomeReaders = fields::readers(kOutcomeFields);

}  // namespace

std::string_view name_of(OutcomeStatus status) {
  return kOutcomeStatusNames[static_cast<size_t>(status)];
}

bool read(json::Reader& r, OutcomeStatus& out) {
  return fields::read_enum(r, out, kOutcomeStatusNames, "enum OutcomeStatus");
}

bool read(json::Reader& r, Outcome& out) {
  return json::read_struct(r, out, "struct Outcome", kOutcomeReaders, json::Keys::Closed);
}

void write(json::Writer& w, const Outcome& outcome) {
  fields::write_record(w, outcome, kOutcomeFields);
}

uint64_t text_length(const Outcome& outcome) { return fields::record_length(outcome, kOutcomeFields); }

json::Value to_value(const Outcome& outcome) {
  return fields::record_value<kOutcomeFields>(outcome);
}

void write_sorted(json::Writer& w, const Outcome& outcome) {
  fields::write_sorted_record<kOutcomeFields>(w, outcome);
}

}  // namespace tallowmere
