// Sigma points one at a time, their outputs in vector lanes, and the two
// passes over a set of sigma points that run the tiles and the points left
// over: the transition and the measurement. Part of a filter variant
// (filters_variant_unscented.cpp).
#ifndef ORV_SIGMA_POINT_H
#define ORV_SIGMA_POINT_H

#include "sigma_tiles.h"

namespace ORV_VARIANT {

namespace {

// ---- one point, its outputs in vector lanes ----------------------------------
//
// A sigma point left over after the tiles, and each state whose levels the
// history stores, runs alone. Its outputs are independent sums, so they fill
// the vector lanes instead of points: lane l of vector v holds output
// o + v kVecLanes + l, and its coefficients for one term are one load from
// the output-innermost arrays of model_terms. Every output takes exactly
// the operations, in the order, that it takes in a tile.
//
// These passes run out of line, on plain values (second_order_map): inlined
// into the loops specialised for few states, they tripled the loops' code
// and made them a third slower.

// The coefficients of the Q kVecLanes outputs starting at `row` of an
// output-innermost array, the last vector holding only the `tail` outputs
// that remain (its other lanes +0.0).
template <int Q>
ORV_INLINE void load_outputs(const f64* ORV_RESTRICT row, int tail, vreg* c) noexcept {
  for (int v = 0; v + 1 < Q; ++v) c[v] = vreg::load(row + v * kVecLanes);
  c[Q - 1] = vreg::load_first(row + (Q - 1) * kVecLanes, tail);
}

// Stores the outputs that load_outputs would load.
template <int Q>
ORV_INLINE void store_outputs(const vreg* s, int tail, f64* ORV_RESTRICT out) noexcept {
  for (int v = 0; v + 1 < Q; ++v) s[v].store(out + v * kVecLanes);
  s[Q - 1].store_first(out + (Q - 1) * kVecLanes, tail);
}

// Runs body<Q>(o, tail) over n_out outputs of one point in the fewest groups
// of at most four vectors: outputs [o, o + Q kVecLanes), the last vector
// holding `tail` of them.
template <class Body>
ORV_INLINE void in_output_vectors(i64 n_out, Body&& body) noexcept {
  const i64 n_vec = (n_out + kVecLanes - 1) / kVecLanes;
  in_groups_of_at_most<4>(n_vec, [&]<int Q>(i64 v) {
    const i64 o = v * kVecLanes;
    const int tail = static_cast<int>(min_i64(kVecLanes, n_out - o - (Q - 1) * kVecLanes));
    body.template operator()<Q>(o, tail);
  });
}

// s[v] + sum_j sum_k (0.5 q[o'][j][k] x1_j) x1_k over ns x ns (k inner) for
// the outputs o' of the vectors, as add_quadratic_terms for one point. With P
// (nz x nz) given, the pair product is x1_j x1_k + P[j][k] instead: the
// expectation of the quadratic term under covariance P; no first factor is
// shared then.
template <int Q>
ORV_INLINE void add_point_quadratic_terms(vreg* s, const second_order_map& m, i64 o, int tail,
                                          const f64* ORV_RESTRICT x1,
                                          const f64* ORV_RESTRICT P, i64 nz) noexcept {
  const i64 ns = m.ns, n_out = m.n_out;
  const i64 shared = P == nullptr ? m.shares.shared[0] : 0;
  vreg c[Q];
  for (i64 j = 0; j < shared; ++j)
    for (i64 k = 0; k < ns; ++k) {
      load_outputs<Q>(m.centre + (j * ns + k) * n_out + o, tail, c);
      const vreg x1k = vreg::broadcast(x1[k]);
      for (int v = 0; v < Q; ++v) s[v] = fma(c[v], x1k, s[v]);
    }
  for (i64 j = shared; j < ns; ++j) {
    const vreg x1j = vreg::broadcast(x1[j]);
    for (i64 k = 0; k < ns; ++k) {
      load_outputs<Q>(m.half + (j * ns + k) * n_out + o, tail, c);
      if (P == nullptr) {
        const vreg x1k = vreg::broadcast(x1[k]);
        for (int v = 0; v < Q; ++v) s[v] = fma(c[v] * x1j, x1k, s[v]);
      } else {
        const vreg pair = vreg::broadcast(std::fma(x1[j], x1[k], P[j * nz + k]));
        for (int v = 0; v < Q; ++v) s[v] = fma(c[v], pair, s[v]);
      }
    }
  }
}

// Outputs [o, o + Q kVecLanes) of the pruned transition of the point
// z = (x1, x2) (see transition_point), m mapping the x2 part.
template <int Q>
ORV_INLINE void transition_point_outputs(const second_order_map& m, const f64* ORV_RESTRICT z,
                                         i64 o, int tail, f64* ORV_RESTRICT out) noexcept {
  const i64 ns = m.ns;
  const f64* x1 = z;
  const f64* x2 = z + ns;
  vreg s1[Q], s2[Q], c[Q];
  load_outputs<Q>(m.constant + o, tail, c);
  for (int v = 0; v < Q; ++v) {
    s1[v] = vreg::zero();
    s2[v] = vreg::broadcast(0.5) * c[v];
  }
  for (i64 j = 0; j < ns; ++j) {
    load_outputs<Q>(m.linear_t + j * m.n_out + o, tail, c);
    const vreg x1j = vreg::broadcast(x1[j]), x2j = vreg::broadcast(x2[j]);
    for (int v = 0; v < Q; ++v) {
      s1[v] = fma(c[v], x1j, s1[v]);
      s2[v] = fma(c[v], x2j, s2[v]);
    }
  }
  add_point_quadratic_terms<Q>(s2, m, o, tail, x1, nullptr, 2 * ns);
  store_outputs<Q>(s1, tail, out + o);
  store_outputs<Q>(s2, tail, out + ns + o);
}

// out (nz) = pruned successor of the point z = (x1, x2) (nz), as
// ukf_pruned_transition for a tile, m mapping the x2 part.
[[gnu::noinline]] void transition_point(const second_order_map& m, const f64* ORV_RESTRICT z,
                                        f64* ORV_RESTRICT out) noexcept {
  in_output_vectors(m.n_out, [&]<int Q>(i64 o, int tail) {
    transition_point_outputs<Q>(m, z, o, tail, out);
  });
}

// Controls [c, c + Q kVecLanes) of the projection of the point z = (x1, x2)
// (see project_point), m mapping the controls and steady their
// steady-state levels.
template <int Q>
ORV_INLINE void project_point_controls(const second_order_map& m, const f64* ORV_RESTRICT steady,
                                       const f64* ORV_RESTRICT z, const f64* ORV_RESTRICT P,
                                       i64 c, int tail, f64* ORV_RESTRICT vars) noexcept {
  const i64 ns = m.ns;
  const f64* x1 = z;
  const f64* x2 = z + ns;
  vreg s[Q], coef[Q];
  load_outputs<Q>(m.constant + c, tail, coef);
  for (int v = 0; v < Q; ++v) s[v] = vreg::broadcast(0.5) * coef[v];
  for (i64 j = 0; j < ns; ++j) {
    load_outputs<Q>(m.linear_t + j * m.n_out + c, tail, coef);
    const vreg x12 = vreg::broadcast(x1[j] + x2[j]);
    for (int v = 0; v < Q; ++v) s[v] = fma(coef[v], x12, s[v]);
  }
  add_point_quadratic_terms<Q>(s, m, c, tail, x1, P, 2 * ns);
  load_outputs<Q>(steady + c, tail, coef);
  for (int v = 0; v < Q; ++v) s[v] = coef[v] + s[v];
  store_outputs<Q>(s, tail, vars + ns + c);
}

// vars (nv) = model variables in levels at the point z = (x1, x2) (nz), as
// ukf_project_vars for a tile, m mapping the controls and steady holding
// the steady state (nv). With P (nz x nz) given, the quadratic control term
// takes its expectation under P instead.
[[gnu::noinline]] void project_point(const second_order_map& m, const f64* ORV_RESTRICT steady,
                                     const f64* ORV_RESTRICT z, const f64* ORV_RESTRICT P,
                                     f64* ORV_RESTRICT vars) noexcept {
  for (i64 i = 0; i < m.ns; ++i) vars[i] = (steady[i] + z[i]) + z[m.ns + i];
  in_output_vectors(m.n_out, [&]<int Q>(i64 c, int tail) {
    project_point_controls<Q>(m, steady + m.ns, z, P, c, tail, vars);
  });
}

// Row r of sigma_next (nz) = pruned successor of row r of sigma (nz); the
// rows go through the tiles in tile order, a point left over on its own.
void transition_sigma_points(const ukf_inputs& in, const model_terms& terms,
                             const f64* ORV_RESTRICT sigma, i64 n_sig,
                             const point_tiles& tiles, f64* ORV_RESTRICT centre_hxx,
                             f64* ORV_RESTRICT sigma_next) noexcept {
  const i64 ns = in.n_state, nz = 2 * ns;
  const bool share = !few_states(ns);
  if (share) products_with_x1(terms.hxx, sigma, ns, ns, centre_hxx);
  for (i64 first = 0; first < n_sig; first += kVecLanes) {
    const i64 count = min_i64(kVecLanes, n_sig - first);
    const f64* from[kVecLanes];
    f64* to[kVecLanes];
    tile_rows(sigma, first, count, nz, ns, share, from);
    tile_rows(sigma_next, first, count, nz, ns, share, to);
    if (count == 1) {
      transition_point(
          transition_map(in, terms, centre_hxx, shares_of_point(from[0], ns, sigma, share)),
          from[0], to[0]);
      continue;
    }
    const tile_shares shares = gather_points(from, count, ns, sigma, share, tiles);
    ukf_pruned_transition(in, terms, centre_hxx, shares, tiles.points, count, tiles.results);
    scatter_tile(tiles.results, count, nz, to);
  }
}

// Row r of sigma_y (no) = meas at the model variables of sigma point r, in
// ascending r, every call on the same vars_buf. The tiles take the points in
// that order too, so that each point is measured as soon as its tile is
// projected; a point left over is projected on its own.
void ukf_eval_measurement_sigma(const ukf_inputs& in, const model_terms& terms,
                                const f64* ORV_RESTRICT sigma_z, i64 n_sig,
                                const point_tiles& tiles, f64* ORV_RESTRICT centre_gxx,
                                f64* ORV_RESTRICT vars_buf, f64* ORV_RESTRICT sigma_y) {
  const i64 ns = in.n_state, nz = 2 * ns, no = in.n_obs, nv = ns + in.n_ctrl;
  const bool share = !few_states(ns);
  if (share) products_with_x1(terms.gxx, sigma_z, in.n_ctrl, ns, centre_gxx);
  for (i64 r0 = 0; r0 < n_sig; r0 += kVecLanes) {
    const i64 count = min_i64(kVecLanes, n_sig - r0);
    const f64* from[kVecLanes];
    tile_rows(sigma_z, r0, count, nz, ns, false, from);
    if (count == 1) {
      project_point(
          control_map(in, terms, centre_gxx, shares_of_point(from[0], ns, sigma_z, share)),
          in.steady_state, from[0], nullptr, vars_buf);
      in.meas(vars_buf, in.params, sigma_y + r0 * no);
      continue;
    }
    const tile_shares shares = gather_points(from, count, ns, sigma_z, share, tiles);
    ukf_project_vars(in, terms, centre_gxx, shares, tiles.points, count, tiles.results);
    for (i64 l = 0; l < count; ++l) {
      for (i64 j = 0; j < nv; ++j) vars_buf[j] = tiles.results[j * kVecLanes + l];
      in.meas(vars_buf, in.params, sigma_y + (r0 + l) * no);
    }
  }
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_SIGMA_POINT_H
