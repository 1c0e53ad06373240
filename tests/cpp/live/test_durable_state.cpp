// ctest-labels: tsan
// Durability cases checked line by line against the intended behaviour: the handle's own log
// sync must not claim replayed deletes durable when it synced nothing; the packed centroids
// and per-cluster delta lists an index derives belong to that index alone (explicit drop()
// followed by more adds, a checkpoint and a reopen with log replay, indexes opened and
// released concurrently, searches running while adds extend the lists); rerank bytes of a delta row at the two scale regimes; a checkpoint
// after a failed sync with no new tombstones; delta.bin's column lists after schema growth.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <filesystem>
#include <thread>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/live/schema_growth.hpp"
#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "live/test_wal_fixture.hpp"

using namespace durable_test;
using tandrel_test::TempDir;

namespace {

// The cluster apply_add must choose: plain coordinate-order f32 sums, first smallest.
uint32_t plain_nearest(const IvfIndex& ix, const std::vector<float>& v) {
  const size_t pad = ix.manifest.pad;
  std::vector<float> r(pad, 0.0f);
  ix.rotator.rotate_into(v, r);
  uint32_t best = 0;
  float best_d = std::numeric_limits<float>::infinity();
  for (uint32_t c = 0; c < ix.manifest.n_clusters; ++c) {
    float acc = 0.0f;
    for (size_t i = 0; i < pad; ++i) {
      const float diff = r[i] - ix.centroids_rot[c * pad + i];
      acc += diff * diff;
    }
    if (acc < best_d) best_d = acc, best = c;
  }
  return best;
}

}  // namespace

// After an open that replayed deletes, no log descriptor is held and the log's bytes may not
// be on stable storage. The handle's sync then syncs nothing, so it must not raise
// durable_tomb_epoch; the checkpoint must still fdatasync the log before deleted.bin.
TEST(SyncEdges, SyncWithoutDescriptorLeavesReplayedDeletesToTheCheckpoint) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  {
    auto ix = must_open(dir.path());
    ix->durability_interval.store(100);
    ASSERT_TRUE(*live::delete_logged(*ix, "id3"));
  }
  auto ix = must_open(dir.path());
  ASSERT_EQ(ix->tomb_epoch.load(), 1u);
  ASSERT_EQ(ix->durable_tomb_epoch.load(), 0u);
  ASSERT_FALSE(ix->locks().wal.lock()->valid());
  fileops::set_counting(true);
  ix->ops_since_sync.store(3);
  ASSERT_TRUE(live::wal_sync_now(*ix).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 0u);
  EXPECT_EQ(ix->ops_since_sync.load(), 0u);       // still a successful sync for the policy
  EXPECT_EQ(ix->durable_tomb_epoch.load(), 0u);   // but nothing was made durable
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 1u);  // the replayed log, through a fresh descriptor
  EXPECT_EQ(ix->durable_tomb_epoch.load(), 1u);
  fileops::disarm_all();
  fileops::set_counting(false);
}

namespace {

// The index's derived data against its own members: the packed centroids hold exactly the
// rotated centroids, and the per-cluster delta lists regroup the delta's clusters. Empty
// string when they agree.
std::string derived_mismatch(const IvfIndex& ix) {
  const size_t k = ix.manifest.n_clusters, pad = ix.manifest.pad;
  const auto& pv = ix.packed_centroids;
  if (pv.size() != k || pv.dim() != pad) return "packed shape";
  for (size_t c = 0; c < k; ++c)
    for (size_t j = 0; j < pad; ++j)
      if (std::bit_cast<uint32_t>(pv.at(c, j)) != std::bit_cast<uint32_t>(ix.centroids_rot[c * pad + j]))
        return "packed value of cluster " + std::to_string(c);
  auto d = ix.locks().delta.read();
  const auto& lists = ix.delta_lists;
  if (lists.rows() != d->clusters.size()) return "list rows";
  if (lists.clusters() != k) return "list clusters";
  std::vector<std::vector<uint32_t>> want(k);
  for (size_t i = 0; i < d->clusters.size(); ++i)
    if (d->clusters[i] < k) want[d->clusters[i]].push_back(static_cast<uint32_t>(i));
  for (uint32_t c = 0; c < k; ++c) {
    auto got = lists.rows_of(c);
    if (!std::equal(got.begin(), got.end(), want[c].begin(), want[c].end())) return "list of cluster " + std::to_string(c);
  }
  return "";
}

}  // namespace

