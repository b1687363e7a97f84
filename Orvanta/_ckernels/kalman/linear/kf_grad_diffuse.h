// The exact diffuse periods in the backward pass of kf_loglik_grad. The
// tape keeps only each period's predicted finite moments, so a period's
// entries are replayed by the filter's own steps (kf_univariate_entries,
// kf_diffuse_entry) from x_pred, P_pred and the period's P_inf, keeping the
// state each entry started from; the adjoint then runs through the entries
// in reverse, through the transform of R, and through P_inf's prediction
// A P_inf A^T. P_inf of each period comes from one replay of the whole
// phase beforehand (n^2 values per diffuse period). Part of a filter
// variant (filters_variant_linear.cpp).
//
// One entry (kf_diffuse_entry), from the state a, P, P_inf: with
// M = P z^T, F = z M + h (+ jitter), M_i = P_inf z^T, F_i = z M_i,
// v = w - z a:
//   diffuse (F_i > tolerance), K = M_i / F_i:
//     a' = a + K v,  P' = P - K M^T - M K^T + K K^T F,
//     P_inf' = P_inf - M_i M_i^T / F_i,  loglik_e = -0.5 (ln F_i + ln 2 pi);
//   ordinary: a' = a + M v / F,  P' = P - M M^T / F,
//     loglik_e = -0.5 (ln F + ln 2 pi + v^2 / F).
// The entries are the period's observed ones transformed: z = Psi C_o,
// w = Psi (y_o - d_o), h = diag(D), where R_o = L D L^T, L unit lower
// triangular and Psi = L^-1 (L = I, D = diag(R_o) when R_o is diagonal,
// which the same formulas then differentiate in R_o's off-diagonal entries).
// Below a zero pivot of D (R_o singular, or a zero variance) the adjoint
// through L is a limit, formed by zero_pivot_limits.
#ifndef ORV_KF_GRAD_DIFFUSE_H
#define ORV_KF_GRAD_DIFFUSE_H

#include "kf_grad_steps.h"

namespace ORV_VARIANT {

namespace {

// What one entry started from and saw, as the replay records it, and the
// adjoints its backward step found (entry_adjoint), which the limits below
// zero pivots need (zero_pivot_limits).
struct grad_entry {
  f64 *a, *P, *P_inf, *M, *M_inf;  // n, n^2, n^2, n, n
  f64 *v, *F, *F_inf, *diffuse;    // one each (diffuse: 1 or 0)
  f64 *Mb, *Mb_inf;                // n, n: the adjoints of M and M_i
  f64 *vb, *Fb, *Fb_inf;           // one each: of v, F and F_i

