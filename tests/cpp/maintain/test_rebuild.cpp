// Rebuild's gathering of live rows (order, ids, vectors from the int8 codes, metadata values,
// sparse terms), its cluster count and its skip fields.
#include <gtest/gtest.h>

#include <cmath>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/maintain/rebuild.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "support/segment_fixture.hpp"

namespace {

using namespace ivf_rabitq;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;

struct Source {
  TempDir dir;
  SegmentSpec spec;
  std::shared_ptr<index::IvfIndex> ix;
  Source(bool meta_files, std::optional<predicate::SkipSet> skip = std::nullopt) {
    spec.dim = 4;
    spec.n_clusters = 2;
    spec.quant_scale = 3.0f;
    spec.ids = tandrel_test::make_ids(6);
    spec.meta_files = meta_files;
    for (int i = 0; i < 6; ++i) spec.metas.push_back("{\"k\":\"v" + std::to_string(i % 2) + "\",\"n\":" + std::to_string(i) + "}");
    spec.sparse = {{{1, 1.0f}}, {}, {{2, 2.0f}, {1, 0.5f}}, {}, {}, {{9, 9.0f}}};
    storage::Delta d = tandrel_test::make_delta(spec, {"x", "y", "id2"}, {"{\"k\":\"v1\",\"extra\":true}", "not json", "{\"n\":2.5}"});
    d.rerank[1 * 5 + 4] = 0;
    d.sparse = {{{4, 4.0f}}, {}, {}};
    spec.delta = d;
    spec.tombstones = std::vector<uint32_t>{1, 2, 6 + 1};  // id1, id2 (upserted), y
    tandrel_test::write_segment(dir.path(), spec);
    auto r = index::IvfIndex::open_with_skip(dir.path(), skip);
    EXPECT_TRUE(r.ok());
    ix = std::move(r).value();
  }
};

TEST(Rebuild, GathersLiveRowsInSlotOrder) {
  for (bool meta_files : {true, false}) {
    Source s(meta_files);
    auto g = maintain::gather_live_rows(*s.ix);
    ASSERT_TRUE(g.ok());
    EXPECT_EQ(g->ids, (std::vector<std::string>{"id0", "id3", "id4", "id5", "x", "id2"}));
    ASSERT_EQ(g->vectors.size(), 6u * 4);
    // Main row id3 (slot 3) dequantised with its record exponent 128 (scale 1).
    const uint8_t* b = s.ix->orig_bin.view().data() + 3 * 4;
    for (int k = 0; k < 4; ++k) EXPECT_EQ(g->vectors[1 * 4 + k], (static_cast<float>(b[k]) - 128.0f) / 127.0f * 1.0f);
    EXPECT_EQ(g->meta[1], json::parse("{\"k\":\"v1\",\"n\":3}").value()) << meta_files;
    EXPECT_EQ(g->meta[4], json::parse("{\"k\":\"v1\",\"extra\":true}").value());
    EXPECT_EQ(g->meta[5], json::parse("{\"n\":2.5}").value());
    EXPECT_EQ(g->sparse[0], (storage::SparsePairs{{1, 1.0f}}));
    EXPECT_TRUE(g->sparse[1].empty());
    EXPECT_EQ(g->sparse[3], (storage::SparsePairs{{9, 9.0f}}));
    EXPECT_EQ(g->sparse[4], (storage::SparsePairs{{4, 4.0f}}));
  }
}

TEST(Rebuild, ClusterCountAndSkipFields) {
  EXPECT_EQ(maintain::rebuild_clusters(std::nullopt, 10000), 100u);
  EXPECT_EQ(maintain::rebuild_clusters(std::nullopt, 3), 1u);
  EXPECT_EQ(maintain::rebuild_clusters(std::nullopt, 0), 1u);
  EXPECT_EQ(maintain::rebuild_clusters(0u, 50), 1u);
  EXPECT_EQ(maintain::rebuild_clusters(50u, 20), 50u);  // cut to the rows by the build call

  Source s(true);
  auto g = maintain::gather_live_rows(*s.ix);
  ASSERT_TRUE(g.ok());
  // "extra" never got a column (no skip set at the open): it stays untyped.
  EXPECT_EQ(maintain::rebuild_skip_fields(std::nullopt, *g, s.ix->effective_fields()), (std::vector<std::string>{"extra"}));
  EXPECT_EQ(maintain::rebuild_skip_fields(predicate::SkipSet{"n"}, *g, s.ix->effective_fields()), (std::vector<std::string>{"n"}));
  EXPECT_EQ(maintain::rebuild_skip_fields(std::nullopt, *g, {}), (std::vector<std::string>{"extra", "k", "n"}));
}

TEST(Rebuild, WritesANewSegmentAtTheGivenGeneration) {
  Source s(true);
  TempDir out;
  const std::string o = out.path() + "/s";
  ASSERT_TRUE(maintain::rebuild_to(*s.ix, o, std::nullopt, std::nullopt, 5).ok());
  EXPECT_EQ(storage::read_generation(o), 5u);
  auto back = index::IvfIndex::open_with_skip(o, std::nullopt);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ((*back)->live_count(), 6u);
  EXPECT_EQ((*back)->manifest.n_clusters, 2u);  // floor(sqrt(6))
  EXPECT_EQ((*back)->manifest.quant_scale, 3.0f);
  EXPECT_EQ((*back)->manifest.seed, s.ix->manifest.seed);
  for (const auto& f : (*back)->manifest.fields) EXPECT_NE(f.name, "extra");
}

}  // namespace
