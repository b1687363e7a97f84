// A block's fully observed period for the smallest models, on values: the
// steps of kf_batch_lanes.h, sum by sum with the same terms in the same
// order, so that every lane keeps its draw's bits, but with the period's
// matrices held as local values that the compiler keeps in vector
// registers, and the filtered moments kept so from period to period,
// rather than as block arrays in memory. At n = 4 with AVX-512 the block
// arrays cost some 170 vector stores a period, beside 430 fused
// multiply-adds, and a 512-bit store takes about two cycles on AMD Zen 4;
// on values the period spills about 100 and runs a fifth faster (a block's
// periods alone: 1.4x at (1, 1) and (3, 1), 1.2x at (2, 2), (3, 3) and
// (4, 2)). Once the values no longer fit in the registers, the block
// arrays do as well or better (kMaxValueStates). Part of a filter variant
// (filters_variant_batch.cpp).
#ifndef ORV_KF_BATCH_SMALL_H
#define ORV_KF_BATCH_SMALL_H

#include "kf_batch_lanes.h"

namespace ORV_VARIANT {

namespace {

// Largest state dimension whose periods run on values. With AVX-512's 32
// vector registers a block's periods alone ran 1.02x to 1.08x faster at
// n = 5 and level at n = 6; with AVX2's 16, 1.4x at (1, 1), 1.15x at
// (2, 2) and (3, 1), level at (3, 3), and 2% and 7% slower at (4, 2) and
// (5, 3) (AMD Zen 4 running either).
constexpr i64 kMaxValueStates = kVecLanes >= 8 ? 5 : kVecLanes >= 4 ? 3 : 0;

// A Rows x Cols matrix of a block, row-major, as values.
template <int Rows, int Cols>
struct lane_values {
  draw_lanes v[Rows * Cols];

  draw_lanes& operator()(int i, int j) noexcept { return v[i * Cols + j]; }
  draw_lanes operator()(int i, int j) const noexcept { return v[i * Cols + j]; }

