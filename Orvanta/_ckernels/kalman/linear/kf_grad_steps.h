// The adjoint of one ordinary period of the linear filter, in reverse: the
// update by the observed entries, then the prediction. Given the adjoints
// xb = d loglik / d x_filt and Pb = d loglik / d P_filt (symmetric) of what
// the period hands on, each step adds the period's share to the gradient of
// the model arrays and leaves the adjoints of what the period started from.
//
// The period, with the m_t observed entries packed (C_o = the observed rows
// of C, R_o the observed block of R, v and S their innovations and
// covariance):
//   x_p = A x,  P_p = A P A^T + B Q B^T,  v = y_o - C_o x_p - d_o,
//   S = C_o P_p C_o^T + R_o (+ jitter I),  K = P_p C_o^T S^-1,
//   x_f = x_p + K v,  P_f = (I - K C_o) P_p (I - K C_o)^T + K R_o K^T,
//   loglik_t = -0.5 (m_t ln 2 pi + ln det S + v^T S^-1 v).
// The Joseph form's derivative with respect to K is 2 Pb (K S' - P_p C_o^T),
// S' = S without the jitter j, which is -2 j Pb K: zero without jitter, and
// otherwise the only share of K in P_f; P_f reaches P_p, C_o and R_o with K
// held fixed. So the adjoint of K is Kb = xb v^T - 2 j W, W = Pb K. The
// symmetrisations are the identity on the symmetric matrices the filter
// works with, so every covariance adjoint is kept symmetric.
//
// Sums follow the library's rule (the dense kernels, or one accumulator and
// one std::fma per term in ascending order), so the gradient has the same
// bits on every variant. Part of a filter variant (filters_variant_linear.cpp).
#ifndef ORV_KF_GRAD_STEPS_H
#define ORV_KF_GRAD_STEPS_H

#include "kf_grad_tape.h"

