// ctest-labels: tsan
// Scans and lookups running on several threads while a writer upserts, adds, deletes and
// checkpoints the same open index: no crash, no race, and every answer consistent with some
// state of the segment (the stable ids are always live; at most the one row in flight is
// counted twice).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/scan/aggregate.hpp"
#include "ivf_rabitq/scan/meta_read.hpp"
#include "ivf_rabitq/scan/meta_status.hpp"
#include "ivf_rabitq/scan/scan.hpp"
#include "ivf_rabitq/segment/row_readers.hpp"
#include "live/test_wal_fixture.hpp"

using namespace durable_test;
using index::IvfIndex;

TEST(ScanConcurrency, ReadersSeeOneStateWhileWritersChangeTheIndex) {
  tandrel_test::TempDir dir;
  const size_t n = 64;
  tandrel_test::SegmentSpec s = small_spec(n);
  tandrel_test::write_segment(dir.path(), s);
  auto ix = must_open(dir.path(), predicate::SkipSet{});
  ASSERT_TRUE(ix);
  ix->durability_interval.store(1000000);
  const std::vector<std::string>& base = s.ids;
  auto filter = ix->compile_filter_cached(R"({"n":{"$gte":0}})");
  ASSERT_TRUE(filter.ok());

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> rounds{0}, bad{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      std::vector<std::string_view> views(base.begin(), base.end());
      std::vector<std::unique_ptr<scan::CanonMeta>> owned;
      std::vector<const scan::CanonMeta*> metas;
      for (size_t i = 0; i < base.size(); ++i) {
        owned.push_back(std::make_unique<scan::CanonMeta>(R"({"s":"v0"})"));
        metas.push_back(owned.back().get());
      }
      while (!stop.load()) {
        // Every base id stays live (upserts append before they tombstone); one brand-new row
        // or one upsert may be in flight.
        const uint64_t c = scan::count_matching(*ix, nullptr);
        if (c < n || c > n + 1) bad.fetch_add(1);
        const auto ids = scan::ids_matching(*ix, filter->get());
        if (ids.size() < n) bad.fetch_add(1);
        if (!scan::exists_matching(*ix, nullptr)) bad.fetch_add(1);
        if (scan::ids_matching_limit(*ix, nullptr, n).size() != n) bad.fetch_add(1);
        for (bool live : segment::has_ids(*ix, base))
          if (!live) bad.fetch_add(1);
        for (const auto& v : segment::get_vectors(*ix, base))
          if (v.size() != 8) bad.fetch_add(1);
        for (const auto& m : scan::get_meta(*ix, base))
          if (m == "null") bad.fetch_add(1);
        auto lim = scan::get_meta_limited(*ix, base, SIZE_MAX, t == 0, t == 1);
        if (!lim || lim->nulls != 0) bad.fetch_add(1);
        (void)segment::get_sparse(*ix, base);
        auto agg = scan::aggregate_by_ids(*ix, "s", base);
        if (!agg || agg->resolved.size() != n) bad.fetch_add(1);
        for (uint8_t st : scan::meta_status(*ix, views, metas, t == 2))
          if (st == 0) bad.fetch_add(1);
        rounds.fetch_add(1);
      }
    });
  }
  while (rounds.load() == 0) std::this_thread::yield();
  for (int i = 0; i < 400 || rounds.load() < 30; ++i) {
    const std::string id = base[static_cast<size_t>(i) % n];
    ASSERT_TRUE(add(*ix, id, vec_for(i), "{\"n\":" + std::to_string(i) + ",\"s\":\"v" + std::to_string(i % 5) +
                                             "\",\"g" + std::to_string(i % 7) + "\":1}",
                    {{static_cast<uint32_t>(i), 1.0f}})
                    .ok());
    const std::string tmp = "tmp" + std::to_string(i);
    ASSERT_TRUE(add(*ix, tmp, vec_for(i + 1)).ok());
    ASSERT_TRUE(live::delete_logged(*ix, tmp).ok());
    if (i % 50 == 49) {
      ASSERT_TRUE(live::checkpoint(*ix).ok());
    }
    if (i > 100000) break;
  }
  stop = true;
  for (auto& th : readers) th.join();
  EXPECT_GT(rounds.load(), 0u);
  EXPECT_EQ(bad.load(), 0u);
}

namespace {

// Runs a loop's tasks on fresh std::threads, joined before run() returns: the scans' parallel
// parts then use threads whose every hand-off the thread sanitizer sees (the system's oneTBB
// is not built with it).
class ThreadExecutor : public ivf_rabitq::parallel::Executor {
 public:
  size_t concurrency() const override { return 4; }
  void run(size_t n_tasks, const std::function<void(size_t)>& task) override {
    std::atomic<size_t> next{0};
    auto work = [&] {
      for (size_t i; (i = next.fetch_add(1)) < n_tasks;) task(i);
    };
    std::vector<std::thread> ts;
    for (int t = 0; t < 3; ++t) ts.emplace_back(work);
    work();
    for (auto& t : ts) t.join();
  }
};

}  // namespace

// The parallel scans (50,000 main rows and more): pool workers read the tombstones, the delta
// and the columns through the caller's guards while a writer waits to delete and add.
TEST(ScanConcurrency, ParallelScansAgainstDeletesAndAdds) {
  tandrel_test::TempDir dir;
  const size_t n = 60000;
  tandrel_test::SegmentSpec s = small_spec(n);
  s.crcs = false;
  tandrel_test::write_segment(dir.path(), s);
  auto ix = must_open(dir.path());
  ASSERT_TRUE(ix);
  ix->durability_interval.store(1000000);
  auto filter = ix->compile_filter_cached(R"({"s":"v1"})");
  ASSERT_TRUE(filter.ok());
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> rounds{0}, bad{0};
  std::thread reader([&] {
    ThreadExecutor pool;
    ivf_rabitq::parallel::set_thread_executor(&pool);
    while (!stop.load()) {
      const uint64_t all = scan::count_matching(*ix, nullptr);
      const auto ids = scan::ids_matching(*ix, filter->get());
      if (ids.size() > all || all > n + 1) bad.fetch_add(1);
      if (!scan::exists_matching(*ix, filter->get())) bad.fetch_add(1);
      if (scan::ids_matching_limit(*ix, nullptr, 250000).size() > n + 1) bad.fetch_add(1);
      rounds.fetch_add(1);
    }
    ivf_rabitq::parallel::set_thread_executor(nullptr);
  });
  for (size_t i = 0; i < 200 || rounds.load() < 5; ++i) {
    ASSERT_TRUE(live::delete_logged(*ix, s.ids[(i * 271) % n]).ok());
    ASSERT_TRUE(add(*ix, "x" + std::to_string(i), vec_for(i), R"({"s":"v1"})").ok());
    if (i > 20000) break;
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0u);
  ThreadExecutor pool;
  ivf_rabitq::parallel::set_thread_executor(&pool);
  EXPECT_EQ(scan::count_matching(*ix, nullptr), ix->live_count());
  ivf_rabitq::parallel::set_thread_executor(nullptr);
}
