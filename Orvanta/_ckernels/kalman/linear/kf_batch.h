// kf_loglik_batch: the log-likelihood of many independent draws of a linear
// model. Draws that share their pattern of missing observations are filtered
// a block at a time, side by side in vector lanes (kf_batch_periods.h); a draw
// left alone in its block runs kf_filter itself. Each lane takes one draw's
// operations of kf_filter in their order, so every draw gets the bits it gets
// alone, whatever block, lane or thread it ran in. Part of a filter variant
// (filters_variant_batch.cpp).
#ifndef ORV_KF_BATCH_H
#define ORV_KF_BATCH_H

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <exception>
#include <limits>
#include <vector>

#include "kf_batch_periods.h"
#include "kf_stationary_cov.h"
#include "../worker_threads.h"

namespace ORV_VARIANT {

namespace {

// Draw i's values of a batched array (null stays null).
inline const f64* draw_values(const kf_batch_array& a, i64 draw) noexcept {
  return a.data != nullptr ? a.data + draw * a.draw_step : nullptr;
}

// ---- which draws run together --------------------------------------------------------

// The draws in the order they are shared out, those with the same missing
// observations next to each other, and the blocks cut from it: each up to
// kDrawLanes consecutive entries with one pattern.
struct batch_plan {
  std::vector<i64> order;
  struct block {
    i64 first, count;
  };
  std::vector<block> blocks;
};

// Whether the T x m observations a and b miss the same entries.
bool same_missing(const f64* a, const f64* b, i64 values) noexcept {
  for (i64 e = 0; e < values; ++e)
    if ((a[e] != a[e]) != (b[e] != b[e])) return false;
  return true;
}

// A hash of which of the values are missing (FNV-1a over their positions).
std::uint64_t missing_key(const f64* y, i64 values) noexcept {
  std::uint64_t key = 14695981039346656037ull;
  for (i64 e = 0; e < values; ++e)
    if (y[e] != y[e]) key = (key ^ static_cast<std::uint64_t>(e)) * 1099511628211ull;
  return key;
}

// Cuts order[first, last), draws of one pattern, into blocks.
void cut_into_blocks(batch_plan& plan, i64 first, i64 last) {
  for (i64 b = first; b < last; b += kDrawLanes)
    plan.blocks.push_back({b, std::min<i64>(kDrawLanes, last - b)});
}

// The plan for the N draws: with shared observations one pattern; with a
// sample per draw, the draws grouped by pattern (sorted by its hash, and cut
// wherever two neighbours differ, so that a collision only splits a group).
// Throws std::bad_alloc.
batch_plan plan_blocks(const kf_batch_inputs& in) {
  batch_plan plan;
  plan.order.resize(static_cast<std::size_t>(in.N));
  for (i64 i = 0; i < in.N; ++i) plan.order[i] = i;
  const i64 values = in.T * in.m;
  if (in.y.draw_step == 0 || values == 0) {
    cut_into_blocks(plan, 0, in.N);
    return plan;
  }
  std::vector<std::uint64_t> key(static_cast<std::size_t>(in.N));
  for (i64 i = 0; i < in.N; ++i) key[i] = missing_key(draw_values(in.y, i), values);
  std::sort(plan.order.begin(), plan.order.end(), [&](i64 a, i64 b) {
    return key[a] != key[b] ? key[a] < key[b] : a < b;
  });
  i64 first = 0;
  for (i64 i = 1; i <= in.N; ++i) {
    if (i < in.N && same_missing(draw_values(in.y, plan.order[first]),
                                 draw_values(in.y, plan.order[i]), values))
      continue;
    cut_into_blocks(plan, first, i);
    first = i;
  }
  return plan;
}

// The index in y (draw, period and entry flattened) of its first infinity,
// or -1.
i64 first_infinite_observation(const kf_batch_inputs& in) noexcept {
  const i64 values = in.T * in.m;
  const i64 samples = in.y.draw_step == 0 ? 1 : in.N;
  for (i64 i = 0; i < samples && values > 0; ++i) {
    const f64* y = draw_values(in.y, i);
    for (i64 e = 0; e < values; ++e)
      if (std::isinf(y[e])) return i * values + e;
  }
  return -1;
}

// ---- one thread's scratch -------------------------------------------------------------

// What one thread needs for any block: the block's arrays in lanes, and one
// draw's set-up (B Q B^T, the stationary covariance) and single run.
struct batch_scratch {
  lane_scratch lanes;
  f64* temp_nk;   // n k
  f64* bqbt;      // n^2  one draw's B Q B^T
  f64* P_start;   // n^2  its stationary covariance
  f64* Ak;        // n^2  scratch of stationary_cov
  f64* Ak_next;   // n^2
  f64* temp;      // n^2
  f64* P_next;    // n^2
  f64* loglik_t;  // T    the terms kf_filter writes for a single draw
  i64* observed;  // m    the observed entries of a period
};

// Its layout (see scratch.h). The regions start on a whole vector of lanes,
// so that no load of one splits a cache line.
template <class Regions>
batch_scratch batch_scratch_regions(Regions& r, const kf_batch_inputs& in) noexcept {
  const i64 n = in.n;
  batch_scratch s{};
  r.align(kDrawLanes);
  s.lanes = lane_scratch_regions(r, n, in.m);
  s.temp_nk = r.take(n, in.k);
  s.bqbt = r.take(n, n);
  s.P_start = r.take(n, n);
  s.Ak = r.take(n, n);
  s.Ak_next = r.take(n, n);
  s.temp = r.take(n, n);
  s.P_next = r.take(n, n);
  s.loglik_t = r.take(in.T);
  s.observed = reinterpret_cast<i64*>(r.take(in.m));
  return s;
}

// Values of a thread's scratch block, -1 when the sizes do not describe one.
i64 batch_scratch_elements(const kf_batch_inputs& in) noexcept {
  return layout_elements([&](auto& r) { batch_scratch_regions(r, in); });
}

// ---- a draw alone ---------------------------------------------------------------------

// Draw i through kf_filter, as a caller with that draw alone would run it.
// Returns KF_OK with its log-likelihood and status written, or a status
// that fails the whole call (KF_ERR_ALLOC).
int run_single_draw(const kf_batch_inputs& in, const batch_scratch& w, i64 draw,
                    const kf_batch_outputs& out) noexcept {
  kf_filter_inputs fin{};
  kf_inputs& model = fin.model;
  model.n = in.n;
  model.m = in.m;
  model.k = in.k;
  model.T = in.T;
  model.A = draw_values(in.A, draw);
  model.B = draw_values(in.B, draw);
  model.C = draw_values(in.C, draw);
  model.d = draw_values(in.d, draw);
  model.Q = draw_values(in.Q, draw);
  model.R = draw_values(in.R, draw);
  model.y = draw_values(in.y, draw);
  model.x0 = draw_values(in.x0, draw);
  model.P0 = in.init == KF_INIT_KNOWN ? draw_values(in.P0, draw) : nullptr;
  model.symmetrize = in.symmetrize;
  model.jitter = in.jitter;
  fin.init = in.init;
  fin.steady_state_tol = in.steady_state_tol;
  f64 loglik = 0.0;
  kf_filter_outputs fout{};
  fout.history.loglik = &loglik;
  fout.loglik_t = w.loglik_t;
  const int status = ORV_VARIANT::kf_filter(&fin, &fout);
  if (status != KF_OK && status != KF_ERR_NOT_PD && status != KF_ERR_NOT_STATIONARY)
    return status;
  out.loglik[draw] = status == KF_OK ? loglik : -std::numeric_limits<f64>::infinity();
  out.status[draw] = status;
  return KF_OK;
}

// ---- a block in lanes -------------------------------------------------------------------

// Lane `lane` of a block array of `count` elements = values[0 .. count).
inline void put_lane(f64* block, i64 count, int lane, const f64* values) noexcept {
  for (i64 e = 0; e < count; ++e) block[e * kDrawLanes + lane] = values[e];
}

// Every lane from `from` on of a block array of `count` elements = lane 0.
inline void copy_lane_zero(f64* block, i64 count, int from) noexcept {
  for (i64 e = 0; e < count; ++e)
    for (int l = from; l < kDrawLanes; ++l) block[e * kDrawLanes + l] = block[e * kDrawLanes];
}

// Lane `lane` takes draw i: its model and the moments it starts from, as
// kf_filter sets them up (B Q B^T by kf_build_bqbt, the stationary covariance
// by stationary_cov). Returns the draw's status so far: KF_OK, or
// KF_ERR_NOT_STATIONARY (the lane then starts from B Q B^T, and its results
// are not used).
int set_up_lane(const kf_batch_inputs& in, const batch_scratch& w, int lane, i64 draw) noexcept {
  const i64 n = in.n, m = in.m;
  const lane_scratch& s = w.lanes;
  kf_build_bqbt(draw_values(in.B, draw), draw_values(in.Q, draw), w.temp_nk, w.bqbt, n, in.k);
  put_lane(s.BQBT, n * n, lane, w.bqbt);
  put_lane(s.A, n * n, lane, draw_values(in.A, draw));
  put_lane(s.C, m * n, lane, draw_values(in.C, draw));
  put_lane(s.d, m, lane, draw_values(in.d, draw));
  put_lane(s.R, m * m, lane, draw_values(in.R, draw));
  const f64* x0 = draw_values(in.x0, draw);
  for (i64 i = 0; i < n; ++i) s.x[i * kDrawLanes + lane] = x0 != nullptr ? x0[i] : 0.0;
  if (in.init == KF_INIT_KNOWN) {
    put_lane(s.P, n * n, lane, draw_values(in.P0, draw));
    return KF_OK;
  }
  const bool stable = stationary_cov(draw_values(in.A, draw), w.bqbt, w.P_start, w.Ak,
                                     w.Ak_next, w.temp, w.P_next, n);
  put_lane(s.P, n * n, lane, stable ? w.P_start : w.bqbt);
  return stable ? static_cast<int>(KF_OK) : static_cast<int>(KF_ERR_NOT_STATIONARY);
}

// The lanes past a block's draws repeat lane 0, so that they compute values
// like the others; their results are dropped.
void fill_spare_lanes(const lane_scratch& s, i64 n, i64 m, int used) noexcept {
  if (used >= kDrawLanes) return;
  copy_lane_zero(s.A, n * n, used);
  copy_lane_zero(s.BQBT, n * n, used);
  copy_lane_zero(s.C, m * n, used);
  copy_lane_zero(s.d, m, used);
  copy_lane_zero(s.R, m * m, used);
  copy_lane_zero(s.x, n, used);
  copy_lane_zero(s.P, n * n, used);
}

// The frozen moments of every lane = 0: the lanes that never freeze (spare,
// failed) compute from them, their results dropped, in the periods where
// all the others are frozen.
void clear_frozen_moments(const lane_scratch& s, i64 n, i64 m) noexcept {
  const auto clear = [](f64* p, i64 count) {
    for (i64 i = 0; i < count * kDrawLanes; ++i) p[i] = 0.0;
  };
  clear(s.frozen_L, m * m);
  clear(s.frozen_KT, m * n);
  clear(s.frozen_P, n * n);
  clear(s.frozen_term, 1);
}

// The block's draws[0 .. count), 2 <= count <= kDrawLanes, which miss the
// same observations, filtered in lanes; writes their log-likelihoods and
// statuses.
void run_lane_block(const kf_batch_inputs& in, const batch_scratch& w, const i64* draws,
                    int count, const kf_batch_outputs& out) noexcept {
  lane_run r{in.n, in.m, in.T, in.symmetrize != 0, in.jitter, w.lanes, {}, w.observed,
             in.steady_state_tol};
  int status[kDrawLanes];
  unsigned active = 0;  // the lanes of draws still running
  for (int l = 0; l < count; ++l) {
    status[l] = set_up_lane(in, w, l, draws[l]);
    r.y[l] = draw_values(in.y, draws[l]);
    if (status[l] == KF_OK) active |= 1u << l;
  }
  fill_spare_lanes(r.s, in.n, in.m, count);
  for (int l = count; l < kDrawLanes; ++l) r.y[l] = r.y[0];
  if (in.steady_state_tol > 0.0) clear_frozen_moments(r.s, in.n, in.m);

  draw_lanes loglik = draw_lanes::zero();
  run_lane_periods_sized(r, active, status, loglik);

  alignas(64) f64 totals[kDrawLanes];
  loglik.store(totals);
  for (int l = 0; l < count; ++l) {
    out.loglik[draws[l]] =
        status[l] == KF_OK ? totals[l] : -std::numeric_limits<f64>::infinity();
    out.status[draws[l]] = status[l];
  }
}

}  // namespace

int kf_loglik_batch(const kf_batch_inputs* in, kf_batch_outputs* out) {
  out->where = -1;
  if ((in->init != KF_INIT_KNOWN && in->init != KF_INIT_STATIONARY) || in->N < 0 ||
      in->threads < 1)
    return KF_ERR_INPUT;
  if (in->init == KF_INIT_KNOWN && in->n > 0 && in->N > 0 &&
      (in->x0.data == nullptr || in->P0.data == nullptr))
    return KF_ERR_INPUT;
  const i64 elements = batch_scratch_elements(*in);
  if (elements < 0) return KF_ERR_ALLOC;
  out->where = first_infinite_observation(*in);
  if (out->where >= 0) return KF_ERR_INFINITE_OBS;

  batch_plan plan;
  try {
    plan = plan_blocks(*in);
  } catch (const std::exception&) {
    return KF_ERR_ALLOC;
  }
  const i64 blocks = static_cast<i64>(plan.blocks.size());
  const i64 threads = useful_threads(in->threads, blocks);
  // Every thread's scratch is taken here, by the caller, in one block: no
  // thread can then fail for want of memory, and none needs a heap arena of
  // its own.
  scratch_block block(element_count({{elements, threads}}));
  if (!block) return KF_ERR_ALLOC;
  std::atomic<i64> next_thread{0}, next_block{0};
  std::atomic<int> failure{KF_OK};
  auto work = [&] {
    const i64 thread = next_thread.fetch_add(1, std::memory_order_relaxed);
    region_carver regions(block.data() + thread * elements, elements);
    const batch_scratch w = batch_scratch_regions(regions, *in);
    while (failure.load(std::memory_order_relaxed) == KF_OK) {
      const i64 b = next_block.fetch_add(1, std::memory_order_relaxed);
      if (b >= blocks) return;
      const batch_plan::block& blk = plan.blocks[b];
      const i64* draws = plan.order.data() + blk.first;
      if (blk.count > 1) {
        run_lane_block(*in, w, draws, static_cast<int>(blk.count), *out);
      } else {
        const int status = run_single_draw(*in, w, draws[0], *out);
        if (status != KF_OK) failure.store(status);
      }
    }
  };
  run_on_threads(threads, work);
  return failure.load();
}

}  // namespace ORV_VARIANT

#endif  // ORV_KF_BATCH_H
