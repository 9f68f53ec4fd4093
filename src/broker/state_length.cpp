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
MemberLengths of_map(MemberMeter& meter, const StringMap<V>& map) {
  MemberLengths lengths;
  for (const auto& [key, value] : map) lengths.add(meter(key, value));
  return lengths;
}

template <class Items>
MemberLengths of_items(MemberMeter& meter, const Items& items) {
  MemberLengths lengths;
  for (const auto& item : items) lengths.add(meter(item));
  return lengths;
}

}  // namespace

StateLength StateLength::of(const State& state) {
  MemberMeter meter;
  StateLength length;
  length.actions = of_map(meter, state.actions);
  length.capabilities = of_items(meter, state.capabilities);
  length.resources = of_map(meter, state.resources);
  length.intents = of_map(meter, state.intents);
  length.operation_keys = of_map(meter, state.operation_keys);
  length.source_sequences = of_map(meter, state.source_sequences);
  length.event_hashes = of_map(meter, state.event_hashes);
  length.normal_queue = of_items(meter, state.normal_queue);
  length.control_queue = of_items(meter, state.control_queue);
  length.revision = state.revision;
  return length;
}

uint64_t StateLength::total() const {
  return frame_length() + actions.text_length() + capabilities.text_length() +
         resources.text_length() + intents.text_length() + operation_keys.text_length() +
         source_sequences.text_length() + event_hashes.text_length() +
         normal_queue.text_length() + control_queue.text_length() +
         json::decimal_length(revision);
}

}  // namespace tallowmere
