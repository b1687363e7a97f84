// The history outputs of the linear filter, as kalman_hot_loop and
// kalman_filter return them: one table, in the order of their results.
#ifndef ORV_KALMAN_ENTRY_FILTER_HISTORY_H
#define ORV_KALMAN_ENTRY_FILTER_HISTORY_H

#include "entry_outputs.h"  // Python.h first, as the C API requires

#include <array>

#include "../kalman.h"

namespace orv_module {

// The extents of the linear filter's history outputs. Only eps_hat has its own history
// length: it is stored when the history is and the shocks are asked for.
namespace kf_dim {
enum extent : int { rows, shock_rows, n, m, k, count };
}

using kf_output = output_desc<kf_outputs, kf_dim::extent>;

// In the order of the result tuple.
constexpr kf_output kKfOutputs[] = {
    {"x_pred", 2, {kf_dim::rows, kf_dim::n}, &kf_outputs::x_pred},
    {"x_filt", 2, {kf_dim::rows, kf_dim::n}, &kf_outputs::x_filt},
    {"P_pred", 3, {kf_dim::rows, kf_dim::n, kf_dim::n}, &kf_outputs::P_pred},
    {"P_filt", 3, {kf_dim::rows, kf_dim::n, kf_dim::n}, &kf_outputs::P_filt},
    {"y_pred", 2, {kf_dim::rows, kf_dim::m}, &kf_outputs::y_pred},
    {"y_filt", 2, {kf_dim::rows, kf_dim::m}, &kf_outputs::y_filt},
    {"innov", 2, {kf_dim::rows, kf_dim::m}, &kf_outputs::innov},
    {"std_innov", 2, {kf_dim::rows, kf_dim::m}, &kf_outputs::std_innov},
    {"S", 3, {kf_dim::rows, kf_dim::m, kf_dim::m}, &kf_outputs::S},
    {"eps_hat", 2, {kf_dim::shock_rows, kf_dim::k}, &kf_outputs::eps_hat},
};
static_assert(is_well_formed(kKfOutputs));

// The value of each kf_dim extent for one call.
inline std::array<i64, kf_dim::count> kf_extents(const kf_inputs& in) {
  std::array<i64, kf_dim::count> e{};
  e[kf_dim::rows] = in.store_history ? in.T : 0;
  e[kf_dim::shock_rows] = in.store_history && in.return_shocks ? in.T : 0;
  e[kf_dim::n] = in.n;
  e[kf_dim::m] = in.m;
  e[kf_dim::k] = in.k;
  return e;
}

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRY_FILTER_HISTORY_H
