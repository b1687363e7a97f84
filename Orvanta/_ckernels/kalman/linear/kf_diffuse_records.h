// The record of a filter's diffuse periods that the smoother's backward pass
// through them needs (kf_smoother_diffuse.h): written by the diffuse phase of
// kf_filter (kf_filter.h) as it runs the periods, when it is given a
// recorder. The filter keeps only the finite parts of those periods in its
// history, and how many periods are diffuse is known only once they have
// run, so the record grows period by period. Part of a filter variant
// (filters_variant_linear.cpp).
#ifndef ORV_KF_DIFFUSE_RECORDS_H
#define ORV_KF_DIFFUSE_RECORDS_H

#include <cstdlib>

#include "../filter_support.h"
#include "../scratch.h"

namespace ORV_VARIANT {

namespace {

// One observed entry of a diffuse period, as recorded: its row z, the
// vectors M = P z^T and M_inf = P_inf z^T, its innovation v, variances F and
// F_inf, measurement variance h, and whether it took the diffuse update.
struct diffuse_entry {
  const f64 *z, *M, *M_inf;
  f64 v, F, F_inf, h;
  bool diffuse;

  static constexpr i64 size(i64 n) noexcept { return 3 * n + 5; }

  // The entry stored at e (size(n) values).
  static diffuse_entry at(const f64* e, i64 n) noexcept {
    return {e, e + n, e + 2 * n, e[3 * n], e[3 * n + 1], e[3 * n + 2], e[3 * n + 3],
            e[3 * n + 4] != 0.0};
  }

  // Stores the entry at e, as `at` reads it.
  void store(f64* e, i64 n) const noexcept {
    copy_values(e, z, n);
    copy_values(e + n, M, n);
    copy_values(e + 2 * n, M_inf, n);
    e[3 * n] = v;
    e[3 * n + 1] = F;
    e[3 * n + 2] = F_inf;
    e[3 * n + 3] = h;
    e[3 * n + 4] = diffuse ? 1.0 : 0.0;
  }
};

// The layout of the record, one block per period, each `stride` values: the
// number of observed entries p, whether they were transformed, P_inf at the
// period's start (n^2), the factor of R's observed block (m^2, when
// transformed), then the entries (diffuse_entry::size(n) values each).
struct diffuse_records {
  f64* base;
  i64 n, m;

  i64 stride() const noexcept { return 2 + n * n + m * m + m * diffuse_entry::size(n); }
  f64* period(i64 t) const noexcept { return base + t * stride(); }
  i64 observed(i64 t) const noexcept { return static_cast<i64>(period(t)[0]); }
  bool transformed(i64 t) const noexcept { return period(t)[1] != 0.0; }
  f64* P_inf(i64 t) const noexcept { return period(t) + 2; }
  f64* factor(i64 t) const noexcept { return P_inf(t) + n * n; }
  f64* entry(i64 t, i64 a) const noexcept {
    return factor(t) + m * m + a * diffuse_entry::size(n);
  }

  // Period t's part before its entries: p observed entries, transformed by
  // `factor` (p x p) unless it is null, and P_inf as the period starts.
  void store_period_start(i64 t, i64 p, const f64* factor_in, const f64* P_inf_in) const noexcept {
    period(t)[0] = static_cast<f64>(p);
    period(t)[1] = factor_in != nullptr ? 1.0 : 0.0;
    copy_values(P_inf(t), P_inf_in, n * n);
    if (factor_in != nullptr) copy_values(factor(t), factor_in, p * p);
  }
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
