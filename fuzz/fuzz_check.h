// How a fuzzer reports a broken invariant: it names it and aborts, so
// libFuzzer keeps the input that broke it.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "foundation/result.h"
#include "policy/score_array.h"

namespace tallowmere::fuzz {

inline void require(bool holds, const char* invariant, const std::string& detail = {}) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n%s\n", invariant, detail.c_str());
  std::abort();
}

inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::bit_cast<uint64_t>(a[i]) != std::bit_cast<uint64_t>(b[i])) return false;
  }
  return true;
}

// The same scores bit for bit, or the same error text.
inline void require_same_scores(const Result<std::vector<double>>& scored,
                                const Result<std::vector<double>>& expected,
                                const char* invariant) {
  if (expected) {
    require(scored.ok() && same_bits(*scored, *expected), invariant,
            scored.ok() ? "other scores" : scored.error());
  } else {
    require(!scored && scored.error() == expected.error(), invariant,
            scored.ok() ? "scored" : scored.error());
  }
}

// The score array text of the expected scores, or the same error text.
inline void require_same_text(const Result<std::string>& text,
                              const Result<std::vector<double>>& expected,
                              const char* invariant) {
  const bool same = expected ? text.ok() && *text == policy::score_array_text(*expected)
                             : !text && text.error() == expected.error();
  require(same, invariant, text.ok() ? *text : text.error());
}

}  // namespace tallowmere::fuzz
