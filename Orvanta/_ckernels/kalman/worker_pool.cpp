// The kept helper threads (worker_pool.h). One call holds them at a time. It
// announces itself by a new generation number, which wakes the helpers; a
// helper then claims a seat in that call, runs the task and reports back.
// The caller, its own task done, closes the call to further claims and waits
// for the helpers that claimed a seat, so a helper still asleep costs the
// call nothing, and nothing of the call is touched once it has returned.
#include "worker_pool.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

namespace orv {

namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;
using steady = std::chrono::steady_clock;

// How long a helper that has finished watches for the next call before it
// sleeps, and a caller for its helpers to report: long enough to catch a
// caller that calls again from a loop, whose Python work between calls is
// a few microseconds, and a helper finishing its last piece of work; short
// enough that a process at rest leaves its processors alone.
constexpr auto kWatchBeforeSleeping = std::chrono::microseconds(200);

// A call's seats, in one word so that a helper reads the call and claims a
// seat in it at once: the call's generation in the high half, then the
// closed flag, the number of seats and the number claimed.
constexpr u64 kClosed = u64{1} << 31;
constexpr int kSeatBits = 15;
constexpr u64 kSeatMask = (u64{1} << kSeatBits) - 1;
constexpr i64 kMostHelpers = static_cast<i64>(kSeatMask);
// The helpers whose processors a caller chooses (see keep_helpers_off): as
// many as a processor mask holds.
constexpr int kPlacedHelpers = CPU_SETSIZE;

constexpr u64 open_seats(u32 generation, i64 seats) noexcept {
  return (u64{generation} << 32) | (static_cast<u64>(seats) << kSeatBits);
}
constexpr u32 generation_of(u64 seats) noexcept { return static_cast<u32>(seats >> 32); }
constexpr u64 seats_of(u64 seats) noexcept { return (seats >> kSeatBits) & kSeatMask; }
constexpr u64 claimed_of(u64 seats) noexcept { return seats & kSeatMask; }

struct pool_state {
  std::atomic<bool> held{false};
  // Read and written by the holder only.
  i64 helpers = 0;
  bool fork_handled = false;
  // The current call: task and context are written before its seats are
  // opened and read by a helper only once it holds a seat.
  std::atomic<u32> generation{0};
  std::atomic<u64> seats{0};
  std::atomic<u32> finished{0};
  void (*task)(void*) = nullptr;
  void* context = nullptr;
  // Whether the call narrowed its helpers' processors to wake them
  // (keep_helpers_off), and the caller's processors, which a helper takes
  // back once it holds a seat.
  bool placed = false;
  cpu_set_t processors = {};
  // The helpers' thread ids, each written by the helper as it starts.
  std::atomic<pid_t> helper_ids[kPlacedHelpers] = {};
};

// Never destroyed: helpers sleep on it until the process ends.
constinit pool_state pool;

// The threads asleep on a word of the pool, so that a change wakes them
// with a system call only when there are any. A sleeper counts itself
// before the kernel checks the word, a waker changes the word before it
// reads the count; with both in one total order, either the waker sees the
// sleeper or the sleeper's kernel call sees the change.
constinit std::atomic<int> sleepers{0};
static_assert(sizeof(std::atomic<u32>) == 4 && std::atomic<u32>::is_always_lock_free,
              "the kernel reads a pool word as a 32-bit integer");

void sleep_while(const std::atomic<u32>& word, u32 value) noexcept {
  sleepers.fetch_add(1, std::memory_order_seq_cst);
  syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
  sleepers.fetch_sub(1, std::memory_order_relaxed);
}

// After a change of word made with std::memory_order_seq_cst.
void wake_sleepers(std::atomic<u32>& word) noexcept {
  if (sleepers.load(std::memory_order_seq_cst) > 0)
    syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Returns once done(word) holds, watching the word for a while and then
// sleeping until it changes.
template <class Done>
void watch_then_sleep(const std::atomic<u32>& word, Done done) noexcept {
  const steady::time_point sleep_after = steady::now() + kWatchBeforeSleeping;
  for (u32 value = word.load(std::memory_order_acquire); !done(value);
       value = word.load(std::memory_order_acquire)) {
    if (steady::now() < sleep_after)
      relax();
    else
      sleep_while(word, value);
  }
}

bool claim_seat(u32 generation) noexcept {
  u64 seats = pool.seats.load(std::memory_order_acquire);
  while (generation_of(seats) == generation && !(seats & kClosed) &&
         claimed_of(seats) < seats_of(seats)) {
    if (pool.seats.compare_exchange_weak(seats, seats + 1, std::memory_order_acq_rel,
                                         std::memory_order_acquire))
      return true;
  }
  return false;
}

[[noreturn]] void serve_calls(i64 index, u32 seen) noexcept {
  if (index < kPlacedHelpers) pool.helper_ids[index].store(gettid(), std::memory_order_relaxed);
  for (;;) {
    watch_then_sleep(pool.generation, [seen](u32 generation) { return generation != seen; });
    seen = pool.generation.load(std::memory_order_acquire);
    if (!claim_seat(seen)) continue;
    // widened again, a helper stays where it was woken
    if (pool.placed) sched_setaffinity(0, sizeof pool.processors, &pool.processors);
    pool.task(pool.context);
    pool.finished.fetch_add(1, std::memory_order_seq_cst);
    wake_sleepers(pool.finished);
  }
}

// A forked child has the parent's memory but none of its helpers.
void forget_helpers() noexcept {
  for (std::atomic<pid_t>& id : pool.helper_ids) id.store(0, std::memory_order_relaxed);
  pool.helpers = 0;
  pool.seats.store(0, std::memory_order_relaxed);
  pool.held.store(false, std::memory_order_relaxed);
  sleepers.store(0, std::memory_order_relaxed);
}

// Starts helpers until `wanted` are kept, each waiting for the call after
// `generation`; stops at the first the system refuses. Helpers take none of
// the process's signals, which are the interpreter's to handle.
void start_helpers(i64 wanted, u32 generation) noexcept {
  if (!pool.fork_handled) {
    if (pthread_atfork(nullptr, nullptr, forget_helpers) != 0) return;
    pool.fork_handled = true;
  }
  sigset_t all, previous;
  sigfillset(&all);
  if (pthread_sigmask(SIG_SETMASK, &all, &previous) != 0) return;
  try {
    for (; pool.helpers < wanted; ++pool.helpers)
      std::thread([index = pool.helpers, generation] { serve_calls(index, generation); })
          .detach();
  } catch (const std::exception&) {
    // no room for another thread: the call goes on with those kept
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

// Lets the helpers run on the caller's processors but `cpu`, the one it runs
// on, until each takes a seat and the caller's processors back (serve_calls).
// Linux may wake a thread beside its waker, though another processor is
// idle: it did so after a JAX computation in the same process, and the
// helper then waited for the caller or took turns with it until the
// scheduler next balanced the load, milliseconds later (two threads of a
// call at (4,2,2) gave 0.8x to 1.0x one thread's throughput). A helper that
// is running already is elsewhere, or is moved. Returns whether it did so.
bool keep_helpers_off(int cpu) noexcept {
  if (cpu < 0 || sched_getaffinity(0, sizeof pool.processors, &pool.processors) != 0 ||
      !CPU_ISSET(cpu, &pool.processors) || CPU_COUNT(&pool.processors) < 2)
    return false;
  cpu_set_t elsewhere = pool.processors;
  CPU_CLR(cpu, &elsewhere);
  for (i64 i = 0; i < std::min<i64>(pool.helpers, kPlacedHelpers); ++i)
    if (const pid_t id = pool.helper_ids[i].load(std::memory_order_relaxed); id != 0)
      sched_setaffinity(id, sizeof elsewhere, &elsewhere);
  return true;
}

void run_on_kept_helpers(i64 helpers, void (*task)(void*), void* context) noexcept {
  const u32 before = pool.generation.load(std::memory_order_relaxed);
  start_helpers(helpers, before);
  const i64 seats = std::min(helpers, pool.helpers);
  pool.task = task;
  pool.context = context;
  pool.finished.store(0, std::memory_order_relaxed);
  pool.placed = sleepers.load(std::memory_order_seq_cst) > 0 && keep_helpers_off(sched_getcpu());
  pool.seats.store(open_seats(before + 1, seats), std::memory_order_release);
  pool.generation.store(before + 1, std::memory_order_seq_cst);
  wake_sleepers(pool.generation);
  task(context);
  const u64 claimed = claimed_of(pool.seats.fetch_or(kClosed, std::memory_order_acq_rel));
  watch_then_sleep(pool.finished, [claimed](u32 finished) { return finished == claimed; });
}

// For a call made while another holds the kept helpers.
void run_on_new_threads(i64 helpers, void (*task)(void*), void* context) noexcept {
  std::vector<std::thread> started;
  try {
    started.reserve(static_cast<std::size_t>(helpers));
    // a lambda of this file, so that no type of std::thread is exported
    for (i64 i = 0; i < helpers; ++i) started.emplace_back([task, context] { task(context); });
  } catch (const std::exception&) {
    // no room for more threads: the ones started and the caller share the work
  }
  task(context);
  for (std::thread& thread : started) thread.join();
}

}  // namespace

void run_on_worker_threads(i64 threads, void (*task)(void*), void* context) noexcept {
  const i64 helpers = std::min(threads - 1, kMostHelpers);
  if (helpers <= 0) {
    task(context);
  } else if (pool.held.exchange(true, std::memory_order_acquire)) {
    run_on_new_threads(helpers, task, context);
  } else {
    run_on_kept_helpers(helpers, task, context);
    pool.held.store(false, std::memory_order_release);
  }
}

}  // namespace orv
