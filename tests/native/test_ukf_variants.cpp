// The unscented filter gives the same bits in every compiled variant the
// processor can run, including the AVX-512 variant that runs tiles of sigma
// points in two halves, which the dispatcher picks on only some processors.
// A model with ten states takes the general loop, where points share the
// centre's first factors and tiles may split.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "compiled_variants.h"
#include "test_values.h"

namespace {

constexpr i64 kStates = 10, kControls = 10, kShocks = 5, kObs = 3, kPeriods = 12;
constexpr i64 kAugmented = 2 * kStates, kVars = kStates + kControls;

// obs = Z vars + q (Z vars)^2 row by row, Z and q fixed (params unused).
void meas_quadratic(const f64* vars, const f64*, f64* out) {
  for (i64 i = 0; i < kObs; ++i) {
    f64 s = 0.0;
    for (i64 j = 0; j < kVars; ++j) s += (0.1 * static_cast<f64>((i + 2 * j) % 7) - 0.3) * vars[j];
    out[i] = s + 0.05 * static_cast<f64>(i + 1) * s * s;
  }
}

struct Model {
  std::vector<f64> hx, gx, bx, hxx, gxx, hss, gss, steady, Q, R, obs, z0, P0;

  Model() {
    Values v;
    hx = v.many(kStates * kStates, 0.08);
    for (i64 i = 0; i < kStates; ++i) hx[i * kStates + i] += 0.6;
    gx = v.many(kControls * kStates, 0.2);
    bx = v.many(kStates * kShocks, 0.3);
    hxx = v.many(kStates * kStates * kStates, 0.02);
    gxx = v.many(kControls * kStates * kStates, 0.02);
    hss = v.many(kStates, 0.05);
    gss = v.many(kControls, 0.05);
    steady = v.many(kVars, 0.5);
    Q.assign(kShocks * kShocks, 0.0);
    for (i64 i = 0; i < kShocks; ++i) Q[i * kShocks + i] = 0.2;
    R.assign(kObs * kObs, 0.0);
    for (i64 i = 0; i < kObs; ++i) R[i * kObs + i] = 0.1;
    obs = v.many(kPeriods * kObs, 1.0);
    z0 = v.many(kAugmented, 0.1);
    // -0.0 in the centre: a step of +0 from it is +0, not the centre's bits
    z0[3] = -0.0;
    P0.assign(kAugmented * kAugmented, 0.0);
    for (i64 i = 0; i < kAugmented; ++i) P0[i * kAugmented + i] = i < kStates ? 0.3 : 0.01;
  }

  ukf_inputs inputs() const {
    ukf_inputs in{};
    in.meas = meas_quadratic;
    in.hx = hx.data(), in.gx = gx.data(), in.bx = bx.data();
    in.hxx = hxx.data(), in.gxx = gxx.data(), in.hss = hss.data(), in.gss = gss.data();
    in.steady_state = steady.data(), in.Q = Q.data(), in.R = R.data(), in.obs = obs.data();
    in.z0 = z0.data(), in.P0 = P0.data();
    in.T = kPeriods, in.n_state = kStates, in.n_ctrl = kControls, in.n_exog = kShocks;
    in.n_obs = kObs;
    in.alpha = 1.0, in.beta = 2.0, in.kappa = 0.0, in.jitter = 0.0;
    in.symmetrize = 1, in.store_history = 1;
    return in;
  }
};

constexpr std::array<f64* ukf_outputs::*, 14> kOutputs = {
    &ukf_outputs::x1_pred, &ukf_outputs::x2_pred, &ukf_outputs::x1_filt, &ukf_outputs::x2_filt,
    &ukf_outputs::x_pred,  &ukf_outputs::x_filt,  &ukf_outputs::P_pred,  &ukf_outputs::P_filt,
    &ukf_outputs::y_pred,  &ukf_outputs::y_filt,  &ukf_outputs::innov,   &ukf_outputs::std_innov,
    &ukf_outputs::S,       &ukf_outputs::loglik};
constexpr std::array<i64, 14> kRowWidths = {
    kStates, kStates, kStates, kStates, kVars, kVars, kAugmented * kAugmented,
    kAugmented * kAugmented, kObs, kObs, kObs, kObs, kObs * kObs, 0};

// Every output of one run, loglik last.
struct Outputs {
  std::array<std::vector<f64>, 14> arrays;
  i64 status = 0;
};

Outputs run(decltype(&::ukf_hot_loop) loop, const Model& model) {
  Outputs r;
  ukf_outputs out{};
  for (size_t f = 0; f < kOutputs.size(); ++f) {
    r.arrays[f].assign(static_cast<size_t>(kRowWidths[f] == 0 ? 1 : kPeriods * kRowWidths[f]),
                       -777.25);
    out.*kOutputs[f] = r.arrays[f].data();
  }
  const ukf_inputs in = model.inputs();
  r.status = loop(&in, &out);
  return r;
}

void expect_same_bits(const Outputs& got, const Outputs& want, const char* variant) {
  EXPECT_EQ(got.status, want.status) << variant;
  for (size_t f = 0; f < kOutputs.size(); ++f)
    EXPECT_EQ(std::memcmp(got.arrays[f].data(), want.arrays[f].data(),
                          got.arrays[f].size() * sizeof(f64)),
              0)
        << variant << ", output " << f;
}

}  // namespace

TEST(UnscentedVariants, EveryVariantGivesThePortableBits) {
  const Model model;
  const Outputs portable = run(portable_variant().kalman.ukf_hot_loop, model);
  ASSERT_EQ(portable.status, UKF_OK);
  const std::vector<compiled_variant> wide = wide_variants_run_here();
  for (const compiled_variant& v : wide)
    expect_same_bits(run(v.kalman.ukf_hot_loop, model), portable, v.label);
  if (wide.size() < wide_variants().size())
    GTEST_SKIP() << "not every compiled variant runs on this processor";
}
