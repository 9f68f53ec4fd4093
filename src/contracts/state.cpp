#include "contracts/state.h"

#include <array>

#include "foundation/record_fields.h"
#include "foundation/json_struct.h"

namespace tallowmere {

namespace {

using fields::field;
using fields::list_of;
using fields::map_of;
using fields::record;
using json::Presence;

constexpr std::array kResourceStateFields{
    field<&ResourceState::revision, json::read_u64>("revision", Presence::Required),
    field<&ResourceState::fingerprint, json::read_string_field>("fingerprint", Presence::Required),
    field<&ResourceState::observed_ms, json::read_u64>("observed_ms", Presence::Required),
};
constexpr auto kResourceStateReaders = fields::readers(kResourceStateFields);

constexpr std::array kStateFields{
    field<&State::actions, map_of<record>>("actions", Presence::Required),
    field<&State::capabilities, json::read_string_set>("capabilities", Presence::Required),
    field<&State::resources, map_of<record>>("resources", Presence::Required),
    field<&State::intents, map_of<record>>("intents", Presence::Required),
    field<&State::operation_keys, map_of<json::read_string_field>>("operation_keys",
                                                                   Presence::Required),
    field<&State::source_sequences, map_of<json::read_u64>>("source_sequences",
                                                            Presence::Required),
    field<&State::event_hashes, map_of<json::read_string_field>>("event_hashes",
                                                                 Presence::Required),
    field<&State::normal_queue, list_of<record>>("normal_queue", Presence::Required),
    field<&State::control_queue, list_of<record>>("control_queue", Presence::Required),
    field<&State::revision, json::read_u64>("revision", Presence::Required),
};
constexpr auto kStateReaders = fields::readers(kStateFields);

}  // namespace

State initial_state(const Config& config) {
  State state;
  state.capabilities = config.capabilities;
  return state;
}

bool read(json::Reader& r, ResourceState& out) {
  return json::read_struct(r, out, "struct ResourceState", kResourceStateReaders,
                           json::Keys::Open);
}

bool read(json::Reader& r, State& out) {
  return json::read_struct(r, out, "struct State", kStateReaders, json::Keys::Open);
}

void write(json::Writer& w, const ResourceState& resource) {
  fields::write_record(w, resource, kResourceStateFields);
}

uint64_t text_length(const ResourceState& resource) { return fields::record_length(resource, kResourceStateFields); }

void write(json::Writer& w, const State& state) { fields::write_record(w, state, kStateFields); }

json::Value to_value(const ResourceState& resource) {
  return fields::record_value<kResourceStateFields>(resource);
}

void write_sorted(json::Writer& w, const ResourceState& resource) {
  fields::write_sorted_record<kResourceStateFields>(w, resource);
}

uint64_t text_length(const State& state) { return fields::record_length(state, kStateFields); }

json::Value to_value(const State& state) { return fields::record_value<kStateFields>(state); }

void write_sorted(json::Writer& w, const State& state) {
  fields::write_sorted_record<kStateFields>(w, state);
}

}  // namespace tallowmere