// Each open index carries its own packed centroids and delta lists, built by the open
// (from delta.bin, then extended by the replayed adds) and extended by every add, also
// after an explicit drop() and across a checkpoint.
TEST(DerivedEdges, FollowTheirOwnIndexThroughAddsCheckpointAndReopen) {
  TempDir dir;
  auto spec = small_spec();
  spec.n_clusters = 3;
  tandrel_test::write_segment(dir.path(), spec);
  {
    auto ix = must_open(dir.path());
    EXPECT_EQ(derived_mismatch(*ix), "");
    EXPECT_EQ(ix->delta_lists.rows(), 0u);
    for (int i = 0; i < 6; ++i) {
      const auto v = vec_for(i);
      ASSERT_TRUE(add(*ix, "a" + std::to_string(i), v).ok());
      EXPECT_EQ(ix->locks().delta.read()->clusters.back(), plain_nearest(*ix, v));
    }
    EXPECT_EQ(derived_mismatch(*ix), "");
    ASSERT_TRUE(live::checkpoint(*ix).ok());  // delta.bin holds a0..a5
    ix->drop();
    for (int i = 6; i < 10; ++i) {
      const auto v = vec_for(i);
      ASSERT_TRUE(add(*ix, "a" + std::to_string(i), v).ok());  // logged only
      EXPECT_EQ(ix->locks().delta.read()->clusters.back(), plain_nearest(*ix, v));
    }
    EXPECT_EQ(derived_mismatch(*ix), "");
  }
  auto ix = must_open(dir.path());  // delta.bin rows, then the replayed ones
  ASSERT_EQ(ix->locks().delta.read()->rows(), 10u);
  EXPECT_EQ(derived_mismatch(*ix), "");
  // Another segment opened next (possibly at a recycled address) has only its own.
  TempDir other;
  auto spec2 = small_spec(12);
  spec2.n_clusters = 2;
  spec2.seed = 77;
  tandrel_test::write_segment(other.path(), spec2);
  ix.reset();
  auto iy = must_open(other.path());
  EXPECT_EQ(derived_mismatch(*iy), "");
  EXPECT_EQ(iy->delta_lists.rows(), 0u);
}

// Indexes of different segments opened, added to and released on several threads at once:
// every add's cluster matches the plain scan of its own index's centroids, and each index's
// derived data matches its own members, so no index ever picks up another's.
TEST(DerivedEdges, ConcurrentIndexesNeverShareCentroids) {
  constexpr int kThreads = 4;
  std::vector<TempDir> dirs(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    auto spec = small_spec(12);
    spec.n_clusters = 2 + static_cast<uint64_t>(t);  // different centroid counts and values
    spec.seed = 100 + static_cast<uint64_t>(t);
    tandrel_test::write_segment(dirs[t].path(), spec);
  }
  std::atomic<int> mismatches{0}, failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 6; ++round) {
        auto r = IvfIndex::open_with_skip(dirs[t].path(), std::nullopt);
        if (!r.ok()) {
          failures.fetch_add(1);
          return;
        }
        auto ix = std::move(r).value();
        ix->durability_interval.store(1000);
        for (int i = 0; i < 3; ++i) {
          const auto v = vec_for(1000 * t + 10 * round + i);
          if (!add(*ix, "t" + std::to_string(round) + "_" + std::to_string(i), v).ok()) failures.fetch_add(1);
          if (ix->locks().delta.read()->clusters.back() != plain_nearest(*ix, v)) mismatches.fetch_add(1);
        }
        if (!derived_mismatch(*ix).empty()) mismatches.fetch_add(1);
        ix.reset();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mismatches.load(), 0);
}

// Searches running while adds extend the delta and its per-cluster lists: a search never
// returns a slot beyond the rows it could see, and afterwards the lists regroup the delta
// exactly and every added row is found by the dense search as by the exact one.
TEST(DerivedEdges, SearchesRunWhileAddsExtendTheLists) {
  TempDir dir;
  auto spec = small_spec(40);
  spec.n_clusters = 4;
  tandrel_test::write_segment(dir.path(), spec);
  auto ix = must_open(dir.path());
  ix->durability_interval.store(1000);
  constexpr int kAdds = 60;
  std::atomic<bool> done{false};
  std::atomic<int> bad{0}, searches{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&, t] {
      // One-thread pools: the searches run on their own threads only (the thread sanitizer
      // cannot see the task pool's internal synchronisation).
      parallel::with_threads(1, [&] {
        for (uint64_t q = 0; !done.load() || q < 4; ++q) {
          const auto v = vec_for(5000 + 100000 * static_cast<uint64_t>(t) + q);
          const auto got = search::search_core(*ix, v, 5, 2, 20, nullptr, false);
          const uint64_t limit = ix->manifest.n + ix->locks().delta.read()->rows();
          for (const auto& [s, d] : got)
            if (s >= limit) bad.fetch_add(1);
          searches.fetch_add(1);
        }
      });
    });
  }
  int failed = 0;
  for (int i = 0; i < kAdds; ++i) failed += add(*ix, "c" + std::to_string(i), vec_for(i)).ok() ? 0 : 1;
  done.store(true);
  for (auto& r : readers) r.join();
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GE(searches.load(), 8);
  EXPECT_EQ(derived_mismatch(*ix), "");
  parallel::with_threads(1, [&] {
    for (int i = 0; i < kAdds; ++i) {
      const auto v = vec_for(i);
      // Every cluster probed and a pool larger than the segment: the dense search is exact.
      const auto dense = search::search_core(*ix, v, 3, 4, 200, nullptr, false);
      const auto exact = search::search_bruteforce(*ix, v, 3, nullptr);
      ASSERT_EQ(dense.size(), exact.size()) << i;
      for (size_t j = 0; j < dense.size(); ++j) {
        EXPECT_EQ(dense[j].first, exact[j].first) << i;
        EXPECT_EQ(std::bit_cast<uint32_t>(dense[j].second), std::bit_cast<uint32_t>(exact[j].second)) << i;
      }
    }
  });
}

