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
#include "core/intent_index.h"
#include "core/json_value.h"
#include "core/result.h"

namespace tallowmere {

class Core {
 public:
  // Validates the configuration and starts from the empty state and a
  // journal whose checkpoint is the genesis digest.
  static Result<Core> genesis(Config config);

  // Runs one command at `tick`. A failure changes nothing; a command that
  // leaves the state equal is answered without a journal entry.
  Result<json::Value> transact(Command command, uint64_t tick);

  // Folds the state into a new checkpoint once the host acknowledges the tip:
  // {"checkpoint_hash", "sequence"}.
  Result<json::Value> checkpoint(std::string_view acknowledged_tip);

  // The read-only view: journal position, clock, workspace and the state.
  json::Value snapshot() const;
  std::string journal_text() const;

  uint64_t clock_ms() const { return clock_ms_; }
  const Config& config() const { return config_; }
  const State& state() const { return state_; }
  const Journal& journal() const { return journal_; }
  const IntentIndex& index() const { return index_; }

 private:
  friend Result<Core> replay_journal(Journal journal);

  // A core at a checkpoint its caller has verified; `journal` has no entries.
  Core(Journal journal);

  Config config_;
  State state_;
  Journal journal_;
  uint64_t clock_ms_ = 0;
  IntentIndex index_;
};

}  // namespace tallowmere
