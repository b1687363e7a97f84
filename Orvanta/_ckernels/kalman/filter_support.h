// What both filter loops stand on: the choice between general loops and
// loops specialised for small models, the log-likelihood term, and copies
// into the history. Part of a filter variant (filters_variant_*.cpp).
#ifndef ORV_FILTER_SUPPORT_H
#define ORV_FILTER_SUPPORT_H

#ifndef ORV_VARIANT
#error "define ORV_VARIANT before including filter_support.h"
#endif

#include <cmath>
#include <cstring>

// The dense kernels of the same variant, as private copies that the loops
// can inline.
#define ORV_PRIVATE_KERNELS
#include "../_common/orv_linalg_impl.h"

namespace ORV_VARIANT {

namespace {

// Small models run loops specialised for their dimensions (see
// kf_hot_loop and ukf_hot_loop), each with every step inlined.
// A sanitized build would take many minutes to compile them, so with
// ORV_GENERAL_LOOPS_ONLY every model takes the general loops.
#ifdef ORV_GENERAL_LOOPS_ONLY
constexpr bool kSpecialisedLoops = false;
#else
constexpr bool kSpecialisedLoops = true;
#endif

// Returns fixed.template operator()<N, M>() for the (N, M) equal to (n, m)
// among 1 <= M <= min(N, MaxM), N <= MaxN, and general() for any other
// (n, m). The search starts at (N, M) and walks M up to its limit, then N.
template <i64 MaxN, i64 MaxM, i64 N = 1, i64 M = 1, class Fixed, class General>
auto with_small_sizes(i64 n, i64 m, Fixed&& fixed, General&& general) {
  if constexpr (N <= MaxN) {
    if (n == N && m == M) return fixed.template operator()<N, M>();
    if constexpr (M < N && M < MaxM)
      return with_small_sizes<MaxN, MaxM, N, M + 1>(n, m, fixed, general);
    else
      return with_small_sizes<MaxN, MaxM, N + 1, 1>(n, m, fixed, general);
  } else {
    return general();
  }
}

// Returns fixed.template operator()<N>() for the N among Sizes equal to n,
// and general() when none is; either may return nothing.
template <i64 Size, i64... Rest, class Fixed, class General>
auto with_listed_size(i64 n, Fixed&& fixed, General&& general) {
  if (n == Size) return fixed.template operator()<Size>();
  if constexpr (sizeof...(Rest) > 0)
    return with_listed_size<Rest...>(n, fixed, general);
  else
    return general();
}

// ln(2 pi) to double precision.
constexpr f64 kLog2Pi = 1.8378770664093453;

// log det S + m ln 2 pi, with S = L L^T: the first half of loglik_sum, which
// a steady state keeps while only v changes.
inline f64 logdet_term(const f64* L, i64 m, f64 const_term) noexcept {
  return orv_logdet_from_chol(L, m) + const_term;
}

// log det S + m ln 2 pi + v^T S^-1 v, with S = L L^T and the grouping fixed:
// two rounded additions. A period's log-likelihood term is -0.5 times it,
// which is exact.
inline f64 loglik_sum(const f64* L, const f64* v, const f64* S_inv_v, i64 m,
                      f64 const_term) noexcept {
  return logdet_term(L, m, const_term) + orv_dot(v, S_inv_v, m);
}

// loglik - 0.5 (log det S + m ln 2 pi + v^T S^-1 v): the sum above, then one
// fma onto loglik.
inline f64 add_loglik_term(const f64* L, const f64* v, const f64* S_inv_v, i64 m,
                           f64 const_term, f64 loglik) noexcept {
  return std::fma(-0.5, loglik_sum(L, v, S_inv_v, m, const_term), loglik);
}

// dst[0 .. len) = src[0 .. len); nothing is touched when len is 0.
inline void copy_values(f64* dst, const f64* src, i64 len) noexcept {
  if (len > 0) std::memcpy(dst, src, static_cast<size_t>(len) * sizeof(f64));
}

// Copies `len` values into row `t` of a history array with rows of `len`.
inline void store_row(f64* history, i64 t, const f64* src, i64 len) noexcept {
  copy_values(history + t * len, src, len);
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_FILTER_SUPPORT_H
