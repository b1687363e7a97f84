// kf_loglik_batch through its C interface: in every compiled variant (two,
// four or eight draws to a block) and on any number of threads, each draw's
// log-likelihood and status are those of the portable kf_filter on that draw
// alone, with shared and per-draw arrays, gaps in y and failing draws, with
// and without a steady state; and the statuses that refuse a call write
// nothing.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "compiled_variants.h"
#include "test_values.h"

namespace {

constexpr f64 kSentinel = -777.25;
constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();

// N draws of an (n, m, k) model: A, R and y one per draw, the rest shared.
// Most draws miss the same entries of y; every fifth misses one more.
struct Draws {
  i64 n, m, k, T, N;
  std::vector<f64> A, B, C, d, Q, R, y, x0, P0;

  Draws(i64 n_, i64 m_, i64 k_, i64 T_, i64 N_) : n(n_), m(m_), k(k_), T(T_), N(N_) {
    Values v;
    A = v.many(N * n * n, 0.4 / static_cast<f64>(n));  // rows sum below 0.4 + 0.5
    for (i64 i = 0; i < N; ++i)
      for (i64 j = 0; j < n; ++j) A[(i * n + j) * n + j] += 0.5;
    B = v.many(n * k, 0.7);
    C = v.many(m * n, 1.0);
    d = v.many(m, 0.3);
    Q.assign(k * k, 0.0);
    for (i64 j = 0; j < k; ++j) Q[j * k + j] = 0.5;
    R.assign(N * m * m, 0.05);
    for (i64 i = 0; i < N; ++i)
      for (i64 j = 0; j < m; ++j) R[(i * m + j) * m + j] = 0.3 + 0.01 * static_cast<f64>(i);
    y = v.many(N * T * m, 2.0);
    for (i64 i = 0; i < N; ++i)
      for (i64 t = 0; t < T; ++t)
        for (i64 j = 0; j < m; ++j)
          if ((t % 7 == 3 && j == 0) || t == 11 || (i % 5 == 1 && t == i % T && j == m - 1))
            y[(i * T + t) * m + j] = kNaN;
    x0 = v.many(n, 0.5);
    P0.assign(n * n, 0.0);
    for (i64 j = 0; j < n; ++j) P0[j * n + j] = 0.4;
  }

  kf_batch_inputs inputs(int init, i64 threads, f64 steady_state_tol = 0.0) const {
    kf_batch_inputs in{};
    in.steady_state_tol = steady_state_tol;
    in.n = n, in.m = m, in.k = k, in.T = T, in.N = N;
    in.A = {A.data(), n * n};
    in.B = {B.data(), 0};
    in.C = {C.data(), 0};
    in.d = {d.data(), 0};
    in.Q = {Q.data(), 0};
    in.R = {R.data(), m * m};
    in.y = {y.data(), T * m};
    in.x0 = {x0.data(), 0};
    in.P0 = {init == KF_INIT_KNOWN ? P0.data() : nullptr, 0};
    in.symmetrize = 1;
    in.init = init;
    in.threads = threads;
    return in;
  }

  // Draw i alone through the portable kf_filter: (log-likelihood, status).
  std::pair<f64, i64> alone(i64 i, int init, f64 steady_state_tol) const {
    kf_filter_inputs fin{};
    fin.steady_state_tol = steady_state_tol;
    fin.model = {n, m, k, T, &A[i * n * n], B.data(), C.data(), d.data(), Q.data(),
                 &R[i * m * m], &y[i * T * m], x0.data(),
                 init == KF_INIT_KNOWN ? P0.data() : nullptr, 1, 0.0, 0, 0};
    fin.init = init;
    std::vector<f64> loglik_t(static_cast<size_t>(T));
    f64 loglik = 0.0;
    kf_filter_outputs fout{};
    fout.history.loglik = &loglik;
    fout.loglik_t = loglik_t.data();
    const int status = portable_variant().kalman.kf_filter(&fin, &fout);
    return {status == KF_OK ? loglik : -std::numeric_limits<f64>::infinity(), status};
  }
};

}  // namespace

