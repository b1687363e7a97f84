// Every compiled variant of the kernels that the processor can run gives the
// portable variant's bits. The dispatcher picks one variant per processor,
// so on an AVX-512 machine the other wide variants run nowhere else.
//
// Every function of the two families' lists that takes plain arrays, sizes
// and doubles is called in each variant from the list and its parameter
// types, so a new kernel in a list is compared without a line of its own;
// the loops, which take records, have tests of their own
// (test_kf_filter.cpp, test_kf_batch.cpp, test_ukf_variants.cpp). The
// products, symmetrisation and Cholesky factorisation are also compared at
// sizes that reach every block shape of the products: full blocks, each
// narrower column block, and the row remainders of the four- and eight-row
// blocks.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
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

// ---- calls made from the lists ----------------------------------------------------

template <class P>
constexpr bool kPlainParameter = std::is_same_v<P, f64*> || std::is_same_v<P, const f64*> ||
                                 std::is_same_v<P, i64> || std::is_same_v<P, f64>;

template <class R, class... P>
constexpr bool plain(R (*)(P...)) {
  return (kPlainParameter<P> && ...);
}

// One call's arrays after it, and its result's bits.
struct Run {
  std::vector<std::vector<f64>> arrays;
  std::uint64_t result = 0;
  bool operator==(const Run&) const = default;
};

// Calls f with size s in every size argument (a row index too, whose
// matrix then has s + 1 rows), 0.5 in every double and an array of
// (s + 1)^2 + 8 values for every pointer, read or written: the same values
// in every call, with a dominant positive diagonal for s x s matrices, so
// that factorisations and solves run through.
template <class R, class... P>
Run run(R (*f)(P...), i64 s) {
  Run r;
  r.arrays.reserve(sizeof...(P));
  Values values;
  const auto argument = [&]<class T>(std::type_identity<T>) -> T {
    if constexpr (std::is_pointer_v<T>) {
      std::vector<f64>& a = r.arrays.emplace_back(values.many((s + 1) * (s + 1) + 8, 1.0));
      for (i64 i = 0; i < s; ++i) a[static_cast<size_t>(i * (s + 1))] += static_cast<f64>(s + 1);
      return a.data();
    } else if constexpr (std::is_same_v<T, i64>) {
      return s;
    } else {
      return 0.5;
    }
  };
  // braces evaluate the arguments in order
  const std::tuple<P...> args{argument(std::type_identity<P>{})...};
  if constexpr (std::is_void_v<R>) {
    std::apply(f, args);
  } else if constexpr (std::is_same_v<R, f64>) {
    r.result = std::bit_cast<std::uint64_t>(std::apply(f, args));
  } else {
    r.result = static_cast<std::uint64_t>(std::apply(f, args));
  }
  return r;
}

// `pick` gives a variant's function of one name.
template <class Pick>
void expect_every_variant_agrees(const char* name, Pick pick) {
  if constexpr (plain(decltype(pick(portable_variant())){})) {
    for (const i64 s : kSizes) {
      const Run portable = run(pick(portable_variant()), s);
      for (const compiled_variant& v : wide_variants_run_here())
        EXPECT_TRUE(run(pick(v), s) == portable) << name << " at size " << s << ", " << v.label;
    }
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

#define ORV_TEST_LINALG_FUNCTION(name) \
  expect_every_variant_agrees(#name, [](const compiled_variant& v) { return v.linalg.name; });
#define ORV_TEST_KALMAN_FUNCTION(name) \
  expect_every_variant_agrees(#name, [](const compiled_variant& v) { return v.kalman.name; });

TEST(KernelVariants, EveryKernelOfTheListsGivesThePortableBits) {
  ORV_LINALG_VARIANT_FUNCTIONS(ORV_TEST_LINALG_FUNCTION)
  ORV_KALMAN_VARIANT_FUNCTIONS(ORV_TEST_KALMAN_FUNCTION)
}
