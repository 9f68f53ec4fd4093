// Stored journals on arbitrary text. A journal that replays must be written
// again by the rebuilt core as a journal that replays to the same snapshot and
// the same text, and recovery from it must leave no work that could run
// without a new decision. Separately, the commands of any journal that
// decodes are run again on a core at its checkpoint, under entry and size
// limits tight enough to bind, each one also a second time with the signs of
// its zero doubles flipped (an equal value written differently): after every
// command the journal must replay to exactly the core's snapshot, since every
// journal the broker writes is a host's only way back after a crash; and once
// it journaled anything, every open intent must still end by its longest
// minimal ending, and the journal recover, before and after.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contracts/journal.h"
#include "foundation/record.h"
#include "foundation/boundary.h"
#include "broker/core.h"
#include "foundation/identifier.h"
#include "broker/journal_decode.h"
#include "foundation/json_writer.h"
#include "broker/replay.h"
#include "fuzz_check.h"

namespace {

using namespace tallowmere;
using fuzz::require;

bool has_code(const std::string& text, std::string_view code) {
  return text.rfind(code, 0) == 0;
}

// Whether a zero double, 0.0, starts at `at` and ends the number there.
bool zero_at(std::string_view text, size_t at) {
  if (text.substr(at, 3) != "0.0") return false;
  return at + 3 == text.size() || text[at + 3] == ',' || text[at + 3] == ']' ||
         text[at + 3] == '}';
}

// The value with every zero double of the other sign: equal, written differently.
json::CanonicalText zeros_flipped(const json::CanonicalText& value) {
  const std::string& in = value.text();
  std::string out;
  bool in_string = false;
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    const bool value_start = i == 0 || in[i - 1] == '[' || in[i - 1] == ',' || in[i - 1] == ':';
    if (in_string) {
      out.push_back(c);
      if (c == '\\') {
        out.push_back(in[++i]);
      } else if (c == '"') {
        in_string = false;
      }
    } else if (value_start && c == '-' && zero_at(in, i + 1)) {
      out.append("0.0");
      i += 3;
    } else if (value_start && zero_at(in, i)) {
      out.append("-0.0");
      i += 2;
    } else {
      in_string = c == '"';
      out.push_back(c);
    }
  }
  json::Reader reader(out, kJournalDepthBudget);
  json::CanonicalText flipped;
  require(reader.read_canonical(flipped) && reader.finish(), "a flipped value reads", out);
  require(flipped.text() == out && flipped == value,
          "zeros of either sign are written as read and compare equal", in + "\n" + out);
  return flipped;
}

// The command with the zeros of its host values flipped, when it has any.
std::optional<Command> with_zeros_flipped(const Command& command) {
  Command flipped = command;
  json::CanonicalText* value = nullptr;
  if (auto* submit = std::get_if<Submit>(&flipped)) value = &submit->intent.arguments;
  if (auto* finish = std::get_if<Finish>(&flipped)) value = &finish->outcome.evidence;
  if (auto* reconcile = std::get_if<Reconcile>(&flipped)) value = &reconcile->outcome.evidence;
  if (value == nullptr) return std::nullopt;
  json::CanonicalText other = zeros_flipped(*value);
  if (other.text() == value->text()) return std::nullopt;
  *value = std::move(other);
  return flipped;
}

// The journal written by `core` replays to its snapshot, and is written again
// byte for byte by the replayed core; the tracked lengths are the real ones.
void rewritten_journal_replays(const Core& core) {
  const std::string text = core.journal_text();
  require(core.journal_length() == text.size(), "the tracked journal length is its text's");
  require(core.state_length() == to_text(core.state()).size(),
          "the tracked state length is its text's");
  Result<Journal> decoded = decode_journal(text);
  require(decoded.ok(), "a written journal decodes", decoded.ok() ? "" : decoded.error());
  Result<Core> again = replay_journal(std::move(*decoded), core.journal_limit_bytes());
  require(again.ok(), "a written journal replays", again.ok() ? text : again.error() + "\n" + text);
  require(again->snapshot_text() == core.snapshot_text(),
          "a written journal replays to the snapshot of the core that wrote it", text);
  require(again->journal_text() == text, "a replayed journal is written unchanged", text);
}

void no_work_survives_recovery(const Core& core) {
  for (const auto& [id, record] : core.state().intents) {
    require(record.status != Status::Accepted && record.status != Status::Running &&
                record.status != Status::CancellationRequested,
            "recovery leaves no intent that may still run", id);
  }
  require(core.state().normal_queue.empty() && core.state().control_queue.empty(),
          "recovery empties the queues");
}

// A journal the broker wrote recovers, unless even a checkpoint on its tip
// leaves no room for the recover entry; once a command was journaled, its
// reserve always leaves that room.
void recovery_from(const Journal& journal, uint64_t limit, bool written_by_broker,
                   bool reserved = false) {
  Result<Core> recovered = recover_journal(journal, limit);
  if (!recovered) {
    require(!written_by_broker || (!reserved && has_code(recovered.error(), "journal_limit")),
            "a journal the broker wrote recovers", recovered.error());
    return;
  }
  no_work_survives_recovery(*recovered);
  rewritten_journal_replays(*recovered);
}

