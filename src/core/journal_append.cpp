#include "core/journal_append.h"

#include <variant>

#include "core/digest.h"
#include "core/json_writer.h"

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
  return fail("journal_backpressure",
              "persist journal and acknowledge checkpoint before more mutations");
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

Check admit_journal_size(uint64_t limit_bytes, const JournalGrowth& growth) {
  const bool fits = growth.journal_after <= limit_bytes;
  if (growth.checkpoint_after > limit_bytes || (!fits && growth.refolded > limit_bytes)) {
    return fail("journal_limit", "journal would exceed the replay size limit");
  }
  if (!fits) return journal_backpressure();
  return {};
}

std::string entry_hash_text(uint64_t sequence, uint64_t tick_ms, std::string_view previous_hash,
                            std::string_view command_text, std::string_view result_hash) {
  std::string text;
  text.reserve(command_text.size() + previous_hash.size() + result_hash.size() + 64);
  text.append("[").append(std::to_string(sequence));
  text.append(",").append(std::to_string(tick_ms)).append(",");
  json::append_string(text, previous_hash);
  text.append(",").append(command_text).append(",");
  json::append_string(text, result_hash);
  text.append("]");
  return text;
}

Result<Entry> next_entry(const Journal& journal, uint64_t tick, Command&& command,
                         std::string_view command_text, const json::Value& result) {
  const uint64_t previous = journal_sequence(journal);
  if (previous == UINT64_MAX) return fail("sequence_overflow");
  Entry entry;
  entry.sequence = previous + 1;
  entry.tick_ms = tick;
  entry.previous_hash = journal_tip(journal);
  entry.result_hash = value_digest(result);
  entry.hash = sha256_hex(entry_hash_text(entry.sequence, tick, entry.previous_hash, command_text,
                                          entry.result_hash));
  entry.command = std::move(command);
  return entry;
}

}  // namespace tallowmere
