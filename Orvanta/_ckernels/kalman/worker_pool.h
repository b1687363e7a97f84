// Helper threads kept for the calls that share their work out: started by
// the first call that asks for them, then parked between calls, so that a
// call of a millisecond does not pay for starting and joining a thread
// (tens of microseconds each on a virtual machine). Processor-independent;
// the variants reach it through worker_threads.h.
#ifndef ORV_WORKER_POOL_H
#define ORV_WORKER_POOL_H

#include "../_common/orv_common.h"

namespace orv {

// Runs task(context) on `threads` threads at once, the caller's among them,
// and returns once every one of them has returned; threads <= 1 runs it on
// the caller alone. The helpers are the kept ones; a call made while another
// holds them starts threads of its own, as does a call that needs more than
// are kept and cannot start more. A helper that cannot be had is done
// without, and one that wakes after the caller has returned from task skips
// the call, so task must take its work from a counter it shares with the
// others: whoever runs finishes the work. A forked child starts its own.
void run_on_worker_threads(i64 threads, void (*task)(void*), void* context) noexcept;

}  // namespace orv

#endif  // ORV_WORKER_POOL_H
