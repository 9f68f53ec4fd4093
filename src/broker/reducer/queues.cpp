#include "broker/reducer/queues.h"

#include "broker/reducer/observation.h"
#include "foundation/json_writer.h"

namespace tallowmere {

Result<std::string> enqueue(const Config& config, WorkingState& state, const Event& event,
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
  json::Writer w(json::kTransientCapacity);
  w.begin_object();
  w.plain_key("control");
  w.boolean(control);
  w.plain_key("depth");
  w.u64(queue.size());
  w.plain_key("queued");
  w.boolean(true);
  w.end_object();
  return w.take();
}

Result<std::string> drain(const Config& config, WorkingState& state, uint64_t limit,
                          uint64_t tick) {
  if (limit == 0 || limit > kMaxDrainLimit) return fail(Code::kDrainLimit);
  json::Writer w(json::kTransientCapacity);
  w.begin_array();
  for (uint64_t taken = 0; taken < limit; ++taken) {
    std::optional<Event> event = state.take_next_event();
    if (!event) break;
    // Each event runs as a nested transaction: a refused one keeps only its
    // removal from the queue.
    state.begin_savepoint();
    Result<std::string> result = observe(config, state, *event, tick);
    if (result) {
      state.release_savepoint();
      w.begin_object();
      w.plain_key("event_id");
      w.string(event->event_id);
      w.plain_key("result");
      w.verbatim(*result);
      w.end_object();
    } else {
      state.rollback_savepoint();
      w.begin_object();
      w.plain_key("error");
      w.string(result.error());
      w.plain_key("event_id");
      w.string(event->event_id);
      w.end_object();
    }
  }
  w.end_array();
  return w.take();
}

}  // namespace tallowmere
