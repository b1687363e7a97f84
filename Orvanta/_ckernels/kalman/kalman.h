/* Kalman filter loops over a whole sample, and the step kernels they are
 * built from. No interpreter dependency: plain records of pointers and sizes
 * in, an integer status out. Usable from C99 and from C++. */
#ifndef ORV_KALMAN_H
#define ORV_KALMAN_H

#include "../_common/orv_common.h"

ORV_BEGIN_C

/* ---- linear Gaussian filter ---------------------------------------------
 *
 *   x_t = A x_{t-1} + B eps_t,      eps_t ~ N(0, Q)
 *   y_t = C x_t + d + e_t,          e_t   ~ N(0, R)
 *
 * n states, m observables, k shocks, T periods; all arrays dense row-major. */

enum {
  KF_OK = 0,           /* the whole sample was filtered */
  KF_ERR_NOT_PD = -3,  /* an innovation covariance was not positive definite */
  KF_ERR_ALLOC = -5    /* the scratch block could not be allocated, or the
                          dimensions do not describe one */
};

typedef struct kf_inputs {
  i64 n;                /* number of states */
  i64 m;                /* number of observables */
  i64 k;                /* number of shocks */
  i64 T;                /* number of periods */
  const f64* A;         /* n x n transition */
  const f64* B;         /* n x k shock loading */
  const f64* C;         /* m x n measurement matrix */
  const f64* d;         /* m measurement intercept */
  const f64* Q;         /* k x k shock covariance */
  const f64* R;         /* m x m measurement-error covariance */
  const f64* y;         /* T x m observations */
  const f64* x0;        /* n state of the period before the first observation */
  const f64* P0;        /* n x n covariance of x0 */
  int symmetrize;       /* nonzero: symmetrise P_pred, S and P_filt */
  f64 jitter;           /* diagonal jitter for every factorisation of S */
  int return_shocks;    /* nonzero (with store_history): fill eps_hat */
  int store_history;    /* nonzero: fill the per-period history */
} kf_inputs;

/* Row t of each history array holds period t. With store_history zero (or
 * T <= 0) only *loglik is written and the other pointers may be null. */
typedef struct kf_outputs {
  f64* x_pred;     /* T x n      A x_{t-1|t-1} */
  f64* x_filt;     /* T x n      x_pred + K innov */
  f64* P_pred;     /* T x n x n  A P A^T + B Q B^T */
  f64* P_filt;     /* T x n x n  Joseph form */
  f64* y_pred;     /* T x m      C x_pred + d */
  f64* y_filt;     /* T x m      C x_filt + d */
  f64* innov;      /* T x m      y_t - y_pred */
  f64* std_innov;  /* T x m      L^-1 innov, S = L L^T */
  f64* S;          /* T x m x m  C P_pred C^T + R (without jitter) */
  f64* eps_hat;    /* T x k      Q B^T C^T S^-1 innov (with return_shocks) */
  f64* loglik;     /* one value, always written unless allocation fails */
} kf_outputs;

/* Runs the filter over periods 0 .. T-1 from (x0, P0). Returns KF_OK,
 * KF_ERR_NOT_PD (loglik and history hold the periods before the failing one)
 * or KF_ERR_ALLOC (nothing written; also for negative dimensions or a scratch
 * size that overflows). */
ORV_API int kf_hot_loop(const kf_inputs* in, kf_outputs* out);

/* Step kernels of kf_hot_loop. Outputs never overlap inputs or each other. */

/* out[i] = A[row*m + i] - x[i], i < m. */
ORV_API void kf_row_minus_vec(const f64* ORV_RESTRICT A, i64 row,
                              const f64* ORV_RESTRICT x, f64* ORV_RESTRICT out,
                              i64 m);

/* Row `row` of out (rows of length n) = (L L^T)^-1 b, b = row `row` of B;
 * fbuf = L^-1 b and bbuf = L^-T fbuf are left in the buffers. */
ORV_API void kf_chol_solve_row(const f64* ORV_RESTRICT L, const f64* ORV_RESTRICT B,
                               i64 row, f64* ORV_RESTRICT fbuf,
                               f64* ORV_RESTRICT bbuf, f64* ORV_RESTRICT out, i64 n);

