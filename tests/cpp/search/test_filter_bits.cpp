// ctest-labels: tsan
// The passing-main-rows bitmap of cached filters and the searches that use it: the bitmap
// against per-row evaluation, dense search with and without it on the probe path, the exact
// answer of a filter that few rows pass, schema growth, and concurrent first use.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/search/search.hpp"
#include "support/segment_fixture.hpp"

namespace builder = ivf_rabitq::builder;
namespace live = ivf_rabitq::live;
namespace search = ivf_rabitq::search;
namespace ix = ivf_rabitq::index;
namespace fs = std::filesystem;
using search::SlotDistance;

namespace {

constexpr size_t kDim = 16;
constexpr size_t kRows = 3000;
constexpr size_t kDeltaRows = 120;


std::vector<float> rows_of(size_t n, uint64_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<float> nd(0.f, 1.f);
  std::vector<float> c(12 * kDim);
  for (auto& v : c) v = nd(g) * 4.f;
  std::vector<float> x(n * kDim);
  for (size_t i = 0; i < n; ++i)
    for (size_t j = 0; j < kDim; ++j) x[i * kDim + j] = c[(i * 7 % 12) * kDim + j] + nd(g);
  return x;
}

// Row i's metadata: g = i % 5 always; s one of "a", "b", "c" or absent; h = i % 7 on odd
// rows only; "rare" on one row in 97 (a filter that few rows pass).
std::string meta_of(size_t i) {
  std::string m = "{\"g\": " + std::to_string(i % 5);
  if (i % 4 != 3) m += std::string(", \"s\": \"") + char('a' + i % 4) + "\"";
  if (i % 2 == 1) m += ", \"h\": " + std::to_string(i % 7);
  if (i % 97 == 5) m += ", \"rare\": true";
  return m + "}";
}

struct Fixture {
  tandrel_test::TempDir dir;
  std::vector<float> rows = rows_of(kRows + kDeltaRows, 11);
  std::shared_ptr<ix::IvfIndex> idx;

  Fixture() {
    std::vector<std::string> ids, metas;
    for (size_t i = 0; i < kRows; ++i) {
      ids.push_back("r" + std::to_string(i));
      metas.push_back(meta_of(i));
    }
    builder::BuildParams bp;
    bp.n_clusters = 40;
    bp.seed = 3;
    // One thread: the build's parallel loops are not what these tests are about (and the
    // thread-sanitizer run sees only the threads the tests start).
    ivf_rabitq::parallel::with_threads(1, [&] {
      auto st = builder::build_segment(dir.path(), std::span<const float>(rows.data(), kRows * kDim), kRows, kDim,
                                       std::move(ids), builder::BuildMetadata::texts(metas), {}, {}, {}, {}, bp);
      EXPECT_TRUE(st.ok()) << (st.ok() ? "" : st.error().text());
    });
    // An empty skip set lets delta rows bring new typed columns.
    auto opened = ix::IvfIndex::open_with_skip(dir.path(), ivf_rabitq::predicate::SkipSet{});
    EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().text());
    idx = std::move(opened).value();
  }

  // Delta rows (metadata as main rows of the same number) and tombstones of main and delta
  // rows.
  void add_delta_and_tombstones() {
    for (size_t i = 0; i < kDeltaRows; ++i) add(kRows + i, meta_of(kRows + i));
    auto t = idx->locks().tombstones.write();
    for (uint32_t s = 0; s < kRows + kDeltaRows; s += 11) t->insert(s);
  }

  void add(size_t row, const std::string& meta) {
    auto doc = ivf_rabitq::json::parse(meta);
    ASSERT_TRUE(doc.ok());
    const size_t d0 = idx->locks().delta.read()->rows();
    live::apply_add(*idx, "d" + std::to_string(d0), std::span<const float>(rows.data() + row * kDim, kDim),
                    doc.value(), ivf_rabitq::json::to_compact(doc.value()), {});
  }

  ix::PredicatePtr compile(const std::string& text) {
    auto r = idx->compile_filter_cached(text);
    EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().text);
    return r.ok() ? *r : nullptr;
  }

  std::span<const float> query(size_t i) const {
    return std::span<const float>(rows.data() + (i * 389 % (kRows + kDeltaRows)) * kDim, kDim);
  }
};

