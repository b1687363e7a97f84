// The linear filter's period for a block of draws side by side in vector
// lanes (draw_lanes.h): each lane takes exactly one draw's operations of the
// single loop (kf_loop.h), sum by sum with the same terms in the same order,
// so that every lane's results are that draw's bits. Only the layout
// differs: a block's matrices are stored element by element with the draws'
// values next to each other, so that one vector operation advances one
// element of every draw. Part of a filter variant (filters_variant_batch.cpp).
#ifndef ORV_KF_BATCH_LANES_H
#define ORV_KF_BATCH_LANES_H

#include "../draw_lanes.h"
#include "../filter_support.h"
#include "../scratch.h"

namespace ORV_VARIANT {

namespace {

// A block's array of `count` elements holds count * kDrawLanes values:
// element e of every draw is the vector at p + e * kDrawLanes.
inline draw_lanes element(const f64* p, i64 e) noexcept {
  return draw_lanes::load(p + e * kDrawLanes);
}
inline void set_element(f64* p, i64 e, draw_lanes value) noexcept {
  value.store(p + e * kDrawLanes);
}

// A block's matrix read with steps: entry (i, j) is element i * row + j * col,
// so that a matrix and its transpose are one kind of operand.
struct lane_operand {
  const f64* p;
  i64 row, col;
  draw_lanes at(i64 i, i64 j) const noexcept { return element(p, i * row + j * col); }
};

// out (rows x cols, row-major) = addend + (init + a b), a rows x depth and b
// depth x cols: every entry has its own accumulator, which starts at init
// (+0.0 when it is null), takes the products a(i, k) b(k, j) in ascending k
// by one fma each, and is added to addend once complete when there is one.
// init and addend are row-major like out; addend may be out itself. With
// `negated`, each entry is stored negated, which is exact.
struct lane_product {
  lane_operand a, b;
  i64 depth;
  f64* out;
  const f64* init;
  const f64* addend;
  bool negated = false;
};

// The R x Cols entries at (i, j), side by side.
template <int R, int Cols>
ORV_INLINE void lane_product_block(const lane_product& g, i64 cols, i64 i, i64 j) noexcept {
  draw_lanes acc[R][Cols];
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < Cols; ++c)
      acc[r][c] = g.init != nullptr ? element(g.init, (i + r) * cols + j + c) : draw_lanes::zero();
  for (i64 k = 0; k < g.depth; ++k) {
    draw_lanes b[Cols];
    for (int c = 0; c < Cols; ++c) b[c] = g.b.at(k, j + c);
    for (int r = 0; r < R; ++r) {
      const draw_lanes a = g.a.at(i + r, k);
      for (int c = 0; c < Cols; ++c) acc[r][c] = fma(a, b[c], acc[r][c]);
    }
  }
  for (int r = 0; r < R; ++r)
    for (int c = 0; c < Cols; ++c) {
      const i64 e = (i + r) * cols + j + c;
      const draw_lanes entry = g.addend != nullptr ? element(g.addend, e) + acc[r][c] : acc[r][c];
      set_element(g.out, e, g.negated ? -entry : entry);
    }
}

// Rows [i, i + R) of the columns from j: blocks of Cols columns, then
// narrower ones.
template <int R, int Cols>
ORV_INLINE void lane_product_columns(const lane_product& g, i64 cols, i64 i, i64 j) noexcept {
  for (; j + Cols <= cols; j += Cols) lane_product_block<R, Cols>(g, cols, i, j);
  if constexpr (Cols > 1) lane_product_columns<R, Cols / 2>(g, cols, i, j);
}

// The whole rows x cols output in blocks of kRows x kCols, then narrower
// ones: as many accumulators as the registers hold beside their operands
// (32 vector registers with AVX-512, 16 with AVX2).
inline void lane_multiply(const lane_product& g, i64 rows, i64 cols) noexcept {
  constexpr int kRows = kVecLanes >= 8 ? 4 : 2;
  constexpr int kCols = kVecLanes > 1 ? 4 : 2;
  i64 i = 0;
  for (; i + kRows <= rows; i += kRows) lane_product_columns<kRows, kCols>(g, cols, i, 0);
  if constexpr (kRows > 2) {
    if (i + 2 <= rows) lane_product_columns<2, kCols>(g, cols, i, 0), i += 2;
  }
  if (i < rows) lane_product_columns<1, kCols>(g, cols, i, 0);
}

// P[i][j] = P[j][i] = 0.5 (P[i][j] + P[j][i]) for i < j, as orv_sym_inplace.
inline void lane_symmetrize(f64* P, i64 n) noexcept {
  const draw_lanes half = draw_lanes::broadcast(0.5);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = i + 1; j < n; ++j) {
      const draw_lanes avg = half * (element(P, i * n + j) + element(P, j * n + i));
      set_element(P, i * n + j, avg);
      set_element(P, j * n + i, avg);
    }
}