/* out (n x n) = A P_prev A^T + BQBT; temp_nn holds A P_prev. */
ORV_API void kf_predict_cov(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT P_prev,
                            const f64* ORV_RESTRICT BQBT, f64* ORV_RESTRICT temp_nn,
                            f64* ORV_RESTRICT out, i64 n);

/* out (m x m) = C P_pred C^T + R; temp_mn (m x n) holds C P_pred. */
ORV_API void kf_measurement_cov(const f64* ORV_RESTRICT C,
                                const f64* ORV_RESTRICT P_pred,
                                const f64* ORV_RESTRICT R, f64* ORV_RESTRICT temp_mn,
                                f64* ORV_RESTRICT out, i64 n, i64 m);

/* out (n x m) = P_pred (n x n) C^T (C m x n). */
ORV_API void kf_pc_t(const f64* ORV_RESTRICT P_pred, const f64* ORV_RESTRICT C,
                     f64* ORV_RESTRICT out, i64 n, i64 m);

/* out (n x m) = PCt (L L^T)^-1, row by row; fbuf and bbuf hold m values. */
ORV_API void kf_gain_from_pc_t(const f64* ORV_RESTRICT L, const f64* ORV_RESTRICT PCt,
                               f64* ORV_RESTRICT fbuf, f64* ORV_RESTRICT bbuf,
                               f64* ORV_RESTRICT out, i64 n, i64 m);

/* out (n) = x_pred + K v, each sum accumulated onto x_pred[i]. */
ORV_API void kf_state_update(const f64* ORV_RESTRICT x_pred, const f64* ORV_RESTRICT K,
                             const f64* ORV_RESTRICT v, f64* ORV_RESTRICT out, i64 n,
                             i64 m);

/* out (n x n) = I - A. */
ORV_API void kf_identity_minus(const f64* ORV_RESTRICT A, f64* ORV_RESTRICT out, i64 n);

/* out (n x n) = (I - K C) P_pred (I - K C)^T + K R K^T, with KC = K C,
 * I_minus_KC = I - K C, temp_nn = (I - K C) P_pred and temp_nm = K R left
 * in the scratch arguments. */
ORV_API void kf_joseph_cov(const f64* ORV_RESTRICT K, const f64* ORV_RESTRICT C,
                           const f64* ORV_RESTRICT P_pred, const f64* ORV_RESTRICT R,
                           f64* ORV_RESTRICT KC, f64* ORV_RESTRICT I_minus_KC,
                           f64* ORV_RESTRICT temp_nn, f64* ORV_RESTRICT temp_nm,
                           f64* ORV_RESTRICT out, i64 n, i64 m);

/* out (n x n) = B Q B^T, exactly symmetric; temp_nk holds B Q. */
ORV_API void kf_build_bqbt(const f64* ORV_RESTRICT B, const f64* ORV_RESTRICT Q,
                           f64* ORV_RESTRICT temp_nk, f64* ORV_RESTRICT out, i64 n,
                           i64 k);

/* out (k x m) = Q B^T C^T; temp_km holds B^T C^T. */
ORV_API void kf_build_shock_projection(const f64* ORV_RESTRICT B,
                                       const f64* ORV_RESTRICT C,
                                       const f64* ORV_RESTRICT Q,
                                       f64* ORV_RESTRICT temp_km,
                                       f64* ORV_RESTRICT out, i64 n, i64 k, i64 m);

