/* Peak fused multiply-add rate of one core.
 *
 * Runs NACC independent dependency chains of vector FMAs (acc = acc*a + b)
 * for several NACC and keeps the best rate, in double-precision FMAs per
 * second (one 8-lane zmm FMA counts 8). To keep every FMA pipe busy, a core
 * needs at least (pipes x latency) chains in flight: 2 x 4 = 8 on cores with
 * two full-width FMA pipes of latency 4, more where the latency is longer or
 * the scheduler falls behind. The sweep goes from 8 to 24 chains with AVX-512
 * (32 zmm registers: 24 chains plus a and b still leave six) and from 8 to 12
 * with AVX2 (16 ymm registers), so the best of it is the peak and not a
 * latency bound; the chain count that reached it is printed too. A scalar
 * variant (vfmadd..sd, the instruction a one-accumulator std::fma chain
 * compiles to) is measured with twelve chains.
 *
 * Usage: fma_peak [iterations [trials [a [b]]]]
 * Output, one line each:  vector <fma/s> <lanes> <isa> <chains>
 *                         chains <n> <fma/s>      (one line per count tried)
 *                         scalar <fma/s>
 */
#include <immintrin.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#if defined(__AVX512F__)
typedef __m512d vec;
#define LANES 8
#define ISA "avx512f"
#define VSET1(x) _mm512_set1_pd(x)
#define VFMA(a, b, c) _mm512_fmadd_pd(a, b, c)
#define VADD(a, b) _mm512_add_pd(a, b)
#define VSUM(a) _mm512_reduce_add_pd(a)
#else
typedef __m256d vec;
#define LANES 4
#define ISA "avx2"
#define VSET1(x) _mm256_set1_pd(x)
#define VFMA(a, b, c) _mm256_fmadd_pd(a, b, c)
#define VADD(a, b) _mm256_add_pd(a, b)
static double VSUM(__m256d a) {
  double t[4];
  _mm256_storeu_pd(t, a);
  return t[0] + t[1] + t[2] + t[3];
}
#endif

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

/* One function per chain count, so that every count is a compile-time
 * constant: the loop is unrolled whole and the chains live in registers
 * (no loads or stores in the timed loop). The multiplier and addend come
 * from the command line so the compiler cannot fold the chains; acc
 * converges to b / (1 - a), no overflow. */
#define DEFINE_RUN(N)                                                        \
  static double run_vector_##N(long iters, double a, double b, double *sink) { \
    vec acc[N];                                                              \
    for (int i = 0; i < N; ++i) acc[i] = VSET1(1.0 + i * 1e-3);              \
    const vec va = VSET1(a), vb = VSET1(b);                                  \
    double t0 = now();                                                       \
    for (long it = 0; it < iters; ++it) {                                    \
      _Pragma("GCC unroll 32") for (int i = 0; i < N; ++i) acc[i] =          \
          VFMA(acc[i], va, vb);                                              \
    }                                                                        \
    double t1 = now();                                                       \
    vec s = acc[0];                                                          \
    for (int i = 1; i < N; ++i) s = VADD(s, acc[i]);                         \
    *sink += VSUM(s);                                                        \
    return (double)iters * N * LANES / (t1 - t0);                            \
  }

DEFINE_RUN(8)
DEFINE_RUN(10)
DEFINE_RUN(12)
#if defined(__AVX512F__)
DEFINE_RUN(16)
DEFINE_RUN(20)
DEFINE_RUN(24)
#endif

typedef double (*run_fn)(long, double, double, double *);
static const struct {
  int chains;
  run_fn fn;
} RUNS[] = {
    {8, run_vector_8},   {10, run_vector_10}, {12, run_vector_12},
#if defined(__AVX512F__)
    {16, run_vector_16}, {20, run_vector_20}, {24, run_vector_24},
#endif
};
#define NRUNS (int)(sizeof RUNS / sizeof RUNS[0])

/* Twelve named scalar chains: with a and b that makes 14 live registers, which
 * fits the 16 xmm registers of AVX2 without spilling, and twelve chains
 * cover the latency (4 cycles) times the FMA pipes (2) of current cores. */
#define NSCAL 12
static double run_scalar(long iters, double a, double b, double *sink) {
  double c0 = 1.000, c1 = 1.001, c2 = 1.002, c3 = 1.003, c4 = 1.004, c5 = 1.005,
         c6 = 1.006, c7 = 1.007, c8 = 1.008, c9 = 1.009, c10 = 1.010, c11 = 1.011;
  double t0 = now();
  for (long it = 0; it < iters; ++it) {
    c0 = __builtin_fma(c0, a, b);   c1 = __builtin_fma(c1, a, b);
    c2 = __builtin_fma(c2, a, b);   c3 = __builtin_fma(c3, a, b);
    c4 = __builtin_fma(c4, a, b);   c5 = __builtin_fma(c5, a, b);
    c6 = __builtin_fma(c6, a, b);   c7 = __builtin_fma(c7, a, b);
    c8 = __builtin_fma(c8, a, b);   c9 = __builtin_fma(c9, a, b);
    c10 = __builtin_fma(c10, a, b); c11 = __builtin_fma(c11, a, b);
    /* stop the compiler from packing the chains into vectors */
    __asm__ volatile("" : "+x"(c0), "+x"(c1), "+x"(c2), "+x"(c3), "+x"(c4), "+x"(c5));
    __asm__ volatile("" : "+x"(c6), "+x"(c7), "+x"(c8), "+x"(c9), "+x"(c10), "+x"(c11));
  }
  double t1 = now();
  *sink += c0 + c1 + c2 + c3 + c4 + c5 + c6 + c7 + c8 + c9 + c10 + c11;
  return (double)iters * NSCAL / (t1 - t0);
}

int main(int argc, char **argv) {
  long iters = argc > 1 ? atol(argv[1]) : 20000000L;
  int trials = argc > 2 ? atoi(argv[2]) : 5;
  double a = argc > 3 ? atof(argv[3]) : 0.999999;
  double b = argc > 4 ? atof(argv[4]) : 1e-6;
  double sink = 0.0, best_s = 0.0, best_v = 0.0, rate[NRUNS] = {0};
  int best_chains = 0;
  /* warm-up: clocks and the frequency level of wide vector code */
  RUNS[NRUNS - 1].fn(iters / 4, a, b, &sink);
  /* Trials go round the chain counts, so a burst of load from other
   * processes hurts one trial of each count, not all trials of one. Each
   * count runs about the same time: iterations scale with 1 / chains. */
  for (int t = 0; t < trials; ++t) {
    for (int r = 0; r < NRUNS; ++r) {
      long n = iters * 16 / RUNS[r].chains;
      double v = RUNS[r].fn(n, a, b, &sink);
      if (v > rate[r]) rate[r] = v;
    }
  }
  for (int r = 0; r < NRUNS; ++r) {
    if (rate[r] > best_v) {
      best_v = rate[r];
      best_chains = RUNS[r].chains;
    }
  }
  for (int t = 0; t < trials; ++t) {
    double r = run_scalar(iters, a, b, &sink);
    if (r > best_s) best_s = r;
  }
  printf("vector %.6e %d %s %d\n", best_v, LANES, ISA, best_chains);
  for (int r = 0; r < NRUNS; ++r) printf("chains %d %.6e\n", RUNS[r].chains, rate[r]);
  printf("scalar %.6e\n", best_s);
  fprintf(stderr, "checksum %.17g\n", sink);
  return 0;
}
