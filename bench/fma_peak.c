/* Peak fused multiply-add rate of one core.
 *
 * Runs NACC (16 with AVX-512, 12 with AVX2) independent dependency chains of
 * vector FMAs (acc = acc*a + b), so that the FMA pipes never wait on a
 * result, and prints the best rate over a few trials in double-precision FMAs
 * per second (one 8-lane zmm FMA counts 8). A scalar variant (vfmadd..sd, the
 * instruction a one-accumulator std::fma chain compiles to) is measured the
 * same way.
 *
 * Usage: fma_peak [iterations [trials [a [b]]]]
 * Output, one line each:  vector <fma/s> <lanes> <isa>
 *                         scalar <fma/s>
 */
#include <immintrin.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#if defined(__AVX512F__)
typedef __m512d vec;
#define NACC 16 /* 32 zmm registers: 16 chains plus a and b */
#define LANES 8
#define ISA "avx512f"
#define VSET1(x) _mm512_set1_pd(x)
#define VFMA(a, b, c) _mm512_fmadd_pd(a, b, c)
#define VADD(a, b) _mm512_add_pd(a, b)
#define VSUM(a) _mm512_reduce_add_pd(a)
#else
typedef __m256d vec;
#define NACC 12 /* 16 ymm registers: 12 chains plus a and b, no spills */
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

/* The multiplier and addend come from the command line so the compiler
 * cannot fold the chains; acc converges to b / (1 - a), no overflow. */
static double run_vector(long iters, double a, double b, double *sink) {
  vec acc[NACC];
  for (int i = 0; i < NACC; ++i) acc[i] = VSET1(1.0 + i * 1e-3);
  const vec va = VSET1(a), vb = VSET1(b);
  double t0 = now();
  for (long it = 0; it < iters; ++it) {
#pragma GCC unroll 16
    for (int i = 0; i < NACC; ++i) acc[i] = VFMA(acc[i], va, vb);
  }
  double t1 = now();
  vec s = acc[0];
  for (int i = 1; i < NACC; ++i) s = VADD(s, acc[i]);
  *sink += VSUM(s);
  return (double)iters * NACC * LANES / (t1 - t0);
}

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
  double sink = 0.0, best_v = 0.0, best_s = 0.0;
  run_vector(iters / 10, a, b, &sink); /* warm-up: clocks and license level */
  for (int t = 0; t < trials; ++t) {
    double r = run_vector(iters, a, b, &sink);
    if (r > best_v) best_v = r;
  }
  for (int t = 0; t < trials; ++t) {
    double r = run_scalar(iters, a, b, &sink);
    if (r > best_s) best_s = r;
  }
  printf("vector %.6e %d %s\n", best_v, LANES, ISA);
  printf("scalar %.6e\n", best_s);
  fprintf(stderr, "checksum %.17g\n", sink);
  return 0;
}
