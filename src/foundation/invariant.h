// Assertions for the engine's own mistakes, never for bad input (that gets an
// error value). They run in the test and sanitizer builds, where CMake defines
// TALLOWMERE_CHECKS, and cost nothing in the module and the benchmarks.
#pragma once

#ifdef TALLOWMERE_CHECKS
#include <cstdio>
#include <cstdlib>

namespace tallowmere {
[[noreturn]] inline void invariant_failed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, condition);
  std::abort();
}
}  // namespace tallowmere

#define TALLOWMERE_ASSERT(condition) \
  ((condition) ? void(0) : ::tallowmere::invariant_failed(#condition, __FILE__, __LINE__))
#else
// Unevaluated, so what only an assertion reads still counts as used.
#define TALLOWMERE_ASSERT(condition) static_cast<void>(sizeof(static_cast<bool>(condition)))
#endif

namespace tallowmere {

// The value under a key the caller knows is there.
template <class Map, class Key>
const typename Map::mapped_type& must_find(const Map& map, const Key& key) {
  auto it = map.find(key);
  TALLOWMERE_ASSERT(it != map.end());
  return it->second;
}
template <class Map, class Key>
typename Map::mapped_type& must_find(Map& map, const Key& key) {
  auto it = map.find(key);
  TALLOWMERE_ASSERT(it != map.end());
  return it->second;
}

}  // namespace tallowmere
