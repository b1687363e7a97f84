// Vector registers of the variant being compiled, with just the operations
// the kernels need. vec<N> holds N doubles; every operation acts lane by
// lane, so a vector of accumulators is simply N independent sums, and fma is
// one fused multiply-add per lane (exact product, one rounding), as std::fma
// is. vec<1> is a plain double; the wider ones exist where the target has
// FMA instructions for them. vreg is the widest, kVecLanes its width.
// The vregs also have load_first and store_first, which touch only the
// first `count` lanes (1 <= count <= N), the others loading as +0.0, so
// that a vector can run over the end of an array; and the lane-wise
// operations a factorisation in lanes needs: exact negation, the correctly
// rounded square root, a > b ? a : b (greater_or_second), and the mask of the
// lanes where a <= b (at_most_mask; false for NaN), each the scalar
// operation's result in every lane.
#ifndef ORV_SIMD_H
#define ORV_SIMD_H

#include <cmath>

#include "orv_common.h"

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#endif

template <int N>
struct vec;

// One lane, and std::fma: where the processor has no FMA instruction this is
// the correctly rounded library function.
template <>
struct vec<1> {
  f64 v;
  static vec load(const f64* p) noexcept { return {*p}; }
  static vec load_first(const f64* p, int) noexcept { return {*p}; }
  static vec broadcast(f64 x) noexcept { return {x}; }
  static vec zero() noexcept { return {0.0}; }
  void store(f64* p) const noexcept { *p = v; }
  void store_first(f64* p, int) const noexcept { *p = v; }
  friend vec fma(vec a, vec b, vec c) noexcept { return {std::fma(a.v, b.v, c.v)}; }
  friend vec operator+(vec a, vec b) noexcept { return {a.v + b.v}; }
  friend vec operator-(vec a, vec b) noexcept { return {a.v - b.v}; }
  friend vec operator*(vec a, vec b) noexcept { return {a.v * b.v}; }
  friend vec operator/(vec a, vec b) noexcept { return {a.v / b.v}; }
  friend vec operator-(vec a) noexcept { return {-a.v}; }
  friend vec sqrt(vec a) noexcept { return {std::sqrt(a.v)}; }
  friend vec greater_or_second(vec a, vec b) noexcept { return {a.v > b.v ? a.v : b.v}; }
  friend unsigned at_most_mask(vec a, vec b) noexcept { return a.v <= b.v ? 1u : 0u; }
};

// transpose(r) swaps lane i of r[j] with lane j of r[i]: the rows of an
// N x N block become its columns. Pure data movement, so every value keeps
// its bits.
inline void transpose(vec<1> (&)[1]) noexcept {}

#if defined(__AVX2__) && defined(__FMA__)
// Lane mask for the masked loads and stores: all bits set in the first
// `count` 64-bit lanes.
inline __m256i first_lanes_256(int count) noexcept {
  return _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_set_epi64x(3, 2, 1, 0));
}

template <>
struct vec<2> {
  __m128d v;
  static vec load(const f64* p) noexcept { return {_mm_loadu_pd(p)}; }
  static vec broadcast(f64 x) noexcept { return {_mm_set1_pd(x)}; }
  static vec zero() noexcept { return {_mm_setzero_pd()}; }
  void store(f64* p) const noexcept { _mm_storeu_pd(p, v); }
  friend vec fma(vec a, vec b, vec c) noexcept { return {_mm_fmadd_pd(a.v, b.v, c.v)}; }
  friend vec operator+(vec a, vec b) noexcept { return {_mm_add_pd(a.v, b.v)}; }
  friend vec operator-(vec a, vec b) noexcept { return {_mm_sub_pd(a.v, b.v)}; }
  friend vec operator*(vec a, vec b) noexcept { return {_mm_mul_pd(a.v, b.v)}; }
  friend vec operator/(vec a, vec b) noexcept { return {_mm_div_pd(a.v, b.v)}; }
};

template <>
struct vec<4> {
  __m256d v;
  static vec load(const f64* p) noexcept { return {_mm256_loadu_pd(p)}; }
  static vec load_first(const f64* p, int count) noexcept {
    return {_mm256_maskload_pd(p, first_lanes_256(count))};
  }
  static vec broadcast(f64 x) noexcept { return {_mm256_set1_pd(x)}; }
  static vec zero() noexcept { return {_mm256_setzero_pd()}; }
  void store(f64* p) const noexcept { _mm256_storeu_pd(p, v); }
  void store_first(f64* p, int count) const noexcept {
    _mm256_maskstore_pd(p, first_lanes_256(count), v);
  }
  friend vec fma(vec a, vec b, vec c) noexcept { return {_mm256_fmadd_pd(a.v, b.v, c.v)}; }
  friend vec operator+(vec a, vec b) noexcept { return {_mm256_add_pd(a.v, b.v)}; }
  friend vec operator-(vec a, vec b) noexcept { return {_mm256_sub_pd(a.v, b.v)}; }
  friend vec operator*(vec a, vec b) noexcept { return {_mm256_mul_pd(a.v, b.v)}; }
  friend vec operator/(vec a, vec b) noexcept { return {_mm256_div_pd(a.v, b.v)}; }
  friend vec operator-(vec a) noexcept { return {_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))}; }
  friend vec sqrt(vec a) noexcept { return {_mm256_sqrt_pd(a.v)}; }
  // maxpd returns its second operand unless the first is greater
  friend vec greater_or_second(vec a, vec b) noexcept { return {_mm256_max_pd(a.v, b.v)}; }
  friend unsigned at_most_mask(vec a, vec b) noexcept {
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)));
  }
};

