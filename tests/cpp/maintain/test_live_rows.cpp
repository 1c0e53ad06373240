// The live-row source of the maintenance paths: which rows it yields per cluster and in slot
// order, the contents it reads for main and delta rows, and that it works on copies.
#include <gtest/gtest.h>

#include <cmath>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/maintain/live_rows.hpp"
#include "support/segment_fixture.hpp"

namespace {

using namespace ivf_rabitq;
using maintain::LiveRows;
using maintain::RowRef;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;

struct Fixture {
  TempDir dir;
  std::shared_ptr<index::IvfIndex> ix;
  explicit Fixture(bool origscale) {
    SegmentSpec s;
    s.dim = 4;
    s.n_clusters = 3;
    s.quant_scale = 2.0f;
    s.origscale = origscale;
    s.ids = tandrel_test::make_ids(9);
    // 9 main rows: the fixture spreads them over the clusters by its offsets; delta rows go to
    // clusters 0, 1, 2, 0, 1 (row % 3).
    storage::Delta d = tandrel_test::make_delta(s, {"a", "b", "c", "d", "e"});
    d.rerank[1 * 5 + 4] = 0;    // "b": segment scale
    d.rerank[2 * 5 + 4] = 131;  // "c": 2^3
    d.rerank[3 * 5 + 4] = 1;    // "d": raised to 2^-126
    d.sparse = {{{5, 1.0f}}, {}, {{6, 2.0f}}, {}, {}};
    s.delta = d;
    s.tombstones = std::vector<uint32_t>{1, 4, 9 + 3};
    tandrel_test::write_segment(dir.path(), s);
    auto r = index::IvfIndex::open_with_skip(dir.path(), std::nullopt);
    EXPECT_TRUE(r.ok());
    ix = std::move(r).value();
  }
};

TEST(LiveRows, ClustersYieldLiveMainRowsThenLiveDeltaRows) {
  Fixture f(true);
  LiveRows rows(*f.ix);
  ASSERT_TRUE(maintain::check_row_sources(rows).ok());
  EXPECT_EQ(rows.live_count(), 9u - 2 + 5 - 1);
  EXPECT_EQ(rows.live_count(), f.ix->live_count());
  std::vector<RowRef> seen;
  for (size_t c = 0; c < rows.n_clusters(); ++c) {
    std::vector<RowRef> in_c;
    ASSERT_TRUE(rows.for_each_in_cluster(c, [&](RowRef r) {
      in_c.push_back(r);
      return Status{};
    }).ok());
    // Main rows of the cluster's slot range, ascending, then its delta rows ascending.
    auto [b, e] = rows.main_range(c);
    std::vector<RowRef> want;
    for (uint32_t s = b; s < e; ++s)
      if (s != 1 && s != 4) want.push_back({false, s});
    for (uint32_t d = 0; d < 5; ++d)
      if (d % 3 == c && d != 3) want.push_back({true, d});
    EXPECT_EQ(in_c, want) << "cluster " << c;
    seen.insert(seen.end(), in_c.begin(), in_c.end());
  }
  EXPECT_EQ(seen.size(), rows.live_count());
  std::vector<RowRef> ordered;
  ASSERT_TRUE(rows.for_each([&](RowRef r) {
    ordered.push_back(r);
    return Status{};
  }).ok());
  ASSERT_EQ(ordered.size(), seen.size());
  EXPECT_EQ(ordered.front(), (RowRef{false, 0}));
  EXPECT_EQ(ordered.back(), (RowRef{true, 4}));
}

TEST(LiveRows, WorksOnCopiesTakenAtConstruction) {
  Fixture f(true);
  LiveRows rows(*f.ix);
  f.ix->locks().tombstones.write()->insert(0);
  f.ix->locks().delta.write()->ids.push_back("late");
  EXPECT_TRUE(rows.main_live(0));
  EXPECT_EQ(rows.delta_rows(), 5u);
}

TEST(LiveRows, DequantisationScalePerRowKind) {
  for (bool origscale : {true, false}) {
    Fixture f(origscale);
    LiveRows rows(*f.ix);
    struct Want {
      RowRef r;
      float scale;
    };
    const float main_scale = origscale ? 1.0f /* record exponent 128 */ : 2.0f;
    const Want cases[] = {
        {{false, 0}, main_scale},
        {{true, 0}, 1.0f},                  // exponent byte 128
        {{true, 1}, 2.0f},                  // 0: quant_scale
        {{true, 2}, 8.0f},                  // 131
        {{true, 3}, std::ldexp(1.0f, -126)},  // 1 counts as 2
    };
    for (const Want& w : cases) {
      EXPECT_EQ(rows.scale(w.r), w.scale) << w.r.delta << " " << w.r.index << " origscale " << origscale;
      float out[4];
      rows.dequantise(w.r, out);
      const uint8_t* b = rows.rerank(w.r);
      for (int k = 0; k < 4; ++k) EXPECT_EQ(out[k], ((static_cast<float>(b[k]) - 128.0f) / 127.0f) * w.scale);
    }
  }
}

TEST(LiveRows, IdsAndSparseTerms) {
  Fixture f(true);
  LiveRows rows(*f.ix);
  EXPECT_EQ(*rows.id({false, 2}), "id2");
  EXPECT_EQ(*rows.id({true, 4}), "e");
  ASSERT_EQ(rows.delta_sparse(2).size(), 1u);
  EXPECT_EQ(rows.delta_sparse(2)[0].first, 6u);
  EXPECT_TRUE(rows.delta_sparse(1).empty());
  EXPECT_TRUE(rows.main_sparse_by_slot().empty());
}

}  // namespace
