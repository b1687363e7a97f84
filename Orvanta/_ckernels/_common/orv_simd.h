// Vector registers of the variant being compiled, with just the operations
// the kernels need. vec<N> holds N doubles; every operation acts lane by
// lane, so a vector of accumulators is simply N independent sums, and fma is
// one fused multiply-add per lane (exact product, one rounding), as std::fma
// is. vec<1> is a plain double; the wider ones exist where the target has
// FMA instructions for them. vreg is the widest, kVecLanes its width.
// The vregs also have load_first and store_first, which touch only the
// first `count` lanes (1 <= count <= N), the others loading as +0.0, so
// that a vector can run over the end of an array.
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
};

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
};
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
};
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
inline vreg vzero() noexcept { return vreg::zero(); }
inline vreg vload(const f64* p) noexcept { return vreg::load(p); }
inline void vstore(f64* p, vreg a) noexcept { a.store(p); }
inline vreg vbroadcast(f64 x) noexcept { return vreg::broadcast(x); }
inline vreg vfma(vreg a, vreg b, vreg c) noexcept { return fma(a, b, c); }
inline vreg vadd(vreg a, vreg b) noexcept { return a + b; }
inline vreg vsub(vreg a, vreg b) noexcept { return a - b; }
inline vreg vmul(vreg a, vreg b) noexcept { return a * b; }
inline vreg vdiv(vreg a, vreg b) noexcept { return a / b; }

#endif  // ORV_SIMD_H
