// kf_loglik_grad: the gradient of kf_filter's log-likelihood by one forward
// pass, kf_filter recording its history on a tape (kf_grad_tape.h), and one
// reverse pass through the ordinary periods (kf_grad_steps.h), the diffuse
// ones (kf_grad_diffuse.h) and the start (kf_grad_stationary.h). Part of a
// filter variant (filters_variant_linear.cpp).
#ifndef ORV_KF_GRAD_H
#define ORV_KF_GRAD_H

#include "kf_grad_diffuse.h"
#include "kf_grad_stationary.h"

namespace ORV_VARIANT {

namespace {

// Every gradient array that has elements is given (dP0 except under a
// stationary start, which does not write it).
bool grad_outputs_given(const kf_inputs& in, const kf_grad_outputs& out,
                        bool stationary) noexcept {
  const i64 n = in.n, m = in.m, k = in.k;
  const auto given = [](const f64* p, i64 count) { return count <= 0 || p != nullptr; };
  return given(out.dA, n * n) && given(out.dB, n * k) && given(out.dC, m * n) &&
         given(out.dd, m) && given(out.dQ, k * k) && given(out.dR, m * m) &&
         given(out.dx0, n) && (stationary || given(out.dP0, n * n));
}

void zero_values(f64* p, i64 count) noexcept {
  for (i64 i = 0; i < count; ++i) p[i] = 0.0;
}

// What the backward pass works on: the tape, its scratch and the starts'.
struct kf_grad_pass {
  const kf_filter_inputs& fin;
  const kf_outputs& h;
  const kf_grad_scratch& g;
  const kf_grad_stationary_scratch& st;
  const kf_grad_diffuse_scratch* dg;  // under KF_INIT_DIFFUSE
  i64 periods;                        // diffuse periods
  const f64* P_start;                 // the covariance before period 0
};

// The adjoint of how period t's prediction was formed, from xb_p and Pb_p:
// from the period before, or from the start (x0, P0), into xb and Pb;
// under a diffuse start period 0's prediction is (x0, P0) itself.
void prediction_or_start_adjoint(const kf_grad_pass& p, kf_grad_outputs& out, i64 t) noexcept {
  const kf_inputs& in = p.fin.model;
  const i64 n = in.n;
  if (t > 0) {
    prediction_adjoint(in, p.g, out.dA, p.h.x_filt + (t - 1) * n, p.h.P_filt + (t - 1) * n * n);
  } else if (p.dg != nullptr) {
    copy_values(p.g.xb, p.g.xb_p, n);
    copy_values(p.g.Pb, p.g.Pb_p, n * n);
  } else {
    prediction_adjoint(in, p.g, out.dA, p.g.x_start, p.P_start);
  }
}

// The periods T - 1 down to 0 in reverse from zero adjoints, then the start:
// dx0, and dP0 or the stationary start's adjoint; then dB and dQ.
int backward_pass(const kf_grad_pass& p, kf_grad_outputs& out) noexcept {
  const kf_inputs& in = p.fin.model;
  const kf_grad_scratch& g = p.g;
  const i64 n = in.n, m = in.m;
  zero_values(out.dA, n * n);
  zero_values(out.dC, m * n);
  zero_values(out.dd, m);
  zero_values(out.dR, m * m);
  zero_values(g.xb, n);
  zero_values(g.Pb, n * n);
  zero_values(g.G_sum, n * n);
  const kf_grad_sinks sinks{out.dA, out.dC, out.dd, out.dR};

  for (i64 t = in.T - 1; t >= p.periods; --t) {
    const i64 m_t = pack_observed_period(in, p.h, g, t);
    if (m_t == 0) {
      pass_through_adjoint(g, n);
    } else if (!update_adjoint(in, g, sinks, p.h.x_pred + t * n, p.h.P_pred + t * n * n, t,
                               m_t)) {
      out.where = t;
      return KF_ERR_NOT_PD;
    }
    prediction_or_start_adjoint(p, out, t);
  }
  for (i64 t = p.periods - 1; t >= 0; --t) {
    diffuse_update_adjoint(in, p.h, g, *p.dg, sinks, t, t == p.periods - 1);
    prediction_or_start_adjoint(p, out, t);
  }

  copy_values(out.dx0, g.xb, n);
  if (p.fin.init == KF_INIT_STATIONARY) {
    if (!stationary_start_adjoint(in, g, p.st, out.dA)) return KF_ERR_NOT_STATIONARY;
  } else {
    copy_values(out.dP0, g.Pb, n * n);
  }
  shock_cov_adjoint(in, g, out.dB, out.dQ);
  return KF_OK;
}

}  // namespace

namespace {

// One call's block: the tape, then the backward pass's scratch and the
// stationary start's.
struct kf_grad_block {
  kf_tape tape;
  kf_grad_scratch g;
  kf_grad_stationary_scratch st;
};

}  // namespace

int kf_loglik_grad(const kf_filter_inputs* fin, kf_grad_outputs* out) {
  const kf_inputs& in = fin->model;
  const i64 n = in.n, m = in.m, k = in.k, T = in.T;
  const int init = fin->init;
  out->where = -1;
  if (init != KF_INIT_KNOWN && init != KF_INIT_STATIONARY && init != KF_INIT_DIFFUSE)
    return KF_ERR_INPUT;
  if (!grad_outputs_given(in, *out, init == KF_INIT_STATIONARY)) return KF_ERR_INPUT;

  // The tape and the backward pass's scratch in one block, its size checked
  // before anything is allocated.
  const auto layout = [&](auto& r) {
    return kf_grad_block{kf_tape_regions(r, n, m, T, &out->loglik),
                         kf_grad_scratch_regions(r, n, m, k), kf_grad_stationary_regions(r, n)};
  };
  const i64 total = layout_elements(layout);
  if (total < 0) return KF_ERR_ALLOC;
  scratch_block block(total);
  if (!block) return KF_ERR_ALLOC;
  region_carver regions(block.data(), total);
  const auto [tape, g, st] = layout(regions);

  i64 periods = 0;
  const int status = kf_record_tape(*fin, tape, &out->where, &periods);
  if (status != KF_OK) return status;
  // A log-likelihood that overflowed has no derivative to follow back.
  if (!std::isfinite(out->loglik)) return KF_ERR_LOGLIK_NOT_FINITE;

  kf_grad_pass pass{*fin, tape.history, g, st, nullptr, periods, in.P0};
  if (init == KF_INIT_STATIONARY) {
    copy_or_zero(g.x_start, in.x0, n);
    if (!solve_stationary_start(in, g, st)) return KF_ERR_NOT_STATIONARY;
    pass.P_start = st.P0;
  } else if (init == KF_INIT_KNOWN) {
    copy_values(g.x_start, in.x0, n);
  }
  if (init != KF_INIT_DIFFUSE) return backward_pass(pass, *out);

  // The diffuse periods' scratch, sized once the filter has counted them.
  const auto diffuse_layout = [&](auto& r) { return kf_grad_diffuse_regions(r, n, m, k, periods); };
  const i64 diffuse_total = layout_elements(diffuse_layout);
  scratch_block diffuse_block(diffuse_total);
  if (!diffuse_block) return KF_ERR_ALLOC;
  region_carver diffuse_regions(diffuse_block.data(), diffuse_total);
  const kf_grad_diffuse_scratch dg = diffuse_layout(diffuse_regions);
  transpose_into(in.A, n, n, dg.s.AT);
  replay_diffuse_covariances(*fin, tape.history, dg, periods);
  pass.dg = &dg;
  return backward_pass(pass, *out);
}

}  // namespace ORV_VARIANT

#endif  // ORV_KF_GRAD_H
