// Errors as values: a Result holds either a value or the failure text that
// will reach the host unchanged ("code: detail", or a bare code), with the
// code beside it for callers that branch on the kind.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "foundation/error_code.h"
#include "foundation/invariant.h"

namespace tallowmere {

struct Error {
  Code code;
  std::string text;
};

// The code's failure: bare, or with its fixed detail.
inline Error fail(Code code) {
  const CodeEntry& row = entry(code);
  TALLOWMERE_ASSERT(row.detail.kind != DetailKind::kGiven);
  if (row.detail.kind == DetailKind::kBare) return Error{code, std::string(row.text)};
  std::string text;
  text.reserve(row.text.size() + 2 + row.detail.text.size());
  text.append(row.text).append(": ").append(row.detail.text);
  return Error{code, std::move(text)};
}

// "code: detail" for a code whose detail the failing call gives.
inline Error fail(Code code, std::string_view detail) {
  const CodeEntry& row = entry(code);
  TALLOWMERE_ASSERT(row.detail.kind == DetailKind::kGiven);
  std::string text;
  text.reserve(row.text.size() + 2 + detail.size());
  text.append(row.text).append(": ").append(detail);
  return Error{code, std::move(text)};
}

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
  Code code() const { return std::get<1>(state_).code; }
  Error take_error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// A Result without a value: success, or a failure text.
class [[nodiscard]] Check {
 public:
  Check() = default;
  Check(Error error) : failed_(true), code_(error.code), text_(std::move(error.text)) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return text_; }
  Code code() const { return code_; }
  Error take_error() && { return Error{code_, std::move(text_)}; }

 private:
  bool failed_ = false;
  Code code_{};
  std::string text_;
};

}  // namespace tallowmere
