// The kernels that every compiled variant provides, declared in the variant's
// namespace with the exact types of the exported C functions. Included once
// per variant name (ORV_VARIANT), by the variant itself and by the dispatcher.
#include "orv_linalg.h"

namespace ORV_VARIANT {
decltype(::orv_zero_mat) orv_zero_mat;
decltype(::orv_sym_inplace) orv_sym_inplace;
decltype(::orv_matmul) orv_matmul;
decltype(::orv_matmul_atb) orv_matmul_atb;
decltype(::orv_matmul_abt) orv_matmul_abt;
decltype(::orv_matmul_abt_plus_c) orv_matmul_abt_plus_c;
decltype(::orv_matvec) orv_matvec;
decltype(::orv_matvec_plus_vec) orv_matvec_plus_vec;
decltype(::orv_vsub) orv_vsub;
decltype(::orv_dot) orv_dot;
decltype(::orv_chol) orv_chol;
decltype(::orv_logdet_from_chol) orv_logdet_from_chol;
decltype(::orv_forward_subst) orv_forward_subst;
decltype(::orv_backward_subst_chol_t) orv_backward_subst_chol_t;
}  // namespace ORV_VARIANT
