// ctest-labels: tsan
// Reader-writer lock admission semantics, writer fairness, guards, and the debug-build
// lock-order check. Thread tests use bounded waits only; the whole binary is meant to be
// clean under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "ivf_rabitq/index/lock_order.hpp"
#include "ivf_rabitq/index/rwlock.hpp"

using namespace ivf_rabitq::index;
using namespace std::chrono_literals;

namespace {

// Polls pred until it holds or the deadline passes.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// Event log shared by the threads of one test.
struct Log {
  std::mutex m;
  std::vector<std::string> events;
  void add(std::string e) {
    std::lock_guard<std::mutex> g(m);
    events.push_back(std::move(e));
  }
  std::vector<std::string> get() {
    std::lock_guard<std::mutex> g(m);
    return events;
  }
};

}  // namespace

TEST(RwLock, PlainReaderQueuesBehindWaitingWriterRecursiveReaderDoesNot) {
  RwLock<int> lock(LockRank::Untracked, nullptr, 0);
  Log log;
  auto r1 = lock.read();

  std::promise<void> release_writer;
  std::shared_future<void> released = release_writer.get_future().share();
  auto writer = std::async(std::launch::async, [&] {
    auto w = lock.write();
    log.add("writer");
    *w = 1;
    released.wait();
  });
  std::future<void> reader;
  // Runs on every exit path, so that a failing check never leaves a thread blocked.
  struct Finish {
    std::function<void()> fn;
    ~Finish() { fn(); }
  } finish{[&] {
    if (r1.owns_lock()) r1.unlock();
    release_writer.set_value();
  }};

  ASSERT_TRUE(eventually([&] { return lock.raw().writers_waiting() == 1; }));
  // A writer waits: a plain reader is refused, a recursive one is admitted because this
  // thread holds a read (r1).
  EXPECT_FALSE(lock.try_read().has_value());
  {
    auto r2 = lock.try_read_recursive();
    ASSERT_TRUE(r2.has_value());
    EXPECT_EQ(**r2, 0);
    auto r3 = lock.read_recursive();  // blocking form: must not wait either
    EXPECT_EQ(*r3, 0);
  }

  reader = std::async(std::launch::async, [&] {
    auto r = lock.read();
    log.add("reader saw " + std::to_string(*r));
  });
  EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout);  // queued behind the writer
  EXPECT_TRUE(log.get().empty());

  r1.unlock();
  ASSERT_TRUE(eventually([&] { return !log.get().empty(); }));
  // The writer holds the lock now: every read mode waits.
  EXPECT_FALSE(lock.try_read_recursive().has_value());
  EXPECT_FALSE(lock.try_read().has_value());
  EXPECT_EQ(reader.wait_for(20ms), std::future_status::timeout);
  release_writer.set_value();
  finish.fn = [] {};
  ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(log.get(), (std::vector<std::string>{"writer", "reader saw 1"}));
}

TEST(RwLock, RecursiveReEntryDoesNotDeadlockBehindQueuedWriter) {
  RwLock<int> lock(LockRank::Tombstones, nullptr, 7);
  std::promise<void> outer_held, writer_queued;
  std::shared_future<void> queued = writer_queued.get_future().share();
  std::atomic<bool> writer_ran{false};
  auto reader = std::async(std::launch::async, [&] {
    auto outer = lock.read_recursive();
    outer_held.set_value();
    queued.wait();
    // A helper called while the outer read is held takes the lock again.
    auto inner = lock.read_recursive();
    EXPECT_EQ(*inner, 7);
    EXPECT_FALSE(writer_ran.load());
  });
  outer_held.get_future().wait();
  auto writer = std::async(std::launch::async, [&] {
    auto w = lock.write();
    writer_ran = true;
  });
  const bool writer_waits = eventually([&] { return lock.raw().writers_waiting() == 1; });
  writer_queued.set_value();
  ASSERT_TRUE(writer_waits);
  if (reader.wait_for(10s) != std::future_status::ready) {
    // The reader and the writer now wait for each other forever: report and leave
    // instead of hanging in the futures' destructors.
    std::fprintf(stderr, "recursive re-entry deadlocked behind a queued writer\n");
    std::fflush(stderr);
    std::_Exit(1);
  }
  ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
  EXPECT_TRUE(writer_ran.load());
}

