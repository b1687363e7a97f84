// The unscented filter's loop: ukf_hot_loop predicts, measures and updates
// every period through the steps below, which stand on the sigma-point
// passes (sigma_tiles.h, sigma_point.h) and on the linear filter's step
// kernels. Part of a filter variant (filters_variant_unscented.cpp).
#ifndef ORV_UKF_LOOP_H
#define ORV_UKF_LOOP_H

#include "../kalman_variants.h"
#include "sigma_point.h"

namespace ORV_VARIANT {

namespace {

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

}  // namespace

i64 ukf_hot_loop(const ukf_inputs* in, ukf_outputs* out) {
  if (in->meas == nullptr || in->n_state < 1 || in->n_obs < 1 || in->n_ctrl < 0 ||
      in->n_exog < 0)
    return UKF_ERR_INPUT;
  ukf_weights w{};
  // nz as a double, formed without the integer product that could overflow
  if (!ukf_weights_for(2.0 * static_cast<f64>(in->n_state), in->alpha, in->beta,
                       in->kappa, &w))
    return UKF_ERR_NOT_PD;

  const i64 elements = ukf_scratch_elements(*in);
  scratch_block block(elements);
  if (!block) return UKF_ERR_ALLOC;
  const ukf_dims d = ukf_dims_of(*in);
  region_carver regions(block.data(), elements);
  ukf_scratch s = ukf_scratch_regions(regions, d);

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

}  // namespace ORV_VARIANT

#endif  // ORV_UKF_LOOP_H
