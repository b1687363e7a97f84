// The stationary start in the backward pass of kf_loglik_grad. Under
// KF_INIT_STATIONARY the covariance before period 0 is P0 = sum_j A^j W A^jT,
// W = B Q B^T, the solution of P0 = A P0 A^T + W. Given its adjoint Pb0
// (what the first period's prediction hands back), the adjoint of the
// Lyapunov equation is the transposed equation
//   Lambda = A^T Lambda A + Pb0,   i.e. Lambda = sum_j (A^T)^j Pb0 A^j,
// and the start adds
//   dA += 2 Lambda A P0,   d(B Q B^T) += Lambda.
// Both sums run by the doubling of the forward solve (stationary_cov), the
// adjoint one on A^T. Part of a filter variant (filters_variant_linear.cpp).
#ifndef ORV_KF_GRAD_STATIONARY_H
#define ORV_KF_GRAD_STATIONARY_H

#include "kf_grad_steps.h"

namespace ORV_VARIANT {

namespace {

struct kf_grad_stationary_scratch {
  f64* P0;      // n^2  the stationary covariance
  f64* W;       // n^2  B Q B^T, then A^T
  f64* Lambda;  // n^2
  f64 *Ak, *Ak_next, *temp, *P_next;  // n^2 each, the doubling's own
};

// Its layout (see scratch.h): 7 n^2 values.
template <class Regions>
kf_grad_stationary_scratch kf_grad_stationary_regions(Regions& r, i64 n) noexcept {
  kf_grad_stationary_scratch st{};
  for (f64** p : {&st.P0, &st.W, &st.Lambda, &st.Ak, &st.Ak_next, &st.temp, &st.P_next})
    *p = r.take(n, n);
  return st;
}

// P0 solved as kf_filter solved it (the same kernels on the same operands).
bool solve_stationary_start(const kf_inputs& in, const kf_grad_scratch& g,
                            const kf_grad_stationary_scratch& st) noexcept {
  kf_build_bqbt(in.B, in.Q, g.temp_nk, st.W, in.n, in.k);
  return stationary_cov(in.A, st.W, st.P0, st.Ak, st.Ak_next, st.temp, st.P_next, in.n);
}

// The adjoint of P0 = A P0 A^T + W from Pb0 = g.Pb: dA += 2 Lambda A P0 and
// G_sum += Lambda. Returns false when the doubling on A^T does not converge
// (it converges whenever the forward one did, up to rounding at the edge).
bool stationary_start_adjoint(const kf_inputs& in, const kf_grad_scratch& g,
                              const kf_grad_stationary_scratch& st, f64* dA) noexcept {
  const i64 n = in.n;
  transpose_into(in.A, n, n, st.W);
  if (!stationary_cov(st.W, g.Pb, st.Lambda, st.Ak, st.Ak_next, st.temp, st.P_next, n))
    return false;
  // GA = Lambda A;  temp = GA P0;  dA += 2 temp
  orv_matmul(st.Lambda, in.A, g.GA, n, n, n);
  orv_matmul(g.GA, st.P0, g.temp_nn, n, n, n);
  for (i64 i = 0; i < n * n; ++i) {
    dA[i] = std::fma(2.0, g.temp_nn[i], dA[i]);
    g.G_sum[i] = g.G_sum[i] + st.Lambda[i];
  }
  return true;
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_GRAD_STATIONARY_H
