// The record of a filter's diffuse periods that the smoother's backward pass
// through them needs (kf_smoother_diffuse.h): written by the diffuse phase of
// kf_filter (kf_starts.h) as it runs the periods, when it is given a
// recorder. The filter keeps only the finite parts of those periods in its
// history, and how many periods are diffuse is known only once they have
// run, so the record grows period by period. Part of a filter variant
// (filters_variant.cpp).
#ifndef ORV_KF_DIFFUSE_RECORDS_H
#define ORV_KF_DIFFUSE_RECORDS_H

#include <cstdlib>

#include "scratch.h"

namespace ORV_VARIANT {

namespace {

// The layout of the record, one block per period, each `stride` values: the
// number of observed entries p, whether they were transformed, P_inf at the
// period's start (n^2), the factor of R's observed block (m^2, when
// transformed), then per entry z, M = P z^T, M_inf = P_inf z^T (n each) and
// v, F, F_inf, h and the update taken (1: diffuse).
struct diffuse_records {
  f64* base;
  i64 n, m;

  static i64 entry_size(i64 n) noexcept { return 3 * n + 5; }
  i64 stride() const noexcept { return 2 + n * n + m * m + m * entry_size(n); }
  f64* period(i64 t) const noexcept { return base + t * stride(); }
  f64* P_inf(i64 t) const noexcept { return period(t) + 2; }
  f64* factor(i64 t) const noexcept { return P_inf(t) + n * n; }
  f64* entry(i64 t, i64 a) const noexcept { return factor(t) + m * m + a * entry_size(n); }
};

// Owns the record's memory, grown as periods come, and frees it on every
// path out of the smoother.
class diffuse_recorder {
 public:
  diffuse_recorder(i64 n, i64 m) noexcept : records_{nullptr, n, m} {}
  ~diffuse_recorder() { std::free(records_.base); }
  diffuse_recorder(const diffuse_recorder&) = delete;
  diffuse_recorder& operator=(const diffuse_recorder&) = delete;

  // Room for periods 0 .. t; false when the memory cannot be had (the
  // record held so far stays).
  bool reserve_through(i64 t) noexcept {
    if (t < capacity_) return true;
    const i64 wanted = t + 1 > 2 * capacity_ ? t + 1 : 2 * capacity_;
    const i64 count = element_count({{wanted, records_.stride()}});
    if (count < 0) return false;
    void* grown = std::realloc(records_.base, static_cast<size_t>(count) * sizeof(f64));
    if (grown == nullptr) return false;
    records_.base = static_cast<f64*>(grown);
    capacity_ = wanted;
    return true;
  }

  const diffuse_records& records() const noexcept { return records_; }

 private:
  diffuse_records records_;
  i64 capacity_ = 0;  // periods the memory holds
};

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_DIFFUSE_RECORDS_H
