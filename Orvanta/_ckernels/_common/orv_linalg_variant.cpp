// One compiled variant of the dense kernels. The build compiles this file
// once per instruction set, each time with the target's flags and its own
// ORV_VARIANT namespace; the exported kernels dispatch to the variant the
// processor supports (orv_dispatch.h).
#include "orv_linalg_variants.h"

#include "orv_linalg_impl.h"
