// Every compiled variant of the two families of functions, as the variant
// tests run them: the table is made from the registry of variants
// (orv_cpu_variants.h) and the families' lists, so a new variant or a new
// function of a family is tested without a line here.
#ifndef ORV_TEST_COMPILED_VARIANTS_H
#define ORV_TEST_COMPILED_VARIANTS_H

#include <vector>

#include "kalman_variants.h"
#include "orv_linalg_variants.h"

// One variant's functions of a family, a member per name of its list.
#define ORV_TEST_MEMBER(name) decltype(&::name) name;
struct linalg_functions {
  ORV_LINALG_VARIANT_FUNCTIONS(ORV_TEST_MEMBER)
};
struct kalman_functions {
  ORV_KALMAN_VARIANT_FUNCTIONS(ORV_TEST_MEMBER)
};
#undef ORV_TEST_MEMBER

// Inside a variant's namespace an unqualified name finds that variant's
// function before the exported one.
#define ORV_TEST_ADDRESS(name) &name,
#define ORV_TEST_VARIANT_FUNCTIONS(unused, variant, ...)                                     \
  namespace orv_##variant {                                                                \
  inline const linalg_functions kLinalgFunctions{ORV_LINALG_VARIANT_FUNCTIONS(ORV_TEST_ADDRESS)}; \
  inline const kalman_functions kKalmanFunctions{ORV_KALMAN_VARIANT_FUNCTIONS(ORV_TEST_ADDRESS)}; \
  }
ORV_CPU_VARIANTS(ORV_TEST_VARIANT_FUNCTIONS, unused)
#undef ORV_TEST_VARIANT_FUNCTIONS
#undef ORV_TEST_ADDRESS

struct compiled_variant {
  const char* label;
  bool (*runs_here)();
  const linalg_functions& linalg;
  const kalman_functions& kalman;
};

#define ORV_TEST_VARIANT_ROW(unused, variant, label, flags, runs_here, preferred) \
  compiled_variant{label, runs_here, orv_##variant::kLinalgFunctions,            \
                   orv_##variant::kKalmanFunctions},

// The portable variant, which the others are compared with.
inline const compiled_variant& portable_variant() {
  static const compiled_variant portable[] = {ORV_PORTABLE_CPU_VARIANT(ORV_TEST_VARIANT_ROW, unused)};
  return portable[0];
}

// The other compiled variants, in the order of preference.
inline std::vector<compiled_variant> wide_variants() {
  return {ORV_WIDE_CPU_VARIANTS(ORV_TEST_VARIANT_ROW, unused)};
}

// Those of them that this processor runs.
inline std::vector<compiled_variant> wide_variants_run_here() {
  std::vector<compiled_variant> run;
  for (const compiled_variant& v : wide_variants())
    if (v.runs_here()) run.push_back(v);
  return run;
}

// Every compiled variant that this processor runs, the portable one first.
inline std::vector<compiled_variant> variants_run_here() {
  std::vector<compiled_variant> run{portable_variant()};
  for (const compiled_variant& v : wide_variants_run_here()) run.push_back(v);
  return run;
}

#undef ORV_TEST_VARIANT_ROW

#endif  // ORV_TEST_COMPILED_VARIANTS_H
