/* The public headers must compile as C: this file fails the build otherwise. */
#include "kalman.h"
#include "orv_complex.h"
#include "orv_linalg.h"

int orv_headers_compile_as_c(void) { return KF_OK + (int)sizeof(kf_inputs) * 0 + (int)sizeof(c128_lu) * 0; }
