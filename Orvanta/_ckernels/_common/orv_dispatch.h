// Chooses, once, when the shared object is loaded, which compiled variant of
// the kernels and loops an exported function runs (the variants and the
// choice among them are listed in orv_cpu_variants.h). Every variant gives
// the same bits; only the speed differs.
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
#include "orv_cpu_variants.h"

// `name` in the current namespace, with the exact type of the exported C
// function of that name.
#define ORV_DECLARE(name) decltype(::name) name;

// Declares the functions of LIST in the namespace of every variant.
#define ORV_DECLARE_IN_VARIANT(LIST, variant, ...) \
  namespace orv_##variant {                        \
  LIST(ORV_DECLARE)                                \
  }
#define ORV_DECLARE_VARIANTS(LIST) ORV_CPU_VARIANTS(ORV_DECLARE_IN_VARIANT, LIST)

// One step of a resolver: the variant's `name` if the processor runs and
// prefers it.
#define ORV_TAKE_IF_PREFERRED(name, variant, label, flags, runs_here, preferred) \
  if (runs_here() && preferred()) return &orv_##variant::name;

#ifdef ORV_ONLY_VARIANT
// A build for one processor compiles only the variant that processor takes
// (ORV_ONLY_VARIANT, its namespace), and every resolver returns it.
#define ORV_RESOLVE(name) return &ORV_ONLY_VARIANT::name;
#else
// The variants of `name`, in the order of the list; the last, portable one
// runs anywhere.
#define ORV_RESOLVE(name)                       \
  ORV_CPU_VARIANTS(ORV_TAKE_IF_PREFERRED, name) \
  __builtin_unreachable();
#endif

// Makes the exported `name` an indirect function whose resolver picks among
// the compiled variants of `name`.
#define ORV_DISPATCH(name)                                                     \
  extern "C" {                                                                 \
  ORV_RESOLVER_ATTRIBUTES static decltype(&::name) resolve_##name() noexcept { \
    ORV_RESOLVE(name)                                                          \
  }                                                                            \
  }                                                                            \
  decltype(::name) name __attribute__((ifunc("resolve_" #name)));

#endif  // ORV_DISPATCH_H