// Rerank bytes of one added row at the two scale regimes (dim 8).
TEST(DeltaRowsEdges, RerankBytesTable) {
  struct Case {
    const char* name;
    bool origscale;
    float quant_scale;
    std::vector<float> v;
    std::vector<uint8_t> want;  // dim code bytes, then the exponent byte
  };
  const float kBig = 1e-3f;
  const std::vector<Case> cases = {
      {"per-row scales, zero vector", true, 1.0f, std::vector<float>(8, 0.0f), {128, 128, 128, 128, 128, 128, 128, 128, 2}},
      {"segment scale 0 acts as 1e-9", false, 0.0f,
       {0.0f, 1e-9f, -1e-9f, kBig, -kBig, 0.0f, 0.0f, 0.0f},
       {128, 255, 1, 255, 0, 128, 128, 128, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto spec = small_spec();
    spec.origscale = c.origscale;
    spec.quant_scale = c.quant_scale;
    tandrel_test::write_segment(dir.path(), spec);
    auto ix = must_open(dir.path());
    ASSERT_EQ(ix->origscale_bin.has_value(), c.origscale);
    ASSERT_TRUE(add(*ix, "r", c.v).ok());
    EXPECT_EQ(ix->locks().delta.read()->rerank, c.want);
  }
}

// A failed group-commit sync followed by adds only: the checkpoint has no tombstone to cover,
// so it writes its files without syncing the log, clears the flag, and adds are confirmed
// (and synced) again.
TEST(CheckpointEdges, AfterFailedSyncWithoutTombstonesNoLogSync) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  auto ix = must_open(dir.path());
  {
    fileops::ScopedFaults f(fileops::Fault{fileops::Op::Fdatasync, 1, fileops::Action::Errno, EIO});
    ASSERT_FALSE(add(*ix, "a", vec_for(1)).ok());
  }
  ASSERT_TRUE(ix->fsync_failed.load());
  auto refused = add(*ix, "b", vec_for(2));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().text(),
            "WAL fsync previously failed; call sync()/flush() to recover durability before confirming this op");
  ASSERT_EQ(ix->tomb_epoch.load(), ix->durable_tomb_epoch.load());
  fileops::set_counting(true);
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 0u);
  EXPECT_FALSE(ix->fsync_failed.load());
  ASSERT_TRUE(add(*ix, "c", vec_for(3)).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 1u);
  fileops::disarm_all();
  fileops::set_counting(false);
  ix.reset();
  auto again = must_open(dir.path());
  EXPECT_EQ(again->locks().delta.read()->ids, (std::vector<std::string>{"a", "b", "c"}));
}

// After adds that introduced new fields, delta.bin holds exactly as many column lists as the
// segment has column files while memory keeps the grown ones; the reopen rebuilds them.
TEST(CheckpointEdges, DeltaFileCutsGrownColumns) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  auto ix = must_open(dir.path(), predicate::SkipSet{});
  ASSERT_TRUE(add(*ix, "a", vec_for(1), R"({"fresh":7,"label":"x"})").ok());
  ASSERT_TRUE(add(*ix, "b", vec_for(2), R"({"fresh":8,"s":"v0"})").ok());
  ASSERT_EQ(ix->locks().delta.read()->num_cols.size(), 2u);
  ASSERT_EQ(ix->locks().delta.read()->str_cols.size(), 2u);
  const auto mem_before = storage::encode_delta(*ix->locks().delta.read());
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  EXPECT_EQ(storage::encode_delta(*ix->locks().delta.read()), mem_before);  // memory unchanged
  auto file = storage::read_file(dir.file("delta.bin"));
  ASSERT_TRUE(file.ok());
  std::span<const uint8_t> body;
  ASSERT_EQ(storage::check_frame(*file, storage::kDeltaMagic, &body), storage::FrameCheck::Ok);
  auto disk = storage::decode_delta(body);
  ASSERT_TRUE(disk.ok());
  EXPECT_EQ(disk->num_cols.size(), ix->num_bins.size());
  EXPECT_EQ(disk->str_cols.size(), ix->str_bins.size());
  EXPECT_EQ(disk->ids, (std::vector<std::string>{"a", "b"}));
  const auto live = *ix->locks().live_schema.read();
  ix.reset();
  auto again = must_open(dir.path(), predicate::SkipSet{});
  EXPECT_EQ(*again->locks().live_schema.read(), live);
  EXPECT_EQ(storage::encode_delta(*again->locks().delta.read()), mem_before);
}
