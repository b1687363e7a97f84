// The vector register of the variant being compiled, with just the operations
// the kernels need. Each operation acts lane by lane, so a vector of
// accumulators is simply that many independent sums; vfma is one fused
// multiply-add per lane (exact product, one rounding), as std::fma is.
#ifndef ORV_SIMD_H
#define ORV_SIMD_H

#include <cmath>

#include "orv_common.h"

#if defined(__AVX512F__)
#include <immintrin.h>
struct vreg {
  __m512d v;
};
constexpr int kVecLanes = 8;
inline vreg vzero() noexcept { return {_mm512_setzero_pd()}; }
inline vreg vload(const f64* p) noexcept { return {_mm512_loadu_pd(p)}; }
inline void vstore(f64* p, vreg a) noexcept { _mm512_storeu_pd(p, a.v); }
inline vreg vbroadcast(f64 x) noexcept { return {_mm512_set1_pd(x)}; }
inline vreg vfma(vreg a, vreg b, vreg c) noexcept { return {_mm512_fmadd_pd(a.v, b.v, c.v)}; }
inline vreg vadd(vreg a, vreg b) noexcept { return {_mm512_add_pd(a.v, b.v)}; }
inline vreg vsub(vreg a, vreg b) noexcept { return {_mm512_sub_pd(a.v, b.v)}; }
inline vreg vmul(vreg a, vreg b) noexcept { return {_mm512_mul_pd(a.v, b.v)}; }
inline vreg vdiv(vreg a, vreg b) noexcept { return {_mm512_div_pd(a.v, b.v)}; }
#elif defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
struct vreg {
  __m256d v;
};
constexpr int kVecLanes = 4;
inline vreg vzero() noexcept { return {_mm256_setzero_pd()}; }
inline vreg vload(const f64* p) noexcept { return {_mm256_loadu_pd(p)}; }
inline void vstore(f64* p, vreg a) noexcept { _mm256_storeu_pd(p, a.v); }
inline vreg vbroadcast(f64 x) noexcept { return {_mm256_set1_pd(x)}; }
inline vreg vfma(vreg a, vreg b, vreg c) noexcept { return {_mm256_fmadd_pd(a.v, b.v, c.v)}; }
inline vreg vadd(vreg a, vreg b) noexcept { return {_mm256_add_pd(a.v, b.v)}; }
inline vreg vsub(vreg a, vreg b) noexcept { return {_mm256_sub_pd(a.v, b.v)}; }
inline vreg vmul(vreg a, vreg b) noexcept { return {_mm256_mul_pd(a.v, b.v)}; }
inline vreg vdiv(vreg a, vreg b) noexcept { return {_mm256_div_pd(a.v, b.v)}; }
#else
// No vector FMA: one lane, and std::fma, which is the correctly rounded
// library function where the processor has no FMA instruction.
struct vreg {
  f64 v;
};
constexpr int kVecLanes = 1;
inline vreg vzero() noexcept { return {0.0}; }
inline vreg vload(const f64* p) noexcept { return {*p}; }
inline void vstore(f64* p, vreg a) noexcept { *p = a.v; }
inline vreg vbroadcast(f64 x) noexcept { return {x}; }
inline vreg vfma(vreg a, vreg b, vreg c) noexcept { return {std::fma(a.v, b.v, c.v)}; }
inline vreg vadd(vreg a, vreg b) noexcept { return {a.v + b.v}; }
inline vreg vsub(vreg a, vreg b) noexcept { return {a.v - b.v}; }
inline vreg vmul(vreg a, vreg b) noexcept { return {a.v * b.v}; }
inline vreg vdiv(vreg a, vreg b) noexcept { return {a.v / b.v}; }
#endif

#endif  // ORV_SIMD_H
