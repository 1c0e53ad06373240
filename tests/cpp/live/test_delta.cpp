// ctest-labels: tsan
// Delta rows: the upsert/delete table (slots, tombstones, epochs), what one add stores
// (cluster choice against a plain reference, codes, rerank bytes, typed values, postings),
// column alignment, the padding of a delta stored without texts or terms, and concurrent
// lookups during upserts (an upserted id never resolves to no row).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "live/test_wal_fixture.hpp"

using namespace durable_test;
using tandrel_test::TempDir;

namespace {

class Delta : public ::testing::Test {
 protected:
  void SetUp() override {
    tandrel_test::write_segment(dir.path(), small_spec());
    ix = must_open(dir.path());
    ASSERT_TRUE(ix);
  }
  TempDir dir;
  std::shared_ptr<IvfIndex> ix;
};

}  // namespace

TEST_F(Delta, UpsertAndDeleteTable) {
  // Each step: an add (vector seed) or a delete; the expected result, slot of the id
  // afterwards, tombstones and tomb_epoch.
  struct Step {
    const char* what;
    bool is_add;
    std::string id;
    bool del_result;  // for deletes
    std::optional<uint32_t> slot;
    std::vector<uint32_t> tombs;
    uint64_t epoch;
  };
  const std::vector<Step> steps = {
      {"new id", true, "new", false, 10, {}, 0},
      {"main id", true, "id2", false, 11, {2}, 1},
      {"delta id", true, "new", false, 12, {2, 10}, 2},
      {"delete delta id", false, "new", true, 12, {2, 10, 12}, 3},
      {"double delete", false, "new", false, 12, {2, 10, 12}, 3},
      {"re-add after delete", true, "new", false, 13, {2, 10, 12}, 3},
      {"unknown id", false, "ghost", false, std::nullopt, {2, 10, 12}, 3},
      {"delete main id", false, "id5", true, 5, {2, 5, 10, 12}, 4},
      {"re-add deleted main id", true, "id5", false, 14, {2, 5, 10, 12}, 4},
  };
  int seed = 0;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.what);
    if (s.is_add) {
      ASSERT_TRUE(add(*ix, s.id, vec_for(++seed)).ok());
    } else {
      auto r = live::delete_logged(*ix, s.id);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(*r, s.del_result);
    }
    EXPECT_EQ(ix->slot_of(s.id), s.slot);
    EXPECT_EQ(ix->locks().tombstones.read()->to_vector(), s.tombs);
    EXPECT_EQ(ix->tomb_epoch.load(), s.epoch);
  }
  // The same sequence replayed from the log gives the same state.
  auto again = must_open(dir.path());
  EXPECT_EQ(again->locks().tombstones.read()->to_vector(), ix->locks().tombstones.read()->to_vector());
  EXPECT_EQ(again->tomb_epoch.load(), 4u);
  EXPECT_EQ(again->locks().delta.read()->ids, ix->locks().delta.read()->ids);
  EXPECT_EQ(storage::encode_delta(*again->locks().delta.read()), storage::encode_delta(*ix->locks().delta.read()));  // NaN-safe
  EXPECT_EQ(live_rows(*again), live_rows(*ix));
}

TEST_F(Delta, ApplyDeleteDirectly) {
  EXPECT_FALSE(live::apply_delete(*ix, "ghost"));
  EXPECT_TRUE(live::apply_delete(*ix, "id0"));
  EXPECT_FALSE(live::apply_delete(*ix, "id0"));
  EXPECT_EQ(ix->tomb_epoch.load(), 1u);
}

