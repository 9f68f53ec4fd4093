#include "core/json_value.h"

#include <algorithm>
#include <cassert>

namespace tallowmere::json {

namespace {

bool key_less(const Member& m, std::string_view key) { return std::string_view(m.key) < key; }

}  // namespace

const Value* Object::find(std::string_view key) const {
  auto it = std::lower_bound(members_.begin(), members_.end(), key, key_less);
  return it != members_.end() && it->key == key ? &it->value : nullptr;
}

Value* Object::find(std::string_view key) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key, key_less);
  return it != members_.end() && it->key == key ? &it->value : nullptr;
}

Value& Object::set(std::string_view key, Value value) {
  auto it = std::lower_bound(members_.begin(), members_.end(), key, key_less);
  if (it != members_.end() && it->key == key) {
    it->value = std::move(value);
    return it->value;
  }
  return members_.insert(it, Member{std::string(key), std::move(value)})->value;
}

void Object::reserve(size_t count) { members_.reserve(count); }

Value& Object::append_sorted(std::string_view key, Value value) {
  assert(members_.empty() || std::string_view(members_.back().key) < key);
  members_.push_back(Member{std::string(key), std::move(value)});
  return members_.back().value;
}

Object Object::from_members(std::vector<Member> members) {
  Object object;
  bool sorted = true;
  for (size_t i = 1; i < members.size() && sorted; ++i) {
    sorted = members[i - 1].key < members[i].key;
  }
  if (!sorted) {
    // Stable, so among equal keys the last given stays last and wins.
    std::stable_sort(members.begin(), members.end(),
                     [](const Member& a, const Member& b) { return a.key < b.key; });
    size_t kept = 0;
    for (size_t i = 0; i < members.size(); ++i) {
      if (i + 1 < members.size() && members[i].key == members[i + 1].key) continue;
      if (kept != i) members[kept] = std::move(members[i]);
      ++kept;
    }
    members.resize(kept);
  }
  object.members_ = std::move(members);
  return object;
}

bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

Object make_object(std::initializer_list<std::pair<std::string_view, Value>> members) {
  Object object;
  for (const auto& [key, value] : members) object.set(key, value);
  return object;
}

}  // namespace tallowmere::json
