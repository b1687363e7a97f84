// Independent draws of a model side by side: draw_lanes holds one value of
// each of kDrawLanes draws, kDrawVectors vectors of the variant's width, and
// every operation acts on each lane alone, with the scalar operation's
// result (fma is one fused multiply-add per lane). With vector registers one
// vector is best (a second one doubled the block's memory and made it a sixth
// slower); the portable variant takes two scalars, so that its long chains of
// dependent steps have a second, independent one beside them. Part of a
// filter variant (filters_variant_batch.cpp).
#ifndef ORV_DRAW_LANES_H
#define ORV_DRAW_LANES_H

#include "../_common/orv_simd.h"

namespace ORV_VARIANT {

namespace {

constexpr int kDrawVectors = kVecLanes > 1 ? 1 : 2;
constexpr int kDrawLanes = kDrawVectors * kVecLanes;
static_assert(kDrawLanes <= 32, "lane masks are 32 bits wide");

struct draw_lanes {
  vreg v[kDrawVectors];

  static draw_lanes load(const f64* p) noexcept {
    draw_lanes r;
    for (int u = 0; u < kDrawVectors; ++u) r.v[u] = vreg::load(p + u * kVecLanes);
    return r;
  }
  static draw_lanes broadcast(f64 x) noexcept {
    draw_lanes r;
    for (int u = 0; u < kDrawVectors; ++u) r.v[u] = vreg::broadcast(x);
    return r;
  }
  static draw_lanes zero() noexcept { return broadcast(0.0); }
  void store(f64* p) const noexcept {
    for (int u = 0; u < kDrawVectors; ++u) v[u].store(p + u * kVecLanes);
  }

  template <class Op>
  static draw_lanes each(Op op) noexcept {
    draw_lanes r;
    for (int u = 0; u < kDrawVectors; ++u) r.v[u] = op(u);
    return r;
  }
  friend draw_lanes fma(draw_lanes a, draw_lanes b, draw_lanes c) noexcept {
    return each([&](int u) { return fma(a.v[u], b.v[u], c.v[u]); });
  }
  friend draw_lanes operator+(draw_lanes a, draw_lanes b) noexcept {
    return each([&](int u) { return a.v[u] + b.v[u]; });
  }
  friend draw_lanes operator-(draw_lanes a, draw_lanes b) noexcept {
    return each([&](int u) { return a.v[u] - b.v[u]; });
  }
  friend draw_lanes operator*(draw_lanes a, draw_lanes b) noexcept {
    return each([&](int u) { return a.v[u] * b.v[u]; });
  }
  friend draw_lanes operator/(draw_lanes a, draw_lanes b) noexcept {
    return each([&](int u) { return a.v[u] / b.v[u]; });
  }
  friend draw_lanes operator-(draw_lanes a) noexcept {
    return each([&](int u) { return -a.v[u]; });
  }
  friend draw_lanes sqrt(draw_lanes a) noexcept {
    return each([&](int u) { return sqrt(a.v[u]); });
  }
  friend draw_lanes greater_or_second(draw_lanes a, draw_lanes b) noexcept {
    return each([&](int u) { return greater_or_second(a.v[u], b.v[u]); });
  }
  // Bit l set where lane l of a is at most lane l of b (never for NaN).
  friend unsigned at_most_mask(draw_lanes a, draw_lanes b) noexcept {
    unsigned mask = 0;
    for (int u = 0; u < kDrawVectors; ++u)
      mask |= at_most_mask(a.v[u], b.v[u]) << (u * kVecLanes);
    return mask;
  }
};

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_DRAW_LANES_H
