// A plain core kept for tests only: every command works on a full copy of
// the state, questions about open intents are answered by scanning the
// ledger, savepoints are copies, "changed" compares whole states, and the
// journal is weighed by writing out the texts it is bounded by. Values equal
// but written differently (-0.0 and 0.0) are counted where the committed
// text is kept for them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "broker/journal_append.h"
#include "broker/reducer/apply.h"
#include "broker/reducer/authority.h"
#include "broker/reducer/working_state.h"
#include "foundation/digest.h"
#include "foundation/record.h"

namespace tallowmere::testing {

class CopiedState final : public WorkingState {
 public:
  explicit CopiedState(const State& state) : WorkingState(state_), state_(state) {}

  State& state() { return state_; }

  void put_action(const ActionSpec& spec) override { state_.actions[spec.action_id] = spec; }
  bool remove_capability(std::string_view capability) override {
    return state_.capabilities.erase(std::string(capability)) == 1;
  }
  void put_resource(std::string_view id, const ResourceState& resource) override {
    state_.resources[std::string(id)] = resource;
  }
  const IntentRecord& put_intent(IntentRecord&& record) override {
    IntentRecord& stored = state_.intents[record.intent.intent_id];
    stored = std::move(record);
    return stored;
  }
  void put_operation_key(std::string_view key, std::string_view intent_id) override {
    state_.operation_keys[std::string(key)] = std::string(intent_id);
  }
  void put_source_sequence(std::string_view source_id, uint64_t sequence) override {
    state_.source_sequences[std::string(source_id)] = sequence;
  }
  void put_event_hash(std::string_view event_id, std::string_view digest) override {
    state_.event_hashes[std::string(event_id)] = std::string(digest);
  }
  void set_revision(uint64_t revision) override { state_.revision = revision; }
  void push_event(const Event& event, bool control) override {
    (control ? state_.control_queue : state_.normal_queue).push_back(event);
  }
  std::optional<Event> take_next_event() override {
    auto& queue = state_.control_queue.empty() ? state_.normal_queue : state_.control_queue;
    if (queue.empty()) return std::nullopt;
    Event event = queue.front();
    queue.pop_front();
    return event;
  }
  void clear_queues() override {
    state_.normal_queue.clear();
    state_.control_queue.clear();
  }

  // Savepoints are only taken between queue operations, so a copy serves.
  void begin_savepoint() override { savepoints_.push_back(state_); }
  void release_savepoint() override { savepoints_.pop_back(); }
  void rollback_savepoint() override {
    state_ = std::move(savepoints_.back());
    savepoints_.pop_back();
  }

  std::optional<std::string> first_lease_conflict(const std::vector<ResourceRef>& refs,
                                                  std::string_view self) const override {
    for (const auto& [id, record] : state_.intents) {
      if (is_open(record.status) && id != self && conflicts(record.intent.resources, refs)) return id;
    }
    return std::nullopt;
  }
  std::vector<std::string> overdue_accepted(uint64_t tick) const override {
    return select([&](const IntentRecord& r) {
      return r.status == Status::Accepted && r.expires_ms <= tick;
    });
  }
  std::vector<std::string> accepted_on_resource(std::string_view resource_id) const override {
    return select([&](const IntentRecord& r) {
      if (r.status != Status::Accepted) return false;
      for (const ResourceRef& ref : r.intent.resources) {
        if (ref.resource_id == resource_id) return true;
      }
      return false;
    });
  }
  std::vector<std::string> open_requiring(std::string_view capability) const override {
    return select([&](const IntentRecord& r) {
      auto action = state_.actions.find(r.intent.action_id);
      return is_open(r.status) && action != state_.actions.end() &&
             action->second.required_capabilities.contains(capability);
    });
  }
  std::vector<std::string> open_intents() const override {
    return select([](const IntentRecord& r) { return is_open(r.status); });
  }
  uint64_t open_count() const override { return open_intents().size(); }
  uint64_t reserve_bytes() const {
    uint64_t steps = 0;
    for (const auto& [id, record] : state_.intents) steps += ending_steps(record);
    return ending_reserve(steps, !state_.normal_queue.empty() || !state_.control_queue.empty());
  }

 private:
  template <class Keep>
  std::vector<std::string> select(Keep keep) const {
    std::vector<std::string> ids;
    for (const auto& [id, record] : state_.intents) {
      if (keep(record)) ids.push_back(id);
    }
    return ids;
  }

