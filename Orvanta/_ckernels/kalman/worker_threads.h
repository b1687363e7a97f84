// Several threads running one body at once, the calling thread among them,
// for work that the body takes item by item from a shared counter. Part of a
// filter variant (filters_variant_batch.cpp).
#ifndef ORV_WORKER_THREADS_H
#define ORV_WORKER_THREADS_H

#include <sched.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

#include "../_common/orv_common.h"

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
// every one has returned; threads = 1 starts none. A thread the system
// refuses to start is done without, so body must take its work from a
// counter it shares with the others: whoever runs finishes the work.
template <class Body>
void run_on_threads(i64 threads, Body& body) noexcept {
  std::vector<std::thread> started;
  try {
    started.reserve(static_cast<std::size_t>(threads - 1));
    for (i64 i = 1; i < threads; ++i) started.emplace_back([&body] { body(); });
  } catch (const std::exception&) {
    // no room for more threads: the ones started and the caller share the work
  }
  body();
  for (std::thread& thread : started) thread.join();
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_WORKER_THREADS_H