TEST(RwLock, WriterIsNotStarvedByAStreamOfPlainReaders) {
  RwLock<uint64_t> lock(LockRank::Untracked, nullptr, 0);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop.load(std::memory_order_relaxed)) {
        auto r = lock.read();
        reads.fetch_add(1, std::memory_order_relaxed);
        // Hold briefly so that the readers overlap and the count rarely drops to zero.
        const auto until = std::chrono::steady_clock::now() + 100us;
        while (std::chrono::steady_clock::now() < until) {
        }
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return reads.load() > 100; }));
  auto writer = std::async(std::launch::async, [&] {
    for (int i = 0; i < 50; ++i) *lock.write() += 1;
  });
  const bool finished = writer.wait_for(20s) == std::future_status::ready;
  stop = true;
  for (auto& t : readers) t.join();
  ASSERT_TRUE(finished) << "writer starved";
  EXPECT_EQ(*lock.read(), 50u);
}

TEST(RwLock, RecursiveModeAdmitsPastAWaitingWriterOnlyAThreadThatHoldsARead) {
  // A search takes its outer read in recursive mode. While a writer waits, another thread's
  // read must not let it in: only a thread re-entering a read it holds may pass the writer.
  RwLock<int> lock(LockRank::Untracked, nullptr, 0);
  RwLock<int> other(LockRank::Untracked, nullptr, 0);
  std::promise<void> held, release;
  std::shared_future<void> released = release.get_future().share();
  auto holder = std::async(std::launch::async, [&] {
    auto r = lock.read();
    held.set_value();
    released.wait();
  });
  held.get_future().wait();
  auto writer = std::async(std::launch::async, [&] { *lock.write() = 1; });
  struct Finish {
    std::function<void()> fn;
    ~Finish() { fn(); }
  } finish{[&] { release.set_value(); }};
  ASSERT_TRUE(eventually([&] { return lock.raw().writers_waiting() == 1; }));

  // This thread holds no read of `lock` (a read of another lock does not count).
  auto o = other.read();
  EXPECT_FALSE(lock.try_read_recursive().has_value());
  EXPECT_FALSE(lock.try_read().has_value());
  o.unlock();
  release.set_value();
  finish.fn = [] {};
  ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(holder.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(*lock.read_recursive(), 1);
  EXPECT_TRUE(lock.try_write().has_value());  // the refusals left no read count behind
}

TEST(RwLock, WriterIsNotStarvedByOverlappingRecursiveReaders) {
  // Readers that take the lock in recursive mode (as searches do) and hand it over to each
  // other keep it read-held at every instant. A writer must still get in within a bounded
  // wait: readers that hold nothing yet queue behind it in either mode.
  RwLock<uint64_t> lock(LockRank::Untracked, nullptr, 0);
  std::atomic<bool> stop{false};
  std::atomic<int> holders{0};
  std::atomic<uint64_t> reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        auto r = lock.read_recursive();
        holders.fetch_add(1);
        reads.fetch_add(1);
        // Leave only while another reader still holds the lock, so the read count never
        // drops to zero while readers keep arriving; alone, leave after 200 ms (the others
        // are queued behind the writer).
        const auto until = std::chrono::steady_clock::now() + 200ms;
        int h = holders.load();
        for (;;) {
          if (h >= 2) {
            if (holders.compare_exchange_weak(h, h - 1)) break;
            continue;
          }
          if ((stop.load() || std::chrono::steady_clock::now() > until) && holders.compare_exchange_weak(h, h - 1)) {
            break;
          }
          std::this_thread::yield();
          h = holders.load();
        }
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return reads.load() > 100; }));
  auto writer = std::async(std::launch::async, [&] {
    for (int i = 0; i < 10; ++i) *lock.write() += 1;
  });
  const bool finished = writer.wait_for(20s) == std::future_status::ready;
  stop = true;
  for (auto& t : readers) t.join();
  ASSERT_TRUE(finished) << "writer overtaken indefinitely by recursive readers";
  EXPECT_EQ(*lock.read(), 10u);
}

