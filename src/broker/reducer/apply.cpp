#include "broker/reducer/apply.h"

#include <variant>

#include "broker/reducer/dispatch.h"
#include "broker/reducer/finish.h"
#include "broker/reducer/observation.h"
#include "broker/reducer/queues.h"
#include "broker/reducer/registration.h"
#include "broker/reducer/submission.h"

namespace tallowmere {

namespace {

template <class... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
// Spelled out for compilers without deduction for aggregates.
template <class... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

}  // namespace

Result<std::string> apply(const Config& config, WorkingState& state, const Command& command,
                          uint64_t tick) {
  return std::visit(
      Overloaded{
          [&](const RegisterAction& c) { return register_action(config, state, c.spec); },
          [&](const Observe& c) { return observe(config, state, c.event, tick); },
          [&](const Submit& c) { return submit(config, state, c.intent, tick); },
          [&](const Begin& c) { return begin(state, c.intent_id, tick); },
          [&](const Finish& c) { return finish(state, c.intent_id, c.outcome, tick, false); },
          [&](const Reconcile& c) { return finish(state, c.intent_id, c.outcome, tick, true); },
          [&](const Cancel& c) { return cancel(state, c.intent_id, tick); },
          [&](const Revoke& c) { return revoke(state, c.capability, tick); },
          [&](const Expire&) { return Result<std::string>(expire(state, tick)); },
          [&](const Enqueue& c) { return enqueue(config, state, c.event, c.control); },
          [&](const Drain& c) { return drain(config, state, c.limit, tick); },
          [&](const Recover&) { return Result<std::string>(recover(state, tick)); },
      },
      command);
}

}  // namespace tallowmere
