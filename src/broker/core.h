// The broker core: the configuration, the committed state with its intent
// index, the journal since the last checkpoint and the clock. Every mutation
// is one command run by transact; time is the caller's argument.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "contracts/command.h"
#include "contracts/config.h"
#include "contracts/journal.h"
#include "contracts/state.h"
#include "foundation/boundary.h"
#include "broker/intent_index.h"
#include "broker/journal_append.h"
#include "foundation/result.h"
#include "broker/state_length.h"

namespace tallowmere {

class Core {
 public:
  // Validates the configuration and starts from the empty state and a
  // journal whose checkpoint is the genesis digest. The journal text is kept
  // within `journal_limit_bytes`, the size replay reads; tests lower it.
  static Result<Core> genesis(Config config, uint64_t journal_limit_bytes = kJournalLimitBytes);

  // Runs one command at `tick` and answers with the result's canonical text,
  // the text its entry's result hash covers. A failure changes nothing; a
  // command that leaves the state equal is answered without a journal entry.
  Result<std::string> transact(Command command, uint64_t tick);

  // Folds the state into a new checkpoint once the host acknowledges the tip:
  // {"checkpoint_hash", "sequence"}.
  Result<std::string> checkpoint(std::string_view acknowledged_tip);

  // The read-only view: journal position, clock, workspace and the state.
  // {"journal_sequence", "journal_tip", "revision", "schema_version", "state",
  // "tick_ms", "workspace_id"}, keys in ascending order at every depth.
  std::string snapshot_text() const;
  std::string journal_text() const;
  // journal_text() with no entries: the same text until the next checkpoint.
  std::string head_text() const;
  // The entries after `after_sequence`, each as journal_text() writes it,
  // behind the journal's position: {"checkpoint_sequence", "checkpoint_hash",
  // "sequence", "tip", "journal_bytes", "entries"}. Costs what it returns,
  // never the state.
  Result<std::string> entries_text(uint64_t after_sequence) const;

  uint64_t clock_ms() const { return clock_ms_; }
  const Config& config() const { return config_; }
  const State& state() const { return state_; }
  const Journal& journal() const { return journal_; }
  const IntentIndex& index() const { return index_; }

  // The lengths of journal_text() and of the state's text, kept as they
  // change rather than measured.
  uint64_t journal_length() const { return journal_length_; }
  uint64_t state_length() const { return state_length_.total(); }
  uint64_t journal_limit_bytes() const { return journal_limit_bytes_; }
  // The room every command leaves within that limit, so that the open
  // intents can still be ended and the journal recovered (ending_reserve).
  uint64_t reserve_bytes() const;

 private:
  friend Result<Core> replay_journal(Journal journal, uint64_t journal_limit_bytes);
  friend Result<Core> recover_journal(Journal journal, uint64_t journal_limit_bytes);

  // A core at a checkpoint its caller has verified; `journal` has no entries.
  Core(Journal journal, uint64_t journal_limit_bytes);

  // transact's work on the command and its canonical text; `recorded` is the
  // stored entry replay re-runs (next_entry).
  Result<std::string> run(Command&& command, std::string_view command_text, uint64_t tick,
                          const Entry* recorded);

  // What `entry` would make the journal weigh, with the state then `after`.
  JournalGrowth growth_by(const Entry& entry, uint64_t command_length,
                          const StateLength& after) const;
  // Asserts what every change keeps: the tracked lengths are the measured
  // ones and the index is the one the state implies.
  void check_invariants() const noexcept;

  Config config_;
  State state_;
  Journal journal_;
  uint64_t clock_ms_ = 0;
  IntentIndex index_;
  uint64_t journal_limit_bytes_;
  uint64_t config_length_;
  StateLength state_length_;
  uint64_t journal_length_;
  // Off while replay and recovery re-run what a broker accepted: the reserve
  // holds back a live broker's own new work, so a journal written without it,
  // however close to the limit, still replays and recovers.
  bool reserve_held_ = true;
};

}  // namespace tallowmere
