// kf_filter through its C interface: every compiled variant gives the
// portable variant's bits on data with gaps, under each start and in the
// loops specialised for small models as in the general one; and the
// statuses that refuse a call leave the outputs alone. kf_smoother likewise
// under each start.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "compiled_variants.h"
#include "test_values.h"

namespace {

constexpr f64 kSentinel = -777.25;
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

struct Model {
  i64 n, m, k, T;
  std::vector<f64> A, B, C, d, Q, R, y, x0, P0, diffuse;

  Model(i64 n_, i64 m_, i64 k_, i64 T_) : n(n_), m(m_), k(k_), T(T_) {
    Values v;
    A = v.many(n * n, 0.1);
    for (i64 i = 0; i < n; ++i) A[i * n + i] += i % 2 == 0 ? 1.0 : 0.6;  // unit roots too
    B = v.many(n * k, 0.5);
    C = v.many(m * n, 1.0);
    d = v.many(m, 0.3);
    Q.assign(k * k, 0.0);
    for (i64 i = 0; i < k; ++i) Q[i * k + i] = 0.5 + 0.1 * static_cast<f64>(i);
    // R with off-diagonal entries, so that diffuse periods transform
    R.assign(m * m, 0.05);
    for (i64 i = 0; i < m; ++i) R[i * m + i] = 0.4;
    y = v.many(T * m, 2.0);
    // whole rows, single entries and a long stretch of one series missing
    for (i64 t = 0; t < T; ++t)
      for (i64 j = 0; j < m; ++j)
        if (t == 0 ? j == 0 : (t % 5 == 2) || (t * 7 + j) % 11 == 0 || (j == m - 1 && t > T - 6))
          y[t * m + j] = kNaN;
    x0 = v.many(n, 0.2);
    P0.assign(n * n, 0.0);
    for (i64 i = 0; i < n; ++i) P0[i * n + i] = 0.3;
    diffuse.assign(n, 0.0);
    for (i64 i = 0; i < n; i += 2) diffuse[i] = 1.0;
  }
};

// Every output of one run, sentinel-filled beyond what is written.
struct Outputs {
  std::vector<f64> history[10];
  std::vector<f64> loglik_t;
  f64 loglik = kSentinel;
  kf_filter_outputs out{};
  int status = 0;

  bool same_bits(const Outputs& o) const {
    auto equal = [](const std::vector<f64>& a, const std::vector<f64>& b) {
      return a.size() == b.size() &&
             std::memcmp(a.data(), b.data(), a.size() * sizeof(f64)) == 0;
    };
    for (int f = 0; f < 10; ++f)
      if (!equal(history[f], o.history[f])) return false;
    return equal(loglik_t, o.loglik_t) && std::bit_cast<std::uint64_t>(loglik) ==
               std::bit_cast<std::uint64_t>(o.loglik) && status == o.status &&
           out.nobs == o.out.nobs && out.diffuse_periods == o.out.diffuse_periods;
  }
};

// The model with every history output requested; P0 is left out of a
// stationary start and the diffuse diagonal out of all but a diffuse one.
kf_filter_inputs filter_inputs(const Model& model, int init) {
  kf_filter_inputs in{};
  kf_inputs& mi = in.model;
  mi.n = model.n, mi.m = model.m, mi.k = model.k, mi.T = model.T;
  mi.A = model.A.data(), mi.B = model.B.data(), mi.C = model.C.data(), mi.d = model.d.data();
  mi.Q = model.Q.data(), mi.R = model.R.data(), mi.y = model.y.data();
  mi.x0 = model.x0.data();
  mi.P0 = init == KF_INIT_STATIONARY ? nullptr : model.P0.data();
  mi.symmetrize = 1, mi.return_shocks = 1, mi.store_history = 1;
  in.init = init;
  in.diffuse = init == KF_INIT_DIFFUSE ? model.diffuse.data() : nullptr;
  return in;
}

Outputs run(decltype(&::kf_filter) filter, const Model& model, int init) {
  const kf_filter_inputs in = filter_inputs(model, init);
  const i64 n = model.n, m = model.m, k = model.k, T = model.T;
  const i64 width[10] = {n, n, n * n, n * n, m, m, m, m, m * m, k};
  Outputs o;
  f64** fields[10] = {&o.out.history.x_pred, &o.out.history.x_filt, &o.out.history.P_pred,
                      &o.out.history.P_filt, &o.out.history.y_pred, &o.out.history.y_filt,
                      &o.out.history.innov,  &o.out.history.std_innov, &o.out.history.S,
                      &o.out.history.eps_hat};
  for (int f = 0; f < 10; ++f) {
    o.history[f].assign(static_cast<size_t>(T * width[f]), kSentinel);
    *fields[f] = o.history[f].data();
  }
  o.loglik_t.assign(static_cast<size_t>(T), kSentinel);
  o.out.loglik_t = o.loglik_t.data();
  o.out.history.loglik = &o.loglik;
  o.status = filter(&in, &o.out);
  return o;
}

}  // namespace

