// kf_smoother: kf_filter forward, then the disturbance smoother of Durbin and
// Koopman backward over the filter's stored history (x_pred, P_pred, innov,
// S). Part of a filter variant (filters_variant.cpp).
//
// With a_t = x_pred[t], P_t = P_pred[t], and for the observed entries W of
// period t: Z = C[W], F = S[W, W] (+ jitter on its diagonal, as the filter
// factorised it), v = innov[W] and the filter's gain G = P_t Z^T F^-1, the
// backward quantities u_t (what the observations from t on say about x_t,
// relative to a_t) and N_t (its variance) are
//
//   w   = A^T u_{t+1},                       M = A^T N_{t+1} A,
//   u_t = Z^T F^-1 v + (I - G Z)^T w,        N_t = Z^T F^-1 Z + (I - G Z)^T M (I - G Z),
//
// from u_T = 0, N_T = 0 (a period with nothing observed has u_t = w,
// N_t = M). Then
//
//   x_smooth[t]       = a_t + P_t u_t,        P_smooth[t] = P_t - P_t N_t P_t,
//   eps_smooth[t]     = Q B^T u_t,            eps_smooth_cov[t] = Q - Q B^T N_t B Q,
//   e_smooth[t][W]    = R[W, W] (F^-1 v - G^T w),
//
// and the period before the first observation (filtered moments x0, P0,
// x_0 = A x_{-1} + B eps_0): x0_smooth = x0 + P0 A^T u_0,
// P0_smooth = P0 - P0 A^T N_0 A P0.
//
// Every sum has one accumulator, ascending indices and one fused
// multiply-add per term, as everywhere in the linear filter.
#ifndef ORV_KF_SMOOTHER_H
#define ORV_KF_SMOOTHER_H

#include <cmath>

#include "kf_starts.h"

namespace ORV_VARIANT {

namespace {

// out (r x c) = X (r x q) Y (q x c), or X^T / Y^T per the flags (leading
// dimensions from the stored shapes).
void smoother_product(const f64* X, bool tx, const f64* Y, bool ty, f64* out, i64 r, i64 q,
                      i64 c) noexcept {
  for (i64 i = 0; i < r; ++i)
    for (i64 j = 0; j < c; ++j) {
      f64 acc = 0.0;
      for (i64 l = 0; l < q; ++l) {
        const f64 x = tx ? X[l * r + i] : X[i * q + l];
        const f64 y = ty ? Y[j * q + l] : Y[l * c + j];
        acc = std::fma(x, y, acc);
      }
      out[i * c + j] = acc;
    }
}

// Lower Cholesky factor of the p x p matrix F; false unless positive definite.
bool smoother_chol(const f64* F, f64* L, i64 p) noexcept {
  for (i64 i = 0; i < p; ++i)
    for (i64 j = 0; j <= i; ++j) {
      f64 acc = F[i * p + j];
      for (i64 l = 0; l < j; ++l) acc = std::fma(-L[i * p + l], L[j * p + l], acc);
      if (i == j) {
        if (!(acc > 0.0) || !std::isfinite(acc)) return false;
        L[i * p + i] = std::sqrt(acc);
      } else {
        L[i * p + j] = acc / L[j * p + j];
      }
      if (j < i) L[j * p + i] = 0.0;
    }
  return true;
}

// b (p) <- (L L^T)^-1 b.
void smoother_chol_solve(const f64* L, f64* b, i64 p) noexcept {
  for (i64 i = 0; i < p; ++i) {
    f64 acc = b[i];
    for (i64 l = 0; l < i; ++l) acc = std::fma(-L[i * p + l], b[l], acc);
    b[i] = acc / L[i * p + i];
  }
  for (i64 i = p - 1; i >= 0; --i) {
    f64 acc = b[i];
    for (i64 l = i + 1; l < p; ++l) acc = std::fma(-L[l * p + i], b[l], acc);
    b[i] = acc / L[i * p + i];
  }
}

// P - P X P for symmetric P and X (n x n), symmetrised; tmp is n x n scratch.
void smoother_reduce(const f64* P, const f64* X, f64* tmp, f64* out, i64 n) noexcept {
  smoother_product(P, false, X, false, tmp, n, n, n);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < n; ++j) {
      f64 acc = P[i * n + j];
      for (i64 l = 0; l < n; ++l) acc = std::fma(-tmp[i * n + l], P[l * n + j], acc);
      out[i * n + j] = acc;
    }
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < i; ++j) {
      const f64 mean = 0.5 * (out[i * n + j] + out[j * n + i]);
      out[i * n + j] = mean;
      out[j * n + i] = mean;
    }
}

bool all_finite(const f64* a, i64 len) noexcept {
  for (i64 i = 0; i < len; ++i)
    if (!std::isfinite(a[i])) return false;
  return true;
}

}  // namespace

