// One compiled variant of the linear filter: its exported step kernels, its
// loop, kf_filter, the smoother and the gradient. The build compiles each
// filters_variant_*.cpp once per instruction set, with the target's flags
// and its own ORV_VARIANT namespace; the exported functions dispatch to the
// variant the processor supports (kalman.cpp). The three files share no
// definition (each header's helpers are local to the file that includes it),
// so a variant's files compile side by side.
#include "kalman_variants.h"

#include "linear/kf_filter.h"
#include "linear/kf_grad.h"
#include "linear/kf_smoother.h"
