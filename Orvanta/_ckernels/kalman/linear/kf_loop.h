// The linear filter's loop: kf_hot_loop runs the prediction and update of
// every period through the steps of kf_steps.h. Each period only iterates
// and delegates; every sum follows the library's rule (one accumulator,
// ascending order, one std::fma per term), so the log-likelihood and the
// history are reproducible to the bit. kf_filter (kf_filter.h) runs the same
// loop with a kf_run beside it: then a period with missing entries takes the
// observed ones through the same steps at its own size, or only predicts.
// Part of a filter variant (filters_variant_linear.cpp).
#ifndef ORV_KF_LOOP_H
#define ORV_KF_LOOP_H

#include "kf_steps.h"
#include "../scratch.h"

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

// Its layout (see scratch.h): 2n + 7m + 6n^2 + 2m^2 + 5nm + nk + 2km values.
template <class Regions>
kf_scratch kf_scratch_regions(Regions& r, i64 n, i64 m, i64 k) noexcept {
  kf_scratch s{};
  s.x_pred_buf = r.take(n);
  s.x_filt_buf = r.take(n);
  s.y_pred_buf = r.take(m);
  s.y_filt_buf = r.take(m);
  s.v_buf = r.take(m);
  s.u_buf = r.take(m);
  s.S_inv_v = r.take(m);
  s.solve_f = r.take(m);
  s.solve_b = r.take(m);
  s.P_pred_buf = r.take(n, n);
  s.P_filt_buf = r.take(n, n);
  s.AT = r.take(n, n);
  s.IKC_T = r.take(n, n);
  s.temp_nn = r.take(n, n);
  s.BQBT = r.take(n, n);
  s.S_buf = r.take(m, m);
  s.L = r.take(m, m);
  s.PCt = r.take(n, m);
  s.KT = r.take(n, m);
  s.temp_nm = r.take(n, m);
  s.temp_mn = r.take(m, n);
  s.CT = r.take(n, m);
  s.temp_nk = r.take(n, k);
  s.M = r.take(k, m);
  s.temp_km = r.take(k, m);
  return s;
}

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

// Prediction of period t from (x_prev, P_prev): x_pred and P_pred. Products
// with A^T read the transpose made once per call (s.AT).
void kf_predict_state(const kf_inputs& in, const kf_scratch& s, const f64* x_prev,
                      const f64* P_prev) noexcept {
  const i64 n = in.n;
  // x_pred (n) = A x_prev
  row_times_matrix(x_prev, s.AT, nullptr, s.x_pred_buf, n, n);
  // P_pred (n x n) = BQBT + (A P_prev) A^T
  predict_cov(in.A, transposed_copy{s.AT}, P_prev, s.BQBT, s.temp_nn, s.P_pred_buf, n);
  if (in.symmetrize) orv_sym_inplace(s.P_pred_buf, n);
}

// A prediction given as it is (the first period of a diffuse start, whose
// moments are those of the prediction itself).
void kf_take_prediction(const kf_inputs& in, const kf_scratch& s, const f64* x_pred,
                        const f64* P_pred) noexcept {
  copy_values(s.x_pred_buf, x_pred, in.n);
  copy_values(s.P_pred_buf, P_pred, in.n * in.n);
  if (in.symmetrize) orv_sym_inplace(s.P_pred_buf, in.n);
}

