#include "ivf_rabitq/common/maint_pool.hpp"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>

namespace ivf_rabitq::maint {

namespace {

// Decodes one UTF-8 code point at s[i]; false on any malformed sequence.
bool next_code_point(std::string_view s, size_t& i, uint32_t& cp) {
  auto b0 = static_cast<unsigned char>(s[i]);
  size_t len;
  uint32_t min;
  if (b0 < 0x80) {
    cp = b0;
    ++i;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (s.size() - i < len) return false;
  for (size_t k = 1; k < len; ++k) {
    auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += len;
  return true;
}

bool is_unicode_space(uint32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The value with Unicode white space trimmed at both ends; nullopt when it is not UTF-8.
std::optional<std::string_view> trimmed_utf8(const char* value) {
  std::string_view s(value);
  size_t i = 0, first = std::string_view::npos, end = 0;
  while (i < s.size()) {
    size_t at = i;
    uint32_t cp;
    if (!next_code_point(s, i, cp)) return std::nullopt;
    if (!is_unicode_space(cp)) {
      if (first == std::string_view::npos) first = at;
      end = i;
    }
  }
  if (first == std::string_view::npos) return std::string_view();
  return s.substr(first, end - first);
}

// Optional sign then one or more ASCII digits, into a magnitude no larger than `limit`.
bool parse_digits(std::string_view s, uint64_t limit, uint64_t& out) {
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + static_cast<uint64_t>(ch - '0');
    if (v > limit) return false;
  }
  out = v;
  return true;
}

thread_local Pool* t_worker_of = nullptr;

}  // namespace

int parse_nice(const char* value) {
  if (!value) return 0;
  auto t = trimmed_utf8(value);
  if (!t) return 0;
  std::string_view s = *t;
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  uint64_t mag;
  // i32 range: -2^31 .. 2^31-1.
  if (!parse_digits(s, neg ? 2147483648ull : 2147483647ull, mag)) return 0;
  if (neg) return 0;  // clamped up to 0
  return mag > 19 ? 19 : static_cast<int>(mag);
}

std::optional<uint32_t> parse_threads(const char* value) {
  if (!value) return std::nullopt;
  auto t = trimmed_utf8(value);
  if (!t) return std::nullopt;
  std::string_view s = *t;
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  uint64_t v;
  if (!parse_digits(s, 0xFFFFFFFFull, v)) return std::nullopt;
  return static_cast<uint32_t>(v);
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