TEST(KalmanLoglikBatch, EveryVariantAndThreadCountGivesEachDrawsBitsAlone) {
  // (3, 2) and (4, 3) run loops specialised for their sizes, on values
  // where the variant has the registers for them, (12, 5) the general one;
  // a steady state loose enough that the draws' lanes freeze at different
  // periods between the gaps, some blocks all of them
  const std::array<std::array<i64, 3>, 3> sizes = {{{3, 2, 2}, {4, 3, 2}, {12, 5, 3}}};
  for (const auto& size : sizes) {
    Draws draws(size[0], size[1], size[2], 24, 23);
    const i64 n = draws.n, m = draws.m;
    for (i64 j = 0; j < m; ++j) draws.R[(6 * m + j) * m + j] = -10.0;  // not positive definite
    for (i64 j = 0; j < n; ++j) draws.A[(15 * n + j) * n + j] = 1.5;  // not stable
    for (const int init : {KF_INIT_KNOWN, KF_INIT_STATIONARY}) {
      for (const f64 tol : {0.0, 1e-3}) {
        i64 frozen_draws = 0;  // draws the steady state changed
        for (i64 i = 0; i < draws.N && tol > 0.0; ++i)
          frozen_draws += draws.alone(i, init, tol) != draws.alone(i, init, 0.0) ? 1 : 0;
        EXPECT_EQ(frozen_draws > draws.N / 2, tol > 0.0) << "n = " << n;
        for (const compiled_variant& variant : variants_run_here()) {
          const char* name = variant.label;
          const auto batch = variant.kalman.kf_loglik_batch;
          for (const i64 threads : {1, 3}) {
            std::vector<f64> loglik(draws.N, kSentinel);
            std::vector<i64> status(draws.N, 99);
            kf_batch_outputs out{loglik.data(), status.data(), 0};
            const kf_batch_inputs in = draws.inputs(init, threads, tol);
            ASSERT_EQ(batch(&in, &out), KF_OK) << name;
            EXPECT_EQ(out.where, -1);
            for (i64 i = 0; i < draws.N; ++i) {
              const auto [want, want_status] = draws.alone(i, init, tol);
              EXPECT_EQ(std::bit_cast<std::uint64_t>(loglik[i]),
                        std::bit_cast<std::uint64_t>(want))
                  << name << ", n = " << n << ", init " << init << ", threads " << threads
                  << ", tol " << tol << ", draw " << i;
              EXPECT_EQ(status[i], want_status) << name << ", draw " << i;
            }
            EXPECT_EQ(status[6], KF_ERR_NOT_PD);
            EXPECT_EQ(status[15],
                      init == KF_INIT_STATIONARY ? i64{KF_ERR_NOT_STATIONARY} : i64{KF_OK});
          }
        }
      }
    }
  }
}

TEST(KalmanLoglikBatch, RefusedCallsWriteNothing) {
  Draws draws(3, 2, 2, 10, 5);
  std::vector<f64> loglik(draws.N, kSentinel);
  std::vector<i64> status(draws.N, 99);
  kf_batch_outputs out{loglik.data(), status.data(), 0};
  kf_batch_inputs in = draws.inputs(KF_INIT_KNOWN, 0);
  EXPECT_EQ(kf_loglik_batch(&in, &out), KF_ERR_INPUT);  // no thread
  in = draws.inputs(KF_INIT_DIFFUSE, 1);
  EXPECT_EQ(kf_loglik_batch(&in, &out), KF_ERR_INPUT);
  in = draws.inputs(KF_INIT_KNOWN, 1);
  in.P0.data = nullptr;
  EXPECT_EQ(kf_loglik_batch(&in, &out), KF_ERR_INPUT);
  in = draws.inputs(KF_INIT_KNOWN, 2);
  in.n = -1;
  EXPECT_EQ(kf_loglik_batch(&in, &out), KF_ERR_ALLOC);
  draws.y[(3 * draws.T + 4) * draws.m + 1] = -std::numeric_limits<f64>::infinity();
  in = draws.inputs(KF_INIT_KNOWN, 2);
  EXPECT_EQ(kf_loglik_batch(&in, &out), KF_ERR_INFINITE_OBS);
  EXPECT_EQ(out.where, (3 * draws.T + 4) * draws.m + 1);
  for (i64 i = 0; i < draws.N; ++i) {
    EXPECT_EQ(loglik[i], kSentinel);
    EXPECT_EQ(status[i], 99);
  }
}
