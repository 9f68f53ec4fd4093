#include "core/core.h"

#include <utility>

#include "contracts/record.h"
#include "core/apply.h"
#include "core/journal_append.h"
#include "core/transaction.h"

namespace tallowmere {

Core::Core(Journal journal)
    : config_(journal.config),
      state_(journal.checkpoint_state),
      journal_(std::move(journal)),
      clock_ms_(journal_.checkpoint_tick_ms),
      index_(IntentIndex::build(state_)) {}

Result<Core> Core::genesis(Config config) {
  if (Check valid = validate(config); !valid) return std::move(valid).take_error();
  Journal journal;
  journal.schema_version = kSchemaVersion;
  journal.checkpoint_state = initial_state(config);
  journal.checkpoint_parent_hash = kGenesisParent;
  Result<std::string> digest =
      checkpoint_digest(config, journal.checkpoint_state, 0, 0, kGenesisParent);
  if (!digest) return std::move(digest).take_error();
  journal.checkpoint_hash = std::move(digest).value();
  journal.config = std::move(config);
  return Core(std::move(journal));
}

Result<json::Value> Core::transact(Command command, uint64_t tick) {
  if (tick < clock_ms_) return fail("clock_regression", "monotonic time moved backwards");
  const std::string command_text = to_text(command);
  if (command_text.size() > config_.max_event_bytes) {
    return fail("payload_limit", "command exceeds configured byte limit");
  }
  const bool control_waiting = !state_.control_queue.empty();

  // Until commit, leaving this scope by any path undoes the command.
  Transaction working(state_, index_);
  Result<json::Value> result = apply(config_, working, command, tick);
  if (!result) return result;
  if (!working.changed()) {
    working.commit();
    return result;
  }
  Check admitted = admit_to_journal(config_, journal_.entries.size(), working.open_count(),
                                    command, control_waiting);
  if (!admitted) return std::move(admitted).take_error();
  Result<Entry> entry = next_entry(journal_, tick, std::move(command), command_text, *result);
  if (!entry) return std::move(entry).take_error();
  journal_.entries.push_back(std::move(entry).value());
  working.commit();
  clock_ms_ = tick;
  return result;
}

std::string Core::journal_text() const { return to_text(journal_); }

}  // namespace tallowmere
