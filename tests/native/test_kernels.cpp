// Dense kernels: empty dimensions, aliasing, the two added-term conventions,
// the Cholesky failure rules and the triangular solves.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "orv_linalg.h"

namespace {

constexpr f64 kSentinel = -777.25;
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

std::uint64_t bits(f64 x) { return std::bit_cast<std::uint64_t>(x); }

std::vector<f64> sentinels(size_t len = 16) { return std::vector<f64>(len, kSentinel); }

// Every element from `from` on still holds the sentinel.
void expect_untouched(const std::vector<f64>& buf, size_t from = 0) {
  for (size_t i = from; i < buf.size(); ++i) EXPECT_EQ(buf[i], kSentinel) << "index " << i;
}

// Elements [0, count) are +0.0 (bit pattern included), the rest untouched.
void expect_pos_zeros_then_untouched(const std::vector<f64>& buf, size_t count) {
  for (size_t i = 0; i < count; ++i) EXPECT_EQ(bits(buf[i]), bits(0.0)) << "index " << i;
  expect_untouched(buf, count);
}

std::vector<f64> chol(const std::vector<f64>& S, f64 jitter, i64 n, int* status) {
  std::vector<f64> L(static_cast<size_t>(n * n), kSentinel);
  *status = orv_chol(S.data(), jitter, L.data(), n);
  return L;
}

void expect_same_bits(const std::vector<f64>& a, const std::vector<f64>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(bits(a[i]), bits(b[i])) << "index " << i;
}

}  // namespace

TEST(EmptyDimensions, ProductsWriteNothingOrPositiveZeros) {
  const std::vector<f64> A(16, 1.5), B(16, -2.0);
  auto out = sentinels();

  orv_zero_mat(out.data(), 0, 4);
  orv_zero_mat(out.data(), 4, 0);
  orv_zero_mat(out.data(), -1, 3);
  for (const i64 n : {0, -1}) {
    orv_matmul(A.data(), B.data(), out.data(), n, 2, 3);
    orv_matmul(A.data(), B.data(), out.data(), 3, 2, n);
    orv_matmul_abt(A.data(), B.data(), out.data(), n, 2, 3);
    orv_matmul_abt(A.data(), B.data(), out.data(), 3, 2, n);
    orv_matmul_abt_plus_c(A.data(), B.data(), A.data(), out.data(), n, 2, 3);
    orv_matmul_abt_plus_c(A.data(), B.data(), A.data(), out.data(), 3, 2, n);
    orv_matvec(A.data(), B.data(), out.data(), n, 3);
    orv_matvec_plus_vec(A.data(), B.data(), A.data(), out.data(), n, 3);
    orv_vsub(A.data(), B.data(), out.data(), n);
    // atb clears its p-by-m output only; these leave it empty
    orv_matmul_atb(A.data(), B.data(), out.data(), 3, n, 2);
    orv_matmul_atb(A.data(), B.data(), out.data(), 3, 2, n);
    EXPECT_EQ(bits(orv_dot(A.data(), B.data(), n)), bits(0.0));
  }
  expect_untouched(out);

  // An empty inner dimension still produces every n-by-m output, as +0.0.
  for (const i64 p : {0, -2}) {
    out = sentinels();
    orv_matmul(A.data(), B.data(), out.data(), 2, p, 3);
    expect_pos_zeros_then_untouched(out, 6);
    out = sentinels();
    orv_matmul_abt(A.data(), B.data(), out.data(), 3, p, 2);
    expect_pos_zeros_then_untouched(out, 6);
    out = sentinels();
    orv_matvec(A.data(), B.data(), out.data(), 5, p);
    expect_pos_zeros_then_untouched(out, 5);
  }
  // matmul_atb with no rows to sum is a cleared p-by-m block.
  out = sentinels();
  orv_matmul_atb(A.data(), B.data(), out.data(), 0, 3, 4);
  expect_pos_zeros_then_untouched(out, 12);
}

TEST(EmptyDimensions, AddedTermWithoutProducts) {
  const f64 A[1] = {9.0}, B[1] = {9.0};
  const f64 C[4] = {-0.0, 2.5, -3.0, -0.0};
  auto out = sentinels();
  // C + 0.0: a negative zero comes out positive
  orv_matmul_abt_plus_c(A, B, C, out.data(), 2, 0, 2);
  expect_same_bits({out.begin(), out.begin() + 4}, {0.0, 2.5, -3.0, 0.0});
  expect_untouched(out, 4);

  // matvec_plus_vec starts its accumulator at b, so b comes back exactly.
  out = sentinels();
  orv_matvec_plus_vec(A, B, C, out.data(), 4, 0);
  expect_same_bits({out.begin(), out.begin() + 4}, {C, C + 4});
  expect_untouched(out, 4);
}

