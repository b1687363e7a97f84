// Deterministic test values in [-1, 1): a linear congruential sequence, so
// that every run and every build sees the same numbers.
#ifndef ORV_TEST_VALUES_H
#define ORV_TEST_VALUES_H

#include <cstdint>
#include <vector>

#include "orv_common.h"

struct Values {
  std::uint64_t state = 0x2545F4914F6CDD1DULL;
  f64 next() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<f64>(state >> 11) * 0x1p-52 - 1.0;
  }
  std::vector<f64> many(i64 n, f64 scale) {
    std::vector<f64> v(static_cast<size_t>(n));
    for (f64& x : v) x = scale * next();
    return v;
  }
};

#endif  // ORV_TEST_VALUES_H
