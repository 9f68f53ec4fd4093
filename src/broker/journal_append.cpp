#include "broker/journal_append.h"

#include <algorithm>
#include <string>
#include <variant>

#include "foundation/record.h"
#include "foundation/boundary.h"
#include "foundation/digest.h"
#include "foundation/identifier.h"
#include "broker/journal_length.h"
#include "foundation/json_writer.h"

namespace tallowmere {

namespace {

uint64_t saturating_add(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

uint64_t saturating_mul(uint64_t a, uint64_t b) {
  return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b;
}

// Commands that end or resolve intents may use the reserve.
bool ends_intents(const Command& command) {
  return std::holds_alternative<Finish>(command) || std::holds_alternative<Reconcile>(command) ||
         std::holds_alternative<Cancel>(command) || std::holds_alternative<Revoke>(command) ||
         std::holds_alternative<Expire>(command) || std::holds_alternative<Recover>(command);
}

bool is_control_traffic(const Command& command, bool control_waiting) {
  if (const auto* enqueue = std::get_if<Enqueue>(&command)) return enqueue->control;
  return std::holds_alternative<Drain>(command) && control_waiting;
}

}  // namespace

Error journal_backpressure() {
  return fail(Code::kJournalBackpressure);
}

Check admit_to_journal(const Config& config, uint64_t entry_count, uint64_t open_intents,
                       const Command& command, bool control_waiting) {
  const uint64_t limit = config.max_journal_entries;
  if (entry_count >= limit) return journal_backpressure();
  if (ends_intents(command)) return {};
  const uint64_t reserve = saturating_add(saturating_mul(3, open_intents), 16);
  if (saturating_add(entry_count, reserve) < limit) return {};
  if (is_control_traffic(command, control_waiting)) return {};
  return journal_backpressure();
}

// The reserve of bytes. A minimal ending is a cancel, an expire, or a finish
// or reconcile whose outcome changes no resource and whose evidence is at
// most 64 bytes of text; recovery adds one recover entry. The longest entry
// such a step writes is measured on the longest of those commands: an intent
// id of 512 bytes that all need an escape (1026 bytes of text), the longest
// outcome status and 64 bytes of evidence, with a 20-digit sequence and tick,
// three digests and the comma before the entry. What a step adds to the state
// is far less than its entry, which carries the same outcome besides the id
// and the digests: a longer status name, a finish time, the restart reason,
// and at most 38 more digits in the sequence and tick of a checkpoint taken
// after it.
//
// Each open intent holds back one such entry for every step its ending may
// still take (ending_steps), as the entry count holds back three entries.
// A minimal step appends at most one entry, grows the state less, and
// releases at least one step, so it fits wherever the reserve did and leaves
// the other intents' room alone. Every other command must leave the reserve
// of the state it makes, and so may be refused near the limit. Recovery
// releases a step for each intent it changes (running becomes unknown,
// accepted becomes invalidated), which covers its entry and what it adds;
// with only queued events to drop, the queue's own step covers the entry.
// The rule weighs the journal, the journal refolded on the committed state
// and the checkpoint of the new one alike, so the room is there with or
// without a checkpoint, and recovery never needs more than the fold it does
// when the entry list is full.
uint64_t ending_step_bytes() {
  static const uint64_t bytes = [] {
    const std::string id(kMaxIdentifierBytes, '"');
    size_t longest = std::max(to_text(Command(Expire{})).size(),
                              to_text(Command(Recover{})).size());
    longest = std::max(longest, to_text(Command(Cancel{id})).size());
    for (OutcomeStatus status : {OutcomeStatus::CompletedVerified, OutcomeStatus::FailedVerified,
                                 OutcomeStatus::CancelledVerified, OutcomeStatus::EffectUnknown}) {
      // Read from its text, as the host gives it.
      const std::string text = R"({"status":")" + std::string(name_of(status)) +
                               R"(","evidence":{"e":")" + std::string(56, 'x') + R"("}})";
      Outcome outcome;
      std::string error;
      read_document(text, outcome, [](json::Reader& r, Outcome& o) { return read(r, o); }, error);
      longest = std::max(longest, to_text(Command(Finish{id, outcome})).size());
      longest = std::max(longest, to_text(Command(Reconcile{id, outcome})).size());
    }
    const std::string digest(64, '0');
    Entry entry;
    entry.sequence = UINT64_MAX;
    entry.tick_ms = UINT64_MAX;
    entry.previous_hash = entry.result_hash = entry.hash = digest;
    return 1 + entry_text_length(entry, longest);
  }();
  return bytes;
}

uint64_t ending_steps(const IntentRecord& record) {
  switch (record.status) {
    case Status::Accepted:
      return 1;
    case Status::Running:
      return 3;
    case Status::CancellationRequested:
      return record.cancellation_requested ? 2 : 3;
    case Status::EffectUnknown:
      return record.cancellation_requested ? 1 : 2;
    default:
      return 0;
  }
}

uint64_t ending_reserve(uint64_t ending_steps, bool events_queued) {
  return saturating_mul(ending_step_bytes(), saturating_add(ending_steps, events_queued ? 1 : 0));
}

Check admit_journal_size(uint64_t limit_bytes, uint64_t reserve_bytes,
                         const JournalGrowth& growth) {
  limit_bytes = reserve_bytes >= limit_bytes ? 0 : limit_bytes - reserve_bytes;
  const bool fits = growth.journal_after <= limit_bytes;
  if (growth.checkpoint_after > limit_bytes || (!fits && growth.refolded > limit_bytes)) {
    return fail(Code::kJournalLimit, "journal would exceed the replay size limit");
  }
  if (!fits) return journal_backpressure();
  return {};
}

Result<Entry> next_entry(const Journal& journal, uint64_t tick, Command&& command,
                         std::string_view command_text, std::string result_hash,
                         const Entry* recorded) {
  const uint64_t previous = journal_sequence(journal);
  if (previous == UINT64_MAX) return fail(Code::kSequenceOverflow);
  Entry entry;
  entry.sequence = previous + 1;
  entry.tick_ms = tick;
  entry.previous_hash = journal_tip(journal);
  entry.result_hash = std::move(result_hash);
  if (recorded != nullptr && recorded->sequence == entry.sequence && recorded->tick_ms == tick &&
      recorded->previous_hash == entry.previous_hash &&
      recorded->result_hash == entry.result_hash) {
    entry.hash = recorded->hash;
  } else {
    entry.hash = sha256_hex(entry_hash_input(entry.sequence, tick, entry.previous_hash,
                                             command_text, entry.result_hash));
  }
  entry.command = std::move(command);
  return entry;
}

}  // namespace tallowmere
