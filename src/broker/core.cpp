#include "broker/core.h"

#include <new>
#include <utility>

#include "broker/journal_append.h"
#include "broker/journal_length.h"
#include "broker/reducer/apply.h"
#include "broker/transaction.h"
#include "foundation/digest.h"
#include "foundation/invariant.h"
#include "foundation/json_writer.h"
#include "foundation/record.h"

namespace tallowmere {

Core::Core(Journal journal, uint64_t journal_limit_bytes)
    : config_(journal.config),
      state_(journal.checkpoint_state),
      journal_(std::move(journal)),
      clock_ms_(journal_.checkpoint_tick_ms),
      index_(IntentIndex::build(state_)),
      journal_limit_bytes_(journal_limit_bytes),
      config_length_(to_text(config_).size()),
      state_length_(StateLength::of(state_)),
      journal_length_(checkpoint_text_length(config_length_, state_length_.total(),
                                             journal_.checkpoint_sequence,
                                             journal_.checkpoint_tick_ms,
                                             journal_.checkpoint_parent_hash,
                                             journal_.checkpoint_hash)) {}

Result<Core> Core::genesis(Config config, uint64_t journal_limit_bytes) {
  if (Check valid = validate(config); !valid) return std::move(valid).take_error();
  Journal journal;
  journal.schema_version = kSchemaVersion;
  journal.checkpoint_state = initial_state(config);
  journal.checkpoint_parent_hash = kGenesisParent;
  journal.checkpoint_hash = checkpoint_digest(config, journal.checkpoint_state, 0, 0, kGenesisParent);
  journal.config = std::move(config);
  return Core(std::move(journal), journal_limit_bytes);
}

Result<std::string> Core::transact(Command command, uint64_t tick) {
  const std::string command_text = to_text(command);
  return run(std::move(command), command_text, tick, nullptr);
}

Result<std::string> Core::run(Command&& command, std::string_view command_text, uint64_t tick,
                              const Entry* recorded) {
  if (tick < clock_ms_) return fail(Code::kClockRegression);
  if (command_text.size() > config_.max_event_bytes) {
    return fail(Code::kPayloadLimit, "command exceeds configured byte limit");
  }
  const bool control_waiting = !state_.control_queue.empty();

  // Until commit, leaving this scope by any path undoes the command.
  Transaction working(state_, index_);
  Result<std::string> result = apply(config_, working, command, tick);
  if (!result) return result;
  if (!working.changed()) {
    // Equal is not always identical (-0.0 and 0.0): the committed state
    // stays byte for byte, as replay, which journals nothing here, sees it.
    working.rollback();
    return result;
  }
  Check admitted = admit_to_journal(config_, journal_.entries.size(), working.open_count(),
                                    command, control_waiting);
  if (!admitted) return std::move(admitted).take_error();
  Result<Entry> entry =
      next_entry(journal_, tick, std::move(command), command_text, sha256_hex(*result), recorded);
  if (!entry) return std::move(entry).take_error();
  // The size rule comes last because it weighs the built entry. It reads only
  // lengths and counts that replay rebuilds exactly, so replay decides the
  // same way; the reserve is that of the state the command leaves.
  const StateLength state_after = working.length_after(state_length_);
  const JournalGrowth growth = growth_by(*entry, command_text.size(), state_after);
  const uint64_t reserve = reserve_held_ ? reserve_bytes() : 0;
  if (Check fits = admit_journal_size(journal_limit_bytes_, reserve, growth); !fits) {
    return std::move(fits).take_error();
  }
  journal_.entries.push_back(std::move(entry).value());
  working.commit();
  clock_ms_ = tick;
  state_length_ = state_after;
  journal_length_ = growth.journal_after;
  check_invariants();
  return result;
}

Result<std::string> Core::checkpoint(std::string_view acknowledged_tip) {
  const std::string& tip = journal_tip(journal_);
  if (acknowledged_tip != tip) return fail(Code::kCheckpointMismatch);
  const uint64_t sequence = journal_sequence(journal_);
  std::string digest = checkpoint_digest(config_, state_, sequence, clock_ms_, tip);

  Journal next;
  next.schema_version = kSchemaVersion;
  next.config = config_;
  next.checkpoint_state = state_;
  next.checkpoint_sequence = sequence;
  next.checkpoint_tick_ms = clock_ms_;
  next.checkpoint_parent_hash = tip;
  next.checkpoint_hash = std::move(digest);
  journal_ = std::move(next);
  journal_length_ = checkpoint_text_length(config_length_, state_length_.total(), sequence,
                                           clock_ms_, journal_.checkpoint_parent_hash,
                                           journal_.checkpoint_hash);
  check_invariants();
  json::Writer w;
  w.begin_object();
  w.plain_key("checkpoint_hash");
  w.string(journal_.checkpoint_hash);
  w.plain_key("sequence");
  w.u64(sequence);
  w.end_object();
  return w.take();
}

void Core::check_invariants() const noexcept {
#ifdef TALLOWMERE_CHECKS
  // The command is committed by now: a check that cannot allocate is skipped,
  // never turned into a failure of the command.
  try {
    // The journal grew by the last entry's text, as measured.
    if (!journal_.entries.empty()) {
      const Entry& last = journal_.entries.back();
      json::Writer w;
      write(w, last);
      TALLOWMERE_ASSERT(entry_text_length(last, to_text(last.command).size()) == w.take().size());
    }
    // Measuring the state costs what it holds, so only states as small as
    // most tests' are measured; the benchmarks' and the largest tests' are not.
    constexpr uint64_t kMeasuredBytes = uint64_t{1} << 14;
    if (state_length_.total() > kMeasuredBytes) return;
    TALLOWMERE_ASSERT(state_length_ == StateLength::of(state_));
    TALLOWMERE_ASSERT(index_ == IntentIndex::build(state_));
  } catch (const std::bad_alloc&) {
  }
#endif
}

JournalGrowth Core::growth_by(const Entry& entry, uint64_t command_length,
                              const StateLength& after) const {
  const uint64_t entry_length = entry_text_length(entry, command_length);
  // Checkpoint hashes not yet computed are digests as long as the entry's own.
  const std::string& digest = entry.hash;
  JournalGrowth growth;
  growth.journal_after = appended_length(journal_length_, journal_.entries.size(), entry_length);
  growth.refolded = checkpoint_text_length(config_length_, state_length_.total(),
                                           journal_sequence(journal_), clock_ms_,
                                           journal_tip(journal_), digest) +
                    entry_length;
  growth.checkpoint_after = checkpoint_text_length(config_length_, after.total(), entry.sequence,
                                                   entry.tick_ms, entry.hash, digest);
  return growth;
}

std::string Core::snapshot_text() const {
  json::Writer w;
  w.begin_object();
  w.plain_key("journal_sequence");
  w.u64(journal_sequence(journal_));
  w.plain_key("journal_tip");
  w.string(journal_tip(journal_));
  w.plain_key("revision");
  w.u64(state_.revision);
  w.plain_key("schema_version");
  w.u64(kSchemaVersion);
  w.plain_key("state");
  write_sorted(w, state_);
  w.plain_key("tick_ms");
  w.u64(clock_ms_);
  w.plain_key("workspace_id");
  w.string(config_.workspace_id);
  w.end_object();
  return w.take();
}

uint64_t Core::reserve_bytes() const {
  return ending_reserve(index_.ending_steps(),
                        !state_.normal_queue.empty() || !state_.control_queue.empty());
}

std::string Core::journal_text() const { return to_text(journal_); }

std::string Core::head_text() const {
  json::Writer w;
  write_head(w, journal_);
  return w.take();
}

Result<std::string> Core::entries_text(uint64_t after_sequence) const {
  const uint64_t checkpoint_sequence = journal_.checkpoint_sequence;
  if (after_sequence < checkpoint_sequence) {
    return fail(Code::kJournalFolded);
  }
  if (after_sequence > journal_sequence(journal_)) {
    return fail(Code::kJournalAhead);
  }
  // The position comes first and holds only digits and hex, so a host finds
  // it and the entry list without parsing the entries.
  json::Writer w;
  w.begin_object();
  w.plain_key("checkpoint_sequence");
  w.u64(checkpoint_sequence);
  w.plain_key("checkpoint_hash");
  w.string(journal_.checkpoint_hash);
  w.plain_key("sequence");
  w.u64(journal_sequence(journal_));
  w.plain_key("tip");
  w.string(journal_tip(journal_));
  w.plain_key("journal_bytes");
  w.u64(journal_length_);
  w.plain_key("entries");
  w.begin_array();
  // Entries are consecutive from the checkpoint on, so the first one wanted
  // is found by its position.
  for (size_t i = after_sequence - checkpoint_sequence; i < journal_.entries.size(); ++i) {
    write(w, journal_.entries[i]);
  }
  w.end_array();
  w.end_object();
  return w.take();
}

}  // namespace tallowmere
