// The working state: undo of touched entries, savepoints, "changed" and the
// state's text length from the touched entries only, and commands that fail
// half-way through an allocation leaving the core exactly as it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "broker_fixtures.h"
#include "core/transaction.h"

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

// Two actions, resources r and s, intents in several statuses, and events
// in both queues.
State sample_state() {
  State state = initial_state(config_with());
  state.actions["act"] = action("act");
  state.actions["needs"] = action("needs", true, {"deploy"});
  state.resources["r"] = ResourceState{0, "f", 0};
  state.resources["s"] = ResourceState{3, "f", 0};
  state.intents["a"] = record_of(intent("a", "act", {writes("r")}), Status::Accepted, 50);
  state.intents["b"] = record_of(intent("b", "needs", {reads("s", 3)}), Status::Running);
  state.intents["c"] = record_of(intent("c", "needs", {reads("s", 3)}), Status::Accepted, 500);
  state.normal_queue.push_back(observed("n1", 1, "s", "changed"));
  state.control_queue.push_back(cancel_event("c1", 1, "a"));
  return state;
}

TEST(Transaction, RollbackRestoresStateAndIndexAcrossReleasedSavepoints) {
  State state = sample_state();
  IntentIndex index = IntentIndex::build(state);
  const State original = state;
  {
    Transaction working(state, index);
    IntentRecord a = state.intents.at("a");
    a.status = Status::Running;
    working.put_intent(a);
    working.take_next_event();
    working.begin_savepoint();
    working.put_intent(record_of(intent("d", "act", {reads("r")}), Status::Accepted));
    IntentRecord c = state.intents.at("c");
    c.status = Status::Cancelled;
    working.put_intent(c);
    working.put_resource("new", ResourceState{0, "g", 1});
    working.remove_capability("deploy");
    working.put_operation_key("3:act:k", "d");
    working.put_source_sequence("runtime", 4);
    working.put_event_hash("e", "digest");
    working.set_revision(9);
    working.release_savepoint();
    working.push_event(observed("n2", 2, "r", "g"), false);
    working.clear_queues();
    EXPECT_TRUE(working.changed());
    EXPECT_NE(index, IntentIndex::build(original));
    working.rollback();
  }
  EXPECT_EQ(state, original);
  EXPECT_EQ(index, IntentIndex::build(original));
}

TEST(Transaction, SavepointRollbackKeepsOuterChangesAndTakenEvents) {
  State state = sample_state();
  IntentIndex index = IntentIndex::build(state);
  Transaction working(state, index);
  working.put_resource("r", ResourceState{1, "outer", 2});
  std::optional<Event> taken = working.take_next_event();
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->event_id, "c1");
  working.begin_savepoint();
  working.put_resource("r", ResourceState{2, "inner", 3});
  IntentRecord b = state.intents.at("b");
  b.status = Status::EffectUnknown;
  working.put_intent(b);
  working.set_revision(7);
  working.rollback_savepoint();
  EXPECT_EQ(state.resources.at("r").fingerprint, "outer");
  EXPECT_EQ(state.intents.at("b").status, Status::Running);
  EXPECT_EQ(state.revision, 0u);
  EXPECT_TRUE(state.control_queue.empty());
  EXPECT_EQ(index, IntentIndex::build(state));
  working.commit();
  EXPECT_EQ(state.resources.at("r").fingerprint, "outer");
}

TEST(Transaction, ChangedAndLengthCompareTouchedEntriesWithTheirOriginals) {
  using W = Transaction;
  using S = const State;
  const std::pair<void (*)(W&, S&), bool> cases[] = {
      {[](W&, S&) {}, false},
      {[](W& w, S& s) { w.put_intent(s.intents.at("a")); }, false},
      {[](W& w, S& s) {
         const IntentRecord a = s.intents.at("a");
         w.put_intent(record_of(intent("a", "act", {writes("r")}), Status::Expired, 50));
         w.put_intent(a);
       }, false},  // changed and changed back
      {[](W& w, S&) { w.put_resource("r", ResourceState{0, "f", 1}); }, true},  // its time only
      {[](W& w, S&) { w.put_operation_key("k", "a"); }, true},
      {[](W& w, S&) { w.remove_capability("never"); }, false},
      {[](W& w, S&) { w.remove_capability("read"); }, true},
      {[](W& w, S&) { w.take_next_event(); }, true},
      {[](W& w, S&) {
         w.take_next_event();
         w.push_event(observed("x", 1, "r", "f"), false);
         w.clear_queues();
         w.push_event(cancel_event("y", 1, "a"), true);
       }, true},
      {[](W& w, S&) { w.begin_savepoint(); w.put_source_sequence("verifier", 1); w.release_savepoint(); }, true},
      {[](W& w, S&) { w.begin_savepoint(); w.put_source_sequence("verifier", 1); w.rollback_savepoint(); }, false},
  };
  for (size_t n = 0; n < std::size(cases); ++n) {
    State state = sample_state();
    IntentIndex index = IntentIndex::build(state);
    const StateLength before = StateLength::of(state);
    Transaction working(state, index);
    cases[n].first(working, state);
    EXPECT_EQ(working.changed(), cases[n].second) << "case " << n;
    EXPECT_EQ(working.length_after(before), StateLength::of(state)) << "case " << n;
  }
}

// Runs the command with the n-th allocation failing, for every n until it
// completes, and requires an untouched core after every failure.
void survives_every_allocation_failure(Core& core, const Command& command, uint64_t tick) {
  const State state = core.state();
  const std::string journal = core.journal_text();
  const uint64_t clock = core.clock_ms();
  for (long long n = 0;; ++n) {
    Command copy = command;
    bool thrown = false;
    allocations_until_failure = n;
    try {
      Result<json::Value> result = core.transact(std::move(copy), tick);
      allocations_until_failure = -1;
      ASSERT_TRUE(result) << result.error();
    } catch (const std::bad_alloc&) {
      allocations_until_failure = -1;
      thrown = true;
    }
    if (!thrown) {
      EXPECT_EQ(core.journal_length(), core.journal_text().size());
      EXPECT_EQ(core.state_length(), to_text(core.state()).size());
      EXPECT_GT(n, 5) << "the command allocated too little to test";
      return;
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
  State state = sample_state();
  state.normal_queue.push_back(observed("n2", 2, "r", "changed"));
  state.control_queue.push_back(revoke_event("c2", 2, "deploy"));
  struct Case {
    const char* name;
    Command command;
    uint64_t tick;
  } cases[] = {
      {"drain of mixed events", Drain{4}, 10},
      {"submission expiring an intent", Submit{intent("z", "act", {writes("r")})}, 60},
      {"finish of several resources", Finish{"b", completed()}, 10},
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
