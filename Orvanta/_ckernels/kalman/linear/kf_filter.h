// kf_filter: the loop of kf_loop.h on data with missing entries, from a
// known, a stationary or an exact diffuse start. The stationary covariance
// is solved by doubling (kf_stationary_cov.h); the diffuse periods run the
// exact diffuse recursions of Durbin and Koopman one observed entry at a
// time (Koopman and Durbin, 2000), and the loop of kf_loop.h takes over once
// the diffuse part of the covariance has vanished. Part of a filter variant
// (filters_variant_linear.cpp).
#ifndef ORV_KF_FILTER_H
#define ORV_KF_FILTER_H

#include <cmath>

#include "kf_diffuse_records.h"
#include "kf_ldl.h"
#include "kf_loop.h"
#include "kf_stationary_cov.h"

namespace ORV_VARIANT {

namespace {

// The regions kf_filter adds after those of kf_scratch, in carving order.
struct kf_filter_scratch {
  kf_gap_scratch gap;  // 2mn + 2m + m^2 + km: the observed entries of a period
  f64* h;              // m   their measurement variances (diffuse phase)
  f64* col;            // m   a column being transformed (diffuse phase)
  f64* x_start;        // n   the state the loop starts from
  f64* P_start;        // n^2 its covariance
  f64* P_inf;          // n^2 the diffuse part of the predicted covariance
  f64* M_star;         // n   P_* z
  f64* M_inf;          // n   P_inf z
  f64* K;              // n   the gain of one entry
  f64* KF;             // n   K F
  f64* G;              // k n covariance of the shocks with the state
  f64* QBt;            // k n Q B^T, where G starts each period
  f64* g;              // k   covariance of the shocks with one entry
  f64* eps;            // k   the shock estimate of the period
  f64* P_pred_last;    // n^2 the predicted covariance of the period before
                       //     (steady state)
};

// Its layout (see scratch.h): 2mn + 4m + m^2 + km + 5n + 3n^2 + 2kn + 2k values.
template <class Regions>
kf_filter_scratch kf_filter_scratch_regions(Regions& r, i64 n, i64 m, i64 k) noexcept {
  kf_filter_scratch x{};
  x.gap.C = r.take(m, n);
  x.gap.CT = r.take(n, m);
  x.gap.d = r.take(m);
  x.gap.y = r.take(m);
  x.gap.R = r.take(m, m);
  x.gap.M = r.take(k, m);
  x.h = r.take(m);
  x.col = r.take(m);
  x.x_start = r.take(n);
  x.P_start = r.take(n, n);
  x.P_inf = r.take(n, n);
  x.M_star = r.take(n);
  x.M_inf = r.take(n);
  x.K = r.take(n);
  x.KF = r.take(n);
  x.G = r.take(k, n);
  x.QBt = r.take(k, n);
  x.g = r.take(k);
  x.eps = r.take(k);
  x.P_pred_last = r.take(n, n);
  return x;
}

// kf_filter's block: the loop's regions, then those it adds.
struct kf_filter_block {
  kf_scratch loop;
  kf_filter_scratch filter;
};

template <class Regions>
kf_filter_block kf_filter_block_regions(Regions& r, i64 n, i64 m, i64 k) noexcept {
  kf_filter_block b{};
  b.loop = kf_scratch_regions(r, n, m, k);
  b.filter = kf_filter_scratch_regions(r, n, m, k);
  return b;
}

// dst[0 .. len) = src, or zeros when src is null.
inline void copy_or_zero(f64* dst, const f64* src, i64 len) noexcept {
  if (src != nullptr)
    copy_values(dst, src, len);
  else
    for (i64 i = 0; i < len; ++i) dst[i] = 0.0;
}

// ---- the exact diffuse start -----------------------------------------------------------

// statsmodels' tolerance: a period is diffuse while the sum of squares of
// its predicted P_inf exceeds it, an entry takes the diffuse update when its
// F_inf does.
constexpr f64 kDiffuseTolerance = 1e-10;

f64 sum_of_squares(const f64* a, i64 len) noexcept {
  f64 s = 0.0;
  for (i64 i = 0; i < len; ++i) s = std::fma(a[i], a[i], s);
  return s;
}

// The m_t observed entries of period t as independent scalar observations:
// rows z (x.gap.C, m_t x n), values w = y - d (x.gap.y) and variances
// (x.h). When the observed block R_o of R has an off-diagonal entry that is
// not zero, R_o = L D L^T with L unit lower triangular, and the entries are
// transformed by L^-1 (z = L^-1 C_o, w = L^-1 (y_o - d_o), variances D),
// which leaves the likelihood as it is; `transformed` says whether that
// happened. s.L then holds a lower triangular F with L = F diag(F)^-1: the
// Cholesky factor F = L D^1/2 where R_o has one, else L itself, from
// ldl_semidefinite (kf_ldl.h), whose zero pivots make entries of zero
// variance (an observable whose measurement error is a combination of those
// before it). Both are applied alike, as L^-1 = diag(F) F^-1, which for a
// unit diagonal is L^-1 to the bit. Returns false when R_o is not positive
// semidefinite.
bool kf_univariate_entries(const kf_inputs& in, const kf_scratch& s,
                           const kf_filter_scratch& x, i64 t, i64 m_t,
                           bool& transformed) noexcept {
  const i64 n = in.n;
  const kf_gap_scratch& g = x.gap;
  kf_compact_observed(in, s, g, t, m_t, false);
  bool diagonal = true;
  for (i64 a = 0; a < m_t; ++a) {
    g.y[a] = g.y[a] - g.d[a];
    x.h[a] = g.R[a * m_t + a];
    for (i64 b = 0; b < m_t; ++b) diagonal = diagonal && (a == b || g.R[a * m_t + b] == 0.0);
  }
  transformed = !diagonal;
  if (diagonal) return true;
  if (orv_chol(g.R, 0.0, s.L, m_t) == 0) {
    for (i64 a = 0; a < m_t; ++a) x.h[a] = s.L[a * m_t + a] * s.L[a * m_t + a];
  } else if (!ldl_semidefinite(g.R, s.L, x.h, x.col, m_t)) {
    return false;
  }
  for (i64 l = 0; l < n; ++l) {
    for (i64 a = 0; a < m_t; ++a) x.col[a] = g.C[a * n + l];
    orv_forward_subst(s.L, x.col, x.col, m_t);
    for (i64 a = 0; a < m_t; ++a) g.C[a * n + l] = x.col[a] * s.L[a * m_t + a];
  }
  orv_forward_subst(s.L, g.y, g.y, m_t);
  for (i64 a = 0; a < m_t; ++a) g.y[a] = g.y[a] * s.L[a * m_t + a];
  return true;
}

// What one entry of a diffuse period saw: its innovation v, its variances F
// and F_inf, and which update it took. The record of the diffuse periods
// (kf_diffuse_records.h) keeps these for the smoother's backward pass.
struct kf_entry_seen {
  f64 v, F, F_inf;
  bool diffuse;  // took the diffuse update
};

// One scalar observation w = z x + e, Var e = h, in a diffuse period: the
// state a (n), the finite and diffuse parts P and P_inf of its covariance,
// and, with shocks, the shock estimate x.eps and the shocks' covariance x.G
// with the state, all updated in place; the entry's log-likelihood term is
// added to `term`. With v = w - z a, F = z P z^T + h (+ jitter) and
// F_inf = z P_inf z^T, the limits as kappa -> infinity of the ordinary
// update are, when F_inf > 0 (K = P_inf z^T / F_inf):
//   a += K v,  P += K K^T F - K (P z^T)^T - (P z^T) K^T,
//   P_inf -= K (P_inf z^T)^T,  term -0.5 (ln 2 pi + ln F_inf),
//   G -= (G z^T) (P_inf z^T)^T / F_inf, the shock estimate unchanged;
// and when F_inf = 0 the ordinary update (K = P z^T / F). The covariances are
// formed on and below the diagonal and mirrored. Returns false when F_inf is
// zero and F is not positive beyond rounding. P z^T and P_inf z^T stay in
// x.M_star and x.M_inf, and what the entry saw goes to `seen`.
bool kf_diffuse_entry(const f64* z, f64 w, f64 h, f64 jitter, f64* a, f64* P, f64* P_inf,
                      const kf_filter_scratch& x, i64 n, i64 k, bool with_shocks,
                      f64& term, kf_entry_seen& seen) noexcept {
  const f64 v = w - orv_dot(z, a, n);
  orv_matvec(P, z, x.M_star, n, n);
  f64 F = orv_dot(z, x.M_star, n) + h;
  if (jitter > 0.0) F = F + jitter;
  orv_matvec(P_inf, z, x.M_inf, n, n);
  const f64 F_inf = orv_dot(z, x.M_inf, n);
  if (with_shocks) orv_matvec(x.G, z, x.g, k, n);
  seen = {v, F, F_inf, F_inf > kDiffuseTolerance};

  if (F_inf > kDiffuseTolerance) {
    for (i64 i = 0; i < n; ++i) {
      x.K[i] = x.M_inf[i] / F_inf;
      x.KF[i] = x.K[i] * F;
      a[i] = std::fma(x.K[i], v, a[i]);
    }
    for (i64 i = 0; i < n; ++i) {
      for (i64 j = 0; j <= i; ++j) {
        f64 p = P[i * n + j];
        p = std::fma(-x.K[i], x.M_star[j], p);
        p = std::fma(-x.M_star[i], x.K[j], p);
        p = std::fma(x.KF[i], x.K[j], p);
        P[i * n + j] = P[j * n + i] = p;
        const f64 q = std::fma(-x.K[i], x.M_inf[j], P_inf[i * n + j]);
        P_inf[i * n + j] = P_inf[j * n + i] = q;
      }
    }
    if (with_shocks) {
      for (i64 r = 0; r < k; ++r) {
        const f64 c = x.g[r] / F_inf;
        for (i64 j = 0; j < n; ++j) x.G[r * n + j] = std::fma(-c, x.M_inf[j], x.G[r * n + j]);
      }
    }
    term = std::fma(-0.5, std::log(F_inf) + kLog2Pi, term);
    return true;
  }

  // F must be positive beyond the rounding of its terms.
  f64 scale = std::fabs(h) + (jitter > 0.0 ? jitter : 0.0);
  for (i64 i = 0; i < n; ++i) scale = std::fma(std::fabs(z[i]), std::fabs(x.M_star[i]), scale);
  if (!(F > kEpsilon * scale) || !(F > 0.0)) return false;
  for (i64 i = 0; i < n; ++i) {
    x.K[i] = x.M_star[i] / F;
    a[i] = std::fma(x.K[i], v, a[i]);
  }
  for (i64 i = 0; i < n; ++i) {
    for (i64 j = 0; j <= i; ++j) {
      const f64 p = std::fma(-x.K[i], x.M_star[j], P[i * n + j]);
      P[i * n + j] = P[j * n + i] = p;
    }
  }
  if (with_shocks) {
    for (i64 r = 0; r < k; ++r) {
      const f64 c = x.g[r] / F;
      x.eps[r] = std::fma(c, v, x.eps[r]);
      for (i64 j = 0; j < n; ++j) x.G[r * n + j] = std::fma(-c, x.M_star[j], x.G[r * n + j]);
    }
  }
  f64 sum = std::log(F) + kLog2Pi;
  sum = sum + v * (v / F);
  term = std::fma(-0.5, sum, term);
  return true;
}

// The history rows of a diffuse period: x_pred, x_filt, P_pred and P_filt
// (their finite parts), y_pred, y_filt and S = C P_pred C^T + R over every
// observable, innov (NaN where y is missing), std_innov NaN throughout and,
// with shocks, eps_hat.
void kf_store_diffuse_rows(const kf_inputs& in, const kf_scratch& s,
                           const kf_filter_scratch& x, const kf_outputs& out,
                           const f64* x_filt, const f64* P_filt, i64 t,
                           bool with_shocks) noexcept {
  const i64 n = in.n, m = in.m, k = in.k;
  store_row(out.x_filt, t, x_filt, n);
  store_row(out.P_filt, t, P_filt, n * n);
  const f64* y = in.y + t * m;
  constexpr f64 kMissing = __builtin_nan("");
  f64* y_pred = out.y_pred + t * m;
  row_times_matrix(s.x_pred_buf, s.CT, in.d, y_pred, n, m);
  row_times_matrix(x_filt, s.CT, in.d, out.y_filt + t * m, n, m);
  for (i64 j = 0; j < m; ++j) {
    out.innov[t * m + j] = y[j] == y[j] ? y[j] - y_pred[j] : kMissing;
    out.std_innov[t * m + j] = kMissing;
  }
  store_row(out.x_pred, t, s.x_pred_buf, n);
  store_row(out.P_pred, t, s.P_pred_buf, n * n);
  f64* S = out.S + t * m * m;
  measurement_cov(in.C, transposed_copy{s.CT}, s.P_pred_buf, in.R, s.temp_mn, S, n, m);
  if (in.symmetrize) orv_sym_inplace(S, m);
  if (with_shocks) store_row(out.eps_hat, t, x.eps, k);
}

// P_inf (n x n) of the first period: diag(diffuse), or the identity.
void kf_initial_diffuse_cov(const kf_filter_inputs& fin, f64* P_inf) noexcept {
  const i64 n = fin.model.n;
  for (i64 i = 0; i < n * n; ++i) P_inf[i] = 0.0;
  for (i64 i = 0; i < n; ++i) P_inf[i * n + i] = fin.diffuse != nullptr ? fin.diffuse[i] : 1.0;
}

// P_inf of the next period = (A P_inf) A^T, in place.
void kf_next_diffuse_cov(const kf_inputs& in, const kf_scratch& s, f64* P_inf) noexcept {
  const i64 n = in.n;
  orv_matmul(in.A, P_inf, s.temp_nn, n, n, n);
  product_abt(s.temp_nn, transposed_copy{s.AT}, nullptr, P_inf, n, n, n);
  if (in.symmetrize) orv_sym_inplace(P_inf, n);
}

// The diffuse periods, from the first, for as long as the predicted P_inf is
// not zero (its sum of squares exceeds kDiffuseTolerance). Period 0 is
// predicted as (x.x_start, x.P_start, diag(diffuse)), each later one from
// the period before, with P_inf carried as A P_inf A^T. On return, `run`
// says where the loop of kf_loop.h takes over: after the last diffuse
// period, from its filtered moments, or at period 0 from the start itself.
// Returns KF_OK, or KF_ERR_NOT_PD (with run.failed_period and run.loglik)
// when an observed block of R is not positive semidefinite or an entry's
// variance is not positive.
// Given a recorder, it also records each period as the smoother needs it
// (kf_diffuse_records.h); KF_ERR_ALLOC when the record cannot grow.
int kf_diffuse_phase(const kf_filter_inputs& fin, const kf_scratch& s,
                     const kf_filter_scratch& x, const kf_outputs& out, kf_run& run,
                     i64* periods, diffuse_recorder* recorder) noexcept {
  const kf_inputs& in = fin.model;
  const i64 n = in.n, m = in.m, k = in.k;
  const bool store = in.store_history != 0;
  const bool with_shocks = store && in.return_shocks != 0;
  kf_initial_diffuse_cov(fin, x.P_inf);

  const f64* x_prev = x.x_start;
  const f64* P_prev = x.P_start;
  f64 loglik = 0.0;
  int status = KF_OK;
  i64 t = 0;
  for (; t < in.T && sum_of_squares(x.P_inf, n * n) > kDiffuseTolerance; ++t) {
    if (t == 0)
      kf_take_prediction(in, s, x_prev, P_prev);
    else
      kf_predict_state(in, s, x_prev, P_prev);
    // The entries update the filtered moments in place, from the predicted,
    // in scratch: a failing period leaves its rows of the history untouched.
    f64* x_filt = s.x_filt_buf;
    f64* P_filt = s.P_filt_buf;
    copy_values(x_filt, s.x_pred_buf, n);
    copy_values(P_filt, s.P_pred_buf, n * n);
    if (with_shocks) {
      copy_values(x.G, x.QBt, k * n);
      for (i64 r = 0; r < k; ++r) x.eps[r] = 0.0;
    }
    f64 term = 0.0;
    const i64 m_t = count_observed(in.y + t * m, m);
    if (recorder != nullptr && !recorder->reserve_through(t)) {
      status = KF_ERR_ALLOC;
      break;
    }
    bool transformed = false;
    bool ok = m_t == 0 || kf_univariate_entries(in, s, x, t, m_t, transformed);
    if (ok && recorder != nullptr)
      recorder->records().store_period_start(t, m_t, transformed ? s.L : nullptr, x.P_inf);
    for (i64 a = 0; ok && a < m_t; ++a) {
      const f64* z = x.gap.C + a * n;
      kf_entry_seen seen{};
      ok = kf_diffuse_entry(z, x.gap.y[a], x.h[a], in.jitter, x_filt, P_filt, x.P_inf, x, n, k,
                            with_shocks, term, seen);
      if (ok && recorder != nullptr)
        diffuse_entry{z, x.M_star, x.M_inf, seen.v, seen.F, seen.F_inf, x.h[a], seen.diffuse}
            .store(recorder->records().entry(t, a), n);
    }
    if (!ok) {
      status = KF_ERR_NOT_PD;
      break;
    }
    loglik = loglik + term;
    run.loglik_t[t] = term;
    if (store) kf_store_diffuse_rows(in, s, x, out, x_filt, P_filt, t, with_shocks);
    kf_next_diffuse_cov(in, s, x.P_inf);
    x_prev = x_filt;
    P_prev = P_filt;
  }

  *periods = t;
  run.first = t;
  run.loglik = loglik;
  run.x_start = x_prev;
  run.P_start = P_prev;
  run.start_is_prediction = t == 0;
  if (status != KF_OK) run.failed_period = t;
  return status;
}

// kf_filter with the steady state of tolerance steady_state_tol (0: none),
// with the diffuse periods recorded when `recorder` is given.
int kf_filter_run(const kf_filter_inputs* fin, kf_filter_outputs* fout,
                  diffuse_recorder* recorder, f64 steady_state_tol) noexcept {
  const kf_inputs& in = fin->model;
  const i64 n = in.n, m = in.m, k = in.k;
  fout->nobs = 0;
  fout->diffuse_periods = 0;
  fout->where = -1;
  const i64 total = layout_elements([&](auto& r) { kf_filter_block_regions(r, n, m, k); });
  if (total < 0) return KF_ERR_ALLOC;
  const int init = fin->init;
  if (init != KF_INIT_KNOWN && init != KF_INIT_STATIONARY && init != KF_INIT_DIFFUSE)
    return KF_ERR_INPUT;
  if (init == KF_INIT_KNOWN && n > 0 && (in.x0 == nullptr || in.P0 == nullptr))
    return KF_ERR_INPUT;

  // The observed entries; an infinity is an error of the data.
  for (i64 t = 0; t < in.T; ++t) {
    for (i64 j = 0; j < m; ++j) {
      const f64 value = in.y[t * m + j];
      if (value != value) continue;
      if (std::isinf(value)) {
        fout->where = t * m + j;
        return KF_ERR_INFINITE_OBS;
      }
      ++fout->nobs;
    }
  }

  scratch_block block(total);
  if (!block) return KF_ERR_ALLOC;
  region_carver regions(block.data(), total);
  const kf_filter_block carved = kf_filter_block_regions(regions, n, m, k);
  const kf_scratch& s = carved.loop;
  const kf_filter_scratch& x = carved.filter;
  kf_prepare(in, s);

  kf_run run{};
  run.gap = x.gap;
  run.loglik_t = fout->loglik_t;
  run.failed_period = -1;
  run.steady.tol = steady_state_tol > 0.0 ? steady_state_tol : 0.0;
  run.steady.P_pred_last = x.P_pred_last;
  if (init == KF_INIT_KNOWN) {
    run.x_start = in.x0;
    run.P_start = in.P0;
  } else {
    copy_or_zero(x.x_start, in.x0, n);
    run.x_start = x.x_start;
    run.P_start = x.P_start;
  }
  if (init == KF_INIT_STATIONARY &&
      !stationary_cov(in.A, s.BQBT, x.P_start, s.IKC_T, s.P_pred_buf, s.temp_nn, s.P_filt_buf,
                      n))
    return KF_ERR_NOT_STATIONARY;
  if (init == KF_INIT_DIFFUSE) {
    copy_or_zero(x.P_start, in.P0, n * n);
    if (in.store_history != 0 && in.return_shocks != 0) orv_matmul_abt(in.Q, in.B, x.QBt, k, k, n);
    const int status =
        kf_diffuse_phase(*fin, s, x, fout->history, run, &fout->diffuse_periods, recorder);
    if (status != KF_OK) {
      *fout->history.loglik = run.loglik;
      fout->where = run.failed_period;
      return status;
    }
  }

  const int status = kf_run_sample(in, fout->history, s, &run);
  if (status == KF_ERR_NOT_PD) fout->where = run.failed_period;
  return status;
}

// kf_filter's full recursion in every period (fin->steady_state_tol is not
// read), with the diffuse periods recorded when `recorder` is given: the
// history the smoother and the gradient run backward over.
int kf_filter_recording(const kf_filter_inputs* fin, kf_filter_outputs* fout,
                        diffuse_recorder* recorder) noexcept {
  return kf_filter_run(fin, fout, recorder, 0.0);
}

}  // namespace

int kf_filter(const kf_filter_inputs* fin, kf_filter_outputs* fout) {
  return kf_filter_run(fin, fout, nullptr, fin->steady_state_tol);
}

}  // namespace ORV_VARIANT

#endif  // ORV_KF_FILTER_H
