// Times one submit -> begin -> finish cycle on a fresh resource against
// brokers holding 10 to 100,000 open intents, and prints the median time
// per command with its ratio to the 10-intent broker. A transaction should
// cost what it touches, not what the broker holds.
//
//   transaction_scaling_bench [CYCLES]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "broker/core.h"

namespace {

using namespace tallowmere;
using Clock = std::chrono::steady_clock;

constexpr uint64_t kLedgerBound = 100000;
constexpr uint64_t kSharedResources = 1000;

Config bounded_config() {
  Config config;
  config.max_resources = kLedgerBound;
  config.max_intents = kLedgerBound;
  config.max_events = 1000000;
  config.max_journal_entries = UINT64_MAX;
  return config;
}

template <class T>
void must(const Result<T>& result) {
  if (!result) {
    std::fprintf(stderr, "unexpected failure: %s\n", result.error().c_str());
    std::exit(1);
  }
}

Event observation(uint64_t sequence, std::string resource) {
  return Event{"e" + std::to_string(sequence), "runtime", sequence,
               ResourceObserved{std::move(resource), "f"}};
}

Intent open_intent(std::string id, std::string resource, Access access) {
  Intent intent;
  intent.intent_id = std::move(id);
  intent.action_id = "act";
  intent.resources.push_back(ResourceRef{std::move(resource), 0, access});
  intent.ttl_ms = 86400000;
  return intent;
}

// A broker whose ledger holds `stored` open intents reading shared resources.
Core broker_with(uint64_t stored, uint64_t& sequence) {
  Core core = Core::genesis(bounded_config()).value();
  ActionSpec spec;
  spec.action_id = "act";
  spec.allow_write = true;
  must(core.transact(RegisterAction{spec}, 0));
  for (uint64_t r = 0; r < kSharedResources; ++r) {
    must(core.transact(Observe{observation(++sequence, "shared" + std::to_string(r))}, 0));
  }
  for (uint64_t i = 0; i < stored; ++i) {
    Intent intent = open_intent("held" + std::to_string(i),
                                "shared" + std::to_string(i % kSharedResources), Access::Read);
    must(core.transact(Submit{std::move(intent)}, 0));
  }
  // Start the timed part with an empty entry list, as after an acknowledgement.
  must(core.checkpoint(journal_tip(core.journal())));
  return core;
}

uint64_t elapsed_ns(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

uint64_t median(std::vector<uint64_t> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

struct Row {
  uint64_t stored;
  uint64_t submit_ns, begin_ns, finish_ns, cycle_ns;
};

Row measure(uint64_t stored, uint64_t cycles) {
  uint64_t sequence = 0;
  Core core = broker_with(stored, sequence);
  std::vector<uint64_t> submit, begin, finish, cycle;
  for (uint64_t c = 0; c < cycles; ++c) {
    const std::string resource = "fresh" + std::to_string(c);
    const std::string id = "cycle" + std::to_string(c);
    must(core.transact(Observe{observation(++sequence, resource)}, c));
    Outcome outcome;
    outcome.changed_resources = {resource};
    outcome.evidence = json::CanonicalText(json::Value(json::make_object({{"receipt", id}})));

    const auto start = Clock::now();
    must(core.transact(Submit{open_intent(id, resource, Access::Write)}, c));
    const uint64_t submitted = elapsed_ns(start);
    must(core.transact(Begin{id}, c));
    const uint64_t begun = elapsed_ns(start);
    must(core.transact(Finish{id, std::move(outcome)}, c));
    const uint64_t finished = elapsed_ns(start);
    submit.push_back(submitted);
    begin.push_back(begun - submitted);
    finish.push_back(finished - begun);
    cycle.push_back(finished);
  }
  return Row{stored, median(submit), median(begin), median(finish), median(cycle)};
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t cycles = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000;
  // The ledger is bounded, and the timed cycles add their own intents.
  const uint64_t sizes[] = {10, 1000, 10000, kLedgerBound - cycles};
  std::printf("%10s %12s %12s %12s %16s %8s\n", "intents", "submit us", "begin us", "finish us",
              "per command us", "ratio");
  double base = 0;
  for (uint64_t stored : sizes) {
    const Row row = measure(stored, cycles);
    const double per_command = row.cycle_ns / 3.0 / 1000.0;
    if (base == 0) base = per_command;
    std::printf("%10llu %12.2f %12.2f %12.2f %16.2f %8.2f\n",
                static_cast<unsigned long long>(row.stored), row.submit_ns / 1000.0,
                row.begin_ns / 1000.0, row.finish_ns / 1000.0, per_command, per_command / base);
  }
  return 0;
}