/* ---- the same filter on data with gaps, from three kinds of start -----------
 *
 * kf_filter runs the model of kf_hot_loop on observations of which any entry
 * may be missing (NaN), from one of three starts:
 *
 *   KF_INIT_KNOWN       x0 and P0 are the filtered moments of the period
 *                       before the first observation, as for kf_hot_loop;
 *   KF_INIT_STATIONARY  P0 is replaced by the solution of P = A P A^T + B Q B^T,
 *                       which needs every eigenvalue of A inside the unit
 *                       circle; x0 as under KF_INIT_KNOWN (null: zeros);
 *   KF_INIT_DIFFUSE     the first period's prediction has mean x0 (null:
 *                       zeros) and covariance kappa P_inf + P0 (null P0:
 *                       zeros) with kappa -> infinity and P_inf =
 *                       diag(diffuse) (null diffuse: the identity). The exact
 *                       diffuse recursions of Durbin and Koopman run, one
 *                       observed entry at a time (the univariate treatment of
 *                       Koopman and Durbin, 2000), for as long as the sum of
 *                       squares of the predicted P_inf exceeds 1e-10; an
 *                       entry whose F_inf = Z P_inf Z^T exceeds 1e-10 takes
 *                       the diffuse update, the others the ordinary one. When
 *                       the observed block of R is not diagonal, a period's
 *                       observed entries are first transformed by the unit
 *                       lower factor of its LDL^T factorisation. These are
 *                       statsmodels' tolerances and conventions. A singular
 *                       block (positive semidefinite) has zero pivots, each
 *                       taken as exactly 0 within a bound of about
 *                       p 2^-40 S[j][j] for order p (more where the row of L
 *                       below earlier small pivots is large), with the
 *                       column of L below it 0: its entry has no measurement
 *                       error and, unless diffuse, takes the ordinary update
 *                       with F = Z P Z^T, as statsmodels takes it (whose
 *                       factor divides by a zero pivot that is not the last).
 *                       A block that is not positive semidefinite, or an
 *                       entry with F_inf and F both zero, gives
 *                       KF_ERR_NOT_PD.
 *
 * Periods:
 * - A fully observed period after the diffuse phase runs exactly the period
 *   of kf_hot_loop: with no missing entry and KF_INIT_KNOWN, everything both
 *   loops write is bit-identical.
 * - A partly observed period updates with the observed entries of y, the
 *   matching rows of C and d and block of R, by the same steps at its own
 *   number of observables.
 * - A fully missing period only predicts: x_filt = x_pred, P_filt = P_pred,
 *   eps_hat = 0 and no log-likelihood term.
 *
 * The history rows of a period are those of kf_hot_loop, except that
 * - innov and std_innov are NaN where y is missing, and std_innov of a partly
 *   observed period is L^-1 v for the factor L of its observed block of S;
 * - y_pred, y_filt and S cover every row, observed or not: C x_pred + d,
 *   C x_filt + d and C P_pred C^T + R;
 * - in a diffuse period, P_pred, P_filt and S hold the parts that stay finite
 *   (P_*, and C P_* C^T + R), std_innov is NaN throughout, and eps_hat is the
 *   limit of the shock estimate as kappa -> infinity;
 * - the log-likelihood term of a diffuse period adds, for each observed
 *   entry, -0.5 (ln 2 pi + ln F_inf) when it takes the diffuse update and
 *   -0.5 (ln 2 pi + ln F + v^2 / F) when it takes the ordinary one, as
 *   statsmodels does (Durbin and Koopman leave the ln 2 pi of the diffuse
 *   entries out of their figures). jitter is added to each entry's F there.
 * *loglik is the sum of loglik_t taken in period order, one rounding per
 * period. */

enum { KF_INIT_KNOWN = 0, KF_INIT_STATIONARY = 1, KF_INIT_DIFFUSE = 2 };

/* The statuses kf_filter adds to those of kf_hot_loop. */
enum {
  KF_ERR_INPUT = -2,          /* init is none of KF_INIT_*, or x0 or P0 is null
                                 under KF_INIT_KNOWN */
  KF_ERR_NOT_STATIONARY = -4, /* KF_INIT_STATIONARY, and A has an eigenvalue on
                                 or outside the unit circle */
  KF_ERR_INFINITE_OBS = -6    /* y holds an infinity */
};

