// The periods of a block of draws in vector lanes (kf_batch_lanes.h), for
// kf_loglik_batch (kf_batch.h): the observations a period has, each lane's
// update, the steady state lane by lane, and the loop over the sample, in a
// general form and specialised for small models. The block's draws miss the
// same entries, so one pattern of missing observations serves all lanes. Part
// of a filter variant (filters_variant_batch.cpp).
#ifndef ORV_KF_BATCH_PERIODS_H
#define ORV_KF_BATCH_PERIODS_H

#include <cmath>

#include "kf_batch_lanes.h"
#include "kf_batch_small.h"
#include "../kalman.h"

namespace ORV_VARIANT {

namespace {

// The entries of the pattern's row y observes (not NaN), in `observed`;
// returns how many.
inline i64 observed_entries(const f64* y, i64 m, i64* observed) noexcept {
  i64 count = 0;
  for (i64 j = 0; j < m; ++j)
    if (y[j] == y[j]) observed[count++] = j;
  return count;
}

// What a block's periods run on: the sizes, the settings, the block's
// arrays, and each lane's observations.
struct lane_run {
  i64 n, m, T;
  bool symmetrize;
  f64 jitter;
  lane_scratch s;
  const f64* y[kDrawLanes];
  i64* observed;  // m
  f64 steady_state_tol;
};

// s.y = the observations of period t at the `count` entries listed.
inline void gather_observations(const lane_run& r, i64 t, const i64* entries,
                                i64 count) noexcept {
  for (i64 a = 0; a < count; ++a)
    for (int l = 0; l < kDrawLanes; ++l) r.s.y[a * kDrawLanes + l] = r.y[l][t * r.m + entries[a]];
}

// The update of a predicted period with the observed entries o: innovation,
// factorisation, update and the log-likelihood sum (grouped as loglik_sum
// groups it) in `sum`. Returns the mask of the lanes whose S was not
// positive definite.
inline unsigned lane_observe(const lane_run& r, const lane_observed& o, draw_lanes& sum) noexcept {
  lane_innovation(r.s, o, r.n, r.symmetrize);
  const unsigned failed = lane_cholesky(r.s.S, r.jitter, r.s.L, o.m);
  lane_update(r.s, o, r.n, r.symmetrize);
  sum = lane_loglik_sum(r.s.L, r.s.v, r.s.S_inv_v, o.m, static_cast<f64>(o.m) * kLog2Pi);
  return failed;
}

// A predicted period that misses some of its m entries (m_t observed), as
// kf_gap_period runs it: with none observed the filtered moments are the
// predicted ones; otherwise the observed rows of C, d and R, packed, go
// through the steps of a full period at size m_t, and -0.5 times the sum is
// added to loglik. Returns the mask of the lanes whose S was not positive
// definite. Kept out of line, as kf_gap_period is, so that the loops
// specialised for small models stay small.
[[gnu::noinline]] unsigned lane_gap_period(const lane_run& r, i64 t, i64 m_t,
                                           draw_lanes& loglik) noexcept {
  const i64 n = r.n, m = r.m;
  const lane_scratch& s = r.s;
  if (m_t == 0) {
    for (i64 e = 0; e < n; ++e) set_element(s.x, e, element(s.x_pred, e));
    for (i64 e = 0; e < n * n; ++e) set_element(s.P, e, element(s.P_pred, e));
    loglik = loglik + draw_lanes::zero();
    return 0;
  }
  for (i64 a = 0; a < m_t; ++a) {
    const i64 j = r.observed[a];
    for (i64 l = 0; l < n; ++l) set_element(s.gap_C, a * n + l, element(s.C, j * n + l));
    set_element(s.gap_d, a, element(s.d, j));
    for (i64 b = 0; b < m_t; ++b)
      set_element(s.gap_R, a * m_t + b, element(s.R, j * m + r.observed[b]));
  }
  gather_observations(r, t, r.observed, m_t);
  draw_lanes sum;
  const unsigned failed = lane_observe(r, {s.gap_C, s.gap_d, s.gap_R, m_t}, sum);
  loglik = loglik + draw_lanes::broadcast(-0.5) * sum;
  return failed;
}

// ---- the steady state in lanes ----------------------------------------------------------

// Where a block's lanes stand in the steady state: kf_loop.h's
// kf_steady_state lane by lane (the moments in the lane scratch's frozen_*
// regions). Every lane has run the same periods, so one flag says whether
// P_pred_last holds the period before.
struct lane_steady_state {
  f64 tol;          // 0: not tracked
  bool have_last;
  unsigned frozen;  // the lanes whose moments are frozen
};

// dst's lanes in `mask` = src's, over block arrays of `count` elements.
inline void copy_lanes(f64* dst, const f64* src, i64 count, unsigned mask) noexcept {
  for (int l = 0; l < kDrawLanes; ++l) {
    if ((mask & (1u << l)) == 0) continue;
    for (i64 e = 0; e < count; ++e) dst[e * kDrawLanes + l] = src[e * kDrawLanes + l];
  }
}

// The lanes of a where `mask` is set, of b elsewhere.
inline draw_lanes select_lanes(unsigned mask, draw_lanes a, draw_lanes b) noexcept {
  alignas(64) f64 va[kDrawLanes], vb[kDrawLanes];
  a.store(va);
  b.store(vb);
  copy_lanes(vb, va, 1, mask);
  return draw_lanes::load(vb);
}

// The lanes whose predicted covariance moved by less than tol in every
// entry (settled_then_keep lane by lane), with last = P_pred afterwards. For
// a double d, |d| < tol is -below <= d <= below with `below` the largest
// double under tol, a test no NaN passes, made on whole vectors.
unsigned settled_lanes_then_keep(const f64* P_pred, f64* last, i64 count, f64 tol) noexcept {
  const f64 below = std::nextafter(tol, 0.0);
  const draw_lanes hi = draw_lanes::broadcast(below), lo = draw_lanes::broadcast(-below);
  unsigned settled = kDrawLanes == 32 ? ~0u : (1u << kDrawLanes) - 1u;
  for (i64 e = 0; e < count; ++e) {
    const draw_lanes now = element(P_pred, e);
    const draw_lanes change = now - element(last, e);
    settled &= at_most_mask(change, hi) & at_most_mask(lo, change);
    set_element(last, e, now);
  }
  return settled;
}

// After a fully observed period run in full in every lane, `sum` its
// log-likelihood sums: the frozen lanes take the steady state's update in
// its place (the filtered state by the frozen gain, the sum with the frozen
// log det S), and the lanes in `running` whose predicted covariance settled
// freeze this period's moments (kf_watch_steady_state). A frozen lane's
// covariance runs on unused until it leaves the steady state, which puts the
// frozen one back (lane_leave_steady_state). Returns the sums. Kept out of
// line, as kf_watch_steady_state is.
[[gnu::noinline]] draw_lanes lane_watch_steady_state(const lane_run& r, lane_steady_state& st,
                                                     unsigned running,
                                                     draw_lanes sum) noexcept {
  const i64 n = r.n, m = r.m;
  const lane_scratch& s = r.s;
  const unsigned frozen = st.frozen;
  if (frozen != 0) {
    const draw_lanes steady = lane_steady_update(s, n, m, s.x_steady);
    copy_lanes(s.x, s.x_steady, n, frozen);
    sum = select_lanes(frozen, steady, sum);
  }
  const unsigned settled = settled_lanes_then_keep(s.P_pred, s.P_pred_last, n * n, st.tol) &
                           (st.have_last ? running & ~frozen : 0u);
  st.have_last = true;
  if (settled == 0) return sum;
  copy_lanes(s.frozen_L, s.L, m * m, settled);
  copy_lanes(s.frozen_KT, s.KT, m * n, settled);
  copy_lanes(s.frozen_P, s.P, n * n, settled);
  alignas(64) f64 term[kDrawLanes];
  lane_logdet_term(s.L, m, static_cast<f64>(m) * kLog2Pi).store(term);
  copy_lanes(s.frozen_term, term, 1, settled);
  st.frozen |= settled;
  return sum;
}

// Before a period with missing entries, which leaves the steady state in
// every lane: the frozen lanes predict it from their frozen P_filt.
[[gnu::noinline]] void lane_leave_steady_state(const lane_run& r,
                                               lane_steady_state& st) noexcept {
  copy_lanes(r.s.P, r.s.frozen_P, r.n * r.n, st.frozen);
  st.frozen = 0;
}

// After a period with missing entries: its predicted covariance is the next
// one's comparison.
[[gnu::noinline]] void lane_keep_prediction(const lane_run& r, lane_steady_state& st) noexcept {
  copy_values(r.s.P_pred_last, r.s.P_pred, r.n * r.n * kDrawLanes);
  st.have_last = true;
}

// Period t, fully observed, with every running lane frozen: the state
// recursion alone (kf_steady_period), from the filtered state in s.x.
// Returns the log-likelihood sums.
[[gnu::noinline]] draw_lanes lane_steady_period(const lane_run& r, i64 t) noexcept {
  const lane_scratch& s = r.s;
  gather_observations(r, t, r.observed, r.m);
  lane_predict_state(s, r.n);
  lane_innovation_mean(s, {s.C, s.d, s.R, r.m}, r.n);
  return lane_steady_update(s, r.n, r.m, s.x);
}

// Period t, which misses some entries (m_t observed), from the filtered
// moments in the block arrays: it leaves the steady state, is predicted and
// observed (lane_gap_period), and its prediction is kept for the steady
// state's watch when there is one. Returns the mask of the lanes whose S
// failed.
inline unsigned lane_period_with_gaps(const lane_run& r, lane_steady_state& steady, i64 t,
                                      i64 m_t, draw_lanes& loglik) noexcept {
  if (steady.frozen != 0) lane_leave_steady_state(r, steady);
  lane_predict(r.s, r.n, r.symmetrize);
  const unsigned failed = lane_gap_period(r, t, m_t, loglik);
  if (steady.tol > 0.0) lane_keep_prediction(r, steady);
  return failed;
}

// ---- a block's periods ----------------------------------------------------------------------

// The lanes of `failed` still running take status KF_ERR_NOT_PD and leave
// `active`.
inline void stop_failed_lanes(unsigned failed, unsigned& active, int* status) noexcept {
  failed &= active;
  for (int l = 0; failed != 0 && l < kDrawLanes; ++l)
    if (failed & (1u << l)) status[l] = KF_ERR_NOT_PD;
  active &= ~failed;
}

// The periods of a block whose lanes in `active` are still running; a lane
// whose S fails takes status KF_ERR_NOT_PD and stops counting. The
// log-likelihoods accumulate in loglik. The block's draws miss the same
// entries, so lane 0's observations say which.
void run_lane_periods(const lane_run& r, unsigned active, int* status,
                      draw_lanes& loglik) noexcept {
  const i64 m = r.m;
  const lane_scratch& s = r.s;
  const lane_observed all{s.C, s.d, s.R, m};
  const draw_lanes minus_half = draw_lanes::broadcast(-0.5);
  lane_steady_state steady{r.steady_state_tol > 0.0 ? r.steady_state_tol : 0.0, false, 0u};
  for (i64 t = 0; t < r.T && active != 0; ++t) {
    const i64 m_t = observed_entries(r.y[0] + t * m, m, r.observed);
    if (m_t == m && steady.frozen != 0 && (steady.frozen & active) == active) {
      loglik = fma(minus_half, lane_steady_period(r, t), loglik);
      continue;
    }
    unsigned failed;
    if (m_t < m) {
      failed = lane_period_with_gaps(r, steady, t, m_t, loglik);
    } else {
      lane_predict(s, r.n, r.symmetrize);
      gather_observations(r, t, r.observed, m);
      draw_lanes sum;
      failed = lane_observe(r, all, sum);
      if (steady.tol > 0.0) {
        // a frozen lane's covariance is not used, and cannot fail it
        failed &= ~steady.frozen;
        sum = lane_watch_steady_state(r, steady, active & ~failed, sum);
      }
      // onto the total by one fma, as kf_hot_loop adds it
      loglik = fma(minus_half, sum, loglik);
    }
    stop_failed_lanes(failed, active, status);
  }
}

// The periods of run_lane_periods for the smallest models (n = N, m = M)
// with the moments symmetrised: the fully observed ones on values, with
// the filtered moments kept as values from period to period, and the
// others as run_lane_periods runs them. With Steady (a tolerance above 0),
// each fully observed period also leaves in the block arrays what the
// steady state's watch reads, and the moments go there and back around the
// watch.
template <int N, int M, bool Steady>
void run_lane_periods_on_values(const lane_run& r, unsigned active, int* status,
                                draw_lanes& loglik) noexcept {
  const lane_scratch& s = r.s;
  const draw_lanes minus_half = draw_lanes::broadcast(-0.5);
  lane_steady_state steady{Steady ? r.steady_state_tol : 0.0, false, 0u};
  auto moments = lane_moments<N>::load(s);
  for (i64 t = 0; t < r.T && active != 0; ++t) {
    const i64 m_t = observed_entries(r.y[0] + t * M, M, r.observed);
    if (Steady && m_t == M && steady.frozen != 0 && (steady.frozen & active) == active) {
      moments.x.store(s.x);
      loglik = fma(minus_half, lane_steady_period(r, t), loglik);
      moments.x = lane_values<N, 1>::load(s.x);
      continue;
    }
    unsigned failed;
    if (m_t < M) {
      moments.store(s);
      failed = lane_period_with_gaps(r, steady, t, m_t, loglik);
      moments = lane_moments<N>::load(s);
    } else {
      const f64* y[kDrawLanes];
      for (int l = 0; l < kDrawLanes; ++l) y[l] = r.y[l] + t * M;
      draw_lanes sum;
      failed = lane_values_period<N, M, Steady>(s, y, r.jitter, moments, sum);
      if constexpr (Steady) {
        moments.store(s);
        // a frozen lane's covariance is not used, and cannot fail it
        failed &= ~steady.frozen;
        sum = lane_watch_steady_state(r, steady, active & ~failed, sum);
        moments.x = lane_values<N, 1>::load(s.x);
      }
      // onto the total by one fma, as kf_hot_loop adds it
      loglik = fma(minus_half, sum, loglik);
    }
    stop_failed_lanes(failed, active, status);
  }
}

// run_lane_periods_on_values for the block's settings; without the
// symmetrisation, which few calls turn off, run_lane_periods, so that each
// size compiles two loops on values rather than four.
template <int N, int M>
void run_lane_periods_on_values_for(const lane_run& r, unsigned active, int* status,
                                    draw_lanes& loglik) noexcept {
  if (!r.symmetrize)
    run_lane_periods(r, active, status, loglik);
  else if (r.steady_state_tol > 0.0)
    run_lane_periods_on_values<N, M, true>(r, active, status, loglik);
  else
    run_lane_periods_on_values<N, M, false>(r, active, status, loglik);
}

// Largest state and observable dimensions with a loop of their own. The
// general loop's sizes and strides, known only at run time, cost a block at
// (10, 3, 3) two fifths more time than its own loop takes.
constexpr i64 kMaxFixedBatchStates = kSpecialisedLoops ? 10 : 0;
constexpr i64 kMaxFixedBatchObs = 4;

// run_lane_periods with every step inlined and the state dimension the
// constant N, so that the products unroll; the observable dimension too
// when M > 0, and r.m otherwise. The smallest models run their periods on
// values.
template <i64 N, i64 M>
[[gnu::flatten]] void run_lane_periods_fixed(const lane_run& r, unsigned active, int* status,
                                             draw_lanes& loglik) noexcept {
  lane_run fixed = r;
  fixed.n = N;
  if constexpr (M > 0) fixed.m = M;
  if constexpr (N <= kMaxValueStates && M > 0)
    run_lane_periods_on_values_for<N, M>(fixed, active, status, loglik);
  else
    run_lane_periods(fixed, active, status, loglik);
}

// The periods of the block in the loop specialised for its sizes where
// there is one: for (n, m) when both are small, for n alone at the larger
// state dimensions listed, and the general loop otherwise. A block's
// periods at n = 12, 20 and 32 ran 5% to 8% faster in their own loops; 256
// draws at (20, 5, 5) 8% faster, at (40, 8, 8) no faster (AMD Zen 4).
void run_lane_periods_sized(const lane_run& r, unsigned active, int* status,
                            draw_lanes& loglik) noexcept {
  const auto general = [&] { run_lane_periods(r, active, status, loglik); };
  const auto by_states = [&] {
    if constexpr (kSpecialisedLoops)
      with_listed_size<12, 16, 20, 24, 32, 40>(
          r.n, [&]<i64 N>() { run_lane_periods_fixed<N, 0>(r, active, status, loglik); },
          general);
    else
      general();
  };
  with_small_sizes<kMaxFixedBatchStates, kMaxFixedBatchObs>(
      r.n, r.m,
      [&]<i64 N, i64 M>() { run_lane_periods_fixed<N, M>(r, active, status, loglik); },
      by_states);
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_BATCH_PERIODS_H
