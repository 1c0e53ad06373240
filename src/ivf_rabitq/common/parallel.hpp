// The engine's only door to threads. Every data-parallel loop runs on the calling
// thread's pool: the process-wide oneTBB arena (sized from the CPU affinity mask), or an
// executor installed on the calling thread (the maintenance pool installs itself on its
// own threads). Chunking depends only on the sizes given, never on the thread count, and
// reductions fold per-chunk results sequentially in chunk order, so results never depend
// on the pool size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace ivf_rabitq::parallel {

// A pool that can run `n_tasks` independent tasks and wait for all of them. The calling
// thread must help run its own tasks so that nested loops cannot deadlock.
class Executor {
 public:
  virtual ~Executor() = default;
  virtual size_t concurrency() const = 0;
  virtual void run(size_t n_tasks, const std::function<void(size_t)>& task) = 0;
};

// Executor installed for loops started on this thread (nullptr: the TBB arena).
Executor* thread_executor();
void set_thread_executor(Executor* ex);

// Threads available to loops started on the calling thread.
size_t num_threads();
// CPUs in this process's affinity mask (at least 1).
size_t affinity_cpus();

// Runs fn() with loops of the calling thread on a dedicated pool of `threads` threads
// (a TBB arena of that concurrency). For tests comparing results across pool sizes and
// for benchmarks at a chosen thread count.
void with_threads(size_t threads, const std::function<void()>& fn);

// Runs fn() so that a waiting thread never picks up an unrelated outer task (use around
// parallel regions entered while holding locks).
void isolate(const std::function<void()>& fn);

// Calls body(begin, end) for consecutive chunks [b, e) of [0, n), each at most `chunk`
// long, possibly in parallel. chunk == 0 is treated as 1.
void for_chunks(size_t n, size_t chunk, const std::function<void(size_t, size_t)>& body);

// Calls body(i) for each i in [0, n), in parallel chunks of `chunk`.
void for_each(size_t n, size_t chunk, const std::function<void(size_t)>& body);

// out[i] = fn(i) for i in [0, n).
template <class T, class F>
std::vector<T> map(size_t n, size_t chunk, F&& fn) {
  std::vector<T> out(n);
  for_chunks(n, chunk, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) out[i] = fn(i);
  });
  return out;
}

// Per-chunk results of fn(begin, end), in chunk order.
template <class T, class F>
std::vector<T> map_chunks(size_t n, size_t chunk, F&& fn) {
  if (chunk == 0) chunk = 1;
  size_t nchunks = (n + chunk - 1) / chunk;
  std::vector<T> out(nchunks);
  for_chunks(nchunks, 1, [&](size_t cb, size_t ce) {
    for (size_t c = cb; c < ce; ++c) {
      size_t b = c * chunk;
      size_t e = b + chunk < n ? b + chunk : n;
      out[c] = fn(b, e);
    }
  });
  return out;
}

// Folds per-chunk partials sequentially in chunk order: result = combine(...combine(init, p0)..., pk).
template <class T, class F, class C>
T reduce_chunks(size_t n, size_t chunk, T init, F&& chunk_fn, C&& combine) {
  std::vector<T> parts = map_chunks<T>(n, chunk, chunk_fn);
  T acc = std::move(init);
  for (auto& p : parts) acc = combine(std::move(acc), std::move(p));
  return acc;
}

// Concatenates per-chunk vectors in chunk order (a parallel filter/collect).
template <class T, class F>
std::vector<T> collect_chunks(size_t n, size_t chunk, F&& chunk_fn) {
  std::vector<std::vector<T>> parts = map_chunks<std::vector<T>>(n, chunk, chunk_fn);
  size_t total = 0;
  for (auto& p : parts) total += p.size();
  std::vector<T> out;
  out.reserve(total);
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace ivf_rabitq::parallel
