// LU records and workspaces, and the sort. Run under AddressSanitizer and
// LeakSanitizer, these catch leaks on the exit paths, double frees and
// accesses outside the arrays.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "orv_complex.h"
#include "orv_linalg.h"

// Records cross the boundary by value: their C layout is part of the ABI.
static_assert(sizeof(f64_lu) == 32 && offsetof(f64_lu, lu) == 0 && offsetof(f64_lu, piv) == 8 &&
              offsetof(f64_lu, n) == 16 && offsetof(f64_lu, err) == 24);
static_assert(sizeof(c128_lu) == 32 && offsetof(c128_lu, lu) == 0 &&
              offsetof(c128_lu, piv) == 8 && offsetof(c128_lu, n) == 16 &&
              offsetof(c128_lu, err) == 24);
static_assert(sizeof(c128) == 16 && offsetof(c128, re) == 0 && offsetof(c128, im) == 8);

namespace {

constexpr f64 kSentinel = -777.25;
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

}  // namespace

TEST(LuRecord, SingularFactorisationHandsOverItsArrays) {
  // Column 1 is zero: step 1 finds no pivot.
  const std::vector<f64> A = {1, 0, 2, 3, 0, 1, 4, 0, 5};
  f64_lu rec = orv_lu_factor(A.data(), 3);
  ASSERT_EQ(rec.err, ORV_LU_ERR_SINGULAR);
  ASSERT_NE(rec.lu, nullptr);
  ASSERT_NE(rec.piv, nullptr);
  EXPECT_EQ(rec.n, 3);
  EXPECT_EQ(rec.piv[0], 2);
  EXPECT_EQ(rec.piv[1], 1);
  for (int i = 0; i < 9; ++i) rec.lu[i] += 0.0;  // the whole n-by-n block is owned
  orv_lu_free(&rec);
  EXPECT_EQ(rec.lu, nullptr);
  EXPECT_EQ(rec.piv, nullptr);
  EXPECT_EQ(rec.n, 0);
  EXPECT_EQ(rec.err, 0);
  orv_lu_free(&rec);
  orv_lu_free(nullptr);

  const std::vector<c128> Z = {{1, 1}, {0, 0}, {0, 0}, {0, 0}};
  c128_lu crec = c128_lu_factor(Z.data(), 2);
  ASSERT_EQ(crec.err, ORV_LU_ERR_SINGULAR);
  ASSERT_NE(crec.lu, nullptr);
  EXPECT_EQ(crec.piv[1], 1);
  c128_lu_free(&crec);
  EXPECT_EQ(crec.lu, nullptr);
  EXPECT_EQ(crec.n, 0);
  c128_lu_free(&crec);
  c128_lu_free(nullptr);
}

TEST(LuWorkspace, SingularSolveAndInverseLeakNothingAndWriteNothing) {
  // Leaks on these failure paths are reported by LeakSanitizer at exit.
  const std::vector<f64> A = {1, 2, 2, 4};
  std::vector<f64> X(4, kSentinel);
  EXPECT_EQ(orv_solve(A.data(), A.data(), 2, 2, X.data()), ORV_LU_ERR_SINGULAR);
  EXPECT_EQ(orv_inv(A.data(), 2, X.data()), ORV_LU_ERR_SINGULAR);
  for (const f64 x : X) EXPECT_EQ(x, kSentinel);

  // Column 1 is twice column 0; the elimination cancels it exactly.
  const std::vector<c128> Z = {{1, 1}, {2, 2}, {1, -1}, {2, -2}};
  std::vector<c128> Y(4, c128{kSentinel, kSentinel});
  EXPECT_EQ(c128_solve(Z.data(), Z.data(), 2, 2, Y.data()), ORV_LU_ERR_SINGULAR);
  EXPECT_EQ(c128_inv(Z.data(), 2, Y.data()), ORV_LU_ERR_SINGULAR);
  for (const c128 y : Y) EXPECT_EQ(y.re, kSentinel);

  // Success paths release their workspaces too.
  const std::vector<c128> W = {{2, 1}, {1, 0}, {0, 1}, {3, -1}};
  EXPECT_EQ(c128_inv(W.data(), 2, Y.data()), ORV_LU_OK);
  EXPECT_EQ(orv_inv(std::vector<f64>{2, 1, 1, 3}.data(), 2, X.data()), ORV_LU_OK);
}

TEST(Sort, StaysInsideArraysFullOfNaN) {
  // Exactly sized heap blocks: any access past either end is reported.
  std::mt19937_64 gen(7);
  for (const std::size_t n : {2u, 3u, 16u, 17u, 1000u, 5000u}) {
    std::vector<f64> all_nan(n);
    for (f64& x : all_nan) x = std::bit_cast<f64>(0x7FF8000000000000u | (gen() >> 14));
    orv_sort_f64(all_nan.data(), static_cast<i64>(n));
    for (const f64 x : all_nan) EXPECT_TRUE(std::isnan(x));
    EXPECT_TRUE(std::isnan(orv_median_f64(all_nan.data(), static_cast<i64>(n))));

    std::vector<f64> mixed(n);
    std::uniform_real_distribution<f64> u(-1, 1);
    for (f64& x : mixed) x = u(gen) < -0.3 ? kNaN : std::round(u(gen) * 4);
    orv_sort_f64(mixed.data(), static_cast<i64>(n));
    std::size_t first_nan = 0;
    while (first_nan < n && !std::isnan(mixed[first_nan])) ++first_nan;
    for (std::size_t i = 1; i < first_nan; ++i) EXPECT_LE(mixed[i - 1], mixed[i]);
    for (std::size_t i = first_nan; i < n; ++i) EXPECT_TRUE(std::isnan(mixed[i]));
  }
}
