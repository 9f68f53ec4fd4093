// Times converting a broker state to a generic value (the snapshot view) and
// writing it as canonical text (checkpoints and the journal), for states of
// growing size. Prints one row per size with the best of several runs.
//
//   record_value_bench [REPEATS]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "foundation/record.h"
#include "contracts/state.h"

namespace {

using namespace tallowmere;
using Clock = std::chrono::steady_clock;

// Every map holds `count` entries shaped like the broker's own.
State state_of_size(size_t count) {
  State state;
  for (size_t i = 0; i < count; ++i) {
    const std::string suffix = std::to_string(1000000 + i);
    IntentRecord record;
    record.intent.intent_id = "intent-" + suffix;
    record.intent.action_id = "action";
    record.intent.resources.push_back({"resource-" + suffix, 3, Access::Write});
    record.accepted_ms = i;
    record.expires_ms = i + 30000;
    record.started_ms = i + 1;
    state.intents.emplace(record.intent.intent_id, std::move(record));
    state.resources.emplace("resource-" + suffix, ResourceState{1, std::string(64, 'f'), i});
    state.event_hashes.emplace("event-" + suffix, std::string(64, 'e'));
  }
  return state;
}

template <class Once>
double best_seconds(int repeats, Once once) {
  double best = 1e300;
  for (int i = 0; i < repeats; ++i) {
    const auto start = Clock::now();
    once();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::atoi(argv[1]) : 9;
  std::printf("%8s %12s %14s %12s\n", "entries", "text bytes", "to_value ms", "write ms");
  for (const size_t count : {256, 1024, 4096, 16384}) {
    const State state = state_of_size(count);
    // Kept so that the work cannot be optimized away.
    volatile size_t sink = 0;
    const double value = best_seconds(repeats, [&] { sink = to_value(state).as_object().size(); });
    size_t bytes = 0;
    const double text = best_seconds(repeats, [&] { bytes = to_text(state).size(); });
    std::printf("%8zu %12zu %14.3f %12.3f\n", count, bytes, value * 1e3, text * 1e3);
  }
  return 0;
}
