#include "contracts/intent_record.h"

#include <array>

#include "foundation/record_fields.h"
#include "foundation/json_fields.h"
#include "foundation/json_struct.h"

namespace tallowmere {

namespace {

using fields::field;
using json::Presence;

constexpr std::array<std::string_view, 9> kStatusNames{
    "accepted",  "running", "cancellation_requested", "completed_verified", "failed_verified",
    "cancelled", "expired", "invalidated",            "effect_unknown"};

constexpr std::array<std::string_view, 9> kStatusDisplayNames{
    "Accepted",  "Running", "CancellationRequested", "CompletedVerified", "FailedVerified",
    "Cancelled", "Expired", "Invalidated",           "EffectUnknown"};

constexpr std::array kIntentRecordFields{
    field<&IntentRecord::intent, fields::record>("intent", Presence::Required),
    field<&IntentRecord::status, fields::record>("status", Presence::Required),
    field<&IntentRecord::accepted_ms, json::read_u64>("accepted_ms", Presence::Required),
    field<&IntentRecord::expires_ms, json::read_u64>("expires_ms", Presence::Required),
    field<&IntentRecord::started_ms, fields::optional_of<json::read_u64>>("started_ms",
                                                                          Presence::Defaulted),
    field<&IntentRecord::finished_ms, fields::optional_of<json::read_u64>>("finished_ms",
                                                                           Presence::Defaulted),
    field<&IntentRecord::cancellation_requested, json::read_bool_field>("cancellation_requested",
                                                                        Presence::Required),
    field<&IntentRecord::outcome, fields::optional_of<fields::record>>("outcome",
                                                                       Presence::Defaulted),
    field<&IntentRecord::invalidation_reason, fields::optional_of<json::read_string_field>>(
        "invalidation_reason", Presence::Defaulted),
};
constexpr auto kIntentRecordReaders = fields::readers(kIntentRecordFields);

}  // namespace

std::string_view name_of(Status status) { return kStatusNames[static_cast<size_t>(status)]; }

std::string_view display_name(Status status) {
  return kStatusDisplayNames[static_cast<size_t>(status)];
}

bool is_terminal(Status status) {
  return status >= Status::CompletedVerified && status <= Status::Invalidated;
}

bool read(json::Reader& r, Status& out) {
  return fields::read_enum(r, out, kStatusNames, "enum Status");
}

bool read(json::Reader& r, IntentRecord& out) {
  return json::read_struct(r, out, "struct IntentRecord", kIntentRecordReaders, json::Keys::Open);
}

void write(json::Writer& w, const IntentRecord& record) {
  fields::write_record(w, record, kIntentRecordFields);
}

uint64_t text_length(const IntentRecord& record) { return fields::record_length(record, kIntentRecordFields); }

json::Value to_value(const IntentRecord& record) {
  return fields::record_value<kIntentRecordFields>(record);
}

void write_sorted(json::Writer& w, const IntentRecord& record) {
  fields::write_sorted_record<kIntentRecordFields>(w, record);
}

}  // namespace tallowmere
