// ctest-labels: tsan
// Durability cases checked line by line against the intended behaviour: the handle's own log
// sync must not claim replayed deletes durable when it synced nothing; the add path's packed
// centroids are keyed by the index's address and must never outlive the index (explicit
// drop() followed by more adds, indexes opened and released concurrently); rerank bytes of a
// delta row at the two scale regimes; a checkpoint after a failed sync with no new
// tombstones; delta.bin's column lists after schema growth.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>

#include "ivf_rabitq/fileops.hpp"
#include "ivf_rabitq/index/schema_growth.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "test_wal_fixture.hpp"

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
TEST(AuditSync, SyncWithoutDescriptorLeavesReplayedDeletesToTheCheckpoint) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  {
    auto ix = must_open(dir.path());
    ix->durability_interval.store(100);
    ASSERT_TRUE(*index::delete_logged(*ix, "id3"));
  }
  auto ix = must_open(dir.path());
  ASSERT_EQ(ix->tomb_epoch.load(), 1u);
  ASSERT_EQ(ix->durable_tomb_epoch.load(), 0u);
  ASSERT_FALSE(ix->wal.lock()->has_value());
  fileops::set_counting(true);
  ix->ops_since_sync.store(3);
  ASSERT_TRUE(index::wal_sync_now(*ix).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 0u);
  EXPECT_EQ(ix->ops_since_sync.load(), 0u);       // still a successful sync for the policy
  EXPECT_EQ(ix->durable_tomb_epoch.load(), 0u);   // but nothing was made durable
  ASSERT_TRUE(index::checkpoint(*ix).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 1u);  // the replayed log, through a fresh descriptor
  EXPECT_EQ(ix->durable_tomb_epoch.load(), 1u);
  fileops::disarm_all();
  fileops::set_counting(false);
}

// The packed centroids live in a map keyed by the index's address. An add after an explicit
// drop() must not leave an entry behind once the index is gone: a later index allocated at
// the same address would otherwise scan another segment's centroids.
TEST(AuditScratch, NoEntryOutlivesTheIndex) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  const size_t base = index::add_scratch_entries_for_testing();
  auto ix = must_open(dir.path());
  EXPECT_EQ(index::add_scratch_entries_for_testing(), base);
  ASSERT_TRUE(add(*ix, "a", vec_for(1)).ok());
  EXPECT_EQ(index::add_scratch_entries_for_testing(), base + 1);
  ix->drop();
  EXPECT_EQ(index::add_scratch_entries_for_testing(), base);
  ASSERT_TRUE(add(*ix, "b", vec_for(2)).ok());  // rebuilt on demand
  EXPECT_EQ(index::add_scratch_entries_for_testing(), base + 1);
  EXPECT_EQ(ix->delta.read()->clusters.back(), plain_nearest(*ix, vec_for(2)));
  ix.reset();
  EXPECT_EQ(index::add_scratch_entries_for_testing(), base);
  // An open that replayed adds and then failed its tombstone reconciliation (a tombstone the
  // replay does not recreate) releases its entry too.
  TempDir bad;
  auto spec = small_spec();
  spec.tombstones = std::vector<uint32_t>{15};
  tandrel_test::write_segment(bad.path(), spec);
  std::filesystem::copy_file(dir.file("wal.bin"), bad.file("wal.bin"));
  auto r = IvfIndex::open_with_skip(bad.path(), std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().text().find("does not recreate"), std::string::npos) << r.error().text();
  EXPECT_EQ(index::add_scratch_entries_for_testing(), base);
}

// Indexes of different segments opened, added to and released on several threads at once:
// every add's cluster matches the plain scan of its own index's centroids, so no index ever
// picks up another's packed centroids (addresses are reused as indexes come and go).
TEST(AuditScratch, ConcurrentIndexesNeverShareCentroids) {
  constexpr int kThreads = 4;
  std::vector<TempDir> dirs(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    auto spec = small_spec(12);
    spec.n_clusters = 2 + static_cast<uint64_t>(t);  // different centroid counts and values
    spec.seed = 100 + static_cast<uint64_t>(t);
    tandrel_test::write_segment(dirs[t].path(), spec);
  }
  const size_t base = index::add_scratch_entries_for_testing();
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
          if (ix->delta.read()->clusters.back() != plain_nearest(*ix, v)) mismatches.fetch_add(1);
        }
        ix.reset();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(index::add_scratch_entries_for_testing(), base);
}

// Rerank bytes of one added row at the two scale regimes (dim 8).
TEST(AuditDeltaRows, RerankBytesTable) {
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
    EXPECT_EQ(ix->delta.read()->rerank, c.want);
  }
}

// A failed group-commit sync followed by adds only: the checkpoint has no tombstone to cover,
// so it writes its files without syncing the log, clears the flag, and adds are confirmed
// (and synced) again.
TEST(AuditCheckpoint, AfterFailedSyncWithoutTombstonesNoLogSync) {
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
  ASSERT_TRUE(index::checkpoint(*ix).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 0u);
  EXPECT_FALSE(ix->fsync_failed.load());
  ASSERT_TRUE(add(*ix, "c", vec_for(3)).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 1u);
  fileops::disarm_all();
  fileops::set_counting(false);
  ix.reset();
  auto again = must_open(dir.path());
  EXPECT_EQ(again->delta.read()->ids, (std::vector<std::string>{"a", "b", "c"}));
}

// After adds that introduced new fields, delta.bin holds exactly as many column lists as the
// segment has column files while memory keeps the grown ones; the reopen rebuilds them.
TEST(AuditCheckpoint, DeltaFileCutsGrownColumns) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  auto ix = must_open(dir.path(), predicate::SkipSet{});
  ASSERT_TRUE(add(*ix, "a", vec_for(1), R"({"fresh":7,"label":"x"})").ok());
  ASSERT_TRUE(add(*ix, "b", vec_for(2), R"({"fresh":8,"s":"v0"})").ok());
  ASSERT_EQ(ix->delta.read()->num_cols.size(), 2u);
  ASSERT_EQ(ix->delta.read()->str_cols.size(), 2u);
  const auto mem_before = storage::encode_delta(*ix->delta.read());
  ASSERT_TRUE(index::checkpoint(*ix).ok());
  EXPECT_EQ(storage::encode_delta(*ix->delta.read()), mem_before);  // memory unchanged
  auto file = storage::read_file(dir.file("delta.bin"));
  ASSERT_TRUE(file.ok());
  std::span<const uint8_t> body;
  ASSERT_EQ(storage::check_frame(*file, storage::kDeltaMagic, &body), storage::FrameCheck::Ok);
  auto disk = storage::decode_delta(body);
  ASSERT_TRUE(disk.ok());
  EXPECT_EQ(disk->num_cols.size(), ix->num_bins.size());
  EXPECT_EQ(disk->str_cols.size(), ix->str_bins.size());
  EXPECT_EQ(disk->ids, (std::vector<std::string>{"a", "b"}));
  const auto live = *ix->live_schema.read();
  ix.reset();
  auto again = must_open(dir.path(), predicate::SkipSet{});
  EXPECT_EQ(*again->live_schema.read(), live);
  EXPECT_EQ(storage::encode_delta(*again->delta.read()), mem_before);
}
