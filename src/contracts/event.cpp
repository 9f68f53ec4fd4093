#include "contracts/event.h"

#include <array>
#include <type_traits>
#include <utility>

#include "foundation/record_fields.h"
#include "foundation/tagged_object.h"
#include "foundation/json_fields.h"
#include "foundation/json_struct.h"

namespace tallowmere {

namespace {

using fields::field;
using json::Presence;

// Payload kinds in variant order.
constexpr std::array<std::string_view, 3> kKindNames{"resource_observed", "intent_cancel",
                                                     "capability_revoke"};

constexpr std::array kEventFields{
    field<&Event::event_id, json::read_string_field>("event_id", Presence::Required),
    field<&Event::source_id, json::read_string_field>("source_id", Presence::Required),
    field<&Event::source_sequence, json::read_u64>("source_sequence", Presence::Required),
};
constexpr auto kEventReaders = fields::readers(kEventFields);

constexpr std::array kResourceObservedFields{
    field<&ResourceObserved::resource_id, json::read_string_field>("resource_id",
                                                                   Presence::Required),
    field<&ResourceObserved::fingerprint, json::read_string_field>("fingerprint",
                                                                   Presence::Required),
};
constexpr std::array kIntentCancelFields{
    field<&IntentCancel::intent_id, json::read_string_field>("intent_id", Presence::Required),
};
constexpr std::array kCapabilityRevokeFields{
    field<&CapabilityRevoke::capability, json::read_string_field>("capability",
                                                                  Presence::Required),
};

constexpr const auto& forms_of(std::type_identity<ResourceObserved>) {
  return kResourceObservedFields;
}
constexpr const auto& forms_of(std::type_identity<IntentCancel>) { return kIntentCancelFields; }
constexpr const auto& forms_of(std::type_identity<CapabilityRevoke>) {
  return kCapabilityRevokeFields;
}
template <class Payload>
constexpr auto kPayloadForms = forms_of(std::type_identity<Payload>{});
template <class Payload>
constexpr auto kPayloadReaders = fields::readers(kPayloadForms<Payload>);

// A failure kept aside while the rest of the object is read; the first wins.
struct Deferred {
  bool failed = false;
  size_t offset = 0;
  std::string message;

