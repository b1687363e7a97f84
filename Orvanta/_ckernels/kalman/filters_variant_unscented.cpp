// One compiled variant of the unscented filter's loop (see
// filters_variant_linear.cpp). It calls the linear filter's exported steps of
// the same variant.
#include "kalman_variants.h"

#include "unscented/ukf_loop.h"
