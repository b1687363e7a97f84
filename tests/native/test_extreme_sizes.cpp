// Every exported kernel and step, called with valid buffers and sizes at the
// extremes of i64 (the most negative values, -1, 0) in every size argument:
// no crash, and nothing written outside the elements its output extents
// describe, which are none when any of them is zero or below. Sizes such as
// INT64_MIN reach the arithmetic that overflows (n - 1, n * n) before any
// element is touched. The cases are checked against the exported headers:
// every function declared there with a size argument has one.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kalman.h"
#include "orv_complex.h"
#include "orv_linalg.h"

namespace {

constexpr f64 kSentinel = -777.25;
constexpr i64 kMin = std::numeric_limits<i64>::min();
// The extremes, and 2, a small valid size for the other arguments.
constexpr i64 kSizes[] = {kMin, kMin + 1, -1, 0, 2};
// Large enough for every output at size 2 (2 x 2 x 2 at most).
constexpr size_t kLen = 64;

// Buffers of one call: f64 inputs in[0..4) and outputs out[0..5), complex
// inputs cin[0..2) and outputs cout[0..1), pivots. Inputs hold benign
// values (an identity for the square ones), outputs a sentinel.
struct Buffers {
  std::vector<f64> in[4], out[5];
  std::vector<c128> cin[2], cout[1];
  std::vector<i64> piv = std::vector<i64>(kLen, -1);
  Buffers() {
    for (auto& b : in) {
      b.assign(kLen, 0.0);
      for (size_t i = 0; i < kLen; i += 3) b[i] = 1.0;
    }
    for (auto& b : out) b.assign(kLen, kSentinel);
    for (auto& b : cin) b.assign(kLen, c128_make(1.0, 0.0));
    for (auto& b : cout) b.assign(kLen, c128_make(kSentinel, kSentinel));
  }
};

// An output: a buffer (out[index], or cout[index] when complex) whose
// extents are the call's sizes at the listed positions.
struct Output {
  int index;
  std::vector<int> extents;
  bool complex = false;
};

struct Case {
  const char* name;
  int n_sizes;
  std::function<void(const i64*, Buffers&)> call;
  std::vector<Output> outputs;
};

f64* in(Buffers& b, int i) { return b.in[i].data(); }
f64* out(Buffers& b, int i) { return b.out[i].data(); }

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      {"orv_zero_mat", 2, [](const i64* s, Buffers& b) { orv_zero_mat(out(b, 0), s[0], s[1]); },
       {{0, {0, 1}}}},
      {"orv_sym_inplace", 1, [](const i64* s, Buffers& b) { orv_sym_inplace(out(b, 0), s[0]); },
       {{0, {0, 0}}}},
      {"orv_matmul", 3,
       [](const i64* s, Buffers& b) { orv_matmul(in(b, 0), in(b, 1), out(b, 0), s[0], s[1], s[2]); },
       {{0, {0, 2}}}},
      {"orv_matmul_atb", 3,
       [](const i64* s, Buffers& b) {
         orv_matmul_atb(in(b, 0), in(b, 1), out(b, 0), s[0], s[1], s[2]);
       },
       {{0, {1, 2}}}},
      {"orv_matmul_abt", 3,
       [](const i64* s, Buffers& b) {
         orv_matmul_abt(in(b, 0), in(b, 1), out(b, 0), s[0], s[1], s[2]);
       },
       {{0, {0, 2}}}},
      {"orv_matmul_abt_plus_c", 3,
       [](const i64* s, Buffers& b) {
         orv_matmul_abt_plus_c(in(b, 0), in(b, 1), in(b, 2), out(b, 0), s[0], s[1], s[2]);
       },
       {{0, {0, 2}}}},
      {"orv_matvec", 2,
       [](const i64* s, Buffers& b) { orv_matvec(in(b, 0), in(b, 1), out(b, 0), s[0], s[1]); },
       {{0, {0}}}},
      {"orv_matvec_plus_vec", 2,
       [](const i64* s, Buffers& b) {
         orv_matvec_plus_vec(in(b, 0), in(b, 1), in(b, 2), out(b, 0), s[0], s[1]);
       },
       {{0, {0}}}},
      {"orv_vsub", 1,
       [](const i64* s, Buffers& b) { orv_vsub(in(b, 0), in(b, 1), out(b, 0), s[0]); },
       {{0, {0}}}},
      {"orv_dot", 1, [](const i64* s, Buffers& b) { (void)orv_dot(in(b, 0), in(b, 1), s[0]); },
       {}},
      {"orv_chol", 1,
       [](const i64* s, Buffers& b) { (void)orv_chol(in(b, 0), 0.5, out(b, 0), s[0]); },
       {{0, {0, 0}}}},
      {"orv_logdet_from_chol", 1,
       [](const i64* s, Buffers& b) { (void)orv_logdet_from_chol(in(b, 0), s[0]); }, {}},
      {"orv_forward_subst", 1,
       [](const i64* s, Buffers& b) { orv_forward_subst(in(b, 0), in(b, 1), out(b, 0), s[0]); },
       {{0, {0}}}},
      {"orv_backward_subst_chol_t", 1,
       [](const i64* s, Buffers& b) {
         orv_backward_subst_chol_t(in(b, 0), in(b, 1), out(b, 0), s[0]);
       },
       {{0, {0}}}},
      {"orv_lu_factor_inplace", 1,
       [](const i64* s, Buffers& b) {
         (void)orv_lu_factor_inplace(out(b, 0), b.piv.data(), s[0]);
       },
       {{0, {0, 0}}}},
      {"orv_lu_factor", 1,
       [](const i64* s, Buffers& b) {
         f64_lu f = orv_lu_factor(in(b, 0), s[0]);
         orv_lu_free(&f);
       },
       {}},
      {"orv_lu_solve", 2,
       [](const i64* s, Buffers& b) {
         for (i64 i = 0; i < 2; ++i) b.piv[static_cast<size_t>(i)] = i;
         orv_lu_solve(in(b, 0), b.piv.data(), in(b, 1), out(b, 0), s[0], s[1]);
       },
       {{0, {0, 1}}}},
      {"orv_solve", 2,
       [](const i64* s, Buffers& b) {
         (void)orv_solve(in(b, 0), in(b, 1), s[0], s[1], out(b, 0));
       },
       {{0, {0, 1}}}},
      {"orv_inv", 1, [](const i64* s, Buffers& b) { (void)orv_inv(in(b, 0), s[0], out(b, 0)); },
       {{0, {0, 0}}}},
      {"orv_gram", 2,
       [](const i64* s, Buffers& b) { orv_gram(in(b, 0), out(b, 0), s[0], s[1]); },
       {{0, {1, 1}}}},
      {"orv_gram_rhs", 2,
       [](const i64* s, Buffers& b) {
         orv_gram_rhs(in(b, 0), in(b, 1), out(b, 0), s[0], s[1]);
       },
       {{0, {1}}}},
      {"orv_chol_solve", 1,
       [](const i64* s, Buffers& b) {
         (void)orv_chol_solve(in(b, 0), in(b, 1), out(b, 0), out(b, 1), s[0]);
       },
       {{0, {0}}, {1, {0, 0}}}},
      {"orv_chol_inv", 1,
       [](const i64* s, Buffers& b) {
         (void)orv_chol_inv(in(b, 0), out(b, 0), out(b, 1), s[0]);
       },
       {{0, {0, 0}}, {1, {0, 0}}}},
      {"orv_sort_f64", 1, [](const i64* s, Buffers& b) { orv_sort_f64(out(b, 0), s[0]); },
       {{0, {0}}}},
      {"orv_median_f64", 1,
       [](const i64* s, Buffers& b) { (void)orv_median_f64(out(b, 0), s[0]); }, {{0, {0}}}},
      {"c128_matmul", 3,
       [](const i64* s, Buffers& b) {
         c128_matmul(b.cin[0].data(), b.cin[1].data(), s[0], s[1], s[2], b.cout[0].data());
       },
       {{0, {0, 2}, true}}},
      {"c128_lu_factor_inplace", 1,
       [](const i64* s, Buffers& b) {
         (void)c128_lu_factor_inplace(b.cout[0].data(), b.piv.data(), s[0]);
       },
       {{0, {0, 0}, true}}},
      {"c128_lu_factor", 1,
       [](const i64* s, Buffers& b) {
         c128_lu f = c128_lu_factor(b.cin[0].data(), s[0]);
         c128_lu_free(&f);
       },
       {}},
      {"c128_lu_solve", 2,
       [](const i64* s, Buffers& b) {
         for (i64 i = 0; i < 2; ++i) b.piv[static_cast<size_t>(i)] = i;
         c128_lu_solve(b.cin[0].data(), b.piv.data(), b.cin[1].data(), b.cout[0].data(), s[0],
                       s[1]);
       },
       {{0, {0, 1}, true}}},
      {"c128_solve", 2,
       [](const i64* s, Buffers& b) {
         (void)c128_solve(b.cin[0].data(), b.cin[1].data(), s[0], s[1], b.cout[0].data());
       },
       {{0, {0, 1}, true}}},
      {"c128_inv", 1,
       [](const i64* s, Buffers& b) {
         (void)c128_inv(b.cin[0].data(), s[0], b.cout[0].data());
       },
       {{0, {0, 0}, true}}},
      {"kf_row_minus_vec", 1,
       [](const i64* s, Buffers& b) { kf_row_minus_vec(in(b, 0), 0, in(b, 1), out(b, 0), s[0]); },
       {{0, {0}}}},
      {"kf_chol_solve_row", 1,
       [](const i64* s, Buffers& b) {
         kf_chol_solve_row(in(b, 0), in(b, 1), 0, out(b, 0), out(b, 1), out(b, 2), s[0]);
       },
       {{0, {0}}, {1, {0}}, {2, {0}}}},
      {"kf_predict_cov", 1,
       [](const i64* s, Buffers& b) {
         kf_predict_cov(in(b, 0), in(b, 1), in(b, 2), out(b, 0), out(b, 1), s[0]);
       },
       {{0, {0, 0}}, {1, {0, 0}}}},
      {"kf_measurement_cov", 2,
       [](const i64* s, Buffers& b) {
         kf_measurement_cov(in(b, 0), in(b, 1), in(b, 2), out(b, 0), out(b, 1), s[0], s[1]);
       },
       {{0, {1, 0}}, {1, {1, 1}}}},
      {"kf_pc_t", 2,
       [](const i64* s, Buffers& b) { kf_pc_t(in(b, 0), in(b, 1), out(b, 0), s[0], s[1]); },
       {{0, {0, 1}}}},
      {"kf_gain_from_pc_t", 2,
       [](const i64* s, Buffers& b) {
         kf_gain_from_pc_t(in(b, 0), in(b, 1), out(b, 0), out(b, 1), out(b, 2), s[0], s[1]);
       },
       {{0, {1}}, {1, {1}}, {2, {0, 1}}}},
      {"kf_state_update", 2,
       [](const i64* s, Buffers& b) {
         kf_state_update(in(b, 0), in(b, 1), in(b, 2), out(b, 0), s[0], s[1]);
       },
       {{0, {0}}}},
      {"kf_identity_minus", 1,
       [](const i64* s, Buffers& b) { kf_identity_minus(in(b, 0), out(b, 0), s[0]); },
       {{0, {0, 0}}}},
      {"kf_joseph_cov", 2,
       [](const i64* s, Buffers& b) {
         kf_joseph_cov(in(b, 0), in(b, 1), in(b, 2), in(b, 3), out(b, 0), out(b, 1), out(b, 2),
                       out(b, 3), out(b, 4), s[0], s[1]);
       },
       {{0, {0, 0}}, {1, {0, 0}}, {2, {0, 0}}, {3, {0, 1}}, {4, {0, 0}}}},
      {"kf_build_bqbt", 2,
       [](const i64* s, Buffers& b) {
         kf_build_bqbt(in(b, 0), in(b, 1), out(b, 0), out(b, 1), s[0], s[1]);
       },
       {{0, {0, 1}}, {1, {0, 0}}}},
      {"kf_build_shock_projection", 3,
       [](const i64* s, Buffers& b) {
         kf_build_shock_projection(in(b, 0), in(b, 1), in(b, 2), out(b, 0), out(b, 1), s[0],
                                   s[1], s[2]);
       },
       {{0, {1, 2}}, {1, {1, 2}}}},
  };
  return all;
}

