// One compiled variant of kf_loglik_batch, the linear filter over many draws
// in vector lanes (see filters_variant_linear.cpp). A draw that runs alone
// calls that variant's kf_filter.
#include "kalman_variants.h"

#include "linear/kf_batch.h"
