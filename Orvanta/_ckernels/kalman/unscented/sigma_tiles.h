// The pruned transition and the projection to model variables of sigma
// points, a tile of kVecLanes points at a time in vector lanes. Part of a
// filter variant (filters_variant_unscented.cpp).
#ifndef ORV_SIGMA_TILES_H
#define ORV_SIGMA_TILES_H

#include "ukf_state.h"

namespace ORV_VARIANT {

namespace {

// ---- sigma points in vector lanes --------------------------------------------
//
// The transition and the projection of every sigma point are independent, so
// they run on a tile of kVecLanes points at once: tile[j * kVecLanes + l] is
// coordinate j of point l. Every lane performs exactly the operations that a
// single point would, in the same order.
//
// Points share work with the centre. The factor of the covariance is lower
// triangular, so point 1 + col (and its mirror) has the centre's x1_j for
// every j < col, and the points stepping along the x2 columns (col >= ns)
// have the centre's whole x1. Where every lane of a tile has the centre's
// x1_j, the first factor (0.5 q[o][j][k]) x1_j of each second-order term is
// the centre's, formed once per set of points (centre_products): the product
// of the same two numbers, so the terms round exactly as the points' own
// would. The transition takes its tiles in tile order (tile_order_row), which
// puts the mirrored pairs of the x1 columns first, in column order, then the
// centre and the pairs of the x2 columns, so that most tiles share long
// leading runs of x1; the measurement keeps ascending order, since meas is
// called in that order. A tile whose two halves share different runs may
// run as two half-width tiles, each with its own run (see may_split_tile).

// Largest state and observable dimensions with an unscented loop of their own
// (see ukf_hot_loop).
constexpr i64 kMaxFixedUkfStates = kSpecialisedLoops ? 4 : 0;
constexpr i64 kMaxFixedUkfObs = 3;

// Whether ns states are few enough for a specialised loop. Such loops unroll
// their second-order terms completely, so they neither share the centre's
// first factors (a split point between shared and own factors known only at
// run time would undo the unrolling and cost more than the few products it
// saves) nor take wider output groups (see in_output_groups).
constexpr bool few_states(i64 ns) noexcept { return ns <= kMaxFixedUkfStates; }

// Row of the sigma points (of 2 nz + 1, nz = 2 ns) taken at position i of the
// tile order.
inline i64 tile_order_row(i64 i, i64 ns) noexcept {
  const i64 nz = 2 * ns;
  if (i == 2 * ns) return 0;
  const i64 pair = i < 2 * ns ? i : i - 1;
  const i64 col = pair / 2;
  return pair % 2 == 0 ? 1 + col : 1 + nz + col;
}

// Copies the points rows[0 .. count) (count <= kVecLanes, n values each) into
// the lanes of a tile; lanes past `count` repeat the first point. Blocks of
// kVecLanes coordinates are loaded a row per vector and transposed in
// registers; the coordinates past the last full block go one by one.
void gather_tile(const f64* const* rows, i64 count, i64 n, f64* ORV_RESTRICT tile) noexcept {
  const i64 blocked = n - n % kVecLanes;
  for (i64 j0 = 0; j0 < blocked; j0 += kVecLanes) {
    vreg block[kVecLanes];
    for (i64 l = 0; l < kVecLanes; ++l) block[l] = vreg::load(rows[l < count ? l : 0] + j0);
    transpose(block);
    for (int i = 0; i < kVecLanes; ++i) block[i].store(tile + (j0 + i) * kVecLanes);
  }
  for (i64 j = blocked; j < n; ++j)
    for (i64 l = 0; l < kVecLanes; ++l) tile[j * kVecLanes + l] = rows[l < count ? l : 0][j];
}

// The first `count` lanes of a tile back into the points rows[0 .. count),
// as gather_tile takes them.
void scatter_tile(const f64* ORV_RESTRICT tile, i64 count, i64 n, f64* const* rows) noexcept {
  const i64 blocked = n - n % kVecLanes;
  for (i64 j0 = 0; j0 < blocked; j0 += kVecLanes) {
    vreg block[kVecLanes];
    for (int i = 0; i < kVecLanes; ++i) block[i] = vreg::load(tile + (j0 + i) * kVecLanes);
    transpose(block);
    for (i64 l = 0; l < count; ++l) block[l].store(rows[l] + j0);
  }
  for (i64 l = 0; l < count; ++l)
    for (i64 j = blocked; j < n; ++j) rows[l][j] = tile[j * kVecLanes + l];
}

// The rows (of n values) of the `count` points at positions first, first + 1,
// ... of a set of sigma points for ns states: in tile order when `paired`, in
// ascending order otherwise.
template <class Row>
void tile_rows(Row* base, i64 first, i64 count, i64 n, i64 ns, bool paired,
               Row** rows) noexcept {
  for (i64 l = 0; l < count; ++l)
    rows[l] = base + (paired ? tile_order_row(first + l, ns) : first + l) * n;
}

// Number of leading coordinates j < ns in which each of `lanes` points,
// coordinate j of point l at points[j stride + l] (lanes of a tile, or one
// point as a row), holds x1c[j] to the bit; 0 unless `share` is set. Bits,
// not values: a -0 centre coordinate plus a step of +0 gives +0, which would
// round a product's sign differently.
i64 leading_shared_x1(const f64* ORV_RESTRICT points, i64 stride, i64 lanes,
                      const f64* ORV_RESTRICT x1c, i64 ns, bool share) noexcept {
  if (!share) return 0;
  for (i64 j = 0; j < ns; ++j)
    for (i64 l = 0; l < lanes; ++l)
      if (std::memcmp(points + j * stride + l, x1c + j, sizeof(f64)) != 0) return j;
  return ns;
}

// out[j][k][o] = half[j][k][o] x1c[j] for the halved coefficients of n_out
// outputs (output-innermost): the first factors of the second-order terms
// at x1c.
void products_with_x1(const f64* ORV_RESTRICT half, const f64* ORV_RESTRICT x1c, i64 n_out,
                      i64 ns, f64* ORV_RESTRICT out) noexcept {
  const i64 row = ns * n_out;
  for (i64 j = 0; j < ns; ++j)
    for (i64 i = j * row; i < (j + 1) * row; ++i) out[i] = half[i] * x1c[j];
}

// Points in the lower and the upper half of a tile's lanes, when a tile runs
// as two halves (see with_lanes_for).
constexpr i64 kHalfLanes = kVecLanes / 2;

// Whether tiles may run as two halves, each with its own share of the
// centre's first factors: in the variant for processors that execute a
// 512-bit operation as two 256-bit halves (orv_zen4), where a half-width
// operation costs half as much, so a half whose points share more
// coordinates with the centre than the other half's saves the products of
// those coordinates. Elsewhere the halves would cost more than the tile.
#ifdef ORV_HALVED_512
constexpr bool kTileHalves = kVecLanes >= 8;
#else
constexpr bool kTileHalves = false;
#endif

// Whether a tile of `count` points may run as two halves.
constexpr bool may_split_tile(i64 count) noexcept { return kTileHalves && count > kHalfLanes; }

// Leading x1 coordinates that the points of a tile share with the centre
// (see leading_shared_x1): shared[h] for half h of a tile that may run as
// two halves, both the whole tile's otherwise.
struct tile_shares {
  i64 shared[2];
};

// Gathers the points from[0 .. count) (nz = 2 ns values each) into
// tiles.points and returns how many leading x1 coordinates their lanes
// share with the centre's x1c when `share` is set, 0 otherwise.
tile_shares gather_points(const f64* const* from, i64 count, i64 ns,
                          const f64* ORV_RESTRICT x1c, bool share,
                          const point_tiles& tiles) noexcept {
  gather_tile(from, count, 2 * ns, tiles.points);
  const f64* lanes = tiles.points;
  if (!may_split_tile(count)) {
    const i64 shared = leading_shared_x1(lanes, kVecLanes, kVecLanes, x1c, ns, share);
    return {{shared, shared}};
  }
  return {{leading_shared_x1(lanes, kVecLanes, kHalfLanes, x1c, ns, share),
           leading_shared_x1(lanes + kHalfLanes, kVecLanes, count - kHalfLanes, x1c, ns, share)}};
}

// The shares of one point (nz = 2 ns values), as gather_points finds them
// for a tile.
tile_shares shares_of_point(const f64* ORV_RESTRICT point, i64 ns, const f64* ORV_RESTRICT x1c,
                            bool share) noexcept {
  const i64 shared = leading_shared_x1(point, 1, 1, x1c, ns, share);
  return {{shared, shared}};
}

// Coordinate j of the first N points of a tile.
template <int N>
ORV_INLINE vec<N> lane_coord(const f64* tile, i64 j) noexcept {
  return vec<N>::load(tile + j * kVecLanes);
}

// What a pass over sigma points reads for one kind of second-order output
// (the x2 part of the successor, or a control), with output o of n_out
// taking the constant constant[o] (halved on use), the first-order
// coefficients linear_t[j n_out + o] and the halved second-order ones
// half[(j ns + k) n_out + o] (see model_terms). For the leading shared[h]
// coordinates j whose x1_j is the centre's in every lane of half h of a tile
// (shared[0] for a whole tile or one point), centre holds the first factors
// (0.5 q[o][j][k]) x1c_j in the layout of half. Plain values
// copied from the model: a pass run out of line (in_wide_groups,
// transition_point, project_point) that referred to the caller's ukf_inputs
// would let its address escape, and the specialised loops would no longer
// see their sizes as constants.
struct second_order_map {
  const f64* constant;  // n_out: hss or gss
  const f64* linear_t;  // ns x n_out: hx^T or gx^T
  const f64* half;      // ns x ns x n_out: 0.5 hxx or 0.5 gxx
  const f64* centre;    // as half, times x1c_j; may be null when no x1_j is shared
  i64 ns;
  i64 n_out;
  tile_shares shares;
};

// The x2 part of the pruned transition, the points' leading shared x1
// coordinates having first factors centre_hxx.
inline second_order_map transition_map(const ukf_inputs& in, const model_terms& terms,
                                       const f64* centre_hxx, tile_shares shares) noexcept {
  return {in.hss, terms.hx_t, terms.hxx, centre_hxx, in.n_state, in.n_state, shares};
}

// The controls, the points' leading shared x1 coordinates having first
// factors centre_gxx.
inline second_order_map control_map(const ukf_inputs& in, const model_terms& terms,
                                    const f64* centre_gxx, tile_shares shares) noexcept {
  return {in.gss, terms.gx_t, terms.gxx, centre_gxx, in.n_state, in.n_ctrl, shares};
}

// The N lanes of half h of a tile run as H halves (h = 0, N = the lanes in
// use, for a whole tile): coordinate j of those points.
template <int N>
ORV_INLINE vec<N> half_coord(const f64* tile, int h, i64 j) noexcept {
  return lane_coord<N>(tile + h * N, j);
}

// s[h][q] + sum_j sum_k (0.5 q[o + q][j][k] x1_j) x1_k over ns x ns (k inner)
// for Q outputs of each of the H halves of a tile at once, with the last
// product fused into the sum. The Q H sums are independent chains, which
// keeps the FMA units busy while each chain waits for its previous step.
template <int Q, int N, int H>
ORV_INLINE void add_quadratic_terms(vec<N> (&s)[H][Q], const second_order_map& m, i64 o,
                                    const f64* ORV_RESTRICT x1) noexcept {
  using lanes = vec<N>;
  const i64 ns = m.ns, n_out = m.n_out;
  const i64* shared = m.shares.shared;
  const i64 shared_by_both = H == 1 ? shared[0] : min_i64(shared[0], shared[1]);
  const i64 shared_by_either =
      H == 1 ? shared[0] : (shared[0] > shared[1] ? shared[0] : shared[1]);
  for (i64 j = 0; j < shared_by_both; ++j) {
    const f64* tq = m.centre + j * ns * n_out + o;
    for (i64 k = 0; k < ns; ++k) {
      lanes x1k[H];
      for (int h = 0; h < H; ++h) x1k[h] = half_coord<N>(x1, h, k);
#pragma GCC unroll 8
      for (int q = 0; q < Q; ++q) {
        const lanes t = lanes::broadcast(tq[k * n_out + q]);
        for (int h = 0; h < H; ++h) s[h][q] = fma(t, x1k[h], s[h][q]);
      }
    }
  }
  if constexpr (H == 2) {
    // half Own forms its first factors while the other still shares them
    auto own_and_shared = [&]<int Own>() {
      for (i64 j = shared_by_both; j < shared_by_either; ++j) {
        const f64* tq = m.centre + j * ns * n_out + o;
        const f64* hq = m.half + j * ns * n_out + o;
        const lanes x1j = half_coord<N>(x1, Own, j);
        for (i64 k = 0; k < ns; ++k) {
          const lanes own_k = half_coord<N>(x1, Own, k), other_k = half_coord<N>(x1, 1 - Own, k);
#pragma GCC unroll 8
          for (int q = 0; q < Q; ++q) {
            s[Own][q] = fma(lanes::broadcast(hq[k * n_out + q]) * x1j, own_k, s[Own][q]);
            s[1 - Own][q] = fma(lanes::broadcast(tq[k * n_out + q]), other_k, s[1 - Own][q]);
          }
        }
      }
    };
    if (shared[0] < shared[1])
      own_and_shared.template operator()<0>();
    else
      own_and_shared.template operator()<1>();
  }
  for (i64 j = shared_by_either; j < ns; ++j) {
    const f64* hq = m.half + j * ns * n_out + o;
    lanes x1j[H];
    for (int h = 0; h < H; ++h) x1j[h] = half_coord<N>(x1, h, j);
    for (i64 k = 0; k < ns; ++k) {
      lanes x1k[H];
      for (int h = 0; h < H; ++h) x1k[h] = half_coord<N>(x1, h, k);
#pragma GCC unroll 8
      for (int q = 0; q < Q; ++q) {
        const lanes c = lanes::broadcast(hq[k * n_out + q]);
        for (int h = 0; h < H; ++h) s[h][q] = fma(c * x1j[h], x1k[h], s[h][q]);
      }
    }
  }
}

// Outputs [i, i + Q) of the pruned transition of the points of a tile run as
// H halves of N lanes (see ukf_pruned_transition), m mapping the x2 part.
template <int Q, int N, int H>
ORV_INLINE void transition_rows(const second_order_map& m, const f64* ORV_RESTRICT z, i64 i,
                                f64* ORV_RESTRICT out) noexcept {
  using lanes = vec<N>;
  const i64 ns = m.ns;
  const f64* x1 = z;
  const f64* x2 = z + ns * kVecLanes;
  lanes s1[H][Q], s2[H][Q];
  for (int q = 0; q < Q; ++q) {
    const lanes half_constant = lanes::broadcast(0.5 * m.constant[i + q]);
    for (int h = 0; h < H; ++h) {
      s1[h][q] = lanes::zero();
      s2[h][q] = half_constant;
    }
  }
  for (i64 j = 0; j < ns; ++j) {
    lanes x1j[H], x2j[H];
    for (int h = 0; h < H; ++h) {
      x1j[h] = half_coord<N>(x1, h, j);
      x2j[h] = half_coord<N>(x2, h, j);
    }
    for (int q = 0; q < Q; ++q) {
      const lanes c = lanes::broadcast(m.linear_t[j * m.n_out + i + q]);
      for (int h = 0; h < H; ++h) {
        s1[h][q] = fma(c, x1j[h], s1[h][q]);
        s2[h][q] = fma(c, x2j[h], s2[h][q]);
      }
    }
  }
  // x1' is complete: stored now, its registers are free for the long sums
  for (int h = 0; h < H; ++h)
    for (int q = 0; q < Q; ++q) s1[h][q].store(out + (i + q) * kVecLanes + h * N);
  add_quadratic_terms<Q, N, H>(s2, m, i, x1);
  for (int h = 0; h < H; ++h)
    for (int q = 0; q < Q; ++q) s2[h][q].store(out + (ns + i + q) * kVecLanes + h * N);
}

// Controls [c, c + Q) of the projection of the points of a tile run as H
// halves of N lanes (see ukf_project_vars), m mapping the controls and
// steady their steady-state levels.
template <int Q, int N, int H>
ORV_INLINE void project_controls(const second_order_map& m, const f64* ORV_RESTRICT steady,
                                 const f64* ORV_RESTRICT z, i64 c,
                                 f64* ORV_RESTRICT vars) noexcept {
  using lanes = vec<N>;
  const i64 ns = m.ns;
  const f64* x1 = z;
  const f64* x2 = z + ns * kVecLanes;
  lanes s[H][Q];
  for (int q = 0; q < Q; ++q) {
    const lanes half_constant = lanes::broadcast(0.5 * m.constant[c + q]);
    for (int h = 0; h < H; ++h) s[h][q] = half_constant;
  }
  for (i64 j = 0; j < ns; ++j) {
    lanes x12[H];
    for (int h = 0; h < H; ++h) x12[h] = half_coord<N>(x1, h, j) + half_coord<N>(x2, h, j);
    for (int q = 0; q < Q; ++q) {
      const lanes g = lanes::broadcast(m.linear_t[j * m.n_out + c + q]);
      for (int h = 0; h < H; ++h) s[h][q] = fma(g, x12[h], s[h][q]);
    }
  }
  add_quadratic_terms<Q, N, H>(s, m, c, x1);
  for (int q = 0; q < Q; ++q) {
    const lanes level = lanes::broadcast(steady[c + q]);
    for (int h = 0; h < H; ++h)
      (level + s[h][q]).store(vars + (ns + c + q) * kVecLanes + h * N);
  }
}

// Runs body<Q>(i) over [0, n) in the fewest groups of at most MaxQ outputs,
// their sizes as equal as possible (10 outputs go as 5 + 5, not 8 + 2, since
// a narrow group waits on the latency of its few sums).
template <int MaxQ, class Body>
ORV_INLINE void in_groups_of_at_most(i64 n, Body&& body) noexcept {
  const i64 groups = (n + MaxQ - 1) / MaxQ;
  i64 i = 0;
  for (i64 g = 0; g < groups; ++g) {
    const i64 size = (n - i) / (groups - g);  // the larger groups come last
    [&]<int... Q>(std::integer_sequence<int, Q...>) {
      ((size == Q + 1 ? (body.template operator()<Q + 1>(i), 0) : 0), ...);
    }(std::make_integer_sequence<int, MaxQ>{});
    i += size;
  }
}

// in_groups_of_at_most<8>, kept out of line (see in_output_groups).
template <class Body>
[[gnu::noinline]] void in_wide_groups(i64 n, Body& body) noexcept {
  in_groups_of_at_most<8>(n, body);
}

// Runs body<Q>(i) over the n outputs of a tile of points with ns states, in
// groups of as many outputs as keep the FMA units busy through the latency of
// their sums, within the variant's vector registers. The loops specialised
// for few states keep groups of four: the code for wider ones, inlined into
// them, made them much slower, so it stays out of line.
template <class Body>
ORV_INLINE void in_output_groups(i64 ns, i64 n, Body&& body) noexcept {
  if (kVecLanes >= 8 && !few_states(ns))
    in_wide_groups(n, body);
  else
    in_groups_of_at_most<4>(n, body);
}

// body<kHalfLanes, 2>(), kept out of line: the loops specialised for few
// states never split a tile (they share nothing), and their code stays free
// of the halves.
template <class Body>
[[gnu::noinline]] void in_two_halves(Body& body) noexcept {
  body.template operator()<kHalfLanes, 2>();
}

// Runs body<N, H>() on a tile of `count` points (count <= kVecLanes) as H
// halves of N lanes: as two halves when their points share different numbers
// of coordinates with the centre (see may_split_tile), else whole, with the
// narrowest vector width N that covers the points, so that a partly filled
// tile does less work.
template <class Body>
ORV_INLINE void with_lanes_for(i64 count, const tile_shares& shares, Body&& body) noexcept {
  if constexpr (kVecLanes >= 8) {
    if (count > 4) {
      if constexpr (kTileHalves) {
        if (shares.shared[0] != shares.shared[1]) return in_two_halves(body);
      }
      return body.template operator()<8, 1>();
    }
  }
  if constexpr (kVecLanes >= 4) {
    if (count > 2) return body.template operator()<4, 1>();
  }
  if constexpr (kVecLanes >= 2) {
    if (count > 1) return body.template operator()<2, 1>();
  }
  body.template operator()<1, 1>();
}

// half[j][k][o] = 0.5 q[o][j][k] for the n_out blocks of ns x ns
// second-order coefficients q: halved, and output-innermost.
void halve_output_innermost(const f64* ORV_RESTRICT q, i64 n_out, i64 ns,
                            f64* ORV_RESTRICT half) noexcept {
  for (i64 o = 0; o < n_out; ++o)
    for (i64 jk = 0; jk < ns * ns; ++jk) half[jk * n_out + o] = 0.5 * q[o * ns * ns + jk];
}

// The model's coefficients in the layout of model_terms, once per call.
void arrange_model_terms(const ukf_inputs& in, const ukf_dims& d, const model_terms& terms) noexcept {
  halve_output_innermost(in.hxx, d.ns, d.ns, terms.hxx);
  halve_output_innermost(in.gxx, d.nc, d.ns, terms.gxx);
  transpose_into(in.hx, d.ns, d.ns, terms.hx_t);
  transpose_into(in.gx, d.nc, d.ns, terms.gx_t);
}

// out = pruned second-order successor of the first `count` points
// z = (x1, x2) of a tile, whose leading shared x1 coordinates are those of
// the centre with first factors centre_hxx:
//   x1' = hx x1;  x2' = 0.5 hss + hx x2 + 0.5 hxx (x1 (x) x1)
void ukf_pruned_transition(const ukf_inputs& in, const model_terms& terms,
                           const f64* ORV_RESTRICT centre_hxx, const tile_shares& shares,
                           const f64* ORV_RESTRICT z, i64 count,
                           f64* ORV_RESTRICT out) noexcept {
  const second_order_map m = transition_map(in, terms, centre_hxx, shares);
  with_lanes_for(count, shares, [&]<int N, int H>() {
    in_output_groups(m.ns, m.ns,
                     [&]<int Q>(i64 i) { transition_rows<Q, N, H>(m, z, i, out); });
  });
}

// vars (nv) = model variables in levels at the first `count` points
// z = (x1, x2) of a tile: states (ss + x1) + x2, controls ss + s with
// s = 0.5 gss + gx (x1 + x2) + 0.5 gxx (x1 (x) x1), the leading shared x1
// coordinates being the centre's with first factors centre_gxx.
void ukf_project_vars(const ukf_inputs& in, const model_terms& terms,
                      const f64* ORV_RESTRICT centre_gxx, const tile_shares& shares,
                      const f64* ORV_RESTRICT z, i64 count, f64* ORV_RESTRICT vars) noexcept {
  const second_order_map m = control_map(in, terms, centre_gxx, shares);
  // plain values for the passes, which may run out of line (see
  // second_order_map)
  const f64* steady = in.steady_state;
  with_lanes_for(count, shares, [&]<int N, int H>() {
    using lanes = vec<N>;
    const f64* x1 = z;
    const f64* x2 = z + m.ns * kVecLanes;
    for (i64 i = 0; i < m.ns; ++i)
      for (int h = 0; h < H; ++h)
        ((lanes::broadcast(steady[i]) + half_coord<N>(x1, h, i)) + half_coord<N>(x2, h, i))
            .store(vars + i * kVecLanes + h * N);
    in_output_groups(m.ns, m.n_out, [&]<int Q>(i64 c) {
      project_controls<Q, N, H>(m, steady + m.ns, z, c, vars);
    });
  });
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_SIGMA_TILES_H
