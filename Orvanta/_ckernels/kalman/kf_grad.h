// kf_loglik_grad: the gradient of kf_filter's log-likelihood by one forward
// pass, kf_filter recording its history on a tape (kf_grad_tape.h), and one
// reverse pass through the periods (kf_grad_steps.h) and the start
// (kf_grad_stationary.h). Part of a filter variant (filters_variant.cpp).
#ifndef ORV_KF_GRAD_H
#define ORV_KF_GRAD_H

#include "kf_grad_stationary.h"

namespace ORV_VARIANT {

namespace {

// Every gradient array that has elements is given (dP0 only under a known
// start, the one that writes it).
bool grad_outputs_given(const kf_inputs& in, const kf_grad_outputs& out, bool known) noexcept {
  const i64 n = in.n, m = in.m, k = in.k;
  const auto given = [](const f64* p, i64 count) { return count <= 0 || p != nullptr; };
  return given(out.dA, n * n) && given(out.dB, n * k) && given(out.dC, m * n) &&
         given(out.dd, m) && given(out.dQ, k * k) && given(out.dR, m * m) &&
         given(out.dx0, n) && (!known || given(out.dP0, n * n));
}

void zero_values(f64* p, i64 count) noexcept {
  for (i64 i = 0; i < count; ++i) p[i] = 0.0;
}

// The periods T - 1 down to 0 in reverse from zero adjoints, then the start:
// dx0 (and dP0 under a known start), or the stationary start's adjoint.
int backward_pass(const kf_filter_inputs& fin, const kf_outputs& h, const kf_grad_scratch& g,
                  const kf_grad_stationary_scratch& st, kf_grad_outputs& out) noexcept {
  const kf_inputs& in = fin.model;
  const i64 n = in.n, m = in.m;
  const bool stationary = fin.init == KF_INIT_STATIONARY;
  zero_values(out.dA, n * n);
  zero_values(out.dC, m * n);
  zero_values(out.dd, m);
  zero_values(out.dR, m * m);
  zero_values(g.xb, n);
  zero_values(g.Pb, n * n);
  zero_values(g.G_sum, n * n);
  if (stationary) {
    copy_or_zero(g.x_start, in.x0, n);
    if (!solve_stationary_start(in, g, st)) return KF_ERR_NOT_STATIONARY;
  } else {
    copy_values(g.x_start, in.x0, n);
  }
  const f64* P_start = stationary ? st.P0 : in.P0;
  const kf_grad_sinks sinks{out.dA, out.dC, out.dd, out.dR};

  for (i64 t = in.T - 1; t >= 0; --t) {
    const f64* x_p = h.x_pred + t * n;
    const f64* P_p = h.P_pred + t * n * n;
    const i64 m_t = pack_observed_period(in, h, g, t);
    if (m_t == 0) {
      pass_through_adjoint(g, n);
    } else if (!update_adjoint(in, g, sinks, x_p, P_p, t, m_t)) {
      out.where = t;
      return KF_ERR_NOT_PD;
    }
    const f64* x_prev = t > 0 ? h.x_filt + (t - 1) * n : g.x_start;
    const f64* P_prev = t > 0 ? h.P_filt + (t - 1) * n * n : P_start;
    prediction_adjoint(in, g, out.dA, x_prev, P_prev);
  }

  copy_values(out.dx0, g.xb, n);
  if (stationary) {
    if (!stationary_start_adjoint(in, g, st, out.dA)) return KF_ERR_NOT_STATIONARY;
  } else {
    copy_values(out.dP0, g.Pb, n * n);
  }
  shock_cov_adjoint(in, g, out.dB, out.dQ);
  return KF_OK;
}

}  // namespace

int kf_loglik_grad(const kf_filter_inputs* fin, kf_grad_outputs* out) {
  const kf_inputs& in = fin->model;
  const i64 n = in.n, m = in.m, k = in.k, T = in.T;
  out->where = -1;
  const bool known = fin->init == KF_INIT_KNOWN;
  if (!known && fin->init != KF_INIT_STATIONARY) return KF_ERR_INPUT;
  if (!grad_outputs_given(in, *out, known)) return KF_ERR_INPUT;
  if (known && n > 0 && (in.x0 == nullptr || in.P0 == nullptr)) return KF_ERR_INPUT;

  // The tape and the backward pass's scratch in one block, its size checked
  // before anything is allocated.
  const i64 tape_size = kf_tape_elements(n, m, T);
  const i64 back_size = kf_grad_scratch_elements(n, m, k);
  const i64 start_size = kf_grad_stationary_elements(n);
  if (tape_size < 0 || back_size < 0 || start_size < 0) return KF_ERR_ALLOC;
  const i64 total = element_count({{tape_size}, {back_size}, {start_size}});
  if (total < 0) return KF_ERR_ALLOC;
  scratch_block block(total);
  if (!block) return KF_ERR_ALLOC;
  const kf_tape tape = kf_carve_tape(block.data(), n, m, T, &out->loglik);
  const kf_grad_scratch g = kf_carve_grad_scratch(block.data() + tape_size, n, m, k);
  const kf_grad_stationary_scratch st =
      kf_carve_grad_stationary(block.data() + tape_size + back_size, n);

  const int status = kf_record_tape(*fin, tape, &out->where);
  if (status != KF_OK) return status;
  return backward_pass(*fin, tape.history, g, st, *out);
}

}  // namespace ORV_VARIANT

#endif  // ORV_KF_GRAD_H