inline void transpose(vec<2> (&r)[2]) noexcept {
  const __m128d first = _mm_unpacklo_pd(r[0].v, r[1].v);
  r[1].v = _mm_unpackhi_pd(r[0].v, r[1].v);
  r[0].v = first;
}

inline void transpose(vec<4> (&r)[4]) noexcept {
  // pairs of rows interleaved: (r0[0] r1[0] r0[2] r1[2]), (r0[1] r1[1] ...), ...
  const __m256d t0 = _mm256_unpacklo_pd(r[0].v, r[1].v), t1 = _mm256_unpackhi_pd(r[0].v, r[1].v);
  const __m256d t2 = _mm256_unpacklo_pd(r[2].v, r[3].v), t3 = _mm256_unpackhi_pd(r[2].v, r[3].v);
  // then the 128-bit halves of the pairs joined
  r[0].v = _mm256_permute2f128_pd(t0, t2, 0x20);
  r[1].v = _mm256_permute2f128_pd(t1, t3, 0x20);
  r[2].v = _mm256_permute2f128_pd(t0, t2, 0x31);
  r[3].v = _mm256_permute2f128_pd(t1, t3, 0x31);
}
#endif

#if defined(__AVX512F__)
template <>
struct vec<8> {
  __m512d v;
  static vec load(const f64* p) noexcept { return {_mm512_loadu_pd(p)}; }
  static vec load_first(const f64* p, int count) noexcept {
    return {_mm512_maskz_loadu_pd(first_lanes(count), p)};
  }
  static vec broadcast(f64 x) noexcept { return {_mm512_set1_pd(x)}; }
  static vec zero() noexcept { return {_mm512_setzero_pd()}; }
  void store(f64* p) const noexcept { _mm512_storeu_pd(p, v); }
  void store_first(f64* p, int count) const noexcept {
    _mm512_mask_storeu_pd(p, first_lanes(count), v);
  }
  static __mmask8 first_lanes(int count) noexcept {
    return static_cast<__mmask8>((1u << count) - 1u);
  }
  friend vec fma(vec a, vec b, vec c) noexcept { return {_mm512_fmadd_pd(a.v, b.v, c.v)}; }
  friend vec operator+(vec a, vec b) noexcept { return {_mm512_add_pd(a.v, b.v)}; }
  friend vec operator-(vec a, vec b) noexcept { return {_mm512_sub_pd(a.v, b.v)}; }
  friend vec operator*(vec a, vec b) noexcept { return {_mm512_mul_pd(a.v, b.v)}; }
  friend vec operator/(vec a, vec b) noexcept { return {_mm512_div_pd(a.v, b.v)}; }
  friend vec operator-(vec a) noexcept { return {_mm512_xor_pd(a.v, _mm512_set1_pd(-0.0))}; }
  friend vec sqrt(vec a) noexcept { return {_mm512_sqrt_pd(a.v)}; }
  // maxpd returns its second operand unless the first is greater
  friend vec greater_or_second(vec a, vec b) noexcept { return {_mm512_max_pd(a.v, b.v)}; }
  friend unsigned at_most_mask(vec a, vec b) noexcept {
    return static_cast<unsigned>(_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ));
  }
};

inline void transpose(vec<8> (&r)[8]) noexcept {
  // pairs of rows interleaved: t[2p] holds lanes 0, 2, 4, 6 of rows 2p and
  // 2p + 1 side by side, t[2p + 1] lanes 1, 3, 5, 7
  __m512d t[8];
  for (int p = 0; p < 4; ++p) {
    t[2 * p] = _mm512_unpacklo_pd(r[2 * p].v, r[2 * p + 1].v);
    t[2 * p + 1] = _mm512_unpackhi_pd(r[2 * p].v, r[2 * p + 1].v);
  }
  // 128-bit pieces of pairs p and p + 1 joined: lanes (c, c + 4) of four rows
  const __m512i even_pieces = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i odd_pieces = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  __m512d u[8];
  for (int h = 0; h < 2; ++h)
    for (int c = 0; c < 2; ++c) {
      u[4 * h + c] = _mm512_permutex2var_pd(t[4 * h + c], even_pieces, t[4 * h + 2 + c]);
      u[4 * h + 2 + c] = _mm512_permutex2var_pd(t[4 * h + c], odd_pieces, t[4 * h + 2 + c]);
    }
  // 256-bit halves of the two groups of four rows joined
  const __m512i low_halves = _mm512_set_epi64(11, 10, 9, 8, 3, 2, 1, 0);
  const __m512i high_halves = _mm512_set_epi64(15, 14, 13, 12, 7, 6, 5, 4);
  for (int c = 0; c < 4; ++c) {
    r[c].v = _mm512_permutex2var_pd(u[c], low_halves, u[4 + c]);
    r[4 + c].v = _mm512_permutex2var_pd(u[c], high_halves, u[4 + c]);
  }
}
constexpr int kVecLanes = 8;
#elif defined(__AVX2__) && defined(__FMA__)
constexpr int kVecLanes = 4;
#else
constexpr int kVecLanes = 1;
#endif

// The widest vector whose width divides w (w > 0).
constexpr int lanes_dividing(int w) noexcept {
  int n = kVecLanes;
  while (w % n != 0) n /= 2;
  return n;
}

using vreg = vec<kVecLanes>;

#endif  // ORV_SIMD_H