// L (m x m, lower triangle) = the Cholesky factor of S + jitter I in every
// lane, with orv_chol's arithmetic, tolerance and test. Returns the mask of
// the lanes whose factorisation failed; their factor is left unusable, and
// the other lanes are not touched by it.
inline unsigned lane_cholesky(const f64* S, f64 jitter, f64* L, i64 m) noexcept {
  if (m <= 0) return 0;
  const bool add_jitter = jitter > 0.0;  // false for NaN as well
  const draw_lanes jit = draw_lanes::broadcast(jitter);
  draw_lanes scale = draw_lanes::zero();
  for (i64 i = 0; i < m; ++i) {
    const draw_lanes d = add_jitter ? element(S, i * m + i) + jit : element(S, i * m + i);
    scale = greater_or_second(d, scale);  // NaN and negative entries never raise it
  }
  const draw_lanes tol = (draw_lanes::broadcast(static_cast<f64>(m)) * scale) *
                         draw_lanes::broadcast(kEpsilon);
  unsigned failed = 0;
  for (i64 j = 0; j < m; ++j) {
    draw_lanes s = element(S, j * m + j);
    if (add_jitter) s = s + jit;
    for (i64 k = 0; k < j; ++k) {
      const draw_lanes l = element(L, j * m + k);
      s = fma(-l, l, s);
    }
    failed |= at_most_mask(s, tol);  // a NaN pivot passes, as in orv_chol
    const draw_lanes pivot = sqrt(s);
    set_element(L, j * m + j, pivot);
    for (i64 i = j + 1; i < m; ++i) {
      draw_lanes t = element(S, i * m + j);
      for (i64 k = 0; k < j; ++k) t = fma(-element(L, i * m + k), element(L, j * m + k), t);
      set_element(L, i * m + j, t / pivot);
    }
  }
  return failed;
}

// out solves L out = b (orv_forward_subst); out may be b.
inline void lane_forward_subst(const f64* L, const f64* b, f64* out, i64 m) noexcept {
  for (i64 i = 0; i < m; ++i) {
    draw_lanes s = draw_lanes::zero();
    for (i64 j = 0; j < i; ++j) s = fma(element(L, i * m + j), element(out, j), s);
    set_element(out, i, (element(b, i) - s) / element(L, i * m + i));
  }
}

// out solves L^T out = b (orv_backward_subst_chol_t); out may be b.
inline void lane_backward_subst(const f64* L, const f64* b, f64* out, i64 m) noexcept {
  for (i64 i = m - 1; i >= 0; --i) {
    draw_lanes s = draw_lanes::zero();
    for (i64 j = i + 1; j < m; ++j) s = fma(element(L, j * m + i), element(out, j), s);
    set_element(out, i, (element(b, i) - s) / element(L, i * m + i));
  }
}

// K^T (m x n) = (P_pred C^T S^-1)^T, row r of the gain from row r of P_pred
// C^T (pct(r, i)) by the two solves of solve_gain_rows; the n rows advance
// together, each its own chain.
inline void lane_gain(const f64* L, const lane_operand& pct, f64* KT, i64 n, i64 m) noexcept {
  for (i64 i = 0; i < m; ++i) {
    const draw_lanes pivot = element(L, i * m + i);
    for (i64 r = 0; r < n; ++r) {
      draw_lanes s = draw_lanes::zero();
      for (i64 j = 0; j < i; ++j) s = fma(element(L, i * m + j), element(KT, j * n + r), s);
      set_element(KT, i * n + r, (pct.at(r, i) - s) / pivot);
    }
  }
  for (i64 i = m - 1; i >= 0; --i) {
    const draw_lanes pivot = element(L, i * m + i);
    for (i64 r = 0; r < n; ++r) {
      draw_lanes s = draw_lanes::zero();
      for (i64 j = i + 1; j < m; ++j) s = fma(element(L, j * m + i), element(KT, j * n + r), s);
      set_element(KT, i * n + r, (element(KT, i * n + r) - s) / pivot);
    }
  }
}

// log det S + m ln 2 pi in every lane, the first half of lane_loglik_sum. The
// logarithms are the C library's, lane by lane, in the order of
// orv_logdet_from_chol's terms; pivot(i) is the factor's i-th diagonal
// entry.
template <class Pivot>
ORV_INLINE draw_lanes lane_logdet_from(Pivot pivot, i64 m, f64 const_term) noexcept {
  draw_lanes logdet = draw_lanes::zero();
  alignas(64) f64 logs[kDrawLanes];
  for (i64 i = 0; i < m; ++i) {
    pivot(i).store(logs);
    for (int l = 0; l < kDrawLanes; ++l) logs[l] = std::log(logs[l]);
    logdet = logdet + draw_lanes::load(logs);
  }
  return (logdet + logdet) + draw_lanes::broadcast(const_term);
}