void expect_same(const std::vector<SlotDistance>& a, const std::vector<SlotDistance>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].first, b[i].first) << what << " at " << i;
    ASSERT_EQ(std::bit_cast<uint32_t>(a[i].second), std::bit_cast<uint32_t>(b[i].second)) << what << " at " << i;
  }
}

// The bitmap agrees with passes_main on every main slot, and its count with its bits.
void expect_bits_match_rows(const ix::IvfIndex& idx, const ix::PredicatePtr& p, const std::string& what) {
  const ix::MainRowBits* bits = idx.main_bits(p);
  ASSERT_NE(bits, nullptr) << what;
  ASSERT_EQ(bits->words.size(), (idx.main_rows() + 63) / 64) << what;
  uint64_t count = 0;
  for (uint32_t s = 0; s < idx.main_rows(); ++s) {
    const bool bit = (bits->words[s / 64] >> (s % 64)) & 1;
    ASSERT_EQ(bit, idx.passes_main(*p, s)) << what << " slot " << s;
    count += bit;
  }
  EXPECT_EQ(bits->count, count) << what;
  // No bit beyond the last main row.
  if (idx.main_rows() % 64 != 0) {
    EXPECT_EQ(bits->words.back() >> (idx.main_rows() % 64), 0u) << what;
  }
}

const char* const kFilters[] = {
    R"({})",
    R"({"g": 3})",
    R"({"g": {"$in": [0, 4]}})",
    R"({"g": {"$nin": [1]}})",
    R"({"s": "b"})",
    R"({"s": {"$in": ["a", "c"]}})",
    R"({"s": {"$ne": "a"}})",
    R"({"s": {"$exists": false}})",
    R"({"h": {"$exists": true}})",
    R"({"h": {"$ne": 2}})",
    R"({"h": {"$gte": 3}})",
    R"({"$or": [{"g": 1}, {"h": 4}]})",
    R"({"$and": [{"s": "a"}, {"h": {"$lt": 4}}]})",
    R"({"$not": {"$or": [{"g": 2}, {"s": "c"}]}})",
    R"({"$nor": [{"h": {"$exists": true}}]})",
    R"({"g": 1, "$or": [{"s": "a"}, {"h": 0}]})",
    R"({"rare": true})",
    R"({"nowhere": 1})",
    R"({"nowhere": {"$exists": false}})",
};

}  // namespace

TEST(FilterBits, BitmapEqualsPerRowEvaluation) {
  // One pool thread: the sanitizer run checks the threads these tests start.
  ivf_rabitq::parallel::with_threads(1, [&] {
    Fixture f;
    f.add_delta_and_tombstones();  // neither changes what the main bitmap holds
    for (const char* text : kFilters) expect_bits_match_rows(*f.idx, f.compile(text), text);

    // A column that only delta rows have: the main rows read it as absent.
    f.add(0, R"({"g": 1, "z": 5})");
    for (const char* text : {R"({"z": 5})", R"({"z": {"$ne": 5}})", R"({"z": {"$exists": false}})",
                             R"({"$or": [{"z": {"$in": [5, 6]}}, {"s": "c"}]})"}) {
      auto p = f.compile(text);
      ASSERT_EQ(f.idx->schema_epoch.load(), 1u);
      expect_bits_match_rows(*f.idx, p, text);
    }
  });
}

TEST(FilterBits, OnlyThisIndexsCachedFiltersCarryABitmap) {
  // One pool thread: the sanitizer run checks the threads these tests start.
  ivf_rabitq::parallel::with_threads(1, [&] {
    Fixture a, b;
    auto pa = a.compile(R"({"g": 3})");
    EXPECT_EQ(a.idx->main_bits(nullptr), nullptr);
    EXPECT_EQ(b.idx->main_bits(pa), nullptr);  // another index's filter
    auto bare = std::make_shared<const ivf_rabitq::predicate::Predicate>(*pa);
    EXPECT_EQ(a.idx->main_bits(bare), nullptr);  // not from the cache
    // A cache hit hands out the same filter, so the bitmap is built once.
    const ix::MainRowBits* first = a.idx->main_bits(pa);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(a.idx->main_bits(a.compile(R"({"g": 3})")), first);
    EXPECT_EQ(first->count, kRows / 5);
  });
}

