// An accepted intent with its lifecycle status, times and verified outcome.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "contracts/intent.h"
#include "contracts/outcome.h"
#include "foundation/json_reader.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"

namespace tallowmere {

enum class Status : uint8_t {
  Accepted,
  Running,
  CancellationRequested,
  CompletedVerified,
  FailedVerified,
  Cancelled,
  Expired,
  Invalidated,
  EffectUnknown,
};

// "accepted", "cancellation_requested", ...
std::string_view name_of(Status status);
// "Accepted", "CancellationRequested", ... (used in one error detail).
std::string_view display_name(Status status);
bool is_terminal(Status status);
inline bool is_open(Status status) { return !is_terminal(status); }

struct IntentRecord {
  Intent intent;
  Status status = Status::Accepted;
  uint64_t accepted_ms = 0;
  uint64_t expires_ms = 0;
  std::optional<uint64_t> started_ms;
  std::optional<uint64_t> finished_ms;
  bool cancellation_requested = false;
  std::optional<Outcome> outcome;
  std::optional<std::string> invalidation_reason;

  friend bool operator==(const IntentRecord&, const IntentRecord&) = default;
};

bool read(json::Reader& r, Status& out);
bool read(json::Reader& r, IntentRecord& out);
void write(json::Writer& w, const IntentRecord& record);
// The length of write's text, measured without writing it.
uint64_t text_length(const IntentRecord& record);
json::Value to_value(const IntentRecord& record);
// The text of to_value, written without building the value.
void write_sorted(json::Writer& w, const IntentRecord& record);

}  // namespace tallowmere
