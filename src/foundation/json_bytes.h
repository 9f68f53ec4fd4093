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

// The `count` (fewer than eight) bytes at `p` as one word, padded with a byte
// neither function marks. Fixed-size loads: a copy of variable length would
// be a call, dearer than the scan of a short string.
inline uint64_t padded_tail(const char* p, size_t count) {
  uint64_t word = 0;
  unsigned shift = 0;
  if (count & 4) {
    uint32_t part;
    std::memcpy(&part, p, 4);
    word = part;
    shift = 32;
    p += 4;
  }
  if (count & 2) {
    uint16_t part;
    std::memcpy(&part, p, 2);
    word |= uint64_t{part} << shift;
    shift += 16;
    p += 2;
  }
  if (count & 1) {
    word |= uint64_t{static_cast<unsigned char>(*p)} << shift;
    shift += 8;
  }
  return word | (kByteOnes * 'a') << shift;
}

// The position of the first byte from `from` that `flags` marks, or `size`.
// Whole words are read, the last few bytes as one padded word.
template <uint64_t (*Flags)(uint64_t)>
size_t first_flagged(const char* data, size_t from, size_t size) {
  for (; from + 8 <= size; from += 8) {
    uint64_t word;
    std::memcpy(&word, data + from, 8);
    if (const uint64_t flagged = Flags(word)) return from + std::countr_zero(flagged) / 8;
  }
  if (from == size) return size;
  const uint64_t flagged = Flags(padded_tail(data + from, size - from));
  return flagged ? from + std::countr_zero(flagged) / 8 : size;
}

}  // namespace tallowmere::json
