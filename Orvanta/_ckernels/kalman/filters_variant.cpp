// One compiled variant of the filter loops and of the linear filter's step
// kernels. The build compiles this file once per instruction set, each time
// with the target's flags and its own ORV_VARIANT namespace; the exported
// functions dispatch to the variant the processor supports (kalman.cpp).
#include "kalman_variants.h"

#include "kf_batch.h"
#include "kf_grad.h"
#include "kf_smoother.h"
#include "ukf_loop.h"
