// The linear filter loop: a scalar model against its closed form, the
// history switches, failing periods, jitter, and the dimension checks that
// must reject a scratch block before anything is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <utility>
#include <vector>

#include "kalman.h"

namespace {

constexpr f64 kSentinel = -777.25;
constexpr int kFields = 10;  // history arrays of kf_outputs, loglik aside

std::uint64_t bits(f64 x) { return std::bit_cast<std::uint64_t>(x); }

// The history arrays in declaration order, and the width of one row of each.
constexpr std::array<f64* kf_outputs::*, kFields> kHistory = {
    &kf_outputs::x_pred, &kf_outputs::x_filt, &kf_outputs::P_pred,
    &kf_outputs::P_filt, &kf_outputs::y_pred, &kf_outputs::y_filt,
    &kf_outputs::innov,  &kf_outputs::std_innov, &kf_outputs::S,
    &kf_outputs::eps_hat};
enum { X_PRED, X_FILT, P_PRED, P_FILT, Y_PRED, Y_FILT, INNOV, STD_INNOV, S_, EPS };

struct ScalarModel {
  f64 A = 0.9, B = 0.5, C = 2.0, d = 0.3, Q = 0.4, R = 0.25, x0 = 0.1, P0 = 1.5;
};

// The scalar filter written out by hand; rows in the order of kHistory.
struct Reference {
  std::array<std::vector<f64>, kFields> rows;
  f64 loglik = 0.0;
};

Reference scalar_reference(const ScalarModel& s, const std::vector<f64>& y, f64 jitter) {
  Reference r;
  f64 x = s.x0, P = s.P0;
  for (const f64 yt : y) {
    const f64 x_pred = s.A * x, P_pred = s.A * s.A * P + s.B * s.B * s.Q;
    const f64 y_pred = s.C * x_pred + s.d, v = yt - y_pred;
    const f64 S = s.C * s.C * P_pred + s.R;
    const f64 Sj = S + jitter;  // what the factorisation sees
    const f64 K = P_pred * s.C / Sj;
    x = x_pred + K * v;
    P = (1 - K * s.C) * (1 - K * s.C) * P_pred + K * K * s.R;
    r.loglik += -0.5 * (std::log(Sj) + std::log(2 * std::numbers::pi) + v * v / Sj);
    const std::array<f64, kFields> row = {x_pred, x, P_pred, P, y_pred, s.C * x + s.d,
                                          v, v / std::sqrt(Sj), S, s.Q * s.B * s.C * v / Sj};
    for (int f = 0; f < kFields; ++f) r.rows[f].push_back(row[f]);
  }
  return r;
}

void expect_close(f64 got, f64 want, const char* what) {
  EXPECT_NEAR(got, want, 1e-12 * std::max(1.0, std::abs(want))) << what;
}

// Owns a model, its observations and sentinel-filled history arrays.
struct Harness {
  std::vector<f64> A, B, C, d, Q, R, y, x0, P0;
  std::array<std::vector<f64>, kFields> hist;
  kf_inputs in{};
  kf_outputs out{};
  f64 loglik = kSentinel;

  Harness(const ScalarModel& s, std::vector<f64> obs)
      : A{s.A}, B{s.B}, C{s.C}, d{s.d}, Q{s.Q}, R{s.R}, y(std::move(obs)), x0{s.x0},
        P0{s.P0} {
    in.n = in.m = in.k = 1;
    in.T = static_cast<i64>(y.size());
    in.symmetrize = 1;
    in.return_shocks = 1;
    in.store_history = 1;
    const i64 n = in.n, m = in.m;
    const std::array<i64, kFields> width = {n, n, n * n, n * n, m, m, m, m, m * m, in.k};
    for (int f = 0; f < kFields; ++f) {
      hist[f].assign(static_cast<size_t>(in.T * width[f]), kSentinel);
      out.*kHistory[f] = hist[f].data();
    }
  }

