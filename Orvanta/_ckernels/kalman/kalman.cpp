// The exported filter loops and step kernels: each is bound, when the shared
// object is loaded, to the variant compiled for the processor
// (filters_variant_*.cpp).
#include "kalman_variants.h"

ORV_KALMAN_VARIANT_FUNCTIONS(ORV_DISPATCH)