/* The steady state. With steady_state_tol > 0, a fully observed period t
 * after the diffuse phase whose predicted covariance differs from the period
 * before's by less than the tolerance in every entry,
 *
 *   max_ij |P_pred_t[i][j] - P_pred_{t-1}[i][j]| < steady_state_tol,
 *
 * (both periods run by the loop, not the diffuse recursions) is filtered in
 * full, and then its P_pred, S, the factor L of S (with jitter), log det S,
 * the gain and P_filt are frozen: each fully observed period after it runs
 * the state recursion alone (x_pred, y_pred, the innovation, L^-1 v, S^-1 v,
 * x_filt and the log-likelihood term with the frozen log det S), and its
 * history rows of P_pred, P_filt and S hold the frozen values. A period with
 * a missing entry leaves the steady state: it predicts from the frozen P_filt
 * and runs as usual, and so do the periods after it until the criterion holds
 * again. 0 (or less, or NaN) never freezes: every bit is that of the full
 * recursion. */
typedef struct kf_filter_inputs {
  kf_inputs model;     /* as for kf_hot_loop; NaN entries of y are missing */
  int init;            /* KF_INIT_KNOWN, KF_INIT_STATIONARY or KF_INIT_DIFFUSE */
  const f64* diffuse;  /* n: the diagonal of P_inf (KF_INIT_DIFFUSE only;
                          null: all ones) */
  f64 steady_state_tol; /* see above; 0: the full recursion in every period */
} kf_filter_inputs;

typedef struct kf_filter_outputs {
  kf_outputs history;   /* as for kf_hot_loop; *history.loglik is the total */
  f64* loglik_t;        /* T: each period's log-likelihood term */
  i64 nobs;             /* entries of y that are not NaN */
  i64 diffuse_periods;  /* periods filtered by the exact diffuse recursions */
  i64 where;            /* KF_ERR_INFINITE_OBS: t m + j for the first infinite
                           y[t][j]; KF_ERR_NOT_PD: the failing period; else -1 */
} kf_filter_outputs;

/* Runs the filter over periods 0 .. T-1. Returns KF_OK; KF_ERR_NOT_PD, with
 * the outputs of the periods before the failing one written; KF_ERR_ALLOC,
 * KF_ERR_INPUT, KF_ERR_INFINITE_OBS or KF_ERR_NOT_STATIONARY, with nothing but
 * the scalar fields of *out written. loglik_t must point to T values when
 * T > 0; the history pointers are used as by kf_hot_loop. */
ORV_API int kf_filter(const kf_filter_inputs* in, kf_filter_outputs* out);

/* ---- the fixed-interval smoother -------------------------------------------
 *
 * kf_smoother runs kf_filter (history stored) and then the disturbance
 * smoother of Durbin and Koopman backward over that history: the moments of
 * the states, the shocks eps_t (t = 0 .. T-1, eps_0 included: it enters the
 * first period) and the measurement errors given all T periods of y, missing
 * entries included as kf_filter treats them. Under KF_INIT_DIFFUSE the
 * diffuse periods take Durbin and Koopman's exact initial smoother, one
 * observed entry at a time as the filter took them; the first period's
 * state is then given by its prior as a whole, so eps_0 is not defined
 * (its rows of eps_smooth and eps_smooth_cov are NaN) and neither is the
 * period before it (x0_smooth and P0_smooth are not written). */

enum {
  KF_ERR_NOT_FINITE = -7,        /* a smoothed value came out infinite or NaN (a
                                    model too badly conditioned to smooth) */
  KF_ERR_LOGLIK_NOT_FINITE = -8, /* the log-likelihood came out infinite or NaN
                                    (kf_loglik_grad; a draw of kf_loglik_batch
                                    as its Python entry reports it) */
  KF_ERR_MODEL_NOT_FINITE = -9   /* a draw's model values are not all finite (a
                                    draw of kf_loglik_batch as its Python entry
                                    reports it) */
};