// The same from the factor L (m x m) in a block array.
inline draw_lanes lane_logdet_term(const f64* L, i64 m, f64 const_term) noexcept {
  return lane_logdet_from([&](i64 i) { return element(L, i * m + i); }, m, const_term);
}

// v^T S^-1 v in every lane (orv_dot), the second half.
inline draw_lanes lane_dot(const f64* v, const f64* S_inv_v, i64 m) noexcept {
  draw_lanes dot = draw_lanes::zero();
  for (i64 i = 0; i < m; ++i) dot = fma(element(v, i), element(S_inv_v, i), dot);
  return dot;
}

// log det S + m ln 2 pi + v^T S^-1 v in every lane, grouped as loglik_sum
// groups it.
inline draw_lanes lane_loglik_sum(const f64* L, const f64* v, const f64* S_inv_v, i64 m,
                                  f64 const_term) noexcept {
  return lane_logdet_term(L, m, const_term) + lane_dot(v, S_inv_v, m);
}

// The regions of a block's scratch, each a block array (see element()).
struct lane_scratch {
  // the draws' model: A, B Q B^T, C, d and R
  f64* A;      // n^2
  f64* BQBT;   // n^2
  f64* C;      // m n
  f64* d;      // m
  f64* R;      // m^2
  // the observed rows of a partly observed period, packed
  f64* gap_C;  // m n
  f64* gap_d;  // m
  f64* gap_R;  // m^2
  // the filtered moments of the period before, then of this one
  f64* x;      // n
  f64* P;      // n^2
  f64* x_pred;   // n
  f64* P_pred;   // n^2
  f64* temp_nn;  // n^2
  f64* y;        // m, the observations of the period
  f64* y_pred;   // m
  f64* v;        // m
  f64* temp_mn;  // m n, C P_pred
  f64* S;        // m^2
  f64* L;        // m^2
  f64* u;        // m
  f64* S_inv_v;  // m
  f64* PCt;      // n m
  f64* KT;       // m n, the gain transposed
  f64* IKC;      // n^2, I - K C
  f64* temp_nm;  // n m, K R
  // the steady state (kf_batch_periods.h): each lane's moments once frozen, the
  // predicted covariance of the period before, and a frozen lane's state
  f64* P_pred_last;   // n^2
  f64* frozen_L;      // m^2
  f64* frozen_KT;     // m n
  f64* frozen_P;      // n^2
  f64* frozen_term;   // 1, log det S + m ln 2 pi
  f64* x_steady;      // n
};

// Its layout (see scratch.h): kDrawLanes times 8n^2 + 7mn + 7m + 5m^2 + 3n + 1
// values, each region holding its values for every lane.
template <class Regions>
lane_scratch lane_scratch_regions(Regions& regions, i64 n, i64 m) noexcept {
  const auto take = [&](i64 a, i64 b = 1) { return regions.take(a, b, kDrawLanes); };
  lane_scratch s{};
  s.A = take(n, n);
  s.BQBT = take(n, n);
  s.C = take(m, n);
  s.d = take(m);
  s.R = take(m, m);
  s.gap_C = take(m, n);
  s.gap_d = take(m);
  s.gap_R = take(m, m);
  s.x = take(n);
  s.P = take(n, n);
  s.x_pred = take(n);
  s.P_pred = take(n, n);
  s.temp_nn = take(n, n);
  s.y = take(m);
  s.y_pred = take(m);
  s.v = take(m);
  s.temp_mn = take(m, n);
  s.S = take(m, m);
  s.L = take(m, m);
  s.u = take(m);
  s.S_inv_v = take(m);
  s.PCt = take(n, m);
  s.KT = take(m, n);
  s.IKC = take(n, n);
  s.temp_nm = take(n, m);
  s.P_pred_last = take(n, n);
  s.frozen_L = take(m, m);
  s.frozen_KT = take(m, n);
  s.frozen_P = take(n, n);
  s.frozen_term = take(1);
  s.x_steady = take(n);
  return s;
}

// The block's model in a period: C, d and R of the m observed entries (all of
// them, or the packed rows of a partly observed period).
struct lane_observed {
  const f64* C;
  const f64* d;
  const f64* R;
  i64 m;
};

// Prediction: x_pred = A x, P_pred = B Q B^T + (A P) A^T (kf_predict_state).
inline void lane_predict_state(const lane_scratch& s, i64 n) noexcept {
  lane_multiply({{s.A, n, 1}, {s.x, 1, 0}, n, s.x_pred, nullptr, nullptr}, n, 1);
}

