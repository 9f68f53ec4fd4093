#include "lib/guarded_core.h"

#include <new>
#include <utility>

#include "core/json_writer.h"

namespace tallowmere::lib {
namespace {

Answer text_of(Result<json::Value> result) {
  if (!result) return Answer{Answer::End::kFailure, std::move(result).take_error().text};
  return Answer{Answer::End::kText, json::to_text(*result)};
}

}  // namespace

uint64_t tick_ms(uint64_t base_ms, MonotonicClock::time_point started_at,
                 MonotonicClock::time_point now) {
  uint64_t elapsed_ms = 0;
  if (now > started_at) {
    // A steady_clock duration is a signed 64-bit count of nanoseconds, so the
    // milliseconds always fit; only the sum can overflow.
    elapsed_ms = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - started_at).count());
  }
  return elapsed_ms > UINT64_MAX - base_ms ? UINT64_MAX : base_ms + elapsed_ms;
}

GuardedCore::GuardedCore(Core core, MonotonicClock::time_point started_at)
    : core_(std::move(core)),
      base_ms_(core_.clock_ms()),
      boundary_limit_(core_.config().max_event_bytes),
      started_at_(started_at) {}

uint64_t GuardedCore::now_ms() const {
  return tick_ms(base_ms_, started_at_, MonotonicClock::now());
}

template <class Work>
Answer GuardedCore::locked(Work&& work) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (poisoned_) return Answer{Answer::End::kFailure, "broker_poisoned"};
  try {
    return work();
  } catch (const std::bad_alloc&) {
    poisoned_ = true;
    return Answer{Answer::End::kOutOfMemory, {}};
  } catch (...) {
    poisoned_ = true;
    return Answer{Answer::End::kAbnormal, {}};
  }
}

Answer GuardedCore::command(Command command) {
  return locked([&] {
    // Taken under the lock, so the ticks of committed commands never decrease.
    const uint64_t tick = now_ms();
    return text_of(core_.transact(std::move(command), tick));
  });
}

Answer GuardedCore::snapshot() {
  return locked([&] { return Answer{Answer::End::kText, json::to_text(core_.snapshot())}; });
}

Answer GuardedCore::journal() {
  return locked([&] { return Answer{Answer::End::kText, core_.journal_text()}; });
}

Answer GuardedCore::journal_head() {
  return locked([&] { return Answer{Answer::End::kText, core_.head_text()}; });
}

Answer GuardedCore::journal_entries(uint64_t after_sequence) {
  return locked([&] {
    Result<std::string> text = core_.entries_text(after_sequence);
    if (!text) return Answer{Answer::End::kFailure, std::move(text).take_error().text};
    return Answer{Answer::End::kText, std::move(text).value()};
  });
}

Answer GuardedCore::checkpoint(std::string_view acknowledged_tip) {
  return locked([&] { return text_of(core_.checkpoint(acknowledged_tip)); });
}

}  // namespace tallowmere::lib
