// ctest-labels: tsan
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <oneapi/tbb/task_arena.h>
#include <set>
#include <stdexcept>
#include <string>

#include "ivf_rabitq/common/maint_pool.hpp"
#include "ivf_rabitq/common/parallel.hpp"

using namespace ivf_rabitq;

namespace {

std::string comm_of(pid_t tid) {
  std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/comm");
  std::string s;
  std::getline(f, s);
  return s;
}

int nice_of(pid_t tid) {
  errno = 0;
  return getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
}

pid_t self_tid() { return static_cast<pid_t>(syscall(SYS_gettid)); }

}  // namespace

TEST(MaintConfig, NiceParsing) {
  struct Case {
    const char* value;
    int want;
  } cases[] = {
      {nullptr, 0}, {"5", 5},   {"  5 \t", 5}, {"+7", 7},  {"-3", 0},         {"25", 19},
      {"abc", 0},   {"", 0},    {"5x", 0},     {"0", 0},   {"19", 19},        {"2147483647", 19},
      {"2147483648", 0} /* overflows i32 */,   {"-2147483648", 0},          {"+", 0},
      {"- 3", 0},   {"\xc2\xa0" "4\xe3\x80\x80", 4} /* NBSP and ideographic space */,
      {"\xff" "5", 0} /* not UTF-8 */,         {"\xef\xbc\x95", 0} /* fullwidth digit */,
  };
  for (const auto& c : cases) EXPECT_EQ(maint::parse_nice(c.value), c.want) << (c.value ? c.value : "(unset)");
}

TEST(MaintConfig, ThreadParsingAndDefaults) {
  struct Case {
    const char* value;
    std::optional<uint32_t> want;
  } cases[] = {
      {nullptr, std::nullopt}, {"3", 3u},  {" +3 ", 3u},  {"0", 0u},  {"-2", std::nullopt},  {"two", std::nullopt},
      {"4294967296", std::nullopt}, {"4294967295", 4294967295u}, {"", std::nullopt}, {"3 3", std::nullopt},
      {"\xc3\x28", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(maint::parse_threads(c.value), c.want) << (c.value ? c.value : "(unset)");

  std::pair<size_t, size_t> defaults[] = {{0, 1}, {1, 1}, {2, 2}, {4, 4}, {8, 4}, {16, 4}, {20, 5}, {32, 8}, {64, 16}};
  for (auto [n, want] : defaults) EXPECT_EQ(maint::default_threads(n), want) << n;
}

TEST(MaintConfig, NamesAreCutToFifteenBytes) {
  EXPECT_EQ(maint::thread_name(0), "tandrel-maint-0");
  EXPECT_EQ(maint::thread_name(9), "tandrel-maint-9");
  EXPECT_EQ(maint::thread_name(12), "tandrel-maint-1");  // "tandrel-maint-12" is 16 bytes
}

TEST(MaintPool, WorkersAreNamedAndOnlyTheyAreLowered) {
  const int before = nice_of(self_tid());
  for (int nice : {0, 5}) {
    auto pool = maint::Pool::create({nice, 12});
    ASSERT_TRUE(pool);
    auto tids = pool->worker_tids();
    ASSERT_EQ(tids.size(), 12u);
    for (size_t i = 0; i < tids.size(); ++i) {
      EXPECT_EQ(comm_of(tids[i]), maint::thread_name(i));
      EXPECT_EQ(nice_of(tids[i]), nice > 0 ? std::max(nice, before) : before) << i;
    }
    EXPECT_EQ(pool->setpriority_calls(), nice > 0 ? 12u : 0u);
    EXPECT_EQ(nice_of(self_tid()), before);  // the caller keeps its priority
  }
}

TEST(MaintPool, LoopsInsideAJobStayOnTheMaintenanceThreads) {
  auto pool = maint::Pool::create({0, 4});
  ASSERT_TRUE(pool);
  auto tids = pool->worker_tids();
  std::set<pid_t> workers(tids.begin(), tids.end());
  std::mutex mu;
  std::set<pid_t> seen;
  std::atomic<bool> in_tbb{false};
  std::atomic<size_t> total{0};
  pool->run_job([&] {
    EXPECT_EQ(parallel::num_threads(), 4u);
    // Nested loops: every waiting thread helps its own loop, so this cannot deadlock even
    // when all workers wait in an outer chunk.
    parallel::for_chunks(64, 1, [&](size_t, size_t) {
      parallel::isolate([&] {
        parallel::for_chunks(1000, 7, [&](size_t b, size_t e) {
          if (tbb::this_task_arena::current_thread_index() != tbb::task_arena::not_initialized) in_tbb = true;
          total += e - b;
          std::lock_guard lk(mu);
          seen.insert(self_tid());
        });
      });
    });
  });
  EXPECT_EQ(total.load(), 64u * 1000u);
  EXPECT_FALSE(in_tbb.load());
  for (pid_t t : seen) EXPECT_TRUE(workers.count(t)) << t;
}

TEST(MaintPool, ResultsAndErrorsDoNotDependOnPoolSize) {
  std::vector<float> xs(100000);
  for (size_t i = 0; i < xs.size(); ++i) xs[i] = 1.0f / static_cast<float>(i + 1) * ((i % 3) ? 1.f : -1e3f);
  std::optional<uint32_t> first;
  for (size_t threads : {1, 2, 8}) {
    auto pool = maint::Pool::create({0, threads});
    ASSERT_TRUE(pool);
    float r = 0;
    pool->run_job([&] {
      r = parallel::reduce_chunks<float>(
          xs.size(), 513, 0.0f,
          [&](size_t b, size_t e) {
            float s = 0;
            for (size_t i = b; i < e; ++i) s += xs[i];
            return s;
          },
          [](float a, float b) { return a + b; });
    });
    if (!first) first = std::bit_cast<uint32_t>(r);
    EXPECT_EQ(std::bit_cast<uint32_t>(r), *first) << threads;

    // A failing task reaches the caller of the job instead of ending the process.
    EXPECT_THROW(pool->run_job([&] {
      parallel::for_chunks(50, 1, [](size_t b, size_t) {
        if (b == 17) throw std::runtime_error("boom");
      });
    }),
                 std::runtime_error);
  }
}

// The process-wide pool reads the environment once; a forked child sees no pool and runs
// jobs on its own thread.
TEST(MaintPool, ProcessWidePoolFromEnvironmentAndFork) {
  ASSERT_EQ(setenv("TANDREL_MAINT_THREADS", " +3 ", 1), 0);
  ASSERT_EQ(setenv("TANDREL_MAINT_NICE", " 5 ", 1), 0);
  maint::Pool* p = maint::pool();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->concurrency(), 3u);
  EXPECT_EQ(p->config().nice, 5);
  setenv("TANDREL_MAINT_THREADS", "7", 1);
  EXPECT_EQ(maint::pool(), p);
  EXPECT_EQ(maint::pool()->concurrency(), 3u);
  unsetenv("TANDREL_MAINT_THREADS");
  unsetenv("TANDREL_MAINT_NICE");

  pid_t caller = self_tid();
  pid_t ran_on = 0;
  maint::run([&] { ran_on = self_tid(); });
  auto tids = p->worker_tids();
  EXPECT_TRUE(std::find(tids.begin(), tids.end(), ran_on) != tids.end());
  EXPECT_NE(ran_on, caller);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 0;
    if (maint::pool() != nullptr) code |= 1;
    pid_t me = self_tid(), on = 0;
    maint::run([&] { on = self_tid(); });
    if (on != me) code |= 2;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
