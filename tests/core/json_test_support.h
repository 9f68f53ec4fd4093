// Helpers shared by the JSON tests: reading a whole document as a generic
// value or skipping it, and the files of the conformance corpus.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "core/json_reader.h"

namespace tallowmere::json::testing {

// The outcome of reading one document: the value, or the positioned error.
struct Parsed {
  bool ok = false;
  Value value;
  std::string error;    // "<message> at line L column C"
  std::string message;  // the message alone
};

inline Parsed walk(std::string_view text, bool skip, int depth_budget) {
  Reader reader(text, depth_budget);
  Parsed parsed;
  parsed.ok = (skip ? reader.skip_value() : reader.read_value(parsed.value)) && reader.finish();
  if (!parsed.ok) {
    parsed.error = reader.error();
    parsed.message = reader.message();
  }
  return parsed;
}
inline Parsed parse(std::string_view text, int depth_budget = kDefaultDepthBudget) {
  return walk(text, false, depth_budget);
}
// The same document walked with skip_value instead of building a value.
inline Parsed skip(std::string_view text, int depth_budget = kDefaultDepthBudget) {
  return walk(text, true, depth_budget);
}

inline std::string at(std::string_view message, int line, int column) {
  return std::string(message) + " at line " + std::to_string(line) + " column " +
         std::to_string(column);
}

inline std::filesystem::path corpus_dir() { return JSON_TEST_SUITE_DIR; }

inline std::string read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string nested_arrays(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

}  // namespace tallowmere::json::testing
