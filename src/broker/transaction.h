// The working state of the running command, kept in place: every mutation
// changes the committed state and the intent index directly and remembers
// the original of each entry it touches, the first time it touches it. That
// is enough to undo the command, to undo a nested savepoint, and to tell
// whether the command changed anything by comparing only the touched
// entries with their originals, so a command costs what it touches.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contracts/state.h"
#include "broker/intent_index.h"
#include "foundation/json_fields.h"
#include "broker/state_length.h"
#include "broker/reducer/working_state.h"

namespace tallowmere {

class Transaction final : public WorkingState {
 public:
  Transaction(State& state, IntentIndex& index);
  // Undoes everything unless committed: an early return or an exception
  // leaves the state and the index as they were.
  ~Transaction() override;
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void put_action(const ActionSpec& spec) override;
  bool remove_capability(std::string_view capability) override;
  void put_resource(std::string_view resource_id, const ResourceState& resource) override;
  const IntentRecord& put_intent(IntentRecord&& record) override;
  void put_operation_key(std::string_view key, std::string_view intent_id) override;
  void put_source_sequence(std::string_view source_id, uint64_t sequence) override;
  void put_event_hash(std::string_view event_id, std::string_view digest) override;
  void set_revision(uint64_t revision) override;
  void push_event(const Event& event, bool control) override;
  std::optional<Event> take_next_event() override;
  void clear_queues() override;

  void begin_savepoint() override;
  void release_savepoint() override;
  void rollback_savepoint() override;

  std::optional<std::string> first_lease_conflict(const std::vector<ResourceRef>& refs,
                                                  std::string_view self) const override;
  std::vector<std::string> overdue_accepted(uint64_t tick) const override;
  std::vector<std::string> accepted_on_resource(std::string_view resource_id) const override;
  std::vector<std::string> open_requiring(std::string_view capability) const override;
  std::vector<std::string> open_intents() const override;
  uint64_t open_count() const override;

  // Whether some touched entry differs from its original.
  bool changed() const;
  // `before`, the length of the state's text before the command, moved by
  // every touched entry that differs from its original. Call it before commit.
  StateLength length_after(StateLength before) const;
  // Keeps every change, except that a touched entry equal to its original
  // gets its original back: equal values may be written differently (-0.0
  // and 0.0), and the state's text must change only where the command
  // changed a value, as length_after counts it and replay rebuilds it.
  // Cannot fail.
  void commit() noexcept;
  // Undoes every change.
  void rollback();

 private:
  template <class V>
  using Originals = StringMap<std::optional<V>>;

  struct Frame {
    Originals<ActionSpec> actions;
    StringSet revoked_capabilities;
    Originals<ResourceState> resources;
    Originals<IntentRecord> intents;
    Originals<std::string> operation_keys;
    Originals<uint64_t> source_sequences;
    Originals<std::string> event_hashes;
    std::optional<uint64_t> revision;
  };

  // One queue change, undone in reverse order: a push (the pushed event's
  // text length), a take (the event taken) or the clearing of both queues
  // (their contents).
  struct QueueChange {
    bool control = false;
    std::optional<Event> taken;
    std::unique_ptr<std::pair<std::deque<Event>, std::deque<Event>>> cleared;
    uint64_t pushed_length = 0;
  };

  // Calls visit(originals, map, lengths) with member pointers for each keyed
  // collection of the state: the one list every whole-frame step walks.
  template <class Visit>
  static void for_each_keyed(Visit&& visit);

  void restore(Frame& frame);
  void undo(QueueChange& change);
  // Makes room for one more queue change, so logging it cannot fail.
  void reserve_queue_change();
  std::deque<Event>& queue(bool control) { return control ? state_.control_queue : state_.normal_queue; }

  State& state_;
  IntentIndex& index_;
  std::vector<Frame> frames_;
  std::vector<QueueChange> queue_changes_;
  bool active_ = true;
};

}  // namespace tallowmere