typedef struct kf_smoother_outputs {
  kf_filter_outputs filter;  /* as for kf_filter; every history array needed
                                (x_pred, x_filt, P_pred, P_filt, innov, S) */
  f64* x_smooth;        /* T x n      E[x_t | y_0 .. y_{T-1}] */
  f64* P_smooth;        /* T x n x n  Var[x_t | y] */
  f64* eps_smooth;      /* T x k      E[eps_t | y] (row 0 NaN under
                           KF_INIT_DIFFUSE) */
  f64* eps_smooth_cov;  /* T x k x k  Var[eps_t | y] (likewise) */
  f64* e_smooth;        /* T x m      E[e_t | y], NaN where y is missing */
  f64* x0_smooth;       /* n          E[x_{-1} | y], the period before the first
                           observation; may be null (with P0_smooth); not
                           written under KF_INIT_DIFFUSE */
  f64* P0_smooth;       /* n x n      Var[x_{-1} | y] */
  i64 where;            /* as kf_filter's where; KF_ERR_NOT_PD of the backward
                           pass: the period; else -1 */
} kf_smoother_outputs;

/* Returns KF_OK; the statuses of kf_filter (with filter.where); KF_ERR_INPUT
 * also for store_history zero or a null array that has elements;
 * KF_ERR_ALLOC also when the record of the diffuse periods, sized once the
 * filter has counted them, cannot be allocated; KF_ERR_NOT_FINITE. Only
 * KF_OK leaves the smoothed arrays whole. */
ORV_API int kf_smoother(const kf_filter_inputs* in, kf_smoother_outputs* out);

/* ---- the gradient of the log-likelihood -------------------------------------
 *
 * kf_loglik_grad runs kf_filter (its history kept as the tape of the
 * backward pass) and then the adjoint of every period in reverse: the exact
 * derivatives of the log-likelihood with respect to every model array, for
 * the recursion as kf_filter computes it (missing entries, Joseph form and
 * symmetrisation included). *loglik has the bits kf_filter gives with
 * store_history zero.
 *
 * Each dX has the shape of X and holds d loglik / d X[i][j], the entries
 * taken as free variables, except for the covariances Q, R and P0 (taken
 * symmetric, as the filter takes them): dQ, dR and dP0 are symmetric, and a
 * symmetric change D of Q moves the log-likelihood by sum_ij dQ[i][j] D[i][j]
 * to first order (an off-diagonal pair moved together moves it by
 * 2 dQ[i][j]).
 *
 * Starts:
 * - KF_INIT_KNOWN: dx0 and dP0 are written.
 * - KF_INIT_STATIONARY: P0 is the solution of P = A P A^T + B Q B^T, whose
 *   adjoint, one more Lyapunov solve L = A^T L A + dP0, flows into dA, dB
 *   and dQ; dP0 is not written (it may be null); dx0 is written (x0 null:
 *   zeros).
 * - KF_INIT_DIFFUSE: the gradient of the exact diffuse log-likelihood,
 *   through the univariate diffuse recursions and the transform of R as
 *   kf_filter runs them (which periods and entries are diffuse is held
 *   fixed); dx0 and dP0 are the derivatives with respect to the finite
 *   parts x0 and P0 of the first prediction (null x0, P0: zeros) and are
 *   written. Where a diffuse period's observed block of R is singular (a
 *   zero pivot of its LDL^T factor, a zero variance R[i][i] among them),
 *   the filter is defined only for changes of R that keep the block
 *   semidefinite; dR is the gradient of its formula, which goes on smoothly
 *   beyond, with the adjoint through the factor below a zero pivot taken as
 *   its limit. In every direction the filter is defined, dR gives the
 *   derivative as usual. With jitter > 0 that limit does not exist (jitter
 *   is added to the transformed entries, so the likelihood jumps with the
 *   factor there): the entries of dR it reaches are NaN (infinite or NaN
 *   in the pairs (i, j), i < j, of a zero variance R[i][i] of a diagonal
 *   block).
 *
 * The tape holds about T (2 n^2 + 2 n + 4 m + m^2 + 1) values; its size is
 * checked before anything is allocated, and KF_ERR_ALLOC returned when it
 * does not fit in memory. Under KF_INIT_DIFFUSE a second block of about
 * d n^2 + m (2 n^2 + 5 n) values follows, d the number of diffuse periods.
 * The fields store_history and return_shocks of in->model are ignored. */