namespace ORV_VARIANT {

namespace {

// The regions of the backward pass, in carving order.
struct kf_grad_scratch {
  f64* xb;       // n    adjoint of the filtered state handed on
  f64* xb_p;     // n    adjoint of the predicted state
  f64* x_start;  // n    the state before period 0 (x0 or zeros)
  f64* Pb;       // n^2  adjoint of the filtered covariance handed on
  f64* Pb_p;     // n^2  adjoint of the predicted covariance
  f64* G_sum;    // n^2  sum of Pb_p over the periods: the adjoint of B Q B^T
  f64* GA;       // n^2  Pb_p A
  f64* temp_nn;  // n^2
  f64* C_o;      // m n  observed rows of C
  f64* CP;       // m n  C_o P_p
  f64* KT;       // m n  the gain transposed, S^-1 C_o P_p
  f64* WT;       // m n  K^T Pb, then U C_o - H^T
  f64* UC;       // m n  U C_o, then 0.5 U C_o - H^T
  f64* HT;       // m n  W^T - 0.5 a xb^T
  f64* DP;       // m n  (U C_o - H^T) P_p
  f64* v;        // m    observed innovations
  f64* a;        // m    S^-1 v
  f64* Kx;       // m    K^T xb
  f64* vb;       // m    adjoint of v
  f64* col;      // m    a column of S^-1 being solved
  f64* S_o;      // m^2  observed block of S
  f64* L;        // m^2  its Cholesky factor (jitter included)
  f64* S_inv;    // m^2
  f64* Sb;       // m^2  adjoint of S through loglik_t and K
  f64* U;        // m^2  K^T Pb K, then Sb + K^T Pb K, the adjoint of R_o
  f64* VS;       // m^2  K^T Pb K S^-1 (with jitter)
  f64* temp_nk;  // n k
};

// Its layout (see scratch.h): 3n + 5n^2 + 7mn + 5m + 6m^2 + nk values.
template <class Regions>
kf_grad_scratch kf_grad_scratch_regions(Regions& r, i64 n, i64 m, i64 k) noexcept {
  kf_grad_scratch g{};
  for (f64** p : {&g.xb, &g.xb_p, &g.x_start}) *p = r.take(n);
  for (f64** p : {&g.Pb, &g.Pb_p, &g.G_sum, &g.GA, &g.temp_nn}) *p = r.take(n, n);
  for (f64** p : {&g.C_o, &g.CP, &g.KT, &g.WT, &g.UC, &g.HT, &g.DP}) *p = r.take(m, n);
  for (f64** p : {&g.v, &g.a, &g.Kx, &g.vb, &g.col}) *p = r.take(m);
  for (f64** p : {&g.S_o, &g.L, &g.S_inv, &g.Sb, &g.U, &g.VS}) *p = r.take(m, m);
  g.temp_nk = r.take(n, k);
  return g;
}

// Where the gradient of the model arrays accumulates (kf_grad_outputs).
struct kf_grad_sinks {
  f64 *dA, *dC, *dd, *dR;
};

// Upper triangle of P (n x n) copied onto the lower.
inline void mirror_upper(f64* P, i64 n) noexcept {
  for (i64 i = 0; i < n; ++i)
    for (i64 j = i + 1; j < n; ++j) P[j * n + i] = P[i * n + j];
}

// Packs the observed entries of period t from the tape: the rows of C
// (C_o, m_t x n), the innovations (v) and the block of S (S_o, m_t x m_t).
// Returns m_t.
i64 pack_observed_period(const kf_inputs& in, const kf_outputs& h, const kf_grad_scratch& g,
                         i64 t) noexcept {
  const i64 n = in.n, m = in.m;
  const f64* y = in.y + t * m;
  const f64* S = h.S + t * m * m;
  i64 m_t = 0;
  for (i64 j = 0; j < m; ++j) {
    if (y[j] != y[j]) continue;
    copy_values(g.C_o + m_t * n, in.C + j * n, n);
    g.v[m_t] = h.innov[t * m + j];
    ++m_t;
  }
  i64 a = 0;
  for (i64 j = 0; j < m; ++j) {
    if (y[j] != y[j]) continue;
    i64 b = 0;
    for (i64 i = 0; i < m; ++i)
      if (y[i] == y[i]) g.S_o[a * m_t + b++] = S[j * m + i];
    ++a;
  }
  return m_t;
}

// out (m x m) = (L L^T)^-1, column by column through col (m); symmetrised.
void inverse_from_chol(const f64* L, f64* col, f64* out, i64 m) noexcept {
  for (i64 j = 0; j < m; ++j) {
    for (i64 i = 0; i < m; ++i) col[i] = i == j ? 1.0 : 0.0;
    orv_forward_subst(L, col, col, m);
    orv_backward_subst_chol_t(L, col, col, m);
    for (i64 i = 0; i < m; ++i) out[i * m + j] = col[i];
  }
  orv_sym_inplace(out, m);
}

// Sb (m x m) = sym(-0.5 (S^-1 - a a^T) - K^T Kb S^-1), with a = S^-1 v and
// Kb = xb v^T - 2 j W: the adjoint of S through loglik_t (d/dS of
// -0.5 (ln det S + v^T S^-1 v)) and through K = P_p C_o^T S^-1 (dK =
// -K dS S^-1). K^T Kb S^-1 = Kx a^T - 2 j VS with Kx = K^T xb and VS =
// K^T Pb K S^-1. Formed on and above the diagonal and mirrored.
void innovation_cov_adjoint(const kf_grad_scratch& g, f64 jitter, i64 m) noexcept {
  for (i64 i = 0; i < m; ++i)
    for (i64 j = i; j < m; ++j) {
      f64 s = std::fma(g.a[i], g.a[j], -g.S_inv[i * m + j]);
      s = std::fma(-g.Kx[i], g.a[j], s);
      s = std::fma(-g.Kx[j], g.a[i], s);
      if (jitter > 0.0) s = std::fma(2.0 * jitter, g.VS[i * m + j] + g.VS[j * m + i], s);
      g.Sb[i * m + j] = 0.5 * s;
    }
  mirror_upper(g.Sb, m);
}

// Adds the packed gradient of the period to the rows and columns of the
// observables it saw:
//   dC_o += 2 (U C_o - H^T) P_p - vb x_p^T   (m_t x n)
//   dR_o += U                                (m_t x m_t)
//   dd_o -= vb                               (m_t)
void scatter_observed_gradient(const kf_inputs& in, const kf_grad_scratch& g,
                               const kf_grad_sinks& d, const f64* x_p, i64 t,
                               i64 m_t) noexcept {
  const i64 n = in.n, m = in.m;
  const f64* y = in.y + t * m;
  i64 a = 0;
  for (i64 j = 0; j < m; ++j) {
    if (y[j] != y[j]) continue;
    f64* dC = d.dC + j * n;
    for (i64 l = 0; l < n; ++l) {
      f64 s = std::fma(2.0, g.DP[a * n + l], dC[l]);
      dC[l] = std::fma(-g.vb[a], x_p[l], s);
    }
    d.dd[j] = d.dd[j] - g.vb[a];
    i64 b = 0;
    for (i64 i = 0; i < m; ++i)
      if (y[i] == y[i]) d.dR[j * m + i] = d.dR[j * m + i] + g.U[a * m_t + b++];
    ++a;
  }
}

// The adjoint of the update by the m_t > 0 observed entries packed in g
// (pack_observed_period), from xb and Pb (n, n x n) to xb_p and Pb_p, the
// adjoints of x_p and P_p. With W = Pb K (n x m_t) and j the jitter:
//   vb   = K^T xb - a                               (m_t)
//   U    = Sb + K^T Pb K                            (m_t x m_t)
//   H    = W - 0.5 Kb S^-1 = W - 0.5 xb a^T + j W S^-1   (n x m_t)
//   xb_p = xb - C_o^T vb                            (n)
//   Pb_p = Pb + G C_o + (G C_o)^T,  G = 0.5 C_o^T U - H   (n x n)
// Pb_p is (I - K C_o)^T Pb (I - K C_o) + C_o^T Sb C_o + sym(Kb S^-1 C_o)
// multiplied out, the last term K's share; U C_o - H^T carries the share
// of C through S, K and the Joseph form, whose (I - K C_o) P_p is
// P_p - K C_o P_p. Returns false when S does not factor (the filter
// factored the same values).
bool update_adjoint(const kf_inputs& in, const kf_grad_scratch& g, const kf_grad_sinks& d,
                    const f64* x_p, const f64* P_p, i64 t, i64 m_t) noexcept {
  const i64 n = in.n;
  const f64 jitter = in.jitter > 0.0 ? in.jitter : 0.0;  // as the factorisation adds it
  // L L^T = S + jitter I;  S_inv = (L L^T)^-1;  a (m_t) = S^-1 v
  if (orv_chol(g.S_o, in.jitter, g.L, m_t) != 0) return false;
  inverse_from_chol(g.L, g.col, g.S_inv, m_t);
  orv_matvec(g.S_inv, g.v, g.a, m_t, m_t);
  // CP (m_t x n) = C_o P_p;  K^T (m_t x n) = S^-1 CP;  Kx (m_t) = K^T xb
  orv_matmul(g.C_o, P_p, g.CP, m_t, n, n);
  orv_matmul(g.S_inv, g.CP, g.KT, m_t, m_t, n);
  orv_matvec(g.KT, g.xb, g.Kx, m_t, n);
  for (i64 i = 0; i < m_t; ++i) g.vb[i] = g.Kx[i] - g.a[i];
  // W^T (m_t x n) = K^T Pb;  U (m_t x m_t) = W^T K;  VS = U S^-1
  orv_matmul(g.KT, g.Pb, g.WT, m_t, n, n);
  orv_matmul_abt(g.WT, g.KT, g.U, m_t, n, m_t);
  if (jitter > 0.0) orv_matmul(g.U, g.S_inv, g.VS, m_t, m_t, m_t);
  innovation_cov_adjoint(g, jitter, m_t);
  // U = Sb + U, symmetric
  for (i64 i = 0; i < m_t * m_t; ++i) g.U[i] = g.Sb[i] + g.U[i];
  orv_sym_inplace(g.U, m_t);
  // H^T (m_t x n) = W^T + j S^-1 W^T - 0.5 a xb^T;  UC (m_t x n) = U C_o
  if (jitter > 0.0) {
    orv_matmul(g.S_inv, g.WT, g.HT, m_t, m_t, n);
    for (i64 i = 0; i < m_t * n; ++i) g.HT[i] = std::fma(jitter, g.HT[i], g.WT[i]);
  } else {
    copy_values(g.HT, g.WT, m_t * n);
  }
  for (i64 i = 0; i < m_t; ++i)
    for (i64 l = 0; l < n; ++l)
      g.HT[i * n + l] = std::fma(-0.5 * g.a[i], g.xb[l], g.HT[i * n + l]);
  orv_matmul(g.U, g.C_o, g.UC, m_t, m_t, n);
  // WT <- U C_o - H^T;  UC <- G^T = 0.5 U C_o - H^T
  for (i64 i = 0; i < m_t * n; ++i) {
    g.WT[i] = g.UC[i] - g.HT[i];
    g.UC[i] = std::fma(0.5, g.UC[i], -g.HT[i]);
  }
  // DP (m_t x n) = (U C_o - H^T) P_p
  orv_matmul(g.WT, P_p, g.DP, m_t, n, n);
  scatter_observed_gradient(in, g, d, x_p, t, m_t);
  // temp_nn (n x n) = G C_o;  Pb_p = Pb + temp_nn + temp_nn^T
  orv_matmul_atb(g.UC, g.C_o, g.temp_nn, m_t, n, n);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = i; j < n; ++j)
      g.Pb_p[i * n + j] = (g.Pb[i * n + j] + g.temp_nn[i * n + j]) + g.temp_nn[j * n + i];
  mirror_upper(g.Pb_p, n);
  // xb_p (n) = xb - C_o^T vb
  for (i64 l = 0; l < n; ++l) {
    f64 s = g.xb[l];
    for (i64 i = 0; i < m_t; ++i) s = std::fma(-g.C_o[i * n + l], g.vb[i], s);
    g.xb_p[l] = s;
  }
  return true;
}

// The adjoint of a period with nothing observed: x_f = x_p, P_f = P_p.
void pass_through_adjoint(const kf_grad_scratch& g, i64 n) noexcept {
  copy_values(g.xb_p, g.xb, n);
  copy_values(g.Pb_p, g.Pb, n * n);
}

// The adjoint of the prediction x_p = A x, P_p = A P A^T + B Q B^T from the
// moments (x, P) before it, Pb_p symmetric:
//   dA   += xb_p x^T + 2 Pb_p A P        (n x n)
//   G_sum += Pb_p                        (B Q B^T is the same every period)
//   xb = A^T xb_p,  Pb = A^T Pb_p A      (the adjoints of x and P)
void prediction_adjoint(const kf_inputs& in, const kf_grad_scratch& g, f64* dA, const f64* x,
                        const f64* P) noexcept {
  const i64 n = in.n;
  for (i64 i = 0; i < n * n; ++i) g.G_sum[i] = g.G_sum[i] + g.Pb_p[i];
  // GA = Pb_p A;  temp_nn = GA P
  orv_matmul(g.Pb_p, in.A, g.GA, n, n, n);
  orv_matmul(g.GA, P, g.temp_nn, n, n, n);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < n; ++j) {
      const f64 s = std::fma(2.0, g.temp_nn[i * n + j], dA[i * n + j]);
      dA[i * n + j] = std::fma(g.xb_p[i], x[j], s);
    }
  orv_matmul_atb(in.A, g.GA, g.Pb, n, n, n);
  orv_sym_inplace(g.Pb, n);
  row_times_matrix(g.xb_p, in.A, nullptr, g.xb, n, n);
}

// The adjoint of B Q B^T (symmetrised, so of B sym(Q) B^T), G_sum symmetric:
//   dB = G_sum B (Q + Q^T)   (n x k),   dQ = B^T G_sum B   (k x k).
void shock_cov_adjoint(const kf_inputs& in, const kf_grad_scratch& g, f64* dB,
                       f64* dQ) noexcept {
  const i64 n = in.n, k = in.k;
  if (k <= 0) return;
  orv_matmul(g.G_sum, in.B, g.temp_nk, n, n, k);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < k; ++j) {
      f64 s = 0.0;
      for (i64 l = 0; l < k; ++l)
        s = std::fma(g.temp_nk[i * k + l], in.Q[l * k + j] + in.Q[j * k + l], s);
      dB[i * k + j] = s;
    }
  orv_matmul_atb(in.B, g.temp_nk, dQ, n, k, k);
  orv_sym_inplace(dQ, k);
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_GRAD_STEPS_H