void stored_journal(const Journal& journal) {
  Result<Core> replayed = replay_journal(journal);
  if (!replayed) return;
  rewritten_journal_replays(*replayed);
  recovery_from(journal, kJournalLimitBytes, false);
}

// Runs `command` and, when the journal is full, acknowledges its tip and
// tries once more. A refused command changes nothing.
void run(Core& core, Command command, uint64_t tick) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::string before = core.journal_text();
    const State state = core.state();
    Result<std::string> result = core.transact(command, tick);
    if (result) return;
    require(core.journal_text() == before && core.state() == state,
            "a refused command changes nothing", result.error());
    if (!has_code(result.error(), "journal_backpressure") &&
        !has_code(result.error(), "journal_limit")) {
      return;
    }
    const std::string tip = journal_tip(core.journal());
    if (!core.checkpoint(tip)) return;
  }
}

// Whether every open intent holds an id a host could have submitted: the
// reserve is weighed for those.
bool open_ids_submittable(const Core& core) {
  for (const std::string& id : core.index().open()) {
    if (!is_identifier(id)) return false;
  }
  return true;
}

// The next step of the longest minimal ending: cancel, finish as unknown,
// reconcile, with evidence of 64 bytes of text.
Command longest_ending_step(const IntentRecord& record) {
  static const Outcome unknown = decode_boundary<Outcome>(
      R"({"status":"effect_unknown","evidence":{"e":")" + std::string(56, 'x') + R"("}})",
      kJournalLimitBytes, [](json::Reader& r, Outcome& out) { return read(r, out); }).value();
  Outcome completed = unknown;
  completed.status = OutcomeStatus::CompletedVerified;
  const std::string& id = record.intent.intent_id;
  switch (record.status) {
    case Status::Accepted:
    case Status::Running:
      return Cancel{id};
    case Status::CancellationRequested:
      return Finish{id, unknown};
    default:
      if (!record.cancellation_requested) return Cancel{id};
      return Reconcile{id, completed};
  }
}

// Whatever a core journaled under its limit, every open intent can still be
// ended, each by its longest minimal ending, and the journal recovers.
void endings_fit(Core core) {
  const StringSet& index = core.index().open();
  const std::vector<std::string> open(index.begin(), index.end());
  for (const std::string& id : open) {
    for (int steps = 0; is_open(core.state().intents.at(id).status); ++steps) {
      require(steps < 3, "a minimal ending takes at most three steps", id);
      const Command step = longest_ending_step(core.state().intents.at(id));
      Result<std::string> ended = core.transact(step, core.clock_ms());
      if (!ended && core.journal().entries.size() == core.config().max_journal_entries) {
        require(core.checkpoint(journal_tip(core.journal())).ok(), "a full journal checkpoints");
        ended = core.transact(step, core.clock_ms());
      }
      require(ended.ok(), "a minimal ending is accepted", ended.ok() ? "" : ended.error());
    }
  }
  recovery_from(core.journal(), core.journal_limit_bytes(), true, true);
}

void commands_rerun(const Journal& journal, size_t input_size) {
  Journal start = journal;
  start.entries.clear();
  // Few entries and few bytes beyond the reserve of its open intents, so that
  // backpressure, the size limit and checkpoints between commands all come
  // into play; from a quarter of the input's size to all of it, so that some
  // reruns get far.
  start.config.max_journal_entries =
      std::min<uint64_t>(start.config.max_journal_entries, 32 + input_size % 16);
  start.checkpoint_hash =
      checkpoint_digest(start.config, start.checkpoint_state, start.checkpoint_sequence,
                        start.checkpoint_tick_ms, start.checkpoint_parent_hash);
  Result<Core> at_checkpoint = replay_journal(start);
  if (!at_checkpoint) return;
  const uint64_t limit = at_checkpoint->journal_length() + at_checkpoint->reserve_bytes() +
                         input_size * (1 + input_size % 4) / 4;
  Result<Core> core = replay_journal(std::move(start), limit);
  if (!core) return;
  const uint64_t first_sequence = journal_sequence(core->journal());
  for (const Entry& entry : journal.entries) {
    run(*core, entry.command, entry.tick_ms);
    rewritten_journal_replays(*core);
    if (std::optional<Command> flipped = with_zeros_flipped(entry.command)) {
      run(*core, std::move(*flipped), entry.tick_ms);
      rewritten_journal_replays(*core);
    }
  }
  const bool reserved =
      journal_sequence(core->journal()) > first_sequence && open_ids_submittable(*core);
  recovery_from(core->journal(), limit, true, reserved);
  if (reserved) endings_fit(std::move(*core));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Result<Journal> journal = decode_journal(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!journal) return 0;
  stored_journal(*journal);
  commands_rerun(*journal, size);
  return 0;
}
