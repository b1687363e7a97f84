// One compiled variant of the kernels and filter loops. The build compiles
// this file once per instruction set, each time with its target flags and
// its own ORV_VARIANT namespace and ORV_LANES width; the exported functions
// dispatch to the variant the processor supports (dispatch.h).
#include "kalman_impl.h"
