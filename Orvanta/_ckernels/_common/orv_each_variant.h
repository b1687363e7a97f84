// Declares the functions listed in the header named by ORV_VARIANT_LIST in the
// namespace of every compiled variant, so that a dispatching file can name
// them all. Include once per file, after orv_dispatch.h.
#ifndef ORV_VARIANT_LIST
#error "define ORV_VARIANT_LIST (a header of variant declarations) first"
#endif

#define ORV_VARIANT orv_generic
#include ORV_VARIANT_LIST
#undef ORV_VARIANT

#if ORV_WIDE_VARIANTS
#define ORV_VARIANT orv_avx2
#include ORV_VARIANT_LIST
#undef ORV_VARIANT
#define ORV_VARIANT orv_avx512
#include ORV_VARIANT_LIST
#undef ORV_VARIANT
#else
namespace orv_avx2 = orv_generic;
namespace orv_avx512 = orv_generic;
#endif
