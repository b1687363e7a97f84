// One compiled variant of the filter loops and of the linear filter's step
// kernels. The build compiles this file once per instruction set, each time
// with the target's flags and its own ORV_VARIANT namespace; the exported
// functions dispatch to the variant the processor supports (kalman.cpp).
#include "kalman_variants.h"

#include "linear/kf_batch.h"
#include "linear/kf_grad.h"
#include "linear/kf_smoother.h"
#include "unscented/ukf_loop.h"
