/* Measurement functions with the signature ukf_hot_loop calls,
 *   void f(const double* vars, const double* params, double* out),
 * built as a plain shared library so that tests can pass their addresses. */
#include <math.h>

/* out = Z vars + c, with params = [nv, no, Z (no x nv, row-major), c (no)]. */
void meas_affine(const double* vars, const double* params, double* out) {
  const int nv = (int)params[0];
  const int no = (int)params[1];
  const double* Z = params + 2;
  const double* c = Z + no * nv;
  for (int i = 0; i < no; ++i) {
    double s = c[i];
    for (int j = 0; j < nv; ++j) s += Z[i * nv + j] * vars[j];
    out[i] = s;
  }
}

/* Three model variables to two observables; params is not read (may be null). */
void meas_curved(const double* vars, const double* params, double* out) {
  (void)params;
  out[0] = exp(0.3 * vars[0]) + vars[1] * vars[2];
  out[1] = sin(vars[2]) - 0.5 * vars[0] * vars[0] + vars[1];
}