inline void lane_predict(const lane_scratch& s, i64 n, bool symmetrize) noexcept {
  const lane_operand A{s.A, n, 1}, At{s.A, 1, n};
  lane_predict_state(s, n);
  lane_multiply({A, {s.P, n, 1}, n, s.temp_nn, nullptr, nullptr}, n, n);
  lane_multiply({{s.temp_nn, n, 1}, At, n, s.P_pred, nullptr, s.BQBT}, n, n);
  if (symmetrize) lane_symmetrize(s.P_pred, n);
}

// Innovation from x_pred, P_pred and the observations in s.y:
// y_pred = d + C x_pred, v = y - y_pred, S = R + (C P_pred) C^T
// (kf_innovation).
inline void lane_innovation_mean(const lane_scratch& s, const lane_observed& o,
                                 i64 n) noexcept {
  lane_multiply({{o.C, n, 1}, {s.x_pred, 1, 0}, n, s.y_pred, o.d, nullptr}, o.m, 1);
  for (i64 j = 0; j < o.m; ++j) set_element(s.v, j, element(s.y, j) - element(s.y_pred, j));
}

inline void lane_innovation(const lane_scratch& s, const lane_observed& o, i64 n,
                            bool symmetrize) noexcept {
  const i64 m = o.m;
  const lane_operand C{o.C, n, 1}, Ct{o.C, 1, n};
  lane_innovation_mean(s, o, n);
  lane_multiply({C, {s.P_pred, n, 1}, n, s.temp_mn, nullptr, nullptr}, m, n);
  lane_multiply({{s.temp_mn, n, 1}, Ct, n, s.S, nullptr, o.R}, m, m);
  if (symmetrize) lane_symmetrize(s.S, m);
}

// Update with the factor L of S: u, S^-1 v, the gain, x (the filtered state)
// and P in Joseph form (kf_update_period, joseph_from_kt).
inline void lane_update(const lane_scratch& s, const lane_observed& o, i64 n,
                        bool symmetrize) noexcept {
  const i64 m = o.m;
  lane_forward_subst(s.L, s.v, s.u, m);
  lane_backward_subst(s.L, s.u, s.S_inv_v, m);
  // P_pred C^T: (C P_pred)^T when P_pred is exactly symmetric, as the single
  // loop takes it
  lane_operand pct{s.temp_mn, 1, n};
  if (!symmetrize) {
    lane_multiply({{s.P_pred, n, 1}, {o.C, 1, n}, n, s.PCt, nullptr, nullptr}, n, m);
    pct = {s.PCt, m, 1};
  }
  lane_gain(s.L, pct, s.KT, n, m);
  const lane_operand K{s.KT, 1, n}, Kt{s.KT, n, 1};
  // x = x_pred + K v
  lane_multiply({K, {s.v, 1, 0}, m, s.x, s.x_pred, nullptr}, n, 1);
  // I - K C: K C with the sums of C^T K^T, stored negated, then 1 added on
  // the diagonal
  lane_multiply({K, {o.C, n, 1}, m, s.IKC, nullptr, nullptr, true}, n, n);
  const draw_lanes one = draw_lanes::broadcast(1.0);
  for (i64 i = 0; i < n; ++i) set_element(s.IKC, i * n + i, element(s.IKC, i * n + i) + one);
  // P = ((I - K C) P_pred) (I - K C)^T + (K R) K^T
  lane_multiply({{s.IKC, n, 1}, {s.P_pred, n, 1}, n, s.temp_nn, nullptr, nullptr}, n, n);
  lane_multiply({{s.temp_nn, n, 1}, {s.IKC, 1, n}, n, s.P, nullptr, nullptr}, n, n);
  lane_multiply({K, {o.R, m, 1}, m, s.temp_nm, nullptr, nullptr}, n, m);
  lane_multiply({{s.temp_nm, m, 1}, Kt, m, s.P, nullptr, s.P}, n, n);
  if (symmetrize) lane_symmetrize(s.P, n);
}

// The update of a fully observed period in the steady state
// (kf_steady_period), from v: u and S^-1 v by the frozen factor, the
// filtered state x_pred + K v by the frozen gain into x_out, and the
// log-likelihood sum with the frozen log det S, which it returns.
inline draw_lanes lane_steady_update(const lane_scratch& s, i64 n, i64 m, f64* x_out) noexcept {
  lane_forward_subst(s.frozen_L, s.v, s.u, m);
  lane_backward_subst(s.frozen_L, s.u, s.S_inv_v, m);
  lane_multiply({{s.frozen_KT, 1, n}, {s.v, 1, 0}, m, x_out, s.x_pred, nullptr}, n, 1);
  return element(s.frozen_term, 0) + lane_dot(s.v, s.S_inv_v, m);
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_BATCH_LANES_H