TEST(KalmanFilterVariants, EveryStartGivesThePortableBits) {
  // (3, 2) and (4, 3) take loops specialised for their sizes, (10, 6) the
  // general one.
  const std::array<std::array<i64, 3>, 3> sizes = {{{3, 2, 2}, {4, 3, 3}, {10, 6, 4}}};
  for (const auto& size : sizes) {
    Model model(size[0], size[1], size[2], 30);
    // the stationary start needs a stable A
    Model stable = model;
    for (f64& a : stable.A) a *= 0.5;  // Gershgorin: every root within 0.95
    for (const int init : {KF_INIT_KNOWN, KF_INIT_STATIONARY, KF_INIT_DIFFUSE}) {
      const Model& used = init == KF_INIT_STATIONARY ? stable : model;
      const Outputs portable = run(portable_variant().kalman.kf_filter, used, init);
      ASSERT_EQ(portable.status, KF_OK) << size[0] << " init " << init;
      EXPECT_TRUE(std::isfinite(portable.loglik));
      if (init == KF_INIT_DIFFUSE) EXPECT_GT(portable.out.diffuse_periods, 0);
      for (const compiled_variant& v : wide_variants_run_here())
        EXPECT_TRUE(run(v.kalman.kf_filter, used, init).same_bits(portable))
            << v.label << ", n = " << size[0] << ", init " << init;
    }
  }
}

TEST(KalmanFilter, RefusedCallsWriteOnlyTheCounts) {
  Model model(3, 2, 2, 6);
  auto expect_untouched = [](const Outputs& o) {
    EXPECT_EQ(o.loglik, kSentinel);
    for (const f64 v : o.loglik_t) EXPECT_EQ(v, kSentinel);
    for (const auto& h : o.history)
      for (const f64 v : h) EXPECT_EQ(v, kSentinel);
  };

  Outputs bad_init = run(&kf_filter, model, 7);
  EXPECT_EQ(bad_init.status, KF_ERR_INPUT);
  expect_untouched(bad_init);

  Model infinite = model;
  infinite.y[3 * 2 + 1] = -std::numeric_limits<f64>::infinity();
  Outputs inf = run(&kf_filter, infinite, KF_INIT_KNOWN);
  EXPECT_EQ(inf.status, KF_ERR_INFINITE_OBS);
  EXPECT_EQ(inf.out.where, 3 * 2 + 1);
  expect_untouched(inf);

  // A has unit roots on its diagonal (Model's A)
  Outputs unit_root = run(&kf_filter, model, KF_INIT_STATIONARY);
  EXPECT_EQ(unit_root.status, KF_ERR_NOT_STATIONARY);
  expect_untouched(unit_root);
}

