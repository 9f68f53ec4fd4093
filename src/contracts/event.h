// An observation reported by a trusted source, written as one flat object:
// the event's own fields, "kind", then the payload's fields.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "foundation/json_reader.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"

namespace tallowmere {

struct ResourceObserved {
  std::string resource_id;
  std::string fingerprint;
  friend bool operator==(const ResourceObserved&, const ResourceObserved&) = default;
};

struct IntentCancel {
  std::string intent_id;
  friend bool operator==(const IntentCancel&, const IntentCancel&) = default;
};

struct CapabilityRevoke {
  std::string capability;
  friend bool operator==(const CapabilityRevoke&, const CapabilityRevoke&) = default;
};

using EventPayload = std::variant<ResourceObserved, IntentCancel, CapabilityRevoke>;

struct Event {
  std::string event_id;
  std::string source_id;
  uint64_t source_sequence = 0;
  EventPayload payload;

  friend bool operator==(const Event&, const Event&) = default;
};

// Cancellations and revocations are control traffic; observations are normal.
inline bool is_control(const Event& event) {
  return !std::holds_alternative<ResourceObserved>(event.payload);
}

bool read(json::Reader& r, Event& out);
void write(json::Writer& w, const Event& event);
uint64_t text_length(const Event& event);
json::Value to_value(const Event& event);
void write_sorted(json::Writer& w, const Event& event);

}  // namespace tallowmere
