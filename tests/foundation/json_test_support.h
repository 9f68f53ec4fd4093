// Helpers shared by the JSON tests: reading a whole document as a generic
// value, as its canonical text or skipping it, and the files of the
// conformance corpus.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#include "foundation/json_reader.h"

namespace tallowmere::json::testing {

// The outcome of reading one document: the value, or the positioned error.
struct Parsed {
  bool ok = false;
  Value value;
  std::string canonical;  // when read as canonical text
  std::string error;      // "<message> at line L column C"
  std::string message;    // the message alone
};

enum class Walk { Build, Canonical, Skip };

inline Parsed walk(std::string_view text, Walk how, int depth_budget) {
  Reader reader(text, depth_budget);
  Parsed parsed;
  CanonicalText canonical;
  switch (how) {
    case Walk::Build: parsed.ok = reader.read_value(parsed.value); break;
    case Walk::Canonical: parsed.ok = reader.read_canonical(canonical); break;
    case Walk::Skip: parsed.ok = reader.skip_value(); break;
  }
  parsed.ok = parsed.ok && reader.finish();
  parsed.canonical = canonical.text();
  if (!parsed.ok) {
    parsed.error = reader.error();
    parsed.message = reader.message();
  }
  return parsed;
}
inline Parsed parse(std::string_view text, int depth_budget = kDefaultDepthBudget) {
  return walk(text, Walk::Build, depth_budget);
}
// The same document read as its canonical text instead of a tree.
inline Parsed canonical(std::string_view text, int depth_budget = kDefaultDepthBudget) {
  return walk(text, Walk::Canonical, depth_budget);
}
// The same document walked with skip_value instead of building a value.
inline Parsed skip(std::string_view text, int depth_budget = kDefaultDepthBudget) {
  return walk(text, Walk::Skip, depth_budget);
}

// The canonical text of a document that must read.
inline CanonicalText canonical_text(std::string_view text) {
  Reader reader(text);
  CanonicalText value;
  if (!reader.read_canonical(value) || !reader.finish()) throw std::invalid_argument(reader.error());
  return value;
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
