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

// Owns a block of f64 values and frees it on every path out of the loop. A
// negative count (see element_count) yields an empty block.
//
// The block starts on a cache line. malloc's blocks start 16 bytes past one
// or anywhere between, as the heap happens to lie, and then every vector of
// a 512-bit product straddles two lines: the same call ran up to a fifth
// slower in one process than in the next.
class scratch_block {
 public:
  static constexpr size_t kAlignment = 64;

  explicit scratch_block(i64 count) noexcept : data_(count < 0 ? nullptr : allocate(count)) {}
  ~scratch_block() { std::free(data_); }
  scratch_block(const scratch_block&) = delete;
  scratch_block& operator=(const scratch_block&) = delete;

  explicit operator bool() const noexcept { return data_ != nullptr; }
  f64* data() const noexcept { return data_; }

 private:
  // One value at least, so that all-empty dimensions are not mistaken for a
  // failed allocation; the size rounded up to whole lines, as aligned_alloc
  // asks (count is at most PTRDIFF_MAX / 8, so this cannot overflow).
  static f64* allocate(i64 count) noexcept {
    const size_t bytes = static_cast<size_t>(count > 0 ? count : 1) * sizeof(f64);
    const size_t rounded = (bytes + kAlignment - 1) / kAlignment * kAlignment;
    return static_cast<f64*>(std::aligned_alloc(kAlignment, rounded));
  }

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
