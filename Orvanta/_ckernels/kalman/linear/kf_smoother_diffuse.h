// The exact initial smoother of Durbin and Koopman through the diffuse
// periods of kf_filter, in the univariate form that matches the filter's
// diffuse phase (kf_filter.h): one observed entry at a time, backwards.
// Part of a filter variant (filters_variant_linear.cpp).
//
// The filter keeps only the finite parts of its diffuse periods. The
// backward pass also needs, for each entry i of period t, the row z, the
// innovation v, the variances F (finite part) and F_inf, the vectors
// M = P z^T and M_inf = P_inf z^T and the update the entry took, and P_inf
// of each period: the filter records them as it runs those periods
// (kf_diffuse_records.h).
//
// Backwards, as kappa -> infinity the backward quantities expand as
// r = r0 + r1 / kappa and N = N0 + N1 / kappa + N2 / kappa^2. An entry with
// F_inf > 0 (K0 = M_inf / F_inf, K1 = M / F_inf - K0 F / F_inf,
// L0 = I - K0 z, L1 = -K1 z) takes
//
//   r1 <- z^T v / F_inf + L0^T r1 + L1^T r0,    r0 <- L0^T r0,
//   N2 <- -z^T z F / F_inf^2 + L0^T N2 L0 + L0^T N1 L1 + L1^T N1^T L0 + L1^T N0 L1,
//   N1 <- z^T z / F_inf + L0^T N1 L0 + L1^T N0 L0,    N0 <- L0^T N0 L0,
//
// and its measurement error is -h K0^T r0 (before the update); one with
// F_inf = 0 (K = M / F, L = I - K z) takes the ordinary step
//
//   r0 <- z^T v / F + L^T r0,   N0 <- z^T z / F + L^T N0 L,   N1 <- N1 L,
//
// with r1 and N2 unchanged and the measurement error h (v / F - K^T r0).
// Every L is I minus a rank-one matrix, so each of these is a handful of
// vectors and one pass over the matrices. The vectors are products of the
// N's with K0 and K1; N0 and N2 are symmetric and N1 is kept transposed, so
// that all but one of them are sums down the columns, which run in vector
// lanes, rather than along the rows, one scalar chain per element. Between
// periods every quantity goes through A^T (r) or A^T . A (N). Then, for
// period t,
//
//   x_smooth[t] = a_t + P_t r0 + P_inf,t r1,
//   P_smooth[t] = P_t - P_t N0 P_t - P_inf,t N1 P_t - (P_inf,t N1 P_t)^T
//                 - P_inf,t N2 P_inf,t,
//
// the shocks take r0 and N0 as in the other periods, and the measurement
// errors of a period whose observed entries were transformed by the unit
// lower factor of R's observed block are transformed back by it. These are
// the recursions of Durbin and Koopman (2012, sections 5.3 and 6.4) as
// statsmodels implements them.
#ifndef ORV_KF_SMOOTHER_DIFFUSE_H
#define ORV_KF_SMOOTHER_DIFFUSE_H

#include "kf_smoother_steps.h"

