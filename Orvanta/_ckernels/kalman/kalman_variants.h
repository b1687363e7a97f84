// The filter functions that every compiled variant provides, declared in the
// variant's namespace with the exact types of the exported C functions.
// Included once per variant name (ORV_VARIANT).
#include "kalman.h"

namespace ORV_VARIANT {
decltype(::kf_row_minus_vec) kf_row_minus_vec;
decltype(::kf_chol_solve_row) kf_chol_solve_row;
decltype(::kf_predict_cov) kf_predict_cov;
decltype(::kf_measurement_cov) kf_measurement_cov;
decltype(::kf_pc_t) kf_pc_t;
decltype(::kf_gain_from_pc_t) kf_gain_from_pc_t;
decltype(::kf_state_update) kf_state_update;
decltype(::kf_identity_minus) kf_identity_minus;
decltype(::kf_joseph_cov) kf_joseph_cov;
decltype(::kf_build_bqbt) kf_build_bqbt;
decltype(::kf_build_shock_projection) kf_build_shock_projection;
decltype(::kf_hot_loop) kf_hot_loop;
decltype(::ukf_hot_loop) ukf_hot_loop;
// ukf_hot_loop for processors that execute 512-bit operations as two
// 256-bit halves (see may_split_tile); the same bits.
decltype(::ukf_hot_loop) ukf_hot_loop_split_tiles;
}  // namespace ORV_VARIANT