// Innovation of period t from x_pred and P_pred: y_pred, v and S. Products
// with C^T read s.CT, the transpose of in.C.
void kf_innovation(const kf_inputs& in, const kf_scratch& s, i64 t) noexcept {
  const i64 n = in.n, m = in.m;
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

// Regions of kf_filter's scratch block that hold the observed entries of a
// partly observed period, packed.
struct kf_gap_scratch {
  f64* C;   // m n, the observed rows of C
  f64* CT;  // n m, their transpose
  f64* d;   // m
  f64* y;   // m
  f64* R;   // m^2, the block of R of the observed rows and columns
  f64* M;   // k m, the observed columns of the shock projection
};

// The steady state of kf_filter (kalman.h): once a fully observed period's
// predicted covariance has moved by less than `tol` in every entry, that
// period's moments are frozen and the fully observed periods after it run
// the state recursion alone. With tol 0 nothing is tracked.
struct kf_steady_state {
  f64 tol;              // the largest change that counts as settled; 0: off
  f64* P_pred_last;     // n^2: the predicted covariance of the period before
  bool have_last;       // P_pred_last holds a period this loop ran
  bool frozen;          // the fully observed periods run the state alone
  f64 logdet_term;      // log det S + m ln 2 pi of the frozen S
  const f64* P_filt;    // the frozen filtered covariance (s.P_filt_buf, or the
                        // history row of the period that froze it)
};

// What kf_filter runs the loop with, beside the model; kf_hot_loop runs it
// without (a null kf_run).
struct kf_run {
  kf_gap_scratch gap;
  kf_steady_state steady;
  f64* loglik_t;             // T: each period's log-likelihood term
  i64 first;                 // the first period of the loop (a diffuse phase
                             // filtered those before it)
  const f64* x_start;        // the state that period `first` starts from and
  const f64* P_start;        // its covariance: the filtered moments of the
                             // period before, or, with start_is_prediction,
  bool start_is_prediction;  // the predicted moments of period `first` itself
  f64 loglik;                // the log-likelihood of the periods before `first`
  i64 failed_period;         // where the loop stopped on KF_ERR_NOT_PD
};

// Entries of y[0 .. m) that are not NaN.
inline i64 count_observed(const f64* y, i64 m) noexcept {
  i64 count = 0;
  for (i64 j = 0; j < m; ++j) count += y[j] == y[j] ? 1 : 0;
  return count;
}

// Packs the m_t observed entries of row t: the rows of C, C^T's columns, d
// and y, the block of R and, with shocks, the columns of the shock
// projection s.M, in the order of the observables.
void kf_compact_observed(const kf_inputs& in, const kf_scratch& s, const kf_gap_scratch& g,
                         i64 t, i64 m_t, bool with_shocks) noexcept {
  const i64 n = in.n, m = in.m, k = in.k;
  const f64* y = in.y + t * m;
  i64 a = 0;
  for (i64 j = 0; j < m; ++j) {
    if (y[j] != y[j]) continue;
    copy_values(g.C + a * n, in.C + j * n, n);
    for (i64 l = 0; l < n; ++l) g.CT[l * m_t + a] = in.C[j * n + l];
    g.d[a] = in.d[j];
    g.y[a] = y[j];
    i64 b = 0;
    for (i64 i = 0; i < m; ++i)
      if (y[i] == y[i]) g.R[a * m_t + b++] = in.R[j * m + i];
    if (with_shocks)
      for (i64 r = 0; r < k; ++r) g.M[r * m_t + a] = s.M[r * m + j];
    ++a;
  }
}

// The history rows of a period with missing entries, once x_pred, P_pred and
// x_filt are known and, for its observed entries, v and u (packed): y_pred,
// y_filt and S over every observable, innov and std_innov NaN where y is.
void kf_store_gap_rows(const kf_inputs& in, const kf_scratch& s, const kf_outputs& out,
                       const kf_period_out& p, i64 t) noexcept {
  const i64 n = in.n, m = in.m;
  const f64* y = in.y + t * m;
  constexpr f64 kMissing = __builtin_nan("");
  // y_pred (m) = d + C x_pred;  y_filt (m) = d + C x_filt. Each entry is the
  // same sum as in the packed rows, so the observed ones agree with v.
  row_times_matrix(s.x_pred_buf, s.CT, in.d, out.y_pred + t * m, n, m);
  row_times_matrix(p.x_filt, s.CT, in.d, out.y_filt + t * m, n, m);
  f64* innov = out.innov + t * m;
  f64* std_innov = out.std_innov + t * m;
  for (i64 j = 0, a = 0; j < m; ++j) {
    const bool observed = y[j] == y[j];
    innov[j] = observed ? s.v_buf[a] : kMissing;
    std_innov[j] = observed ? s.u_buf[a] : kMissing;
    a += observed ? 1 : 0;
  }
  store_row(out.x_pred, t, s.x_pred_buf, n);
  store_row(out.P_pred, t, s.P_pred_buf, n * n);
  // S (m x m) = R + (C P_pred) C^T over every row
  f64* S = out.S + t * m * m;
  measurement_cov(in.C, transposed_copy{s.CT}, s.P_pred_buf, in.R, s.temp_mn, S, n, m);
  if (in.symmetrize) orv_sym_inplace(S, m);
}

// A period with m_t < m observed entries, once predicted: the update by the
// observed entries alone, through the steps of a full period on the packed
// operands at size m_t (with none, x_filt = x_pred and P_filt = P_pred), the
// log-likelihood term, and the history rows. Kept out of line, so that the
// loops specialised for small models stay as small as kf_hot_loop's; `in` is
// a copy for the same reason (the loop's own stays a constant).
[[gnu::noinline]] int kf_gap_period(const kf_inputs in, const kf_scratch& s,
                                    const kf_outputs& out, kf_run& run,
                                    const kf_period_out& p, i64 t, i64 m_t,
                                    f64& loglik) noexcept {
  const i64 n = in.n, k = in.k;
  const bool store = in.store_history != 0;
  const bool with_shocks = store && in.return_shocks != 0;
  f64 term = 0.0;
  if (m_t == 0) {
    copy_values(p.x_filt, s.x_pred_buf, n);
    copy_values(p.P_filt, s.P_pred_buf, n * n);
    if (with_shocks)
      for (i64 r = 0; r < k; ++r) out.eps_hat[t * k + r] = 0.0;
  } else {
    const kf_gap_scratch& g = run.gap;
    kf_compact_observed(in, s, g, t, m_t, with_shocks);
    kf_inputs packed = in;
    packed.m = m_t;
    packed.C = g.C;
    packed.d = g.d;
    packed.R = g.R;
    packed.y = g.y;
    kf_scratch ps = s;
    ps.CT = g.CT;
    ps.M = g.M;
    kf_innovation(packed, ps, 0);
    if (orv_chol(ps.S_buf, in.jitter, ps.L, m_t) != 0) return KF_ERR_NOT_PD;
    kf_update_period(packed, ps, {p.x_filt, p.P_filt, s.u_buf, s.y_filt_buf});
    term = -0.5 * loglik_sum(ps.L, ps.v_buf, ps.S_inv_v, m_t,
                             static_cast<f64>(m_t) * kLog2Pi);
    // eps_hat[t] (k) = M_t S_t^-1 v_t
    if (with_shocks) orv_matvec(g.M, s.S_inv_v, out.eps_hat + t * k, k, m_t);
  }
  loglik = loglik + term;
  run.loglik_t[t] = term;
  if (store) kf_store_gap_rows(in, s, out, p, t);
  return KF_OK;
}

// Whether |now[i] - last[i]| < tol for every i < len (false where a
// difference is NaN), with last = now afterwards: one pass without branches,
// which the compiler vectorises, so that watching costs a period little.
inline bool settled_then_keep(const f64* now, f64* last, i64 len, f64 tol) noexcept {
  bool settled = true;
  for (i64 i = 0; i < len; ++i) {
    settled &= std::fabs(now[i] - last[i]) < tol;
    last[i] = now[i];
  }
  return settled;
}

// After a period the loop ran in full (predicted in s.P_pred_buf; with every
// entry observed, its factor in s.L and its filtered covariance in P_filt):
// freezes the period's moments when its predicted covariance moved by less
// than the tolerance from the period before's, and keeps it for the next
// comparison. Kept out of line: a filter without a steady state never calls it.
[[gnu::noinline]] void kf_watch_steady_state(const kf_scratch& s, kf_steady_state& st,
                                             const f64* P_filt, i64 n, i64 m,
                                             bool observed_fully, f64 const_term) noexcept {
  const bool settled = settled_then_keep(s.P_pred_buf, st.P_pred_last, n * n, st.tol) &&
                       observed_fully && st.have_last;
  st.have_last = true;
  if (!settled) return;
  st.frozen = true;
  // the first half of loglik_sum, which the frozen periods share
  st.logdet_term = logdet_term(s.L, m, const_term);
  st.P_filt = P_filt;
}

// A fully observed period in the steady state: the state recursion with the
// frozen gain and factor of S, by the same sums as a full period (so a
// period's state bits follow from the frozen moments alone), and the
// log-likelihood term with the frozen log det S. Its history rows of P_pred,
// P_filt and S are the frozen ones.
[[gnu::noinline]] void kf_steady_period(const kf_inputs in, const kf_scratch& s,
                                        const kf_outputs& out, kf_run& run,
                                        const kf_period_out& p, const f64* x_prev, i64 t,
                                        f64& loglik) noexcept {
  const i64 n = in.n, m = in.m;
  const bool store = in.store_history != 0;
  // x_pred (n) = A x_prev;  y_pred (m) = d + C x_pred;  v = y_t - y_pred
  row_times_matrix(x_prev, s.AT, nullptr, s.x_pred_buf, n, n);
  row_times_matrix(s.x_pred_buf, s.CT, in.d, s.y_pred_buf, n, m);
  kf_row_minus_vec(in.y, t, s.y_pred_buf, s.v_buf, m);
  // u (m) = L^-1 v;  S_inv_v (m) = L^-T u;  x_filt (n) = x_pred + K v
  orv_forward_subst(s.L, s.v_buf, p.u, m);
  orv_backward_subst_chol_t(s.L, p.u, s.S_inv_v, m);
  row_times_matrix(s.v_buf, s.KT, s.x_pred_buf, p.x_filt, m, n);
  const f64 sum = run.steady.logdet_term + orv_dot(s.v_buf, s.S_inv_v, m);
  loglik = std::fma(-0.5, sum, loglik);
  run.loglik_t[t] = -0.5 * sum;
  if (!store) return;
  if (p.P_filt != run.steady.P_filt) copy_values(p.P_filt, run.steady.P_filt, n * n);
  kf_store_period(in, s, out, p, t, in.return_shocks != 0);
}

// Runs the periods of the sample and writes the log-likelihood; returns the
// status of the loop. With a kf_run, the loop starts where it says, writes
// each period's term, and hands a period with missing entries to
// kf_gap_period; its fully observed periods run exactly as kf_hot_loop's.
int kf_run_periods(const kf_inputs& in, const kf_outputs& out, const kf_scratch& s,
                   kf_run* run) noexcept {
  const i64 n = in.n, m = in.m;
  const bool store = in.store_history != 0;
  const bool with_shocks = store && in.return_shocks != 0;
  const f64 const_term = static_cast<f64>(m) * kLog2Pi;
  f64 loglik = run != nullptr ? run->loglik : 0.0;
  const f64* x_prev = run != nullptr ? run->x_start : in.x0;
  const f64* P_prev = run != nullptr ? run->P_start : in.P0;
  int status = KF_OK;

  for (i64 t = run != nullptr ? run->first : 0; t < in.T; ++t) {
    const kf_period_out p = kf_period_destinations(s, out, t, n, m, store);
    // the observed entries; kf_hot_loop, which runs without a kf_run, takes y
    // as fully observed
    const i64 m_t = run != nullptr ? count_observed(in.y + t * m, m) : m;
    if (run != nullptr && run->steady.frozen) {
      // a missing entry leaves the steady state; this period then runs in full
      run->steady.frozen = m_t == m;
      if (run->steady.frozen) {
        kf_steady_period(in, s, out, *run, p, x_prev, t, loglik);
        x_prev = p.x_filt;
        P_prev = run->steady.P_filt;
        continue;
      }
    }
    if (run != nullptr && run->start_is_prediction && t == run->first)
      kf_take_prediction(in, s, x_prev, P_prev);
    else
      kf_predict_state(in, s, x_prev, P_prev);
    if (m_t < m) {
      status = kf_gap_period(in, s, out, *run, p, t, m_t, loglik);
      if (status != KF_OK) {
        run->failed_period = t;
        break;
      }
      if (run->steady.tol > 0.0)
        kf_watch_steady_state(s, run->steady, p.P_filt, n, m, false, const_term);
      x_prev = p.x_filt;
      P_prev = p.P_filt;
      continue;
    }
    kf_innovation(in, s, t);
    // L L^T = S (+ jitter I); a failure ends the sample with the earlier rows
    if (orv_chol(s.S_buf, in.jitter, s.L, m) != 0) {
      status = KF_ERR_NOT_PD;
      if (run != nullptr) run->failed_period = t;
      break;
    }
    kf_update_period(in, s, p);
    const f64 sum = loglik_sum(s.L, s.v_buf, s.S_inv_v, m, const_term);
    loglik = std::fma(-0.5, sum, loglik);
    if (run != nullptr) run->loglik_t[t] = -0.5 * sum;
    if (store) kf_store_period(in, s, out, p, t, with_shocks);
    if (run != nullptr && run->steady.tol > 0.0)
      kf_watch_steady_state(s, run->steady, p.P_filt, n, m, true, const_term);
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
// state dimension is the constant N and, unless M is 0, whose observable
// dimension is the constant M, so that the products unroll completely and
// their size branches fold.
template <i64 N, i64 M>
[[gnu::flatten]] int kf_run_periods_fixed(const kf_inputs& in, const kf_outputs& out,
                                          const kf_scratch& s, kf_run* run) noexcept {
  kf_inputs fixed = in;
  fixed.n = N;
  if constexpr (M > 0) fixed.m = M;
  return kf_run_periods(fixed, out, s, run);
}

// The periods of a model with more states than kMaxFixedStates: in a loop
// specialised for its state dimension alone where there is one (9 to 12,
// 16 and 20: the square products of the state, which dominate these sizes,
// run a fifth to a third faster with it; each loop adds to the build time).
int kf_run_medium_sample(const kf_inputs& in, const kf_outputs& out, const kf_scratch& s,
                         kf_run* run) noexcept {
  if constexpr (kSpecialisedLoops) {
    return with_listed_size<9, 10, 11, 12, 16, 20>(
        in.n, [&]<i64 N>() { return kf_run_periods_fixed<N, 0>(in, out, s, run); },
        [&] { return kf_run_periods(in, out, s, run); });
  }
  return kf_run_periods(in, out, s, run);
}

// The periods, in the loop specialised for the model's dimensions where
// there is one.
int kf_run_sample(const kf_inputs& in, const kf_outputs& out, const kf_scratch& s,
                  kf_run* run) noexcept {
  // Small models, where the per-product overhead outweighs the arithmetic,
  // take the loop specialised for their (n, m).
  return with_small_sizes<kMaxFixedStates, kMaxFixedObs>(
      in.n, in.m,
      [&]<i64 N, i64 M>() { return kf_run_periods_fixed<N, M>(in, out, s, run); },
      [&] { return kf_run_medium_sample(in, out, s, run); });
}

// The set-up both loops share: B Q B^T, the shock projection when the shocks
// are stored, and the transposes of A and C.
void kf_prepare(const kf_inputs& in, const kf_scratch& s) noexcept {
  const i64 n = in.n, m = in.m, k = in.k;
  kf_build_bqbt(in.B, in.Q, s.temp_nk, s.BQBT, n, k);
  if (in.store_history != 0 && in.return_shocks != 0)
    kf_build_shock_projection(in.B, in.C, in.Q, s.temp_km, s.M, n, k, m);
  if (in.T > 0) {
    transpose_into(in.A, n, n, s.AT);
    transpose_into(in.C, m, n, s.CT);
  }
}

}  // namespace

int kf_hot_loop(const kf_inputs* in, kf_outputs* out) {
  const i64 n = in->n, m = in->m, k = in->k;
  const i64 elements = layout_elements([&](auto& r) { kf_scratch_regions(r, n, m, k); });
  scratch_block block(elements);
  if (!block) return KF_ERR_ALLOC;
  region_carver regions(block.data(), elements);
  const kf_scratch s = kf_scratch_regions(regions, n, m, k);
  kf_prepare(*in, s);
  return kf_run_sample(*in, *out, s, nullptr);
}

}  // namespace ORV_VARIANT

#endif  // ORV_KF_LOOP_H
