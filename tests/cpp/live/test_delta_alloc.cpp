// An add whose memory runs out part-way must leave the delta consistent: the row lists stay
// aligned, so search, checkpoint and reopen keep working. The global operator new is
// replaced by one that fails the Nth allocation of the current thread once armed; every
// allocation of the add is tried in turn.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "ivf_rabitq/search/search.hpp"
#include "live/test_wal_fixture.hpp"

namespace {

thread_local long g_countdown = 0;  // 0 = disarmed; otherwise allocations left before failing

void* counted_alloc(std::size_t n) {
  if (g_countdown > 0 && --g_countdown == 0) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace durable_test;

// The delta's per-row lists all describe the same number of rows.
void expect_aligned(const IvfIndex& ix) {
  auto d = ix.locks().delta.read();
  const size_t rows = d->ids.size();
  const auto& m = ix.manifest;
  EXPECT_EQ(d->clusters.size(), rows);
  EXPECT_EQ(d->codes.size(), static_cast<size_t>(m.n_bits) * m.words_per_plane * rows);
  EXPECT_EQ(d->factors.size(), 4 * rows);
  EXPECT_EQ(d->rerank.size(), (static_cast<size_t>(m.dim) + 1) * rows);
  EXPECT_TRUE(d->meta.empty() || d->meta.size() == rows);
  EXPECT_TRUE(d->sparse.empty() || d->sparse.size() == rows);
  for (const auto& c : d->num_cols) EXPECT_EQ(c.size(), rows);
  for (const auto& c : d->str_cols) EXPECT_EQ(c.size(), rows);
  EXPECT_EQ(ix.delta_lists.rows(), rows);
}

// Drops every spare capacity, so that the next add has to allocate for each list it grows.
void tighten(IvfIndex& ix) {
  auto d = ix.locks().delta.write();
  d->codes.shrink_to_fit();
  d->factors.shrink_to_fit();
  d->rerank.shrink_to_fit();
  d->clusters.shrink_to_fit();
  d->ids.shrink_to_fit();
  d->meta.shrink_to_fit();
  d->sparse.shrink_to_fit();
  for (auto& c : d->num_cols) c.shrink_to_fit();
  for (auto& c : d->str_cols) c.shrink_to_fit();
}

TEST(DeltaAlloc, FailedAllocationAnywhereInAnAddLeavesAWorkingIndex) {
  tandrel_test::TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  // Each add: an upsert of a main id, metadata keys new to the schema (at first), a string new
  // to its dictionary and sparse terms (one repeated), so every list an add can grow is grown.
  auto ix = must_open(dir.path(), predicate::SkipSet{});
  ASSERT_TRUE(ix);
  size_t failures = 0;
  for (long k = 1; k < 100000; ++k) {
    SCOPED_TRACE(k);
    const std::string id = "id" + std::to_string(k % 10);
    // A few keys only: each new column costs every later add one more allocation here.
    const std::string meta = "{\"n\":" + std::to_string(k) + ",\"s\":\"new" + std::to_string(k) + "\",\"g" +
                             std::to_string(k % 4) + "\":1}";
    const std::vector<float> v = vec_for(static_cast<uint64_t>(k));
    const storage::SparsePairs sparse = {{static_cast<uint32_t>(k), 1.f}, {7, 0.5f}, {7, 0.25f}};
    bool threw = false;
    tighten(*ix);
    g_countdown = k;
    try {
      Status st = add(*ix, id, v, meta, sparse);
      g_countdown = 0;
      ASSERT_TRUE(st.ok()) << st.error().text();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    g_countdown = 0;
    if (!threw) break;  // k exceeded the allocations of one add: every point was tried
    ++failures;
    expect_aligned(*ix);
    const auto hits = search::search_core(*ix, v, 5, 4, 20, nullptr, true);
    EXPECT_FALSE(hits.empty());
    if (k % 64 == 0) {
      ASSERT_TRUE(live::checkpoint(*ix).ok());
    }
  }
  EXPECT_GT(failures, 20u);
  // A clean add still works, and the segment reopens with what the log and checkpoint hold.
  ASSERT_TRUE(add(*ix, "fresh", vec_for(999), "{\"n\":1}").ok());
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  const auto before = live_rows(*ix);
  ix.reset();
  auto again = must_open(dir.path(), predicate::SkipSet{});
  ASSERT_TRUE(again);
  expect_aligned(*again);
  EXPECT_EQ(live_rows(*again), before);
}

}  // namespace
