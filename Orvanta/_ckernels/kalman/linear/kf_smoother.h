// kf_smoother: kf_filter forward, then the disturbance smoother of Durbin and
// Koopman backward over the filter's stored history: the steps of
// kf_smoother_steps.h for the periods after the diffuse phase, the exact
// initial smoother of kf_smoother_diffuse.h through it. Part of a filter
// variant (filters_variant_linear.cpp).
#ifndef ORV_KF_SMOOTHER_H
#define ORV_KF_SMOOTHER_H

#include "kf_smoother_diffuse.h"

namespace ORV_VARIANT {

namespace {

// What kf_smoother needs of its outputs: every history array the backward
// pass reads and every smoothed array that has elements.
bool smoother_outputs_given(const kf_inputs& in, const kf_smoother_outputs& out) noexcept {
  const kf_outputs& h = out.filter.history;
  const i64 n = in.n, m = in.m, k = in.k;
  if (in.T <= 0) return true;
  return (n == 0 || (h.x_pred && h.P_pred && h.x_filt && h.P_filt && out.x_smooth &&
                     out.P_smooth)) &&
         (m == 0 || (h.innov && h.S && out.e_smooth)) &&
         (k == 0 || (out.eps_smooth && out.eps_smooth_cov));
}

// The scratch of the period before the first observation under a
// stationary start, whose covariance is solved again as the filter solved
// it.
struct stationary_start_scratch {
  f64* x;                            // n
  f64* P;                            // n^2
  f64 *BQBT, *Ak, *Ak_next, *temp, *P_next;  // n^2 each
  f64* temp_nk;                      // n k
};

// Its layout (see scratch.h): n + 6n^2 + nk values.
template <class Regions>
stationary_start_scratch stationary_start_regions(Regions& r, i64 n, i64 k) noexcept {
  stationary_start_scratch st{};
  st.x = r.take(n);
  st.P = r.take(n, n);
  st.BQBT = r.take(n, n);
  st.Ak = r.take(n, n);
  st.Ak_next = r.take(n, n);
  st.temp = r.take(n, n);
  st.P_next = r.take(n, n);
  st.temp_nk = r.take(n, k);
  return st;
}

// The smoother's block: the regions of the periods after the diffuse ones,
// then those of the diffuse periods or of a stationary start, if any.
struct smoother_block {
  smoother_scratch periods;
  diffuse_scratch diffuse;
  stationary_start_scratch stationary_start;
};

struct smoother_layout {
  i64 n, m, k;
  bool diffuse, stationary_start;

