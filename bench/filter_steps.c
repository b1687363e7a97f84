/* The linear filter's period, one step at a time.
 *
 * Times every step of one fully observed period of the likelihood-alone
 * loop, each alone and repeated on operands that stay in cache, through the
 * library's exported kernels: the products through orv_matmul, which runs
 * the loop's product kernel on the same shapes, and the rest through the
 * step the loop calls. Each step's time is the best of seven trials; their
 * sum is about the fastest a period can run with these kernels (but see the
 * gain below), and the FMAs of the period over that sum times the FMA peak
 * about the most of the peak the loop can reach at this size (what the loop
 * loses between steps, such as operands leaving cache, comes on top).
 *
 * One step runs slower here than in the loop: the exported gain step reads
 * the rows of P_pred C^T and writes those of K across its vector lanes, one
 * value at a time, solves one vector of rows at a time and the last rows one
 * by one, where the loop reads (C P_pred) and writes K^T in place, four
 * vectors of rows interleaved. Its row is the gain as the exported step
 * computes it, and an upper bound for the loop's.
 *
 * Usage: filter_steps n m [reps]
 * Output, one line per step, then the sum:
 *   step <name> <calls per period> <ns per period> <fmas per period>
 *   period <ns> <fmas>
 */
#define _POSIX_C_SOURCE 200809L
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "kalman.h"
#include "orv_linalg.h"

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

/* A zeroed, cache-line-aligned matrix of rows x cols values. */
static f64 *matrix(i64 rows, i64 cols) {
  size_t bytes = (size_t)(rows * cols + 8) * sizeof(f64);
  bytes = (bytes + 63) / 64 * 64;
  f64 *p = aligned_alloc(64, bytes);
  if (!p) {
    fprintf(stderr, "out of memory\n");
    exit(1);
  }
  for (i64 i = 0; i < rows * cols; ++i) p[i] = 0.0;
  return p;
}

/* Values of moderate size, so that no step meets a denormal or overflow. */
static void fill(f64 *p, i64 count, unsigned seed) {
  for (i64 i = 0; i < count; ++i) p[i] = 0.5 + 0.5 * sin(0.7 * (double)(i + 1) + seed);
}

/* A symmetric positive definite matrix (diagonally dominant). */
static void fill_spd(f64 *p, i64 size, unsigned seed) {
  fill(p, size * size, seed);
  for (i64 i = 0; i < size; ++i) {
    for (i64 j = 0; j < i; ++j) p[i * size + j] = p[j * size + i];
    p[i * size + i] += (double)size;
  }
}

struct operands {
  i64 n, m;
  f64 *A, *P, *temp_nn, *out_nn, *C, *temp_mn, *S, *L, *R, *PCt, *K, *temp_nm;
  f64 *x, *x_out, *v, *u, *w, *fbuf, *bbuf;
};

enum step_id {
  STATE_PREDICT, PRODUCT_NNN, SYM_STATE, MEAS_ROWS, MEAS_COV, SYM_MEAS, CHOL, SUBST, GAIN,
  STATE_UPDATE, PRODUCT_NMN, IDENTITY_MINUS, PRODUCT_NMM, STEP_COUNT
};

/* What each step computes; its calls per period and FMAs follow. */
static const char *const STEP_NAMES[STEP_COUNT] = {
    "state_predict",  /* x_pred = A x */
    "product_nnn",    /* A P, (A P) A^T, (I - K C) P, and that times (I - K C)^T */
    "sym_state",      /* P_pred and P_filt made symmetric */
    "meas_rows",      /* C P_pred (m x n) */
    "meas_cov",       /* (C P_pred) C^T (m x m) */
    "sym_meas",       /* S made symmetric */
    "chol",           /* L L^T = S */
    "subst",          /* u = L^-1 v, S^-1 v = L^-T u */
    "gain",           /* K = P_pred C^T S^-1, the exported step (see above) */
    "state_update",   /* x_filt = x_pred + K v */
    "product_nmn",    /* (K C)^T = C^T K^T, and K R K^T */
    "identity_minus", /* I - K C */
    "product_nmm",    /* K R */
};

static int calls_per_period(enum step_id s) {
  switch (s) {
    case PRODUCT_NNN: return 4;
    case SYM_STATE: case PRODUCT_NMN: return 2;
    default: return 1;
  }
}

static double fmas_per_call(enum step_id s, i64 n, i64 m) {
  const double N = (double)n, M = (double)m;
  switch (s) {
    case STATE_PREDICT: return N * N;
    case PRODUCT_NNN: return N * N * N;
    case MEAS_ROWS: return M * N * N;
    case MEAS_COV: return M * N * M;
    case CHOL: return M * M * M / 6.0;
    case SUBST: return M * M;
    case GAIN: return N * M * M;
    case STATE_UPDATE: return N * M;
    case PRODUCT_NMN: return N * M * N;
    case PRODUCT_NMM: return N * M * M;
    default: return 0.0;
  }
}