  void keep(size_t at, std::string text) {
    if (failed) return;
    failed = true;
    offset = at;
    message = std::move(text);
  }
  // Takes the reader's failure over and clears it.
  void take(json::Reader& r) {
    keep(r.error_offset(), r.message());
    r.clear_error();
  }
};

// Reads or skips the value of one payload key. Problems are kept aside, so
// that the event's own fields are still checked first; the object was
// scanned already, so skipping cannot fail on syntax.
template <class Payload>
bool read_payload_key(json::Reader& r, std::string_view key, Payload& payload, uint32_t& seen,
                      Deferred& problem) {
  if (problem.failed) return r.skip_value();
  const auto& table = kPayloadReaders<Payload>;
  const size_t index = fields::find_field(table, key);
  if (index == table.size()) {
    problem.keep(r.key_offset(), json::unknown_field_message(key, fields::names_of(table)));
    return r.skip_value();
  }
  if (seen & (uint32_t{1} << index)) {
    problem.keep(r.key_offset(), duplicate_field_message(key));
    return r.skip_value();
  }
  seen |= uint32_t{1} << index;
  const json::Reader::Mark before = r.mark();
  if (table[index].read(r, payload)) return true;
  problem.take(r);
  r.reset(before);
  return r.skip_value();
}

template <class Record, size_t N>
bool check_required(json::Reader& r, const std::array<json::Field<Record>, N>& table,
                    uint32_t seen, size_t close_offset) {
  for (size_t i = 0; i < N; ++i) {
    if (table[i].presence == Presence::Required && !(seen & (uint32_t{1} << i))) {
      return r.fail_at(close_offset, missing_field_message(table[i].name));
    }
  }
  return true;
}

// Reads the tag at the scanned place and makes the payload that variant.
bool read_kind(json::Reader& r, const TagScan& scan, EventPayload& payload) {
  r.reset(scan.value);
  size_t index = 0;
  if (!json::read_variant_index(r, kKindNames, "variant identifier", index)) return false;
  switch (index) {
    case 0: payload.emplace<0>(); break;
    case 1: payload.emplace<1>(); break;
    default: payload.emplace<2>(); break;
  }
  return true;
}

}  // namespace

bool read(json::Reader& r, Event& out) {
  json::Reader::Kind kind;
  if (!r.peek(kind)) return false;
  if (kind != json::Reader::Kind::Object) return r.fail_type("struct Event");
  const json::Reader::Mark start = r.mark();
  TagScan scan;
  if (!scan_tagged_object(r, "kind", scan)) return false;

  // The kind tells which keys the payload owns; a bad kind is reported only
  // after the event's own fields.
  Deferred kind_problem;
  bool kind_known = false;
  if (scan.found && !scan.repeated) {
    kind_known = read_kind(r, scan, out.payload);
    if (!kind_known) kind_problem.take(r);
  }

  r.reset(start);
  if (!r.begin_object()) return false;
  uint32_t own_seen = 0;
  uint32_t payload_seen = 0;
  Deferred payload_problem;
  std::string_view key;
  bool more;
  while (r.next_key(key, more) && more) {
    const size_t own = fields::find_field(kEventReaders, key);
    if (own < kEventReaders.size()) {
      if (own_seen & (uint32_t{1} << own)) {
        return r.fail_at(r.key_offset(), duplicate_field_message(key));
      }
      own_seen |= uint32_t{1} << own;
      if (!kEventReaders[own].read(r, out)) return false;
      continue;
    }
    const bool ok = kind_known && key != "kind"
                        ? std::visit(
                              [&](auto& payload) {
                                return read_payload_key(r, key, payload, payload_seen,
                                                        payload_problem);
                              },
                              out.payload)
                        : r.skip_value();
    if (!ok) return false;
  }
  if (r.failed()) return false;

  if (!check_required(r, kEventReaders, own_seen, scan.close_offset)) return false;
  if (!scan.found) return r.fail_at(scan.close_offset, missing_field_message("kind"));
  if (scan.repeated) return r.fail_at(scan.repeat_offset, duplicate_field_message("kind"));
  if (kind_problem.failed) return r.fail_at(kind_problem.offset, kind_problem.message);
  if (payload_problem.failed) return r.fail_at(payload_problem.offset, payload_problem.message);
  return std::visit(
      [&](const auto& payload) {
        using Payload = std::remove_cvref_t<decltype(payload)>;
        return check_required(r, kPayloadReaders<Payload>, payload_seen, scan.close_offset);
      },
      out.payload);
}

void write(json::Writer& w, const Event& event) {
  w.begin_object();
  fields::write_fields(w, event, kEventFields);
  w.plain_key("kind");
  w.string(kKindNames[event.payload.index()]);
  std::visit(
      [&w](const auto& payload) {
        using Payload = std::remove_cvref_t<decltype(payload)>;
        fields::write_fields(w, payload, kPayloadForms<Payload>);
      },
      event.payload);
  w.end_object();
}

uint64_t text_length(const Event& event) {
  const uint64_t head = 2 + fields::fields_length(event, kEventFields) + 1 +
                        json::Writer::plain_key_length("kind") +
                        json::string_length(kKindNames[event.payload.index()]);
  return std::visit(
      [head](const auto& payload) -> uint64_t {
        using Payload = std::remove_cvref_t<decltype(payload)>;
        constexpr auto& forms = kPayloadForms<Payload>;
        return head + (forms.empty() ? 0 : 1) + fields::fields_length(payload, forms);
      },
      event.payload);
}

json::Value to_value(const Event& event) {
  json::Object object;
  fields::add_members(object, event, kEventFields);
  object.set("kind", json::Value(kKindNames[event.payload.index()]));
  std::visit(
      [&object](const auto& payload) {
        using Payload = std::remove_cvref_t<decltype(payload)>;
        fields::add_members(object, payload, kPayloadForms<Payload>);
      },
      event.payload);
  return json::Value(std::move(object));
}

// Its keys come from more than one table: written through its value, which
// only queued events need.
void write_sorted(json::Writer& w, const Event& event) { w.value(to_value(event)); }

}  // namespace tallowmere
