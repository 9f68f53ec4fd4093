#include "contracts/intent.h"

#include <array>

#include "foundation/record_fields.h"
#include "foundation/json_fields.h"
#include "foundation/json_struct.h"

namespace tallowmere {

namespace {

using fields::field;
using json::Presence;

constexpr std::array<std::string_view, 2> kAccessNames{"read", "write"};

constexpr std::array kResourceRefFields{
    field<&ResourceRef::resource_id, json::read_string_field>("resource_id", Presence::Required),
    field<&ResourceRef::expected_revision, json::read_u64>("expected_revision", Presence::Required),
    field<&ResourceRef::access, fields::record>("access", Presence::Required),
};
constexpr auto kResourceRefReaders = fields::readers(kResourceRefFields);

constexpr std::array kIntentFields{
    field<&Intent::intent_id, json::read_string_field>("intent_id", Presence::Required),
    field<&Intent::action_id, json::read_string_field>("action_id", Presence::Required),
    field<&Intent::action_version, json::read_u64>("action_version", Presence::Defaulted),
    field<&Intent::resources, fields::list_of<fields::record>>("resources", Presence::Defaulted),
    field<&Intent::idempotency_key, fields::optional_of<json::read_string_field>>(
        "idempotency_key", Presence::Defaulted),
    field<&Intent::ttl_ms, json::read_u64>("ttl_ms", Presence::Defaulted),
    field<&Intent::arguments, fields::any_value>("arguments", Presence::Defaulted),
};
constexpr auto kIntentReaders = fields::readers(kIntentFields);

}  // namespace

std::string_view name_of(Access access) { return kAccessNames[static_cast<size_t>(access)]; }

bool read(json::Reader& r, Access& out) {
  return fields::read_enum(r, out, kAccessNames, "enum Access");
}

bool read(json::Reader& r, ResourceRef& out) {
  return json::read_struct(r, out, "struct ResourceRef", kResourceRefReaders, json::Keys::Closed);
}

bool read(json::Reader& r, Intent& out) {
  return json::read_struct(r, out, "struct Intent", kIntentReaders, json::Keys::Closed);
}

void write(json::Writer& w, const ResourceRef& ref) {
  fields::write_record(w, ref, kResourceRefFields);
}

uint64_t text_length(const ResourceRef& ref) { return fields::record_length(ref, kResourceRefFields); }

void write(json::Writer& w, const Intent& intent) {
  fields::write_record(w, intent, kIntentFields);
}

uint64_t text_length(const Intent& intent) { return fields::record_length(intent, kIntentFields); }

json::Value to_value(const ResourceRef& ref) {
  return fields::record_value<kResourceRefFields>(ref);
}

void write_sorted(json::Writer& w, const ResourceRef& ref) {
  fields::write_sorted_record<kResourceRefFields>(w, ref);
}

json::Value to_value(const Intent& intent) { return fields::record_value<kIntentFields>(intent); }

void write_sorted(json::Writer& w, const Intent& intent) {
  fields::write_sorted_record<kIntentFields>(w, intent);
}

}  // namespace tallowmere
