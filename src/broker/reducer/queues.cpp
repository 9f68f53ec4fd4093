#include "broker/reducer/queues.h"

#include "broker/reducer/observation.h"

namespace tallowmere {

Result<json::Value> enqueue(const Config& config, WorkingState& state, const Event& event,
                            bool control) {
  if (Check valid = validate_event(config, event); !valid) return std::move(valid).take_error();
  if (control != is_control(event)) {
    return fail(Code::kQueueClass);
  }
  const State& view = state.view();
  const auto& queue = control ? view.control_queue : view.normal_queue;
  const uint64_t capacity = control ? config.control_capacity : config.normal_capacity;
  if (queue.size() >= capacity) return fail(Code::kQueueFull);
  state.push_event(event, control);
  return json::Value(json::make_object(
      {{"control", control}, {"depth", uint64_t{queue.size()}}, {"queued", true}}));
}

Result<json::Value> drain(const Config& config, WorkingState& state, uint64_t limit,
                          uint64_t tick) {
  if (limit == 0 || limit > kMaxDrainLimit) return fail(Code::kDrainLimit);
  json::Array items;
  for (uint64_t taken = 0; taken < limit; ++taken) {
    std::optional<Event> event = state.take_next_event();
    if (!event) break;
    // Each event runs as a nested transaction: a refused one keeps only its
    // removal from the queue.
    state.begin_savepoint();
    Result<json::Value> result = observe(config, state, *event, tick);
    if (result) {
      state.release_savepoint();
      items.push_back(json::make_object(
          {{"event_id", event->event_id}, {"result", std::move(result).value()}}));
    } else {
      state.rollback_savepoint();
      items.push_back(json::make_object({{"error", result.error()}, {"event_id", event->event_id}}));
    }
  }
  return json::Value(std::move(items));
}

}  // namespace tallowmere
