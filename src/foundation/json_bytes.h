// Scanning JSON string bytes eight at a time, for the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tallowmere::json {

// Whether the eight bytes at `p` hold one below 0x20, a quote or a backslash:
// the bytes a string can never carry raw. May be wrong only towards true
// when one of them is present, never when none is.
inline bool has_special_byte(const char* p) {
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHighs = 0x8080808080808080;
  uint64_t word;
  std::memcpy(&word, p, 8);
  const uint64_t quote = word ^ (kOnes * '"');
  const uint64_t backslash = word ^ (kOnes * '\\');
  return (((word - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~word & kHighs) != 0;
}

// Whether the eight bytes at `p` hold a special byte or one from 0x80.
inline bool has_special_or_high_byte(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return (word & 0x8080808080808080) != 0 || has_special_byte(p);
}

// The first position from `from` that starts a word of eight bytes where
// `stops` holds, or the last position with fewer than eight bytes left.
template <bool (*Stops)(const char*)>
size_t skip_plain_words(const char* data, size_t from, size_t size) {
  while (from + 8 <= size && !Stops(data + from)) from += 8;
  return from;
}

}  // namespace tallowmere::json
