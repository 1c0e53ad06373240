#include <gtest/gtest.h>

#include <atomic>
#include <numeric>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/common/simd.hpp"

using namespace ivf_rabitq;

TEST(Parallel, ChunksCoverRangeExactlyOnceForEveryPoolSize) {
  for (size_t threads : {1, 2, 8}) {
    for (size_t n : {0, 1, 7, 1000, 100003}) {
      std::vector<std::atomic<int>> hits(n);
      parallel::with_threads(threads, [&] {
        parallel::for_chunks(n, 97, [&](size_t b, size_t e) {
          ASSERT_LE(e - b, 97u);
          for (size_t i = b; i < e; ++i) hits[i].fetch_add(1);
        });
      });
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(hits[i].load(), 1) << "n=" << n << " i=" << i;
    }
  }
}

TEST(Parallel, ReductionIsIndependentOfThreadCount) {
  // A float sum whose value depends on association order: the fold must be fixed.
  std::vector<float> xs(200000);
  for (size_t i = 0; i < xs.size(); ++i) xs[i] = 1.0f / static_cast<float>(i + 1) * ((i % 3) ? 1.f : -1e3f);
  auto run = [&](size_t threads) {
    float r = 0;
    parallel::with_threads(threads, [&] {
      r = parallel::reduce_chunks<float>(
          xs.size(), 1024, 0.0f,
          [&](size_t b, size_t e) {
            float s = 0;
            for (size_t i = b; i < e; ++i) s += xs[i];
            return s;
          },
          [](float a, float b) { return a + b; });
    });
    return r;
  };
  float r1 = run(1);
  for (size_t t : {2, 8}) EXPECT_EQ(std::bit_cast<uint32_t>(run(t)), std::bit_cast<uint32_t>(r1));
}

TEST(Parallel, NestedLoopsAndExecutorHook) {
  struct Inline : parallel::Executor {
    size_t calls = 0;
    size_t concurrency() const override { return 3; }
    void run(size_t n, const std::function<void(size_t)>& task) override {
      ++calls;
      for (size_t i = 0; i < n; ++i) task(i);
    }
  } ex;
  parallel::set_thread_executor(&ex);
  EXPECT_EQ(parallel::num_threads(), 3u);
  auto v = parallel::collect_chunks<int>(10, 3, [](size_t b, size_t e) {
    std::vector<int> out;
    for (size_t i = b; i < e; ++i)
      if (i % 2 == 0) out.push_back(static_cast<int>(i));
    return out;
  });
  parallel::set_thread_executor(nullptr);
  EXPECT_EQ(ex.calls, 1u);
  EXPECT_EQ(v, (std::vector<int>{0, 2, 4, 6, 8}));

  std::atomic<size_t> total{0};
  parallel::for_chunks(16, 1, [&](size_t, size_t) {
    parallel::for_chunks(100, 7, [&](size_t b, size_t e) { total += e - b; });
  });
  EXPECT_EQ(total.load(), 1600u);
}

TEST(Errors, DisplayTextByOrigin) {
  EXPECT_EQ(IoError::os(ENOENT).text(), "No such file or directory (os error 2)");
  EXPECT_EQ(IoError::os(ENOENT).kind(), ErrorKind::NotFound);
  EXPECT_EQ(invalid_data("corrupt index: x").text(), "corrupt index: x");
  EXPECT_EQ(IoError::kind_only(ErrorKind::UnexpectedEof).text(), "unexpected end of file");
  Result<int> r = 5;
  ASSERT_TRUE(r.ok());
  Result<int> e = invalid_input("add: bad");
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error().kind(), ErrorKind::InvalidInput);
}

TEST(Simd, ActiveLevelIsSupported) {
  EXPECT_TRUE(simd::cpu_supports(simd::active_level()));
  EXPECT_EQ(simd::supported_levels().front(), simd::Level::Scalar);
}