  void drop_history_pointers() {
    for (const auto field : kHistory) out.*field = nullptr;
  }

  int run() {
    in.A = A.data(), in.B = B.data(), in.C = C.data(), in.d = d.data();
    in.Q = Q.data(), in.R = R.data(), in.x0 = x0.data();
    in.y = y.empty() ? nullptr : y.data();
    in.P0 = P0.data();
    out.loglik = &loglik;
    return kf_hot_loop(&in, &out);
  }

  // Period t of every history array matches the reference, or, with
  // `written` false, still holds the sentinel.
  void expect_period(const Reference& ref, size_t t, bool written) const {
    for (int f = 0; f < kFields; ++f) {
      SCOPED_TRACE(testing::Message() << "field " << f << ", period " << t);
      if (written)
        expect_close(hist[f][t], ref.rows[f][t], "history");
      else
        EXPECT_EQ(hist[f][t], kSentinel);
    }
  }
};

const std::vector<f64> kObs = {1.0, -0.5, 0.7, 2.0};

}  // namespace

TEST(KalmanScalar, MatchesClosedForm) {
  const ScalarModel s;
  for (const int symmetrize : {0, 1}) {
    Harness h(s, kObs);
    h.in.symmetrize = symmetrize;
    ASSERT_EQ(h.run(), KF_OK);
    const Reference ref = scalar_reference(s, kObs, 0.0);
    expect_close(h.loglik, ref.loglik, "loglik");
    for (size_t t = 0; t < kObs.size(); ++t) h.expect_period(ref, t, true);
  }
}

TEST(KalmanScalar, JitterEntersFactorButNotStoredS) {
  const ScalarModel s;
  const f64 jitter = 0.5;
  Harness plain(s, kObs), jittered(s, kObs);
  jittered.in.jitter = jitter;
  ASSERT_EQ(plain.run(), KF_OK);
  ASSERT_EQ(jittered.run(), KF_OK);

  const Reference ref = scalar_reference(s, kObs, jitter);
  ASSERT_GT(std::abs(ref.loglik - scalar_reference(s, kObs, 0.0).loglik), 1e-3);
  expect_close(jittered.loglik, ref.loglik, "loglik");
  for (size_t t = 0; t < kObs.size(); ++t) jittered.expect_period(ref, t, true);
  // Period 0 predicts from the same x0, P0 either way: S to the bit.
  EXPECT_EQ(bits(jittered.hist[S_][0]), bits(plain.hist[S_][0]));
}

TEST(KalmanLoop, HistorySwitches) {
  const ScalarModel s;
  Harness full(s, kObs);
  ASSERT_EQ(full.run(), KF_OK);

  // Without history only loglik is written: null pointers are never used,
  // and valid ones are left alone, whatever return_shocks says.
  for (const int shocks : {0, 1}) {
    Harness bare(s, kObs), spied(s, kObs);
    bare.in.store_history = spied.in.store_history = 0;
    bare.in.return_shocks = spied.in.return_shocks = shocks;
    bare.drop_history_pointers();
    ASSERT_EQ(bare.run(), KF_OK);
    ASSERT_EQ(spied.run(), KF_OK);
    EXPECT_EQ(bits(bare.loglik), bits(full.loglik));
    EXPECT_EQ(bits(spied.loglik), bits(full.loglik));
    for (size_t t = 0; t < kObs.size(); ++t) spied.expect_period({}, t, false);
  }

  // History without shocks: everything but eps_hat.
  Harness no_shocks(s, kObs);
  no_shocks.in.return_shocks = 0;
  ASSERT_EQ(no_shocks.run(), KF_OK);
  for (int f = 0; f < kFields; ++f) {
    for (size_t t = 0; t < kObs.size(); ++t) {
      if (f == EPS)
        EXPECT_EQ(no_shocks.hist[f][t], kSentinel);
      else
        EXPECT_EQ(bits(no_shocks.hist[f][t]), bits(full.hist[f][t])) << "field " << f;
    }
  }
}

