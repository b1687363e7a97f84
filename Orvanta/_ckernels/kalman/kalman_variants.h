// The filter functions compiled once per CPU variant (filters_variant_*.cpp;
// the variants are listed in orv_cpu_variants.h), as one list:
// ORV_KALMAN_VARIANT_FUNCTIONS(X) applies X to each name. The variants'
// declarations, the dispatch lines (kalman.cpp) and the native tests' table
// of every variant's functions (tests/native/compiled_variants.h) are made
// from it: every step kernel of it is compared with the portable variant in
// each compiled variant without a line of its own
// (tests/native/test_kernel_variants.cpp), and the Python tests take it as
// the list of kernels to check against their oracle. A loop, which takes
// records, needs a variant test that builds them. So a new exported step is
// one line here beside its declaration in kalman.h and its body (and, for
// the oracle test, its argument sizes and its oracle).
#ifndef ORV_KALMAN_VARIANTS_H
#define ORV_KALMAN_VARIANTS_H

#include "../_common/orv_dispatch.h"
#include "kalman.h"

#define ORV_KALMAN_VARIANT_FUNCTIONS(X) \
  X(kf_row_minus_vec)                   \
  X(kf_chol_solve_row)                  \
  X(kf_predict_cov)                     \
  X(kf_measurement_cov)                 \
  X(kf_pc_t)                            \
  X(kf_gain_from_pc_t)                  \
  X(kf_state_update)                    \
  X(kf_identity_minus)                  \
  X(kf_joseph_cov)                      \
  X(kf_build_bqbt)                      \
  X(kf_build_shock_projection)          \
  X(kf_hot_loop)                        \
  X(kf_filter)                          \
  X(kf_smoother)                        \
  X(kf_loglik_grad)                     \
  X(kf_loglik_batch)                    \
  X(ukf_hot_loop)

ORV_DECLARE_VARIANTS(ORV_KALMAN_VARIANT_FUNCTIONS)

#endif  // ORV_KALMAN_VARIANTS_H
