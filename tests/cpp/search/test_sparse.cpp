// Sparse retrieval against a brute-force model over every live row's own sparse list, on a
// built segment with delta rows, deletions and upserts; and reciprocal rank fusion.
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/search/sparse.hpp"
#include "ivf_rabitq/storage/data_files.hpp"

namespace builder = ivf_rabitq::builder;
namespace live = ivf_rabitq::live;
namespace search = ivf_rabitq::search;
namespace ix = ivf_rabitq::index;
namespace fs = std::filesystem;
using ivf_rabitq::storage::SparsePairs;
using search::SlotScore;

namespace {

constexpr size_t kDim = 8;

struct TempDir {
  std::string path;
  TempDir() {
    path = (fs::temp_directory_path() /
            ("tandrel_sparse_" + std::to_string(::getpid()) + "_" + std::to_string(reinterpret_cast<uintptr_t>(this))))
               .string();
    fs::remove_all(path);
  }
  ~TempDir() { fs::remove_all(path); }
};

// A segment of n rows: row i has id "r{i}", metadata {"g": i % 4} and the sparse list
// sparse[i] (rows beyond the list have none).
std::shared_ptr<ix::IvfIndex> build_and_open(const std::string& dir, size_t n, const std::vector<SparsePairs>& sparse) {
  std::mt19937_64 g(3);
  std::normal_distribution<float> nd;
  std::vector<float> rows(n * kDim);
  for (auto& v : rows) v = nd(g);
  std::vector<std::string> ids, metas;
  for (size_t i = 0; i < n; ++i) {
    ids.push_back("r" + std::to_string(i));
    metas.push_back("{\"g\": " + std::to_string(i % 4) + "}");
  }
  builder::BuildParams bp;
  bp.n_clusters = 4;
  bp.seed = 9;
  auto st = builder::build_segment(dir, rows, n, kDim, std::move(ids), builder::BuildMetadata::texts(metas), sparse, {},
                                   {}, {}, bp);
  EXPECT_TRUE(st.ok()) << (st.ok() ? "" : st.error().text());
  auto opened = ix::IvfIndex::open_with_skip(dir, std::nullopt);
  EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().text());
  return std::move(opened).value();
}

void add_row(ix::IvfIndex& idx, const std::string& id, double g, const SparsePairs& sp) {
  std::vector<float> v(kDim, 0.25f);
  auto doc = ivf_rabitq::json::parse("{\"g\": " + std::to_string(g) + "}");
  ASSERT_TRUE(doc.ok());
  live::apply_add(idx, id, v, doc.value(), ivf_rabitq::json::to_compact(doc.value()), sp);
}

// The model: every live slot's score from its own list, products and sums in f32 in query
// order (then the row's own order within a term); rows sharing no term are absent; filter
// by the "g" of the row's id; sorted by the result order and cut to k.
std::vector<SlotScore> model(const ix::IvfIndex& idx, const std::map<std::string, std::pair<SparsePairs, int>>& rows_by_id,
                             const SparsePairs& q, uint64_t k, std::optional<int> g_filter) {
  std::vector<SlotScore> out;
  const uint32_t total = static_cast<uint32_t>(idx.manifest.n + idx.locks().delta.read()->rows());
  auto tombs = idx.locks().tombstones.read();
  for (uint32_t s = 0; s < total; ++s) {
    if (tombs->contains(s)) continue;
    auto it = rows_by_id.find(idx.ext_of(s));
    if (it == rows_by_id.end()) continue;
    const auto& [list, g] = it->second;
    if (g_filter && g != *g_filter) continue;
    bool touched = false;
    float acc = 0.0f;
    for (const auto& [t, w] : q)
      for (const auto& [rt, p] : list)
        if (rt == t) {
          acc = p * w + acc;
          touched = true;
        }
    if (touched) out.emplace_back(s, acc);
  }
  std::sort(out.begin(), out.end(), search::score_before);
  if (out.size() > k) out.resize(k);
  return out;
}

void expect_same(const std::vector<SlotScore>& got, const std::vector<SlotScore>& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i].first, want[i].first) << what << " at " << i;
    ASSERT_EQ(std::bit_cast<uint32_t>(got[i].second), std::bit_cast<uint32_t>(want[i].second)) << what << " at " << i;
  }
}

// Moves the postings of sparse.bin into the manifest's legacy map (the source of segments
// without a usable sparse.bin).
void to_legacy_postings(ix::IvfIndex& idx) {
  for (const auto& [t, span] : idx.sparse_terms) {
    SparsePairs& list = idx.manifest.sparse[t];
    const uint8_t* p = idx.sparse_bin->bytes().data() + idx.sparse_base + span.start * 8;
    for (uint32_t i = 0; i < span.count; ++i, p += 8) {
      uint32_t row;
      float w;
      std::memcpy(&row, p, 4);
      std::memcpy(&w, p + 4, 4);
      list.emplace_back(row, w);
    }
  }
  idx.sparse_bin.reset();
  idx.sparse_terms.clear();
  idx.sparse_base = 0;
}

}  // namespace

