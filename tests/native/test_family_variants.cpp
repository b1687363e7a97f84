// Every function of the two families' lists that takes plain arrays, sizes
// and doubles gives the portable variant's bits in every compiled variant
// the processor runs. The calls are made from the lists and the functions'
// parameter types: a new kernel in a list is compared here without a line of
// its own. The loops, which take records, have tests of their own
// (test_kf_filter.cpp, test_kf_batch.cpp, test_ukf_variants.cpp).
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "compiled_variants.h"
#include "test_values.h"

namespace {

// Every size argument takes the same value; the sizes reach the vector
// blocks and their ragged edges.
constexpr i64 kSizes[] = {1, 2, 3, 4, 5, 7, 8, 9, 13, 17, 23};

template <class P>
constexpr bool kPlainParameter = std::is_same_v<P, f64*> || std::is_same_v<P, const f64*> ||
                                 std::is_same_v<P, i64> || std::is_same_v<P, f64>;

template <class R, class... P>
constexpr bool plain(R (*)(P...)) {
  return (kPlainParameter<P> && ...);
}

// One call's arrays after it, and its result's bits.
struct Run {
  std::vector<std::vector<f64>> arrays;
  std::uint64_t result = 0;
  bool operator==(const Run&) const = default;
};

// Calls f with size s in every size argument (a row index too, whose
// matrix then has s + 1 rows), 0.5 in every double and an array of
// (s + 1)^2 + 8 values for every pointer, read or written: the same values
// in every call, with a dominant positive diagonal for s x s matrices, so
// that factorisations and solves run through.
template <class R, class... P>
Run run(R (*f)(P...), i64 s) {
  Run r;
  r.arrays.reserve(sizeof...(P));
  Values values;
  const auto argument = [&]<class T>(std::type_identity<T>) -> T {
    if constexpr (std::is_pointer_v<T>) {
      std::vector<f64>& a = r.arrays.emplace_back(values.many((s + 1) * (s + 1) + 8, 1.0));
      for (i64 i = 0; i < s; ++i) a[static_cast<size_t>(i * (s + 1))] += static_cast<f64>(s + 1);
      return a.data();
    } else if constexpr (std::is_same_v<T, i64>) {
      return s;
    } else {
      return 0.5;
    }
  };
  // braces evaluate the arguments in order
  const std::tuple<P...> args{argument(std::type_identity<P>{})...};
  if constexpr (std::is_void_v<R>) {
    std::apply(f, args);
  } else if constexpr (std::is_same_v<R, f64>) {
    r.result = std::bit_cast<std::uint64_t>(std::apply(f, args));
  } else {
    r.result = static_cast<std::uint64_t>(std::apply(f, args));
  }
  return r;
}

// `pick` gives a variant's function of one name.
template <class Pick>
void expect_every_variant_agrees(const char* name, Pick pick) {
  if constexpr (plain(decltype(pick(portable_variant())){})) {
    for (const i64 s : kSizes) {
      const Run portable = run(pick(portable_variant()), s);
      for (const compiled_variant& v : wide_variants_run_here())
        EXPECT_TRUE(run(pick(v), s) == portable) << name << " at size " << s << ", " << v.label;
    }
  }
}

}  // namespace

#define ORV_TEST_LINALG_FUNCTION(name) \
  expect_every_variant_agrees(#name, [](const compiled_variant& v) { return v.linalg.name; });
#define ORV_TEST_KALMAN_FUNCTION(name) \
  expect_every_variant_agrees(#name, [](const compiled_variant& v) { return v.kalman.name; });

TEST(FamilyVariants, EveryKernelOfTheListsGivesThePortableBits) {
  ORV_LINALG_VARIANT_FUNCTIONS(ORV_TEST_LINALG_FUNCTION)
  ORV_KALMAN_VARIANT_FUNCTIONS(ORV_TEST_KALMAN_FUNCTION)
}
