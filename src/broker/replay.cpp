#include "broker/replay.h"

#include <utility>
#include <deque>

#include "broker/checkpoint.h"
#include "broker/journal_append.h"
#include "foundation/digest.h"
#include "foundation/record.h"

namespace tallowmere {

namespace {

Error chain_mismatch() { return fail(Code::kJournalIntegrity, "entry chain mismatch"); }

// Whether the stored entry, whose command's canonical text is `command_text`,
// links to the core's tip and carries its own hash.
Check check_link(const Journal& journal, const Entry& entry, std::string_view command_text) {
  const uint64_t previous = journal_sequence(journal);
  if (previous == UINT64_MAX || entry.sequence != previous + 1 ||
      entry.previous_hash != journal_tip(journal)) {
    return chain_mismatch();
  }
  if (sha256_hex(entry_hash_input(entry.sequence, entry.tick_ms, entry.previous_hash, command_text,
                                  entry.result_hash)) != entry.hash) {
    return chain_mismatch();
  }
  return {};
}

}  // namespace

Result<Core> replay_journal(Journal journal, uint64_t journal_limit_bytes) {
  if (journal.schema_version != kSchemaVersion) {
    return fail(Code::kJournalVersion);
  }
  if (Check valid = validate(journal.config); !valid) return std::move(valid).take_error();
  if (journal.entries.size() > journal.config.max_journal_entries) {
    return fail(Code::kJournalLimit, "too many entries");
  }
  if (checkpoint_digest(journal.config, journal.checkpoint_state, journal.checkpoint_sequence,
                        journal.checkpoint_tick_ms, journal.checkpoint_parent_hash) !=
      journal.checkpoint_hash) {
    return fail(Code::kJournalIntegrity, "checkpoint digest mismatch");
  }
  if (Check valid = validate_state(journal.config, journal.checkpoint_state); !valid) {
    return std::move(valid).take_error();
  }

  std::deque<Entry> entries = std::move(journal.entries);
  journal.entries.clear();
  Core core(std::move(journal), journal_limit_bytes);
  core.reserve_held_ = false;
  for (; !entries.empty(); entries.pop_front()) {
    Entry& stored = entries.front();
    // The command is written once, and its entry hashed once: the new entry
    // takes the verified hash when it agrees with the stored one.
    const std::string command_text = to_text(stored.command);
    if (Check link = check_link(core.journal_, stored, command_text); !link) {
      return std::move(link).take_error();
    }
    const size_t before = core.journal_.entries.size();
    Result<std::string> result =
        core.run(std::move(stored.command), command_text, stored.tick_ms, &stored);
    if (!result) return std::move(result).take_error();
    if (core.journal_.entries.size() != before + 1 ||
        core.journal_.entries.back().result_hash != stored.result_hash ||
        core.journal_.entries.back().hash != stored.hash) {
      return fail(Code::kJournalReplay);
    }
    // Each stored entry is freed once re-run, so replay holds little more
    // than the core it builds.
  }
  core.reserve_held_ = true;
  return core;
}

Result<Core> recover_journal(Journal journal, uint64_t journal_limit_bytes) {
  Result<Core> core = replay_journal(std::move(journal), journal_limit_bytes);
  if (!core) return core;
  core->reserve_held_ = false;
  const uint64_t clock = core->clock_ms();
  const uint64_t tick = clock == UINT64_MAX ? clock : clock + 1;
  Result<std::string> recovered = core->transact(Recover{}, tick);
  if (!recovered && recovered.code() == Code::kJournalBackpressure) {
    // The journal is full, yet recovery must be journaled: fold the replayed
    // history into a checkpoint on its tip first, as the host would.
    if (Result<std::string> folded = core->checkpoint(journal_tip(core->journal())); !folded) {
      return std::move(folded).take_error();
    }
    recovered = core->transact(Recover{}, tick);
  }
  if (!recovered) return std::move(recovered).take_error();
  core->reserve_held_ = true;
  return core;
}

}  // namespace tallowmere
