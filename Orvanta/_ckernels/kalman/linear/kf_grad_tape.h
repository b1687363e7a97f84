// The forward pass of kf_loglik_grad: kf_filter itself, run with its history
// stored into a tape that the backward pass reads. Storing the history
// changes where the filtered moments are written, never a sum, so the
// log-likelihood has the bits of the same call without history. Part of a
// filter variant (filters_variant_linear.cpp).
#ifndef ORV_KF_GRAD_TAPE_H
#define ORV_KF_GRAD_TAPE_H

#include "kf_filter.h"

namespace ORV_VARIANT {

namespace {

// The history arrays of every period: the moments the adjoint of a period
// starts from (x_pred, P_pred and, for the period after, x_filt and P_filt),
// the innovations and S. y_pred, y_filt and std_innov are written by the
// filter alongside and not read back.
struct kf_tape {
  kf_outputs history;
  f64* loglik_t;  // T
};

// Its layout (see scratch.h): T (2 n + 4 m + 2 n^2 + m^2 + 1) values. The
// log-likelihood goes to *loglik.
template <class Regions>
kf_tape kf_tape_regions(Regions& r, i64 n, i64 m, i64 T, f64* loglik) noexcept {
  kf_tape tape{};
  kf_outputs& h = tape.history;
  h.x_pred = r.take(T, n);
  h.x_filt = r.take(T, n);
  h.P_pred = r.take(T, n, n);
  h.P_filt = r.take(T, n, n);
  h.y_pred = r.take(T, m);
  h.y_filt = r.take(T, m);
  h.innov = r.take(T, m);
  h.std_innov = r.take(T, m);
  h.S = r.take(T, m, m);
  h.eps_hat = nullptr;
  h.loglik = loglik;
  tape.loglik_t = r.take(T);
  return tape;
}

// Runs kf_filter over the whole sample into the tape; returns its status,
// with its `where` and the number of diffuse periods in *where and *periods.
int kf_record_tape(const kf_filter_inputs& fin, const kf_tape& tape, i64* where,
                   i64* periods) noexcept {
  kf_filter_inputs recorded = fin;
  recorded.model.store_history = 1;
  recorded.model.return_shocks = 0;
  kf_filter_outputs fout{};
  fout.history = tape.history;
  fout.loglik_t = tape.loglik_t;
  const int status = kf_filter_recording(&recorded, &fout, nullptr);
  *where = fout.where;
  *periods = fout.diffuse_periods;
  return status;
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_GRAD_TAPE_H
