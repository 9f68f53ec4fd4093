#include "contracts/command.h"

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

constexpr size_t kOperations = std::variant_size_v<Command>;

constexpr std::array<std::string_view, kOperations> kOperationNames{
    "register_action", "observe", "submit",  "begin",   "finish", "reconcile",
    "cancel",          "revoke",  "expire",  "enqueue", "drain",  "recover"};

// How the array form names each variant in its length message.
constexpr std::array<std::string_view, kOperations> kVariantNames{
    "struct variant Command::RegisterAction", "struct variant Command::Observe",
    "struct variant Command::Submit",         "struct variant Command::Begin",
    "struct variant Command::Finish",         "struct variant Command::Reconcile",
    "struct variant Command::Cancel",         "struct variant Command::Revoke",
    "struct variant Command::Expire",         "struct variant Command::Enqueue",
    "struct variant Command::Drain",          "struct variant Command::Recover"};

constexpr std::array kRegisterActionFields{
    field<&RegisterAction::spec, fields::record>("spec", Presence::Required)};
constexpr std::array kObserveFields{
    field<&Observe::event, fields::record>("event", Presence::Required)};
constexpr std::array kSubmitFields{
    field<&Submit::intent, fields::record>("intent", Presence::Required)};
constexpr std::array kBeginFields{
    field<&Begin::intent_id, json::read_string_field>("intent_id", Presence::Required)};
constexpr std::array kFinishFields{
    field<&Finish::intent_id, json::read_string_field>("intent_id", Presence::Required),
    field<&Finish::outcome, fields::record>("outcome", Presence::Required)};
constexpr std::array kReconcileFields{
    field<&Reconcile::intent_id, json::read_string_field>("intent_id", Presence::Required),
    field<&Reconcile::outcome, fields::record>("outcome", Presence::Required)};
constexpr std::array kCancelFields{
    field<&Cancel::intent_id, json::read_string_field>("intent_id", Presence::Required)};
constexpr std::array kRevokeFields{
    field<&Revoke::capability, json::read_string_field>("capability", Presence::Required)};
constexpr std::array<fields::FieldForm<Expire>, 0> kExpireFields{};
constexpr std::array kEnqueueFields{
    field<&Enqueue::event, fields::record>("event", Presence::Required),
    field<&Enqueue::control, json::read_bool_field>("control", Presence::Required)};
constexpr std::array kDrainFields{
    field<&Drain::limit, json::read_u64>("limit", Presence::Required)};
constexpr std::array<fields::FieldForm<Recover>, 0> kRecoverFields{};

constexpr const auto& forms_of(std::type_identity<RegisterAction>) { return kRegisterActionFields; }
constexpr const auto& forms_of(std::type_identity<Observe>) { return kObserveFields; }
constexpr const auto& forms_of(std::type_identity<Submit>) { return kSubmitFields; }
constexpr const auto& forms_of(std::type_identity<Begin>) { return kBeginFields; }
constexpr const auto& forms_of(std::type_identity<Finish>) { return kFinishFields; }
constexpr const auto& forms_of(std::type_identity<Reconcile>) { return kReconcileFields; }
constexpr const auto& forms_of(std::type_identity<Cancel>) { return kCancelFields; }
constexpr const auto& forms_of(std::type_identity<Revoke>) { return kRevokeFields; }
constexpr const auto& forms_of(std::type_identity<Expire>) { return kExpireFields; }
constexpr const auto& forms_of(std::type_identity<Enqueue>) { return kEnqueueFields; }
constexpr const auto& forms_of(std::type_identity<Drain>) { return kDrainFields; }
constexpr const auto& forms_of(std::type_identity<Recover>) { return kRecoverFields; }
template <class Variant>
constexpr auto kVariantForms = forms_of(std::type_identity<Variant>{});
template <class Variant>
constexpr auto kVariantReaders = fields::readers(kVariantForms<Variant>);

template <size_t... I>
void emplace_operation(Command& command, size_t index, std::index_sequence<I...>) {
  ((index == I ? (void)command.emplace<I>() : void()), ...);
}

