// Several threads running one body at once, the calling thread among them,
// for work that the body takes item by item from a shared counter. Part of a
// filter variant (filters_variant_batch.cpp); the threads are worker_pool's.
#ifndef ORV_WORKER_THREADS_H
#define ORV_WORKER_THREADS_H

#include <sched.h>

#include <algorithm>
#include <thread>

#include "../_common/orv_common.h"
#include "worker_pool.h"

namespace ORV_VARIANT {

namespace {

// The threads worth running for `items` pieces of work when `requested` are
// asked for: no more than the pieces, nor than the processors this process
// may run on (its affinity mask), since more only share the same cores and
// each takes its own scratch.
inline i64 useful_threads(i64 requested, i64 items) noexcept {
  i64 threads = std::min(requested, std::max<i64>(items, 1));
  if (threads <= 1) return 1;
  cpu_set_t allowed;
  i64 processors = 0;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) processors = CPU_COUNT(&allowed);
  if (processors <= 0) processors = static_cast<i64>(std::thread::hardware_concurrency());
  return processors > 0 ? std::min(threads, processors) : threads;
}

// Runs body() on `threads` threads, the caller's included, and returns once
// every one has returned (worker_pool.h); threads = 1 runs it on the caller
// alone. A thread that cannot be had is done without, so body must take its
// work from a counter it shares with the others: whoever runs finishes it.
template <class Body>
void run_on_threads(i64 threads, Body& body) noexcept {
  orv::run_on_worker_threads(
      threads, [](void* context) { (*static_cast<Body*>(context))(); }, &body);
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_WORKER_THREADS_H
