// The maintenance pool: a second, process-wide pool of named, lower-priority threads for
// long CPU-heavy jobs that run beside live queries (merging segments, background
// calibration). It is our own small pool of std::threads rather than a TBB arena: TBB
// shares one set of workers among all arenas, so a priority lowered on one of them would
// leak into search work. Each worker installs the pool as its thread's executor, so loops
// started inside a job (parallel::for_chunks and friends) run on the maintenance threads
// and never enter TBB.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ivf_rabitq/common/parallel.hpp"

namespace ivf_rabitq::maint {

// Settings read once when the process-wide pool is first used.
struct Config {
  int nice = 0;        // 0 .. 19; 0 leaves the workers' priority alone
  size_t threads = 1;  // at least 1
};

// TANDREL_MAINT_NICE: trimmed signed 32-bit decimal, clamped to 0 .. 19; 0 when unset,
// not UTF-8 or not a valid integer.
int parse_nice(const char* value);
// TANDREL_MAINT_THREADS: trimmed unsigned 32-bit decimal (no "-"); nullopt when unset, not
// UTF-8 or not a valid integer. 0 is returned as 0 (the caller treats it as unset).
std::optional<uint32_t> parse_threads(const char* value);
// max(min(n, 4), n / 4) with n taken as 1 when 0.
size_t default_threads(size_t pool_threads);
// The configuration from the two environment variables, for a caller whose own pool has
// `pool_threads` threads.
Config config_from_env(size_t pool_threads);

// Linux thread names hold at most 15 bytes: longer names are cut, not dropped.
std::string thread_name(size_t worker);

class Pool final : public parallel::Executor {
 public:
  // Starts `cfg.threads` workers; nullptr when a thread cannot be started.
  static std::unique_ptr<Pool> create(const Config& cfg);
  ~Pool() override;  // stops and joins the workers (the process-wide pool is never destroyed)

  size_t concurrency() const override { return workers_.size(); }
  // Runs task(0..n_tasks-1) on the workers; the calling thread helps and returns when all
  // tasks have finished.
  void run(size_t n_tasks, const std::function<void(size_t)>& task) override;

  // Runs job on one worker and blocks until it has finished. On one of this pool's own
  // workers the job runs directly.
  void run_job(const std::function<void()>& job);

  bool is_worker() const;
  const Config& config() const { return cfg_; }
  pid_t owner_pid() const { return pid_; }
  // OS thread ids of the workers (filled once every worker has started).
  std::vector<pid_t> worker_tids() const;
  // Workers that called setpriority at start (for tests).
  size_t setpriority_calls() const;

 private:
  explicit Pool(const Config& cfg);
  void worker_main(size_t i);

  Config cfg_;
  pid_t pid_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::condition_variable started_cv_;
  std::deque<std::function<void()>> queue_;
  std::vector<std::thread> workers_;
  std::vector<pid_t> tids_;
  size_t started_ = 0;
  size_t reniced_ = 0;
  bool stop_ = false;
};

// MAINT_POOL: created at the first call (from the environment), then fixed for the life of
// the process; nullptr when it could not be built, or in a child forked after it was made.
Pool* pool();

// Runs job on the maintenance pool and waits for it; without a pool, on the calling thread.
void run(const std::function<void()>& job);

}  // namespace ivf_rabitq::maint
