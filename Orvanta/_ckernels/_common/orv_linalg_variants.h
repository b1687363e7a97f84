// The dense kernels compiled once per CPU variant (orv_linalg_impl.h; the
// variants are listed in orv_cpu_variants.h), as one list:
// ORV_LINALG_VARIANT_FUNCTIONS(X) applies X to each name. The variants'
// declarations, the dispatch lines (orv_linalg.cpp), the native tests that
// compare every variant with the portable one and the Python tests' list of
// kernels to check against their oracle are made from it, so a new kernel
// of this kind is one line here beside its declaration in orv_linalg.h and
// its body (and, for the oracle test, its argument sizes and its oracle).
#ifndef ORV_LINALG_VARIANTS_H
#define ORV_LINALG_VARIANTS_H

#include "orv_dispatch.h"
#include "orv_linalg.h"

#define ORV_LINALG_VARIANT_FUNCTIONS(X) \
  X(orv_zero_mat)                       \
  X(orv_sym_inplace)                    \
  X(orv_matmul)                         \
  X(orv_matmul_atb)                     \
  X(orv_matmul_abt)                     \
  X(orv_matmul_abt_plus_c)              \
  X(orv_matvec)                         \
  X(orv_matvec_plus_vec)                \
  X(orv_vsub)                           \
  X(orv_dot)                            \
  X(orv_chol)                           \
  X(orv_logdet_from_chol)               \
  X(orv_forward_subst)                  \
  X(orv_backward_subst_chol_t)

ORV_DECLARE_VARIANTS(ORV_LINALG_VARIANT_FUNCTIONS)

#endif  // ORV_LINALG_VARIANTS_H
