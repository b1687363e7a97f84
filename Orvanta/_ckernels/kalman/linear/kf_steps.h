// The linear filter's step kernels: the exported kf_ functions, and the
// bodies that they share with the loop (kf_loop.h). Where an exported step
// and the loop compute the same values, both call one body; the loop only
// hands it transposed copies of A and C made once per call, which change how
// an operand is read, never a sum. Part of a filter variant
// (filters_variant_linear.cpp).
#ifndef ORV_KF_STEPS_H
#define ORV_KF_STEPS_H

#include "../filter_support.h"

namespace ORV_VARIANT {

namespace {

// The bodies below read the right operand of a transposed product through
// Transposed: a packed_transpose in the exported steps, a transposed_copy
// made once per call in the loop (see product_abt).

// out (n x n) = BQBT + (A P_prev) A^T, with temp_nn = A P_prev (n x n).
template <class Transposed>
inline void predict_cov(const f64* ORV_RESTRICT A, Transposed At,
                        const f64* ORV_RESTRICT P_prev, const f64* ORV_RESTRICT BQBT,
                        f64* ORV_RESTRICT temp_nn, f64* ORV_RESTRICT out, i64 n) noexcept {
  // temp_nn (n x n) = A P_prev
  orv_matmul(A, P_prev, temp_nn, n, n, n);
  // out (n x n) = BQBT + temp_nn A^T
  product_abt(temp_nn, At, BQBT, out, n, n, n);
}

// out (m x m) = R + (C P_pred) C^T, with temp_mn = C P_pred (m x n).
template <class Transposed>
inline void measurement_cov(const f64* ORV_RESTRICT C, Transposed Ct,
                            const f64* ORV_RESTRICT P_pred, const f64* ORV_RESTRICT R,
                            f64* ORV_RESTRICT temp_mn, f64* ORV_RESTRICT out, i64 n,
                            i64 m) noexcept {
  // temp_mn (m x n) = C P_pred
  orv_matmul(C, P_pred, temp_mn, m, n, n);
  // out (m x m) = R + temp_mn C^T
  product_abt(temp_mn, Ct, R, out, m, n, m);
}

// out (n x m) = P_pred (n x n) C^T.
template <class Transposed>
inline void pc_t(const f64* ORV_RESTRICT P_pred, Transposed Ct, f64* ORV_RESTRICT out,
                 i64 n, i64 m) noexcept {
  product_abt(P_pred, Ct, nullptr, out, n, n, m);
}

// out = I - A (n x n): every element negated, then 1 added on the diagonal.
// out may be A.
inline void identity_minus(const f64* A, f64* out, i64 n) noexcept {
  if (n <= 0) return;
  for (i64 i = 0; i < n * n; ++i) out[i] = -A[i];
  for (i64 i = 0; i < n; ++i) out[i * n + i] = out[i * n + i] + 1.0;
}

// ---- the gain ----------------------------------------------------------------------
//
// Row r of the gain is K[r] = (L L^T)^-1 b[r] for the right-hand side b[r],
// row r of P_pred C^T (of length m). The rows are independent, so a vector
// of them is solved at once, one row per lane, every lane taking the
// operations of kf_chol_solve_row in its order. The exported
// kf_gain_from_pc_t writes K (n x m); the loop writes K^T (m x n), which its
// products then read in place.

// Widest system solved a vector of rows at a time: its m vectors stay in
// registers (or close).
constexpr i64 kMaxLaneSolve = 64;

// A matrix read or written through steps: element (r, i) at
// p[r * row_step + i * col_step], so that a matrix and its transpose, or
// (C P_pred)^T in place of P_pred C^T, are all one kind of operand.
template <class T>
struct strided {
  T* p;
  i64 row_step, col_step;
  T& at(i64 r, i64 i) const noexcept { return p[r * row_step + i * col_step]; }
};

// Rows [r0, r0 + G N) of the gain, from the right-hand sides b into k: G
// vectors of N rows, G m <= kMaxLaneSolve. The vectors are interleaved
// equation by equation, so that the divisions, which wait on each other
// within a vector, overlap across vectors.
template <int N, int G = 1>
ORV_INLINE void solve_gain_rows(const f64* L, const strided<const f64>& b, i64 r0,
                                const strided<f64>& k, i64 m) noexcept {
  using lanes = vec<N>;
  lanes x[kMaxLaneSolve];  // x[i * G + g]: equation i of vector g
  f64 gathered[N];
  for (i64 i = 0; i < m; ++i)
    for (int g = 0; g < G; ++g) {
      const i64 r = r0 + g * N;
      if (b.row_step == 1) {
        x[i * G + g] = lanes::load(&b.at(r, i));
      } else {
        for (int l = 0; l < N; ++l) gathered[l] = b.at(r + l, i);
        x[i * G + g] = lanes::load(gathered);
      }
    }
  // forward: x_i = (b_i - sum_{j<i} L[i][j] x_j) / L[i][i]
  for (i64 i = 0; i < m; ++i)
    for (int g = 0; g < G; ++g) {
      lanes s = lanes::zero();
      for (i64 j = 0; j < i; ++j) s = fma(lanes::broadcast(L[i * m + j]), x[j * G + g], s);
      x[i * G + g] = (x[i * G + g] - s) / lanes::broadcast(L[i * m + i]);
    }
  // backward: x_i = (f_i - sum_{j>i} L[j][i] x_j) / L[i][i]
  for (i64 i = m - 1; i >= 0; --i)
    for (int g = 0; g < G; ++g) {
      lanes s = lanes::zero();
      for (i64 j = i + 1; j < m; ++j) s = fma(lanes::broadcast(L[j * m + i]), x[j * G + g], s);
      x[i * G + g] = (x[i * G + g] - s) / lanes::broadcast(L[i * m + i]);
    }
  for (i64 i = 0; i < m; ++i)
    for (int g = 0; g < G; ++g) {
      const i64 r = r0 + g * N;
      if (k.row_step == 1) {
        x[i * G + g].store(&k.at(r, i));
      } else {
        x[i * G + g].store(gathered);
        for (int l = 0; l < N; ++l) k.at(r + l, i) = gathered[l];
      }
    }
}

// Rows [0, rows) of the gain: four, two or one vectors of rows at a time
// while full vectors are left, then narrower vectors down to one. Systems
// wider than kMaxLaneSolve go row by row through fbuf and bbuf (m values
// each).
void solve_gain(const f64* ORV_RESTRICT L, const strided<const f64>& b, const strided<f64>& k,
                f64* ORV_RESTRICT fbuf, f64* ORV_RESTRICT bbuf, i64 rows, i64 m) noexcept {
  if (m <= 0) return;
  if (m > kMaxLaneSolve) {
    for (i64 r = 0; r < rows; ++r) {
      for (i64 i = 0; i < m; ++i) fbuf[i] = b.at(r, i);
      orv_forward_subst(L, fbuf, fbuf, m);
      orv_backward_subst_chol_t(L, fbuf, bbuf, m);
      for (i64 i = 0; i < m; ++i) k.at(r, i) = bbuf[i];
    }
    return;
  }
  i64 r = 0;
  if (4 * m <= kMaxLaneSolve)
    for (; r + 4 * kVecLanes <= rows; r += 4 * kVecLanes) solve_gain_rows<kVecLanes, 4>(L, b, r, k, m);
  if (2 * m <= kMaxLaneSolve)
    for (; r + 2 * kVecLanes <= rows; r += 2 * kVecLanes) solve_gain_rows<kVecLanes, 2>(L, b, r, k, m);
  for (; r + kVecLanes <= rows; r += kVecLanes) solve_gain_rows<kVecLanes>(L, b, r, k, m);
  if constexpr (kVecLanes >= 8) {
    if (r + 4 <= rows) solve_gain_rows<4>(L, b, r, k, m), r += 4;
  }
  if constexpr (kVecLanes >= 4) {
    if (r + 2 <= rows) solve_gain_rows<2>(L, b, r, k, m), r += 2;
  }
  if (r < rows) solve_gain_rows<1>(L, b, r, k, m);
}

}  // namespace

// ---- the exported steps ------------------------------------------------------------

void kf_row_minus_vec(const f64* ORV_RESTRICT A, i64 row, const f64* ORV_RESTRICT x,
                      f64* ORV_RESTRICT out, i64 m) {
  const f64* a_row = A + row * m;
  for (i64 i = 0; i < m; ++i) out[i] = a_row[i] - x[i];
}

void kf_chol_solve_row(const f64* ORV_RESTRICT L, const f64* ORV_RESTRICT B, i64 row,
                       f64* ORV_RESTRICT fbuf, f64* ORV_RESTRICT bbuf,
                       f64* ORV_RESTRICT out, i64 n) {
  if (n <= 0) return;
  // fbuf = L^-1 b;  bbuf = L^-T fbuf = (L L^T)^-1 b
  orv_forward_subst(L, B + row * n, fbuf, n);
  orv_backward_subst_chol_t(L, fbuf, bbuf, n);
  store_row(out, row, bbuf, n);
}

void kf_predict_cov(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT P_prev,
                    const f64* ORV_RESTRICT BQBT, f64* ORV_RESTRICT temp_nn,
                    f64* ORV_RESTRICT out, i64 n) {
  predict_cov(A, packed_transpose{A}, P_prev, BQBT, temp_nn, out, n);
}

void kf_measurement_cov(const f64* ORV_RESTRICT C, const f64* ORV_RESTRICT P_pred,
                        const f64* ORV_RESTRICT R, f64* ORV_RESTRICT temp_mn,
                        f64* ORV_RESTRICT out, i64 n, i64 m) {
  measurement_cov(C, packed_transpose{C}, P_pred, R, temp_mn, out, n, m);
}

void kf_pc_t(const f64* ORV_RESTRICT P_pred, const f64* ORV_RESTRICT C,
             f64* ORV_RESTRICT out, i64 n, i64 m) {
  pc_t(P_pred, packed_transpose{C}, out, n, m);
}

void kf_gain_from_pc_t(const f64* ORV_RESTRICT L, const f64* ORV_RESTRICT PCt,
                       f64* ORV_RESTRICT fbuf, f64* ORV_RESTRICT bbuf,
                       f64* ORV_RESTRICT out, i64 n, i64 m) {
  // out (n x m) = PCt S^-1 with S = L L^T, never inverted: full vectors of
  // rows in lanes, then the rest one by one, which leaves the last row's
  // solves in fbuf and bbuf.
  i64 r = 0;
  if (kVecLanes > 1 && m <= kMaxLaneSolve)
    for (; r + kVecLanes < n; r += kVecLanes)
      solve_gain_rows<kVecLanes>(L, {PCt, m, 1}, r, {out, m, 1}, m);
  for (; r < n; ++r) kf_chol_solve_row(L, PCt, r, fbuf, bbuf, out, m);
}

void kf_state_update(const f64* ORV_RESTRICT x_pred, const f64* ORV_RESTRICT K,
                     const f64* ORV_RESTRICT v, f64* ORV_RESTRICT out, i64 n, i64 m) {
  // out = x_pred + K v, the products fed into an accumulator holding x_pred[i]
  orv_matvec_plus_vec(K, v, x_pred, out, n, m);
}

void kf_identity_minus(const f64* ORV_RESTRICT A, f64* ORV_RESTRICT out, i64 n) {
  identity_minus(A, out, n);
}

// The loop forms the same sums from K^T and leaves (I - K C)^T, not K C and
// I - K C, in its scratch (joseph_from_kt in kf_loop.h); the bit-exact suite
// runs the loop against a reference built from this step.
void kf_joseph_cov(const f64* ORV_RESTRICT K, const f64* ORV_RESTRICT C,
                   const f64* ORV_RESTRICT P_pred, const f64* ORV_RESTRICT R,
                   f64* ORV_RESTRICT KC, f64* ORV_RESTRICT I_minus_KC,
                   f64* ORV_RESTRICT temp_nn, f64* ORV_RESTRICT temp_nm,
                   f64* ORV_RESTRICT out, i64 n, i64 m) {
  // KC (n x n) = K (n x m) C (m x n)
  orv_matmul(K, C, KC, n, m, n);
  // I_minus_KC = I - KC
  identity_minus(KC, I_minus_KC, n);
  // temp_nn = (I - KC) P_pred
  orv_matmul(I_minus_KC, P_pred, temp_nn, n, n, n);
  // out = temp_nn (I - KC)^T
  orv_matmul_abt(temp_nn, I_minus_KC, out, n, n, n);
  // temp_nm (n x m) = K R
  orv_matmul(K, R, temp_nm, n, m, m);
  // out (n x n) += temp_nm K^T   (the K R K^T term)
  add_matmul_abt(temp_nm, K, out, n, m, n);
}

void kf_build_bqbt(const f64* ORV_RESTRICT B, const f64* ORV_RESTRICT Q,
                   f64* ORV_RESTRICT temp_nk, f64* ORV_RESTRICT out, i64 n, i64 k) {
  // temp_nk (n x k) = B Q
  orv_matmul(B, Q, temp_nk, n, k, k);
  // out (n x n) = temp_nk B^T, all zeros when k <= 0
  orv_matmul_abt(temp_nk, B, out, n, k, n);
  orv_sym_inplace(out, n);
}

void kf_build_shock_projection(const f64* ORV_RESTRICT B, const f64* ORV_RESTRICT C,
                               const f64* ORV_RESTRICT Q, f64* ORV_RESTRICT temp_km,
                               f64* ORV_RESTRICT out, i64 n, i64 k, i64 m) {
  // temp_km[i][j] = sum_l B[l][i] C[j][l]   (k x m, B^T C^T)
  for (i64 i = 0; i < k; ++i) {
    for (i64 j = 0; j < m; ++j) {
      f64 s = 0.0;
      for (i64 l = 0; l < n; ++l) s = std::fma(B[l * k + i], C[j * n + l], s);
      temp_km[i * m + j] = s;
    }
  }
  // out (k x m) = Q temp_km
  orv_matmul(Q, temp_km, out, k, k, m);
}

}  // namespace ORV_VARIANT

#endif  // ORV_KF_STEPS_H
