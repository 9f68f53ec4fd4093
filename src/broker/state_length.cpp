#include "broker/state_length.h"

#include "foundation/record.h"


namespace tallowmere {

namespace {

// The text of a state whose collections are all empty, less its revision.
uint64_t frame_length() {
  static const uint64_t frame = to_text(State{}).size() - json::decimal_length(0);
  return frame;
}

template <class V>
MemberLengths measure(MemberMeter& meter, const StringMap<V>& map) {
  MemberLengths lengths;
  for (const auto& [key, value] : map) lengths.add(meter(key, value));
  return lengths;
}

template <class Items>
MemberLengths measure(MemberMeter& meter, const Items& items) {
  MemberLengths lengths;
  for (const auto& item : items) lengths.add(meter(item));
  return lengths;
}

// Each collection of the state beside its lengths: the one list both the
// measuring and the summing follow.
template <class Visit>
void for_each_collection(Visit visit) {
  visit(&State::actions, &StateLength::actions);
  visit(&State::capabilities, &StateLength::capabilities);
  visit(&State::resources, &StateLength::resources);
  visit(&State::intents, &StateLength::intents);
  visit(&State::operation_keys, &StateLength::operation_keys);
  visit(&State::source_sequences, &StateLength::source_sequences);
  visit(&State::event_hashes, &StateLength::event_hashes);
  visit(&State::normal_queue, &StateLength::normal_queue);
  visit(&State::control_queue, &StateLength::control_queue);
}

}  // namespace

StateLength StateLength::of(const State& state) {
  MemberMeter meter;
  StateLength length;
  for_each_collection([&](auto collection, auto lengths) {
    length.*lengths = measure(meter, state.*collection);
  });
  length.revision = state.revision;
  return length;
}

uint64_t StateLength::total() const {
  uint64_t total = frame_length() + json::decimal_length(revision);
  for_each_collection([&](auto, auto lengths) { total += (this->*lengths).text_length(); });
  return total;
}

}  // namespace tallowmere
