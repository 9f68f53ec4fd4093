// One mutation of the broker. Its JSON object starts with "operation"; that
// text is what the journal stores and the entry hash covers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "contracts/action_spec.h"
#include "contracts/event.h"
#include "contracts/intent.h"
#include "contracts/outcome.h"
#include "foundation/json_reader.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"

namespace tallowmere {

struct RegisterAction {
  ActionSpec spec;
  friend bool operator==(const RegisterAction&, const RegisterAction&) = default;
};
struct Observe {
  Event event;
  friend bool operator==(const Observe&, const Observe&) = default;
};
struct Submit {
  Intent intent;
  friend bool operator==(const Submit&, const Submit&) = default;
};
struct Begin {
  std::string intent_id;
  friend bool operator==(const Begin&, const Begin&) = default;
};
struct Finish {
  std::string intent_id;
  Outcome outcome;
  friend bool operator==(const Finish&, const Finish&) = default;
};
struct Reconcile {
  std::string intent_id;
  Outcome outcome;
  friend bool operator==(const Reconcile&, const Reconcile&) = default;
};
struct Cancel {
  std::string intent_id;
  friend bool operator==(const Cancel&, const Cancel&) = default;
};
struct Revoke {
  std::string capability;
  friend bool operator==(const Revoke&, const Revoke&) = default;
};
struct Expire {
  friend bool operator==(const Expire&, const Expire&) = default;
};
struct Enqueue {
  Event event;
  bool control = false;
  friend bool operator==(const Enqueue&, const Enqueue&) = default;
};
struct Drain {
  uint64_t limit = 1;
  friend bool operator==(const Drain&, const Drain&) = default;
};
struct Recover {
  friend bool operator==(const Recover&, const Recover&) = default;
};

// Variant order is the declaration order of the operations.
using Command = std::variant<RegisterAction, Observe, Submit, Begin, Finish, Reconcile, Cancel,
                             Revoke, Expire, Enqueue, Drain, Recover>;

// "register_action", "observe", ...
std::string_view operation_name(const Command& command);

bool read(json::Reader& r, Command& out);
void write(json::Writer& w, const Command& command);
uint64_t text_length(const Command& command);
json::Value to_value(const Command& command);
void write_sorted(json::Writer& w, const Command& command);

}  // namespace tallowmere