  // From and to a block array (see element()).
  static lane_values load(const f64* p) noexcept {
    lane_values out;
#pragma GCC unroll 64
    for (int e = 0; e < Rows * Cols; ++e) out.v[e] = element(p, e);
    return out;
  }
  void store(f64* p) const noexcept {
#pragma GCC unroll 64
    for (int e = 0; e < Rows * Cols; ++e) set_element(p, e, v[e]);
  }
};

// out(i, j) = finish(i, j, init(i, j) + a(i, k) b(k, j) summed over
// k < Depth), each entry one accumulator that starts at init(i, j) and
// takes the products in ascending k by one fma each: lane_product's sums,
// with its operands as functions of (i, k) and (k, j), and its addend or
// negation as `finish`.
template <int Rows, int Cols, int Depth, class Init, class Left, class Right, class Finish>
ORV_INLINE lane_values<Rows, Cols> values_product(Init init, Left a, Right b,
                                                  Finish finish) noexcept {
  lane_values<Rows, Cols> out;
#pragma GCC unroll 64
  for (int i = 0; i < Rows; ++i)
#pragma GCC unroll 64
    for (int j = 0; j < Cols; ++j) {
      draw_lanes acc = init(i, j);
#pragma GCC unroll 64
      for (int k = 0; k < Depth; ++k) acc = fma(a(i, k), b(k, j), acc);
      out(i, j) = finish(i, j, acc);
    }
  return out;
}

template <int Rows, int Cols, int Depth, class Init, class Left, class Right>
ORV_INLINE lane_values<Rows, Cols> values_product(Init init, Left a, Right b) noexcept {
  return values_product<Rows, Cols, Depth>(init, a, b,
                                           [](int, int, draw_lanes acc) { return acc; });
}

// lane_symmetrize on values.
template <int K>
ORV_INLINE void values_symmetrize(lane_values<K, K>& P) noexcept {
  const draw_lanes half = draw_lanes::broadcast(0.5);
#pragma GCC unroll 64
  for (int i = 0; i < K; ++i)
#pragma GCC unroll 64
    for (int j = i + 1; j < K; ++j) P(i, j) = P(j, i) = half * (P(i, j) + P(j, i));
}

// lane_cholesky on values: L's lower triangle, and the mask of the lanes
// whose factorisation failed.
template <int M>
ORV_INLINE unsigned values_cholesky(const lane_values<M, M>& S, f64 jitter,
                                    lane_values<M, M>& L) noexcept {
  const bool add_jitter = jitter > 0.0;  // false for NaN as well
  const draw_lanes jit = draw_lanes::broadcast(jitter);
  draw_lanes scale = draw_lanes::zero();
#pragma GCC unroll 64
  for (int i = 0; i < M; ++i)
    scale = greater_or_second(add_jitter ? S(i, i) + jit : S(i, i), scale);
  const draw_lanes tol = (draw_lanes::broadcast(static_cast<f64>(M)) * scale) *
                         draw_lanes::broadcast(kEpsilon);
  unsigned failed = 0;
#pragma GCC unroll 64
  for (int j = 0; j < M; ++j) {
    draw_lanes s = add_jitter ? S(j, j) + jit : S(j, j);
#pragma GCC unroll 64
    for (int k = 0; k < j; ++k) s = fma(-L(j, k), L(j, k), s);
    failed |= at_most_mask(s, tol);
    const draw_lanes pivot = sqrt(s);
    L(j, j) = pivot;
#pragma GCC unroll 64
    for (int i = j + 1; i < M; ++i) {
      draw_lanes t = S(i, j);
#pragma GCC unroll 64
      for (int k = 0; k < j; ++k) t = fma(-L(i, k), L(j, k), t);
      L(i, j) = t / pivot;
    }
  }
  return failed;
}

// The two triangular solves of lane_forward_subst and lane_backward_subst
// (Cols right-hand sides side by side, as lane_gain runs them), in place
// on b (M x Cols).
template <int M, int Cols>
ORV_INLINE void values_solve(const lane_values<M, M>& L, lane_values<M, Cols>& b) noexcept {
#pragma GCC unroll 64
  for (int i = 0; i < M; ++i)
#pragma GCC unroll 64
    for (int r = 0; r < Cols; ++r) {
      draw_lanes s = draw_lanes::zero();
#pragma GCC unroll 64
      for (int j = 0; j < i; ++j) s = fma(L(i, j), b(j, r), s);
      b(i, r) = (b(i, r) - s) / L(i, i);
    }
#pragma GCC unroll 64
  for (int i = M - 1; i >= 0; --i)
#pragma GCC unroll 64
    for (int r = 0; r < Cols; ++r) {
      draw_lanes s = draw_lanes::zero();
#pragma GCC unroll 64
      for (int j = i + 1; j < M; ++j) s = fma(L(j, i), b(j, r), s);
      b(i, r) = (b(i, r) - s) / L(i, i);
    }
}

// A block's filtered moments, as values.
template <int N>
struct lane_moments {
  lane_values<N, 1> x;
  lane_values<N, N> P;