int kf_smoother(const kf_filter_inputs* fin, kf_smoother_outputs* sout) {
  const kf_inputs& in = fin->model;
  const i64 n = in.n, m = in.m, k = in.k, T = in.T;
  kf_filter_outputs& fout = sout->filter;
  const kf_outputs& h = fout.history;
  sout->where = -1;
  if (fin->init == KF_INIT_DIFFUSE || in.store_history == 0 ||
      (T > 0 && ((n > 0 && (h.x_pred == nullptr || h.P_pred == nullptr || h.x_filt == nullptr ||
                            h.P_filt == nullptr || sout->x_smooth == nullptr ||
                            sout->P_smooth == nullptr)) ||
                 (m > 0 && (h.innov == nullptr || h.S == nullptr || sout->e_smooth == nullptr)) ||
                 (k > 0 && (sout->eps_smooth == nullptr || sout->eps_smooth_cov == nullptr)))))
    return KF_ERR_INPUT;
  const i64 total = element_count({{5, n}, {8, n, n}, {4, m, n}, {2, m, m}, {4, m}, {2, k, n}});
  if (total < 0) return KF_ERR_ALLOC;
  scratch_block block(total);
  scratch_block index_block(m);  // the observed entries of a period, as values
  if (!block || !index_block) return KF_ERR_ALLOC;

  const int status = ORV_VARIANT::kf_filter(fin, &fout);
  if (status != KF_OK) {
    sout->where = fout.where;
    return status;
  }

  region_carver c{block.data()};
  f64* u = c.take(n);        // u_{t+1}, then u_t
  f64* w = c.take(n);        // A^T u_{t+1}
  f64* tmp_n = c.take(n);
  f64* x_start = c.take(n);
  f64* tmp_n2 = c.take(n);
  f64* N = c.take(n * n);    // N_{t+1}, then N_t
  f64* M = c.take(n * n);    // A^T N_{t+1} A
  f64* IGZ = c.take(n * n);  // I - G Z
  f64* tmp = c.take(n * n);
  f64* tmp2 = c.take(n * n);
  f64* P_start = c.take(n * n);
  f64* work1 = c.take(n * n);
  f64* work2 = c.take(n * n);
  f64* Z = c.take(m * n);     // observed rows of C
  f64* PZt = c.take(n * m);   // P_t Z^T
  f64* G = c.take(n * m);     // P_t Z^T F^-1
  f64* FiZ = c.take(m * n);   // F^-1 Z
  f64* F = c.take(m * m);
  f64* L = c.take(m * m);
  f64* fv = c.take(m);        // F^-1 v
  f64* col = c.take(m);
  f64* Rw = c.take(m);
  f64* gw = c.take(m);
  f64* QBt = c.take(k * n);
  f64* tmp_kn = c.take(k * n);
  f64* obs = index_block.data();

  smoother_product(in.Q, false, in.B, true, QBt, k, k, n);
  for (i64 i = 0; i < n; ++i) u[i] = 0.0;
  for (i64 i = 0; i < n * n; ++i) N[i] = 0.0;

  for (i64 t = T - 1; t >= 0; --t) {
    const f64* a = h.x_pred + t * n;
    const f64* P = h.P_pred + t * n * n;
    // w = A^T u_{t+1}, M = A^T N_{t+1} A
    smoother_product(in.A, true, u, false, w, n, n, 1);
    smoother_product(in.A, true, N, false, tmp, n, n, n);
    smoother_product(tmp, false, in.A, false, M, n, n, n);
    i64 p = 0;
    for (i64 j = 0; j < m; ++j)
      if (in.y[t * m + j] == in.y[t * m + j]) obs[p++] = static_cast<f64>(j);
    if (p == 0) {
      copy_values(u, w, n);
      copy_values(N, M, n * n);
    } else {
      for (i64 r = 0; r < p; ++r) {
        const i64 jr = static_cast<i64>(obs[r]);
        copy_values(Z + r * n, in.C + jr * n, n);
        for (i64 s = 0; s < p; ++s) F[r * p + s] = h.S[t * m * m + jr * m + static_cast<i64>(obs[s])];
        F[r * p + r] += in.jitter;
        fv[r] = h.innov[t * m + jr];
      }
      if (!smoother_chol(F, L, p)) {
        sout->where = t;
        return KF_ERR_NOT_PD;
      }
      smoother_chol_solve(L, fv, p);
      smoother_product(P, false, Z, true, PZt, n, n, p);
      for (i64 i = 0; i < n; ++i) {
        copy_values(G + i * p, PZt + i * p, p);
        smoother_chol_solve(L, G + i * p, p);
      }
      for (i64 j = 0; j < n; ++j) {
        for (i64 r = 0; r < p; ++r) col[r] = Z[r * n + j];
        smoother_chol_solve(L, col, p);
        for (i64 r = 0; r < p; ++r) FiZ[r * n + j] = col[r];
      }
      // the measurement errors: R[W, W] (F^-1 v - G^T w)
      smoother_product(G, true, w, false, gw, p, n, 1);
      for (i64 r = 0; r < p; ++r) col[r] = fv[r] - gw[r];
      f64* e = sout->e_smooth + t * m;
      for (i64 j = 0; j < m; ++j) e[j] = NAN;
      for (i64 r = 0; r < p; ++r) {
        const i64 jr = static_cast<i64>(obs[r]);
        for (i64 s = 0; s < p; ++s) Rw[s] = in.R[jr * m + static_cast<i64>(obs[s])];
        f64 acc = 0.0;
        for (i64 s = 0; s < p; ++s) acc = std::fma(Rw[s], col[s], acc);
        e[jr] = acc;
      }
      // I - G Z
      smoother_product(G, false, Z, false, IGZ, n, p, n);
      for (i64 i = 0; i < n * n; ++i) IGZ[i] = -IGZ[i];
      for (i64 i = 0; i < n; ++i) IGZ[i * n + i] += 1.0;
      // u_t = Z^T F^-1 v + (I - G Z)^T w
      smoother_product(Z, true, fv, false, tmp_n, n, p, 1);
      smoother_product(IGZ, true, w, false, tmp_n2, n, n, 1);
      for (i64 i = 0; i < n; ++i) u[i] = tmp_n[i] + tmp_n2[i];
      // N_t = Z^T F^-1 Z + (I - G Z)^T M (I - G Z)
      smoother_product(M, false, IGZ, false, tmp, n, n, n);
      smoother_product(IGZ, true, tmp, false, tmp2, n, n, n);
      smoother_product(Z, true, FiZ, false, tmp, n, p, n);
      for (i64 i = 0; i < n; ++i)
        for (i64 j = 0; j < n; ++j) {
          const f64 sum = tmp[i * n + j] + tmp2[i * n + j];
          const f64 mirror = tmp[j * n + i] + tmp2[j * n + i];
          N[i * n + j] = 0.5 * (sum + mirror);
        }
    }
    if (m > 0 && p == 0)
      for (i64 j = 0; j < m; ++j) sout->e_smooth[t * m + j] = NAN;
    // the state
    f64* xs = sout->x_smooth + t * n;
    smoother_product(P, false, u, false, tmp_n, n, n, 1);
    for (i64 i = 0; i < n; ++i) xs[i] = a[i] + tmp_n[i];
    smoother_reduce(P, N, tmp, sout->P_smooth + t * n * n, n);
    // the shocks
    if (k > 0) {
      smoother_product(QBt, false, u, false, sout->eps_smooth + t * k, k, n, 1);
      smoother_product(QBt, false, N, false, tmp_kn, k, n, n);
      f64* V = sout->eps_smooth_cov + t * k * k;
      for (i64 i = 0; i < k; ++i)
        for (i64 j = 0; j < k; ++j) {
          f64 acc = in.Q[i * k + j];
          for (i64 l = 0; l < n; ++l) acc = std::fma(-tmp_kn[i * n + l], QBt[j * n + l], acc);
          V[i * k + j] = acc;
        }
      for (i64 i = 0; i < k; ++i)
        for (i64 j = 0; j < i; ++j) {
          const f64 mean = 0.5 * (V[i * k + j] + V[j * k + i]);
          V[i * k + j] = mean;
          V[j * k + i] = mean;
        }
    }
  }

  // The period before the first observation: x0 and P0 as the filter took
  // them (the stationary covariance solved again, by the same steps).
  if (sout->x0_smooth != nullptr && sout->P0_smooth != nullptr) {
    if (fin->init == KF_INIT_KNOWN) {
      copy_values(x_start, in.x0, n);
      copy_values(P_start, in.P0, n * n);
    } else {
      copy_or_zero(x_start, in.x0, n);
      kf_build_bqbt(in.B, in.Q, tmp_kn, tmp2, n, k);
      if (!stationary_cov(in.A, tmp2, P_start, tmp, work1, work2, M, n))
        return KF_ERR_NOT_STATIONARY;
    }
    if (T == 0) {
      for (i64 i = 0; i < n; ++i) u[i] = 0.0;
      for (i64 i = 0; i < n * n; ++i) N[i] = 0.0;
    }
    // with u = u_0 and N = N_0: A^T u_0 and A^T N_0 A reduce P0
    smoother_product(in.A, true, u, false, w, n, n, 1);
    smoother_product(P_start, false, w, false, tmp_n, n, n, 1);
    for (i64 i = 0; i < n; ++i) sout->x0_smooth[i] = x_start[i] + tmp_n[i];
    smoother_product(in.A, true, N, false, tmp, n, n, n);
    smoother_product(tmp, false, in.A, false, M, n, n, n);
    smoother_reduce(P_start, M, tmp, sout->P0_smooth, n);
    if (!all_finite(sout->x0_smooth, n) || !all_finite(sout->P0_smooth, n * n))
      return KF_ERR_NOT_FINITE;
  }
  for (i64 i = 0; i < T * m; ++i)
    if (in.y[i] == in.y[i] && !std::isfinite(sout->e_smooth[i])) return KF_ERR_NOT_FINITE;
  if (!all_finite(sout->x_smooth, T * n) || !all_finite(sout->P_smooth, T * n * n) ||
      (k > 0 && (!all_finite(sout->eps_smooth, T * k) ||
                 !all_finite(sout->eps_smooth_cov, T * k * k))))
    return KF_ERR_NOT_FINITE;
  return KF_OK;
}

}  // namespace ORV_VARIANT

#endif  // ORV_KF_SMOOTHER_H
