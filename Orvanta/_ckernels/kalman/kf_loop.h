// The linear filter's loop: kf_hot_loop runs the prediction and update of
// every period through the steps of kf_steps.h. Each period only iterates
// and delegates; every sum follows the library's rule (one accumulator,
// ascending order, one std::fma per term), so the log-likelihood and the
// history are reproducible to the bit. Part of a filter variant
// (filters_variant.cpp).
#ifndef ORV_KF_LOOP_H
#define ORV_KF_LOOP_H

#include "kf_steps.h"
#include "scratch.h"

namespace ORV_VARIANT {

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

// out (n x m) = addend + a . b with a (n x p) read as a[r * a_row + k * a_col]
// and b (p x m) read in place; addend may be null or out itself.
inline void product_in_place(const f64* a, i64 a_row, i64 a_col, const f64* b, i64 p,
                             const f64* addend, f64* out, i64 n, i64 m) noexcept {
  product_direct_by_height({a, a_row, a_col, b, m, sum_length(p), out, m, nullptr, addend, m},
                           n, m);
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
  predict_cov(in.A, transposed_copy{s.AT}, P_prev, s.BQBT, s.temp_nn, s.P_pred_buf, n);
  if (in.symmetrize) orv_sym_inplace(s.P_pred_buf, n);
  // y_pred (m) = d + C x_pred
  row_times_matrix(s.x_pred_buf, s.CT, in.d, s.y_pred_buf, n, m);
  // v (m) = y_t - y_pred
  kf_row_minus_vec(in.y, t, s.y_pred_buf, s.v_buf, m);
  // S (m x m) = R + (C P_pred) C^T
  measurement_cov(in.C, transposed_copy{s.CT}, s.P_pred_buf, in.R, s.temp_mn, s.S_buf, n, m);
  if (in.symmetrize) orv_sym_inplace(s.S_buf, m);
}

// P_filt (n x n) = (I - K C) P_pred (I - K C)^T + K R K^T from the transposed
// gain: the sums of kf_joseph_cov, with K read through KT and (I - K C)
// formed transposed, so that no operand is packed. The exported step keeps
// K C and I - K C in its scratch instead, hence the two bodies.
void joseph_from_kt(const kf_inputs& in, const kf_scratch& s, f64* P_filt) noexcept {
  const i64 n = in.n, m = in.m;
  // IKC_T (n x n) = (K C)^T = C^T K^T, then I minus it; the diagonal is
  // where the transpose keeps it
  product_in_place(s.CT, m, 1, s.KT, m, nullptr, s.IKC_T, n, n);
  identity_minus(s.IKC_T, s.IKC_T, n);
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
  strided<const f64> pct{s.temp_mn, 1, n};
  if (!in.symmetrize) {
    pc_t(s.P_pred_buf, transposed_copy{s.CT}, s.PCt, n, m);
    pct = {s.PCt, m, 1};
  }
  solve_gain(s.L, pct, {s.KT, 1, n}, s.solve_f, s.solve_b, n, m);
  // x_filt (n) = x_pred + K v
  row_times_matrix(s.v_buf, s.KT, s.x_pred_buf, p.x_filt, m, n);
  joseph_from_kt(in, s, p.P_filt);
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

}  // namespace ORV_VARIANT

#endif  // ORV_KF_LOOP_H