TEST(SparseRank, MatchesTheModelOnMainAndDeltaRows) {
  TempDir dir;
  const size_t n = 300;
  std::mt19937_64 g(11);
  std::vector<SparsePairs> sparse(n - 20);  // the last 20 rows carry no terms
  std::map<std::string, std::pair<SparsePairs, int>> rows_by_id;
  for (size_t i = 0; i < sparse.size(); ++i) {
    const size_t terms = 1 + g() % 6;
    for (size_t j = 0; j < terms; ++j) {
      const uint32_t t = static_cast<uint32_t>(g() % 40);
      // Weights with few bits so that many sums tie; some zero and negative.
      const float w = static_cast<float>(static_cast<int>(g() % 9) - 2) * 0.5f;
      sparse[i].emplace_back(t, w);
    }
  }
  sparse[5] = sparse[4];  // identical lists: equal scores, ordered by slot
  sparse[7] = {{3, 0.1f}, {3, 0.7f}};  // a term twice in one row
  // Rare terms: a query of only these is scored with the map accumulator, not the dense one.
  sparse[10].emplace_back(500, 1.0f);
  sparse[11].emplace_back(500, 2.0f);
  sparse[12] = {{501, 0.5f}, {500, 2.0f}};
  for (size_t i = 0; i < n; ++i)
    rows_by_id["r" + std::to_string(i)] = {i < sparse.size() ? sparse[i] : SparsePairs{}, int(i % 4)};
  auto idx = build_and_open(dir.path, n, sparse);
  ASSERT_TRUE(idx);
  ASSERT_TRUE(idx->sparse_bin.has_value());

  // Delta rows, main rows deleted after being written to sparse.bin, and upserts of main
  // rows (the old slot is tombstoned, the new version lives in the delta with new terms).
  for (size_t i = 0; i < 30; ++i) {
    SparsePairs sp{{static_cast<uint32_t>(i % 40), 1.5f}, {static_cast<uint32_t>((i * 7) % 40), -0.25f}};
    if (i == 4) sp.emplace_back(501, 3.0f);
    const std::string id = "d" + std::to_string(i);
    add_row(*idx, id, double(i % 4), sp);
    rows_by_id[id] = {sp, int(i % 4)};
  }
  for (size_t i = 0; i < n; i += 13) ASSERT_TRUE(live::apply_delete(*idx, "r" + std::to_string(i)));
  for (size_t i = 1; i < n; i += 17) {
    SparsePairs sp{{static_cast<uint32_t>(i % 40), 2.0f}};
    const std::string id = "r" + std::to_string(i);
    add_row(*idx, id, 1.0, sp);
    rows_by_id[id] = {sp, 1};
  }
  ASSERT_TRUE(live::apply_delete(*idx, "d3"));

  auto f1 = idx->compile_filter_cached(R"({"g": 1})");
  ASSERT_TRUE(f1.ok());
  const ix::PredicatePtr p1 = *f1;

  struct Case {
    const char* name;
    SparsePairs q;
  } cases[] = {
      {"single term", {{3, 1.0f}}},
      {"duplicate query terms", {{3, 1.0f}, {5, 0.5f}, {3, 1.0f}}},
      {"zero weight keeps candidates", {{11, 0.0f}}},
      {"negative weights", {{2, -1.0f}, {9, 0.75f}}},
      {"unknown terms", {{1000, 1.0f}, {77777, 2.0f}}},
      {"empty query", {}},
      {"rare terms", {{500, 1.0f}, {501, -1.0f}, {500, 0.5f}}},
      {"many terms", {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}, {8, -9}, {39, 0.125f}}},
  };
  for (bool legacy : {false, true}) {
    if (legacy) to_legacy_postings(*idx);
    for (const auto& c : cases) {
      for (uint64_t k : {uint64_t{0}, uint64_t{1}, uint64_t{7}, uint64_t{10000}, ~uint64_t{0}}) {
        for (bool filtered : {false, true}) {
          const std::string what = std::string(c.name) + " k=" + std::to_string(k) + (filtered ? " filtered" : "") +
                                   (legacy ? " legacy" : "");
          auto got = search::sparse_rank(*idx, c.q, k, filtered ? p1.get() : nullptr);
          expect_same(got, model(*idx, rows_by_id, c.q, k, filtered ? std::optional<int>(1) : std::nullopt), what);
        }
      }
    }
  }
  // Deleted rows never come back; their upserted versions do, through the delta postings.
  auto all = search::sparse_rank(*idx, SparsePairs{{1, 1.0f}, {18, 1.0f}}, 1000, nullptr);
  bool found_upsert = false;
  for (const auto& [slot, score] : all) {
    EXPECT_FALSE(idx->locks().tombstones.read()->contains(slot));
    if (idx->ext_of(slot) == "r18") {
      EXPECT_GE(slot, idx->manifest.n);
      found_upsert = true;
    }
  }
  EXPECT_TRUE(found_upsert);
}

