#include "foundation/json_value.h"

#include <algorithm>

#include "foundation/invariant.h"

namespace tallowmere::json {

namespace {

bool key_less(const Member& m, std::string_view key) { return std::string_view(m.key) < key; }

// Whether a zero double's digits, 0.0, start at `at` and end the number.
bool zero_at(std::string_view text, size_t at) {
  if (text.substr(at, 3) != "0.0") return false;
  return at + 3 == text.size() || text[at + 3] == ',' || text[at + 3] == ']' ||
         text[at + 3] == '}';
}

// A text that lives as long as the program, shared without counting.
std::shared_ptr<const std::string> literal(const std::string& text) {
  return std::shared_ptr<const std::string>(std::shared_ptr<const std::string>(), &text);
}

}  // namespace

bool equal_canonical(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  bool in_string = false;
  while (i < a.size() && j < b.size()) {
    const char c = a[i];
    if (c == b[j]) {
      ++i;
      ++j;
      if (!in_string) {
        in_string = c == '"';
      } else if (c == '"') {
        in_string = false;
      } else if (c == '\\') {
        // The escaped byte must match too; it never ends the string.
        if (i == a.size() || j == b.size() || a[i] != b[j]) return false;
        ++i;
        ++j;
      }
      continue;
    }
    // Texts that agreed up to here, outside a string, stand at the start of a
    // value there: a '-' cannot be met inside a number with 0.0 after it.
    if (in_string) return false;
    if (c == '-' && zero_at(a, i + 1) && zero_at(b, j)) {
      i += 4;
      j += 3;
    } else if (b[j] == '-' && zero_at(b, j + 1) && zero_at(a, i)) {
      i += 3;
      j += 4;
    } else {
      return false;
    }
  }
  return i == a.size() && j == b.size();
}

CanonicalText::CanonicalText() {
  static const std::string kNull = "null";
  text_ = literal(kNull);
}

CanonicalText CanonicalText::empty_object() {
  static const std::string kEmptyObject = "{}";
  return CanonicalText(literal(kEmptyObject));
}

bool operator==(const CanonicalText& a, const CanonicalText& b) {
  return a.text_ == b.text_ || *a.text_ == *b.text_ || equal_canonical(*a.text_, *b.text_);
}

bool operator==(const Value& a, const Value& b) {
  const bool a_text = a.kind() == Value::Kind::Canonical;
  const bool b_text = b.kind() == Value::Kind::Canonical;
  if (a_text && !b_text) return a.as_canonical() == CanonicalText(b);
  if (b_text && !a_text) return CanonicalText(a) == b.as_canonical();
  return a.data_ == b.data_;
}

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
  TALLOWMERE_ASSERT(members_.empty() || std::string_view(members_.back().key) < key);
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
