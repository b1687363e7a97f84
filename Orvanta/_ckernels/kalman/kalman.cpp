// The exported filter loops and step kernels: each is bound, when the shared
// object is loaded, to the variant compiled for the processor's instruction
// set. The bodies live in kalman_impl.h.
#include "kalman.h"

#include "../_common/orv_dispatch.h"

#define ORV_VARIANT_LIST "kalman_variants.h"
#include "../_common/orv_each_variant.h"

ORV_DISPATCH(kf_row_minus_vec);
ORV_DISPATCH(kf_chol_solve_row);
ORV_DISPATCH(kf_predict_cov);
ORV_DISPATCH(kf_measurement_cov);
ORV_DISPATCH(kf_pc_t);
ORV_DISPATCH(kf_gain_from_pc_t);
ORV_DISPATCH(kf_state_update);
ORV_DISPATCH(kf_identity_minus);
ORV_DISPATCH(kf_joseph_cov);
ORV_DISPATCH(kf_build_bqbt);
ORV_DISPATCH(kf_build_shock_projection);
ORV_DISPATCH(kf_hot_loop);

// The unscented filter has a second AVX-512 build for processors that run
// 512-bit operations in two halves.
ORV_DISPATCH_WITH_AVX512(ukf_hot_loop, orv_splits_512_bit_operations()
                                           ? &orv_avx512::ukf_hot_loop_split_tiles
                                           : &orv_avx512::ukf_hot_loop);
