// A generic JSON value: the form of every result. Objects keep their members
// sorted by key bytes, so writing one is canonical without a sort, and a key
// given twice keeps its last value. Values the broker only stores, compares
// and writes (intent arguments, outcome evidence) are held as their canonical
// text instead, which a Value can carry to be written verbatim.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tallowmere::json {

class Value;
struct Member;
class Reader;

// One JSON value held as its canonical text, a fraction of the size of its
// tree. Only reading (Reader::read_canonical) and writing a Value make one,
// so the text is always canonical. The text never changes once made, so
// copies share it: the command that brought a value, the record that keeps
// it, a checkpoint of that record and a result showing it hold one text.
class CanonicalText {
 public:
  // null.
  CanonicalText();
  // The canonical text of `value`.
  explicit CanonicalText(const Value& value);
  static CanonicalText empty_object();

  const std::string& text() const { return *text_; }
  bool is_object() const { return text_->front() == '{'; }
  bool is_empty_object() const { return *text_ == "{}"; }

  // Equal as values: the same text, or texts that differ only in the sign of
  // zero doubles (-0.0 and 0.0 are equal, as doubles compare).
  friend bool operator==(const CanonicalText& a, const CanonicalText& b);

 private:
  friend class Reader;
  explicit CanonicalText(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}
  std::shared_ptr<const std::string> text_;
};

// Whether two canonical texts are texts of equal values.
bool equal_canonical(std::string_view a, std::string_view b);

using Array = std::vector<Value>;

// Members in ascending byte order of their keys, keys unique.
class Object {
 public:
  // Members that use the member vector are defined below Member, where its
  // type is complete, as the standard library requires.
  Object() = default;
  Object(const Object&);
  Object(Object&&) noexcept;
  Object& operator=(const Object&);
  Object& operator=(Object&&) noexcept;
  ~Object();

  size_t size() const;
  bool empty() const;
  const Member* begin() const;
  const Member* end() const;

  // Lookup by binary search; nullptr when absent.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);

  // Inserts or replaces, keeping the order.
  Value& set(std::string_view key, Value value);

  // For objects built in ascending key order: appends a member whose key
  // sorts after every key present, without searching.
  void reserve(size_t count);
  Value& append_sorted(std::string_view key, Value value);

  // Takes members in any order; a repeated key keeps its last value.
  static Object from_members(std::vector<Member> members);

  friend bool operator==(const Object& a, const Object& b);

 private:
  std::vector<Member> members_;
};

class Value {
 public:
  enum class Kind : uint8_t { Null, Bool, Unsigned, Signed, Double, String, Array, Object, Canonical };

  Value() = default;
  Value(std::nullptr_t) {}
  Value(bool b) : data_(b) {}
  Value(uint64_t u) : data_(u) {}
  Value(int64_t i) : data_(i) {}
  Value(double d) : data_(d) {}
  Value(std::string s) : data_(std::move(s)) {}
  Value(std::string_view s) : data_(std::string(s)) {}
  Value(const char* s) : data_(std::string(s)) {}
  Value(json::Array a) : data_(std::move(a)) {}
  Value(json::Object o) : data_(std::move(o)) {}
  Value(CanonicalText c) : data_(std::move(c)) {}
  // Plain int literals are unsigned counts in this system; refuse the ambiguity.
  Value(int) = delete;

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_object() const { return kind() == Kind::Object; }
  bool is_array() const { return kind() == Kind::Array; }
  bool is_string() const { return kind() == Kind::String; }

  bool as_bool() const { return std::get<bool>(data_); }
  uint64_t as_unsigned() const { return std::get<uint64_t>(data_); }
  int64_t as_signed() const { return std::get<int64_t>(data_); }
  double as_double() const { return std::get<double>(data_); }
  const std::string& as_string() const { return std::get<std::string>(data_); }
  const json::Array& as_array() const { return std::get<json::Array>(data_); }
  json::Array& as_array() { return std::get<json::Array>(data_); }
  const json::Object& as_object() const { return std::get<json::Object>(data_); }
  json::Object& as_object() { return std::get<json::Object>(data_); }
  const CanonicalText& as_canonical() const { return std::get<CanonicalText>(data_); }

  // Numbers are equal only as the same kind with the same value: 1 and 1.0
  // differ. A canonical text equals the values it is the text of.
  friend bool operator==(const Value& a, const Value& b);

 private:
  std::variant<std::nullptr_t, bool, uint64_t, int64_t, double, std::string, json::Array,
               json::Object, CanonicalText>
      data_;
};

struct Member {
  std::string key;
  Value value;
  friend bool operator==(const Member&, const Member&) = default;
};

inline Object::Object(const Object&) = default;
inline Object::Object(Object&&) noexcept = default;
inline Object& Object::operator=(const Object&) = default;
inline Object& Object::operator=(Object&&) noexcept = default;
inline Object::~Object() = default;
inline size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline const Member* Object::begin() const { return members_.data(); }
inline const Member* Object::end() const { return members_.data() + members_.size(); }

// Builds an object from members listed in any order (small result objects).
Object make_object(std::initializer_list<std::pair<std::string_view, Value>> members);

}  // namespace tallowmere::json