TEST_F(Delta, WhatOneAddStores) {
  const auto v = vec_for(42);
  const storage::SparsePairs sp = {{7, 0.5f}, {7, 0.25f}, {3, 1.0f}};
  ASSERT_TRUE(add(*ix, "r", v, "{\"s\":\"v1\",\"n\":2.5,\"other\":true}", sp).ok());
  auto d = ix->locks().delta.read();
  const auto& m = ix->manifest;
  const size_t pad = m.pad, words = m.words_per_plane;

  // Reference: rotate, plain coordinate-order f32 distances, first smallest, residual.
  std::vector<float> r(pad, 0.0f);
  ix->rotator.rotate_into(v, r);
  uint32_t best = 0;
  float best_d = std::numeric_limits<float>::infinity();
  for (uint32_t c = 0; c < m.n_clusters; ++c) {
    float acc = 0.0f;
    for (size_t i = 0; i < pad; ++i) {
      const float diff = r[i] - ix->centroids_rot[c * pad + i];
      acc += diff * diff;
    }
    if (acc < best_d) {
      best_d = acc;
      best = c;
    }
  }
  for (size_t i = 0; i < pad; ++i) r[i] -= ix->centroids_rot[best * pad + i];
  std::vector<uint64_t> code(m.n_bits * words);
  std::array<float, 4> f{};
  codec::encode_rotated_bbit(r, ix->rotator.dim, static_cast<uint32_t>(m.n_bits), words, code, f);

  EXPECT_EQ(d->clusters, (std::vector<uint32_t>{best}));
  EXPECT_EQ(d->codes, code);
  EXPECT_EQ(std::memcmp(d->factors.data(), f.data(), 16), 0);
  EXPECT_EQ(d->rerank, expected_row(*ix, v, "").rerank);
  EXPECT_EQ(d->meta, (std::vector<std::string>{"{\"n\":2.5,\"other\":true,\"s\":\"v1\"}"}));
  EXPECT_EQ(d->sparse, (std::vector<storage::SparsePairs>{sp}));
  // Typed against the main schema (n numeric, s string with keys v0..v2): no growth.
  ASSERT_EQ(d->num_cols.size(), 1u);
  ASSERT_EQ(d->str_cols.size(), 1u);
  EXPECT_EQ(d->num_cols[0], (std::vector<double>{2.5}));
  EXPECT_EQ(d->str_cols[0], (std::vector<uint32_t>{ix->manifest.fields[1].dict.at("v1")}));
  EXPECT_EQ(ix->schema_epoch.load(), 0u);
  auto ds = ix->locks().delta_sparse.read();
  EXPECT_EQ(ds->at(7), (std::vector<std::pair<uint32_t, float>>{{0, 0.5f}, {0, 0.25f}}));
  EXPECT_EQ(ds->at(3), (std::vector<std::pair<uint32_t, float>>{{0, 1.0f}}));
}

TEST_F(Delta, NonObjectMetadataTypesNothing) {
  for (const char* meta : {"null", "[1,2]", "3"}) ASSERT_TRUE(add(*ix, meta, vec_for(1), meta).ok());
  auto d = ix->locks().delta.read();
  EXPECT_EQ(d->meta, (std::vector<std::string>{"null", "[1,2]", "3"}));
  EXPECT_TRUE(std::isnan(d->num_cols[0][0]) && std::isnan(d->num_cols[0][1]) && std::isnan(d->num_cols[0][2]));
  EXPECT_EQ(d->str_cols[0], (std::vector<uint32_t>(3, predicate::kAbsentCode)));
}

TEST(DeltaCluster, TiesGoToTheLowerCluster) {
  // Two identical centroids: every row goes to cluster 0.
  TempDir dir;
  auto spec = small_spec(4);
  spec.n_clusters = 3;
  tandrel_test::write_segment(dir.path(), spec);
  auto ix = must_open(dir.path());
  const size_t pad = ix->manifest.pad;
  std::copy(ix->centroids_rot.begin(), ix->centroids_rot.begin() + pad, ix->centroids_rot.begin() + pad);
  // The open packed the rotated centroids for the nearest-cluster scan: pack the changed ones.
  ix->packed_centroids = ivf_rabitq::distance::PackedVectors::pack(ix->centroids_rot.data(), 3, pad);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(add(*ix, "t" + std::to_string(i), vec_for(i)).ok());
  for (uint32_t c : ix->locks().delta.read()->clusters) EXPECT_NE(c, 1u);
}

