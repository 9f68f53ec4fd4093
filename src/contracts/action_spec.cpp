#include "contracts/action_spec.h"

#include <array>

#include "foundation/record_fields.h"
#include "foundation/json_struct.h"

namespace tallowmere {

namespace {

using fields::field;
using json::Presence;

constexpr std::array kActionSpecFields{
    field<&ActionSpec::action_id, json::read_string_field>("action_id", Presence::Required),
    field<&ActionSpec::version, json::read_u64>("version", Presence::Defaulted),
    field<&ActionSpec::required_capabilities, json::read_string_set>("required_capabilities",
                                                                     Presence::Defaulted),
    field<&ActionSpec::allow_write, json::read_bool_field>("allow_write", Presence::Defaulted),
    field<&ActionSpec::max_resources, json::read_u64>("max_resources", Presence::Defaulted),
};
constexpr auto kActionSpecReaders = fields::readers(kActionSpecFields);

}  // namespace

bool read(json::Reader& r, ActionSpec& out) {
  return json::read_struct(r, out, "struct ActionSpec", kActionSpecReaders, json::Keys::Closed);
}

void write(json::Writer& w, const ActionSpec& spec) {
  fields::write_record(w, spec, kActionSpecFields);
}

uint64_t text_length(const ActionSpec& spec) { return fields::record_length(spec, kActionSpecFields); }

json::Value to_value(const ActionSpec& spec) {
  return fields::record_value<kActionSpecFields>(spec);
}

void write_sorted(json::Writer& w, const ActionSpec& spec) {
  fields::write_sorted_record<kActionSpecFields>(w, spec);
}

}  // namespace tallowmere