namespace ORV_VARIANT {

namespace {

// ---- backwards ----------------------------------------------------------------------

// The regions the backward pass through diffuse periods adds to
// smoother_scratch.
struct diffuse_scratch {
  f64* r1;  // n    the diffuse part of u
  f64* N1t; // n^2  N's part in 1 / kappa, transposed
  f64* N2;  // n^2  N's part in 1 / kappa^2
  f64* k0;  // n    K0 (the ordinary gain K in an ordinary entry)
  f64* k1;  // n    K1
  f64* a;   // n    N0 k0
  f64* b;   // n    N0 k1
  f64* c;   // n    N1 k0
  f64* cr;  // n    N1^T k0
  f64* q;   // n    N1 k1
  f64* g;   // n    N2 k0
  f64* x;   // n    a_t + P_t r0
  f64* e;   // m    the measurement errors of the period's entries
};

// Its layout (see scratch.h): 10n + 2n^2 + m values.
template <class Regions>
diffuse_scratch diffuse_scratch_regions(Regions& r, i64 n, i64 m) noexcept {
  diffuse_scratch d{};
  d.r1 = r.take(n);
  d.N1t = r.take(n, n);
  d.N2 = r.take(n, n);
  d.k0 = r.take(n);
  d.k1 = r.take(n);
  d.a = r.take(n);
  d.b = r.take(n);
  d.c = r.take(n);
  d.cr = r.take(n);
  d.q = r.take(n);
  d.g = r.take(n);
  d.x = r.take(n);
  d.e = r.take(m);
  return d;
}

// out (n) = X^T v for X (n x n): the sums of v^T X, in vector lanes. For a
// symmetric X this is X v.
inline void transposed_times(const f64* X, const f64* v, f64* out, i64 n) noexcept {
  row_times_matrix(v, X, nullptr, out, n, n);
}

// X (n x n) += -z a^T - b z^T + s z z^T, each element one chain of fmas.
inline void rank_two_update(f64* X, const f64* z, const f64* a, const f64* b, f64 s,
                            i64 n) noexcept {
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < n; ++j) {
      f64 acc = X[i * n + j];
      acc = std::fma(-z[i], a[j], acc);
      acc = std::fma(-b[i], z[j], acc);
      acc = std::fma(s * z[i], z[j], acc);
      X[i * n + j] = acc;
    }
}

// The backward step of one entry whose update was diffuse: r0 (s.u), N0
// (s.N), r1, N1, N2 in place; returns its measurement error, -h K0^T r0.
f64 diffuse_entry_back(const diffuse_entry& en, const smoother_scratch& s,
                       const diffuse_scratch& d, i64 n) noexcept {
  const f64 F1 = 1.0 / en.F_inf;
  const f64 F12 = -en.F * F1;
  const f64 F2 = F12 * F1;
  for (i64 i = 0; i < n; ++i) {
    d.k0[i] = en.M_inf[i] * F1;
    d.k1[i] = std::fma(d.k0[i], F12, en.M[i] * F1);
  }
  const f64 k0r0 = orv_dot(d.k0, s.u, n);
  const f64 k1r0 = orv_dot(d.k1, s.u, n);
  const f64 k0r1 = orv_dot(d.k0, d.r1, n);
  // r1 += z^T (v F1 - K0^T r1 - K1^T r0);  r0 -= z^T K0^T r0
  const f64 along = en.v * F1 - k0r1 - k1r0;
  for (i64 i = 0; i < n; ++i) {
    d.r1[i] = std::fma(en.z[i], along, d.r1[i]);
    s.u[i] = std::fma(-en.z[i], k0r0, s.u[i]);
  }
  // the vectors and scalars of the old N0, N1, N2 that the rank-one
  // expansions of the L's need
  transposed_times(s.N, d.k0, d.a, n);
  transposed_times(s.N, d.k1, d.b, n);
  transposed_times(d.N1t, d.k0, d.c, n);
  orv_matvec(d.N1t, d.k0, d.cr, n, n);
  transposed_times(d.N1t, d.k1, d.q, n);
  transposed_times(d.N2, d.k0, d.g, n);
  const f64 s00 = orv_dot(d.k0, d.a, n);   // K0^T N0 K0
  const f64 s10 = orv_dot(d.k1, d.a, n);   // K1^T N0 K0
  const f64 s11 = orv_dot(d.k1, d.b, n);   // K1^T N0 K1
  const f64 t00 = orv_dot(d.k0, d.c, n);   // K0^T N1 K0
  const f64 t01 = orv_dot(d.k0, d.q, n);   // K0^T N1 K1
  const f64 u00 = orv_dot(d.k0, d.g, n);   // K0^T N2 K0
  // N2 += -z (g + q)^T - (g + q) z^T + (u00 + 2 t01 + s11 + F2) z z^T
  for (i64 i = 0; i < n; ++i) d.g[i] = d.g[i] + d.q[i];
  rank_two_update(d.N2, en.z, d.g, d.g, u00 + 2.0 * t01 + s11 + F2, n);
  // N1 += -z (cr + b)^T - c z^T + (t00 + s10 + F1) z z^T, transposed
  for (i64 i = 0; i < n; ++i) d.cr[i] = d.cr[i] + d.b[i];
  rank_two_update(d.N1t, en.z, d.c, d.cr, t00 + s10 + F1, n);
  // N0 += -z a^T - a z^T + s00 z z^T
  rank_two_update(s.N, en.z, d.a, d.a, s00, n);
  return -en.h * k0r0;
}

// The backward step of one entry whose update was the ordinary one: r0 and
// N0 as in an ordinary period, N1 <- N1 L (N1^T <- L^T N1^T); returns its
// measurement error.
f64 ordinary_entry_back(const diffuse_entry& en, const smoother_scratch& s,
                        const diffuse_scratch& d, i64 n) noexcept {
  const f64 Finv = 1.0 / en.F;
  for (i64 i = 0; i < n; ++i) d.k0[i] = en.M[i] * Finv;
  const f64 along = en.v * Finv - orv_dot(d.k0, s.u, n);
  for (i64 i = 0; i < n; ++i) s.u[i] = std::fma(en.z[i], along, s.u[i]);
  transposed_times(s.N, d.k0, d.a, n);
  transposed_times(d.N1t, d.k0, d.c, n);
  const f64 s00 = orv_dot(d.k0, d.a, n);
  rank_two_update(s.N, en.z, d.a, d.a, s00 + Finv, n);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < n; ++j) d.N1t[i * n + j] = std::fma(-en.z[i], d.c[j], d.N1t[i * n + j]);
  return en.h * along;
}