TEST(DeltaCluster, ManyClustersMatchThePlainScan) {
  // 100 clusters at dim 40 (pad 64): the vectorised scan against a plain reference.
  TempDir dir;
  auto spec = small_spec(100);
  spec.dim = 40;
  spec.n_clusters = 100;
  spec.metas.clear();
  tandrel_test::write_segment(dir.path(), spec);
  auto ix = must_open(dir.path());
  const size_t pad = ix->manifest.pad;
  for (int i = 0; i < 50; ++i) {
    const auto v = vec_for(1000 + i, 40);
    ASSERT_TRUE(add(*ix, "m" + std::to_string(i), v).ok());
    std::vector<float> r(pad, 0.0f);
    ix->rotator.rotate_into(v, r);
    uint32_t best = 0;
    float best_d = std::numeric_limits<float>::infinity();
    for (uint32_t c = 0; c < 100; ++c) {
      float acc = 0.0f;
      for (size_t k = 0; k < pad; ++k) {
        const float diff = r[k] - ix->centroids_rot[c * pad + k];
        acc += diff * diff;
      }
      if (acc < best_d) best_d = acc, best = c;
    }
    EXPECT_EQ(ix->locks().delta.read()->clusters.back(), best) << i;
  }
}

TEST(DeltaColumns, FirstAddCreatesOneColumnPerMainFile) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  auto ix = must_open(dir.path());
  EXPECT_TRUE(ix->locks().delta.read()->num_cols.empty());
  ASSERT_TRUE(add(*ix, "a", vec_for(1), "{}").ok());
  auto d = ix->locks().delta.read();
  EXPECT_EQ(d->num_cols.size(), ix->num_bins.size());
  EXPECT_EQ(d->str_cols.size(), ix->str_bins.size());
  EXPECT_EQ(d->num_cols[0].size(), 1u);
}

TEST(DeltaColumns, StoredDeltaWithoutTextsOrTermsIsPadded) {
  TempDir dir;
  auto spec = small_spec();
  spec.delta = tandrel_test::make_delta(spec, {"d0", "d1"});
  ASSERT_TRUE(spec.delta->meta.empty());
  ASSERT_TRUE(spec.delta->sparse.empty());
  tandrel_test::write_segment(dir.path(), spec);
  auto ix = must_open(dir.path());
  ASSERT_TRUE(add(*ix, "a", vec_for(1), "{\"s\":\"v2\"}", {{5, 1.0f}}).ok());
  auto d = ix->locks().delta.read();
  EXPECT_EQ(d->meta, (std::vector<std::string>{"null", "null", "{\"s\":\"v2\"}"}));
  ASSERT_EQ(d->sparse.size(), 3u);
  EXPECT_EQ(d->sparse[2], (storage::SparsePairs{{5, 1.0f}}));
  EXPECT_EQ(ix->locks().delta_sparse.read()->at(5), (std::vector<std::pair<uint32_t, float>>{{2, 1.0f}}));
}

TEST(DeltaConcurrency, UpsertedIdNeverResolvesToNoRow) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  auto ix = must_open(dir.path());
  ix->durability_interval.store(1000000);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> misses{0}, lookups{0}, both_dead{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      const std::string id = "id" + std::to_string(t);
      while (!stop.load()) {
        auto s = ix->slot_of(id);
        if (!s) misses.fetch_add(1);
        // A search-like view (tombstones, then delta): at least one row of the id is live.
        {
          auto tomb = ix->locks().tombstones.read();
          auto d = ix->locks().delta.read();
          bool live = !tomb->contains(static_cast<uint32_t>(t));
          for (size_t r = 0; r < d->ids.size() && !live; ++r)
            if (d->ids[r] == id && !tomb->contains(static_cast<uint32_t>(10 + r))) live = true;
          if (!live) both_dead.fetch_add(1);
        }
        lookups.fetch_add(1);
      }
    });
  }
  while (lookups.load() == 0) std::this_thread::yield();
  int i = 0;
  for (; i < 300 || (lookups.load() < 2000 && i < 20000); ++i) {
    ASSERT_TRUE(add(*ix, "id" + std::to_string(i % 3), vec_for(i)).ok());
    if (i % 16 == 0) std::this_thread::yield();
  }
  stop = true;
  for (auto& th : readers) th.join();
  EXPECT_GT(lookups.load(), 0u);
  EXPECT_EQ(misses.load(), 0u);
  EXPECT_EQ(both_dead.load(), 0u);
  EXPECT_EQ(ix->tomb_epoch.load(), static_cast<uint64_t>(i));
}
