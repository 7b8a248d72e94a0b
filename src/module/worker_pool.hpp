// WorkerPool: a fixed set of std::threads that run the data-parallel loops of one call.
//
// Contract:
//  * `create(n)` starts exactly n workers; a failure to start them is an error value (never an
//    abort), and any workers already started are joined before it returns.
//  * `default_pool()` is the process-wide pool, created on first use with one worker per CPU the
//    process may run on (sched_getaffinity), or KORVEX_NUM_THREADS workers when that variable holds a
//    positive integer. After fork() the child forgets the parent's pool (its threads do not exist in
//    the child) and builds a fresh one on its next use.
//  * `run(n_tasks, fn)` calls fn(task, worker) once for every task in [0, n_tasks) on the workers and
//    returns when all have finished. The calling thread only waits. Concurrent `run` calls on one pool
//    are serialised. `fn` must not call `run` on the same pool.
//  * Tasks share read-only data and write disjoint outputs. For results that must not depend on the
//    thread count, partition by a fixed grain (parallel_for) and combine per-task partials in task
//    order.
//  * An exception escaping `fn` (only std::bad_alloc is expected) is rethrown by `run` in the caller
//    after every task has stopped.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

#include "error.hpp"

namespace korvex {

class WorkerPool {
 public:
  // Non-owning reference to a callable void(size_t task, size_t worker).
  class TaskFn {
   public:
    template <class F>
    TaskFn(F& f) : obj_(static_cast<void*>(&f)), call_(&invoke<F>) {}  // NOLINT(implicit)
    void operator()(std::size_t task, std::size_t worker) const { call_(obj_, task, worker); }

   private:
    template <class F>
    static void invoke(void* o, std::size_t task, std::size_t worker) {
      (*static_cast<F*>(o))(task, worker);
    }
    void* obj_;
    void (*call_)(void*, std::size_t, std::size_t);
  };

  static Result<std::unique_ptr<WorkerPool>> create(std::size_t n_threads);
  static Result<WorkerPool*> default_pool();
  // Number of workers the default pool has or will have (CPU affinity, or KORVEX_NUM_THREADS).
  static std::size_t default_size();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  ~WorkerPool();

  std::size_t size() const;

  void run(std::size_t n_tasks, TaskFn fn);

  // Splits [begin, end) into consecutive pieces of `grain` items (the last may be shorter) and calls
  // fn(lo, hi, worker) for each piece. The partition depends only on the range and the grain.
  template <class F>
  void parallel_for(std::size_t begin, std::size_t end, std::size_t grain, F&& fn) {
    if (end <= begin) return;
    if (grain == 0) grain = 1;
    const std::size_t n = end - begin;
    const std::size_t pieces = n / grain + (n % grain != 0);
    auto task = [&](std::size_t t, std::size_t worker) {
      const std::size_t lo = begin + t * grain;
      const std::size_t hi = (end - lo < grain) ? end : lo + grain;
      fn(lo, hi, worker);
    };
    run(pieces, TaskFn(task));
  }

  struct State;

 private:
  explicit WorkerPool(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace korvex

namespace korvex {

// The pool of one association scan: `threads` 0 borrows the default pool, N > 0 owns a dedicated
// pool of N workers for the call. A failure to build either is an OperationFailed error whose
// message is kScanPoolErrorPrefix followed by the pool's own error text.
inline constexpr const char* kScanPoolErrorPrefix = "thread pool: ";

struct ScanPool {
  std::unique_ptr<WorkerPool> owned;
  WorkerPool* pool = nullptr;
  WorkerPool& operator*() const { return *pool; }
  WorkerPool* operator->() const { return pool; }
};

Result<ScanPool> make_scan_pool(std::size_t threads);

}  // namespace korvex