// Elements the output may hold: the product of its extents, 0 when any is
// zero or below.
size_t writable(const Output& o, const i64* sizes) {
  i64 count = 1;
  for (int e : o.extents) {
    if (sizes[e] <= 0) return 0;
    count *= sizes[e];
  }
  return static_cast<size_t>(count);
}

void expect_untouched_beyond(const Buffers& b, const Output& o, size_t from,
                             const std::string& call) {
  for (size_t i = from; i < kLen; ++i) {
    const f64 v = o.complex ? b.cout[o.index][i].re : b.out[o.index][i];
    if (v != kSentinel) {
      ADD_FAILURE() << call << ": output " << o.index << " written at element " << i;
      return;
    }
  }
}

// The functions that the exported headers declare with a size argument (an
// i64 by value): each ORV_API prototype's name is the word before its "(",
// and a parameter that starts with "i64 " is a size.
std::set<std::string> declared_with_sizes() {
  std::set<std::string> names;
  for (const char* header : {"_common/orv_linalg.h", "_common/orv_complex.h", "kalman/kalman.h"}) {
    std::ifstream file(std::string(ORV_CKERNELS_DIR) + "/" + header);
    EXPECT_TRUE(file.good()) << header;
    std::stringstream read;
    read << file.rdbuf();
    const std::string text = read.str();
    for (size_t at = text.find("ORV_API "); at != std::string::npos;
         at = text.find("ORV_API ", at + 1)) {
      const size_t open = text.find('(', at), close = text.find(')', open);
      size_t name_start = open;
      while (name_start > at && (std::isalnum(static_cast<unsigned char>(text[name_start - 1])) ||
                                 text[name_start - 1] == '_'))
        --name_start;
      std::stringstream params(text.substr(open + 1, close - open - 1));
      for (std::string param; std::getline(params, param, ',');) {
        std::stringstream words(param);
        std::string first;
        words >> first;
        if (first == "i64") names.insert(text.substr(name_start, open - name_start));
      }
    }
  }
  return names;
}

}  // namespace

