// The linear Kalman filter loop over a whole sample and its step kernels.
//
// The loop itself only iterates: each period delegates to named steps, and
// each step to the dense kernels of orv_linalg. Every sum follows the
// library's rule (one accumulator, ascending order, one std::fma per term),
// so the log-likelihood and history are reproducible to the bit.

#include "kalman.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "../_common/orv_linalg.h"
#include "scratch.h"

namespace {

// ln(2 pi) to double precision.
constexpr f64 kLog2Pi = 1.8378770664093453;

// Copies `len` values into row `t` of a history array with rows of `len`.
inline void store_row(f64* history, i64 t, const f64* src, i64 len) noexcept {
  if (len > 0)
    std::memcpy(history + t * len, src, static_cast<size_t>(len) * sizeof(f64));
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

void kf_gain_from_pc_t(const f64* ORV_RESTRICT L, const f64* ORV_RESTRICT PCt,
                       f64* ORV_RESTRICT fbuf, f64* ORV_RESTRICT bbuf,
                       f64* ORV_RESTRICT out, i64 n, i64 m) {
  // row r of out = (L L^T)^-1 (row r of PCt); S is never inverted
  for (i64 r = 0; r < n; ++r) kf_chol_solve_row(L, PCt, r, fbuf, bbuf, out, m);
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
  // out[i][j] += sum_l temp_nm[i][l] K[j][l]   (the K R K^T term)
  for (i64 i = 0; i < n; ++i) {
    for (i64 j = 0; j < n; ++j) {
      f64 s = 0.0;
      for (i64 l = 0; l < m; ++l) s = std::fma(temp_nm[i * m + l], K[j * m + l], s);
      out[i * n + j] = out[i * n + j] + s;
    }
  }
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
  f64* KC;          // n^2
  f64* I_minus_KC;  // n^2
  f64* temp_nn;     // n^2
  f64* BQBT;        // n^2
  f64* S_buf;       // m^2
  f64* L;           // m^2
  f64* PCt;         // n m
  f64* K;           // n m
  f64* temp_nm;     // n m
  f64* temp_mn;     // m n
  f64* temp_nk;     // n k
  f64* M;           // k m
  f64* temp_km;     // k m
};

// 2n + 7m + 6n^2 + 2m^2 + 4nm + nk + 2km values, or -1 when a dimension is
// negative or the count does not fit in memory.
i64 kf_scratch_elements(i64 n, i64 m, i64 k) noexcept {
  return element_count({{2, n}, {7, m}, {6, n, n}, {2, m, m}, {4, n, m}, {1, n, k},
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
  s.KC = c.take(n * n);
  s.I_minus_KC = c.take(n * n);
  s.temp_nn = c.take(n * n);
  s.BQBT = c.take(n * n);
  s.S_buf = c.take(m * m);
  s.L = c.take(m * m);
  s.PCt = c.take(n * m);
  s.K = c.take(n * m);
  s.temp_nm = c.take(n * m);
  s.temp_mn = c.take(m * n);
  s.temp_nk = c.take(n * k);
  s.M = c.take(k * m);
  s.temp_km = c.take(k * m);
  return s;
}

// Prediction and innovation of period t from (x_prev, P_prev): x_pred, P_pred,
// y_pred, v and S.
void kf_predict_period(const kf_inputs& in, const kf_scratch& s, i64 t,
                       const f64* x_prev, const f64* P_prev) noexcept {
  const i64 n = in.n, m = in.m;
  // x_pred (n) = A x_prev
  orv_matvec(in.A, x_prev, s.x_pred_buf, n, n);
  // P_pred (n x n) = A P_prev A^T + B Q B^T
  kf_predict_cov(in.A, P_prev, s.BQBT, s.temp_nn, s.P_pred_buf, n);
  if (in.symmetrize) orv_sym_inplace(s.P_pred_buf, n);
  // y_pred (m) = d + C x_pred
  orv_matvec_plus_vec(in.C, s.x_pred_buf, in.d, s.y_pred_buf, m, n);
  // v (m) = y_t - y_pred
  kf_row_minus_vec(in.y, t, s.y_pred_buf, s.v_buf, m);
  // S (m x m) = C P_pred C^T + R
  kf_measurement_cov(in.C, s.P_pred_buf, in.R, s.temp_mn, s.S_buf, n, m);
  if (in.symmetrize) orv_sym_inplace(s.S_buf, m);
}

// Update of the period with the factor L of S: u, S^-1 v, the gain, x_filt and
// P_filt.
void kf_update_period(const kf_inputs& in, const kf_scratch& s) noexcept {
  const i64 n = in.n, m = in.m;
  // u (m) = L^-1 v;  S_inv_v (m) = L^-T u
  orv_forward_subst(s.L, s.v_buf, s.u_buf, m);
  orv_backward_subst_chol_t(s.L, s.u_buf, s.S_inv_v, m);
  // PCt (n x m) = P_pred C^T;  K (n x m) = PCt S^-1
  kf_pc_t(s.P_pred_buf, in.C, s.PCt, n, m);
  kf_gain_from_pc_t(s.L, s.PCt, s.solve_f, s.solve_b, s.K, n, m);
  // x_filt (n) = x_pred + K v
  kf_state_update(s.x_pred_buf, s.K, s.v_buf, s.x_filt_buf, n, m);
  // P_filt (n x n) = (I - K C) P_pred (I - K C)^T + K R K^T
  kf_joseph_cov(s.K, in.C, s.P_pred_buf, in.R, s.KC, s.I_minus_KC, s.temp_nn,
                s.temp_nm, s.P_filt_buf, n, m);
  if (in.symmetrize) orv_sym_inplace(s.P_filt_buf, n);
}

// -0.5 (log det S + m ln 2 pi + v^T S^-1 v), added onto loglik by one fma.
f64 kf_add_loglik_term(const kf_scratch& s, i64 m, f64 const_term,
                       f64 loglik) noexcept {
  f64 a = orv_logdet_from_chol(s.L, m) + const_term;
  a = a + orv_dot(s.v_buf, s.S_inv_v, m);
  return std::fma(-0.5, a, loglik);
}

// Writes row t of every requested history array.
void kf_store_period(const kf_inputs& in, const kf_scratch& s, const kf_outputs& out,
                     i64 t, bool with_shocks) noexcept {
  const i64 n = in.n, m = in.m, k = in.k;
  // eps_hat[t] (k) = M S^-1 v
  if (with_shocks) orv_matvec(s.M, s.S_inv_v, out.eps_hat + t * k, k, m);
  // y_filt (m) = d + C x_filt
  orv_matvec_plus_vec(in.C, s.x_filt_buf, in.d, s.y_filt_buf, m, n);
  store_row(out.x_pred, t, s.x_pred_buf, n);
  store_row(out.x_filt, t, s.x_filt_buf, n);
  store_row(out.P_pred, t, s.P_pred_buf, n * n);
  store_row(out.P_filt, t, s.P_filt_buf, n * n);
  store_row(out.y_pred, t, s.y_pred_buf, m);
  store_row(out.y_filt, t, s.y_filt_buf, m);
  store_row(out.innov, t, s.v_buf, m);
  store_row(out.std_innov, t, s.u_buf, m);
  store_row(out.S, t, s.S_buf, m * m);
}

}  // namespace

int kf_hot_loop(const kf_inputs* in, kf_outputs* out) {
  const i64 n = in->n, m = in->m, k = in->k;
  scratch_block block(kf_scratch_elements(n, m, k));
  if (!block) return KF_ERR_ALLOC;
  const kf_scratch s = kf_carve_scratch(block.data(), n, m, k);

  kf_build_bqbt(in->B, in->Q, s.temp_nk, s.BQBT, n, k);
  const bool store = in->store_history != 0;
  const bool with_shocks = store && in->return_shocks != 0;
  if (with_shocks) kf_build_shock_projection(in->B, in->C, in->Q, s.temp_km, s.M, n, k, m);

  const f64 const_term = static_cast<f64>(m) * kLog2Pi;
  f64 loglik = 0.0;
  const f64* x_prev = in->x0;
  const f64* P_prev = in->P0;
  int status = KF_OK;

  for (i64 t = 0; t < in->T; ++t) {
    kf_predict_period(*in, s, t, x_prev, P_prev);
    // L L^T = S (+ jitter I); a failure ends the sample with the earlier rows
    if (orv_chol(s.S_buf, in->jitter, s.L, m) != 0) {
      status = KF_ERR_NOT_PD;
      break;
    }
    kf_update_period(*in, s);
    loglik = kf_add_loglik_term(s, m, const_term, loglik);
    if (store) kf_store_period(*in, s, *out, t, with_shocks);
    x_prev = s.x_filt_buf;
    P_prev = s.P_filt_buf;
  }

  *out->loglik = loglik;
  return status;
}