TEST(RwLock, ExclusionUnderContentionAllModes) {
  // Writers keep two fields equal; readers in both modes must never see them differ.
  struct Pair {
    uint64_t a = 0, b = 0;
  };
  RwLock<Pair> lock;
  std::atomic<int> torn{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < 6; ++t) {
    ts.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (t < 2) {
          auto w = lock.write();
          ++w->a;
          ++w->b;
        } else if (t < 4) {
          auto r = lock.read();
          if (r->a != r->b) ++torn;
        } else {
          auto r = lock.read_recursive();
          auto again = lock.read_recursive();
          if (r->a != again->b) ++torn;
        }
      }
    });
  }
  for (auto& t : ts) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(lock.read()->a, 4000u);
}

TEST(RwLock, GuardsReleaseOnScopeExitMoveAndUnlock) {
  RwLock<std::vector<int>> lock;
  {
    auto w = lock.write();
    w->push_back(1);
    EXPECT_FALSE(lock.try_read().has_value());
    EXPECT_FALSE(lock.try_write().has_value());
  }
  {
    auto r = lock.read();
    EXPECT_FALSE(lock.try_write().has_value());
    auto moved = std::move(r);
    EXPECT_FALSE(r.owns_lock());  // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(moved.owns_lock());
    EXPECT_EQ(moved->size(), 1u);
    EXPECT_FALSE(lock.try_write().has_value());
    moved.unlock();
    EXPECT_FALSE(moved.owns_lock());
    auto w = lock.try_write();
    ASSERT_TRUE(w.has_value());
    (*w)->push_back(2);
    // Move-assigning over a held guard releases the old lock first.
    auto w2 = std::move(*w);
    w2.unlock();
  }
  {
    auto r1 = lock.read_recursive();
    auto r2 = lock.read();
    r1.unlock();
    EXPECT_FALSE(lock.try_write().has_value());
  }
  EXPECT_TRUE(lock.try_write().has_value());

  // The bare lock works with the standard guards.
  RawRwLock raw;
  {
    std::shared_lock<RawRwLock> s(raw);
    EXPECT_FALSE(raw.try_lock());
  }
  {
    std::unique_lock<RawRwLock> u(raw);
    EXPECT_FALSE(raw.try_lock_shared_recursive());
  }
  EXPECT_TRUE(raw.try_lock());
  raw.unlock();

  Mutex<int> m(LockRank::Untracked, nullptr, 5);
  {
    auto g = m.lock();
    *g += 1;
    EXPECT_FALSE(m.try_lock().has_value());
  }
  EXPECT_EQ(*m.lock(), 6);
}

// ---- lock order ----

