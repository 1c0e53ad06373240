#include "ivf_rabitq/common/parallel.hpp"

#include <sched.h>

#include <memory>
#include <mutex>
#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

namespace ivf_rabitq::parallel {

namespace {

thread_local Executor* t_executor = nullptr;
// Arena override installed by with_threads() for the calling thread.
thread_local tbb::task_arena* t_arena = nullptr;

tbb::task_arena& main_arena() {
  // Created lazily at the first parallel operation; never destroyed (no exit hook).
  static tbb::task_arena* arena = [] {
    auto* a = new tbb::task_arena(static_cast<int>(affinity_cpus()));
    a->initialize();
    return a;
  }();
  return *arena;
}

tbb::task_arena& current_arena() {
  if (t_arena) return *t_arena;
  return main_arena();
}

}  // namespace

Executor* thread_executor() { return t_executor; }
void set_thread_executor(Executor* ex) { t_executor = ex; }

size_t affinity_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  return 1;
}

size_t num_threads() {
  if (t_executor) return t_executor->concurrency();
  if (tbb::this_task_arena::current_thread_index() != tbb::task_arena::not_initialized)
    return static_cast<size_t>(tbb::this_task_arena::max_concurrency());
  if (t_arena) return static_cast<size_t>(t_arena->max_concurrency());
  return affinity_cpus();
}

void with_threads(size_t threads, const std::function<void()>& fn) {
  if (threads == 0) threads = 1;
  tbb::task_arena arena(static_cast<int>(threads));
  tbb::task_arena* prev = t_arena;
  Executor* prev_ex = t_executor;
  t_executor = nullptr;
  t_arena = &arena;
  struct Restore {
    tbb::task_arena* a;
    Executor* e;
    ~Restore() {
      t_arena = a;
      t_executor = e;
    }
  } restore{prev, prev_ex};
  arena.execute([&] {
    // Worker threads of this arena read t_arena too when they start nested loops.
    fn();
  });
}

void isolate(const std::function<void()>& fn) {
  // A thread with its own executor (a maintenance worker) never enters TBB; its executor
  // only ever runs the waiting loop's own tasks, so there is nothing to isolate from.
  if (t_executor) {
    fn();
    return;
  }
  tbb::this_task_arena::isolate([&] { fn(); });
}

void for_chunks(size_t n, size_t chunk, const std::function<void(size_t, size_t)>& body) {
  if (n == 0) return;
  if (chunk == 0) chunk = 1;
  size_t nchunks = (n + chunk - 1) / chunk;
  auto run_chunk = [&](size_t c) {
    size_t b = c * chunk;
    size_t e = (n - b > chunk) ? b + chunk : n;
    body(b, e);
  };
  if (nchunks == 1) {
    run_chunk(0);
    return;
  }
  if (Executor* ex = t_executor) {
    ex->run(nchunks, run_chunk);
    return;
  }
  auto loop = [&] {
    tbb::parallel_for(tbb::blocked_range<size_t>(0, nchunks, 1),
                      [&](const tbb::blocked_range<size_t>& r) {
                        for (size_t c = r.begin(); c != r.end(); ++c) run_chunk(c);
                      },
                      tbb::simple_partitioner());
  };
  if (tbb::this_task_arena::current_thread_index() != tbb::task_arena::not_initialized) {
    // Already inside an arena (a nested loop or a with_threads region): stay there.
    loop();
  } else {
    current_arena().execute(loop);
  }
}

void for_each(size_t n, size_t chunk, const std::function<void(size_t)>& body) {
  for_chunks(n, chunk, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) body(i);
  });
}

}  // namespace ivf_rabitq::parallel