TEST(ExtremeSizes, EveryFunctionWithSizesHasACase) {
  std::set<std::string> cased;
  for (const Case& c : cases()) cased.insert(c.name);
  EXPECT_EQ(cased, declared_with_sizes());
}

TEST(ExtremeSizes, NothingIsWrittenOutsideTheOutputs) {
  for (const Case& c : cases()) {
    i64 sizes[3] = {0, 0, 0};
    const int combos = c.n_sizes == 1 ? 5 : c.n_sizes == 2 ? 25 : 125;
    for (int combo = 0; combo < combos; ++combo) {
      std::string call = c.name;
      for (int k = 0, rest = combo; k < c.n_sizes; ++k, rest /= 5) {
        sizes[k] = kSizes[rest % 5];
        call += " " + std::to_string(sizes[k]);
      }
      Buffers b;
      c.call(sizes, b);
      for (const Output& o : c.outputs) expect_untouched_beyond(b, o, writable(o, sizes), call);
    }
  }
}

TEST(ExtremeSizes, LoopsRefuseNegativeDimensions) {
  Buffers b;
  for (const i64 bad : {kMin, i64{-1}}) {
    kf_inputs in{};
    in.n = bad, in.m = 1, in.k = 1, in.T = 1;
    f64 loglik = kSentinel;
    kf_outputs out{};
    out.loglik = &loglik;
    EXPECT_EQ(kf_hot_loop(&in, &out), KF_ERR_ALLOC) << bad;
    EXPECT_EQ(loglik, kSentinel);
    ukf_inputs u{};
    u.meas = [](const f64*, const f64*, f64*) {};
    u.n_state = 1, u.n_obs = 1, u.n_ctrl = bad, u.T = 1;
    u.alpha = 1.0, u.beta = 2.0;
    ukf_outputs uo{};
    uo.loglik = &loglik;
    EXPECT_EQ(ukf_hot_loop(&u, &uo), UKF_ERR_INPUT) << bad;
  }
}
