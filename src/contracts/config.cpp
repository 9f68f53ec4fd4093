#include "contracts/config.h"

#include <array>

#include "foundation/record_fields.h"
#include "foundation/identifier.h"
#include "foundation/json_struct.h"

namespace tallowmere {

namespace {

using fields::field;
using json::Presence;

constexpr std::array kConfigFields{
    field<&Config::workspace_id, json::read_string_field>("workspace_id", Presence::Defaulted),
    field<&Config::capabilities, json::read_string_set>("capabilities", Presence::Defaulted),
    field<&Config::trusted_sources, json::read_string_set>("trusted_sources", Presence::Defaulted),
    field<&Config::normal_capacity, json::read_u64>("normal_capacity", Presence::Defaulted),
    field<&Config::control_capacity, json::read_u64>("control_capacity", Presence::Defaulted),
    field<&Config::max_event_bytes, json::read_u64>("max_event_bytes", Presence::Defaulted),
    field<&Config::max_resources, json::read_u64>("max_resources", Presence::Defaulted),
    field<&Config::max_intents, json::read_u64>("max_intents", Presence::Defaulted),
    field<&Config::max_events, json::read_u64>("max_events", Presence::Defaulted),
    field<&Config::max_journal_entries, json::read_u64>("max_journal_entries",
                                                        Presence::Defaulted),
};
constexpr auto kConfigReaders = fields::readers(kConfigFields);

struct Bound {
  uint64_t Config::*field;
  uint64_t lowest;
  uint64_t highest;
};

constexpr uint64_t kUnbounded = UINT64_MAX;

constexpr std::array<Bound, 7> kBounds{{
    {&Config::normal_capacity, 1, 65536},
    {&Config::control_capacity, 1, 4096},
    {&Config::max_event_bytes, 256, 1048576},
    {&Config::max_resources, 1, 100000},
    {&Config::max_intents, 1, 100000},
    {&Config::max_events, 1, 1000000},
    {&Config::max_journal_entries, 32, kUnbounded},
}};

Check check_identifiers(const StringSet& set) {
  for (const std::string& member : set) {
    if (Check check = check_identifier(member); !check) return check;
  }
  return {};
}

}  // namespace

bool read(json::Reader& r, Config& out) {
  return json::read_struct(r, out, "struct Config", kConfigReaders, json::Keys::Closed);
}

void write(json::Writer& w, const Config& config) {
  fields::write_record(w, config, kConfigFields);
}

uint64_t text_length(const Config& config) { return fields::record_length(config, kConfigFields); }

json::Value to_value(const Config& config) { return fields::record_value<kConfigFields>(config); }

void write_sorted(json::Writer& w, const Config& config) {
  fields::write_sorted_record<kConfigFields>(w, config);
}

Check validate(const Config& config) {
  if (Check check = check_identifier(config.workspace_id); !check) return check;
  for (const Bound& bound : kBounds) {
    const uint64_t value = config.*bound.field;
    if (value < bound.lowest || value > bound.highest) {
      return fail(Code::kInvalidConfig);
    }
  }
  if (Check check = check_identifiers(config.capabilities); !check) return check;
  return check_identifiers(config.trusted_sources);
}

}  // namespace tallowmere
