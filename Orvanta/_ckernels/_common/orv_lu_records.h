// What the real and the complex LU share apart from their arithmetic: the
// checked allocation of their arrays and the life of the record that hands
// those arrays to the caller. Internal to the kernel library.
#ifndef ORV_LU_RECORDS_H
#define ORV_LU_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "orv_common.h"

// rows * cols entries of T from malloc, or null when the count overflows or
// the block would exceed PTRDIFF_MAX bytes: a wrapped size would hand back a
// block far smaller than the loops that fill it expect.
template <class T>
T* alloc_array(i64 rows, i64 cols) noexcept {
  i64 count = 0;
  std::size_t bytes = 0;
  if (rows <= 0 || cols <= 0 || __builtin_mul_overflow(rows, cols, &count) ||
      __builtin_mul_overflow(static_cast<std::size_t>(count), sizeof(T), &bytes) ||
      bytes > static_cast<std::size_t>(PTRDIFF_MAX))
    return nullptr;
  return static_cast<T*>(std::malloc(bytes));
}

// A record (lu, piv, n, err) holding a factorised copy of the n-by-n A:
// factor_inplace(lu, piv, n) gives err. The arrays belong to the caller also
// when err reports a singular matrix; only a failed allocation (or bad
// arguments) leaves them null, with err = error_arg.
template <class Record, class T, class Factor>
Record lu_factor_copy(const T* A, i64 n, Factor factor_inplace, i64 error_arg) noexcept {
  Record out{nullptr, nullptr, n, error_arg};
  if (A == nullptr || n <= 0) return out;
  T* lu = alloc_array<T>(n, n);
  // the pivots only once the factors exist, so a failed first request is not
  // followed by a second one
  i64* piv = lu != nullptr ? alloc_array<i64>(n, 1) : nullptr;
  if (lu == nullptr || piv == nullptr) {
    std::free(lu);
    std::free(piv);
    return out;
  }
  std::memcpy(lu, A, static_cast<std::size_t>(n * n) * sizeof(T));
  out.lu = lu;
  out.piv = piv;
  out.err = factor_inplace(lu, piv, n);
  return out;
}

// Frees the arrays of a record and clears it, so that a second release (or
// one of a null record) does nothing.
template <class Record>
void lu_release(Record* record) noexcept {
  if (record == nullptr) return;
  std::free(record->lu);
  std::free(record->piv);
  *record = Record{nullptr, nullptr, 0, 0};
}

// X (n x m) = B with the rows interchanged as the factorisation recorded
// them: row k swapped with row piv[k], for k ascending. The first step of
// every LU solve, whatever its arithmetic.
template <class T>
void permuted_copy(const T* B, const i64* piv, T* X, i64 n, i64 m) noexcept {
  std::memcpy(X, B, static_cast<std::size_t>(n * m) * sizeof(T));
  for (i64 k = 0; k < n; ++k)
    if (piv[k] != k)
      for (i64 j = 0; j < m; ++j) std::swap(X[k * m + j], X[piv[k] * m + j]);
}

#endif  // ORV_LU_RECORDS_H