  static lane_moments load(const lane_scratch& s) noexcept {
    return {lane_values<N, 1>::load(s.x), lane_values<N, N>::load(s.P)};
  }
  void store(const lane_scratch& s) const noexcept {
    x.store(s.x);
    P.store(s.P);
  }
};

// A fully observed period as lane_predict and lane_observe run it, from the
// block's filtered moments of the period before to those of this one, in
// place: prediction, innovation, factorisation, update and the
// log-likelihood sum, in `sum`. The model is s's; y[l] is lane l's
// observations of the period; P_pred, S and P are symmetrised, as the
// filter's default asks. With Keep, the period's x_pred, P_pred, v, L and
// K^T go to s's block arrays as well, where the steady state's watch reads
// them. Returns the mask of the lanes whose S was not positive definite.
template <int N, int M, bool Keep>
ORV_INLINE unsigned lane_values_period(const lane_scratch& s, const f64* const* y, f64 jitter,
                                       lane_moments<N>& moments, draw_lanes& sum) noexcept {
  const auto A = lane_values<N, N>::load(s.A);
  const auto C = lane_values<M, N>::load(s.C);
  const auto zero = [](int, int) { return draw_lanes::zero(); };
  const auto at = [](const auto& X) { return [&X](int i, int j) { return X(i, j); }; };
  const auto transposed = [](const auto& X) { return [&X](int i, int j) { return X(j, i); }; };
  const auto plus = [](const auto& X) {
    return [&X](int i, int j, draw_lanes acc) { return X(i, j) + acc; };
  };

  // x_pred = A x, P_pred = B Q B^T + (A P) A^T
  const auto x_pred = values_product<N, 1, N>(zero, at(A), at(moments.x));
  const auto AP = values_product<N, N, N>(zero, at(A), at(moments.P));
  auto P_pred = values_product<N, N, N>(zero, at(AP), transposed(A),
                                        plus(lane_values<N, N>::load(s.BQBT)));
  values_symmetrize(P_pred);

  // v = y - (d + C x_pred), S = R + (C P_pred) C^T
  alignas(64) f64 observed[M][kDrawLanes];
#pragma GCC unroll 64
  for (int j = 0; j < M; ++j)
    for (int l = 0; l < kDrawLanes; ++l) observed[j][l] = y[l][j];
  const auto y_pred = values_product<M, 1, N>(at(lane_values<M, 1>::load(s.d)), at(C),
                                               at(x_pred));
  lane_values<M, 1> v;
#pragma GCC unroll 64
  for (int j = 0; j < M; ++j) v(j, 0) = draw_lanes::load(observed[j]) - y_pred(j, 0);
  const auto CP = values_product<M, N, N>(zero, at(C), at(P_pred));
  const auto R = lane_values<M, M>::load(s.R);
  auto S = values_product<M, M, N>(zero, at(CP), transposed(C), plus(R));
  values_symmetrize(S);

  lane_values<M, M> L{};  // the upper triangle stays zero
  const unsigned failed = values_cholesky(S, jitter, L);

  // S^-1 v; K^T = S^-1 (P_pred C^T)^T, with P_pred C^T = (C P_pred)^T as
  // P_pred is exactly symmetric
  lane_values<M, 1> S_inv_v = v;
  values_solve(L, S_inv_v);
  lane_values<M, N> KT = CP;
  values_solve(L, KT);
  const auto K = transposed(KT);

  // x = x_pred + K v
  moments.x = values_product<N, 1, M>(at(x_pred), K, at(v));
  // P = ((I - K C) P_pred) (I - K C)^T + (K R) K^T, I - K C from K C
  // stored negated, 1 added on the diagonal
  auto IKC = values_product<N, N, M>(zero, K, at(C),
                                     [](int, int, draw_lanes acc) { return -acc; });
#pragma GCC unroll 64
  for (int i = 0; i < N; ++i) IKC(i, i) = IKC(i, i) + draw_lanes::broadcast(1.0);
  const auto IKC_P = values_product<N, N, N>(zero, at(IKC), at(P_pred));
  const auto P_joseph = values_product<N, N, N>(zero, at(IKC_P), transposed(IKC));
  const auto KR = values_product<N, M, M>(zero, K, at(R));
  moments.P = values_product<N, N, M>(zero, at(KR), at(KT), plus(P_joseph));
  values_symmetrize(moments.P);

  draw_lanes dot = draw_lanes::zero();
#pragma GCC unroll 64
  for (int i = 0; i < M; ++i) dot = fma(v(i, 0), S_inv_v(i, 0), dot);
  if constexpr (Keep) {
    x_pred.store(s.x_pred);
    P_pred.store(s.P_pred);
    v.store(s.v);
    L.store(s.L);
    KT.store(s.KT);
  }
  const auto pivot = [&L](i64 i) { return L(i, i); };
  sum = lane_logdet_from(pivot, M, static_cast<f64>(M) * kLog2Pi) + dot;
  return failed;
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_BATCH_SMALL_H
