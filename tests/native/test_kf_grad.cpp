// kf_loglik_grad through its C interface: every compiled variant gives the
// portable variant's bits, log-likelihood and gradient, under each start, on
// data with gaps, in the filter loops specialised for small models as in
// the general ones, with and without jitter.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "kalman_variants.h"
#include "test_values.h"

namespace {

using grad_fn = decltype(&::kf_loglik_grad);

struct Model {
  i64 n, m, k, T;
  std::vector<f64> A, B, C, d, Q, R, y, x0, P0, diffuse;

  Model(i64 n_, i64 m_, i64 k_, i64 T_) : n(n_), m(m_), k(k_), T(T_) {
    Values v;
    A = v.many(n * n, 0.4 / static_cast<f64>(n));
    for (i64 i = 0; i < n; ++i) A[i * n + i] += 0.5;  // every root within 0.9
    B = v.many(n * k, 0.5);
    C = v.many(m * n, 1.0);
    d = v.many(m, 0.3);
    Q.assign(k * k, 0.1);
    for (i64 i = 0; i < k; ++i) Q[i * k + i] = 0.5 + 0.1 * static_cast<f64>(i);
    R.assign(m * m, 0.05);
    for (i64 i = 0; i < m; ++i) R[i * m + i] = 0.4;
    y = v.many(T * m, 2.0);
    for (i64 t = 0; t < T; ++t)  // the first period, whole rows and single entries missing
      for (i64 j = 0; j < m; ++j)
        if (t == 0 || t % 7 == 3 || (t * 5 + j) % 11 == 0)
          y[t * m + j] = std::numeric_limits<f64>::quiet_NaN();
    x0 = v.many(n, 0.2);
    P0.assign(n * n, 0.02);
    for (i64 i = 0; i < n; ++i) P0[i * n + i] = 0.3;
    diffuse.assign(n, 0.0);
    for (i64 i = 0; i < n; i += 2) diffuse[i] = 1.0;
  }
};

// The log-likelihood and the eight gradient arrays, end to end.
std::vector<f64> run(grad_fn grad, const Model& model, int init, f64 jitter) {
  kf_filter_inputs in{};
  kf_inputs& mi = in.model;
  mi.n = model.n, mi.m = model.m, mi.k = model.k, mi.T = model.T;
  mi.A = model.A.data(), mi.B = model.B.data(), mi.C = model.C.data(), mi.d = model.d.data();
  mi.Q = model.Q.data(), mi.R = model.R.data(), mi.y = model.y.data();
  mi.x0 = model.x0.data();
  mi.P0 = init == KF_INIT_STATIONARY ? nullptr : model.P0.data();
  mi.symmetrize = 1, mi.jitter = jitter;
  in.init = init;
  in.diffuse = init == KF_INIT_DIFFUSE ? model.diffuse.data() : nullptr;
  const i64 n = model.n, m = model.m, k = model.k;
  const std::array<i64, 8> sizes = {n * n, n * k, m * n, m, k * k, m * m, n, n * n};
  std::vector<f64> all(1);
  for (const i64 s : sizes) all.resize(all.size() + static_cast<size_t>(s), -777.25);
  kf_grad_outputs out{};
  f64** fields[8] = {&out.dA, &out.dB, &out.dC, &out.dd, &out.dQ, &out.dR, &out.dx0, &out.dP0};
  f64* next = all.data() + 1;
  for (size_t f = 0; f < sizes.size(); ++f) *fields[f] = next, next += sizes[f];
  EXPECT_EQ(grad(&in, &out), KF_OK);
  all[0] = out.loglik;
  return all;
}

std::vector<std::pair<std::string, grad_fn>> wide_variants() {
  std::vector<std::pair<std::string, grad_fn>> v;
#if ORV_WIDE_VARIANTS
  __builtin_cpu_init();
  if (__builtin_cpu_supports("x86-64-v3")) v.emplace_back("AVX2", &orv_avx2::kf_loglik_grad);
  if (__builtin_cpu_supports("x86-64-v4")) {
    v.emplace_back("AVX-512", &orv_avx512::kf_loglik_grad);
    v.emplace_back("AVX-512 in halves", &orv_zen4::kf_loglik_grad);
  }
#endif
  return v;
}

}  // namespace

TEST(KalmanLoglikGradVariants, EveryStartGivesThePortableBits) {
  // (3, 2) and (4, 3) take filter loops specialised for their sizes, (10, 6)
  // and (20, 5) general or listed ones; odd sizes leave vector remainders.
  const std::array<std::array<i64, 3>, 4> sizes = {{{3, 2, 2}, {4, 3, 3}, {10, 6, 4}, {20, 5, 7}}};
  for (const auto& size : sizes) {
    const Model model(size[0], size[1], size[2], 25);
    for (const int init : {KF_INIT_KNOWN, KF_INIT_STATIONARY, KF_INIT_DIFFUSE})
      for (const f64 jitter : {0.0, 1e-3}) {
        const std::vector<f64> portable = run(&orv_generic::kf_loglik_grad, model, init, jitter);
        for (const f64 value : portable) ASSERT_TRUE(std::isfinite(value) || value == -777.25);
        for (const auto& [name, grad] : wide_variants()) {
          const std::vector<f64> wide = run(grad, model, init, jitter);
          EXPECT_EQ(std::memcmp(wide.data(), portable.data(), wide.size() * sizeof(f64)), 0)
              << name << ", n = " << size[0] << ", init " << init << ", jitter " << jitter;
        }
      }
  }
}
