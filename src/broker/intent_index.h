// Indexes over the open intents, derived from the intent records and the
// registered actions: who holds leases on a resource, which accepted intents
// fall due when, and which open intents need a capability. They let a command
// touch only the intents it concerns instead of scanning the whole ledger.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contracts/state.h"
#include "foundation/json_fields.h"

namespace tallowmere {

class IntentIndex {
 public:
  static IntentIndex build(const State& state);

  // Moves one intent's entries from what `before` implied to what `after`
  // implies; either may be null (no record). `actions` must hold the
  // intent's action for its capabilities to be indexed.
  void replace(const StringMap<ActionSpec>& actions, const IntentRecord* before,
               const IntentRecord* after);

  std::optional<std::string> first_lease_conflict(const std::vector<ResourceRef>& refs,
                                                  std::string_view self) const;
  std::vector<std::string> overdue_accepted(uint64_t tick) const;
  std::vector<std::string> accepted_on_resource(std::string_view resource_id) const;
  std::vector<std::string> open_requiring(std::string_view capability) const;
  const StringSet& open() const { return open_; }
  // The ending steps (ending_steps) of all open intents together.
  uint64_t ending_steps() const { return ending_steps_; }

  friend bool operator==(const IntentIndex&, const IntentIndex&) = default;

 private:
  struct Leases {
    StringSet open;
    StringSet open_writers;
    StringSet accepted;
    friend bool operator==(const Leases&, const Leases&) = default;
  };

  void add(const StringMap<ActionSpec>& actions, const IntentRecord& record);
  void remove(const StringMap<ActionSpec>& actions, const IntentRecord& record);
  void set_accepted(const IntentRecord& record, bool accepted);

  StringSet open_;
  uint64_t ending_steps_ = 0;
  StringMap<Leases> by_resource_;
  std::set<std::pair<uint64_t, std::string>> accepted_by_deadline_;
  StringMap<StringSet> open_by_capability_;
};

}  // namespace tallowmere
