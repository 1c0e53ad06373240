// Search of an open segment: a segment built with build_segment and opened from disk, with
// delta rows added through the add path, tombstones, compiled filters, the locks, and the
// per-segment derived data (packed centroids, per-cluster delta lists) across several
// indexes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <filesystem>
#include <random>
#include <string>

#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/codec/quant.hpp"

namespace builder = ivf_rabitq::builder;
namespace live = ivf_rabitq::live;
namespace search = ivf_rabitq::search;
namespace ix = ivf_rabitq::index;
namespace codec = ivf_rabitq::codec;
namespace fs = std::filesystem;
using search::SlotDistance;

namespace {

constexpr size_t kDim = 24;

struct TempDir {
  std::string path;
  TempDir() {
    path = (fs::temp_directory_path() / ("tandrel_search_" + std::to_string(::getpid()) + "_" +
                                         std::to_string(reinterpret_cast<uintptr_t>(this))))
               .string();
    fs::remove_all(path);
  }
  ~TempDir() { fs::remove_all(path); }
};

std::vector<float> rows_of(size_t n, uint64_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<float> nd(0.f, 1.f);
  std::vector<float> c(10 * kDim);
  for (auto& v : c) v = nd(g) * 4.f;
  std::vector<float> x(n * kDim);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < kDim; ++j) x[i * kDim + j] = c[(i % 10) * kDim + j] + nd(g);
  return x;
}

// Builds a segment of n rows with metadata {"g": i % 5} and opens it.
std::shared_ptr<ix::IvfIndex> build_and_open(const std::string& dir, const std::vector<float>& rows, size_t n,
                                             uint32_t clusters) {
  std::vector<std::string> ids, metas;
  for (size_t i = 0; i < n; ++i) {
    ids.push_back("r" + std::to_string(i));
    metas.push_back("{\"g\": " + std::to_string(i % 5) + "}");
  }
  builder::BuildParams bp;
  bp.n_clusters = clusters;
  bp.seed = 5;
  auto st = builder::build_segment(dir, std::span<const float>(rows.data(), n * kDim), n, kDim, std::move(ids),
                                   builder::BuildMetadata::texts(metas), {}, {}, {}, {}, bp);
  EXPECT_TRUE(st.ok()) << (st.ok() ? "" : st.error().text());
  auto opened = ix::IvfIndex::open_with_skip(dir, std::nullopt);
  EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().text());
  return std::move(opened).value();
}

// Adds a delta row through the add path (nearest rotated centroid, per-row rerank exponent,
// the numeric column "g"); returns its slot.
uint32_t add_delta_row(ix::IvfIndex& idx, const float* x, double g) {
  const size_t d0 = idx.locks().delta.read()->rows();
  auto doc = ivf_rabitq::json::parse("{\"g\": " + std::to_string(g) + "}");
  EXPECT_TRUE(doc.ok());
  live::apply_add(idx, "d" + std::to_string(d0), std::span<const float>(x, kDim), doc.value(),
                  ivf_rabitq::json::to_compact(doc.value()), {});
  return uint32_t(idx.manifest.n + d0);
}

void expect_same(const std::vector<SlotDistance>& a, const std::vector<SlotDistance>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].first, b[i].first) << what << " at " << i;
    ASSERT_EQ(std::bit_cast<uint32_t>(a[i].second), std::bit_cast<uint32_t>(b[i].second)) << what << " at " << i;
  }
}

}  // namespace

