// Helpers shared by the record tests: decoding one document into a record,
// writing it back, and tables of refusals with their exact positioned texts.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "contracts/record.h"
#include "core/boundary.h"
#include "core/json_reader.h"

namespace tallowmere::testing {

template <class T>
struct Decoded {
  bool ok = false;
  T value{};
  std::string error;  // "<message> at line L column C"
};

template <class T>
Decoded<T> decode(std::string_view text) {
  Decoded<T> decoded;
  decoded.ok = read_document(
      text, decoded.value, [](json::Reader& r, T& out) { return read(r, out); }, decoded.error);
  return decoded;
}

// Decodes text that must be accepted, failing the test otherwise.
template <class T>
T accepted(std::string_view text) {
  Decoded<T> decoded = decode<T>(text);
  EXPECT_TRUE(decoded.ok) << text << " -> " << decoded.error;
  return decoded.value;
}

// A text the decoder must refuse. The position is the first occurrence of
// `anchor` in the input, or its last byte (the closing brace or bracket of
// the outer value) when there is no anchor.
struct Refusal {
  Refusal(std::string input, std::string message, std::string anchor = {})
      : input(std::move(input)), message(std::move(message)), anchor(std::move(anchor)) {}
  std::string input;
  std::string message;
  std::string anchor;
};

inline std::string positioned(const Refusal& row) {
  size_t column = row.input.size();
  if (!row.anchor.empty()) {
    const size_t at = row.input.find(row.anchor);
    EXPECT_NE(at, std::string::npos) << "anchor " << row.anchor;
    column = at + 1;
  }
  return row.message + " at line 1 column " + std::to_string(column);
}

template <class T>
void expect_refusals(const std::vector<Refusal>& rows) {
  for (const Refusal& row : rows) {
    SCOPED_TRACE(row.input);
    const Decoded<T> decoded = decode<T>(row.input);
    EXPECT_FALSE(decoded.ok);
    EXPECT_EQ(decoded.error, positioned(row));
  }
}

// The values an unsigned 64-bit field refuses, placed between `before` and
// `after`; each refusal points at the value (which `before` must not hold).
inline std::vector<Refusal> u64_refusals(std::string_view before, std::string_view after) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"-1", "invalid value: integer `-1`, expected u64"},
      {"1.0", "invalid type: floating point `1.0`, expected u64"},
      {"1e3", "invalid type: floating point `1000.0`, expected u64"},
      {"18446744073709551616",
       "invalid type: floating point `1.8446744073709552e+19`, expected u64"},
      {"null", "invalid type: null, expected u64"},
      {"\"7\"", "invalid type: string \"7\", expected u64"},
      {"true", "invalid type: boolean `true`, expected u64"},
  };
  std::vector<Refusal> rows;
  for (const auto& [value, message] : cases) {
    std::string input(before);
    input.append(value).append(after);
    rows.push_back({input, std::string(message), std::string(value)});
  }
  return rows;
}

// Each text decodes, writes back to itself, and decodes again to an equal record.
template <class T>
void expect_canonical(const std::vector<std::string>& texts) {
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    const T record = accepted<T>(text);
    const std::string written = to_text(record);
    EXPECT_EQ(written, text);
    EXPECT_EQ(accepted<T>(written), record);
  }
}

}  // namespace tallowmere::testing
