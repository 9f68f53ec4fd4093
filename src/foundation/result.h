// Errors as values: a Result holds either a value or the failure text that
// will reach the host unchanged ("code: detail", or a bare code).
#pragma once

#include <cassert>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace tallowmere {

struct Error {
  std::string text;
};

// Builds "code: detail".
inline Error fail(std::string_view code, std::string_view detail) {
  std::string text;
  text.reserve(code.size() + 2 + detail.size());
  text.append(code).append(": ").append(detail);
  return Error{std::move(text)};
}

// A failure that is the bare code, without detail.
inline Error fail(std::string_view code) { return Error{std::string(code)}; }

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const std::string& error() const& { return std::get<1>(state_).text; }
  Error take_error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// A Result without a value: success, or a failure text.
class [[nodiscard]] Check {
 public:
  Check() = default;
  Check(Error error) : failed_(true), text_(std::move(error.text)) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return text_; }
  Error take_error() && { return Error{std::move(text_)}; }

 private:
  bool failed_ = false;
  std::string text_;
};

}  // namespace tallowmere