TEST(EmptyDimensions, FactorAndSolvesOfSizeZero) {
  const f64 L[1] = {2.0}, b[1] = {3.0};
  auto out = sentinels();
  EXPECT_EQ(orv_chol(L, 0.0, out.data(), 0), 0);
  orv_forward_subst(L, b, out.data(), 0);
  orv_backward_subst_chol_t(L, b, out.data(), 0);
  orv_sym_inplace(out.data(), 1);
  expect_untouched(out);
  EXPECT_EQ(bits(orv_logdet_from_chol(L, 0)), bits(0.0));
}

TEST(VectorOps, SubtractionInPlace) {
  std::vector<f64> a = {5.0, 7.5, -1.0}, b = {1.0, 0.5, 2.0};
  orv_vsub(a.data(), b.data(), a.data(), 3);  // out is a
  EXPECT_EQ(a, (std::vector<f64>{4.0, 7.0, -3.0}));
  orv_vsub(a.data(), b.data(), b.data(), 3);  // out is b
  EXPECT_EQ(b, (std::vector<f64>{3.0, 6.5, -5.0}));
}

TEST(VectorOps, SymmetrisationAveragesPairsOnly) {
  std::vector<f64> P = {1, 2, 4, 5};
  orv_sym_inplace(P.data(), 2);
  EXPECT_EQ(P, (std::vector<f64>{1, 3, 3, 5}));

  // Averaging the largest double with itself would overflow: the diagonal
  // must not go through the average at all.
  constexpr f64 kMax = std::numeric_limits<f64>::max();
  std::vector<f64> Q = {1, 2, 3, 4, kMax, 6, 7, 8, 9};
  orv_sym_inplace(Q.data(), 3);
  EXPECT_EQ(Q, (std::vector<f64>{1, 3, 5, 3, kMax, 7, 5, 7, 9}));
}

TEST(VectorOps, AddedTermConventionsDiffer) {
  const f64 A[2] = {0x1p-53, 0x1p-53}, B[2] = {1.0, 1.0}, C[1] = {1.0};
  f64 out = 0.0;
  // the product sum 2^-52 is complete before C is added
  orv_matmul_abt_plus_c(A, B, C, &out, 1, 2, 1);
  EXPECT_EQ(out, 1.0 + 0x1p-52);
  // each 2^-53 lands on an accumulator already holding 1.0 and rounds away
  orv_matvec_plus_vec(A, B, C, &out, 1, 2);
  EXPECT_EQ(out, 1.0);
}

TEST(Dot, FusedStepIsVisible) {
  const f64 a[2] = {1.0, 1.0 + 0x1p-30};
  const f64 b[2] = {-1.0, 1.0 - 0x1p-30};
  EXPECT_EQ(orv_dot(a, b, 2), -0x1p-60);
}

TEST(Cholesky, IdentityAndZeroMatrix) {
  int status = 99;
  const std::vector<f64> I3 = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  auto L = chol(I3, 0.0, 3, &status);
  EXPECT_EQ(status, 0);
  expect_same_bits(L, I3);
  EXPECT_EQ(bits(orv_logdet_from_chol(L.data(), 3)), bits(0.0));

  const std::vector<f64> Z(4, 0.0);
  L = chol(Z, 0.0, 2, &status);
  EXPECT_EQ(status, -1);
  expect_same_bits(L, Z);  // cleared before the failure

  L = chol(Z, 1e-8, 2, &status);
  EXPECT_EQ(status, 0);
  const f64 r = std::sqrt(1e-8);
  expect_same_bits(L, {r, 0.0, 0.0, r});
}

TEST(Cholesky, FailureKeepsPartialRows) {
  int status = 99;
  auto L = chol({1, 1, 1, 1}, 0.0, 2, &status);
  EXPECT_EQ(status, -1);
  expect_same_bits(L, {1.0, 0.0, 1.0, 0.0});
}

TEST(Cholesky, ToleranceIsRelativeToLargestDiagonal) {
  int status = 99;
  chol({1e20, 0, 0, 1e-5}, 0.0, 2, &status);
  EXPECT_EQ(status, -1);
  auto L = chol({1, 0, 0, 1e-5}, 0.0, 2, &status);
  EXPECT_EQ(status, 0);
  expect_same_bits(L, {1.0, 0.0, 0.0, std::sqrt(1e-5)});

  // The jitter counts towards the scale, and n multiplies it: the last pivot
  // 1 - b^2 = 2^-51 - 2^-104 is positive but within 2 * 1 * 2^-52.
  const f64 b = 1.0 - 0x1p-52;
  chol({0.0, b, b, 0.0}, 1.0, 2, &status);
  EXPECT_EQ(status, -1);
}