TEST(FilterBits, ProbeResultsAreTheSameWithAndWithoutTheBitmap) {
  // One pool thread: the sanitizer run checks the threads these tests start.
  ivf_rabitq::parallel::with_threads(1, [&] {
    // Small rerank pools keep the row budget below the passing rows, so the probe path runs;
    // the bare predicate is evaluated per row, the cached pointer by bit.
    Fixture f;
    f.add_delta_and_tombstones();
    struct Case {
      uint64_t k, nprobe, rerank;
      bool ensure;
    };
    const Case cases[] = {{1, 1, 0, false}, {5, 2, 5, false}, {10, 1, 10, true}, {3, 4, 0, true}, {10, 40, 20, false}};
    int probed = 0;
    for (const char* text : {R"({"g": {"$nin": [1]}})", R"({"s": {"$in": ["a", "c"]}})",
                             R"({"$or": [{"g": 1}, {"h": 4}]})", R"({"h": {"$exists": true}})"}) {
      auto p = f.compile(text);
      const ix::MainRowBits* bits = f.idx->main_bits(p);
      ASSERT_NE(bits, nullptr);
      for (const Case& c : cases) {
        if (search::filtered_search_is_exact(*f.idx, p, c.k, c.nprobe, c.rerank)) continue;  // exact path
        ++probed;
        for (size_t qi = 0; qi < 8; ++qi) {
          const std::string what = std::string(text) + " k=" + std::to_string(c.k) + " q=" + std::to_string(qi);
          expect_same(search::search_core(*f.idx, f.query(qi), c.k, c.nprobe, c.rerank, p, c.ensure),
                      search::search_core(*f.idx, f.query(qi), c.k, c.nprobe, c.rerank, p.get(), c.ensure), what);
        }
      }
      for (size_t qi = 0; qi < 4; ++qi)
        expect_same(search::search_bruteforce(*f.idx, f.query(qi), 25, p),
                    search::search_bruteforce(*f.idx, f.query(qi), 25, p.get()), std::string("exact ") + text);
    }
    EXPECT_GE(probed, 12);
  });
}

TEST(FilterBits, FewPassingRowsGiveTheExactAnswer) {
  // One pool thread: the sanitizer run checks the threads these tests start.
  ivf_rabitq::parallel::with_threads(1, [&] {
    Fixture f;
    f.add_delta_and_tombstones();
    f.add(7, R"({"rare": true})");  // a delta row near main row 7 that passes
    auto rare = f.compile(R"({"rare": true})");
    auto none = f.compile(R"({"nowhere": 1})");
    ASSERT_LE(f.idx->main_bits(rare)->count, 40u);
    int shorter_by_probe = 0;
    for (size_t qi = 0; qi < 10; ++qi) {
      for (uint64_t k : {1u, 10u, 100u}) {
        const auto exact = search::search_bruteforce(*f.idx, f.query(qi), k, rare.get());
        ASSERT_FALSE(exact.empty());
        // The probe of one cluster finds at most the few passing rows of it.
        const auto probe = search::search_core(*f.idx, f.query(qi), k, 1, 50, rare.get(), false);
        shorter_by_probe += probe.size() < exact.size();
        expect_same(search::search_core(*f.idx, f.query(qi), k, 1, 50, rare, false), exact,
                    "selective k=" + std::to_string(k));
        expect_same(search::search_bruteforce(*f.idx, f.query(qi), k, rare), exact, "exact with bitmap");
        EXPECT_TRUE(search::search_core(*f.idx, f.query(qi), k, 1, 50, none, true).empty());
      }
    }
    EXPECT_GT(shorter_by_probe, 5);
    // The delta row that passes is found and the tombstoned passing rows are not.
    const auto all = search::search_bruteforce(*f.idx, f.query(0), 1000, rare);
    EXPECT_TRUE(std::any_of(all.begin(), all.end(), [&](const SlotDistance& h) { return h.first >= kRows; }));
    for (const auto& [s, d] : all) EXPECT_NE(s % 11, 0u) << s;
  });
}

