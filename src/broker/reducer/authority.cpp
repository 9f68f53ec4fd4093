#include "broker/reducer/authority.h"

#include <algorithm>

namespace tallowmere {

Result<const ActionSpec*> check_authority(const State& state, const Intent& intent) {
  auto found = state.actions.find(intent.action_id);
  if (found == state.actions.end()) return fail(Code::kUnregisteredAction, intent.action_id);
  const ActionSpec& spec = found->second;
  if (intent.action_version != spec.version) {
    return fail(Code::kActionVersion);
  }
  for (const std::string& capability : spec.required_capabilities) {
    if (!state.capabilities.contains(capability)) {
      return fail(Code::kCapabilityDenied);
    }
  }
  if (intent.resources.size() > spec.max_resources) {
    return fail(Code::kResourceLimit, "action resource bound exceeded");
  }
  if (!spec.allow_write) {
    for (const ResourceRef& ref : intent.resources) {
      if (ref.access == Access::Write) return fail(Code::kWriteDenied);
    }
  }
  for (const ResourceRef& ref : intent.resources) {
    auto resource = state.resources.find(ref.resource_id);
    if (resource == state.resources.end()) return fail(Code::kUnknownResource, ref.resource_id);
    if (resource->second.revision != ref.expected_revision) {
      return fail(Code::kStaleRevision, ref.resource_id);
    }
  }
  return &spec;
}

bool conflicts(const std::vector<ResourceRef>& a, const std::vector<ResourceRef>& b) {
  return std::any_of(a.begin(), a.end(), [&](const ResourceRef& x) {
    return std::any_of(b.begin(), b.end(), [&](const ResourceRef& y) {
      return x.resource_id == y.resource_id &&
             (x.access == Access::Write || y.access == Access::Write);
    });
  });
}

}  // namespace tallowmere
