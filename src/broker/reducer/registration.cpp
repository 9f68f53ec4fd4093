#include "broker/reducer/registration.h"

#include "foundation/identifier.h"
#include "foundation/record.h"

namespace tallowmere {

namespace {

constexpr uint64_t kMaxActionResources = 64;

}  // namespace

Result<std::string> register_action(const Config& config, WorkingState& state,
                                    const ActionSpec& spec) {
  if (Check id = check_identifier(spec.action_id); !id) return std::move(id).take_error();
  if (spec.version == 0 || spec.max_resources > kMaxActionResources) {
    return fail(Code::kInvalidAction);
  }
  for (const std::string& capability : spec.required_capabilities) {
    if (Check id = check_identifier(capability); !id) return std::move(id).take_error();
  }
  const auto& actions = state.view().actions;
  if (auto stored = actions.find(spec.action_id); stored != actions.end()) {
    if (stored->second == spec) return value_text(stored->second);
    return fail(Code::kImmutableAction);
  }
  if (actions.size() >= config.max_resources) return fail(Code::kActionLimit);
  state.put_action(spec);
  return value_text(spec);
}

}  // namespace tallowmere
