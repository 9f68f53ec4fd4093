#include "lib/guarded_core.h"

#include <pthread.h>

#include <new>
#include <utility>


namespace tallowmere::lib {
namespace {

// The live brokers. Its lock is taken before any broker's lock, never after.
std::mutex registry_mutex;
GuardedCore* registry_head = nullptr;  // Guarded by registry_mutex.

Answer text_of(Result<std::string> text) {
  if (!text) return Answer{Answer::End::kFailure, std::move(text).take_error().text};
  return Answer{Answer::End::kText, std::move(text).value()};
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
      started_at_(started_at) {
  // A child forked while another thread ran an operation would inherit its
  // broker's lock held, and block on it forever. Fork instead waits: the
  // operations never wait for the interpreter lock, or anything else a
  // forking thread may hold, while they hold a broker lock.
  static std::once_flag registered;  // Tried again after a failure.
  std::call_once(registered, [] {
    if (pthread_atfork(lock_all, unlock_all, unlock_all) != 0) throw std::bad_alloc();
  });
  std::lock_guard<std::mutex> registry(registry_mutex);
  next_ = registry_head;
  if (next_ != nullptr) next_->previous_ = this;
  registry_head = this;
}

GuardedCore::~GuardedCore() {
  std::lock_guard<std::mutex> registry(registry_mutex);
  if (previous_ != nullptr) {
    previous_->next_ = next_;
  } else {
    registry_head = next_;
  }
  if (next_ != nullptr) next_->previous_ = previous_;
}

void GuardedCore::lock_all() {
  registry_mutex.lock();
  for (GuardedCore* core = registry_head; core != nullptr; core = core->next_) {
    core->mutex_.lock();
  }
}

void GuardedCore::unlock_all() {
  for (GuardedCore* core = registry_head; core != nullptr; core = core->next_) {
    core->mutex_.unlock();
  }
  registry_mutex.unlock();
}

uint64_t GuardedCore::now_ms() const {
  return tick_ms(base_ms_, started_at_, MonotonicClock::now());
}

template <class Work>
Answer GuardedCore::locked(Work&& work) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (poisoned_) return Answer{Answer::End::kFailure, fail(Code::kBrokerPoisoned).text};
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
  return locked([&] { return Answer{Answer::End::kText, core_.snapshot_text()}; });
}

Answer GuardedCore::journal() {
  return locked([&] { return Answer{Answer::End::kText, core_.journal_text()}; });
}

Answer GuardedCore::journal_head() {
  return locked([&] { return Answer{Answer::End::kText, core_.head_text()}; });
}

Answer GuardedCore::journal_entries(uint64_t after_sequence) {
  return locked([&] { return text_of(core_.entries_text(after_sequence)); });
}

Answer GuardedCore::checkpoint(std::string_view acknowledged_tip) {
  return locked([&] { return text_of(core_.checkpoint(acknowledged_tip)); });
}

}  // namespace tallowmere::lib