TEST(SparseRank, SegmentWithoutSparseDataAndPostingsPastTheRows) {
  TempDir dir;
  auto idx = build_and_open(dir.path, 50, {});
  ASSERT_TRUE(idx);
  EXPECT_TRUE(idx->sparse_terms.empty());
  EXPECT_TRUE(search::sparse_rank(*idx, SparsePairs{{1, 1.0f}}, 10, nullptr).empty());
  // A delta row is still found.
  add_row(*idx, "x", 0.0, {{1, 2.0f}});
  auto got = search::sparse_rank(*idx, SparsePairs{{1, 1.0f}}, 10, nullptr);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, 50u);
  EXPECT_EQ(got[0].second, 2.0f);
  // Legacy postings naming rows at or past the row count are ignored.
  idx->sparse_bin.reset();
  idx->manifest.sparse[1] = {{49, 1.0f}, {50, 5.0f}, {4000000000u, 7.0f}};
  got = search::sparse_rank(*idx, SparsePairs{{1, 1.0f}}, 10, nullptr);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], (SlotScore{50, 2.0f}));
  EXPECT_EQ(got[1], (SlotScore{49, 1.0f}));
}

TEST(Fusion, ReciprocalRankArithmeticAndOrder) {
  using L = std::vector<std::pair<uint32_t, float>>;
  // Slot 9 at rank 2 of the dense list and rank 5 of the sparse list, rrf_k 60.
  L dense{{1, 0.f}, {2, 0.f}, {9, 0.f}};
  L sparse{{3, 0.f}, {4, 0.f}, {5, 0.f}, {6, 0.f}, {7, 0.f}, {9, 0.f}};
  auto got = search::search_hybrid(100, 60.0f, dense, sparse);
  const float want9 = (1.0f / ((2.0f + 60.0f) + 1.0f)) + (1.0f / ((5.0f + 60.0f) + 1.0f));
  EXPECT_EQ(want9, 1.0f / 63.0f + 1.0f / 66.0f);
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(got[0].first, 9u);
  EXPECT_EQ(std::bit_cast<uint32_t>(got[0].second), std::bit_cast<uint32_t>(want9));
  // Rank 0 of each list ties at 1/61: slot order.
  EXPECT_EQ(got[1], (SlotScore{1, 1.0f / 61.0f}));
  EXPECT_EQ(got[2], (SlotScore{3, 1.0f / 61.0f}));
  EXPECT_EQ(got[3], (SlotScore{2, 1.0f / 62.0f}));
  EXPECT_EQ(got[4], (SlotScore{4, 1.0f / 62.0f}));

  // Same slot first in both lists: 2/61 as a sum of two f32 terms. Distances are ignored.
  got = search::search_hybrid(1, 60.0f, L{{5, 123.f}}, L{{5, -4.f}});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].second, 1.0f / 61.0f + 1.0f / 61.0f);

  EXPECT_TRUE(search::search_hybrid(10, 60.0f, L{}, L{}).empty());
  EXPECT_TRUE(search::search_hybrid(0, 60.0f, dense, sparse).empty());
  EXPECT_EQ(search::search_hybrid(~uint64_t{0}, 60.0f, dense, sparse).size(), 8u);
  EXPECT_EQ(search::search_hybrid(3, 60.0f, dense, sparse).size(), 3u);
  // A tiny rrf_k still gives a finite, ordered result.
  got = search::search_hybrid(10, 1e-30f, L{{1, 0}, {2, 0}}, L{});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], (SlotScore{1, 1.0f}));
  EXPECT_EQ(got[1], (SlotScore{2, 0.5f}));
}

TEST(Fusion, ScoreOrderIsTheTotalOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  std::vector<SlotScore> v{{1, -0.0f}, {2, 0.0f}, {3, inf}, {4, nan}, {5, -1.0f}, {6, 1.0f}, {0, 1.0f}, {7, -nan}};
  std::sort(v.begin(), v.end(), search::score_before);
  std::vector<uint32_t> order;
  for (auto& p : v) order.push_back(p.first);
  EXPECT_EQ(order, (std::vector<uint32_t>{4, 3, 0, 6, 2, 1, 5, 7}));
}
