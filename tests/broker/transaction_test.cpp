// Commands that fail half-way through an allocation leave the core exactly as
// it was. Undo, savepoints, "changed" and the tracked state length are
// otherwise compared step by step with the copy-and-compare reference.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "broker_fixtures.h"
#include "broker/transaction.h"

namespace {

// Counts down the allocations of this thread and fails the one that reaches
// zero; negative means never.
thread_local long long allocations_until_failure = -1;

}  // namespace

void* operator new(std::size_t size) {
  if (allocations_until_failure >= 0 && allocations_until_failure-- == 0) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
// The nothrow forms too, or a sanitizer's own nothrow new would hand out
// blocks that the delete above frees with free.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace tallowmere::testing {
namespace {

// Runs the command with the n-th allocation failing, for every n until it
// completes, and requires an untouched core after every failure.
void survives_every_allocation_failure(Core& core, const Command& command, uint64_t tick) {
  const State state = core.state();
  const std::string journal = core.journal_text();
  const uint64_t clock = core.clock_ms();
  for (long long n = 0;; ++n) {
    Command copy = command;
    allocations_until_failure = n;
    try {
      Result<std::string> result = core.transact(std::move(copy), tick);
      allocations_until_failure = -1;
      ASSERT_TRUE(result) << result.error();
      EXPECT_EQ(core.journal_length(), core.journal_text().size());
      EXPECT_EQ(core.state_length(), to_text(core.state()).size());
      EXPECT_GT(n, 5) << "the command allocated too little to test";
      return;
    } catch (const std::bad_alloc&) {
      allocations_until_failure = -1;
    }
    ASSERT_EQ(core.state(), state) << "allocation " << n;
    ASSERT_EQ(core.index(), IntentIndex::build(state)) << "allocation " << n;
    ASSERT_EQ(core.journal_text(), journal) << "allocation " << n;
    ASSERT_EQ(core.journal_length(), journal.size()) << "allocation " << n;
    ASSERT_EQ(core.state_length(), to_text(state).size()) << "allocation " << n;
    ASSERT_EQ(core.clock_ms(), clock) << "allocation " << n;
  }
}

TEST(Transaction, AFailedAllocationAnywhereLeavesTheCoreAsItWas) {
  State state = acting_state();
  state.actions["needs"] = action("needs", true, {"deploy"});
  state.resources["r"] = ResourceState{0, "f", 0};
  state.resources["s"] = ResourceState{3, "f", 0};
  state.intents["a"] = record_of(intent("a", "act", {writes("r")}), Status::Accepted, 50);
  state.intents["b"] = record_of(intent("b", "needs", {reads("s", 3)}), Status::Running);
  state.intents["c"] = record_of(intent("c", "needs", {reads("s", 3)}), Status::Accepted, 500);
  state.normal_queue = {observed("n1", 1, "s", "changed"), observed("n2", 2, "r", "changed")};
  state.control_queue = {cancel_event("c1", 1, "a"), revoke_event("c2", 2, "deploy")};
  struct Case {
    const char* name;
    Command command;
    uint64_t tick;
  } cases[] = {
      {"drain of mixed events", Drain{4}, 10},
      {"submission expiring an intent", Submit{intent("z", "act", {writes("r")})}, 60},
      {"finish", Finish{"b", completed()}, 10},
      {"revocation", Revoke{"deploy"}, 10},
      {"recovery", Recover{}, 10},
      {"enqueue", Enqueue{observed("n3", 3, "s", "f"), false}, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Core core = core_at(state);
    survives_every_allocation_failure(core, c.command, c.tick);
  }
}

}  // namespace
}  // namespace tallowmere::testing