typedef struct kf_grad_outputs {
  f64 loglik;  /* written as kf_filter writes it (KF_OK, KF_ERR_NOT_PD) */
  f64* dA;     /* n x n */
  f64* dB;     /* n x k */
  f64* dC;     /* m x n */
  f64* dd;     /* m */
  f64* dQ;     /* k x k, symmetric */
  f64* dR;     /* m x m, symmetric */
  f64* dx0;    /* n */
  f64* dP0;    /* n x n, symmetric (not under KF_INIT_STATIONARY) */
  i64 where;   /* as kf_filter_outputs.where */
} kf_grad_outputs;

/* Returns KF_OK with every gradient written; the statuses of kf_filter
 * (KF_ERR_INPUT, KF_ERR_NOT_PD, KF_ERR_INFINITE_OBS, KF_ERR_NOT_STATIONARY,
 * with where); KF_ERR_INPUT also for a null gradient array that has
 * elements; KF_ERR_ALLOC when the tape cannot be allocated. On any status
 * but KF_OK the gradient arrays hold nothing meaningful. */
ORV_API int kf_loglik_grad(const kf_filter_inputs* in, kf_grad_outputs* out);

/* ---- the log-likelihood of many parameter draws ------------------------------
 *
 * kf_loglik_batch filters N independent draws of the model of kf_filter
 * (KF_INIT_KNOWN or KF_INIT_STATIONARY, NaN entries of y missing) and writes
 * each draw's log-likelihood and status. Every array either belongs to all
 * draws (draw_step 0) or holds one per draw, draw i's starting draw_step
 * values after draw i-1's.
 *
 * Each draw's log-likelihood has the bits kf_filter gives for that draw
 * alone (and, with no value missing and KF_INIT_KNOWN, kf_hot_loop's). Draws
 * that share their pattern of missing values run side by side in the lanes
 * of vector registers, every lane taking one draw's operations in their
 * order; `threads` threads (the caller's among them) share the blocks of
 * draws, so the results do not depend on it. */

typedef struct kf_batch_array {
  const f64* data;  /* draw 0's values; null only where KF_INIT_STATIONARY
                       leaves x0 (zeros) or P0 (solved) out */
  i64 draw_step;    /* values from one draw's to the next's; 0: shared */
} kf_batch_array;

typedef struct kf_batch_inputs {
  i64 n, m, k, T;  /* as for kf_hot_loop */
  i64 N;           /* number of draws */
  kf_batch_array A, B, C, d, Q, R, y, x0, P0;
  int symmetrize;
  f64 jitter;
  int init;        /* KF_INIT_KNOWN or KF_INIT_STATIONARY */
  i64 threads;     /* threads to run on, the caller's included (>= 1) */
  f64 steady_state_tol;  /* as for kf_filter, lane by lane: a block whose
                            every draw is frozen runs the state recursion
                            alone */
} kf_batch_inputs;

typedef struct kf_batch_outputs {
  f64* loglik;  /* N: each draw's log-likelihood; -inf where it failed */
  i64* status;  /* N: KF_OK, or the draw's KF_ERR_NOT_PD or
                   KF_ERR_NOT_STATIONARY */
  i64 where;    /* KF_ERR_INFINITE_OBS: the index in y of the first
                   infinity; else -1 */
} kf_batch_outputs;

/* Returns KF_OK, with every draw's loglik and status written; KF_ERR_INPUT
 * (a bad init, N < 0, threads < 1, or x0 or P0 null under KF_INIT_KNOWN
 * with n > 0 and N > 0), KF_ERR_INFINITE_OBS or KF_ERR_ALLOC, with nothing
 * written but `where`. */
ORV_API int kf_loglik_batch(const kf_batch_inputs* in, kf_batch_outputs* out);

/* ---- second-order pruned unscented filter --------------------------------
 *
 * Augmented state z = (x1, x2) of length nz = 2 ns: the first- and the
 * second-order part of the state's deviation from steady state.
 *
 *   x1' = hx x1 + bx eps
 *   x2' = hx x2 + 0.5 hss + 0.5 hxx (x1 (x) x1)
 *   obs = meas(steady_state + projection of z) + e,   e ~ N(0, R)
 *
 * The loop uses 4 ns + 1 sigma points per step. */

