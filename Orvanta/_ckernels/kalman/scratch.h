// The one scratch block a filter loop takes per call: its checked size, its
// ownership, and the carving of it into regions. Internal to the filters.
#ifndef ORV_KALMAN_SCRATCH_H
#define ORV_KALMAN_SCRATCH_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "../_common/orv_common.h"

// Sum of terms, each a coefficient times dimensions: {{2, n}, {6, n, n}} is
// 2n + 6n^2. Returns -1 when a dimension is negative or when the byte size of
// that many f64 values would not fit in the address space, so that a caller
// can never allocate less than its regions need.
inline i64 element_count(std::initializer_list<std::initializer_list<i64>> terms) noexcept {
  constexpr i64 kMaxElements = PTRDIFF_MAX / static_cast<i64>(sizeof(f64));
  i64 total = 0;
  for (const auto& term : terms) {
    i64 product = 1;
    for (const i64 factor : term) {
      if (factor < 0 || __builtin_mul_overflow(product, factor, &product)) return -1;
    }
    if (__builtin_add_overflow(total, product, &total) || total > kMaxElements) return -1;
  }
  return total;
}

// Owns a malloc'd block of f64 values and frees it on every path out of the
// loop. A negative count (see element_count) yields an empty block.
class scratch_block {
 public:
  explicit scratch_block(i64 count) noexcept
      : data_(count < 0 ? nullptr
                        // one value at least, so that all-empty dimensions
                        // are not mistaken for a failed allocation
                        : static_cast<f64*>(std::malloc(
                              static_cast<size_t>(count > 0 ? count : 1) * sizeof(f64)))) {}
  ~scratch_block() { std::free(data_); }
  scratch_block(const scratch_block&) = delete;
  scratch_block& operator=(const scratch_block&) = delete;

  explicit operator bool() const noexcept { return data_ != nullptr; }
  f64* data() const noexcept { return data_; }

 private:
  f64* data_;
};

// Hands out consecutive regions of a block by advancing one pointer.
struct region_carver {
  f64* next;
  f64* take(i64 count) noexcept {
    f64* region = next;
    next += count;
    return region;
  }
};

#endif  // ORV_KALMAN_SCRATCH_H
