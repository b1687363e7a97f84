// The one scratch block a filter loop takes per call: its checked size, its
// ownership, and the carving of it into regions. Internal to the filters.
#ifndef ORV_KALMAN_SCRATCH_H
#define ORV_KALMAN_SCRATCH_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
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

// A scratch record's regions are listed once, in a layout: a function
// template that assigns each region of the record from r.take(extent...) in
// carving order (and r.align for a gap that aligns what follows). Run on a
// region_counter it gives the block's size, run on a region_carver over a
// block of that size it hands out the regions, so the two cannot disagree.

// Sums a layout's extents: the number of values of its block, or -1 when a
// dimension is negative or larger than any block could hold, or the sum
// does not fit in the address space (see element_count).
class region_counter {
 public:
  f64* take(i64 a, i64 b = 1, i64 c = 1) noexcept {
    i64 extent = 1;
    for (const i64 factor : {a, b, c}) {
      if (factor < 0 || factor > kMaxElements || __builtin_mul_overflow(extent, factor, &extent))
        failed_ = true;
    }
    if (!failed_ && (__builtin_add_overflow(total_, extent, &total_) || total_ > kMaxElements))
      failed_ = true;
    return nullptr;
  }
  // Room for the most a region_carver::align(values) can skip.
  void align(i64 values) noexcept { take(values); }

  i64 elements() const noexcept { return failed_ ? -1 : total_; }

 private:
  static constexpr i64 kMaxElements = PTRDIFF_MAX / static_cast<i64>(sizeof(f64));
  i64 total_ = 0;
  bool failed_ = false;
};

// Hands out consecutive regions of a block of `capacity` values (as a
// region_counter counted them) by advancing one offset. Debug and sanitized
// builds stop the process when a region would end past the block, which
// would mean the layout was not the one counted.
class region_carver {
 public:
  region_carver(f64* block, i64 capacity) noexcept : block_(block), capacity_(capacity) {}

  f64* take(i64 a, i64 b = 1, i64 c = 1) noexcept {
    f64* region = block_ + used_;
    used_ += a * b * c;
    check_inside();
    return region;
  }
  // Skips to the next address that is a multiple of `values` values.
  void align(i64 values) noexcept {
    const auto bytes = static_cast<std::uintptr_t>(values) * sizeof(f64);
    const auto address = reinterpret_cast<std::uintptr_t>(block_ + used_);
    used_ += static_cast<i64>((bytes - address % bytes) % bytes / sizeof(f64));
    check_inside();
  }

 private:
  void check_inside() const noexcept {
#if defined(ORV_CHECK_SCRATCH) || !defined(NDEBUG)
    if (used_ > capacity_) {
      std::fprintf(stderr, "scratch regions end %lld values past a block of %lld\n",
                   static_cast<long long>(used_ - capacity_),
                   static_cast<long long>(capacity_));
      std::abort();
    }
#endif
  }

  f64* block_;
  i64 capacity_;
  i64 used_ = 0;
};

// The size of the block of `layout` (a callable taking a region_counter&).
template <class Layout>
i64 layout_elements(Layout&& layout) noexcept {
  region_counter counter;
  layout(counter);
  return counter.elements();
}

#endif  // ORV_KALMAN_SCRATCH_H