// The order listed at the top of index/lock_order.hpp, case by case.
TEST(LockOrder, OrderTable) {
  const int idx = 0, other_idx = 0;
  const void* D = &idx;
  const void* E = &other_idx;
  // Distinct lock identities per rank.
  int ids[16];
  auto h = [&](LockRank r, LockMode m = LockMode::Exclusive, const void* dom = nullptr) {
    return lock_order::Held{r, m, &ids[static_cast<int>(r)], dom == nullptr ? D : dom};
  };
  const LockMode X = LockMode::Exclusive, S = LockMode::Shared, R = LockMode::SharedRecursive;
  struct Case {
    const char* name;
    std::vector<lock_order::Held> held;
    lock_order::Held acquiring;
    bool ok;
  };
  const Case cases[] = {
      {"nothing held", {}, h(LockRank::Delta, S), true},
      {"checkpoint then wal", {h(LockRank::CheckpointMutex)}, h(LockRank::Wal), true},
      {"checkpoint then delta_stamp", {h(LockRank::CheckpointMutex)}, h(LockRank::DeltaStamp), true},
      {"checkpoint then tombstones read", {h(LockRank::CheckpointMutex)}, h(LockRank::Tombstones, S), true},
      {"wal then checkpoint", {h(LockRank::Wal)}, h(LockRank::CheckpointMutex), false},
      {"tombstones then checkpoint", {h(LockRank::Tombstones, S)}, h(LockRank::CheckpointMutex), false},
      {"wal then delta_stamp", {h(LockRank::CheckpointMutex), h(LockRank::Wal)}, h(LockRank::DeltaStamp), false},
      {"delta_stamp then wal", {h(LockRank::DeltaStamp)}, h(LockRank::Wal), false},
      {"id_map tombstones delta", {h(LockRank::IdMap, R), h(LockRank::Tombstones, R)}, h(LockRank::Delta, R), true},
      {"delta then delta_sparse", {h(LockRank::Delta, S)}, h(LockRank::DeltaSparse, S), true},
      {"add path: id_map write then tombstones write", {h(LockRank::IdMap, X)}, h(LockRank::Tombstones, X), true},
      {"delta then tombstones", {h(LockRank::Delta, R)}, h(LockRank::Tombstones, R), false},
      {"tombstones then id_map", {h(LockRank::Tombstones, S)}, h(LockRank::IdMap, S), false},
      {"delta_sparse then delta", {h(LockRank::DeltaSparse, S)}, h(LockRank::Delta, S), false},
      {"filter_cache then live_schema", {h(LockRank::FilterCache)}, h(LockRank::LiveSchema, S), false},
      {"live_schema then filter_cache", {h(LockRank::LiveSchema, S)}, h(LockRank::FilterCache), false},
      {"recursive re-entry over read", {h(LockRank::Tombstones, S)}, h(LockRank::Tombstones, R), true},
      {"recursive re-entry over recursive", {h(LockRank::Delta, R)}, h(LockRank::Delta, R), true},
      {"plain re-entry", {h(LockRank::Tombstones, S)}, h(LockRank::Tombstones, S), false},
      {"read under own write", {h(LockRank::Tombstones, X)}, h(LockRank::Tombstones, R), false},
      {"mutex re-entry", {h(LockRank::Wal)}, h(LockRank::Wal), false},
      {"other index, reverse order", {h(LockRank::Delta, S, E)}, h(LockRank::Tombstones, S), true},
      {"other index checkpoint", {h(LockRank::Tombstones, S, E)}, h(LockRank::CheckpointMutex), true},
      {"untracked never checked", {h(LockRank::Delta, S)}, lock_order::Held{LockRank::Untracked, X, ids + 15, D}, true},
  };
  for (const Case& c : cases) {
    auto v = lock_order::violation(c.held, c.acquiring);
    EXPECT_EQ(!v.has_value(), c.ok) << c.name << (v ? ": " + *v : std::string());
    if (v) {
      EXPECT_NE(v->find("lock order violation"), std::string::npos);
    }
  }
}

namespace {
std::vector<std::string>* g_seen = nullptr;
void record_violation(const std::string& text) { g_seen->push_back(text); }
}  // namespace

TEST(LockOrder, LocksRecordAndCheckInDebugBuilds) {
  if (!lock_order::kEnabled) GTEST_SKIP() << "lock-order check is compiled out (NDEBUG)";
  const int index = 0;
  RwLock<int> tombstones(LockRank::Tombstones, &index, 0);
  RwLock<int> delta(LockRank::Delta, &index, 0);
  Mutex<int> checkpoint(LockRank::CheckpointMutex, &index, 0);

  std::vector<std::string> seen;
  g_seen = &seen;
  auto previous = lock_order::set_violation_handler(&record_violation);
  {
    auto c = checkpoint.lock();
    auto t = tombstones.read_recursive();
    auto d = delta.read_recursive();
    EXPECT_EQ(lock_order::held_by_this_thread().size(), 3u);
    d.unlock();
    t.unlock();
    auto again = delta.read();  // one at a time under checkpoint_mutex: fine
  }
  EXPECT_TRUE(lock_order::held_by_this_thread().empty());
  EXPECT_TRUE(seen.empty());
  {
    auto d = delta.read();
    auto t = tombstones.read();  // wrong order: reported, then taken (no real deadlock here)
    auto c = checkpoint.try_lock();  // try-acquisitions are recorded but never checked
    EXPECT_TRUE(c.has_value());
  }
  lock_order::set_violation_handler(previous);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_NE(seen[0].find("taking tombstones (read) while holding delta (read)"), std::string::npos) << seen[0];
  EXPECT_TRUE(lock_order::held_by_this_thread().empty());
}

TEST(LockOrderDeathTest, WrongOrderAbortsInDebugBuilds) {
  if (!lock_order::kEnabled) GTEST_SKIP() << "lock-order check is compiled out (NDEBUG)";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const int index = 0;
  EXPECT_DEATH(
      {
        RwLock<int> tombstones(LockRank::Tombstones, &index, 0);
        RankedMutex checkpoint(LockRank::CheckpointMutex, &index);
        auto t = tombstones.read();
        std::lock_guard<RankedMutex> g(checkpoint);
      },
      "lock order violation: taking checkpoint_mutex");
}