TEST(KalmanFilter, KnownStartNeedsItsMoments) {
  Model model(2, 1, 1, 3);
  kf_filter_inputs in{};
  in.model.n = 2, in.model.m = 1, in.model.k = 1, in.model.T = 3;
  in.model.y = model.y.data();
  in.init = KF_INIT_KNOWN;
  f64 loglik = kSentinel, terms[3] = {kSentinel, kSentinel, kSentinel};
  kf_filter_outputs out{};
  out.history.loglik = &loglik;
  out.loglik_t = terms;
  EXPECT_EQ(kf_filter(&in, &out), KF_ERR_INPUT);  // null x0 and P0
  EXPECT_EQ(loglik, kSentinel);
  // negative or overflowing sizes fail before anything is read
  in.model.n = -1;
  EXPECT_EQ(kf_filter(&in, &out), KF_ERR_ALLOC);
  in.model.n = i64{1} << 31;
  EXPECT_EQ(kf_filter(&in, &out), KF_ERR_ALLOC);
  EXPECT_EQ(loglik, kSentinel);
}

namespace {

// kf_smoother's own outputs of one run, sentinel-filled, with its status.
struct Smoothed {
  std::vector<f64> fields[7];
  int status = 0;
};

Smoothed smooth(decltype(&::kf_smoother) smoother, const Model& model, int init) {
  Outputs filtered = run(portable_variant().kalman.kf_filter, model, init);  // for the buffers only
  const kf_filter_inputs in = filter_inputs(model, init);
  const i64 n = model.n, m = model.m, k = model.k, T = model.T;
  const i64 sizes[7] = {T * n, T * n * n, T * k, T * k * k, T * m, n, n * n};
  Smoothed s;
  for (int f = 0; f < 7; ++f) s.fields[f].assign(static_cast<size_t>(sizes[f]), kSentinel);
  kf_smoother_outputs out{};
  out.filter = filtered.out;
  out.filter.history.loglik = &filtered.loglik;
  out.filter.loglik_t = filtered.loglik_t.data();
  out.x_smooth = s.fields[0].data(), out.P_smooth = s.fields[1].data();
  out.eps_smooth = s.fields[2].data(), out.eps_smooth_cov = s.fields[3].data();
  out.e_smooth = s.fields[4].data(), out.x0_smooth = s.fields[5].data();
  out.P0_smooth = s.fields[6].data();
  s.status = smoother(&in, &out);
  return s;
}

}  // namespace

TEST(KalmanSmootherVariants, EveryStartGivesThePortableBits) {
  const std::array<std::array<i64, 3>, 2> sizes = {{{3, 2, 2}, {10, 6, 4}}};
  for (const auto& size : sizes) {
    Model model(size[0], size[1], size[2], 30);
    for (f64& a : model.A) a *= 0.5;
    for (const int init : {KF_INIT_KNOWN, KF_INIT_STATIONARY, KF_INIT_DIFFUSE}) {
      const Smoothed portable = smooth(portable_variant().kalman.kf_smoother, model, init);
      ASSERT_EQ(portable.status, KF_OK) << size[0] << " init " << init;
      for (const f64 value : portable.fields[0]) EXPECT_TRUE(std::isfinite(value));
      for (const compiled_variant& v : wide_variants_run_here()) {
        const char* name = v.label;
        const Smoothed other = smooth(v.kalman.kf_smoother, model, init);
        EXPECT_EQ(other.status, KF_OK);
        for (int f = 0; f < 7; ++f)
          EXPECT_EQ(0, std::memcmp(other.fields[f].data(), portable.fields[f].data(),
                                   other.fields[f].size() * sizeof(f64)))
              << name << ", field " << f << ", n = " << size[0] << ", init " << init;
      }
    }
  }
}

TEST(KalmanSmootherVariants, DiffuseStartLeavesTheStartAloneAndMarksTheFirstShock) {
  Model model(3, 2, 2, 10);
  const Smoothed s = smooth(portable_variant().kalman.kf_smoother, model, KF_INIT_DIFFUSE);
  ASSERT_EQ(s.status, KF_OK);
  for (const f64 value : s.fields[5]) EXPECT_EQ(value, kSentinel);  // x0_smooth
  for (const f64 value : s.fields[6]) EXPECT_EQ(value, kSentinel);  // P0_smooth
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(std::isnan(s.fields[2][i]));      // eps_smooth[0]
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(std::isnan(s.fields[3][i]));      // its covariance
  for (size_t i = 2; i < s.fields[2].size(); ++i) EXPECT_TRUE(std::isfinite(s.fields[2][i]));
}