  template <class Regions>
  smoother_block regions(Regions& r) const noexcept {
    smoother_block b{};
    b.periods = smoother_scratch_regions(r, n, m, k);
    if (diffuse) b.diffuse = diffuse_scratch_regions(r, n, m);
    if (stationary_start) b.stationary_start = stationary_start_regions(r, n, k);
    return b;
  }
};

// The smoothed rows of period t are finite (the measurement errors where y
// is observed; the shocks unless they are not defined there).
bool period_rows_finite(const kf_inputs& in, const kf_smoother_outputs& out, i64 t,
                        bool with_shocks) noexcept {
  const i64 n = in.n, m = in.m, k = in.k;
  if (!all_finite(out.x_smooth + t * n, n) || !all_finite(out.P_smooth + t * n * n, n * n))
    return false;
  for (i64 j = 0; j < m; ++j) {
    const f64 y = in.y[t * m + j];
    if (y == y && !std::isfinite(out.e_smooth[t * m + j])) return false;
  }
  return !with_shocks ||
         (all_finite(out.eps_smooth + t * k, k) && all_finite(out.eps_smooth_cov + t * k * k, k * k));
}

// The rows of the shocks in the first period of a diffuse start: that
// period's state is given by its prior as a whole, and eps_0 is no part of
// the model there.
void undefined_shock_rows(f64* eps, f64* V, i64 k) noexcept {
  for (i64 i = 0; i < k; ++i) eps[i] = __builtin_nan("");
  for (i64 i = 0; i < k * k; ++i) V[i] = __builtin_nan("");
}

// The observations of the ordinary period t, backwards: u and N through
// them (u_t = w, N_t = M when nothing is observed) and the measurement
// errors. Returns false when the observed block of S does not factor.
bool observations_back(const kf_inputs& in, const kf_outputs& h, const smoother_scratch& s,
                       const kf_smoother_outputs& out, i64 t) noexcept {
  const i64 n = in.n, m = in.m;
  const i64 p = pack_observed(in, h, s, t);
  if (p < 0) return false;
  if (p == 0) {
    copy_values(s.u, s.w, n);
    copy_values(s.N, s.M, n * n);
  } else {
    absorb_observations(h.P_pred + t * n * n, s, n, p);
  }
  if (m > 0) smoothed_measurement_errors(in.R, in.y + t * m, s.c, out.e_smooth + t * m, m);
  return true;
}

// The rest of period t once the lower triangle of its P_smooth is final: the
// mirror, the shocks (or NaN rows where they are not defined), the check
// that the period's rows are finite, and, when a period before it is to
// follow, w and M for that period.
int finish_period(const kf_inputs& in, const smoother_scratch& s, const kf_smoother_outputs& out,
                  i64 t, bool shocks_defined, bool carry) noexcept {
  const i64 n = in.n, k = in.k;
  mirror_lower(out.P_smooth + t * n * n, n);
  if (k > 0) {
    if (shocks_defined)
      smoothed_shocks(in.Q, s, out.eps_smooth + t * k, out.eps_smooth_cov + t * k * k, n, k);
    else
      undefined_shock_rows(out.eps_smooth + t * k, out.eps_smooth_cov + t * k * k, k);
  }
  if (!period_rows_finite(in, out, t, k > 0 && shocks_defined)) return KF_ERR_NOT_FINITE;
  if (carry) carry_to_earlier_period(in.A, s, n, k);
  return KF_OK;
}

// The periods T - 1 down to `last` (the first after any diffuse ones),
// from u and N of the period after them (zero after period T - 1). Under a
// diffuse start the shocks of period 0 are not defined; w and M are carried
// past period 0 when its period before is smoothed (smooth_start).
int smooth_ordinary_periods_general(const kf_inputs& in, const kf_outputs& h,
                                    const smoother_scratch& s, kf_smoother_outputs& out,
                                    i64 last, bool diffuse, bool smooth_start) noexcept {
  const i64 n = in.n, k = in.k;
  for (i64 t = in.T - 1; t >= last; --t) {
    if (!observations_back(in, h, s, out, t)) {
      out.where = t;
      return KF_ERR_NOT_PD;
    }
    smoothed_state_lower(h.x_pred + t * n, h.P_pred + t * n * n, in.symmetrize != 0, s,
                         out.x_smooth + t * n, out.P_smooth + t * n * n, n, k);
    const int status = finish_period(in, s, out, t, !(diffuse && t == 0), t > 0 || smooth_start);
    if (status != KF_OK) return status;
  }
  return KF_OK;
}

// The same periods with every step inlined on a copy of the inputs whose
// state dimension is the constant N, so that the products unroll and their
// size branches fold, as the filter's loops for listed sizes do.
template <i64 N>
[[gnu::flatten]] int smooth_ordinary_periods_fixed(const kf_inputs& in, const kf_outputs& h,
                                                   const smoother_scratch& s,
                                                   kf_smoother_outputs& out, i64 last,
                                                   bool diffuse, bool smooth_start) noexcept {
  kf_inputs fixed = in;
  fixed.n = N;
  return smooth_ordinary_periods_general(fixed, h, s, out, last, diffuse, smooth_start);
}

// The periods after the diffuse ones, in the loop specialised for the state
// size where there is one: 20 only, where the backward pass runs a seventh
// faster so. At 10 and 16 it ran a third and a fifth faster, but those two
// loops added some 40 seconds of compilation per variant, more than the test
// run can spare.
int smooth_ordinary_periods(const kf_inputs& in, const kf_outputs& h, const smoother_scratch& s,
                            kf_smoother_outputs& out, i64 last, bool diffuse,
                            bool smooth_start) noexcept {
  if constexpr (kSpecialisedLoops) {
    return with_listed_size<20>(
        in.n,
        [&]<i64 N>() {
          return smooth_ordinary_periods_fixed<N>(in, h, s, out, last, diffuse, smooth_start);
        },
        [&] {
          return smooth_ordinary_periods_general(in, h, s, out, last, diffuse, smooth_start);
        });
  }
  return smooth_ordinary_periods_general(in, h, s, out, last, diffuse, smooth_start);
}

}  // namespace

int kf_smoother(const kf_filter_inputs* fin, kf_smoother_outputs* sout) {
  const kf_inputs& in = fin->model;
  const i64 n = in.n, m = in.m, k = in.k;
  kf_filter_outputs& fout = sout->filter;
  const kf_outputs& h = fout.history;
  sout->where = -1;
  const bool diffuse = fin->init == KF_INIT_DIFFUSE;
  const bool stationary = fin->init == KF_INIT_STATIONARY;
  if (in.store_history == 0 || !smoother_outputs_given(in, *sout)) return KF_ERR_INPUT;
  const bool smooth_start = !diffuse && sout->x0_smooth != nullptr && sout->P0_smooth != nullptr;
  const smoother_layout layout{n, m, k, diffuse, smooth_start && stationary};
  const i64 total = layout_elements([&](auto& r) { layout.regions(r); });
  if (total < 0) return KF_ERR_ALLOC;
  scratch_block block(total);
  if (!block) return KF_ERR_ALLOC;

  diffuse_recorder recorder(n, m);
  const int status = kf_filter_recording(fin, &fout, diffuse ? &recorder : nullptr);
  if (status != KF_OK) {
    sout->where = fout.where;
    return status;
  }
  const i64 periods = fout.diffuse_periods;
  const diffuse_records& rec = recorder.records();

  region_carver regions(block.data(), total);
  const smoother_block carved = layout.regions(regions);
  const smoother_scratch& s = carved.periods;
  const diffuse_scratch& d = carved.diffuse;
  prepare_backward_pass(in, s);
  // u_T = 0 and N_T = 0, so w and M start at zero
  for (i64 i = 0; i < n; ++i) s.w[i] = 0.0;
  for (i64 i = 0; i < n * n; ++i) s.M[i] = 0.0;
  if (diffuse) {
    for (i64 i = 0; i < n; ++i) d.r1[i] = 0.0;
    for (i64 i = 0; i < n * n; ++i) d.N1t[i] = d.N2[i] = 0.0;
  }

  // The periods after the diffuse ones, then the diffuse ones.
  const int status_after = smooth_ordinary_periods(in, h, s, *sout, periods, diffuse, smooth_start);
  if (status_after != KF_OK) return status_after;
  for (i64 t = periods - 1; t >= 0; --t) {
    diffuse_entries_back(in, rec, s, d, t, sout->e_smooth + t * m);
    f64* x_out = sout->x_smooth + t * n;
    f64* P_out = sout->P_smooth + t * n * n;
    smoothed_state_lower(h.x_pred + t * n, h.P_pred + t * n * n, in.symmetrize != 0, s, x_out,
                         P_out, n, k);
    add_diffuse_state_terms(h, rec, s, d, t, x_out, P_out, n);
    const int status_t = finish_period(in, s, *sout, t, t > 0, t > 0);
    if (status_t != KF_OK) return status_t;
    if (t > 0) carry_diffuse_parts(in.A, s, d, n);
  }

  // The period before the first observation, whose filtered moments are x0
  // and P0 as the filter took them, with w = A^T u_0 and M = A^T N_0 A.
  if (smooth_start) {
    const f64* x_start = in.x0;
    const f64* P_start = in.P0;
    if (stationary) {
      const stationary_start_scratch& st = carved.stationary_start;
      copy_or_zero(st.x, in.x0, n);
      kf_build_bqbt(in.B, in.Q, st.temp_nk, st.BQBT, n, k);
      if (!stationary_cov(in.A, st.BQBT, st.P, st.Ak, st.Ak_next, st.temp, st.P_next, n))
        return KF_ERR_NOT_STATIONARY;
      x_start = st.x;
      P_start = st.P;
    }
    smoothed_start(x_start, P_start, s, sout->x0_smooth, sout->P0_smooth, n);
    if (!all_finite(sout->x0_smooth, n) || !all_finite(sout->P0_smooth, n * n))
      return KF_ERR_NOT_FINITE;
  }
  return KF_OK;
}

}  // namespace ORV_VARIANT

#endif  // ORV_KF_SMOOTHER_H