  State state_;
  std::vector<State> savepoints_;
};

class ReferenceCore {
 public:
  explicit ReferenceCore(const Core& genesis)
      : config_(genesis.config()), state_(genesis.state()), journal_(genesis.journal()),
        clock_ms_(genesis.clock_ms()), limit_bytes_(genesis.journal_limit_bytes()) {}

  Result<std::string> transact(Command command, uint64_t tick) {
    if (tick < clock_ms_) return fail(Code::kClockRegression);
    const std::string text = to_text(command);
    if (text.size() > config_.max_event_bytes) {
      return fail(Code::kPayloadLimit, "command exceeds configured byte limit");
    }
    CopiedState working(state_);
    Result<std::string> result = apply(config_, working, command, tick);
    if (!result) return result;
    if (working.state() == state_) {
      if (to_text(working.state()) != to_text(state_)) ++rewrites_kept_out_;
      return result;
    }
    // Entries the command left equal keep their committed text.
    auto keep = [&](auto... maps) { (keep_committed(working.state().*maps, state_.*maps), ...); };
    keep(&State::actions, &State::resources, &State::intents, &State::operation_keys,
         &State::source_sequences, &State::event_hashes);
    Check admitted = admit_to_journal(config_, journal_.entries.size(), working.open_count(),
                                      command, !state_.control_queue.empty());
    if (!admitted) return std::move(admitted).take_error();
    Result<Entry> entry = next_entry(journal_, tick, std::move(command), text, sha256_hex(*result));
    if (!entry) return std::move(entry).take_error();
    Journal appended = journal_;
    appended.entries.push_back(*entry);
    Journal refolded = folded(state_, journal_sequence(journal_), clock_ms_, journal_tip(journal_));
    refolded.entries.push_back(*entry);
    refolded.entries[0].previous_hash = refolded.checkpoint_hash;
    refolded.entries[0].hash = computed_hash(refolded.entries[0]);
    const JournalGrowth growth{
        to_text(appended).size(), to_text(refolded).size(),
        to_text(folded(working.state(), entry->sequence, tick, entry->hash)).size()};
    if (Check fits = admit_journal_size(limit_bytes_, working.reserve_bytes(), growth);
        !fits) {
      return std::move(fits).take_error();
    }
    journal_.entries.push_back(std::move(entry).value());
    state_ = std::move(working.state());
    clock_ms_ = tick;
    return result;
  }

  Result<json::Value> checkpoint(std::string_view acknowledged_tip) {
    const std::string tip = journal_tip(journal_);
    if (acknowledged_tip != tip) return fail(Code::kCheckpointMismatch);
    const uint64_t sequence = journal_sequence(journal_);
    journal_ = folded(state_, sequence, clock_ms_, tip);
    return json::Value(json::make_object(
        {{"checkpoint_hash", journal_.checkpoint_hash}, {"sequence", sequence}}));
  }

  const State& state() const { return state_; }
  std::string journal_text() const { return to_text(journal_); }
  // Commands whose working state was equal to the committed one, or held an
  // equal entry, but written differently.
  size_t rewrites_kept_out() const { return rewrites_kept_out_; }

 private:
  template <class V>
  void keep_committed(StringMap<V>& working, const StringMap<V>& committed) {
    bool rewritten = false;
    for (auto& [key, value] : working) {
      auto it = committed.find(key);
      if (it == committed.end() || !(it->second == value)) continue;
      json::Writer a, b;
      write_member(a, value);
      write_member(b, it->second);
      rewritten = rewritten || a.text() != b.text();
      value = it->second;
    }
    if (rewritten) ++rewrites_kept_out_;
  }

  Journal folded(const State& state, uint64_t sequence, uint64_t tick,
                 const std::string& tip) const {
    Journal journal;
    journal.config = config_;
    journal.checkpoint_state = state;
    journal.checkpoint_sequence = sequence;
    journal.checkpoint_tick_ms = tick;
    journal.checkpoint_parent_hash = tip;
    journal.checkpoint_hash = checkpoint_digest(config_, state, sequence, tick, tip);
    return journal;
  }

  Config config_;
  State state_;
  Journal journal_;
  uint64_t clock_ms_;
  uint64_t limit_bytes_;
  size_t rewrites_kept_out_ = 0;
};

}  // namespace tallowmere::testing
