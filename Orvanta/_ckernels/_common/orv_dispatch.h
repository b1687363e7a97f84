// Chooses, once, when the shared object is loaded, which compiled variant of
// the kernels an exported function runs: the widest instruction set that the
// processor (and operating system) supports. Every variant gives the same
// bits; only the speed differs.
//
// Each exported function is a GNU indirect function whose resolver returns
// the chosen variant's address, so a call costs no more than any call into a
// shared object and no variable is read or written at run time. Building with
// ORV_GENERIC_ONLY keeps the portable variant alone (what a processor without
// FMA runs), for testing that path on any machine.
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

template <class F>
ORV_RESOLVER_ATTRIBUTES F orv_pick_variant([[maybe_unused]] F avx512, [[maybe_unused]] F avx2,
                                           F generic) noexcept {
#if ORV_WIDE_VARIANTS
  __builtin_cpu_init();  // resolvers run before constructors
  if (__builtin_cpu_supports("x86-64-v4")) return avx512;
  if (__builtin_cpu_supports("x86-64-v3")) return avx2;
#endif
  return generic;
}

// Whether the processor executes each 512-bit operation as two 256-bit
// halves (AMD Zen 4), so that a half-width operation costs half as much.
ORV_RESOLVER_ATTRIBUTES inline bool orv_splits_512_bit_operations() noexcept {
#if ORV_WIDE_VARIANTS
  __builtin_cpu_init();
  return __builtin_cpu_is("znver4");
#else
  return false;
#endif
}

// Declares the resolver of `name` and makes the exported `name` an indirect
// function bound to it; on AVX-512 processors it runs `avx512`, an
// expression that may pick among several AVX-512 builds of `name`.
#define ORV_DISPATCH_WITH_AVX512(name, avx512)                                   \
  extern "C" {                                                                   \
  ORV_RESOLVER_ATTRIBUTES static decltype(&::name) resolve_##name() noexcept {   \
    return orv_pick_variant<decltype(&::name)>((avx512), &orv_avx2::name,        \
                                               &orv_generic::name);              \
  }                                                                              \
  }                                                                              \
  decltype(::name) name __attribute__((ifunc("resolve_" #name)))

// The same with the one AVX-512 build of `name`.
#define ORV_DISPATCH(name) ORV_DISPATCH_WITH_AVX512(name, &orv_avx512::name)

#endif  // ORV_DISPATCH_H