TEST(IndexSearch, FiltersDeltaTombstonesAndFallbackOnABuiltSegment) {
  TempDir dir;
  const size_t n = 4000;
  auto rows = rows_of(n + 200, 1);
  auto idx = build_and_open(dir.path, rows, n, 32);
  ASSERT_TRUE(idx);
  ASSERT_EQ(idx->num_bins.size(), 1u);

  // Delta rows, tombstones of main and delta rows.
  std::vector<uint32_t> dslots;
  for (size_t i = 0; i < 200; ++i) dslots.push_back(add_delta_row(*idx, rows.data() + (n + i) * kDim, double(i % 5)));
  {
    auto t = idx->locks().tombstones.write();
    for (uint32_t s = 0; s < n + 200; s += 9) t->insert(s);
  }

  // The index's per-cluster delta lists give the same results as lists grouped per call.
  ASSERT_EQ(idx->delta_lists.rows(), 200u);
  {
    search::IndexView own = search::index_view(*idx, true);
    own.seg.delta_lists = nullptr;
    const search::IndexView view = search::index_view(*idx, true);
    auto tombs = idx->locks().tombstones.read_recursive();
    auto delta = idx->locks().delta.read_recursive();
    const search::LiveView live{&*tombs, &*delta};
    for (size_t qi = 0; qi < 20; ++qi) {
      std::span<const float> q(rows.data() + (n + qi * 7) * kDim, kDim);
      search::DenseParams p;
      p.k = 10;
      p.nprobe = 1 + qi % 5;
      p.rerank = 40;
      expect_same(search::search_core_view(view.seg, live, q, p, {}), search::search_core_view(own.seg, live, q, p, {}),
                  "index lists vs per-call lists");
    }
  }

  auto f3 = idx->compile_filter_cached(R"({"g": 3})");
  ASSERT_TRUE(f3.ok());
  auto fnone = idx->compile_filter_cached(R"({"g": 7})");
  ASSERT_TRUE(fnone.ok());
  const ix::PredicatePtr none_pred, p3 = *f3, pnone = *fnone;

  int fallbacks = 0;
  for (size_t qi = 0; qi < 12; ++qi) {
    std::span<const float> q(rows.data() + (qi * 347 % (n + 200)) * kDim, kDim);
    for (const ix::PredicatePtr* f : {&none_pred, &p3, &pnone}) {
      for (uint64_t k : {1u, 10u, 300u}) {
        auto approx = search::search_core(*idx, q, k, 1, 20, *f, false);
        auto with = search::search_core(*idx, q, k, 1, 20, *f, true);
        auto exact = search::search_bruteforce(*idx, q, k, *f);
        if (approx.size() < k) {
          ++fallbacks;
          expect_same(with, exact, "fallback k=" + std::to_string(k));
        } else {
          expect_same(with, approx, "no fallback");
        }
        for (auto& [s, d] : exact) {
          ASSERT_FALSE(s % 9 == 0) << "tombstoned slot " << s;
          if (*f == p3) {
            const double g = s < n ? idx->num_bins[0].view()[s] : idx->locks().delta.read()->num_cols[0][s - n];
            ASSERT_EQ(g, 3.0);
          }
        }
      }
    }
  }
  EXPECT_GT(fallbacks, 10);

  // A delta row equal to the query comes first (it is live: 4001 is not a multiple of 9).
  const uint32_t d1 = dslots[1];
  ASSERT_NE(d1 % 9, 0u);
  auto got = search::search_core(*idx, std::span<const float>(rows.data() + (n + 1) * kDim, kDim), 3, 32, 400,
                                 nullptr, false);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0].first, d1);

  // Thread-count invariance through the index entry points.
  auto run = [&] {
    std::vector<std::vector<SlotDistance>> out;
    for (size_t qi = 0; qi < 6; ++qi) {
      std::span<const float> q(rows.data() + (qi * 911 % (n + 200)) * kDim, kDim);
      out.push_back(search::search_core(*idx, q, 10, 4, 30, nullptr, false));
      out.push_back(search::search_core(*idx, q, 10, 2, 30, p3, true));
      out.push_back(search::search_bruteforce(*idx, q, 50, p3));
    }
    return out;
  };
  std::vector<std::vector<SlotDistance>> ref;
  ivf_rabitq::parallel::with_threads(1, [&] { ref = run(); });
  for (size_t t : {2, 8}) {
    std::vector<std::vector<SlotDistance>> out;
    ivf_rabitq::parallel::with_threads(t, [&] { out = run(); });
    for (size_t i = 0; i < out.size(); ++i) expect_same(out[i], ref[i], "threads " + std::to_string(t));
  }
}

TEST(IndexSearch, SearchAidsFollowTheirSegment) {
  // Two different segments opened one after the other (and the first dropped before the
  // second opens, so addresses may be reused): each search must use its own centroids and
  // delta lists.
  TempDir a, b;
  auto rows_a = rows_of(1500, 2);
  auto rows_b = rows_of(1500, 3);
  std::vector<SlotDistance> first;
  std::span<const float> qa(rows_a.data() + 77 * kDim, kDim);
  {
    auto ia = build_and_open(a.path, rows_a, 1500, 12);
    add_delta_row(*ia, rows_a.data() + 5 * kDim, 0);
    first = search::search_core(*ia, qa, 5, 3, 50, nullptr, false);
    expect_same(first, search::search_bruteforce(*ia, qa, 5, nullptr), "segment a");
  }
  for (int round = 0; round < 3; ++round) {
    auto ib = build_and_open(b.path, rows_b, 1500, 12);
    std::span<const float> qb(rows_b.data() + 400 * kDim, kDim);
    for (int i = 0; i < round; ++i) add_delta_row(*ib, rows_b.data() + (10 + i) * kDim, 0);
    auto got = search::search_core(*ib, qb, 5, 12, 50, nullptr, false);
    expect_same(got, search::search_bruteforce(*ib, qb, 5, nullptr), "segment b round " + std::to_string(round));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].first, search::search_bruteforce(*ib, qb, 1, nullptr)[0].first);
  }
  auto ia2 = ix::IvfIndex::open_with_skip(a.path, std::nullopt);
  ASSERT_TRUE(ia2.ok());
  auto again = search::search_core(**ia2, qa, 5, 3, 50, nullptr, false);
  // The delta row added to the first index is not on disk, so it must not appear now.
  for (auto& [s, d] : again) EXPECT_LT(s, 1500u);
}
