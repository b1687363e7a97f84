// Every compiled variant of the dense kernels that the processor can run
// gives the portable variant's bits. The dispatcher picks one variant per
// processor, so on an AVX-512 machine the other wide variants run nowhere
// else. The sizes reach every block shape of the products: full blocks, each
// narrower column block, and the row remainders of the four- and eight-row
// blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "compiled_variants.h"
#include "test_values.h"

namespace {

constexpr i64 kSizes[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 17, 20, 23};
constexpr f64 kSentinel = -777.25;

// One variant's kernels, a member per exported name, and its label.
struct Kernels : linalg_functions {
  const char* name;
};

Kernels kernels_of(const compiled_variant& v) { return {v.linalg, v.label}; }

// Operands with signed zeros among them, so that a variant which formed a
// sum differently could not hide behind equal values.
std::vector<f64> operand(Values& values, i64 len) {
  std::vector<f64> v = values.many(len, 2.0);
  for (i64 i = 0; i < len; i += 7) v[static_cast<size_t>(i)] = i % 2 == 0 ? 0.0 : -0.0;
  return v;
}

// Runs `call` (which writes into the buffer it is given, pre-filled with a
// sentinel beyond any output) with the portable kernels and with each wide
// variant, and expects the same bits everywhere.
template <class Call>
void expect_variants_agree(const std::string& what, size_t len, Call call) {
  std::vector<f64> want(len + 8, kSentinel);
  call(kernels_of(portable_variant()), want.data());
  for (const compiled_variant& v : wide_variants_run_here()) {
    const Kernels k = kernels_of(v);
    std::vector<f64> got(len + 8, kSentinel);
    call(k, got.data());
    EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(f64)), 0)
        << what << ", " << k.name;
  }
}

std::string shape(const char* kernel, i64 n, i64 p, i64 m) {
  return std::string(kernel) + " " + std::to_string(n) + "x" + std::to_string(p) + "x" +
         std::to_string(m);
}

}  // namespace

TEST(KernelVariants, ProductsGiveThePortableBits) {
  Values values;
  for (i64 n : kSizes)
    for (i64 p : kSizes)
      for (i64 m : kSizes) {
        const std::vector<f64> A = operand(values, n * p), B = operand(values, p * m);
        const std::vector<f64> Bt = operand(values, m * p), C = operand(values, n * m);
        const std::vector<f64> At = operand(values, p * n);
        const size_t out = static_cast<size_t>(n * m);
        expect_variants_agree(shape("matmul", n, p, m), out, [&](const Kernels& k, f64* o) {
          k.orv_matmul(A.data(), B.data(), o, n, p, m);
        });
        // A^T B with A p x n and B p x m: the sum runs over the p rows
        expect_variants_agree(shape("matmul_atb", p, n, m), out, [&](const Kernels& k, f64* o) {
          k.orv_matmul_atb(At.data(), B.data(), o, p, n, m);
        });
        expect_variants_agree(shape("matmul_abt", n, p, m), out, [&](const Kernels& k, f64* o) {
          k.orv_matmul_abt(A.data(), Bt.data(), o, n, p, m);
        });
        expect_variants_agree(shape("matmul_abt_plus_c", n, p, m), out,
                              [&](const Kernels& k, f64* o) {
                                k.orv_matmul_abt_plus_c(A.data(), Bt.data(), C.data(), o, n, p, m);
                              });
      }
}

TEST(KernelVariants, MatrixVectorProductsGiveThePortableBits) {
  Values values;
  for (i64 n : kSizes)
    for (i64 m : kSizes) {
      const std::vector<f64> A = operand(values, n * m), x = operand(values, m),
                             b = operand(values, n);
      expect_variants_agree(shape("matvec", n, m, 1), static_cast<size_t>(n),
                            [&](const Kernels& k, f64* o) { k.orv_matvec(A.data(), x.data(), o, n, m); });
      expect_variants_agree(shape("matvec_plus_vec", n, m, 1), static_cast<size_t>(n),
                            [&](const Kernels& k, f64* o) {
                              k.orv_matvec_plus_vec(A.data(), x.data(), b.data(), o, n, m);
                            });
    }
}

TEST(KernelVariants, SymmetrisationAndCholeskyGiveThePortableBits) {
  Values values;
  for (i64 n : kSizes) {
    const size_t len = static_cast<size_t>(n * n);
    const std::vector<f64> P = operand(values, n * n);
    expect_variants_agree(shape("sym_inplace", n, n, 1), len, [&](const Kernels& k, f64* o) {
      std::memcpy(o, P.data(), len * sizeof(f64));
      k.orv_sym_inplace(o, n);
    });
    // S = G G^T + n I is positive definite: every column takes its full sum
    const std::vector<f64> G = operand(values, n * n);
    std::vector<f64> S(len);
    for (i64 i = 0; i < n; ++i)
      for (i64 j = 0; j < n; ++j) {
        f64 s = i == j ? static_cast<f64>(n) : 0.0;
        for (i64 q = 0; q < n; ++q) s += G[static_cast<size_t>(i * n + q)] * G[static_cast<size_t>(j * n + q)];
        S[static_cast<size_t>(i * n + j)] = s;
      }
    expect_variants_agree(shape("chol", n, n, 1), len, [&](const Kernels& k, f64* o) {
      EXPECT_EQ(k.orv_chol(S.data(), 0.0, o, n), 0) << k.name;
    });
  }
}
