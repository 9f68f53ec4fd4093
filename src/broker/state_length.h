// The length of a state's canonical text, kept per collection so that a
// command can adjust it by the members it touched instead of writing the
// whole state again.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/member_forms.h"
#include "contracts/state.h"
#include "foundation/json_writer.h"

namespace tallowmere {

// The members of one collection: their summed text lengths and their count.
struct MemberLengths {
  uint64_t bytes = 0;
  uint64_t count = 0;

  void add(uint64_t length) {
    bytes += length;
    ++count;
  }
  void remove(uint64_t length) {
    bytes -= length;
    --count;
  }
  // Members and the commas between them.
  uint64_t text_length() const { return count == 0 ? 0 : bytes + count - 1; }

  friend bool operator==(const MemberLengths&, const MemberLengths&) = default;
};

struct StateLength {
  MemberLengths actions, capabilities, resources, intents, operation_keys, source_sequences,
      event_hashes, normal_queue, control_queue;
  uint64_t revision = 0;

  // Writes every member once.
  static StateLength of(const State& state);
  uint64_t total() const;

  friend bool operator==(const StateLength&, const StateLength&) = default;
};

// Measures members as the state writes them, without writing them:
// `"key":value` in a map, the quoted string in a set, the record in a queue.
struct MemberMeter {
  template <class V>
  uint64_t operator()(std::string_view key, const V& value) const {
    return json::string_length(key) + 1 + member_length(value);
  }
  uint64_t operator()(std::string_view set_member) const {
    return json::string_length(set_member);
  }
  uint64_t operator()(const Event& queued) const { return text_length(queued); }
};

}  // namespace tallowmere
