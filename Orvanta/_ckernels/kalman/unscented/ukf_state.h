// The unscented filter's data and sums: its dimensions and weights, the
// records of its scratch block, the sigma points of a mean and covariance,
// and the weighted means and covariances of their images. Sums accumulate
// with std::fma in the stated index order, like the kernels, so that
// repeated calls agree to the bit. Part of a filter variant
// (filters_variant_unscented.cpp).
#ifndef ORV_UKF_STATE_H
#define ORV_UKF_STATE_H

#include "../filter_support.h"
#include "../scratch.h"

namespace ORV_VARIANT {

namespace {

struct ukf_dims {
  i64 ns, nc, ne, no;  // states, controls, shocks, observables
  i64 nz;              // augmented state: x1 then x2
  i64 n_sig;           // sigma points, 2 nz + 1
  i64 nv;              // model variables: states then controls
};

struct ukf_weights {
  f64 gamma;  // sigma-point step, sqrt(nz + lambda)
  f64 w0_m;   // mean weight of the centre point
  f64 w0_c;   // covariance weight of the centre point
  f64 wi;     // mean and covariance weight of every other point
};

ukf_dims ukf_dims_of(const ukf_inputs& in) noexcept {
  const i64 ns = in.n_state;
  return {ns, in.n_ctrl, in.n_exog, in.n_obs, 2 * ns, 4 * ns + 1, ns + in.n_ctrl};
}

// Work space for sigma points processed a vector of points at a time (see
// gather_tile): the points, and their successors or projections.
struct point_tiles {
  f64* points;   // nz coordinates x kVecLanes
  f64* results;  // max(nz, nv) coordinates x kVecLanes
};

// The model's coefficients as the sigma-point passes read them, arranged
// once per call. They are stored output-innermost, so that the coefficients
// of neighbouring outputs for one term lie side by side: the second-order
// coefficients, halved as every term uses them, with term (o, j, k) of n_out
// outputs at [(j ns + k) n_out + o], and the first-order ones transposed.
struct model_terms {
  f64* hxx;   // 0.5 hxx, ns x ns x ns
  f64* gxx;   // 0.5 gxx, ns x ns x nc
  f64* hx_t;  // hx^T, ns x ns
  f64* gx_t;  // gx^T, ns x nc
};

// The first factors (0.5 q[o][j][k]) x1_j of the second-order terms at the
// centre x1 of a set of sigma points, formed once per set: every point whose
// x1_j equals the centre's to the bit shares them (see leading_shared_x1).
struct centre_products {
  f64* hxx;  // ns x ns x ns, as terms.hxx
  f64* gxx;  // ns x ns x nc, as terms.gxx
};

// Deviations of the sigma points from their mean, plain and weighted: of the
// augmented states (n_sig x nz) and of their images (n_sig x no).
struct ukf_deviations {
  f64* z;
  f64* wz;
  f64* y;
  f64* wy;
  f64* cross_t;  // no x nz: the cross covariance, transposed
};

// The regions of the unscented filter's scratch block, in carving order.
struct ukf_scratch {
  f64* z_prev;        // nz
  f64* z_pred;        // nz
  f64* z_filt;        // nz
  f64* P_prev;        // nz^2
  f64* P_pred;        // nz^2
  f64* P_filt;        // nz^2
  f64* P_chol;        // nz^2
  f64* sigma_z;       // nz n_sig
  f64* sigma_z_next;  // nz n_sig
  f64* sigma_y;       // no n_sig
  f64* BQBT;          // ns^2
  f64* temp_nk;       // ns ne
  f64* y_pred;        // no
  f64* innov;         // no
  f64* std_innov;     // no
  f64* S_inv_v;       // no
  f64* solve_f;       // no
  f64* solve_b;       // no
  f64* S;             // no^2
  f64* L;             // no^2
  f64* Pzy;           // nz no
  f64* K;             // nz no
  f64* vars_buf;      // nv
  point_tiles tiles;  // nz kVecLanes, then max(nz, nv) kVecLanes
  ukf_deviations dev; // 2 n_sig nz, then 2 n_sig no
  model_terms terms;  // ns^3, nc ns^2, ns^2, nc ns
  centre_products centre;  // ns^3, then nc ns^2
};

// Its layout (see scratch.h): 3nz + 4nz^2 + 2 nz n_sig + no n_sig + ns^2 + ns ne
// + 6no + 2no^2 + 2 nz no + nv values, then the tiles, deviations, model
// terms and centre products.
template <class Regions>
ukf_scratch ukf_scratch_regions(Regions& r, const ukf_dims& d) noexcept {
  ukf_scratch s{};
  s.z_prev = r.take(d.nz);
  s.z_pred = r.take(d.nz);
  s.z_filt = r.take(d.nz);
  s.P_prev = r.take(d.nz, d.nz);
  s.P_pred = r.take(d.nz, d.nz);
  s.P_filt = r.take(d.nz, d.nz);
  s.P_chol = r.take(d.nz, d.nz);
  s.sigma_z = r.take(d.nz, d.n_sig);
  s.sigma_z_next = r.take(d.nz, d.n_sig);
  s.sigma_y = r.take(d.no, d.n_sig);
  s.BQBT = r.take(d.ns, d.ns);
  s.temp_nk = r.take(d.ns, d.ne);
  s.y_pred = r.take(d.no);
  s.innov = r.take(d.no);
  s.std_innov = r.take(d.no);
  s.S_inv_v = r.take(d.no);
  s.solve_f = r.take(d.no);
  s.solve_b = r.take(d.no);
  s.S = r.take(d.no, d.no);
  s.L = r.take(d.no, d.no);
  s.Pzy = r.take(d.nz, d.no);
  s.K = r.take(d.nz, d.no);
  s.vars_buf = r.take(d.nv);
  s.tiles.points = r.take(kVecLanes, d.nz);
  s.tiles.results = r.take(kVecLanes, d.nz > d.nv ? d.nz : d.nv);
  s.dev.z = r.take(d.n_sig, d.nz);
  s.dev.wz = r.take(d.n_sig, d.nz);
  s.dev.y = r.take(d.n_sig, d.no);
  s.dev.wy = r.take(d.n_sig, d.no);
  s.dev.cross_t = r.take(d.no, d.nz);
  s.terms.hxx = r.take(d.ns, d.ns, d.ns);
  s.terms.gxx = r.take(d.nc, d.ns, d.ns);
  s.terms.hx_t = r.take(d.ns, d.ns);
  s.terms.gx_t = r.take(d.nc, d.ns);
  s.centre.hxx = r.take(d.ns, d.ns, d.ns);
  s.centre.gxx = r.take(d.nc, d.ns, d.ns);
  return s;
}

// Values of the scratch block for these dimensions (checked non-negative by
// the caller), or -1 when they do not fit in memory. The derived sizes are
// formed with overflow checks, since ns itself may be arbitrarily large.
i64 ukf_scratch_elements(const ukf_inputs& in) noexcept {
  ukf_dims d{in.n_state, in.n_ctrl, in.n_exog, in.n_obs, 0, 0, 0};
  if (__builtin_mul_overflow(d.ns, 2, &d.nz) || __builtin_mul_overflow(d.nz, 2, &d.n_sig) ||
      __builtin_add_overflow(d.n_sig, 1, &d.n_sig) || __builtin_add_overflow(d.ns, d.nc, &d.nv))
    return -1;
  return layout_elements([&](auto& r) { ukf_scratch_regions(r, d); });
}

// Unscented constants for nz dimensions; false when the scale nz + lambda is
// not positive and finite (alpha = 0, kappa = -nz, NaN, ...).
bool ukf_weights_for(f64 nz, f64 alpha, f64 beta, f64 kappa, ukf_weights* w) noexcept {
  const f64 alpha2 = alpha * alpha;
  // lambda = alpha^2 (nz + kappa) - nz
  const f64 lambda = std::fma(alpha2, nz + kappa, -nz);
  const f64 scale = nz + lambda;
  if (!(scale > 0.0 && std::isfinite(scale))) return false;
  w->gamma = std::sqrt(scale);
  w->w0_m = lambda / scale;
  w->w0_c = ((1.0 - alpha2) + beta) + w->w0_m;
  w->wi = 1.0 / (scale + scale);
  return true;
}

// The 2n + 1 sigma points of (mean, chol chol^T), one per row of `sigma`:
// point 0 is the mean, points 1 .. n step along the columns of chol, points
// n+1 .. 2n mirror them in the same column order.
void ukf_build_sigma_points(const f64* ORV_RESTRICT mean, const f64* ORV_RESTRICT chol,
                            f64 gamma, f64* ORV_RESTRICT sigma, i64 n) noexcept {
  copy_values(sigma, mean, n);
  for (i64 col = 0; col < n; ++col) {
    f64* plus = sigma + (1 + col) * n;
    f64* minus = sigma + (1 + n + col) * n;
    for (i64 row = 0; row < n; ++row) {
      const f64 delta = gamma * chol[row * n + col];
      plus[row] = mean[row] + delta;
      minus[row] = mean[row] - delta;
    }
  }
}

// out (n) = w0 sigma[0] + sum_{r>=1} wi sigma[r], rows entering in ascending r.
void ukf_weighted_mean(const f64* ORV_RESTRICT sigma, f64 w0, f64 wi, i64 n_sig, i64 n,
                       f64* ORV_RESTRICT out) noexcept {
  for (i64 j = 0; j < n; ++j) out[j] = w0 * sigma[j];
  for (i64 r = 1; r < n_sig; ++r) {
    const f64* row = sigma + r * n;
    for (i64 j = 0; j < n; ++j) out[j] = std::fma(wi, row[j], out[j]);
  }
}

// Row r of dev (n) = sigma[r] - mean, and of wdev = dev[r] * w_r, with
// w_0 = w0 and w_r = wi otherwise: the factors of a weighted covariance.
void weighted_deviations(const f64* ORV_RESTRICT sigma, const f64* ORV_RESTRICT mean,
                         f64 w0, f64 wi, i64 n_sig, i64 n, f64* ORV_RESTRICT dev,
                         f64* ORV_RESTRICT wdev) noexcept {
  for (i64 r = 0; r < n_sig; ++r) {
    const f64 w = r == 0 ? w0 : wi;
    for (i64 i = 0; i < n; ++i) {
      const f64 d = sigma[r * n + i] - mean[i];
      dev[r * n + i] = d;
      wdev[r * n + i] = d * w;
    }
  }
}

// out (n x n) = sum_r w_r (sigma[r] - mean) (sigma[r] - mean)^T, w_0 = w0 and
// w_r = wi otherwise, the terms in ascending r: wdev^T dev, through the
// blocked product (dev and wdev hold n_sig x n values). Symmetric only up to
// rounding.
void ukf_weighted_cov(const f64* ORV_RESTRICT sigma, const f64* ORV_RESTRICT mean,
                      f64 w0, f64 wi, i64 n_sig, i64 n, f64* ORV_RESTRICT dev,
                      f64* ORV_RESTRICT wdev, f64* ORV_RESTRICT out) noexcept {
  weighted_deviations(sigma, mean, w0, wi, n_sig, n, dev, wdev);
  orv_matmul_atb(wdev, dev, out, n_sig, n, n);
}

// S (no x no) = sum_r w_r dy_r dy_r^T and Pzy (nz x no) = sum_r w_r dz_r dy_r^T,
// with dy_r = sigma_y[r] - y_mean and dz_r = sigma_z[r] - z_mean, the terms in
// ascending r (blocked products of the deviations).
void ukf_weighted_meas_cov_cross(const f64* ORV_RESTRICT sigma_z,
                                 const f64* ORV_RESTRICT z_mean,
                                 const f64* ORV_RESTRICT sigma_y,
                                 const f64* ORV_RESTRICT y_mean, f64 w0, f64 wi,
                                 i64 n_sig, i64 nz, i64 no, const ukf_deviations& dv,
                                 f64* ORV_RESTRICT S, f64* ORV_RESTRICT Pzy) noexcept {
  weighted_deviations(sigma_y, y_mean, w0, wi, n_sig, no, dv.y, dv.wy);
  weighted_deviations(sigma_z, z_mean, w0, wi, n_sig, nz, dv.z, dv.wz);
  // S (no x no) = wy^T y
  orv_matmul_atb(dv.wy, dv.y, S, n_sig, no, no);
  // Pzy (nz x no) = wz^T y, formed as its transpose y^T wz: the same products
  // (y_j wz_i is wz_i y_j) in the same order, with the nz entries of a row of
  // the transpose filling vector lanes where the no of a row of Pzy would not.
  orv_matmul_atb(dv.y, dv.wz, dv.cross_t, n_sig, no, nz);
  for (i64 i = 0; i < nz; ++i)
    for (i64 j = 0; j < no; ++j) Pzy[i * no + j] = dv.cross_t[j * nz + i];
}

// Adds BQBT (ns x ns) to the x1-x1 block of P (nz x nz); x2 gets no noise.
void ukf_add_process_cov(const f64* ORV_RESTRICT BQBT, f64* ORV_RESTRICT P, i64 ns,
                         i64 nz) noexcept {
  for (i64 i = 0; i < ns; ++i)
    for (i64 j = 0; j < ns; ++j) P[i * nz + j] = P[i * nz + j] + BQBT[i * ns + j];
}

// P_filt (nz x nz) = P_pred - K Pzy^T, K and Pzy nz x no: each sum over the
// no terms completed first (the blocked product, in P_filt), then
// subtracted.
void ukf_cov_update(const f64* ORV_RESTRICT P_pred, const f64* ORV_RESTRICT K,
                    const f64* ORV_RESTRICT Pzy, f64* ORV_RESTRICT P_filt, i64 nz,
                    i64 no) noexcept {
  orv_matmul_abt(K, Pzy, P_filt, nz, no, nz);
  for (i64 i = 0; i < nz * nz; ++i) P_filt[i] = P_pred[i] - P_filt[i];
}


}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_UKF_STATE_H
