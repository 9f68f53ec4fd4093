// Helpers shared by the record tests: reading one document as a record and
// writing it back, its sorted value form, and refusals with positioned texts.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "contracts/journal.h"
#include "foundation/record.h"
#include "foundation/boundary.h"

namespace tallowmere::testing {

inline constexpr std::string_view kDefaultConfigText =
    R"({"workspace_id":"default","capabilities":[],"trusted_sources":["runtime","verifier"],)"
    R"("normal_capacity":256,"control_capacity":32,"max_event_bytes":65536,)"
    R"("max_resources":4096,"max_intents":4096,"max_events":65536,"max_journal_entries":100000})";
inline constexpr std::string_view kInitialStateText =
    R"({"actions":{},"capabilities":[],"resources":{},"intents":{},"operation_keys":{},)"
    R"("source_sequences":{},"event_hashes":{},"normal_queue":[],"control_queue":[],)"
    R"("revision":0})";

// What reading `text` as a T gives: the record written back canonically (or
// as its sorted value), or the reader's positioned error.
template <class T, bool kSorted = false>
std::string rewritten(std::string_view text) {
  T record{};
  std::string error;
  if (!read_document(text, record, [](json::Reader& r, T& out) { return read(r, out); }, error)) {
    return error;
  }
  if (kSorted) {
    // Writing the sorted form directly agrees with writing the value.
    std::string sorted_text = json::to_text(to_value(record));
    json::Writer w;
    write_sorted(w, record);
    return w.text() == sorted_text ? sorted_text : "write_sorted " + w.text();
  }
  // Measuring a record agrees with writing it.
  std::string written = to_text(record);
  if (text_length(record) != written.size()) return "text_length " + std::to_string(text_length(record));
  return written;
}
using Rewrite = std::string (*)(std::string_view);
template <class T>
constexpr Rewrite sorted = &rewritten<T, true>;

// A text that must be refused. The position is the first occurrence of
// `anchor` in the input, or its last byte (the closing brace or bracket of
// the outer value) when there is no anchor.
struct Refusal {
  Rewrite read;
  std::string input;
  std::string message;
  std::string anchor = {};
};

inline void expect_refusals(const std::vector<Refusal>& rows) {
  for (const Refusal& row : rows) {
    SCOPED_TRACE(row.input);
    size_t column = row.input.size();
    if (!row.anchor.empty()) {
      ASSERT_NE(row.input.find(row.anchor), std::string::npos) << "anchor " << row.anchor;
      column = row.input.find(row.anchor) + 1;
    }
    EXPECT_EQ(row.read(row.input), row.message + " at line 1 column " + std::to_string(column));
  }
}

}  // namespace tallowmere::testing
