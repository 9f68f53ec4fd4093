// The field table of a record, in declaration order: one place that fixes
// each field's name, presence, reader and member, from which the record is
// read (json::read_struct), written and converted to a generic value.
//   field<&Config::max_intents, json::read_u64>("max_intents", Presence::Defaulted)
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <utility>

#include "foundation/member_forms.h"
#include "foundation/value_readers.h"
#include "foundation/json_reader.h"
#include "foundation/json_struct.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"

namespace tallowmere::fields {

template <class Record>
struct FieldForm {
  std::string_view name;
  json::Presence presence;
  bool (*read)(json::Reader&, Record&);
  void (*write)(json::Writer&, const Record&);
  void (*write_sorted)(json::Writer&, const Record&);
  uint64_t (*length)(const Record&);
  json::Value (*value)(const Record&);
};

template <class>
struct MemberOf;
template <class R, class T>
struct MemberOf<T R::*> {
  using Record = R;
};
template <auto Member>
using RecordOf = typename MemberOf<decltype(Member)>::Record;

template <auto Member, auto Read>
constexpr FieldForm<RecordOf<Member>> field(std::string_view name, json::Presence presence) {
  using Record = RecordOf<Member>;
  return {name, presence, [](json::Reader& r, Record& out) { return Read(r, out.*Member); },
          [](json::Writer& w, const Record& in) { write_member(w, in.*Member); },
          [](json::Writer& w, const Record& in) { write_member<true>(w, in.*Member); },
          [](const Record& in) { return member_length(in.*Member); },
          [](const Record& in) { return member_value(in.*Member); }};
}

// The table read_struct takes.
template <class Record, size_t N>
constexpr std::array<json::Field<Record>, N> readers(
    const std::array<FieldForm<Record>, N>& table) {
  std::array<json::Field<Record>, N> out{};
  for (size_t i = 0; i < N; ++i) out[i] = {table[i].name, table[i].presence, table[i].read};
  return out;
}

// The field names in declaration order, for unknown-field messages.
template <class Record, size_t N>
constexpr std::array<std::string_view, N> names_of(
    const std::array<json::Field<Record>, N>& table) {
  std::array<std::string_view, N> names{};
  for (size_t i = 0; i < N; ++i) names[i] = table[i].name;
  return names;
}

// Index of the field named `key`, or the table size when there is none.
template <class Record, size_t N>
size_t find_field(const std::array<json::Field<Record>, N>& table, std::string_view key) {
  size_t index = 0;
  while (index < N && table[index].name != key) ++index;
  return index;
}

// Writes `"name":value` for every field, in declaration order, into an open object.
template <class Record, size_t N>
void write_fields(json::Writer& w, const Record& record,
                  const std::array<FieldForm<Record>, N>& table) {
  for (const FieldForm<Record>& form : table) {
    w.plain_key(form.name);
    form.write(w, record);
  }
}

template <class Record, size_t N>
void write_record(json::Writer& w, const Record& record,
                  const std::array<FieldForm<Record>, N>& table) {
  w.begin_object();
  write_fields(w, record, table);
  w.end_object();
}

// The length of what write_fields writes, measured without writing it.
template <class Record, size_t N>
uint64_t fields_length(const Record& record, const std::array<FieldForm<Record>, N>& table) {
  uint64_t length = N == 0 ? 0 : N - 1;  // the commas
  for (const FieldForm<Record>& form : table) {
    length += json::Writer::plain_key_length(form.name) + form.length(record);
  }
  return length;
}

template <class Record, size_t N>
uint64_t record_length(const Record& record, const std::array<FieldForm<Record>, N>& table) {
  return 2 + fields_length(record, table);
}

// Adds every field to an object, wherever its name sorts.
template <class Record, size_t N>
void add_members(json::Object& object, const Record& record,
                 const std::array<FieldForm<Record>, N>& table) {
  for (const FieldForm<Record>& form : table) object.set(form.name, form.value(record));
}

// Positions of the fields in ascending byte order of their names.
template <class Record, size_t N>
constexpr std::array<uint8_t, N> sorted_positions(const std::array<FieldForm<Record>, N>& table) {
  std::array<uint8_t, N> order{};
  for (size_t i = 0; i < N; ++i) order[i] = static_cast<uint8_t>(i);
  for (size_t i = 1; i < N; ++i) {
    for (size_t j = i; j > 0 && table[order[j]].name < table[order[j - 1]].name; --j) {
      std::swap(order[j], order[j - 1]);
    }
  }
  return order;
}

// The text of record_value, written without building it.
template <const auto& Table, class Record>
void write_sorted_record(json::Writer& w, const Record& record) {
  static constexpr auto kOrder = sorted_positions(Table);
  w.begin_object();
  for (const uint8_t i : kOrder) {
    w.plain_key(Table[i].name);
    Table[i].write_sorted(w, record);
  }
  w.end_object();
}

// The record as a generic object, its members added in ascending key order.
template <const auto& Table, class Record>
json::Value record_value(const Record& record) {
  static constexpr auto kOrder = sorted_positions(Table);
  json::Object object;
  object.reserve(kOrder.size());
  for (const uint8_t i : kOrder) object.append_sorted(Table[i].name, Table[i].value(record));
  return json::Value(std::move(object));
}

}  // namespace tallowmere::fields
