// The CPU variants: every family of kernels and loops is compiled once per
// variant, in a namespace orv_<name> with the variant's compiler flags, and
// each exported function runs the first variant, in the order below, that
// the processor runs and prefers (orv_dispatch.h). Every variant gives the
// same bits; only the speed differs.
//
// This list is the only place that names them. ORV_CPU_VARIANTS(X, arg)
// applies X to each as
//   X(arg, name, label, flags, runs_here, preferred)
// with
//   name       the namespace suffix and the CMake target suffix;
//   label      how tests and messages call it;
//   flags      its compiler flags, read by CMakeLists.txt (which expects an
//              entry's name, label and flags on the line of its X);
//   runs_here  whether this processor executes its instructions (the
//              variant tests run every variant for which it holds);
//   preferred  whether the dispatcher takes it over the variants after it
//              when it runs here.
// The portable variant has no flags and runs anywhere: std::fma is the C
// library's correctly rounded function where there is no FMA instruction.
// Building with ORV_GENERIC_ONLY (or for a processor other than x86-64)
// keeps the portable variant alone, for testing that path on any machine.
#ifndef ORV_CPU_VARIANTS_H
#define ORV_CPU_VARIANTS_H

#if defined(ORV_GENERIC_ONLY) || !defined(__x86_64__)
#define ORV_WIDE_VARIANTS 0
#else
#define ORV_WIDE_VARIANTS 1
#endif

// Resolvers run while the dynamic linker is still relocating the library,
// before any sanitizer runtime could vouch for their memory accesses; the
// predicates below run inside them.
#define ORV_RESOLVER_ATTRIBUTES __attribute__((no_sanitize("address", "undefined")))

ORV_RESOLVER_ATTRIBUTES inline bool orv_cpu_any() noexcept { return true; }

#if ORV_WIDE_VARIANTS
// __builtin_cpu_init first: resolvers run before constructors.
ORV_RESOLVER_ATTRIBUTES inline bool orv_cpu_has_x86_64_v3() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("x86-64-v3");
}

ORV_RESOLVER_ATTRIBUTES inline bool orv_cpu_has_x86_64_v4() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("x86-64-v4");
}

// Whether the processor executes each 512-bit operation as two 256-bit
// halves, where a half-width operation costs half as much.
ORV_RESOLVER_ATTRIBUTES inline bool orv_cpu_halves_512_bit_operations() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_is("znver4");
}

#define ORV_WIDE_CPU_VARIANTS(X, arg)                                                          \
  /* x86-64-v4 for processors such as AMD Zen 4 that execute 512-bit operations in halves */ \
  X(arg, zen4, "AVX-512 in halves", "-march=x86-64-v4 -mprefer-vector-width=512 -DORV_HALVED_512", \
    orv_cpu_has_x86_64_v4, orv_cpu_halves_512_bit_operations)                                 \
  /* x86-64-v4: AVX-512 at full width */                                                      \
  X(arg, avx512, "AVX-512", "-march=x86-64-v4 -mprefer-vector-width=512",                     \
    orv_cpu_has_x86_64_v4, orv_cpu_any)                                                       \
  /* x86-64-v3: AVX2 and FMA */                                                               \
  X(arg, avx2, "AVX2", "-march=x86-64-v3", orv_cpu_has_x86_64_v3, orv_cpu_any)
#else
#define ORV_WIDE_CPU_VARIANTS(X, arg)
#endif

#define ORV_PORTABLE_CPU_VARIANT(X, arg) X(arg, generic, "portable", "", orv_cpu_any, orv_cpu_any)

#define ORV_CPU_VARIANTS(X, arg) ORV_WIDE_CPU_VARIANTS(X, arg) ORV_PORTABLE_CPU_VARIANT(X, arg)

// The name of the variant the dispatcher takes on this processor, as the
// list spells it: the first that the processor runs and prefers (the rule of
// ORV_TAKE_IF_PREFERRED in orv_dispatch.h). A build for this processor alone
// asks it which variant to compile.
#define ORV_NAME_IF_PREFERRED(unused, variant, label, flags, runs_here, preferred) \
  if (runs_here() && preferred()) return #variant;
ORV_RESOLVER_ATTRIBUTES inline const char* orv_chosen_cpu_variant() noexcept {
  ORV_CPU_VARIANTS(ORV_NAME_IF_PREFERRED, unused)
  return nullptr;
}
#undef ORV_NAME_IF_PREFERRED

#endif  // ORV_CPU_VARIANTS_H
