// Every record decoder on arbitrary text; the first byte picks the record.
// Whatever decodes must write a text that decodes to an equal record and is
// written again unchanged, and its generic value must survive the same trip.
// A generic value read as canonical text must fail as the tree does, with the
// same message, or give the text the tree is written as.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "contracts/action_spec.h"
#include "contracts/command.h"
#include "contracts/config.h"
#include "contracts/event.h"
#include "contracts/intent.h"
#include "contracts/intent_record.h"
#include "contracts/journal.h"
#include "contracts/outcome.h"
#include "foundation/record.h"
#include "contracts/state.h"
#include "foundation/boundary.h"
#include "broker/journal_decode.h"
#include "foundation/json_reader.h"
#include "foundation/json_writer.h"
#include "fuzz_check.h"

namespace {

using namespace tallowmere;
using fuzz::require;

template <class T>
bool decode(std::string_view text, T& out, std::string& error, int depth) {
  return read_document(text, out, [](json::Reader& r, T& record) { return read(r, record); },
                       error, depth);
}

bool decode(std::string_view text, json::Value& out, std::string& error, int depth) {
  return read_document(text, out, [](json::Reader& r, json::Value& v) { return r.read_value(v); },
                       error, depth);
}

bool decode(std::string_view text, json::CanonicalText& out, std::string& error, int depth) {
  return read_document(
      text, out, [](json::Reader& r, json::CanonicalText& c) { return r.read_canonical(c); },
      error, depth);
}

void value_round_trip(const json::Value& value, int depth) {
  const std::string text = json::to_text(value);
  json::Value again;
  std::string error;
  require(decode(text, again, error, depth), "a written value reads back", text + "\n" + error);
  require(again == value, "a value read back equals the one written", text);
}

template <class T>
void record_round_trip(std::string_view text, int depth = json::kDefaultDepthBudget) {
  T first{};
  std::string error;
  if (!decode(text, first, error, depth)) return;
  const std::string written = to_text(first);
  T second{};
  require(decode(written, second, error, depth), "a written record reads back",
          written + "\n" + error);
  require(second == first, "a record read back equals the one written", written);
  require(to_text(second) == written, "writing a record read back changes nothing", written);
  value_round_trip(to_value(first), depth);
}

void generic_round_trip(std::string_view text) {
  json::Value value;
  std::string error;
  const bool read = decode(text, value, error, json::kDefaultDepthBudget);
  json::CanonicalText canonical;
  std::string canonical_error;
  const bool read_canonical = decode(text, canonical, canonical_error, json::kDefaultDepthBudget);
  require(read == read_canonical, "a value reads as a tree exactly when it reads as text",
          read ? canonical_error : error);
  if (!read) {
    require(canonical_error == error, "reading as text fails as the tree does", canonical_error);
    return;
  }
  require(canonical.text() == json::to_text(value), "the text read is the tree's text",
          canonical.text());
  value_round_trip(value, json::kDefaultDepthBudget);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 13) {
    case 0: record_round_trip<Config>(text); break;
    case 1: record_round_trip<ActionSpec>(text); break;
    case 2: record_round_trip<ResourceRef>(text); break;
    case 3: record_round_trip<Intent>(text); break;
    case 4: record_round_trip<IntentRecord>(text); break;
    case 5: record_round_trip<Outcome>(text); break;
    case 6: record_round_trip<Event>(text); break;
    case 7: record_round_trip<Command>(text); break;
    case 8: record_round_trip<ResourceState>(text); break;
    case 9: record_round_trip<State>(text); break;
    case 10: record_round_trip<Entry>(text, kJournalDepthBudget); break;
    case 11: record_round_trip<Journal>(text, kJournalDepthBudget); break;
    default: generic_round_trip(text); break;
  }
  return 0;
}
