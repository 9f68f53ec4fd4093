// Scanning JSON string bytes eight at a time, for the reader and the writer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tallowmere::json {

// A word's first byte is its lowest, so its first flagged byte is found by
// counting trailing zeros.
static_assert(std::endian::native == std::endian::little,
              "string bytes are scanned as little-endian words");

inline constexpr uint64_t kByteOnes = 0x0101010101010101;
inline constexpr uint64_t kByteHighs = 0x8080808080808080;

// The high bit of each byte of `word` below 0x20, a quote or a backslash: the
// bytes a string can never carry raw. A byte above a flagged one may be
// flagged wrongly (a borrow), so only the lowest flag is exact.
inline uint64_t special_bytes(uint64_t word) {
  const uint64_t quote = word ^ (kByteOnes * '"');
  const uint64_t backslash = word ^ (kByteOnes * '\\');
  return ((word - kByteOnes * 0x20) | (quote - kByteOnes) | (backslash - kByteOnes)) & ~word &
         kByteHighs;
}

// The same, and every byte from 0x80.
inline uint64_t special_or_high_bytes(uint64_t word) {
  return (word & kByteHighs) | special_bytes(word);
}

// The position of the first byte from `from` that `flags` marks, or `size`.
// Whole words are read; the last few bytes are read as one word padded with
// a byte neither function marks.
template <uint64_t (*Flags)(uint64_t)>
size_t first_flagged(const char* data, size_t from, size_t size) {
  uint64_t word;
  for (; from + 8 <= size; from += 8) {
    std::memcpy(&word, data + from, 8);
    if (const uint64_t flagged = Flags(word)) return from + std::countr_zero(flagged) / 8;
  }
  if (from == size) return size;
  word = kByteOnes * 'a';
  std::memcpy(&word, data + from, size - from);
  const uint64_t flagged = Flags(word);
  return flagged ? from + std::countr_zero(flagged) / 8 : size;
}

}  // namespace tallowmere::json
