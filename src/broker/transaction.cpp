#include "broker/transaction.h"

#include <algorithm>
#include <type_traits>
#include <utility>

#include "foundation/invariant.h"

namespace tallowmere {

namespace {

template <class V>
using Originals = StringMap<std::optional<V>>;

// Stores `value` under `key` in one walk of the state's map. The first change
// within a frame remembers the stored value as the original, moved rather
// than copied; undo puts it back.
template <class V>
void put(Originals<V>& originals, StringMap<V>& map, std::string_view key, V value) {
  static_assert(std::is_nothrow_move_constructible_v<V> && std::is_nothrow_move_assignable_v<V>);
  auto it = map.lower_bound(key);
  const bool present = it != map.end() && it->first == key;
  auto seen = originals.lower_bound(key);
  if (seen == originals.end() || seen->first != key) {
    seen = originals.emplace_hint(seen, std::string(key), std::nullopt);
    if (present) seen->second = std::move(it->second);
  }
  if (present) {
    it->second = std::move(value);
  } else {
    map.emplace_hint(it, std::string(key), std::move(value));
  }
}

template <class V>
void restore_map(StringMap<V>& map, Originals<V>& originals) {
  for (auto& [key, original] : originals) {
    auto it = map.find(key);
    if (!original) {
      if (it != map.end()) map.erase(it);
    } else if (it != map.end()) {
      it->second = std::move(*original);
    } else {
      map.emplace(key, std::move(*original));
    }
  }
}

// Takes each touched member's original out of the lengths and puts its
// present value in; an unchanged member is left alone.
template <class V>
void move_lengths(MemberMeter& meter, MemberLengths& lengths, const Originals<V>& originals,
                  const StringMap<V>& map) {
  for (const auto& [key, original] : originals) {
    auto it = map.find(key);
    const bool present = it != map.end();
    if (original && present && it->second == *original) continue;
    if (original) lengths.remove(meter(key, *original));
    if (present) lengths.add(meter(key, it->second));
  }
}

// Puts back the original of every touched entry that compares equal to it.
template <class V>
void keep_equal_originals(Originals<V>& originals, StringMap<V>& map) noexcept {
  static_assert(std::is_nothrow_move_assignable_v<V>);
  for (auto& [key, original] : originals) {
    if (!original) continue;
    auto it = map.find(key);
    if (it != map.end() && it->second == *original) it->second = std::move(*original);
  }
}

template <class V>
bool differs(const Originals<V>& originals, const StringMap<V>& map) {
  for (const auto& [key, original] : originals) {
    auto it = map.find(key);
    if ((it != map.end()) != original.has_value()) return true;
    if (original && !(it->second == *original)) return true;
  }
  return false;
}

}  // namespace

template <class Visit>
void Transaction::for_each_keyed(Visit&& visit) {
  visit(&Frame::actions, &State::actions, &StateLength::actions);
  visit(&Frame::resources, &State::resources, &StateLength::resources);
  visit(&Frame::intents, &State::intents, &StateLength::intents);
  visit(&Frame::operation_keys, &State::operation_keys, &StateLength::operation_keys);
  visit(&Frame::source_sequences, &State::source_sequences, &StateLength::source_sequences);
  visit(&Frame::event_hashes, &State::event_hashes, &StateLength::event_hashes);
}

Transaction::Transaction(State& state, IntentIndex& index)
    : WorkingState(state), state_(state), index_(index) {
  frames_.emplace_back();
}

Transaction::~Transaction() {
  if (!active_) return;
  try {
    rollback();
  } catch (...) {
    // Only allocation can fail here; the caller is already unwinding and the
    // binding poisons the broker, so the core is never used again.
  }
}

void Transaction::put_action(const ActionSpec& spec) {
  put(frames_.back().actions, state_.actions, spec.action_id, spec);
}

bool Transaction::remove_capability(std::string_view capability) {
  auto it = state_.capabilities.find(capability);
  if (it == state_.capabilities.end()) return false;
  frames_.back().revoked_capabilities.emplace(capability);
  state_.capabilities.erase(it);
  return true;
}

void Transaction::put_resource(std::string_view resource_id, const ResourceState& resource) {
  put(frames_.back().resources, state_.resources, resource_id, resource);
}

const IntentRecord& Transaction::put_intent(IntentRecord&& record) {
  Originals<IntentRecord>& originals = frames_.back().intents;
  // The record is stored before the index follows it: should indexing fail
  // half-way, undo re-derives the index from the stored record.
  auto it = state_.intents.lower_bound(record.intent.intent_id);
  if (it == state_.intents.end() || it->first != record.intent.intent_id) {
    std::string id = record.intent.intent_id;
    // Absent from the state, so absent before the frame unless remembered.
    originals.try_emplace(id);
    it = state_.intents.emplace_hint(it, std::move(id), std::move(record));
    index_.replace(state_.actions, nullptr, &it->second);
    return it->second;
  }
  auto seen = originals.find(it->first);
  if (seen == originals.end()) {
    // The first change: the stored record becomes the original, uncopied.
    seen = originals.emplace(it->first, IntentRecord{}).first;
    std::swap(*seen->second, it->second);
    it->second = std::move(record);
    index_.replace(state_.actions, &*seen->second, &it->second);
  } else {
    IntentRecord previous = std::move(record);
    std::swap(previous, it->second);
    index_.replace(state_.actions, &previous, &it->second);
  }
  return it->second;
}

void Transaction::put_operation_key(std::string_view key, std::string_view intent_id) {
  put(frames_.back().operation_keys, state_.operation_keys, key, std::string(intent_id));
}

void Transaction::put_source_sequence(std::string_view source_id, uint64_t sequence) {
  put(frames_.back().source_sequences, state_.source_sequences, source_id, sequence);
}

void Transaction::put_event_hash(std::string_view event_id, std::string_view digest) {
  put(frames_.back().event_hashes, state_.event_hashes, event_id, std::string(digest));
}

void Transaction::set_revision(uint64_t revision) {
  Frame& frame = frames_.back();
  if (!frame.revision) frame.revision = state_.revision;
  state_.revision = revision;
}

void Transaction::reserve_queue_change() {
  if (queue_changes_.size() == queue_changes_.capacity()) {
    queue_changes_.reserve(std::max<size_t>(8, 2 * queue_changes_.capacity()));
  }
}

void Transaction::push_event(const Event& event, bool control) {
  const uint64_t length = MemberMeter()(event);
  reserve_queue_change();
  queue(control).push_back(event);
  queue_changes_.push_back(QueueChange{control, std::nullopt, nullptr, length});
}

std::optional<Event> Transaction::take_next_event() {
  const bool control = !state_.control_queue.empty();
  std::deque<Event>& source = queue(control);
  if (source.empty()) return std::nullopt;
  reserve_queue_change();
  Event event = source.front();
  queue_changes_.push_back(QueueChange{control, std::move(source.front()), nullptr});
  source.pop_front();
  return event;
}

void Transaction::clear_queues() {
  if (state_.normal_queue.empty() && state_.control_queue.empty()) return;
  reserve_queue_change();
  auto cleared = std::make_unique<std::pair<std::deque<Event>, std::deque<Event>>>();
  cleared->first.swap(state_.normal_queue);
  cleared->second.swap(state_.control_queue);
  queue_changes_.push_back(QueueChange{false, std::nullopt, std::move(cleared)});
}

void Transaction::begin_savepoint() { frames_.emplace_back(); }

void Transaction::release_savepoint() {
  Frame inner = std::move(frames_.back());
  frames_.pop_back();
  Frame& outer = frames_.back();
  // An entry the outer frame has not seen had, at the savepoint, the value
  // it had before the outer frame began; merge moves only those.
  for_each_keyed([&](auto originals, auto, auto) {
    (outer.*originals).merge(inner.*originals);
  });
  outer.revoked_capabilities.merge(inner.revoked_capabilities);
  if (!outer.revision) outer.revision = inner.revision;
}

void Transaction::rollback_savepoint() {
  restore(frames_.back());
  frames_.pop_back();
}

void Transaction::restore(Frame& frame) {
  // Intents first: their index entries read the actions they name.
  for (auto& [id, original] : frame.intents) {
    auto it = state_.intents.find(id);
    const IntentRecord* current = it == state_.intents.end() ? nullptr : &it->second;
    index_.replace(state_.actions, current, original ? &*original : nullptr);
  }
  for_each_keyed([&](auto originals, auto map, auto) {
    restore_map(state_.*map, frame.*originals);
  });
  for (const std::string& capability : frame.revoked_capabilities) {
    state_.capabilities.insert(capability);
  }
  if (frame.revision) state_.revision = *frame.revision;
}

void Transaction::undo(QueueChange& change) {
  if (change.cleared) {
    state_.normal_queue.swap(change.cleared->first);
    state_.control_queue.swap(change.cleared->second);
  } else if (change.taken) {
    queue(change.control).push_front(std::move(*change.taken));
  } else {
    queue(change.control).pop_back();
  }
}

bool Transaction::changed() const {
  const Frame& frame = frames_.front();
  if (!queue_changes_.empty()) return true;
  if (frame.revision && *frame.revision != state_.revision) return true;
  // Capabilities are only ever removed, and each recorded one was granted.
  if (!frame.revoked_capabilities.empty()) return true;
  bool any = false;
  for_each_keyed([&](auto originals, auto map, auto) {
    any = any || differs(frame.*originals, state_.*map);
  });
  return any;
}

StateLength Transaction::length_after(StateLength length) const {
  const Frame& frame = frames_.front();
  MemberMeter meter;
  for_each_keyed([&](auto originals, auto map, auto lengths) {
    move_lengths(meter, length.*lengths, frame.*originals, state_.*map);
  });
  for (const std::string& capability : frame.revoked_capabilities) {
    length.capabilities.remove(meter(capability));
  }
  for (const QueueChange& change : queue_changes_) {
    MemberLengths& queued = change.control ? length.control_queue : length.normal_queue;
    if (change.cleared) {
      length.normal_queue = {};
      length.control_queue = {};
    } else if (change.taken) {
      queued.remove(meter(*change.taken));
    } else {
      queued.add(change.pushed_length);
    }
  }
  length.revision = state_.revision;
  return length;
}

void Transaction::commit() noexcept {
  // Savepoints are all released or rolled back by now.
  TALLOWMERE_ASSERT(frames_.size() == 1);
  Frame& frame = frames_.front();
  // An equal intent record implies the same index entries: the index stays.
  for_each_keyed([&](auto originals, auto map, auto) {
    keep_equal_originals(frame.*originals, state_.*map);
  });
  frames_.clear();
  queue_changes_.clear();
  active_ = false;
}

void Transaction::rollback() {
  while (!frames_.empty()) {
    restore(frames_.back());
    frames_.pop_back();
  }
  while (!queue_changes_.empty()) {
    undo(queue_changes_.back());
    queue_changes_.pop_back();
  }
  active_ = false;
}

std::optional<std::string> Transaction::first_lease_conflict(const std::vector<ResourceRef>& refs,
                                                             std::string_view self) const {
  return index_.first_lease_conflict(refs, self);
}

std::vector<std::string> Transaction::overdue_accepted(uint64_t tick) const {
  return index_.overdue_accepted(tick);
}

std::vector<std::string> Transaction::accepted_on_resource(std::string_view resource_id) const {
  return index_.accepted_on_resource(resource_id);
}

std::vector<std::string> Transaction::open_requiring(std::string_view capability) const {
  return index_.open_requiring(capability);
}

std::vector<std::string> Transaction::open_intents() const {
  return std::vector<std::string>(index_.open().begin(), index_.open().end());
}

uint64_t Transaction::open_count() const { return index_.open().size(); }

}  // namespace tallowmere
