// Bodies of the filter loops and their step kernels, compiled once per
// instruction-set variant together with the kernels of orv_linalg_impl.h
// (see variant.cpp). Inside the variant's namespace the orv_ names resolve to
// that variant's kernels, so a whole loop runs on one instruction set with
// its kernels inlined.
//
// The linear loop only iterates: each period delegates to named steps, and
// each step to the dense kernels. Every sum follows the library's rule (one
// accumulator, ascending order, one std::fma per term), so the
// log-likelihood and history are reproducible to the bit.

#ifndef ORV_VARIANT
#error "define ORV_VARIANT before including kalman_impl.h"
#endif

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "../_common/orv_linalg_impl.h"
#include "kalman_variants.h"
#include "scratch.h"

namespace ORV_VARIANT {

namespace {

// Small models run loops specialised for their dimensions (see
// kf_hot_loop and ukf_hot_loop), each with every step inlined.
// A sanitized build would take many minutes to compile them, so with
// ORV_GENERAL_LOOPS_ONLY every model takes the general loops.
#ifdef ORV_GENERAL_LOOPS_ONLY
constexpr bool kSpecialisedLoops = false;
#else
constexpr bool kSpecialisedLoops = true;
#endif

// Returns fixed.template operator()<N, M>() for the (N, M) equal to (n, m)
// among 1 <= M <= min(N, MaxM), N <= MaxN, and general() for any other
// (n, m). The search starts at (N, M) and walks M up to its limit, then N.
template <i64 MaxN, i64 MaxM, i64 N = 1, i64 M = 1, class Fixed, class General>
auto with_small_sizes(i64 n, i64 m, Fixed&& fixed, General&& general) {
  if constexpr (N <= MaxN) {
    if (n == N && m == M) return fixed.template operator()<N, M>();
    if constexpr (M < N && M < MaxM)
      return with_small_sizes<MaxN, MaxM, N, M + 1>(n, m, fixed, general);
    else
      return with_small_sizes<MaxN, MaxM, N + 1, 1>(n, m, fixed, general);
  } else {
    return general();
  }
}

// ln(2 pi) to double precision.
constexpr f64 kLog2Pi = 1.8378770664093453;

// loglik - 0.5 (log det S + m ln 2 pi + v^T S^-1 v), with S = L L^T and the
// grouping fixed: two rounded additions, then one fma onto loglik.
inline f64 add_loglik_term(const f64* L, const f64* v, const f64* S_inv_v, i64 m,
                           f64 const_term, f64 loglik) noexcept {
  f64 a = orv_logdet_from_chol(L, m) + const_term;
  a = a + orv_dot(v, S_inv_v, m);
  return std::fma(-0.5, a, loglik);
}

// dst[0 .. len) = src[0 .. len); nothing is touched when len is 0.
inline void copy_values(f64* dst, const f64* src, i64 len) noexcept {
  if (len > 0) std::memcpy(dst, src, static_cast<size_t>(len) * sizeof(f64));
}

// Copies `len` values into row `t` of a history array with rows of `len`.
inline void store_row(f64* history, i64 t, const f64* src, i64 len) noexcept {
  copy_values(history + t * len, src, len);
}

}  // namespace

// ---- step kernels ------------------------------------------------------------

void kf_row_minus_vec(const f64* ORV_RESTRICT A, i64 row, const f64* ORV_RESTRICT x,
                      f64* ORV_RESTRICT out, i64 m) {
  const f64* a_row = A + row * m;
  for (i64 i = 0; i < m; ++i) out[i] = a_row[i] - x[i];
}

void kf_chol_solve_row(const f64* ORV_RESTRICT L, const f64* ORV_RESTRICT B, i64 row,
                       f64* ORV_RESTRICT fbuf, f64* ORV_RESTRICT bbuf,
                       f64* ORV_RESTRICT out, i64 n) {
  if (n <= 0) return;
  // fbuf = L^-1 b;  bbuf = L^-T fbuf = (L L^T)^-1 b
  orv_forward_subst(L, B + row * n, fbuf, n);
  orv_backward_subst_chol_t(L, fbuf, bbuf, n);
  store_row(out, row, bbuf, n);
}

void kf_predict_cov(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT P_prev,
                    const f64* ORV_RESTRICT BQBT, f64* ORV_RESTRICT temp_nn,
                    f64* ORV_RESTRICT out, i64 n) {
  // temp_nn (n x n) = A P_prev
  orv_matmul(A, P_prev, temp_nn, n, n, n);
  // out (n x n) = BQBT + temp_nn A^T
  orv_matmul_abt_plus_c(temp_nn, A, BQBT, out, n, n, n);
}

void kf_measurement_cov(const f64* ORV_RESTRICT C, const f64* ORV_RESTRICT P_pred,
                        const f64* ORV_RESTRICT R, f64* ORV_RESTRICT temp_mn,
                        f64* ORV_RESTRICT out, i64 n, i64 m) {
  // temp_mn (m x n) = C P_pred
  orv_matmul(C, P_pred, temp_mn, m, n, n);
  // out (m x m) = R + temp_mn C^T
  orv_matmul_abt_plus_c(temp_mn, C, R, out, m, n, m);
}

void kf_pc_t(const f64* ORV_RESTRICT P_pred, const f64* ORV_RESTRICT C,
             f64* ORV_RESTRICT out, i64 n, i64 m) {
  // out[i][j] = sum_l P_pred[i][l] C[j][l]   (n x m)
  orv_matmul_abt(P_pred, C, out, n, n, m);
}

namespace {

// Widest system that kf_gain_from_pc_t solves a vector of rows at a time.
constexpr i64 kMaxLaneSolve = 64;

// Rows [r0, r0 + kVecLanes) of out (rows of length m) = (L L^T)^-1 applied
// to the same rows of B: the two triangular solves of kf_chol_solve_row, one
// row per lane, with the same operations in the same order in every lane.
void solve_rows_in_lanes(const f64* L, const f64* B, i64 r0, f64* out, i64 m) noexcept {
  vreg x[kMaxLaneSolve];
  f64 lanes[kVecLanes];
  for (i64 i = 0; i < m; ++i) {
    for (int l = 0; l < kVecLanes; ++l) lanes[l] = B[(r0 + l) * m + i];
    x[i] = vload(lanes);
  }
  // forward: x_i = (b_i - sum_{j<i} L[i][j] x_j) / L[i][i]
  for (i64 i = 0; i < m; ++i) {
    vreg s = vzero();
    for (i64 j = 0; j < i; ++j) s = vfma(vbroadcast(L[i * m + j]), x[j], s);
    x[i] = vdiv(vsub(x[i], s), vbroadcast(L[i * m + i]));
  }
  // backward: x_i = (f_i - sum_{j>i} L[j][i] x_j) / L[i][i]
  for (i64 i = m - 1; i >= 0; --i) {
    vreg s = vzero();
    for (i64 j = i + 1; j < m; ++j) s = vfma(vbroadcast(L[j * m + i]), x[j], s);
    x[i] = vdiv(vsub(x[i], s), vbroadcast(L[i * m + i]));
  }
  for (i64 i = 0; i < m; ++i) {
    vstore(lanes, x[i]);
    for (int l = 0; l < kVecLanes; ++l) out[(r0 + l) * m + i] = lanes[l];
  }
}

}  // namespace

void kf_gain_from_pc_t(const f64* ORV_RESTRICT L, const f64* ORV_RESTRICT PCt,
                       f64* ORV_RESTRICT fbuf, f64* ORV_RESTRICT bbuf,
                       f64* ORV_RESTRICT out, i64 n, i64 m) {
  // row r of out = (L L^T)^-1 (row r of PCt); S is never inverted. Rows are
  // independent, so groups of them share vector lanes; the last rows go one
  // by one, which also leaves the last row's solves in fbuf and bbuf.
  i64 r = 0;
  if (kVecLanes > 1 && m <= kMaxLaneSolve)
    for (; r + kVecLanes < n; r += kVecLanes) solve_rows_in_lanes(L, PCt, r, out, m);
  for (; r < n; ++r) kf_chol_solve_row(L, PCt, r, fbuf, bbuf, out, m);
}

void kf_state_update(const f64* ORV_RESTRICT x_pred, const f64* ORV_RESTRICT K,
                     const f64* ORV_RESTRICT v, f64* ORV_RESTRICT out, i64 n, i64 m) {
  // out = x_pred + K v, the products fed into an accumulator holding x_pred[i]
  orv_matvec_plus_vec(K, v, x_pred, out, n, m);
}

void kf_identity_minus(const f64* ORV_RESTRICT A, f64* ORV_RESTRICT out, i64 n) {
  for (i64 i = 0; i < n; ++i) {
    for (i64 j = 0; j < n; ++j) out[i * n + j] = -A[i * n + j];
    out[i * n + i] = out[i * n + i] + 1.0;
  }
}

void kf_joseph_cov(const f64* ORV_RESTRICT K, const f64* ORV_RESTRICT C,
                   const f64* ORV_RESTRICT P_pred, const f64* ORV_RESTRICT R,
                   f64* ORV_RESTRICT KC, f64* ORV_RESTRICT I_minus_KC,
                   f64* ORV_RESTRICT temp_nn, f64* ORV_RESTRICT temp_nm,
                   f64* ORV_RESTRICT out, i64 n, i64 m) {
  // KC (n x n) = K (n x m) C (m x n)
  orv_matmul(K, C, KC, n, m, n);
  // I_minus_KC = I - KC
  kf_identity_minus(KC, I_minus_KC, n);
  // temp_nn = (I - KC) P_pred
  orv_matmul(I_minus_KC, P_pred, temp_nn, n, n, n);
  // out = temp_nn (I - KC)^T
  orv_matmul_abt(temp_nn, I_minus_KC, out, n, n, n);
  // temp_nm (n x m) = K R
  orv_matmul(K, R, temp_nm, n, m, m);
  // out (n x n) += temp_nm K^T   (the K R K^T term)
  add_matmul_abt(temp_nm, K, out, n, m, n);
}

void kf_build_bqbt(const f64* ORV_RESTRICT B, const f64* ORV_RESTRICT Q,
                   f64* ORV_RESTRICT temp_nk, f64* ORV_RESTRICT out, i64 n, i64 k) {
  // temp_nk (n x k) = B Q
  orv_matmul(B, Q, temp_nk, n, k, k);
  // out (n x n) = temp_nk B^T, all zeros when k <= 0
  orv_matmul_abt(temp_nk, B, out, n, k, n);
  orv_sym_inplace(out, n);
}

void kf_build_shock_projection(const f64* ORV_RESTRICT B, const f64* ORV_RESTRICT C,
                               const f64* ORV_RESTRICT Q, f64* ORV_RESTRICT temp_km,
                               f64* ORV_RESTRICT out, i64 n, i64 k, i64 m) {
  // temp_km[i][j] = sum_l B[l][i] C[j][l]   (k x m, B^T C^T)
  for (i64 i = 0; i < k; ++i) {
    for (i64 j = 0; j < m; ++j) {
      f64 s = 0.0;
      for (i64 l = 0; l < n; ++l) s = std::fma(B[l * k + i], C[j * n + l], s);
      temp_km[i * m + j] = s;
    }
  }
  // out (k x m) = Q temp_km
  orv_matmul(Q, temp_km, out, k, k, m);
}

// ---- the loop ----------------------------------------------------------------

namespace {

// The regions of the linear filter's scratch block, in carving order.
struct kf_scratch {
  f64* x_pred_buf;  // n
  f64* x_filt_buf;  // n
  f64* y_pred_buf;  // m
  f64* y_filt_buf;  // m
  f64* v_buf;       // m
  f64* u_buf;       // m
  f64* S_inv_v;     // m
  f64* solve_f;     // m
  f64* solve_b;     // m
  f64* P_pred_buf;  // n^2
  f64* P_filt_buf;  // n^2
  f64* AT;          // n^2, A^T for the whole call
  f64* IKC_T;       // n^2, (I - K C)^T
  f64* temp_nn;     // n^2
  f64* BQBT;        // n^2
  f64* S_buf;       // m^2
  f64* L;           // m^2
  f64* PCt;         // n m
  f64* KT;          // m n, the gain transposed
  f64* temp_nm;     // n m
  f64* temp_mn;     // m n
  f64* CT;          // n m, C^T for the whole call
  f64* temp_nk;     // n k
  f64* M;           // k m
  f64* temp_km;     // k m
};

// 2n + 7m + 6n^2 + 2m^2 + 5nm + nk + 2km values, or -1 when a dimension is
// negative or the count does not fit in memory.
i64 kf_scratch_elements(i64 n, i64 m, i64 k) noexcept {
  return element_count({{2, n}, {7, m}, {6, n, n}, {2, m, m}, {5, n, m}, {1, n, k},
                        {2, k, m}});
}

kf_scratch kf_carve_scratch(f64* block, i64 n, i64 m, i64 k) noexcept {
  region_carver c{block};
  kf_scratch s{};
  s.x_pred_buf = c.take(n);
  s.x_filt_buf = c.take(n);
  s.y_pred_buf = c.take(m);
  s.y_filt_buf = c.take(m);
  s.v_buf = c.take(m);
  s.u_buf = c.take(m);
  s.S_inv_v = c.take(m);
  s.solve_f = c.take(m);
  s.solve_b = c.take(m);
  s.P_pred_buf = c.take(n * n);
  s.P_filt_buf = c.take(n * n);
  s.AT = c.take(n * n);
  s.IKC_T = c.take(n * n);
  s.temp_nn = c.take(n * n);
  s.BQBT = c.take(n * n);
  s.S_buf = c.take(m * m);
  s.L = c.take(m * m);
  s.PCt = c.take(n * m);
  s.KT = c.take(n * m);
  s.temp_nm = c.take(n * m);
  s.temp_mn = c.take(m * n);
  s.CT = c.take(n * m);
  s.temp_nk = c.take(n * k);
  s.M = c.take(k * m);
  s.temp_km = c.take(k * m);
  return s;
}

// out (n x m) = addend + a . b with a (n x p) read as a[r * a_row + k * a_col]
// and b (p x m) read in place; addend may be null or out itself.
inline void product_in_place(const f64* a, i64 a_row, i64 a_col, const f64* b, i64 p,
                             const f64* addend, f64* out, i64 n, i64 m) noexcept {
  product_direct({a, a_row, a_col, b, m, sum_length(p), out, m, nullptr, addend, m}, n, m);
}

// In place, X = I - X for a square n x n X (the negation, then 1 added on the
// diagonal, as kf_identity_minus does). The diagonal is where the transpose
// keeps it, so this also turns (K C)^T into (I - K C)^T.
inline void identity_minus_in_place(f64* X, i64 n) noexcept {
  for (i64 i = 0; i < n * n; ++i) X[i] = -X[i];
  for (i64 i = 0; i < n; ++i) X[i * n + i] = X[i * n + i] + 1.0;
}

// Where the right-hand sides of the gain live: row r of P_pred C^T, entry
// i, at pct[r * row_step + i * col_step]. (C P_pred)^T serves as well when
// P_pred is exactly symmetric.
struct gain_rhs {
  const f64* pct;
  i64 row_step, col_step;
  f64 at(i64 r, i64 i) const noexcept { return pct[r * row_step + i * col_step]; }
};

// Rows [r0, r0 + N) of the gain, K[r] = (L L^T)^-1 PCt[r], solved one row
// per lane (the operations of kf_chol_solve_row in every lane) and stored as
// columns of KT (m x n), where the N rows are adjacent.
template <int N>
ORV_INLINE void solve_gain_rows_transposed(const f64* L, const gain_rhs& b, i64 r0, f64* KT,
                                           i64 n, i64 m) noexcept {
  using lanes = vec<N>;
  lanes x[kMaxLaneSolve];
  f64 gathered[N];
  for (i64 i = 0; i < m; ++i) {
    if (b.row_step == 1) {
      x[i] = lanes::load(b.pct + r0 + i * b.col_step);
    } else {
      for (int l = 0; l < N; ++l) gathered[l] = b.at(r0 + l, i);
      x[i] = lanes::load(gathered);
    }
  }
  // forward: x_i = (b_i - sum_{j<i} L[i][j] x_j) / L[i][i]
  for (i64 i = 0; i < m; ++i) {
    lanes s = lanes::zero();
    for (i64 j = 0; j < i; ++j) s = fma(lanes::broadcast(L[i * m + j]), x[j], s);
    x[i] = (x[i] - s) / lanes::broadcast(L[i * m + i]);
  }
  // backward: x_i = (f_i - sum_{j>i} L[j][i] x_j) / L[i][i]
  for (i64 i = m - 1; i >= 0; --i) {
    lanes s = lanes::zero();
    for (i64 j = i + 1; j < m; ++j) s = fma(lanes::broadcast(L[j * m + i]), x[j], s);
    x[i] = (x[i] - s) / lanes::broadcast(L[i * m + i]);
  }
  for (i64 i = 0; i < m; ++i) x[i].store(KT + i * n + r0);
}

// KT (m x n) = (PCt S^-1)^T with S = L L^T: the gain of kf_gain_from_pc_t,
// written transposed so that every product with it reads it in place. Rows
// go a vector at a time while a full vector of them is left, then through
// narrower vectors down to one. Systems wider than the register file can
// hold go row by row through fbuf and bbuf (m values each).
void gain_transposed(const f64* ORV_RESTRICT L, const gain_rhs& b, f64* ORV_RESTRICT fbuf,
                     f64* ORV_RESTRICT bbuf, f64* ORV_RESTRICT KT, i64 n, i64 m) noexcept {
  if (m <= 0) return;
  if (m > kMaxLaneSolve) {
    for (i64 r = 0; r < n; ++r) {
      for (i64 i = 0; i < m; ++i) fbuf[i] = b.at(r, i);
      orv_forward_subst(L, fbuf, fbuf, m);
      orv_backward_subst_chol_t(L, fbuf, bbuf, m);
      for (i64 i = 0; i < m; ++i) KT[i * n + r] = bbuf[i];
    }
    return;
  }
  i64 r = 0;
  for (; r + kVecLanes <= n; r += kVecLanes)
    solve_gain_rows_transposed<kVecLanes>(L, b, r, KT, n, m);
  if constexpr (kVecLanes >= 8) {
    if (r + 4 <= n) solve_gain_rows_transposed<4>(L, b, r, KT, n, m), r += 4;
  }
  if constexpr (kVecLanes >= 4) {
    if (r + 2 <= n) solve_gain_rows_transposed<2>(L, b, r, KT, n, m), r += 2;
  }
  if (r < n) solve_gain_rows_transposed<1>(L, b, r, KT, n, m);
}

// Where period t writes its results. The filtered quantities are final once
// computed, so with history on they go straight into row t of the history;
// the predicted ones are copied only after S has factored, since a failing
// period must leave its rows untouched.
struct kf_period_out {
  f64* x_filt;
  f64* P_filt;
  f64* u;       // standardised innovation
  f64* y_filt;
};

kf_period_out kf_period_destinations(const kf_scratch& s, const kf_outputs& out, i64 t,
                                     i64 n, i64 m, bool store) noexcept {
  if (!store) return {s.x_filt_buf, s.P_filt_buf, s.u_buf, s.y_filt_buf};
  return {out.x_filt + t * n, out.P_filt + t * n * n, out.std_innov + t * m,
          out.y_filt + t * m};
}

// Prediction and innovation of period t from (x_prev, P_prev): x_pred, P_pred,
// y_pred, v and S. Products with A^T and C^T read the transposes made once
// per call (s.AT, s.CT).
void kf_predict_period(const kf_inputs& in, const kf_scratch& s, i64 t,
                       const f64* x_prev, const f64* P_prev) noexcept {
  const i64 n = in.n, m = in.m;
  // x_pred (n) = A x_prev
  row_times_matrix(x_prev, s.AT, nullptr, s.x_pred_buf, n, n);
  // P_pred (n x n) = BQBT + (A P_prev) A^T
  product_in_place(in.A, n, 1, P_prev, n, nullptr, s.temp_nn, n, n);
  product_in_place(s.temp_nn, n, 1, s.AT, n, s.BQBT, s.P_pred_buf, n, n);
  if (in.symmetrize) orv_sym_inplace(s.P_pred_buf, n);
  // y_pred (m) = d + C x_pred
  row_times_matrix(s.x_pred_buf, s.CT, in.d, s.y_pred_buf, n, m);
  // v (m) = y_t - y_pred
  kf_row_minus_vec(in.y, t, s.y_pred_buf, s.v_buf, m);
  // S (m x m) = R + (C P_pred) C^T
  product_in_place(in.C, n, 1, s.P_pred_buf, n, nullptr, s.temp_mn, m, n);
  product_in_place(s.temp_mn, n, 1, s.CT, n, in.R, s.S_buf, m, m);
  if (in.symmetrize) orv_sym_inplace(s.S_buf, m);
}

// P_filt (n x n) = (I - K C) P_pred (I - K C)^T + K R K^T from the transposed
// gain: the sums of kf_joseph_cov, with K read through KT and (I - K C)
// formed transposed, so that no operand is packed.
void kf_joseph_from_kt(const kf_inputs& in, const kf_scratch& s, f64* P_filt) noexcept {
  const i64 n = in.n, m = in.m;
  // IKC_T (n x n) = (K C)^T = C^T K^T, then I minus it
  product_in_place(s.CT, m, 1, s.KT, m, nullptr, s.IKC_T, n, n);
  identity_minus_in_place(s.IKC_T, n);
  // temp_nn = (I - K C) P_pred, the left factor read down the columns of IKC_T
  product_in_place(s.IKC_T, 1, n, s.P_pred_buf, n, nullptr, s.temp_nn, n, n);
  // P_filt = temp_nn (I - K C)^T
  product_in_place(s.temp_nn, n, 1, s.IKC_T, n, nullptr, P_filt, n, n);
  // temp_nm (n x m) = K R;  P_filt += temp_nm K^T, each sum completed first
  product_in_place(s.KT, 1, n, in.R, m, nullptr, s.temp_nm, n, m);
  product_in_place(s.temp_nm, m, 1, s.KT, m, P_filt, P_filt, n, n);
}

// Update of the period with the factor L of S: u, S^-1 v, the gain, x_filt and
// P_filt.
void kf_update_period(const kf_inputs& in, const kf_scratch& s,
                      const kf_period_out& p) noexcept {
  const i64 n = in.n, m = in.m;
  // u (m) = L^-1 v;  S_inv_v (m) = L^-T u
  orv_forward_subst(s.L, s.v_buf, p.u, m);
  orv_backward_subst_chol_t(s.L, p.u, s.S_inv_v, m);
  // PCt (n x m) = P_pred C^T;  K^T (m x n) = (PCt S^-1)^T. A symmetrised
  // P_pred is exactly symmetric, and then C P_pred, already formed for S,
  // holds the same sums term by term: its transpose is PCt to the bit.
  gain_rhs pct{s.temp_mn, 1, n};
  if (!in.symmetrize) {
    product_in_place(s.P_pred_buf, n, 1, s.CT, n, nullptr, s.PCt, n, m);
    pct = {s.PCt, m, 1};
  }
  gain_transposed(s.L, pct, s.solve_f, s.solve_b, s.KT, n, m);
  // x_filt (n) = x_pred + K v
  row_times_matrix(s.v_buf, s.KT, s.x_pred_buf, p.x_filt, m, n);
  kf_joseph_from_kt(in, s, p.P_filt);
  if (in.symmetrize) orv_sym_inplace(p.P_filt, n);
}

// Writes row t of every requested history array; the filtered rows are
// already in place (see kf_period_destinations).
void kf_store_period(const kf_inputs& in, const kf_scratch& s, const kf_outputs& out,
                     const kf_period_out& p, i64 t, bool with_shocks) noexcept {
  const i64 n = in.n, m = in.m, k = in.k;
  // eps_hat[t] (k) = M S^-1 v
  if (with_shocks) orv_matvec(s.M, s.S_inv_v, out.eps_hat + t * k, k, m);
  // y_filt (m) = d + C x_filt
  row_times_matrix(p.x_filt, s.CT, in.d, p.y_filt, n, m);
  store_row(out.x_pred, t, s.x_pred_buf, n);
  store_row(out.P_pred, t, s.P_pred_buf, n * n);
  store_row(out.y_pred, t, s.y_pred_buf, m);
  store_row(out.innov, t, s.v_buf, m);
  store_row(out.S, t, s.S_buf, m * m);
}

// Runs the periods of the sample and writes the log-likelihood; returns the
// status of the loop.
int kf_run_periods(const kf_inputs& in, const kf_outputs& out,
                   const kf_scratch& s) noexcept {
  const i64 n = in.n, m = in.m;
  const bool store = in.store_history != 0;
  const bool with_shocks = store && in.return_shocks != 0;
  const f64 const_term = static_cast<f64>(m) * kLog2Pi;
  f64 loglik = 0.0;
  const f64* x_prev = in.x0;
  const f64* P_prev = in.P0;
  int status = KF_OK;

  for (i64 t = 0; t < in.T; ++t) {
    kf_predict_period(in, s, t, x_prev, P_prev);
    // L L^T = S (+ jitter I); a failure ends the sample with the earlier rows
    if (orv_chol(s.S_buf, in.jitter, s.L, m) != 0) {
      status = KF_ERR_NOT_PD;
      break;
    }
    const kf_period_out p = kf_period_destinations(s, out, t, n, m, store);
    kf_update_period(in, s, p);
    loglik = add_loglik_term(s.L, s.v_buf, s.S_inv_v, m, const_term, loglik);
    if (store) kf_store_period(in, s, out, p, t, with_shocks);
    x_prev = p.x_filt;
    P_prev = p.P_filt;
  }

  *out.loglik = loglik;
  return status;
}

// Largest state and observable dimensions with a loop of their own.
constexpr i64 kMaxFixedStates = kSpecialisedLoops ? 8 : 0;
constexpr i64 kMaxFixedObs = 4;

// The periods with every step inlined and run on a copy of the inputs whose
// state and observable dimensions are the constants N and M, so that the
// small products unroll completely and their size branches fold.
template <i64 N, i64 M>
[[gnu::flatten]] int kf_run_periods_fixed(const kf_inputs& in, const kf_outputs& out,
                                          const kf_scratch& s) noexcept {
  kf_inputs fixed = in;
  fixed.n = N;
  fixed.m = M;
  return kf_run_periods(fixed, out, s);
}

}  // namespace

int kf_hot_loop(const kf_inputs* in, kf_outputs* out) {
  const i64 n = in->n, m = in->m, k = in->k;
  scratch_block block(kf_scratch_elements(n, m, k));
  if (!block) return KF_ERR_ALLOC;
  const kf_scratch s = kf_carve_scratch(block.data(), n, m, k);

  kf_build_bqbt(in->B, in->Q, s.temp_nk, s.BQBT, n, k);
  if (in->store_history != 0 && in->return_shocks != 0)
    kf_build_shock_projection(in->B, in->C, in->Q, s.temp_km, s.M, n, k, m);
  if (in->T > 0) {
    transpose_into(in->A, n, n, s.AT);
    transpose_into(in->C, m, n, s.CT);
  }

  // Small models, where the per-product overhead outweighs the arithmetic,
  // take the loop specialised for their (n, m).
  return with_small_sizes<kMaxFixedStates, kMaxFixedObs>(
      n, m, [&]<i64 N, i64 M>() { return kf_run_periods_fixed<N, M>(*in, *out, s); },
      [&] { return kf_run_periods(*in, *out, s); });
}

// ---- the unscented filter ------------------------------------------------------
//
// Sums formed by the steps below accumulate with std::fma in the stated index
// order, like the kernels, so that repeated calls agree to the bit.

namespace {

struct ukf_dims {
  i64 ns, nc, ne, no;  // states, controls, shocks, observables
  i64 nz;              // augmented state: x1 then x2
  i64 n_sig;           // sigma points, 2 nz + 1
  i64 nv;              // model variables: states then controls
};

struct ukf_weights {
  f64 gamma;  // sigma-point step, sqrt(nz + lambda)
  f64 w0_m;   // mean weight of the centre point
  f64 w0_c;   // covariance weight of the centre point
  f64 wi;     // mean and covariance weight of every other point
};

ukf_dims ukf_dims_of(const ukf_inputs& in) noexcept {
  const i64 ns = in.n_state;
  return {ns, in.n_ctrl, in.n_exog, in.n_obs, 2 * ns, 4 * ns + 1, ns + in.n_ctrl};
}

// Work space for sigma points processed a vector of points at a time (see
// gather_tile): the points, and their successors or projections.
struct point_tiles {
  f64* points;   // nz coordinates x kVecLanes
  f64* results;  // max(nz, nv) coordinates x kVecLanes
  bool halves;   // whether a tile may run as two halves (see may_split_tile)
};

// The model's coefficients as the sigma-point passes read them, arranged
// once per call. They are stored output-innermost, so that the coefficients
// of neighbouring outputs for one term lie side by side: the second-order
// coefficients, halved as every term uses them, with term (o, j, k) of n_out
// outputs at [(j ns + k) n_out + o], and the first-order ones transposed.
struct model_terms {
  f64* hxx;   // 0.5 hxx, ns x ns x ns
  f64* gxx;   // 0.5 gxx, ns x ns x nc
  f64* hx_t;  // hx^T, ns x ns
  f64* gx_t;  // gx^T, ns x nc
};

// The first factors (0.5 q[o][j][k]) x1_j of the second-order terms at the
// centre x1 of a set of sigma points, formed once per set: every point whose
// x1_j equals the centre's to the bit shares them (see leading_shared_x1).
struct centre_products {
  f64* hxx;  // ns x ns x ns, as terms.hxx
  f64* gxx;  // ns x ns x nc, as terms.gxx
};

// Deviations of the sigma points from their mean, plain and weighted: of the
// augmented states (n_sig x nz) and of their images (n_sig x no).
struct ukf_deviations {
  f64* z;
  f64* wz;
  f64* y;
  f64* wy;
  f64* cross_t;  // no x nz: the cross covariance, transposed
};

// The regions of the unscented filter's scratch block, in carving order.
struct ukf_scratch {
  f64* z_prev;        // nz
  f64* z_pred;        // nz
  f64* z_filt;        // nz
  f64* P_prev;        // nz^2
  f64* P_pred;        // nz^2
  f64* P_filt;        // nz^2
  f64* P_chol;        // nz^2
  f64* sigma_z;       // nz n_sig
  f64* sigma_z_next;  // nz n_sig
  f64* sigma_y;       // no n_sig
  f64* BQBT;          // ns^2
  f64* temp_nk;       // ns ne
  f64* y_pred;        // no
  f64* innov;         // no
  f64* std_innov;     // no
  f64* S_inv_v;       // no
  f64* solve_f;       // no
  f64* solve_b;       // no
  f64* S;             // no^2
  f64* L;             // no^2
  f64* Pzy;           // nz no
  f64* K;             // nz no
  f64* vars_buf;      // nv
  point_tiles tiles;  // nz kVecLanes, then max(nz, nv) kVecLanes
  ukf_deviations dev; // 2 n_sig nz, then 2 n_sig no
  model_terms terms;  // ns^3, nc ns^2, ns^2, nc ns
  centre_products centre;  // ns^3, then nc ns^2
};

// 3nz + 4nz^2 + 2 nz n_sig + no n_sig + ns^2 + ns ne + 6no + 2no^2 + 2 nz no + nv
// values, then the tiles, deviations, model terms and centre products, or -1
// when they do not fit in memory. Dimensions are checked non-negative by the
// caller; the derived sizes are formed here with overflow checks, since ns
// itself may be arbitrarily large.
i64 ukf_scratch_elements(i64 ns, i64 nc, i64 ne, i64 no) noexcept {
  i64 nz = 0, n_sig = 0, nv = 0;
  if (__builtin_mul_overflow(ns, 2, &nz) || __builtin_mul_overflow(nz, 2, &n_sig) ||
      __builtin_add_overflow(n_sig, 1, &n_sig) || __builtin_add_overflow(ns, nc, &nv))
    return -1;
  return element_count({{3, nz}, {4, nz, nz}, {2, nz, n_sig}, {1, no, n_sig},
                        {1, ns, ns}, {1, ns, ne}, {6, no}, {2, no, no}, {2, nz, no},
                        {1, nv}, {kVecLanes, nz}, {kVecLanes, nz > nv ? nz : nv},
                        {2, n_sig, nz}, {2, n_sig, no}, {1, no, nz}, {2, ns, ns, ns},
                        {2, nc, ns, ns}, {1, ns, ns}, {1, nc, ns}});
}

ukf_scratch ukf_carve_scratch(f64* block, const ukf_dims& d) noexcept {
  region_carver c{block};
  ukf_scratch s{};
  s.z_prev = c.take(d.nz);
  s.z_pred = c.take(d.nz);
  s.z_filt = c.take(d.nz);
  s.P_prev = c.take(d.nz * d.nz);
  s.P_pred = c.take(d.nz * d.nz);
  s.P_filt = c.take(d.nz * d.nz);
  s.P_chol = c.take(d.nz * d.nz);
  s.sigma_z = c.take(d.nz * d.n_sig);
  s.sigma_z_next = c.take(d.nz * d.n_sig);
  s.sigma_y = c.take(d.no * d.n_sig);
  s.BQBT = c.take(d.ns * d.ns);
  s.temp_nk = c.take(d.ns * d.ne);
  s.y_pred = c.take(d.no);
  s.innov = c.take(d.no);
  s.std_innov = c.take(d.no);
  s.S_inv_v = c.take(d.no);
  s.solve_f = c.take(d.no);
  s.solve_b = c.take(d.no);
  s.S = c.take(d.no * d.no);
  s.L = c.take(d.no * d.no);
  s.Pzy = c.take(d.nz * d.no);
  s.K = c.take(d.nz * d.no);
  s.vars_buf = c.take(d.nv);
  s.tiles.points = c.take(kVecLanes * d.nz);
  s.tiles.results = c.take(kVecLanes * (d.nz > d.nv ? d.nz : d.nv));
  s.dev.z = c.take(d.n_sig * d.nz);
  s.dev.wz = c.take(d.n_sig * d.nz);
  s.dev.y = c.take(d.n_sig * d.no);
  s.dev.wy = c.take(d.n_sig * d.no);
  s.dev.cross_t = c.take(d.no * d.nz);
  s.terms.hxx = c.take(d.ns * d.ns * d.ns);
  s.terms.gxx = c.take(d.nc * d.ns * d.ns);
  s.terms.hx_t = c.take(d.ns * d.ns);
  s.terms.gx_t = c.take(d.nc * d.ns);
  s.centre.hxx = c.take(d.ns * d.ns * d.ns);
  s.centre.gxx = c.take(d.nc * d.ns * d.ns);
  return s;
}

// Unscented constants for nz dimensions; false when the scale nz + lambda is
// not positive and finite (alpha = 0, kappa = -nz, NaN, ...).
bool ukf_weights_for(f64 nz, f64 alpha, f64 beta, f64 kappa, ukf_weights* w) noexcept {
  const f64 alpha2 = alpha * alpha;
  // lambda = alpha^2 (nz + kappa) - nz
  const f64 lambda = std::fma(alpha2, nz + kappa, -nz);
  const f64 scale = nz + lambda;
  if (!(scale > 0.0 && std::isfinite(scale))) return false;
  w->gamma = std::sqrt(scale);
  w->w0_m = lambda / scale;
  w->w0_c = ((1.0 - alpha2) + beta) + w->w0_m;
  w->wi = 1.0 / (scale + scale);
  return true;
}

// The 2n + 1 sigma points of (mean, chol chol^T), one per row of `sigma`:
// point 0 is the mean, points 1 .. n step along the columns of chol, points
// n+1 .. 2n mirror them in the same column order.
void ukf_build_sigma_points(const f64* ORV_RESTRICT mean, const f64* ORV_RESTRICT chol,
                            f64 gamma, f64* ORV_RESTRICT sigma, i64 n) noexcept {
  copy_values(sigma, mean, n);
  for (i64 col = 0; col < n; ++col) {
    f64* plus = sigma + (1 + col) * n;
    f64* minus = sigma + (1 + n + col) * n;
    for (i64 row = 0; row < n; ++row) {
      const f64 delta = gamma * chol[row * n + col];
      plus[row] = mean[row] + delta;
      minus[row] = mean[row] - delta;
    }
  }
}

// out (n) = w0 sigma[0] + sum_{r>=1} wi sigma[r], rows entering in ascending r.
void ukf_weighted_mean(const f64* ORV_RESTRICT sigma, f64 w0, f64 wi, i64 n_sig, i64 n,
                       f64* ORV_RESTRICT out) noexcept {
  for (i64 j = 0; j < n; ++j) out[j] = w0 * sigma[j];
  for (i64 r = 1; r < n_sig; ++r) {
    const f64* row = sigma + r * n;
    for (i64 j = 0; j < n; ++j) out[j] = std::fma(wi, row[j], out[j]);
  }
}

// Row r of dev (n) = sigma[r] - mean, and of wdev = dev[r] * w_r, with
// w_0 = w0 and w_r = wi otherwise: the factors of a weighted covariance.
void weighted_deviations(const f64* ORV_RESTRICT sigma, const f64* ORV_RESTRICT mean,
                         f64 w0, f64 wi, i64 n_sig, i64 n, f64* ORV_RESTRICT dev,
                         f64* ORV_RESTRICT wdev) noexcept {
  for (i64 r = 0; r < n_sig; ++r) {
    const f64 w = r == 0 ? w0 : wi;
    for (i64 i = 0; i < n; ++i) {
      const f64 d = sigma[r * n + i] - mean[i];
      dev[r * n + i] = d;
      wdev[r * n + i] = d * w;
    }
  }
}

// out (n x n) = sum_r w_r (sigma[r] - mean) (sigma[r] - mean)^T, w_0 = w0 and
// w_r = wi otherwise, the terms in ascending r: wdev^T dev, through the
// blocked product (dev and wdev hold n_sig x n values). Symmetric only up to
// rounding.
void ukf_weighted_cov(const f64* ORV_RESTRICT sigma, const f64* ORV_RESTRICT mean,
                      f64 w0, f64 wi, i64 n_sig, i64 n, f64* ORV_RESTRICT dev,
                      f64* ORV_RESTRICT wdev, f64* ORV_RESTRICT out) noexcept {
  weighted_deviations(sigma, mean, w0, wi, n_sig, n, dev, wdev);
  orv_matmul_atb(wdev, dev, out, n_sig, n, n);
}

// ---- sigma points in vector lanes --------------------------------------------
//
// The transition and the projection of every sigma point are independent, so
// they run on a tile of kVecLanes points at once: tile[j * kVecLanes + l] is
// coordinate j of point l. Every lane performs exactly the operations that a
// single point would, in the same order.
//
// Points share work with the centre. The factor of the covariance is lower
// triangular, so point 1 + col (and its mirror) has the centre's x1_j for
// every j < col, and the points stepping along the x2 columns (col >= ns)
// have the centre's whole x1. Where every lane of a tile has the centre's
// x1_j, the first factor (0.5 q[o][j][k]) x1_j of each second-order term is
// the centre's, formed once per set of points (centre_products): the product
// of the same two numbers, so the terms round exactly as the points' own
// would. The transition takes its tiles in tile order (tile_order_row), which
// puts the mirrored pairs of the x1 columns first, in column order, then the
// centre and the pairs of the x2 columns, so that most tiles share long
// leading runs of x1; the measurement keeps ascending order, since meas is
// called in that order. A tile whose two halves share different runs may
// run as two half-width tiles, each with its own run (see may_split_tile).

// Largest state and observable dimensions with an unscented loop of their own
// (see ukf_hot_loop).
constexpr i64 kMaxFixedUkfStates = kSpecialisedLoops ? 4 : 0;
constexpr i64 kMaxFixedUkfObs = 3;

// Whether ns states are few enough for a specialised loop. Such loops unroll
// their second-order terms completely, so they neither share the centre's
// first factors (a split point between shared and own factors known only at
// run time would undo the unrolling and cost more than the few products it
// saves) nor take wider output groups (see in_output_groups).
constexpr bool few_states(i64 ns) noexcept { return ns <= kMaxFixedUkfStates; }

// Row of the sigma points (of 2 nz + 1, nz = 2 ns) taken at position i of the
// tile order.
inline i64 tile_order_row(i64 i, i64 ns) noexcept {
  const i64 nz = 2 * ns;
  if (i == 2 * ns) return 0;
  const i64 pair = i < 2 * ns ? i : i - 1;
  const i64 col = pair / 2;
  return pair % 2 == 0 ? 1 + col : 1 + nz + col;
}

// Copies the points rows[0 .. count) (count <= kVecLanes, n values each) into
// the lanes of a tile; lanes past `count` repeat the first point. Blocks of
// kVecLanes coordinates are loaded a row per vector and transposed in
// registers; the coordinates past the last full block go one by one.
void gather_tile(const f64* const* rows, i64 count, i64 n, f64* ORV_RESTRICT tile) noexcept {
  const i64 blocked = n - n % kVecLanes;
  for (i64 j0 = 0; j0 < blocked; j0 += kVecLanes) {
    vreg block[kVecLanes];
    for (i64 l = 0; l < kVecLanes; ++l) block[l] = vreg::load(rows[l < count ? l : 0] + j0);
    transpose(block);
    for (int i = 0; i < kVecLanes; ++i) block[i].store(tile + (j0 + i) * kVecLanes);
  }
  for (i64 j = blocked; j < n; ++j)
    for (i64 l = 0; l < kVecLanes; ++l) tile[j * kVecLanes + l] = rows[l < count ? l : 0][j];
}

// The first `count` lanes of a tile back into the points rows[0 .. count),
// as gather_tile takes them.
void scatter_tile(const f64* ORV_RESTRICT tile, i64 count, i64 n, f64* const* rows) noexcept {
  const i64 blocked = n - n % kVecLanes;
  for (i64 j0 = 0; j0 < blocked; j0 += kVecLanes) {
    vreg block[kVecLanes];
    for (int i = 0; i < kVecLanes; ++i) block[i] = vreg::load(tile + (j0 + i) * kVecLanes);
    transpose(block);
    for (i64 l = 0; l < count; ++l) block[l].store(rows[l] + j0);
  }
  for (i64 l = 0; l < count; ++l)
    for (i64 j = blocked; j < n; ++j) rows[l][j] = tile[j * kVecLanes + l];
}

// The rows (of n values) of the `count` points at positions first, first + 1,
// ... of a set of sigma points for ns states: in tile order when `paired`, in
// ascending order otherwise.
template <class Row>
void tile_rows(Row* base, i64 first, i64 count, i64 n, i64 ns, bool paired,
               Row** rows) noexcept {
  for (i64 l = 0; l < count; ++l)
    rows[l] = base + (paired ? tile_order_row(first + l, ns) : first + l) * n;
}

// Number of leading coordinates j < ns in which each of `lanes` points,
// coordinate j of point l at points[j stride + l] (lanes of a tile, or one
// point as a row), holds x1c[j] to the bit; 0 unless `share` is set. Bits,
// not values: a -0 centre coordinate plus a step of +0 gives +0, which would
// round a product's sign differently.
i64 leading_shared_x1(const f64* ORV_RESTRICT points, i64 stride, i64 lanes,
                      const f64* ORV_RESTRICT x1c, i64 ns, bool share) noexcept {
  if (!share) return 0;
  for (i64 j = 0; j < ns; ++j)
    for (i64 l = 0; l < lanes; ++l)
      if (std::memcmp(points + j * stride + l, x1c + j, sizeof(f64)) != 0) return j;
  return ns;
}

// out[j][k][o] = half[j][k][o] x1c[j] for the halved coefficients of n_out
// outputs (output-innermost): the first factors of the second-order terms
// at x1c.
void products_with_x1(const f64* ORV_RESTRICT half, const f64* ORV_RESTRICT x1c, i64 n_out,
                      i64 ns, f64* ORV_RESTRICT out) noexcept {
  const i64 row = ns * n_out;
  for (i64 j = 0; j < ns; ++j)
    for (i64 i = j * row; i < (j + 1) * row; ++i) out[i] = half[i] * x1c[j];
}

// Points in the lower and the upper half of a tile's lanes, when a tile runs
// as two halves (see with_lanes_for).
constexpr i64 kHalfLanes = kVecLanes / 2;

// Whether a tile of `count` points may run as two halves, each with its own
// share of the centre's first factors. On processors that execute a 512-bit
// operation as two 256-bit halves, a half-width operation costs half as
// much, so a half whose points share more coordinates with the centre than
// the other half's saves the products of those coordinates. Elsewhere the
// halves would cost more than the tile, and `halves` is off.
constexpr bool may_split_tile(i64 count, bool halves) noexcept {
  return kVecLanes >= 8 && halves && count > kHalfLanes;
}

// Leading x1 coordinates that the points of a tile share with the centre
// (see leading_shared_x1): shared[h] for half h of a tile that may run as
// two halves, both the whole tile's otherwise.
struct tile_shares {
  i64 shared[2];
};

// Gathers the points from[0 .. count) (nz = 2 ns values each) into
// tiles.points and returns how many leading x1 coordinates their lanes
// share with the centre's x1c when `share` is set, 0 otherwise.
tile_shares gather_points(const f64* const* from, i64 count, i64 ns,
                          const f64* ORV_RESTRICT x1c, bool share,
                          const point_tiles& tiles) noexcept {
  gather_tile(from, count, 2 * ns, tiles.points);
  const f64* lanes = tiles.points;
  if (!may_split_tile(count, tiles.halves)) {
    const i64 shared = leading_shared_x1(lanes, kVecLanes, kVecLanes, x1c, ns, share);
    return {{shared, shared}};
  }
  return {{leading_shared_x1(lanes, kVecLanes, kHalfLanes, x1c, ns, share),
           leading_shared_x1(lanes + kHalfLanes, kVecLanes, count - kHalfLanes, x1c, ns, share)}};
}

// The shares of one point (nz = 2 ns values), as gather_points finds them
// for a tile.
tile_shares shares_of_point(const f64* ORV_RESTRICT point, i64 ns, const f64* ORV_RESTRICT x1c,
                            bool share) noexcept {
  const i64 shared = leading_shared_x1(point, 1, 1, x1c, ns, share);
  return {{shared, shared}};
}

// Coordinate j of the first N points of a tile.
template <int N>
ORV_INLINE vec<N> lane_coord(const f64* tile, i64 j) noexcept {
  return vec<N>::load(tile + j * kVecLanes);
}

// What a pass over sigma points reads for one kind of second-order output
// (the x2 part of the successor, or a control), with output o of n_out
// taking the constant constant[o] (halved on use), the first-order
// coefficients linear_t[j n_out + o] and the halved second-order ones
// half[(j ns + k) n_out + o] (see model_terms). For the leading shared[h]
// coordinates j whose x1_j is the centre's in every lane of half h of a tile
// (shared[0] for a whole tile or one point), centre holds the first factors
// (0.5 q[o][j][k]) x1c_j in the layout of half. Plain values
// copied from the model: a pass run out of line (in_wide_groups,
// transition_point, project_point) that referred to the caller's ukf_inputs
// would let its address escape, and the specialised loops would no longer
// see their sizes as constants.
struct second_order_map {
  const f64* constant;  // n_out: hss or gss
  const f64* linear_t;  // ns x n_out: hx^T or gx^T
  const f64* half;      // ns x ns x n_out: 0.5 hxx or 0.5 gxx
  const f64* centre;    // as half, times x1c_j; may be null when no x1_j is shared
  i64 ns;
  i64 n_out;
  tile_shares shares;
};

// The x2 part of the pruned transition, the points' leading shared x1
// coordinates having first factors centre_hxx.
inline second_order_map transition_map(const ukf_inputs& in, const model_terms& terms,
                                       const f64* centre_hxx, tile_shares shares) noexcept {
  return {in.hss, terms.hx_t, terms.hxx, centre_hxx, in.n_state, in.n_state, shares};
}

// The controls, the points' leading shared x1 coordinates having first
// factors centre_gxx.
inline second_order_map control_map(const ukf_inputs& in, const model_terms& terms,
                                    const f64* centre_gxx, tile_shares shares) noexcept {
  return {in.gss, terms.gx_t, terms.gxx, centre_gxx, in.n_state, in.n_ctrl, shares};
}

// The N lanes of half h of a tile run as H halves (h = 0, N = the lanes in
// use, for a whole tile): coordinate j of those points.
template <int N>
ORV_INLINE vec<N> half_coord(const f64* tile, int h, i64 j) noexcept {
  return lane_coord<N>(tile + h * N, j);
}

// s[h][q] + sum_j sum_k (0.5 q[o + q][j][k] x1_j) x1_k over ns x ns (k inner)
// for Q outputs of each of the H halves of a tile at once, with the last
// product fused into the sum. The Q H sums are independent chains, which
// keeps the FMA units busy while each chain waits for its previous step.
template <int Q, int N, int H>
ORV_INLINE void add_quadratic_terms(vec<N> (&s)[H][Q], const second_order_map& m, i64 o,
                                    const f64* ORV_RESTRICT x1) noexcept {
  using lanes = vec<N>;
  const i64 ns = m.ns, n_out = m.n_out;
  const i64* shared = m.shares.shared;
  const i64 shared_by_both = H == 1 ? shared[0] : min_i64(shared[0], shared[1]);
  const i64 shared_by_either =
      H == 1 ? shared[0] : (shared[0] > shared[1] ? shared[0] : shared[1]);
  for (i64 j = 0; j < shared_by_both; ++j) {
    const f64* tq = m.centre + j * ns * n_out + o;
    for (i64 k = 0; k < ns; ++k) {
      lanes x1k[H];
      for (int h = 0; h < H; ++h) x1k[h] = half_coord<N>(x1, h, k);
#pragma GCC unroll 8
      for (int q = 0; q < Q; ++q) {
        const lanes t = lanes::broadcast(tq[k * n_out + q]);
        for (int h = 0; h < H; ++h) s[h][q] = fma(t, x1k[h], s[h][q]);
      }
    }
  }
  if constexpr (H == 2) {
    // half Own forms its first factors while the other still shares them
    auto own_and_shared = [&]<int Own>() {
      for (i64 j = shared_by_both; j < shared_by_either; ++j) {
        const f64* tq = m.centre + j * ns * n_out + o;
        const f64* hq = m.half + j * ns * n_out + o;
        const lanes x1j = half_coord<N>(x1, Own, j);
        for (i64 k = 0; k < ns; ++k) {
          const lanes own_k = half_coord<N>(x1, Own, k), other_k = half_coord<N>(x1, 1 - Own, k);
#pragma GCC unroll 8
          for (int q = 0; q < Q; ++q) {
            s[Own][q] = fma(lanes::broadcast(hq[k * n_out + q]) * x1j, own_k, s[Own][q]);
            s[1 - Own][q] = fma(lanes::broadcast(tq[k * n_out + q]), other_k, s[1 - Own][q]);
          }
        }
      }
    };
    if (shared[0] < shared[1])
      own_and_shared.template operator()<0>();
    else
      own_and_shared.template operator()<1>();
  }
  for (i64 j = shared_by_either; j < ns; ++j) {
    const f64* hq = m.half + j * ns * n_out + o;
    lanes x1j[H];
    for (int h = 0; h < H; ++h) x1j[h] = half_coord<N>(x1, h, j);
    for (i64 k = 0; k < ns; ++k) {
      lanes x1k[H];
      for (int h = 0; h < H; ++h) x1k[h] = half_coord<N>(x1, h, k);
#pragma GCC unroll 8
      for (int q = 0; q < Q; ++q) {
        const lanes c = lanes::broadcast(hq[k * n_out + q]);
        for (int h = 0; h < H; ++h) s[h][q] = fma(c * x1j[h], x1k[h], s[h][q]);
      }
    }
  }
}

// Outputs [i, i + Q) of the pruned transition of the points of a tile run as
// H halves of N lanes (see ukf_pruned_transition), m mapping the x2 part.
template <int Q, int N, int H>
ORV_INLINE void transition_rows(const second_order_map& m, const f64* ORV_RESTRICT z, i64 i,
                                f64* ORV_RESTRICT out) noexcept {
  using lanes = vec<N>;
  const i64 ns = m.ns;
  const f64* x1 = z;
  const f64* x2 = z + ns * kVecLanes;
  lanes s1[H][Q], s2[H][Q];
  for (int q = 0; q < Q; ++q) {
    const lanes half_constant = lanes::broadcast(0.5 * m.constant[i + q]);
    for (int h = 0; h < H; ++h) {
      s1[h][q] = lanes::zero();
      s2[h][q] = half_constant;
    }
  }
  for (i64 j = 0; j < ns; ++j) {
    lanes x1j[H], x2j[H];
    for (int h = 0; h < H; ++h) {
      x1j[h] = half_coord<N>(x1, h, j);
      x2j[h] = half_coord<N>(x2, h, j);
    }
    for (int q = 0; q < Q; ++q) {
      const lanes c = lanes::broadcast(m.linear_t[j * m.n_out + i + q]);
      for (int h = 0; h < H; ++h) {
        s1[h][q] = fma(c, x1j[h], s1[h][q]);
        s2[h][q] = fma(c, x2j[h], s2[h][q]);
      }
    }
  }
  // x1' is complete: stored now, its registers are free for the long sums
  for (int h = 0; h < H; ++h)
    for (int q = 0; q < Q; ++q) s1[h][q].store(out + (i + q) * kVecLanes + h * N);
  add_quadratic_terms<Q, N, H>(s2, m, i, x1);
  for (int h = 0; h < H; ++h)
    for (int q = 0; q < Q; ++q) s2[h][q].store(out + (ns + i + q) * kVecLanes + h * N);
}

// Controls [c, c + Q) of the projection of the points of a tile run as H
// halves of N lanes (see ukf_project_vars), m mapping the controls and
// steady their steady-state levels.
template <int Q, int N, int H>
ORV_INLINE void project_controls(const second_order_map& m, const f64* ORV_RESTRICT steady,
                                 const f64* ORV_RESTRICT z, i64 c,
                                 f64* ORV_RESTRICT vars) noexcept {
  using lanes = vec<N>;
  const i64 ns = m.ns;
  const f64* x1 = z;
  const f64* x2 = z + ns * kVecLanes;
  lanes s[H][Q];
  for (int q = 0; q < Q; ++q) {
    const lanes half_constant = lanes::broadcast(0.5 * m.constant[c + q]);
    for (int h = 0; h < H; ++h) s[h][q] = half_constant;
  }
  for (i64 j = 0; j < ns; ++j) {
    lanes x12[H];
    for (int h = 0; h < H; ++h) x12[h] = half_coord<N>(x1, h, j) + half_coord<N>(x2, h, j);
    for (int q = 0; q < Q; ++q) {
      const lanes g = lanes::broadcast(m.linear_t[j * m.n_out + c + q]);
      for (int h = 0; h < H; ++h) s[h][q] = fma(g, x12[h], s[h][q]);
    }
  }
  add_quadratic_terms<Q, N, H>(s, m, c, x1);
  for (int q = 0; q < Q; ++q) {
    const lanes level = lanes::broadcast(steady[c + q]);
    for (int h = 0; h < H; ++h)
      (level + s[h][q]).store(vars + (ns + c + q) * kVecLanes + h * N);
  }
}

// Runs body<Q>(i) over [0, n) in the fewest groups of at most MaxQ outputs,
// their sizes as equal as possible (10 outputs go as 5 + 5, not 8 + 2, since
// a narrow group waits on the latency of its few sums).
template <int MaxQ, class Body>
ORV_INLINE void in_groups_of_at_most(i64 n, Body&& body) noexcept {
  const i64 groups = (n + MaxQ - 1) / MaxQ;
  i64 i = 0;
  for (i64 g = 0; g < groups; ++g) {
    const i64 size = (n - i) / (groups - g);  // the larger groups come last
    [&]<int... Q>(std::integer_sequence<int, Q...>) {
      ((size == Q + 1 ? (body.template operator()<Q + 1>(i), 0) : 0), ...);
    }(std::make_integer_sequence<int, MaxQ>{});
    i += size;
  }
}

// in_groups_of_at_most<8>, kept out of line (see in_output_groups).
template <class Body>
[[gnu::noinline]] void in_wide_groups(i64 n, Body& body) noexcept {
  in_groups_of_at_most<8>(n, body);
}

// Runs body<Q>(i) over the n outputs of a tile of points with ns states, in
// groups of as many outputs as keep the FMA units busy through the latency of
// their sums, within the variant's vector registers. The loops specialised
// for few states keep groups of four: the code for wider ones, inlined into
// them, made them much slower, so it stays out of line.
template <class Body>
ORV_INLINE void in_output_groups(i64 ns, i64 n, Body&& body) noexcept {
  if (kVecLanes >= 8 && !few_states(ns))
    in_wide_groups(n, body);
  else
    in_groups_of_at_most<4>(n, body);
}

// body<kHalfLanes, 2>(), kept out of line: the loops specialised for few
// states never split a tile (they share nothing), and their code stays free
// of the halves.
template <class Body>
[[gnu::noinline]] void in_two_halves(Body& body) noexcept {
  body.template operator()<kHalfLanes, 2>();
}

// Runs body<N, H>() on a tile of `count` points (count <= kVecLanes) as H
// halves of N lanes: as two halves when their points share different numbers
// of coordinates with the centre (see may_split_tile), else whole, with the
// narrowest vector width N that covers the points, so that a partly filled
// tile does less work.
template <class Body>
ORV_INLINE void with_lanes_for(i64 count, const tile_shares& shares, Body&& body) noexcept {
  if constexpr (kVecLanes >= 8) {
    if (count > 4) {
      if (shares.shared[0] != shares.shared[1]) return in_two_halves(body);
      return body.template operator()<8, 1>();
    }
  }
  if constexpr (kVecLanes >= 4) {
    if (count > 2) return body.template operator()<4, 1>();
  }
  if constexpr (kVecLanes >= 2) {
    if (count > 1) return body.template operator()<2, 1>();
  }
  body.template operator()<1, 1>();
}

// half[j][k][o] = 0.5 q[o][j][k] for the n_out blocks of ns x ns
// second-order coefficients q: halved, and output-innermost.
void halve_output_innermost(const f64* ORV_RESTRICT q, i64 n_out, i64 ns,
                            f64* ORV_RESTRICT half) noexcept {
  for (i64 o = 0; o < n_out; ++o)
    for (i64 jk = 0; jk < ns * ns; ++jk) half[jk * n_out + o] = 0.5 * q[o * ns * ns + jk];
}

// The model's coefficients in the layout of model_terms, once per call.
void arrange_model_terms(const ukf_inputs& in, const ukf_dims& d, const model_terms& terms) noexcept {
  halve_output_innermost(in.hxx, d.ns, d.ns, terms.hxx);
  halve_output_innermost(in.gxx, d.nc, d.ns, terms.gxx);
  transpose_into(in.hx, d.ns, d.ns, terms.hx_t);
  transpose_into(in.gx, d.nc, d.ns, terms.gx_t);
}

// out = pruned second-order successor of the first `count` points
// z = (x1, x2) of a tile, whose leading shared x1 coordinates are those of
// the centre with first factors centre_hxx:
//   x1' = hx x1;  x2' = 0.5 hss + hx x2 + 0.5 hxx (x1 (x) x1)
void ukf_pruned_transition(const ukf_inputs& in, const model_terms& terms,
                           const f64* ORV_RESTRICT centre_hxx, const tile_shares& shares,
                           const f64* ORV_RESTRICT z, i64 count,
                           f64* ORV_RESTRICT out) noexcept {
  const second_order_map m = transition_map(in, terms, centre_hxx, shares);
  with_lanes_for(count, shares, [&]<int N, int H>() {
    in_output_groups(m.ns, m.ns,
                     [&]<int Q>(i64 i) { transition_rows<Q, N, H>(m, z, i, out); });
  });
}

// vars (nv) = model variables in levels at the first `count` points
// z = (x1, x2) of a tile: states (ss + x1) + x2, controls ss + s with
// s = 0.5 gss + gx (x1 + x2) + 0.5 gxx (x1 (x) x1), the leading shared x1
// coordinates being the centre's with first factors centre_gxx.
void ukf_project_vars(const ukf_inputs& in, const model_terms& terms,
                      const f64* ORV_RESTRICT centre_gxx, const tile_shares& shares,
                      const f64* ORV_RESTRICT z, i64 count, f64* ORV_RESTRICT vars) noexcept {
  const second_order_map m = control_map(in, terms, centre_gxx, shares);
  // plain values for the passes, which may run out of line (see
  // second_order_map)
  const f64* steady = in.steady_state;
  with_lanes_for(count, shares, [&]<int N, int H>() {
    using lanes = vec<N>;
    const f64* x1 = z;
    const f64* x2 = z + m.ns * kVecLanes;
    for (i64 i = 0; i < m.ns; ++i)
      for (int h = 0; h < H; ++h)
        ((lanes::broadcast(steady[i]) + half_coord<N>(x1, h, i)) + half_coord<N>(x2, h, i))
            .store(vars + i * kVecLanes + h * N);
    in_output_groups(m.ns, m.n_out, [&]<int Q>(i64 c) {
      project_controls<Q, N, H>(m, steady + m.ns, z, c, vars);
    });
  });
}

// ---- one point, its outputs in vector lanes ----------------------------------
//
// A sigma point left over after the tiles, and each state whose levels the
// history stores, runs alone. Its outputs are independent sums, so they fill
// the vector lanes instead of points: lane l of vector v holds output
// o + v kVecLanes + l, and its coefficients for one term are one load from
// the output-innermost arrays of model_terms. Every output takes exactly
// the operations, in the order, that it takes in a tile.
//
// These passes run out of line, on plain values (second_order_map): inlined
// into the loops specialised for few states, they tripled the loops' code
// and made them a third slower.

// The coefficients of the Q kVecLanes outputs starting at `row` of an
// output-innermost array, the last vector holding only the `tail` outputs
// that remain (its other lanes +0.0).
template <int Q>
ORV_INLINE void load_outputs(const f64* ORV_RESTRICT row, int tail, vreg* c) noexcept {
  for (int v = 0; v + 1 < Q; ++v) c[v] = vreg::load(row + v * kVecLanes);
  c[Q - 1] = vreg::load_first(row + (Q - 1) * kVecLanes, tail);
}

// Stores the outputs that load_outputs would load.
template <int Q>
ORV_INLINE void store_outputs(const vreg* s, int tail, f64* ORV_RESTRICT out) noexcept {
  for (int v = 0; v + 1 < Q; ++v) s[v].store(out + v * kVecLanes);
  s[Q - 1].store_first(out + (Q - 1) * kVecLanes, tail);
}

// Runs body<Q>(o, tail) over n_out outputs of one point in the fewest groups
// of at most four vectors: outputs [o, o + Q kVecLanes), the last vector
// holding `tail` of them.
template <class Body>
ORV_INLINE void in_output_vectors(i64 n_out, Body&& body) noexcept {
  const i64 n_vec = (n_out + kVecLanes - 1) / kVecLanes;
  in_groups_of_at_most<4>(n_vec, [&]<int Q>(i64 v) {
    const i64 o = v * kVecLanes;
    const int tail = static_cast<int>(min_i64(kVecLanes, n_out - o - (Q - 1) * kVecLanes));
    body.template operator()<Q>(o, tail);
  });
}

// s[v] + sum_j sum_k (0.5 q[o'][j][k] x1_j) x1_k over ns x ns (k inner) for
// the outputs o' of the vectors, as add_quadratic_terms for one point. With P
// (nz x nz) given, the pair product is x1_j x1_k + P[j][k] instead: the
// expectation of the quadratic term under covariance P; no first factor is
// shared then.
template <int Q>
ORV_INLINE void add_point_quadratic_terms(vreg* s, const second_order_map& m, i64 o, int tail,
                                          const f64* ORV_RESTRICT x1,
                                          const f64* ORV_RESTRICT P, i64 nz) noexcept {
  const i64 ns = m.ns, n_out = m.n_out;
  const i64 shared = P == nullptr ? m.shares.shared[0] : 0;
  vreg c[Q];
  for (i64 j = 0; j < shared; ++j)
    for (i64 k = 0; k < ns; ++k) {
      load_outputs<Q>(m.centre + (j * ns + k) * n_out + o, tail, c);
      const vreg x1k = vreg::broadcast(x1[k]);
      for (int v = 0; v < Q; ++v) s[v] = fma(c[v], x1k, s[v]);
    }
  for (i64 j = shared; j < ns; ++j) {
    const vreg x1j = vreg::broadcast(x1[j]);
    for (i64 k = 0; k < ns; ++k) {
      load_outputs<Q>(m.half + (j * ns + k) * n_out + o, tail, c);
      if (P == nullptr) {
        const vreg x1k = vreg::broadcast(x1[k]);
        for (int v = 0; v < Q; ++v) s[v] = fma(c[v] * x1j, x1k, s[v]);
      } else {
        const vreg pair = vreg::broadcast(std::fma(x1[j], x1[k], P[j * nz + k]));
        for (int v = 0; v < Q; ++v) s[v] = fma(c[v], pair, s[v]);
      }
    }
  }
}

// Outputs [o, o + Q kVecLanes) of the pruned transition of the point
// z = (x1, x2) (see transition_point), m mapping the x2 part.
template <int Q>
ORV_INLINE void transition_point_outputs(const second_order_map& m, const f64* ORV_RESTRICT z,
                                         i64 o, int tail, f64* ORV_RESTRICT out) noexcept {
  const i64 ns = m.ns;
  const f64* x1 = z;
  const f64* x2 = z + ns;
  vreg s1[Q], s2[Q], c[Q];
  load_outputs<Q>(m.constant + o, tail, c);
  for (int v = 0; v < Q; ++v) {
    s1[v] = vreg::zero();
    s2[v] = vreg::broadcast(0.5) * c[v];
  }
  for (i64 j = 0; j < ns; ++j) {
    load_outputs<Q>(m.linear_t + j * m.n_out + o, tail, c);
    const vreg x1j = vreg::broadcast(x1[j]), x2j = vreg::broadcast(x2[j]);
    for (int v = 0; v < Q; ++v) {
      s1[v] = fma(c[v], x1j, s1[v]);
      s2[v] = fma(c[v], x2j, s2[v]);
    }
  }
  add_point_quadratic_terms<Q>(s2, m, o, tail, x1, nullptr, 2 * ns);
  store_outputs<Q>(s1, tail, out + o);
  store_outputs<Q>(s2, tail, out + ns + o);
}

// out (nz) = pruned successor of the point z = (x1, x2) (nz), as
// ukf_pruned_transition for a tile, m mapping the x2 part.
[[gnu::noinline]] void transition_point(const second_order_map& m, const f64* ORV_RESTRICT z,
                                        f64* ORV_RESTRICT out) noexcept {
  in_output_vectors(m.n_out, [&]<int Q>(i64 o, int tail) {
    transition_point_outputs<Q>(m, z, o, tail, out);
  });
}

// Controls [c, c + Q kVecLanes) of the projection of the point z = (x1, x2)
// (see project_point), m mapping the controls and steady their
// steady-state levels.
template <int Q>
ORV_INLINE void project_point_controls(const second_order_map& m, const f64* ORV_RESTRICT steady,
                                       const f64* ORV_RESTRICT z, const f64* ORV_RESTRICT P,
                                       i64 c, int tail, f64* ORV_RESTRICT vars) noexcept {
  const i64 ns = m.ns;
  const f64* x1 = z;
  const f64* x2 = z + ns;
  vreg s[Q], coef[Q];
  load_outputs<Q>(m.constant + c, tail, coef);
  for (int v = 0; v < Q; ++v) s[v] = vreg::broadcast(0.5) * coef[v];
  for (i64 j = 0; j < ns; ++j) {
    load_outputs<Q>(m.linear_t + j * m.n_out + c, tail, coef);
    const vreg x12 = vreg::broadcast(x1[j] + x2[j]);
    for (int v = 0; v < Q; ++v) s[v] = fma(coef[v], x12, s[v]);
  }
  add_point_quadratic_terms<Q>(s, m, c, tail, x1, P, 2 * ns);
  load_outputs<Q>(steady + c, tail, coef);
  for (int v = 0; v < Q; ++v) s[v] = coef[v] + s[v];
  store_outputs<Q>(s, tail, vars + ns + c);
}

// vars (nv) = model variables in levels at the point z = (x1, x2) (nz), as
// ukf_project_vars for a tile, m mapping the controls and steady holding
// the steady state (nv). With P (nz x nz) given, the quadratic control term
// takes its expectation under P instead.
[[gnu::noinline]] void project_point(const second_order_map& m, const f64* ORV_RESTRICT steady,
                                     const f64* ORV_RESTRICT z, const f64* ORV_RESTRICT P,
                                     f64* ORV_RESTRICT vars) noexcept {
  for (i64 i = 0; i < m.ns; ++i) vars[i] = (steady[i] + z[i]) + z[m.ns + i];
  in_output_vectors(m.n_out, [&]<int Q>(i64 c, int tail) {
    project_point_controls<Q>(m, steady + m.ns, z, P, c, tail, vars);
  });
}

// Row r of sigma_next (nz) = pruned successor of row r of sigma (nz); the
// rows go through the tiles in tile order, a point left over on its own.
void transition_sigma_points(const ukf_inputs& in, const model_terms& terms,
                             const f64* ORV_RESTRICT sigma, i64 n_sig,
                             const point_tiles& tiles, f64* ORV_RESTRICT centre_hxx,
                             f64* ORV_RESTRICT sigma_next) noexcept {
  const i64 ns = in.n_state, nz = 2 * ns;
  const bool share = !few_states(ns);
  if (share) products_with_x1(terms.hxx, sigma, ns, ns, centre_hxx);
  for (i64 first = 0; first < n_sig; first += kVecLanes) {
    const i64 count = min_i64(kVecLanes, n_sig - first);
    const f64* from[kVecLanes];
    f64* to[kVecLanes];
    tile_rows(sigma, first, count, nz, ns, share, from);
    tile_rows(sigma_next, first, count, nz, ns, share, to);
    if (count == 1) {
      transition_point(
          transition_map(in, terms, centre_hxx, shares_of_point(from[0], ns, sigma, share)),
          from[0], to[0]);
      continue;
    }
    const tile_shares shares = gather_points(from, count, ns, sigma, share, tiles);
    ukf_pruned_transition(in, terms, centre_hxx, shares, tiles.points, count, tiles.results);
    scatter_tile(tiles.results, count, nz, to);
  }
}

// Row r of sigma_y (no) = meas at the model variables of sigma point r, in
// ascending r, every call on the same vars_buf. The tiles take the points in
// that order too, so that each point is measured as soon as its tile is
// projected; a point left over is projected on its own.
void ukf_eval_measurement_sigma(const ukf_inputs& in, const model_terms& terms,
                                const f64* ORV_RESTRICT sigma_z, i64 n_sig,
                                const point_tiles& tiles, f64* ORV_RESTRICT centre_gxx,
                                f64* ORV_RESTRICT vars_buf, f64* ORV_RESTRICT sigma_y) {
  const i64 ns = in.n_state, nz = 2 * ns, no = in.n_obs, nv = ns + in.n_ctrl;
  const bool share = !few_states(ns);
  if (share) products_with_x1(terms.gxx, sigma_z, in.n_ctrl, ns, centre_gxx);
  for (i64 r0 = 0; r0 < n_sig; r0 += kVecLanes) {
    const i64 count = min_i64(kVecLanes, n_sig - r0);
    const f64* from[kVecLanes];
    tile_rows(sigma_z, r0, count, nz, ns, false, from);
    if (count == 1) {
      project_point(
          control_map(in, terms, centre_gxx, shares_of_point(from[0], ns, sigma_z, share)),
          in.steady_state, from[0], nullptr, vars_buf);
      in.meas(vars_buf, in.params, sigma_y + r0 * no);
      continue;
    }
    const tile_shares shares = gather_points(from, count, ns, sigma_z, share, tiles);
    ukf_project_vars(in, terms, centre_gxx, shares, tiles.points, count, tiles.results);
    for (i64 l = 0; l < count; ++l) {
      for (i64 j = 0; j < nv; ++j) vars_buf[j] = tiles.results[j * kVecLanes + l];
      in.meas(vars_buf, in.params, sigma_y + (r0 + l) * no);
    }
  }
}

// S (no x no) = sum_r w_r dy_r dy_r^T and Pzy (nz x no) = sum_r w_r dz_r dy_r^T,
// with dy_r = sigma_y[r] - y_mean and dz_r = sigma_z[r] - z_mean, the terms in
// ascending r (blocked products of the deviations).
void ukf_weighted_meas_cov_cross(const f64* ORV_RESTRICT sigma_z,
                                 const f64* ORV_RESTRICT z_mean,
                                 const f64* ORV_RESTRICT sigma_y,
                                 const f64* ORV_RESTRICT y_mean, f64 w0, f64 wi,
                                 i64 n_sig, i64 nz, i64 no, const ukf_deviations& dv,
                                 f64* ORV_RESTRICT S, f64* ORV_RESTRICT Pzy) noexcept {
  weighted_deviations(sigma_y, y_mean, w0, wi, n_sig, no, dv.y, dv.wy);
  weighted_deviations(sigma_z, z_mean, w0, wi, n_sig, nz, dv.z, dv.wz);
  // S (no x no) = wy^T y
  orv_matmul_atb(dv.wy, dv.y, S, n_sig, no, no);
  // Pzy (nz x no) = wz^T y, formed as its transpose y^T wz: the same products
  // (y_j wz_i is wz_i y_j) in the same order, with the nz entries of a row of
  // the transpose filling vector lanes where the no of a row of Pzy would not.
  orv_matmul_atb(dv.y, dv.wz, dv.cross_t, n_sig, no, nz);
  for (i64 i = 0; i < nz; ++i)
    for (i64 j = 0; j < no; ++j) Pzy[i * no + j] = dv.cross_t[j * nz + i];
}

// Adds BQBT (ns x ns) to the x1-x1 block of P (nz x nz); x2 gets no noise.
void ukf_add_process_cov(const f64* ORV_RESTRICT BQBT, f64* ORV_RESTRICT P, i64 ns,
                         i64 nz) noexcept {
  for (i64 i = 0; i < ns; ++i)
    for (i64 j = 0; j < ns; ++j) P[i * nz + j] = P[i * nz + j] + BQBT[i * ns + j];
}

// P_filt (nz x nz) = P_pred - K Pzy^T, K and Pzy nz x no: each sum over the
// no terms completed first (the blocked product, in P_filt), then
// subtracted.
void ukf_cov_update(const f64* ORV_RESTRICT P_pred, const f64* ORV_RESTRICT K,
                    const f64* ORV_RESTRICT Pzy, f64* ORV_RESTRICT P_filt, i64 nz,
                    i64 no) noexcept {
  orv_matmul_abt(K, Pzy, P_filt, nz, no, nz);
  for (i64 i = 0; i < nz * nz; ++i) P_filt[i] = P_pred[i] - P_filt[i];
}

// Row t of the x1, x2 and level histories for the state z with covariance P.
void ukf_store_history(const ukf_inputs& in, const model_terms& terms, const f64* ORV_RESTRICT z,
                       const f64* ORV_RESTRICT P, f64* ORV_RESTRICT x1, f64* ORV_RESTRICT x2,
                       f64* ORV_RESTRICT x, i64 t) noexcept {
  const i64 ns = in.n_state, nv = in.n_state + in.n_ctrl;
  store_row(x1, t, z, ns);
  store_row(x2, t, z + ns, ns);
  project_point(control_map(in, terms, nullptr, {{0, 0}}), in.steady_state, z, P, x + t * nv);
}

// Predicted moments of the period: z_pred and P_pred (with process noise).
// False when P_prev or P_pred cannot be factored.
bool ukf_predict_period(const ukf_inputs& in, const ukf_dims& d, const ukf_weights& w,
                        const ukf_scratch& s) {
  // P_chol P_chol^T = P_prev
  if (orv_chol(s.P_prev, in.jitter, s.P_chol, d.nz) != 0) return false;
  ukf_build_sigma_points(s.z_prev, s.P_chol, w.gamma, s.sigma_z, d.nz);
  transition_sigma_points(in, s.terms, s.sigma_z, d.n_sig, s.tiles, s.centre.hxx,
                          s.sigma_z_next);
  ukf_weighted_mean(s.sigma_z_next, w.w0_m, w.wi, d.n_sig, d.nz, s.z_pred);
  ukf_weighted_cov(s.sigma_z_next, s.z_pred, w.w0_c, w.wi, d.n_sig, d.nz, s.dev.z, s.dev.wz,
                   s.P_pred);
  ukf_add_process_cov(s.BQBT, s.P_pred, d.ns, d.nz);
  if (in.symmetrize) orv_sym_inplace(s.P_pred, d.nz);
  // P_chol P_chol^T = P_pred
  return orv_chol(s.P_pred, in.jitter, s.P_chol, d.nz) == 0;
}

// Predicted observables: y_pred, S (with R) and Pzy from fresh sigma points
// of (z_pred, P_pred).
void ukf_measure_period(const ukf_inputs& in, const ukf_dims& d, const ukf_weights& w,
                        const ukf_scratch& s) {
  ukf_build_sigma_points(s.z_pred, s.P_chol, w.gamma, s.sigma_z, d.nz);
  ukf_eval_measurement_sigma(in, s.terms, s.sigma_z, d.n_sig, s.tiles, s.centre.gxx,
                             s.vars_buf, s.sigma_y);
  ukf_weighted_mean(s.sigma_y, w.w0_m, w.wi, d.n_sig, d.no, s.y_pred);
  ukf_weighted_meas_cov_cross(s.sigma_z, s.z_pred, s.sigma_y, s.y_pred, w.w0_c, w.wi,
                              d.n_sig, d.nz, d.no, s.dev, s.S, s.Pzy);
  // S += R
  for (i64 i = 0; i < d.no * d.no; ++i) s.S[i] = s.S[i] + in.R[i];
  if (in.symmetrize) orv_sym_inplace(s.S, d.no);
}

// Update with the factor L of S: std_innov, S^-1 innov, K, z_filt, P_filt.
void ukf_update_period(const ukf_inputs& in, const ukf_dims& d,
                       const ukf_scratch& s) noexcept {
  // std_innov = L^-1 innov;  S_inv_v = L^-T std_innov
  orv_forward_subst(s.L, s.innov, s.std_innov, d.no);
  orv_backward_subst_chol_t(s.L, s.std_innov, s.S_inv_v, d.no);
  // K (nz x no) = Pzy S^-1
  kf_gain_from_pc_t(s.L, s.Pzy, s.solve_f, s.solve_b, s.K, d.nz, d.no);
  // z_filt = z_pred + K innov
  kf_state_update(s.z_pred, s.K, s.innov, s.z_filt, d.nz, d.no);
  // P_filt = P_pred - K Pzy^T
  ukf_cov_update(s.P_pred, s.K, s.Pzy, s.P_filt, d.nz, d.no);
  if (in.symmetrize) orv_sym_inplace(s.P_filt, d.nz);
}

// Row t of every history array; y_filt is meas at the stored x_filt row.
void ukf_store_period(const ukf_inputs& in, const ukf_dims& d, const ukf_scratch& s,
                      const ukf_outputs& out, i64 t) {
  ukf_store_history(in, s.terms, s.z_pred, s.P_pred, out.x1_pred, out.x2_pred,
                    out.x_pred, t);
  ukf_store_history(in, s.terms, s.z_filt, s.P_filt, out.x1_filt, out.x2_filt,
                    out.x_filt, t);
  store_row(out.P_pred, t, s.P_pred, d.nz * d.nz);
  store_row(out.P_filt, t, s.P_filt, d.nz * d.nz);
  store_row(out.y_pred, t, s.y_pred, d.no);
  in.meas(out.x_filt + t * d.nv, in.params, out.y_filt + t * d.no);
  store_row(out.innov, t, s.innov, d.no);
  store_row(out.std_innov, t, s.std_innov, d.no);
  store_row(out.S, t, s.S, d.no * d.no);
}

// Runs the periods of the sample and writes the log-likelihood; returns the
// status of the loop.
i64 ukf_run_periods(const ukf_inputs& in, const ukf_outputs& out, const ukf_weights& w,
                    ukf_scratch& s) {
  const ukf_dims d = ukf_dims_of(in);
  const f64 const_term = static_cast<f64>(d.no) * kLog2Pi;
  f64 loglik = 0.0;
  i64 status = UKF_OK;

  for (i64 t = 0; t < in.T; ++t) {
    if (!ukf_predict_period(in, d, w, s)) {
      status = UKF_ERR_NOT_PD;
      break;
    }
    ukf_measure_period(in, d, w, s);
    // innov = obs_t - y_pred;  L L^T = S (+ jitter I)
    kf_row_minus_vec(in.obs, t, s.y_pred, s.innov, d.no);
    if (orv_chol(s.S, in.jitter, s.L, d.no) != 0) {
      status = UKF_ERR_NOT_PD;
      break;
    }
    ukf_update_period(in, d, s);
    loglik = add_loglik_term(s.L, s.innov, s.S_inv_v, d.no, const_term, loglik);
    if (in.store_history) ukf_store_period(in, d, s, out, t);
    // the filtered moments become the prior of the next period
    std::swap(s.z_prev, s.z_filt);
    std::swap(s.P_prev, s.P_filt);
  }

  out.loglik[0] = loglik;
  return status;
}

// The periods with every step inlined and run on a copy of the inputs whose
// state and observable dimensions are the constants NS and NO, so that the
// loops over states, sigma points and observables have known lengths.
template <i64 NS, i64 NO>
[[gnu::flatten]] i64 ukf_run_periods_fixed(const ukf_inputs& in, const ukf_outputs& out,
                                           const ukf_weights& w, ukf_scratch& s) {
  ukf_inputs fixed = in;
  fixed.n_state = NS;
  fixed.n_obs = NO;
  return ukf_run_periods(fixed, out, w, s);
}

// The unscented filter, with tiles that may run as two halves when
// `split_tiles` is set (see may_split_tile).
i64 ukf_run(const ukf_inputs* in, ukf_outputs* out, bool split_tiles) {
  if (in->meas == nullptr || in->n_state < 1 || in->n_obs < 1 || in->n_ctrl < 0 ||
      in->n_exog < 0)
    return UKF_ERR_INPUT;
  ukf_weights w{};
  // nz as a double, formed without the integer product that could overflow
  if (!ukf_weights_for(2.0 * static_cast<f64>(in->n_state), in->alpha, in->beta,
                       in->kappa, &w))
    return UKF_ERR_NOT_PD;

  scratch_block block(ukf_scratch_elements(in->n_state, in->n_ctrl, in->n_exog, in->n_obs));
  if (!block) return UKF_ERR_ALLOC;
  const ukf_dims d = ukf_dims_of(*in);
  ukf_scratch s = ukf_carve_scratch(block.data(), d);
  s.tiles.halves = split_tiles;

  copy_values(s.z_prev, in->z0, d.nz);
  copy_values(s.P_prev, in->P0, d.nz * d.nz);
  // BQBT (ns x ns) = bx Q bx^T, once per call
  kf_build_bqbt(in->bx, in->Q, s.temp_nk, s.BQBT, d.ns, d.ne);
  arrange_model_terms(*in, d, s.terms);
  // Small models, where loop overhead outweighs the arithmetic, take the loop
  // specialised for their (ns, no).
  return with_small_sizes<kMaxFixedUkfStates, kMaxFixedUkfObs>(
      d.ns, d.no, [&]<i64 NS, i64 NO>() { return ukf_run_periods_fixed<NS, NO>(*in, *out, w, s); },
      [&] { return ukf_run_periods(*in, *out, w, s); });
}

}  // namespace

i64 ukf_hot_loop(const ukf_inputs* in, ukf_outputs* out) {
  return ukf_run(in, out, false);
}

i64 ukf_hot_loop_split_tiles(const ukf_inputs* in, ukf_outputs* out) {
  return ukf_run(in, out, true);
}

}  // namespace ORV_VARIANT
