// Chooses, once, when the shared object is loaded, which compiled variant of
// the kernels and loops an exported function runs. Every variant gives the
// same bits; only the speed differs.
//
// The variants, each a namespace compiled with its own target flags:
//   orv_generic  portable x86-64 (or any processor); std::fma is the C
//                library's correctly rounded function where there is no FMA
//   orv_avx2     x86-64-v3: AVX2 and FMA
//   orv_avx512   x86-64-v4: AVX-512, for processors that execute 512-bit
//                operations at full width
//   orv_zen4     x86-64-v4 for processors that execute each 512-bit
//                operation as two 256-bit halves (AMD Zen 4), where a
//                half-width operation costs half as much
// Building with ORV_GENERIC_ONLY keeps the portable variant alone (what a
// processor without FMA runs), for testing that path on any machine; the
// other names then stand for it.
//
// Each exported function is a GNU indirect function whose resolver returns
// the chosen variant's address, so a call costs no more than any call into a
// shared object and no variable is read or written at run time.
//
// A family of functions compiled per variant is one list, a macro LIST(X)
// that applies X to each name (see orv_linalg_variants.h): the variants'
// declarations, the dispatch lines and the tests' tables are made from it.
#ifndef ORV_DISPATCH_H
#define ORV_DISPATCH_H

#include "orv_common.h"

#if defined(ORV_GENERIC_ONLY) || !defined(__x86_64__)
#define ORV_WIDE_VARIANTS 0
#else
#define ORV_WIDE_VARIANTS 1
#endif

// Resolvers run while the dynamic linker is still relocating the library,
// before any sanitizer runtime could vouch for their memory accesses.
#define ORV_RESOLVER_ATTRIBUTES __attribute__((no_sanitize("address", "undefined")))

// Whether the processor executes each 512-bit operation as two 256-bit
// halves.
ORV_RESOLVER_ATTRIBUTES inline bool orv_halves_512_bit_operations() noexcept {
#if ORV_WIDE_VARIANTS
  __builtin_cpu_init();
  return __builtin_cpu_is("znver4");
#else
  return false;
#endif
}

// The variant for this processor, among one function's variants.
template <class F>
ORV_RESOLVER_ATTRIBUTES F orv_pick_variant([[maybe_unused]] F zen4, [[maybe_unused]] F avx512,
                                           [[maybe_unused]] F avx2, F generic) noexcept {
#if ORV_WIDE_VARIANTS
  __builtin_cpu_init();  // resolvers run before constructors
  if (__builtin_cpu_supports("x86-64-v4"))
    return orv_halves_512_bit_operations() ? zen4 : avx512;
  if (__builtin_cpu_supports("x86-64-v3")) return avx2;
#endif
  return generic;
}

// `name` in the current namespace, with the exact type of the exported C
// function of that name.
#define ORV_DECLARE(name) decltype(::name) name;

// Declares the functions of LIST in the namespace of every variant.
#if ORV_WIDE_VARIANTS
#define ORV_DECLARE_VARIANTS(LIST)           \
  namespace orv_generic { LIST(ORV_DECLARE) } \
  namespace orv_avx2 { LIST(ORV_DECLARE) }    \
  namespace orv_avx512 { LIST(ORV_DECLARE) }  \
  namespace orv_zen4 { LIST(ORV_DECLARE) }
#else
#define ORV_DECLARE_VARIANTS(LIST)           \
  namespace orv_generic { LIST(ORV_DECLARE) } \
  namespace orv_avx2 = orv_generic;          \
  namespace orv_avx512 = orv_generic;        \
  namespace orv_zen4 = orv_generic;
#endif

// Makes the exported `name` an indirect function whose resolver picks among
// the variants of `name`.
#define ORV_DISPATCH(name)                                                       \
  extern "C" {                                                                   \
  ORV_RESOLVER_ATTRIBUTES static decltype(&::name) resolve_##name() noexcept {   \
    return orv_pick_variant<decltype(&::name)>(&orv_zen4::name, &orv_avx512::name, \
                                               &orv_avx2::name, &orv_generic::name); \
  }                                                                              \
  }                                                                              \
  decltype(::name) name __attribute__((ifunc("resolve_" #name)));

#endif  // ORV_DISPATCH_H
