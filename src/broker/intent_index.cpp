#include "broker/intent_index.h"

#include <algorithm>

#include "broker/journal_append.h"
#include "foundation/invariant.h"

namespace tallowmere {

namespace {

// The parts of a record that decide its index entries, but for whether it is
// accepted. Ids, resources and actions of a stored intent never change.
bool same_holder(const IntentRecord& a, const IntentRecord& b) {
  return is_open(a.status) == is_open(b.status) && a.expires_ms == b.expires_ms &&
         a.intent.intent_id == b.intent.intent_id && a.intent.action_id == b.intent.action_id &&
         a.intent.resources == b.intent.resources;
}

bool is_accepted(const IntentRecord& record) { return record.status == Status::Accepted; }

const StringSet* required_capabilities(const StringMap<ActionSpec>& actions,
                                       const IntentRecord& record) {
  auto action = actions.find(record.intent.action_id);
  return action == actions.end() ? nullptr : &action->second.required_capabilities;
}

void erase_from(StringSet& set, std::string_view key) {
  auto it = set.find(key);
  if (it != set.end()) set.erase(it);
}

std::vector<std::string> to_vector(const StringSet& set) {
  return std::vector<std::string>(set.begin(), set.end());
}

}  // namespace

IntentIndex IntentIndex::build(const State& state) {
  IntentIndex index;
  for (const auto& [id, record] : state.intents) index.add(state.actions, record);
  return index;
}

void IntentIndex::replace(const StringMap<ActionSpec>& actions, const IntentRecord* before,
                          const IntentRecord* after) {
  if (before != nullptr && after != nullptr && same_holder(*before, *after)) {
    // An open intent moves on holding its leases; only being accepted
    // (begin ends it) changes an entry.
    ending_steps_ += tallowmere::ending_steps(*after);
    ending_steps_ -= tallowmere::ending_steps(*before);
    if (is_accepted(*before) != is_accepted(*after)) set_accepted(*after, is_accepted(*after));
    return;
  }
  if (before != nullptr) remove(actions, *before);
  if (after != nullptr) add(actions, *after);
}

void IntentIndex::add(const StringMap<ActionSpec>& actions, const IntentRecord& record) {
  if (!is_open(record.status)) return;
  const std::string& id = record.intent.intent_id;
  const bool accepted = record.status == Status::Accepted;
  // Counted first: undoing a half-made add removes the record whole.
  ending_steps_ += tallowmere::ending_steps(record);
  open_.insert(id);
  for (const ResourceRef& ref : record.intent.resources) {
    Leases& leases = by_resource_[ref.resource_id];
    leases.open.insert(id);
    if (ref.access == Access::Write) leases.open_writers.insert(id);
    if (accepted) leases.accepted.insert(id);
  }
  if (accepted) accepted_by_deadline_.emplace(record.expires_ms, id);
  if (const StringSet* capabilities = required_capabilities(actions, record)) {
    for (const std::string& capability : *capabilities) open_by_capability_[capability].insert(id);
  }
}

// Inserting and erasing are idempotent, so undoing a half-made change by the
// opposite one leaves the entries whole.
void IntentIndex::set_accepted(const IntentRecord& record, bool accepted) {
  const std::string& id = record.intent.intent_id;
  for (const ResourceRef& ref : record.intent.resources) {
    StringSet& holders = must_find(by_resource_, ref.resource_id).accepted;
    if (accepted) {
      holders.insert(id);
    } else {
      erase_from(holders, id);
    }
  }
  if (accepted) {
    accepted_by_deadline_.emplace(record.expires_ms, id);
  } else {
    accepted_by_deadline_.erase({record.expires_ms, id});
  }
}

void IntentIndex::remove(const StringMap<ActionSpec>& actions, const IntentRecord& record) {
  if (!is_open(record.status)) return;
  const std::string& id = record.intent.intent_id;
  erase_from(open_, id);
  ending_steps_ -= tallowmere::ending_steps(record);
  for (const ResourceRef& ref : record.intent.resources) {
    auto leases = by_resource_.find(ref.resource_id);
    if (leases == by_resource_.end()) continue;
    erase_from(leases->second.open, id);
    erase_from(leases->second.open_writers, id);
    erase_from(leases->second.accepted, id);
    if (leases->second.open.empty()) by_resource_.erase(leases);
  }
  if (record.status == Status::Accepted) accepted_by_deadline_.erase({record.expires_ms, id});
  if (const StringSet* capabilities = required_capabilities(actions, record)) {
    for (const std::string& capability : *capabilities) {
      auto holders = open_by_capability_.find(capability);
      if (holders == open_by_capability_.end()) continue;
      erase_from(holders->second, id);
      if (holders->second.empty()) open_by_capability_.erase(holders);
    }
  }
}

std::optional<std::string> IntentIndex::first_lease_conflict(const std::vector<ResourceRef>& refs,
                                                             std::string_view self) const {
  const std::string* first = nullptr;
  for (const ResourceRef& ref : refs) {
    auto leases = by_resource_.find(ref.resource_id);
    if (leases == by_resource_.end()) continue;
    // A writer conflicts with every holder, a reader only with writers.
    const StringSet& holders =
        ref.access == Access::Write ? leases->second.open : leases->second.open_writers;
    for (const std::string& id : holders) {
      if (id == self) continue;
      if (first == nullptr || id < *first) first = &id;
      break;
    }
  }
  if (first == nullptr) return std::nullopt;
  return *first;
}

std::vector<std::string> IntentIndex::overdue_accepted(uint64_t tick) const {
  std::vector<std::string> ids;
  for (const auto& [expires_ms, id] : accepted_by_deadline_) {
    if (expires_ms > tick) break;
    ids.push_back(id);
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::vector<std::string> IntentIndex::accepted_on_resource(std::string_view resource_id) const {
  auto leases = by_resource_.find(resource_id);
  if (leases == by_resource_.end()) return {};
  return to_vector(leases->second.accepted);
}

std::vector<std::string> IntentIndex::open_requiring(std::string_view capability) const {
  auto holders = open_by_capability_.find(capability);
  if (holders == open_by_capability_.end()) return {};
  return to_vector(holders->second);
}

}  // namespace tallowmere
