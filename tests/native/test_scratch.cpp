// The sizing and carving of a scratch block (scratch.h): a layout counted
// by a region_counter is the block a region_carver hands out, the count
// refuses dimensions no block could hold rather than come out too small, and
// checked builds stop a carve that would run past its block.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "scratch.h"

namespace {

constexpr i64 kMax = std::numeric_limits<i64>::max();

struct record {
  f64 *a, *b, *c;
};

// A layout as the filters write theirs, with a gap that aligns c to 8 values.
template <class Regions>
record regions(Regions& r, i64 n, i64 m) {
  record s{};
  s.a = r.take(n);
  s.b = r.take(n, m, 2);
  r.align(8);
  s.c = r.take(m, m);
  return s;
}

i64 count(i64 n, i64 m) {
  return layout_elements([&](auto& r) { regions(r, n, m); });
}

}  // namespace

TEST(Scratch, CarvedRegionsFollowEachOtherInsideTheCountedBlock) {
  const i64 n = 3, m = 5;
  const i64 elements = count(n, m);
  ASSERT_EQ(elements, n + 2 * n * m + 8 + m * m);
  scratch_block block(elements);
  ASSERT_TRUE(block);
  // from one value past the block's line, so that the gap is not empty
  region_carver carver(block.data() + 1, elements - 1);
  const record s = regions(carver, n, m);
  EXPECT_EQ(s.a, block.data() + 1);
  EXPECT_EQ(s.b, s.a + n);
  EXPECT_GE(s.c, s.b + 2 * n * m);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s.c) % (8 * sizeof(f64)), 0u);
  EXPECT_LE(s.c + m * m, block.data() + elements);
}

TEST(Scratch, CountRefusesDimensionsNoBlockHolds) {
  EXPECT_EQ(count(0, 0), 8);  // the gap alone
  EXPECT_EQ(count(-1, 1), -1);
  EXPECT_EQ(count(1, -1), -1);
  EXPECT_EQ(count(kMax, 1), -1);          // beyond the address space
  EXPECT_EQ(count(1LL << 40, 1LL << 40), -1);  // the product overflows
  EXPECT_EQ(count(1LL << 59, 1), -1);     // the sum passes PTRDIFF_MAX bytes
  // a dimension no block could hold is refused even when it multiplies zero
  EXPECT_EQ(layout_elements([](auto& r) { r.take(0, 1LL << 61); }), -1);
  EXPECT_EQ(layout_elements([](auto& r) { r.take(0, 1LL << 20); }), 0);
}

#if defined(ORV_CHECK_SCRATCH) || !defined(NDEBUG)
TEST(ScratchDeathTest, CarvingPastTheBlockStops) {
  scratch_block block(count(3, 5));
  ASSERT_TRUE(block);
  EXPECT_DEATH(
      {
        region_carver carver(block.data(), count(3, 4));  // counted for a smaller m
        regions(carver, 3, 5);
      },
      "scratch regions end");
}
#endif
