#include "ivf_rabitq/common/maint_pool.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstdint>
#include <exception>

#include "ivf_rabitq/common/env.hpp"

namespace ivf_rabitq::maint {

namespace {

thread_local Pool* t_worker_of = nullptr;

}  // namespace

int parse_nice(const char* value) {
  const auto t = env::trimmed(env::view(value));
  if (!t) return 0;
  const auto v = env::parse_signed(*t);
  // Outside i32 is invalid (0); a negative value is clamped up to 0.
  if (!v || *v < 0 || *v > INT32_MAX) return 0;
  return *v > 19 ? 19 : static_cast<int>(*v);
}

std::optional<uint32_t> parse_threads(const char* value) {
  const auto t = env::trimmed(env::view(value));
  if (!t) return std::nullopt;
  const auto v = env::parse_unsigned(*t);
  if (!v || *v > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(*v);
}

size_t default_threads(size_t n) {
  if (n == 0) n = 1;
  size_t a = n < 4 ? n : 4;
  size_t b = n / 4;
  return a > b ? a : b;
}

Config config_from_env(size_t pool_threads) {
  Config cfg;
  cfg.nice = parse_nice(std::getenv("TANDREL_MAINT_NICE"));
  auto t = parse_threads(std::getenv("TANDREL_MAINT_THREADS"));
  cfg.threads = (t && *t != 0) ? *t : default_threads(pool_threads);
  return cfg;
}

std::string thread_name(size_t worker) {
  std::string name = "tandrel-maint-" + std::to_string(worker);
  if (name.size() > 15) name.resize(15);
  return name;
}

Pool::Pool(const Config& cfg) : cfg_(cfg), pid_(getpid()) {}

std::unique_ptr<Pool> Pool::create(const Config& cfg) {
  std::unique_ptr<Pool> p(new Pool(cfg));
  size_t n = cfg.threads == 0 ? 1 : cfg.threads;
  p->tids_.assign(n, 0);
  try {
    p->workers_.reserve(n);
    for (size_t i = 0; i < n; ++i) p->workers_.emplace_back([raw = p.get(), i] { raw->worker_main(i); });
  } catch (...) {
    // The destructor stops and joins the workers that did start.
    return nullptr;
  }
  std::unique_lock lk(p->mu_);
  p->started_cv_.wait(lk, [&] { return p->started_ == n; });
  return p;
}

Pool::~Pool() {
  {
    std::lock_guard lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  for (auto& t : workers_)
    if (t.joinable()) t.join();
}

void Pool::worker_main(size_t i) {
  pthread_setname_np(pthread_self(), thread_name(i).c_str());
  bool reniced = false;
  if (cfg_.nice > 0) {
    // PRIO_PROCESS with who = 0 changes the calling thread only on Linux.
    (void)setpriority(PRIO_PROCESS, 0, cfg_.nice);
    reniced = true;
  }
  t_worker_of = this;
  parallel::set_thread_executor(this);
  {
    std::lock_guard lk(mu_);
    tids_[i] = static_cast<pid_t>(syscall(SYS_gettid));
    ++started_;
    if (reniced) ++reniced_;
  }
  started_cv_.notify_all();
  for (;;) {
    std::function<void()> item;
    {
      std::unique_lock lk(mu_);
      cv_.wait(lk, [&] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping
      item = std::move(queue_.front());
      queue_.pop_front();
    }
    item();
  }
}

bool Pool::is_worker() const { return t_worker_of == this; }

std::vector<pid_t> Pool::worker_tids() const {
  std::lock_guard lk(mu_);
  return tids_;
}

size_t Pool::setpriority_calls() const {
  std::lock_guard lk(mu_);
  return reniced_;
}

namespace {
// One loop's tasks: whoever takes an index runs it. The caller waits until every index has
// finished; helpers that arrive after all indices are taken do nothing and never touch
// `task`, which lives only as long as the caller waits.
struct Batch {
  const std::function<void(size_t)>* task;
  size_t n;
  std::atomic<size_t> next{0};
  std::atomic<size_t> done{0};
  std::mutex mu;
  std::condition_variable cv;
  std::exception_ptr error;  // the first exception a task threw (guarded by mu)

  // Runs indices until none is left.
  void drain() {
    for (;;) {
      size_t i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= n) return;
      try {
        (*task)(i);
      } catch (...) {
        std::lock_guard lk(mu);
        if (!error) error = std::current_exception();
      }
      if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == n) {
        std::lock_guard lk(mu);
        cv.notify_all();
      }
    }
  }
};
}  // namespace

void Pool::run(size_t n_tasks, const std::function<void(size_t)>& task) {
  if (n_tasks == 0) return;
  if (n_tasks == 1 || workers_.size() <= 1) {
    for (size_t i = 0; i < n_tasks; ++i) task(i);
    return;
  }
  auto batch = std::make_shared<Batch>();
  batch->task = &task;
  batch->n = n_tasks;
  size_t helpers = n_tasks - 1 < workers_.size() ? n_tasks - 1 : workers_.size();
  {
    std::lock_guard lk(mu_);
    for (size_t h = 0; h < helpers; ++h) queue_.emplace_back([batch] { batch->drain(); });
  }
  if (helpers == 1)
    cv_.notify_one();
  else
    cv_.notify_all();
  // The caller helps with its own loop, so nested loops on busy workers still progress.
  batch->drain();
  std::unique_lock lk(batch->mu);
  batch->cv.wait(lk, [&] { return batch->done.load(std::memory_order_acquire) == n_tasks; });
  if (batch->error) std::rethrow_exception(batch->error);
}

void Pool::run_job(const std::function<void()>& job) {
  if (is_worker()) {
    job();
    return;
  }
  struct Done {
    std::mutex mu;
    std::condition_variable cv;
    bool finished = false;
    std::exception_ptr error;
  };
  auto done = std::make_shared<Done>();
  {
    std::lock_guard lk(mu_);
    queue_.emplace_back([done, &job] {
      std::exception_ptr err;
      try {
        job();
      } catch (...) {
        err = std::current_exception();
      }
      std::lock_guard dlk(done->mu);
      done->error = err;
      done->finished = true;
      done->cv.notify_all();
    });
  }
  cv_.notify_one();
  std::unique_lock lk(done->mu);
  done->cv.wait(lk, [&] { return done->finished; });
  if (done->error) std::rethrow_exception(done->error);
}

Pool* pool() {
  static Pool* const instance = []() -> Pool* {
    Config cfg = config_from_env(parallel::num_threads());
    return Pool::create(cfg).release();  // never torn down, never joined at exit
  }();
  // A child forked after the pool started has no threads behind it.
  if (instance && instance->owner_pid() != getpid()) return nullptr;
  return instance;
}

void run(const std::function<void()>& job) {
  if (Pool* p = pool()) {
    p->run_job(job);
  } else {
    job();
  }
}

}  // namespace ivf_rabitq::maint