enum {
  UKF_OK = 0,            /* the whole sample was filtered (also T < 1) */
  UKF_ERR_INPUT = -2,    /* null meas, ns < 1 or no < 1 */
  UKF_ERR_NOT_PD = -3,   /* a covariance was not positive definite, or the
                            sigma-point scale was not positive and finite */
  UKF_ERR_ALLOC = -5     /* the scratch block could not be allocated, or the
                            dimensions do not describe one */
};

/* Measurement function: writes the n_obs observables implied by the nv model
 * variables `vars` (states then controls, in levels) to out[0 .. n_obs).
 * It must write every entry, must not keep `vars`, and runs without the
 * Python interpreter lock. */
typedef void (*meas_fn)(const f64* vars, const f64* params, f64* out);

typedef struct ukf_inputs {
  meas_fn meas;              /* must not be null */
  const f64* hx;             /* ns x ns first-order state transition */
  const f64* gx;             /* nc x ns first-order control policy */
  const f64* bx;             /* ns x ne shock loading */
  const f64* hxx;            /* ns x ns x ns second derivatives of the transition */
  const f64* gxx;            /* nc x ns x ns second derivatives of the policy */
  const f64* hss;            /* ns constant second-order term of the transition */
  const f64* gss;            /* nc constant second-order term of the policy */
  const f64* steady_state;   /* nv levels, states first */
  const f64* params;         /* passed unchanged to meas; may be null */
  const f64* Q;              /* ne x ne shock covariance */
  const f64* R;              /* no x no measurement-error covariance */
  const f64* obs;            /* T x no observations */
  const f64* z0;             /* nz initial augmented state */
  const f64* P0;             /* nz x nz initial augmented covariance */
  i64 T;                     /* number of periods */
  i64 n_state;               /* ns */
  i64 n_ctrl;                /* nc */
  i64 n_exog;                /* ne */
  i64 n_obs;                 /* no */
  i64 n_params;              /* length of params; only passed through */
  f64 alpha;                 /* unscented spread */
  f64 beta;                  /* unscented prior-distribution parameter */
  f64 kappa;                 /* unscented secondary scaling */
  f64 jitter;                /* diagonal jitter for every factorisation */
  int symmetrize;            /* nonzero: symmetrise P_pred, S and P_filt */
  int store_history;         /* nonzero: fill the per-period history */
} ukf_inputs;

/* Row t of each history array holds period t. With store_history zero only
 * *loglik is written and the other pointers may be null. */
typedef struct ukf_outputs {
  f64* x1_pred;    /* T x ns        x1 part of z_pred */
  f64* x2_pred;    /* T x ns        x2 part of z_pred */
  f64* x1_filt;    /* T x ns        x1 part of z_filt */
  f64* x2_filt;    /* T x ns        x2 part of z_filt */
  f64* x_pred;     /* T x nv        model variables in levels at (z_pred, P_pred) */
  f64* x_filt;     /* T x nv        model variables in levels at (z_filt, P_filt) */
  f64* P_pred;     /* T x nz x nz   predicted covariance, with process noise */
  f64* P_filt;     /* T x nz x nz   filtered covariance */
  f64* y_pred;     /* T x no        predicted observables */
  f64* y_filt;     /* T x no        meas at row t of x_filt */
  f64* innov;      /* T x no        obs - y_pred */
  f64* std_innov;  /* T x no        L^-1 innov, S = L L^T */
  f64* S;          /* T x no x no   innovation covariance */
  f64* loglik;     /* one value */
} ukf_outputs;

/* Runs the unscented filter over periods 0 .. T-1 from (z0, P0). Returns
 * UKF_OK, UKF_ERR_INPUT or UKF_ERR_ALLOC (nothing written), or
 * UKF_ERR_NOT_PD: before any period when the sigma-point scale is unusable
 * (nothing written), otherwise with loglik and history holding the periods
 * before the failing one. */
ORV_API i64 ukf_hot_loop(const ukf_inputs* in, ukf_outputs* out);

ORV_END_C

#endif /* ORV_KALMAN_H */