  // Its layout (see scratch.h): 2 n^2 + 5 n + 7 values.
  template <class Regions>
  static grad_entry regions(Regions& r, i64 n) noexcept {
    grad_entry e{};
    e.a = r.take(n);
    e.P = r.take(n, n);
    e.P_inf = r.take(n, n);
    e.M = r.take(n);
    e.M_inf = r.take(n);
    e.v = r.take(1);
    e.F = r.take(1);
    e.F_inf = r.take(1);
    e.diffuse = r.take(1);
    e.Mb = r.take(n);
    e.Mb_inf = r.take(n);
    e.vb = r.take(1);
    e.Fb = r.take(1);
    e.Fb_inf = r.take(1);
    return e;
  }
  static i64 size(i64 n) noexcept {
    return layout_elements([n](auto& r) { regions(r, n); });
  }
  // The entry whose values start at p.
  static grad_entry at(f64* p, i64 n) noexcept {
    region_carver c(p, size(n));
    return regions(c, n);
  }
};

// The regions of the diffuse phase's backward pass, in carving order, after
// the filter's own scratch (the replay runs its steps).
struct kf_grad_diffuse_scratch {
  kf_scratch s;
  kf_filter_scratch x;
  f64* P_inf_start;  // d n^2  P_inf of each diffuse period's prediction
  f64* entries;      // m grad_entry::size(n)  the current period's entries
  f64* a;            // n    the state through the replay
  f64* P;            // n^2
  f64* P_inf;        // n^2
  f64* Pb_inf;       // n^2  adjoint of P_inf
  f64* c1;           // n    Pb K
  f64* c2;           // n    Pb M
  f64* e;            // n    Pb_inf M_i
  f64* Mb;           // n    adjoint of M
  f64* Mb_inf;       // n    adjoint of M_i
  f64* zb;           // m n  adjoints of the entries' rows z
  f64* wb;           // m    ... of their values w
  f64* hb;           // m    ... of their variances h
  f64* Psi;          // m^2  L^-1
  f64* L;            // m^2  L (unit lower)
  f64* Psib;         // m^2  adjoint of Psi, then of L, then Y
  f64* temp_mm;      // m^2
  f64* u;            // m    y_o - d_o
  f64* D;            // m
  f64* Y_zero;       // m^2  Y below the zero pivots (zero_pivot_limits)
};

// Its layout (see scratch.h): the filter's scratch, then d n^2 + m (2 n^2 +
// 5 n + 7) + 3 n^2 + 6 n + m n + 4 m + 5 m^2 values, d the diffuse periods.
template <class Regions>
kf_grad_diffuse_scratch kf_grad_diffuse_regions(Regions& r, i64 n, i64 m, i64 k,
                                                i64 periods) noexcept {
  kf_grad_diffuse_scratch g{};
  g.s = kf_scratch_regions(r, n, m, k);
  g.x = kf_filter_scratch_regions(r, n, m, k);
  g.P_inf_start = r.take(periods, n, n);
  const i64 entry = grad_entry::size(n);
  g.entries = r.take(m, entry < 0 ? -1 : entry);
  g.a = r.take(n);
  for (f64** p : {&g.P, &g.P_inf, &g.Pb_inf}) *p = r.take(n, n);
  for (f64** p : {&g.c1, &g.c2, &g.e, &g.Mb, &g.Mb_inf}) *p = r.take(n);
  g.zb = r.take(m, n);
  for (f64** p : {&g.wb, &g.hb, &g.u, &g.D}) *p = r.take(m);
  for (f64** p : {&g.Psi, &g.L, &g.Psib, &g.temp_mm, &g.Y_zero}) *p = r.take(m, m);
  return g;
}

// Replays the entries of diffuse period t from its predicted moments (from
// the tape, into g.a and g.P) and its P_inf (in g.P_inf), recording where
// each entry started when `record` is set; leaves the moments after the
// last entry in g.a, g.P and g.P_inf, the period's transformed entries in
// g.x (kf_univariate_entries) and the factor of R_o in g.s.L. Returns m_t,
// and whether R_o was transformed.
i64 replay_diffuse_period(const kf_inputs& in, const kf_outputs& h,
                          const kf_grad_diffuse_scratch& g, i64 t, bool record,
                          bool& transformed) noexcept {
  const i64 n = in.n;
  copy_values(g.a, h.x_pred + t * n, n);
  copy_values(g.P, h.P_pred + t * n * n, n * n);
  const i64 m_t = count_observed(in.y + t * in.m, in.m);
  transformed = false;
  if (m_t > 0) kf_univariate_entries(in, g.s, g.x, t, m_t, transformed);
  for (i64 a = 0; a < m_t; ++a) {
    const grad_entry e = grad_entry::at(g.entries + a * grad_entry::size(n), n);
    if (record) {
      copy_values(e.a, g.a, n);
      copy_values(e.P, g.P, n * n);
      copy_values(e.P_inf, g.P_inf, n * n);
    }
    f64 term = 0.0;
    kf_entry_seen seen{};
    kf_diffuse_entry(g.x.gap.C + a * n, g.x.gap.y[a], g.x.h[a], in.jitter, g.a, g.P, g.P_inf,
                     g.x, n, 0, false, term, seen);
    if (record) {
      copy_values(e.M, g.x.M_star, n);
      copy_values(e.M_inf, g.x.M_inf, n);
      *e.v = seen.v, *e.F = seen.F, *e.F_inf = seen.F_inf;
      *e.diffuse = seen.diffuse ? 1.0 : 0.0;
    }
  }
  return m_t;
}

// P_inf of every diffuse period's prediction, as the filter carried it.
void replay_diffuse_covariances(const kf_filter_inputs& fin, const kf_outputs& h,
                                const kf_grad_diffuse_scratch& g, i64 periods) noexcept {
  const kf_inputs& in = fin.model;
  const i64 n = in.n;
  kf_initial_diffuse_cov(fin, g.P_inf);
  for (i64 t = 0; t < periods; ++t) {
    copy_values(g.P_inf_start + t * n * n, g.P_inf, n * n);
    bool transformed = false;
    replay_diffuse_period(in, h, g, t, false, transformed);
    kf_next_diffuse_cov(in, g.s, g.P_inf);
  }
}

// P += sym(b z^T) = 0.5 (b z^T + z b^T), formed on and above the diagonal
// and mirrored.
void add_symmetric_outer(f64* P, const f64* b, const f64* z, i64 n) noexcept {
  for (i64 i = 0; i < n; ++i)
    for (i64 j = i; j < n; ++j) {
      const f64 s = std::fma(b[i], z[j], b[j] * z[i]);
      P[i * n + j] = std::fma(0.5, s, P[i * n + j]);
    }
  mirror_upper(P, n);
}

// The adjoint of one entry (see the top of the file), in place: xb, Pb and
// g.Pb_inf go from the adjoints of a', P' and P_inf' to those of a, P and
// P_inf; zb, wb and hb receive the adjoints of z, w and h. With K, c1 =
// Pb K, c2 = Pb M and e = Pb_inf M_i:
//   diffuse:  Kb = xb v - 2 c2 + 2 F c1,  Mb = -2 c1,  Fb = K c1,
//             vb = xb K,  Mb_i = (Kb - 2 e) / F_i,
//             Fb_i = (M_i e - M_i Kb) / F_i^2 - 0.5 / F_i;
//   ordinary: Mb = (xb v - 2 c2) / F,  vb = (xb M - v) / F,
//             Fb = (M c2 - (xb M) v + 0.5 v^2) / F^2 - 0.5 / F;
// then through F, F_i, v, M and M_i to z, h, w, a, P and P_inf.
void entry_adjoint(const grad_entry& e, const f64* z, f64* xb, f64* Pb,
                   const kf_grad_diffuse_scratch& g, f64* zb, f64& wb, f64& hb,
                   i64 n) noexcept {
  const f64 v = *e.v, F = *e.F, Fi = *e.F_inf;
  f64 Fb = 0.0, Fib = 0.0, vb = 0.0;
  orv_matvec(Pb, e.M, g.c2, n, n);  // c2 = Pb M
  if (*e.diffuse != 0.0) {
    // K = M_i / F_i;  c1 = Pb K;  e = Pb_inf M_i
    for (i64 i = 0; i < n; ++i) g.Mb_inf[i] = e.M_inf[i] / Fi;  // K, for now
    orv_matvec(Pb, g.Mb_inf, g.c1, n, n);
    orv_matvec(g.Pb_inf, e.M_inf, g.e, n, n);
    Fb = orv_dot(g.Mb_inf, g.c1, n);
    vb = orv_dot(xb, g.Mb_inf, n);
    // Kb = xb v - 2 c2 + 2 F c1;  Mb = -2 c1;
    // Mb_i = (Kb - 2 e) / F_i;  Fb_i = (M_i e - M_i Kb) / F_i^2 - 0.5 / F_i
    f64 m_kb = 0.0;
    for (i64 i = 0; i < n; ++i) {
      f64 kb = std::fma(xb[i], v, -2.0 * g.c2[i]);
      kb = std::fma(2.0 * F, g.c1[i], kb);
      g.Mb[i] = -2.0 * g.c1[i];
      m_kb = std::fma(e.M_inf[i], kb, m_kb);
      g.Mb_inf[i] = std::fma(-2.0, g.e[i], kb) / Fi;
    }
    const f64 m_e = orv_dot(e.M_inf, g.e, n);
    Fib = (m_e - m_kb) / (Fi * Fi) - 0.5 / Fi;
  } else {
    // Mb = (xb v - 2 c2) / F;  vb = (xb M - v) / F;
    // Fb = -(xb M) v / F^2 + (M c2) / F^2 - 0.5 / F + 0.5 v^2 / F^2
    const f64 xm = orv_dot(xb, e.M, n);
    for (i64 i = 0; i < n; ++i) {
      g.Mb[i] = std::fma(xb[i], v, -2.0 * g.c2[i]) / F;
      g.Mb_inf[i] = 0.0;
    }
    vb = (xm - v) / F;
    const f64 quad = std::fma(-xm, v, orv_dot(e.M, g.c2, n));
    Fb = std::fma(0.5, v * v, quad) / (F * F) - 0.5 / F;
  }
  // F = z M + h, F_i = z M_i, v = w - z a: z, M, M_i, h, w and a
  for (i64 i = 0; i < n; ++i) {
    f64 s = std::fma(Fb, e.M[i], zb[i]);
    s = std::fma(Fib, e.M_inf[i], s);
    zb[i] = std::fma(-vb, e.a[i], s);
    g.Mb[i] = std::fma(Fb, z[i], g.Mb[i]);
    g.Mb_inf[i] = std::fma(Fib, z[i], g.Mb_inf[i]);
    xb[i] = std::fma(-vb, z[i], xb[i]);
  }
  hb = hb + Fb;
  wb = wb + vb;
  copy_values(e.Mb, g.Mb, n);
  copy_values(e.Mb_inf, g.Mb_inf, n);
  *e.vb = vb, *e.Fb = Fb, *e.Fb_inf = Fib;
  // M = P z^T, M_i = P_inf z^T: zb += P Mb + P_inf Mb_i; Pb += sym(Mb z^T),
  // Pb_inf += sym(Mb_i z^T)
  orv_matvec(e.P, g.Mb, g.c1, n, n);
  orv_matvec(e.P_inf, g.Mb_inf, g.c2, n, n);
  for (i64 i = 0; i < n; ++i) zb[i] = (zb[i] + g.c1[i]) + g.c2[i];
  add_symmetric_outer(Pb, g.Mb, z, n);
  add_symmetric_outer(g.Pb_inf, g.Mb_inf, z, n);
}

// L (unit lower), Psi = L^-1 and D of R_o = L D L^T, from the factor F
// with L = F diag(F)^-1 that the replay left in g.s.L and the variances it
// left in g.x.h (kf_univariate_entries); or L = Psi = I, D = diag(R_o) when
// R_o was not transformed.
void transform_factors(const kf_grad_diffuse_scratch& g, bool transformed, i64 m) noexcept {
  for (i64 i = 0; i < m; ++i)
    for (i64 j = 0; j < m; ++j) {
      const f64 pivot = g.s.L[j * m + j];
      g.L[i * m + j] = transformed ? g.s.L[i * m + j] / pivot : (i == j ? 1.0 : 0.0);
    }
  copy_values(g.D, g.x.h, m);
  // Psi = L^-1, column by column (unit diagonal)
  for (i64 j = 0; j < m; ++j)
    for (i64 i = 0; i < m; ++i) {
      f64 s = i == j ? 1.0 : 0.0;
      for (i64 l = j; l < i; ++l) s = std::fma(-g.L[i * m + l], g.Psi[l * m + j], s);
      g.Psi[i * m + j] = i < j ? 0.0 : s;
    }
}

// Whether the adjoint below a zero pivot has a limit (zero_pivot_limits):
// not with jitter.
inline bool zero_pivots_have_limits(const kf_inputs& in) noexcept { return !(in.jitter > 0.0); }

// Below a zero pivot D_j (R_o singular), Y[i][j] = (L^T Lb)[i][j] / D_j,
// i > j, is 0 / 0: the column of L there is no function of R_o (any value
// gives the same L D L^T), so the likelihood cannot depend on it, and
// L^T Lb[i][j] = -(zb_i z_j^T + wb_i w_j), the change of the likelihood as
// c (z_j, w_j) is added to entry i, vanishes. Its ratio to D_j = h_j has a
// limit, which is Y[i][j] (with jitter it has none: D_j = 0 is then no zero
// variance, and the likelihood jumps with L). After entry j, with
// r = w_j - z_j a, mu = P z_j^T and mu_i = P_inf z_j^T at the state an
// entry starts from, entry i's v, M and M_i move by c (r, mu, mu_i) and
// its F = z_i M and F_i = z_i M_i by c z_i (mu, mu_i) besides, so
//   zb_i z_j^T + wb_i w_j = vb r + Fb z_i mu + Fb_i z_i mu_i + Mb mu + Mb_i mu_i
// with the adjoints entry_adjoint found (Mb and Mb_i the whole adjoints of
// M and M_i, through F and F_i as well). r, mu and mu_i vanish with h_j; to
// first order, entry j leaves (v_j, M_j, 0) h_j / F_j after an ordinary
// update and (0, K, 0) h_j after a diffuse one (K = M_i / F_i), and each
// later entry k moves them as it moves the state, linearly:
//   ordinary: r -= (z_k mu) v_k / F_k,  mu -= M_k (z_k mu) / F_k;
//   diffuse:  r -= (z_k mu_i) v_k / F_i,k,  mu -= K_k (z_k mu) +
//             M_k (z_k mu_i) / F_i,k - K_k (z_k mu_i) F_k / F_i,k,
//             mu_i -= M_i,k (z_k mu_i) / F_i,k.
// Y_zero[i][j] is minus that sum at entry i, with r, mu, mu_i replaced by
// their first-order coefficients. g.c1 and g.c2 carry mu' and mu_i'.
void zero_pivot_limits(const kf_grad_diffuse_scratch& g, i64 m_t, i64 n) noexcept {
  const auto entry = [&](i64 a) {
    return grad_entry::at(g.entries + a * grad_entry::size(n), n);
  };
  for (i64 j = 0; j < m_t; ++j) {
    if (g.D[j] != 0.0) continue;
    const grad_entry ej = entry(j);
    const bool diffuse_j = *ej.diffuse != 0.0;
    f64 r = diffuse_j ? 0.0 : *ej.v / *ej.F;
    for (i64 l = 0; l < n; ++l) {
      g.c1[l] = diffuse_j ? ej.M_inf[l] / *ej.F_inf : ej.M[l] / *ej.F;
      g.c2[l] = 0.0;
    }
    for (i64 i = j + 1; i < m_t; ++i) {
      const grad_entry e = entry(i);
      const f64* z = g.x.gap.C + i * n;
      const f64 zm = orv_dot(z, g.c1, n), zmi = orv_dot(z, g.c2, n);
      f64 along = *e.vb * r;
      along = std::fma(*e.Fb, zm, along);
      along = std::fma(*e.Fb_inf, zmi, along);
      for (i64 l = 0; l < n; ++l) {
        along = std::fma(e.Mb[l], g.c1[l], along);
        along = std::fma(e.Mb_inf[l], g.c2[l], along);
      }
      g.Y_zero[i * m_t + j] = -along;
      if (*e.diffuse != 0.0) {
        const f64 Fi = *e.F_inf, s = zmi / Fi;
        r = std::fma(-s, *e.v, r);
        for (i64 l = 0; l < n; ++l) {
          const f64 K = e.M_inf[l] / Fi;
          f64 mu = std::fma(-K, zm, g.c1[l]);
          mu = std::fma(-e.M[l], s, mu);
          g.c1[l] = std::fma(K * s, *e.F, mu);
          g.c2[l] = std::fma(-e.M_inf[l], s, g.c2[l]);
        }
      } else {
        const f64 s = zm / *e.F;
        r = std::fma(-s, *e.v, r);
        for (i64 l = 0; l < n; ++l) g.c1[l] = std::fma(-e.M[l], s, g.c1[l]);
      }
    }
  }
}

// Marks NaN in dR_o (p x p, in R) the entries that Y below a zero pivot
// reaches when it has no limit (with jitter): every (a, b) with
// Psi[i][a] Psi[j][b] not zero for such an (i, j), with its mirror.
void mark_undetermined_entries(const f64* Psi, const f64* D, f64* R, i64 p) noexcept {
  for (i64 j = 0; j < p; ++j) {
    if (D[j] != 0.0) continue;
    for (i64 i = j + 1; i < p; ++i)
      for (i64 a = 0; a <= i; ++a)
        for (i64 b = 0; b <= j; ++b)
          if (Psi[i * p + a] != 0.0 && Psi[j * p + b] != 0.0)
            R[a * p + b] = R[b * p + a] = __builtin_nan("");
  }
}

// The adjoint of the transform z = Psi C_o, w = Psi (y_o - d_o), h = D from
// zb (m x n), wb and hb:
//   dC_o += Psi^T zb,  dd_o -= Psi^T wb,
//   Psib = zb C_o^T + wb (y_o - d_o)^T,  Lb = -Psi^T Psib Psi^T,
//   Y = strict_lower(L^T Lb) D^-1 + diag(hb),  dR_o += sym(Psi^T Y Psi),
// the last from dR = L (Phi D + dD + D Phi^T) L^T with Phi = L^-1 dL
// strictly lower: a change of R_o moves L and D by dD = diag(X) and
// Phi = strict_lower(X) D^-1, X = Psi dR Psi^T.
void transform_adjoint(const kf_inputs& in, const kf_grad_diffuse_scratch& g,
                       const kf_grad_sinks& d, i64 t, i64 m_t, bool transformed) noexcept {
  const i64 n = in.n, m = in.m;
  const bool limits = zero_pivots_have_limits(in);  // in Y_zero
  const f64* y = in.y + t * m;
  // C_o and u = y_o - d_o, packed again from the model (the replay
  // transformed its copies in place)
  for (i64 j = 0, a = 0; j < m; ++j) {
    if (y[j] != y[j]) continue;
    copy_values(g.x.gap.C + a * n, in.C + j * n, n);
    g.u[a] = y[j] - in.d[j];
    ++a;
  }
  // Psib (m_t x m_t) = zb C_o^T + wb u^T
  orv_matmul_abt(g.zb, g.x.gap.C, g.Psib, m_t, n, m_t);
  for (i64 i = 0; i < m_t; ++i)
    for (i64 j = 0; j < m_t; ++j) g.Psib[i * m_t + j] = std::fma(g.wb[i], g.u[j], g.Psib[i * m_t + j]);
  if (transformed) {
    // Lb = -Psi^T Psib Psi^T;  temp = L^T Lb;  Y into Psib
    orv_matmul_atb(g.Psi, g.Psib, g.temp_mm, m_t, m_t, m_t);
    orv_matmul_abt(g.temp_mm, g.Psi, g.Psib, m_t, m_t, m_t);
    orv_matmul_atb(g.L, g.Psib, g.temp_mm, m_t, m_t, m_t);
    for (i64 i = 0; i < m_t; ++i)
      for (i64 j = 0; j < m_t; ++j) {
        f64 value = i == j ? g.hb[i] : 0.0;
        if (i > j)
          value = g.D[j] != 0.0 ? -g.temp_mm[i * m_t + j] / g.D[j]
                                : (limits ? g.Y_zero[i * m_t + j] : 0.0);
        g.Psib[i * m_t + j] = value;
      }
    // temp = Psi^T Y Psi, symmetrised
    orv_matmul_atb(g.Psi, g.Psib, g.temp_mm, m_t, m_t, m_t);
    orv_matmul(g.temp_mm, g.Psi, g.Psib, m_t, m_t, m_t);
    orv_sym_inplace(g.Psib, m_t);
    if (!limits) mark_undetermined_entries(g.Psi, g.D, g.Psib, m_t);
  } else {
    // Psi = L = I: dR_o = sym(Y) = diag(hb) and, off the diagonal,
    // -0.5 Psib[i][j] / D[j] for i > j, each entry on its own (with jitter,
    // a zero variance D[j] leaves only the pairs it divides undefined)
    for (i64 i = 0; i < m_t; ++i) {
      for (i64 j = 0; j < i; ++j) {
        const f64 y = g.D[j] != 0.0 || !limits ? -0.5 * g.Psib[i * m_t + j] / g.D[j]
                                               : 0.5 * g.Y_zero[i * m_t + j];
        g.Psib[i * m_t + j] = g.Psib[j * m_t + i] = y;
      }
      g.Psib[i * m_t + i] = g.hb[i];
    }
  }
  // scatter: dC_o += Psi^T zb, dd_o -= Psi^T wb, dR_o += Psib
  for (i64 j = 0, a = 0; j < m; ++j) {
    if (y[j] != y[j]) continue;
    for (i64 l = 0; l < n; ++l) {
      f64 s = d.dC[j * n + l];
      for (i64 b = 0; b < m_t; ++b) s = std::fma(g.Psi[b * m_t + a], g.zb[b * n + l], s);
      d.dC[j * n + l] = s;
    }
    f64 s = d.dd[j];
    for (i64 b = 0; b < m_t; ++b) s = std::fma(-g.Psi[b * m_t + a], g.wb[b], s);
    d.dd[j] = s;
    for (i64 i = 0, b = 0; i < m; ++i)
      if (y[i] == y[i]) d.dR[j * m + i] = d.dR[j * m + i] + g.Psib[a * m_t + b++];
    ++a;
  }
}

// The adjoint of P_inf' = sym(A P_inf A^T) (the prediction of the next
// period's P_inf) from Pb_inf' in dg.Pb_inf: dA += 2 Pb_inf' A P_inf, and
// dg.Pb_inf becomes A^T Pb_inf' A. P_inf is the current period's after its
// entries, in dg.P_inf.
void diffuse_cov_prediction_adjoint(const kf_inputs& in, const kf_grad_scratch& g,
                                    const kf_grad_diffuse_scratch& dg, f64* dA) noexcept {
  const i64 n = in.n;
  orv_matmul(dg.Pb_inf, in.A, g.GA, n, n, n);
  orv_matmul(g.GA, dg.P_inf, g.temp_nn, n, n, n);
  for (i64 i = 0; i < n * n; ++i) dA[i] = std::fma(2.0, g.temp_nn[i], dA[i]);
  orv_matmul_atb(in.A, g.GA, dg.Pb_inf, n, n, n);
  orv_sym_inplace(dg.Pb_inf, n);
}

// The adjoint of diffuse period t's update, from xb and Pb (the adjoints of
// its filtered moments, in g of the ordinary pass) and dg.Pb_inf (of the
// next period's predicted P_inf, which the last diffuse period does not
// form) to xb_p, Pb_p and dg.Pb_inf, those of its predicted moments and
// P_inf.
void diffuse_update_adjoint(const kf_inputs& in, const kf_outputs& h, const kf_grad_scratch& g,
                            const kf_grad_diffuse_scratch& dg, const kf_grad_sinks& d, i64 t,
                            bool last) noexcept {
  const i64 n = in.n;
  copy_values(dg.P_inf, dg.P_inf_start + t * n * n, n * n);
  bool transformed = false;
  const i64 m_t = replay_diffuse_period(in, h, dg, t, true, transformed);
  if (last)
    for (i64 i = 0; i < n * n; ++i) dg.Pb_inf[i] = 0.0;
  else
    diffuse_cov_prediction_adjoint(in, g, dg, d.dA);
  for (i64 i = 0; i < m_t * n; ++i) dg.zb[i] = 0.0;
  for (i64 a = m_t - 1; a >= 0; --a) {
    const grad_entry e = grad_entry::at(dg.entries + a * grad_entry::size(n), n);
    dg.wb[a] = dg.hb[a] = 0.0;
    entry_adjoint(e, dg.x.gap.C + a * n, g.xb, g.Pb, dg, dg.zb + a * n, dg.wb[a], dg.hb[a], n);
  }
  if (m_t > 0) {
    transform_factors(dg, transformed, m_t);
    if (zero_pivots_have_limits(in)) zero_pivot_limits(dg, m_t, n);
    transform_adjoint(in, dg, d, t, m_t, transformed);
  }
  copy_values(g.xb_p, g.xb, n);
  copy_values(g.Pb_p, g.Pb, n * n);
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_GRAD_DIFFUSE_H