// X (n x n) <- A^T X A for any X; tmp (n x n) receives X A.
void through_transition(const f64* A, f64* X, f64* tmp, i64 n) noexcept {
  orv_matmul(X, A, tmp, n, n, n);
  product_direct_by_height({A, 1, n, tmp, n, n, X, n, nullptr, nullptr, 0}, n, n);
}

// The diffuse parts carried from a diffuse period to the one before it: r1
// through A^T, N1 and N2 through A^T . A (N1^T as N1, since
// (A^T N1 A)^T = A^T N1^T A; they start at zero after the last diffuse
// period).
void carry_diffuse_parts(const f64* A, const smoother_scratch& s, const diffuse_scratch& d,
                         i64 n) noexcept {
  copy_values(s.tmp, d.r1, n);
  transposed_times(A, s.tmp, d.r1, n);
  through_transition(A, d.N1t, s.tmp, n);
  through_transition(A, d.N2, s.tmp, n);
}

// The entries of period t of the diffuse phase, backwards, from r0 = s.w and
// N0 = s.M carried in: s.u and s.N end as r0 and N0 of the period's start,
// and e_out (m) receives the measurement errors of its observed entries.
void diffuse_entries_back(const kf_inputs& in, const diffuse_records& rec,
                          const smoother_scratch& s, const diffuse_scratch& d, i64 t,
                          f64* e_out) noexcept {
  const i64 n = in.n, m = in.m;
  copy_values(s.u, s.w, n);
  copy_values(s.N, s.M, n * n);
  const i64 p = rec.observed(t);
  for (i64 e = p - 1; e >= 0; --e) {
    const diffuse_entry en = diffuse_entry::at(rec.entry(t, e), n);
    d.e[e] = en.diffuse ? diffuse_entry_back(en, s, d, n) : ordinary_entry_back(en, s, d, n);
  }
  // e = L e~ for the unit lower factor L = F diag(F)^-1 of R's observed block
  if (rec.transformed(t)) {
    const f64* F = rec.factor(t);
    for (i64 b = 0; b < p; ++b) d.e[b] = d.e[b] / F[b * p + b];
    for (i64 i = p - 1; i >= 0; --i) {
      f64 acc = 0.0;
      for (i64 b = 0; b <= i; ++b) acc = std::fma(F[i * p + b], d.e[b], acc);
      d.e[i] = acc;
    }
  }
  const f64* y = in.y + t * m;
  for (i64 j = 0, e = 0; j < m; ++j) e_out[j] = y[j] == y[j] ? d.e[e++] : __builtin_nan("");
}

// The diffuse terms of period t's smoothed state, once a_t + P_t r0 and, on
// and below the diagonal, P_t - P_t N0 P_t are in x_out and P_out:
// x_out += P_inf r1 and P_out -= (Y + Y^T) + P_inf N2 P_inf, Y = P_inf N1 P_t.
void add_diffuse_state_terms(const kf_outputs& h, const diffuse_records& rec,
                             const smoother_scratch& s, const diffuse_scratch& d, i64 t,
                             f64* x_out, f64* P_out, i64 n) noexcept {
  const f64* P = h.P_pred + t * n * n;
  const f64* P_inf = rec.P_inf(t);
  copy_values(d.x, x_out, n);
  orv_matvec_plus_vec(P_inf, d.r1, d.x, x_out, n, n);
  orv_matmul_abt(P_inf, d.N1t, s.tmp, n, n, n);
  orv_matmul(s.tmp, P, s.X, n, n, n);
  congruence_t(P_inf, d.N2, s.tmp, s.M, n);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j <= i; ++j) {
      const f64 cross = s.X[i * n + j] + s.X[j * n + i];
      P_out[i * n + j] = (P_out[i * n + j] - cross) - s.M[i * n + j];
    }
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_SMOOTHER_DIFFUSE_H
