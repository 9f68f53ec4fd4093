// The state a command works on. Reducer operations read it through view()
// and change it only through the mutation methods, so an implementation can
// undo every change and tell whether anything changed. The queries answer the
// questions that would otherwise need a scan over all intents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "contracts/state.h"

namespace tallowmere {

class WorkingState {
 public:
  virtual ~WorkingState() = default;

  // The working state as it stands, changes of this command included.
  const State& view() const { return *view_; }

  // --- Mutations. ---------------------------------------------------------
  virtual void put_action(const ActionSpec& spec) = 0;
  // Returns whether the capability was granted.
  virtual bool remove_capability(std::string_view capability) = 0;
  virtual void put_resource(std::string_view resource_id, const ResourceState& resource) = 0;
  // Inserts or replaces the record under its intent id; the stored record.
  virtual const IntentRecord& put_intent(IntentRecord&& record) = 0;
  virtual void put_operation_key(std::string_view key, std::string_view intent_id) = 0;
  virtual void put_source_sequence(std::string_view source_id, uint64_t sequence) = 0;
  virtual void put_event_hash(std::string_view event_id, std::string_view digest) = 0;
  virtual void set_revision(uint64_t revision) = 0;
  virtual void push_event(const Event& event, bool control) = 0;
  // Removes and returns the oldest control event, else the oldest normal one.
  virtual std::optional<Event> take_next_event() = 0;
  virtual void clear_queues() = 0;

  // A nested transaction: changes after begin_savepoint are kept by
  // release_savepoint or undone by rollback_savepoint. Queues are not covered.
  virtual void begin_savepoint() = 0;
  virtual void release_savepoint() = 0;
  virtual void rollback_savepoint() = 0;

  // --- Queries over open intents, all answered in ascending id order. ------
  // The first open intent other than `self` whose resources conflict with
  // `refs` under the lease rule.
  virtual std::optional<std::string> first_lease_conflict(const std::vector<ResourceRef>& refs,
                                                          std::string_view self) const = 0;
  // Accepted intents whose deadline is at or before `tick`.
  virtual std::vector<std::string> overdue_accepted(uint64_t tick) const = 0;
  // Accepted intents that reference the resource with either access.
  virtual std::vector<std::string> accepted_on_resource(std::string_view resource_id) const = 0;
  // Open intents whose registered action requires the capability.
  virtual std::vector<std::string> open_requiring(std::string_view capability) const = 0;
  virtual std::vector<std::string> open_intents() const = 0;
  virtual uint64_t open_count() const = 0;

 protected:
  explicit WorkingState(const State& view) : view_(&view) {}
  void rebind(const State& view) { view_ = &view; }

 private:
  const State* view_;
};

}  // namespace tallowmere
