// A broker core behind its own lock: every operation on it is serialized, and
// one that ends abnormally poisons the lock for good. A fork waits for the
// operations running on every live broker, so no process starts with a
// broker lock held by a thread it does not have. Also holds the values fixed
// when the broker was built, from which its tick is computed.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "contracts/command.h"
#include "broker/core.h"

namespace tallowmere::lib {

// CLOCK_MONOTONIC on Linux: it never jumps with the wall clock and stands
// still while the machine sleeps.
using MonotonicClock = std::chrono::steady_clock;

// `base_ms` plus the whole milliseconds from `started_at` to `now`, saturating
// at 2**64 - 1; a `now` before `started_at` counts as no time.
uint64_t tick_ms(uint64_t base_ms, MonotonicClock::time_point started_at,
                 MonotonicClock::time_point now);

// How an operation under the lock ended.
struct Answer {
  enum class End : uint8_t {
    kText,         // `text` is the result.
    kFailure,      // `text` is the failure text.
    kOutOfMemory,  // The operation ran out of memory; the lock is now poisoned.
    kAbnormal,     // Anything else escaped the core; the lock is now poisoned.
  };
  End end;
  std::string text;
};

class GuardedCore {
 public:
  // `base_ms` is the core's clock and the boundary limit its configuration's
  // max_event_bytes.
  GuardedCore(Core core, MonotonicClock::time_point started_at);
  ~GuardedCore();
  GuardedCore(const GuardedCore&) = delete;
  GuardedCore& operator=(const GuardedCore&) = delete;

  // The tick the next command would get now. Takes no lock.
  uint64_t now_ms() const;
  uint64_t boundary_limit() const { return boundary_limit_; }

  // Runs the command at the current tick; the result's canonical text.
  Answer command(Command command);
  Answer snapshot();
  Answer journal();
  Answer journal_head();
  Answer journal_entries(uint64_t after_sequence);
  Answer checkpoint(std::string_view acknowledged_tip);

 private:
  template <class Work>
  Answer locked(Work&& work);

  // Around fork: take every live broker's lock, then release them all, in
  // the parent and in the child alike.
  static void lock_all();
  static void unlock_all();

  std::mutex mutex_;
  bool poisoned_ = false;  // Guarded by mutex_; never cleared.
  Core core_;              // Guarded by mutex_.
  const uint64_t base_ms_;
  const uint64_t boundary_limit_;
  const MonotonicClock::time_point started_at_;
  // Neighbours among the live brokers; guarded by the registry's lock.
  GuardedCore* previous_ = nullptr;
  GuardedCore* next_ = nullptr;
};

}  // namespace tallowmere::lib