TEST(FilterBits, SchemaGrowthDropsTheCachedFilterWithItsBitmap) {
  // One pool thread: the sanitizer run checks the threads these tests start.
  ivf_rabitq::parallel::with_threads(1, [&] {
    Fixture f;
    const std::string text = R"({"z": {"$in": [5]}})";
    auto before = f.compile(text);
    const ix::MainRowBits* bits_before = f.idx->main_bits(before);
    ASSERT_NE(bits_before, nullptr);
    EXPECT_EQ(bits_before->count, 0u);
    EXPECT_TRUE(search::search_core(*f.idx, f.query(0), 5, 4, 50, before, true).empty());

    f.add(3, R"({"g": 0, "z": 5})");  // grows the schema: the cache is emptied
    auto after = f.compile(text);
    ASSERT_NE(after.get(), before.get());
    const ix::MainRowBits* bits_after = f.idx->main_bits(after);
    ASSERT_NE(bits_after, nullptr);
    EXPECT_NE(bits_after, bits_before);
    expect_bits_match_rows(*f.idx, after, text);
    const auto hits = search::search_core(*f.idx, f.query(0), 5, 4, 50, after, false);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].first, kRows);  // the new delta row, the only one with z
    // A query still holding the older filter keeps a valid bitmap of its own.
    EXPECT_EQ(f.idx->main_bits(before), bits_before);
  });
}

TEST(FilterBits, ConcurrentFirstUseBuildsOneBitmap) {
  Fixture f;
  f.add_delta_and_tombstones();
  auto p = f.compile(R"({"$or": [{"s": "b"}, {"h": 4}]})");
  std::vector<std::vector<SlotDistance>> want;
  ivf_rabitq::parallel::with_threads(1, [&] {
    for (size_t qi = 0; qi < 6; ++qi)
      want.push_back(search::search_core(*f.idx, f.query(qi), 10, 1, 20, p.get(), true));
  });
  constexpr int kThreads = 6;
  std::vector<const ix::MainRowBits*> seen(kThreads);
  std::vector<std::vector<std::vector<SlotDistance>>> got(kThreads);
  {
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t)
      ts.emplace_back([&, t] {
        // One cluster per round: every step of these searches runs on this thread.
        for (size_t qi = 0; qi < 6; ++qi)
          got[t].push_back(search::search_core(*f.idx, f.query(qi), 10, 1, 20, p, true));
        seen[t] = f.idx->main_bits(p);
      });
    for (auto& t : ts) t.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(seen[t], seen[0]);
    for (size_t qi = 0; qi < 6; ++qi) expect_same(got[t][qi], want[qi], "thread " + std::to_string(t));
  }
  expect_bits_match_rows(*f.idx, p, "after concurrent use");
}

// Which filtered searches take the exact scan of the passing rows: few passing rows always
// do; beyond twice the row budget the choice follows the bytes each path would read, so a
// filter passing 1 % of a large segment scans its rows exactly while one passing 10 % probes.
TEST(FilterBits, ExactScanIsChosenWhenItReadsFewerBytes) {
  struct Case {
    const char* what;
    uint32_t n;
    size_t clusters, dim;
    uint64_t passing, delta_rows, k, nprobe, rerank;
    bool exact;
  };
  const Case cases[] = {
      {"within twice the budget (6 x 400 x 2)", 100000, 316, 128, 4800, 0, 10, 8, 400, true},
      {"one row past it, delta rows counted: still fewer bytes exactly", 100000, 316, 128, 4800, 1, 10, 8, 400, true},
      {"9 % of 100k, rerank 400 probes", 100000, 316, 128, 9000, 0, 10, 8, 400, false},
      {"1 % of 100k, rerank 100", 100000, 316, 128, 1000, 0, 10, 8, 100, true},
      {"10 % of 100k probes", 100000, 316, 128, 10000, 0, 10, 8, 100, false},
      {"1 % of 1M, rerank 400: thinly spread", 1000000, 1000, 128, 10000, 0, 10, 32, 400, true},
      {"10 % of 1M probes", 1000000, 1000, 128, 100000, 0, 10, 32, 400, false},
      {"1 % of 1M at 768 dims probes", 1000000, 1000, 768, 10000, 0, 10, 32, 100, false},
      {"nothing passes", 1000000, 1000, 128, 0, 0, 10, 32, 100, true},
  };
  for (const Case& c : cases) {
    search::SegmentView seg;
    seg.dim = c.dim;
    seg.pad = (c.dim + 63) / 64 * 64;
    seg.words = seg.pad / 64;
    seg.n_bits = 2;
    seg.n_clusters = c.clusters;
    seg.n = c.n;
    search::DenseParams p;
    p.k = c.k;
    p.nprobe = c.nprobe;
    p.rerank = c.rerank;
    EXPECT_EQ(search::filtered_search_is_exact(seg, c.passing, c.delta_rows, p), c.exact) << c.what;
  }
}
