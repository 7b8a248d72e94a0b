#include "worker_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace korvex {

struct WorkerPool::State {
  std::vector<std::thread> threads;

  std::mutex submit;  // serialises run() calls from different threads

  std::mutex m;
  std::condition_variable work_cv;
  std::condition_variable done_cv;
  std::uint64_t generation = 0;  // bumped for every job
  bool stop = false;

  // Current job (valid while busy_workers > 0 or the caller waits).
  const TaskFn* fn = nullptr;
  std::size_t n_tasks = 0;
  std::atomic<std::size_t> next_task{0};
  std::size_t busy_workers = 0;
  std::exception_ptr error;

  void worker_main(std::size_t id) {
    std::uint64_t seen = 0;
    for (;;) {
      const TaskFn* job;
      std::size_t n;
      {
        std::unique_lock lock(m);
        work_cv.wait(lock, [&] { return stop || generation != seen; });
        if (stop) return;
        seen = generation;
        job = fn;
        n = n_tasks;
      }
      for (;;) {
        const std::size_t t = next_task.fetch_add(1, std::memory_order_relaxed);
        if (t >= n) break;
        try {
          (*job)(t, id);
        } catch (...) {
          std::lock_guard lock(m);
          if (!error) error = std::current_exception();
          next_task.store(n, std::memory_order_relaxed);  // stop handing out tasks
        }
      }
      std::lock_guard lock(m);
      if (--busy_workers == 0) done_cv.notify_all();
    }
  }

  void shutdown() {
    {
      std::lock_guard lock(m);
      stop = true;
    }
    work_cv.notify_all();
    for (auto& t : threads)
      if (t.joinable()) t.join();
    threads.clear();
  }
};

WorkerPool::WorkerPool(std::unique_ptr<State> state) : state_(std::move(state)) {}

WorkerPool::~WorkerPool() {
  if (state_) state_->shutdown();
}

std::size_t WorkerPool::size() const { return state_->threads.size(); }

Result<std::unique_ptr<WorkerPool>> WorkerPool::create(std::size_t n_threads) {
  if (n_threads == 0) return operation_failed("number of threads must be at least 1");
  std::unique_ptr<State> state;
  try {
    state = std::make_unique<State>();
    state->threads.reserve(n_threads);
    for (std::size_t i = 0; i < n_threads; ++i) {
      State* s = state.get();
      state->threads.emplace_back([s, i] { s->worker_main(i); });
    }
  } catch (const std::system_error& e) {
    if (state) state->shutdown();
    return operation_failed(std::string("could not start worker thread: ") + e.what());
  } catch (const std::bad_alloc&) {
    if (state) state->shutdown();
    return operation_failed("could not start worker threads: out of memory");
  } catch (const std::length_error& e) {
    if (state) state->shutdown();
    return operation_failed(std::string("could not start worker threads: ") + e.what());
  }
  return std::unique_ptr<WorkerPool>(new WorkerPool(std::move(state)));
}

void WorkerPool::run(std::size_t n_tasks, TaskFn fn) {
  if (n_tasks == 0) return;
  State& s = *state_;
  std::lock_guard submit_lock(s.submit);
  std::exception_ptr error;
  {
    std::unique_lock lock(s.m);
    s.fn = &fn;
    s.n_tasks = n_tasks;
    s.next_task.store(0, std::memory_order_relaxed);
    s.busy_workers = s.threads.size();
    s.error = nullptr;
    ++s.generation;
    s.work_cv.notify_all();
    s.done_cv.wait(lock, [&] { return s.busy_workers == 0; });
    s.fn = nullptr;
    error = s.error;
    s.error = nullptr;
  }
  if (error) std::rethrow_exception(error);
}

// ---- the default pool ------------------------------------------------------------------------

namespace {

// Deliberately leaked: the pool lives until the process ends, and after fork() the child must not
// run the parent's destructor (its worker threads do not exist there).
WorkerPool* g_default = nullptr;
alignas(std::mutex) unsigned char g_default_mutex_storage[sizeof(std::mutex)];
std::mutex* g_default_mutex = new (g_default_mutex_storage) std::mutex;
std::once_flag g_atfork_once;

void child_after_fork() {
  // Only the forking thread survives: forget the parent's pool and make the lock usable again.
  g_default = nullptr;
  g_default_mutex = new (g_default_mutex_storage) std::mutex;
}

}  // namespace

std::size_t WorkerPool::default_size() {
  if (const char* env = std::getenv("KORVEX_NUM_THREADS")) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(env, &end, 10);
    if (end != env && *end == '\0' && v > 0 && v <= 4096) return static_cast<std::size_t>(v);
  }
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const unsigned hw = std::thread::hardware_concurrency();
  return hw > 0 ? hw : 1;
}

Result<WorkerPool*> WorkerPool::default_pool() {
  std::call_once(g_atfork_once, [] { pthread_atfork(nullptr, nullptr, child_after_fork); });
  std::lock_guard lock(*g_default_mutex);
  if (g_default == nullptr) {
    auto pool = create(default_size());
    if (!pool) return std::unexpected(pool.error());
    g_default = pool->release();
  }
  return g_default;
}

}  // namespace korvex

namespace korvex {

Result<ScanPool> make_scan_pool(std::size_t threads) {
  ScanPool result;
  if (threads == 0) {
    auto pool = WorkerPool::default_pool();
    if (!pool) return operation_failed(kScanPoolErrorPrefix + pool.error().message);
    result.pool = *pool;
    return result;
  }
  auto pool = WorkerPool::create(threads);
  if (!pool) return operation_failed(kScanPoolErrorPrefix + pool.error().message);
  result.owned = std::move(*pool);
  result.pool = result.owned.get();
  return result;
}

}  // namespace korvex