// Reads the operation name where the reader stands and makes `out` that variant.
bool read_operation(json::Reader& r, Command& out) {
  size_t index = 0;
  if (!json::read_variant_index(r, kOperationNames, "variant identifier", index)) return false;
  emplace_operation(out, index, std::make_index_sequence<kOperations>());
  return true;
}

// The fields after the operation in the array form, all required; a longer
// array fails with the same length message, counting every value given.
template <class Variant, size_t N>
bool read_positional(json::Reader& r, Variant& out, std::string_view what,
                     const std::array<json::Field<Variant>, N>& table) {
  size_t given = 0;
  bool more;
  while (r.next_element(more) && more) {
    if (given < N && !table[given].read(r, out)) return false;
    if (given >= N && !r.skip_value()) return false;
    ++given;
  }
  if (r.failed()) return false;
  if (given != N) return r.fail_at(r.close_offset(), json::invalid_length_message(given, what, N));
  return true;
}

bool read_array_form(json::Reader& r, Command& out) {
  if (!r.begin_array()) return false;
  bool more;
  if (!r.next_element(more)) return false;
  if (!more) return r.fail_at(r.close_offset(), missing_field_message("operation"));
  if (!read_operation(r, out)) return false;
  const std::string_view what = kVariantNames[out.index()];
  return std::visit(
      [&](auto& variant) {
        using Variant = std::remove_cvref_t<decltype(variant)>;
        return read_positional(r, variant, what, kVariantReaders<Variant>);
      },
      out);
}

// The whole object is scanned first; then the operation decides which keys
// are fields, and all others are skipped.
bool read_object_form(json::Reader& r, Command& out) {
  const json::Reader::Mark start = r.mark();
  TagScan scan;
  if (!scan_tagged_object(r, "operation", scan)) return false;
  if (scan.repeated) return r.fail_at(scan.repeat_offset, duplicate_field_message("operation"));
  if (!scan.found) return r.fail_at(scan.close_offset, missing_field_message("operation"));
  const json::Reader::Mark end = r.mark();
  r.reset(scan.value);
  if (!read_operation(r, out)) return false;
  const std::string_view what = kVariantNames[out.index()];
  return std::visit(
      [&](auto& variant) {
        using Variant = std::remove_cvref_t<decltype(variant)>;
        if constexpr (kVariantReaders<Variant>.empty()) {
          r.reset(end);
          return true;
        } else {
          r.reset(start);
          return json::read_struct(r, variant, what, kVariantReaders<Variant>, json::Keys::Open);
        }
      },
      out);
}

}  // namespace

std::string_view operation_name(const Command& command) {
  return kOperationNames[command.index()];
}

bool read(json::Reader& r, Command& out) {
  json::Reader::Kind kind;
  if (!r.peek(kind)) return false;
  if (kind == json::Reader::Kind::Object) return read_object_form(r, out);
  if (kind == json::Reader::Kind::Array) return read_array_form(r, out);
  return r.fail_type("internally tagged enum Command");
}

void write(json::Writer& w, const Command& command) {
  w.begin_object();
  w.plain_key("operation");
  w.string(operation_name(command));
  std::visit(
      [&w](const auto& variant) {
        using Variant = std::remove_cvref_t<decltype(variant)>;
        fields::write_fields(w, variant, kVariantForms<Variant>);
      },
      command);
  w.end_object();
}

uint64_t text_length(const Command& command) {
  return std::visit(
      [&command](const auto& variant) -> uint64_t {
        using Variant = std::remove_cvref_t<decltype(variant)>;
        constexpr auto& forms = kVariantForms<Variant>;
        return 2 + json::Writer::plain_key_length("operation") +
               json::string_length(operation_name(command)) + (forms.empty() ? 0 : 1) +
               fields::fields_length(variant, forms);
      },
      command);
}

json::Value to_value(const Command& command) {
  json::Object object;
  object.set("operation", json::Value(operation_name(command)));
  std::visit(
      [&object](const auto& variant) {
        using Variant = std::remove_cvref_t<decltype(variant)>;
        fields::add_members(object, variant, kVariantForms<Variant>);
      },
      command);
  return json::Value(std::move(object));
}

// Its keys come from more than one table: written through its value, which
// only queued events need.
void write_sorted(json::Writer& w, const Command& command) { w.value(to_value(command)); }

}  // namespace tallowmere
