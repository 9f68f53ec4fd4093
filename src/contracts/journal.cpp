#include "contracts/journal.h"

#include <array>

#include "foundation/digest.h"
#include "foundation/json_struct.h"
#include "foundation/record.h"
#include "foundation/record_fields.h"

namespace tallowmere {

namespace {

using fields::field;
using fields::record;
using json::Presence;

constexpr std::array kEntryFields{
    field<&Entry::sequence, json::read_u64>("sequence", Presence::Required),
    field<&Entry::tick_ms, json::read_u64>("tick_ms", Presence::Required),
    field<&Entry::previous_hash, json::read_string_field>("previous_hash", Presence::Required),
    field<&Entry::command, record>("command", Presence::Required),
    field<&Entry::result_hash, json::read_string_field>("result_hash", Presence::Required),
    field<&Entry::hash, json::read_string_field>("hash", Presence::Required),
};
constexpr auto kEntryReaders = fields::readers(kEntryFields);

constexpr std::array kJournalFields{
    field<&Journal::schema_version, json::read_u32>("schema_version", Presence::Required),
    field<&Journal::config, record>("config", Presence::Required),
    field<&Journal::checkpoint_state, record>("checkpoint_state", Presence::Required),
    field<&Journal::checkpoint_sequence, json::read_u64>("checkpoint_sequence",
                                                         Presence::Required),
    field<&Journal::checkpoint_tick_ms, json::read_u64>("checkpoint_tick_ms", Presence::Required),
    field<&Journal::checkpoint_parent_hash, json::read_string_field>("checkpoint_parent_hash",
                                                                     Presence::Required),
    field<&Journal::checkpoint_hash, json::read_string_field>("checkpoint_hash",
                                                              Presence::Required),
    field<&Journal::entries, fields::list_of<record>>("entries", Presence::Required),
};
constexpr auto kJournalReaders = fields::readers(kJournalFields);
static_assert(kJournalFields.back().name == "entries", "write_head empties the last field");

}  // namespace

bool read(json::Reader& r, Entry& out) {
  return json::read_struct(r, out, "struct Entry", kEntryReaders, json::Keys::Closed);
}

bool read(json::Reader& r, Journal& out) {
  return json::read_struct(r, out, "struct Journal", kJournalReaders, json::Keys::Closed);
}

void write(json::Writer& w, const Entry& entry) { fields::write_record(w, entry, kEntryFields); }

void write(json::Writer& w, const Journal& journal) {
  fields::write_record(w, journal, kJournalFields);
}

uint64_t text_length(const Journal& journal) { return fields::record_length(journal, kJournalFields); }

uint64_t text_length(const Entry& entry) { return fields::record_length(entry, kEntryFields); }

void write_head(json::Writer& w, const Journal& journal) {
  w.begin_object();
  for (const fields::FieldForm<Journal>& form : kJournalFields) {
    w.plain_key(form.name);
    if (&form == &kJournalFields.back()) {
      w.begin_array();
      w.end_array();
    } else {
      form.write(w, journal);
    }
  }
  w.end_object();
}

json::Value to_value(const Entry& entry) { return fields::record_value<kEntryFields>(entry); }

void write_sorted(json::Writer& w, const Entry& entry) {
  fields::write_sorted_record<kEntryFields>(w, entry);
}

json::Value to_value(const Journal& journal) {
  return fields::record_value<kJournalFields>(journal);
}

void write_sorted(json::Writer& w, const Journal& journal) {
  fields::write_sorted_record<kJournalFields>(w, journal);
}

std::string entry_hash_input(uint64_t sequence, uint64_t tick_ms, std::string_view previous_hash,
                             std::string_view command_text, std::string_view result_hash) {
  std::string text;
  text.reserve(command_text.size() + previous_hash.size() + result_hash.size() + 48);
  json::Writer w(text);
  w.begin_array();
  w.u64(sequence);
  w.u64(tick_ms);
  w.string(previous_hash);
  // The command text is canonical already; the writer places the commas.
  text.push_back(',');
  text.append(command_text);
  w.string(result_hash);
  w.end_array();
  return text;
}

std::string computed_hash(const Entry& entry) {
  return sha256_hex(entry_hash_input(entry.sequence, entry.tick_ms, entry.previous_hash,
                                     to_text(entry.command), entry.result_hash));
}

std::string checkpoint_digest(const Config& config, const State& state, uint64_t sequence,
                              uint64_t tick_ms, std::string_view parent_hash) {
  json::Writer w;
  w.begin_array();
  write(w, config);
  write(w, state);
  w.u64(sequence);
  w.u64(tick_ms);
  w.string(parent_hash);
  w.end_array();
  return sha256_hex(w.text());
}

const std::string& journal_tip(const Journal& journal) {
  return journal.entries.empty() ? journal.checkpoint_hash : journal.entries.back().hash;
}

uint64_t journal_sequence(const Journal& journal) {
  return journal.entries.empty() ? journal.checkpoint_sequence : journal.entries.back().sequence;
}

}  // namespace tallowmere