TEST(KalmanLoop, EmptySampleWritesOnlyZeroLoglik) {
  for (const i64 T : {i64{0}, i64{-1}, std::numeric_limits<i64>::min()}) {
    // No observations and no history arrays at all; shocks asked for.
    Harness h(ScalarModel{}, {});
    h.drop_history_pointers();
    h.in.T = T;
    EXPECT_EQ(h.run(), KF_OK) << "T " << T;
    EXPECT_EQ(bits(h.loglik), bits(0.0)) << "T " << T;
  }
}

TEST(KalmanLoop, FailingPeriodKeepsEarlierPeriods) {
  // A negative R: S_0 = 9.5 factors, P_filt_0 turns negative, S_1 does not.
  ScalarModel s;
  s.A = 1.0, s.B = 1.0, s.C = 1.0, s.d = 0.0, s.Q = 0.0, s.R = -0.5, s.P0 = 10.0;
  Harness h(s, {0.4, -0.2, 1.1});
  EXPECT_EQ(h.run(), KF_ERR_NOT_PD);
  const Reference ref = scalar_reference(s, {0.4}, 0.0);
  ASSERT_GT(ref.rows[S_][0], 0.0);
  ASSERT_LT(ref.rows[P_FILT][0], 0.0);
  expect_close(h.loglik, ref.loglik, "loglik of period 0 only");
  h.expect_period(ref, 0, true);
  h.expect_period(ref, 1, false);
  h.expect_period(ref, 2, false);

  // Failing at the very first period leaves loglik at zero and no row.
  s.P0 = 0.0;
  Harness first(s, {0.4, -0.2});
  EXPECT_EQ(first.run(), KF_ERR_NOT_PD);
  EXPECT_EQ(bits(first.loglik), bits(0.0));
  first.expect_period(ref, 0, false);
  first.expect_period(ref, 1, false);
}

TEST(KalmanLoop, UnusableDimensionsTouchNothing) {
  constexpr i64 kMin = std::numeric_limits<i64>::min();
  struct Dims { i64 n, m, k; };
  const Dims cases[] = {
      {-1, 1, 1}, {1, -1, 1}, {1, 1, -1}, {0, 0, -1}, {kMin, 0, 0},
      {i64{1} << 31, 1, 1},  // 6 n^2 overflows
      {i64{1} << 62, 0, 0},  // n^2 overflows
      {0, i64{1} << 31, 0},  // 2 m^2 overflows
      {1, 1, i64{1} << 62},  // 2 k m overflows
      {i64{1} << 30, 0, 0},  // the count fits in 64 bits, its byte size does not
      {i64{1} << 29, 0, 0},  // bytes fit in 64 bits, but not in the address space
  };
  for (const Dims& c : cases) {
    // Nothing behind the pointers: any access would fault or trip ASan.
    kf_inputs in{};
    in.n = c.n, in.m = c.m, in.k = c.k, in.T = 4;
    in.store_history = in.return_shocks = in.symmetrize = 1;
    kf_outputs out{};
    f64 loglik = kSentinel;
    out.loglik = &loglik;
    EXPECT_EQ(kf_hot_loop(&in, &out), KF_ERR_ALLOC) << c.n << " " << c.m << " " << c.k;
    EXPECT_EQ(loglik, kSentinel);
  }
}

TEST(KalmanLoop, AllDimensionsZeroIsAnEmptyModel) {
  kf_inputs in{};
  in.T = 3;
  in.store_history = in.return_shocks = in.symmetrize = 1;
  kf_outputs out{};
  f64 loglik = kSentinel;
  out.loglik = &loglik;
  EXPECT_EQ(kf_hot_loop(&in, &out), KF_OK);
  EXPECT_EQ(bits(loglik), bits(0.0));
}