TEST(Cholesky, OnlyPositiveJitterAndLowerTriangleCount) {
  const std::vector<f64> spd = {4, 2, -1, 2, 5, 0.5, -1, 0.5, 3};
  const std::vector<f64> singular = {1, 1, 0, 1, 1, 0, 0, 0, 1};
  for (const auto& S : {spd, singular}) {
    int ref_status = 99;
    const auto ref = chol(S, 0.0, 3, &ref_status);
    for (const f64 jitter : {-0.0, -1.0, -1e-8, kNaN}) {
      int status = 99;
      const auto L = chol(S, jitter, 3, &status);
      EXPECT_EQ(status, ref_status) << "jitter " << jitter;
      expect_same_bits(L, ref);
    }
    auto garbage = S;
    garbage[1] = kNaN;
    garbage[2] = 1e300;
    garbage[5] = -std::numeric_limits<f64>::infinity();
    int status = 99;
    const auto L = chol(garbage, 0.0, 3, &status);
    EXPECT_EQ(status, ref_status);
    expect_same_bits(L, ref);
  }
  // a positive jitter does reach the pivots
  int status = 99;
  chol(singular, 1e-3, 3, &status);
  EXPECT_EQ(status, 0);
}

TEST(Cholesky, NaNInLowerTrianglePassesAndSpreads) {
  std::vector<f64> S = {4, 2, -1, 2, 5, 0.5, -1, 0.5, 3};
  int ref_status = 99;
  const auto ref = chol(S, 0.0, 3, &ref_status);
  ASSERT_EQ(ref_status, 0);

  S[3] = kNaN;  // element (1, 0)
  int status = 99;
  const auto L = chol(S, 0.0, 3, &status);
  EXPECT_EQ(status, 0);
  for (int j = 0; j < 3; ++j) EXPECT_EQ(bits(L[j]), bits(ref[j]));  // row 0 intact
  EXPECT_EQ(bits(L[6]), bits(ref[6]));  // (2, 0) does not involve row 1
  for (const int idx : {3, 4, 7, 8}) EXPECT_TRUE(std::isnan(L[idx])) << "index " << idx;
  for (const int idx : {1, 2, 5}) EXPECT_EQ(bits(L[idx]), bits(0.0)) << "index " << idx;

  // A NaN on the diagonal does not disarm the tolerance of earlier rows.
  chol({1, 1, 0, 1, 1, 0, 0, 0, kNaN}, 0.0, 3, &status);
  EXPECT_EQ(status, -1);
}

TEST(TriangularSolves, WorkedExample) {
  const f64 L[4] = {2.0, kNaN, 1.0, 3.0};  // the upper entry is never read
  const f64 b[2] = {4.0, 5.0};
  f64 out[2] = {kSentinel, kSentinel};
  orv_forward_subst(L, b, out, 2);
  EXPECT_EQ(out[0], 2.0);
  EXPECT_EQ(out[1], 1.0);
  orv_backward_subst_chol_t(L, b, out, 2);
  EXPECT_EQ(out[1], 5.0 / 3.0);
  EXPECT_EQ(out[0], (4.0 - 5.0 / 3.0) / 2.0);
  EXPECT_EQ(orv_logdet_from_chol(L, 2), 2.0 * (std::log(2.0) + std::log(3.0)));
}

TEST(TriangularSolves, InPlaceMatchesOutOfPlace) {
  // Lower factor with NaN above the diagonal: reading it would show.
  const f64 L[16] = {1.5, kNaN, kNaN, kNaN,  -0.3, 2.25, kNaN, kNaN,
                     0.7, 1.1,  0.9,  kNaN,  -2.0, 0.4,  0.6,  1.3};
  const f64 b[4] = {0.1, -2.7, 3.3, 1.9};
  for (const auto solve : {orv_forward_subst, orv_backward_subst_chol_t}) {
    f64 out[4];
    solve(L, b, out, 4);
    f64 inplace[4] = {b[0], b[1], b[2], b[3]};
    solve(L, inplace, inplace, 4);
    for (int i = 0; i < 4; ++i) {
      EXPECT_FALSE(std::isnan(out[i]));
      EXPECT_EQ(bits(inplace[i]), bits(out[i])) << "index " << i;
    }
  }
}