static void run_step(enum step_id s, struct operands *o) {
  const i64 n = o->n, m = o->m;
  switch (s) {
    case STATE_PREDICT: orv_matmul(o->x, o->A, o->x_out, 1, n, n); break;
    case PRODUCT_NNN: orv_matmul(o->A, o->P, o->out_nn, n, n, n); break;
    case SYM_STATE: orv_sym_inplace(o->out_nn, n); break;
    case MEAS_ROWS: orv_matmul(o->C, o->P, o->temp_mn, m, n, n); break;
    case MEAS_COV: orv_matmul(o->temp_mn, o->PCt, o->w, m, n, m); break;
    case SYM_MEAS: orv_sym_inplace(o->S, m); break;
    case CHOL: orv_chol(o->S, 0.0, o->L, m); break;
    case SUBST:
      orv_forward_subst(o->L, o->v, o->u, m);
      orv_backward_subst_chol_t(o->L, o->u, o->w, m);
      break;
    case GAIN: kf_gain_from_pc_t(o->L, o->PCt, o->fbuf, o->bbuf, o->K, n, m); break;
    case STATE_UPDATE: kf_state_update(o->x, o->K, o->v, o->x_out, n, m); break;
    case PRODUCT_NMN: orv_matmul(o->PCt, o->temp_mn, o->out_nn, n, m, n); break;
    case IDENTITY_MINUS: kf_identity_minus(o->out_nn, o->temp_nn, n); break;
    case PRODUCT_NMM: orv_matmul(o->K, o->R, o->temp_nm, n, m, m); break;
    default: break;
  }
}

/* Seconds of one call of the step, averaged over reps calls. */
static double call_seconds(enum step_id s, struct operands *o, long reps) {
  const double t0 = now();
  for (long r = 0; r < reps; ++r) {
    run_step(s, o);
    __asm__ volatile("" : : "r"(o) : "memory");
  }
  return (now() - t0) / (double)reps;
}

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s n m [reps]\n", argv[0]);
    return 2;
  }
  const i64 n = atol(argv[1]), m = atol(argv[2]);
  const long reps = argc > 3 ? atol(argv[3]) : 20000;
  if (n < 1 || m < 1 || reps < 1) {
    fprintf(stderr, "n, m and reps must be positive\n");
    return 2;
  }
  struct operands o = {.n = n, .m = m};
  o.A = matrix(n, n), o.P = matrix(n, n), o.temp_nn = matrix(n, n), o.out_nn = matrix(n, n);
  o.C = matrix(m, n), o.temp_mn = matrix(m, n), o.S = matrix(m, m), o.L = matrix(m, m);
  o.R = matrix(m, m), o.PCt = matrix(n, m), o.K = matrix(n, m);
  o.temp_nm = matrix(n, m), o.x = matrix(1, n), o.x_out = matrix(1, n), o.v = matrix(1, m);
  o.u = matrix(1, m), o.w = matrix(m, m), o.fbuf = matrix(1, m), o.bbuf = matrix(1, m);
  fill(o.A, n * n, 1), fill_spd(o.P, n, 2), fill(o.C, m * n, 3), fill_spd(o.S, m, 4);
  fill_spd(o.R, m, 5), fill(o.PCt, n * m, 6), fill(o.x, n, 7), fill(o.v, m, 8);
  fill(o.temp_mn, m * n, 9), fill(o.K, n * m, 10), fill(o.out_nn, n * n, 11);
  if (orv_chol(o.S, 0.0, o.L, m) != 0) {
    fprintf(stderr, "the test matrix S did not factor\n");
    return 1;
  }

  /* The trials take turns over the steps, so that a spell of the machine
   * running slow costs every step one trial rather than one step all. */
  double best[STEP_COUNT];
  for (int s = 0; s < STEP_COUNT; ++s) best[s] = INFINITY;
  for (int trial = 0; trial < 7; ++trial)
    for (int s = 0; s < STEP_COUNT; ++s) {
      const double t = call_seconds((enum step_id)s, &o, reps);
      if (t < best[s]) best[s] = t;
    }

  double period_ns = 0.0, period_fmas = 0.0;
  for (int s = 0; s < STEP_COUNT; ++s) {
    const int calls = calls_per_period((enum step_id)s);
    const double ns = 1e9 * calls * best[s];
    const double fmas = calls * fmas_per_call((enum step_id)s, n, m);
    printf("step %s %d %.1f %.0f\n", STEP_NAMES[s], calls, ns, fmas);
    period_ns += ns;
    period_fmas += fmas;
  }
  printf("period %.1f %.0f\n", period_ns, period_fmas);
  return 0;
}
