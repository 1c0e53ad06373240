// Per-id distances (equal to what search reports for the same row) and probe-count
// calibration (sampling, early answers, determinism, recall on clustered data).
#include <gtest/gtest.h>

#include <unistd.h>

#include <bit>
#include <cmath>
#include <filesystem>
#include <random>
#include <string>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/common/maint_pool.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/search/calibrate.hpp"
#include "ivf_rabitq/search/distances.hpp"
#include "ivf_rabitq/search/search.hpp"

namespace builder = ivf_rabitq::builder;
namespace live = ivf_rabitq::live;
namespace search = ivf_rabitq::search;
namespace ix = ivf_rabitq::index;
namespace fs = std::filesystem;

namespace {

constexpr size_t kDim = 16;

struct TempDir {
  std::string path;
  TempDir() {
    path = (fs::temp_directory_path() /
            ("tandrel_dist_" + std::to_string(::getpid()) + "_" + std::to_string(reinterpret_cast<uintptr_t>(this))))
               .string();
    fs::remove_all(path);
  }
  ~TempDir() { fs::remove_all(path); }
};

// Rows around `centers` well separated centres.
std::vector<float> clustered(size_t n, size_t centers, uint64_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<float> nd;
  std::mt19937_64 gc(1000);  // the same centres for every seed
  std::vector<float> c(centers * kDim);
  for (auto& v : c) v = nd(gc) * 5.f;
  std::vector<float> x(n * kDim);
  for (size_t i = 0; i < n; ++i) {
    const size_t ci = g() % centers;
    for (size_t j = 0; j < kDim; ++j) x[i * kDim + j] = c[ci * kDim + j] + nd(g);
  }
  return x;
}

std::shared_ptr<ix::IvfIndex> build_and_open(const std::string& dir, const std::vector<float>& rows, size_t n,
                                             uint32_t clusters) {
  std::vector<std::string> ids;
  for (size_t i = 0; i < n; ++i) ids.push_back("r" + std::to_string(i));
  builder::BuildParams bp;
  bp.n_clusters = clusters;
  bp.seed = 7;
  auto st = builder::build_segment(dir, std::span<const float>(rows.data(), n * kDim), n, kDim, std::move(ids),
                                   builder::BuildMetadata(), {}, {}, {}, {}, bp);
  EXPECT_TRUE(st.ok()) << (st.ok() ? "" : st.error().text());
  auto opened = ix::IvfIndex::open_with_skip(dir, std::nullopt);
  EXPECT_TRUE(opened.ok()) << (opened.ok() ? "" : opened.error().text());
  return std::move(opened).value();
}

void add_row(ix::IvfIndex& idx, const std::string& id, const float* v) {
  auto doc = ivf_rabitq::json::parse("null");
  ASSERT_TRUE(doc.ok());
  live::apply_add(idx, id, std::span<const float>(v, kDim), doc.value(), "null", {});
}

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

}  // namespace

// With and without per-row exponents (a segment without origscale.bin: main rows and the
// delta rows added to it use the segment scale).
class Distances : public ::testing::TestWithParam<bool> {};

TEST_P(Distances, EqualWhatSearchReportsForEveryLiveRow) {
  const bool pow2 = GetParam();
  TempDir dir;
  const size_t n = 600;
  auto rows = clustered(n + 100, 6, 1);
  auto idx = build_and_open(dir.path, rows, n, 8);
  ASSERT_TRUE(idx);
  if (!pow2) idx->origscale_bin.reset();
  for (size_t i = 0; i < 60; ++i) add_row(*idx, "d" + std::to_string(i), rows.data() + (n + i) * kDim);
  // Upserts of main rows (the newest version is a delta row) and deletions.
  for (size_t i = 0; i < 20; ++i) add_row(*idx, "r" + std::to_string(i * 5), rows.data() + (n + 60 + i) * kDim);
  for (size_t i = 0; i < n; i += 11) live::apply_delete(*idx, "r" + std::to_string(i));
  live::apply_delete(*idx, "d7");

  std::vector<std::string> ids;
  for (size_t i = 0; i < n; ++i) ids.push_back("r" + std::to_string(i));
  for (size_t i = 0; i < 60; ++i) ids.push_back("d" + std::to_string(i));
  ids.push_back("nope");
  std::vector<std::string_view> views(ids.begin(), ids.end());

  for (size_t qi = 0; qi < 4; ++qi) {
    std::span<const float> q(rows.data() + (n + 80 + qi) * kDim, kDim);
    // The exact search lists every live row with the distance search reports.
    auto all = search::search_bruteforce(*idx, q, ~uint64_t{0}, nullptr);
    std::unordered_map<std::string, float> want;
    for (const auto& [slot, d] : all) want[idx->ext_of(slot)] = d;
    // Dense search reports the same numbers for the rows it returns.
    for (const auto& [slot, d] : search::search_core(*idx, q, 20, 4, 100, nullptr, false))
      ASSERT_EQ(bits(d), bits(want.at(idx->ext_of(slot))));

    for (bool par : {false, true}) {
      auto got = search::distances_to(*idx, views, q, par);
      ASSERT_EQ(got.size(), ids.size());
      size_t live = 0;
      for (size_t i = 0; i < ids.size(); ++i) {
        auto it = want.find(ids[i]);
        if (it == want.end()) {
          EXPECT_TRUE(std::isnan(got[i])) << ids[i];
        } else {
          ++live;
          EXPECT_EQ(bits(got[i]), bits(it->second)) << ids[i];
        }
      }
      EXPECT_EQ(live, all.size());
    }
  }
  // The upserted id answers with its delta row.
  std::span<const float> q(rows.data() + (n + 99) * kDim, kDim);
  auto slot = idx->slot_of("r5");
  ASSERT_TRUE(slot && *slot >= n);
  auto table = search::rerank_table(*idx, q, pow2);
  const auto view = search::index_view(*idx);
  std::string_view r5 = "r5";
  const float got = search::distances_to(*idx, std::span(&r5, 1), q, false)[0];
  EXPECT_EQ(bits(got), bits(search::slot_distance(view.seg, *idx->locks().delta.read(), table, q, *slot)));
}

INSTANTIATE_TEST_SUITE_P(RowExponents, Distances, ::testing::Bool());

TEST(Distances, SeveralQueriesBatchSizesAndPools) {
  TempDir dir;
  const size_t n = 400;
  auto rows = clustered(n, 5, 2);
  auto idx = build_and_open(dir.path, rows, n, 4);
  ASSERT_TRUE(idx);
  // Two whole queries and three trailing values that are ignored.
  std::vector<float> qs(rows.begin() + 10 * kDim, rows.begin() + 12 * kDim);
  qs.insert(qs.end(), {1.f, 2.f, 3.f});
  std::vector<std::string> ids;
  for (size_t i = 0; i < n; ++i) ids.push_back("r" + std::to_string((i * 37) % n));
  std::vector<std::string_view> views(ids.begin(), ids.end());

  const std::span<const float> q0(qs.data(), kDim), q1(qs.data() + kDim, kDim);
  auto d0 = search::distances_to(*idx, views, q0, false);
  auto d1 = search::distances_to(*idx, views, q1, false);
  auto both = search::distances_to(*idx, views, qs, false);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(bits(both[i]), bits(std::min(d0[i], d1[i])));

  // No queries: +inf for live ids, NaN for unknown ones.
  std::vector<std::string_view> two{"r1", "zz"};
  auto none = search::distances_to(*idx, two, std::span<const float>(qs.data(), kDim - 1), true);
  EXPECT_EQ(none[0], std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(none[1]));
  EXPECT_TRUE(search::distances_to(*idx, {}, qs, true).empty());

  // 63 ids stay on the caller, 64 and 65 split into chunks of 32: identical either way, on
  // pools of 1, 2 and 8 threads and on the maintenance pool.
  for (size_t count : {63u, 64u, 65u, 400u}) {
    std::span<const std::string_view> sub(views.data(), count);
    auto seq = search::distances_to(*idx, sub, qs, false);
    ASSERT_EQ(seq.size(), count);
    for (size_t t : {1u, 2u, 8u}) {
      std::vector<float> par;
      ivf_rabitq::parallel::with_threads(t, [&] { par = search::distances_to(*idx, sub, qs, true); });
      ASSERT_EQ(par.size(), count);
      for (size_t i = 0; i < count; ++i) ASSERT_EQ(bits(par[i]), bits(seq[i])) << count << " ids, " << t << " threads";
    }
    auto pool = ivf_rabitq::maint::Pool::create({0, 3});
    std::vector<float> par;
    pool->run_job([&] { par = search::distances_to(*idx, sub, qs, true); });
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(bits(par[i]), bits(seq[i]));
  }
}

TEST(Calibration, GeneratorWorkedExample) {
  search::CalibrationRng rng(1234);
  EXPECT_EQ(rng.state(), 0x9E3779B97F4A78C7ull);
  EXPECT_EQ(rng.step(), 0xDC1B7698EBDE3DF6ull);
  search::CalibrationRng again(1234);
  EXPECT_EQ(again.draw(), 3957210614u);
  search::CalibrationRng zero(0x9E3779B97F4A7C15ull);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(zero.draw(), 0u);
}

TEST(Calibration, EarlyAnswersAndSampling) {
  TempDir dir, one_dir, empty_dir;
  const size_t n = 500;
  auto rows = clustered(n + 10, 5, 3);
  auto idx = build_and_open(dir.path, rows, n, 8);
  ASSERT_TRUE(idx);
  using G = std::vector<uint64_t>;

  EXPECT_EQ(search::calibrate_nprobe(*idx, 10, 10, 0.9f, G{}, 500, 1234), 64u);
  EXPECT_EQ(search::calibrate_nprobe(*idx, 10, 10, 0.0f, G{64, 8, 32, 8}, 500, 1234), 8u);
  EXPECT_EQ(search::calibrate_nprobe(*idx, 10, 10, 1.5f, G{64, 8, 32, 8}, 500, 1234), 64u);
  EXPECT_EQ(search::calibrate_nprobe(*idx, 0, 10, 0.0f, G{4, 2}, 500, 1234), 4u);  // no samples
  EXPECT_EQ(search::calibrate_nprobe(*idx, 10, 10, 1.5f, G{16, 16}, 500, 1234), 16u);
  EXPECT_EQ(search::calibrate_nprobe(*idx, 10, 499, 0.5f, G{1, 2}, 500, 1234), 1u);  // live <= k' + 1
  // Caller sizes saturate without allocating by them.
  EXPECT_EQ(search::calibrate_nprobe(*idx, uint64_t{1} << 62, ~uint64_t{0}, 0.5f, G{~uint64_t{0}, 3}, ~uint64_t{0}, 1),
            3u);

  // A single cluster answers the smallest value without searching; no live rows the largest.
  auto one = build_and_open(one_dir.path, rows, 50, 1);
  EXPECT_EQ(search::calibrate_nprobe(*one, 10, 1, 1.5f, G{9, 3, 6}, 500, 1), 3u);
  auto empty = build_and_open(empty_dir.path, rows, 20, 2);
  for (size_t i = 0; i < 20; ++i) live::apply_delete(*empty, "r" + std::to_string(i));
  EXPECT_EQ(search::calibrate_nprobe(*empty, 10, 1, 0.0f, G{9, 3, 6}, 500, 1), 9u);
  EXPECT_EQ(search::calibrate_nprobe(*empty, 10, 1, 0.0f, G{}, 500, 1), 64u);

  // Sampling: a deleted row is never drawn, an upserted row is drawn through its delta slot
  // with its query dequantised from the delta bytes; n_samples beyond the live rows draws
  // every live row once; the same seed draws the same rows.
  add_row(*idx, "r3", rows.data() + (n + 1) * kDim);
  add_row(*idx, "extra", rows.data() + (n + 2) * kDim);
  for (size_t i = 100; i < 200; ++i) live::apply_delete(*idx, "r" + std::to_string(i));
  const uint64_t live = idx->live_count();
  ASSERT_EQ(live, n + 2 - 101);
  auto all = search::calibration_samples(*idx, 1u << 20, 77);
  ASSERT_EQ(all.size(), live);
  std::set<uint32_t> seen;
  {
    const auto tombs = idx->locks().tombstones.read();
    for (const auto& s : all) {
      EXPECT_TRUE(seen.insert(s.slot).second);
      EXPECT_FALSE(tombs->contains(s.slot));
      ASSERT_EQ(s.query.size(), kDim);
    }
  }
  const uint32_t r3 = *idx->slot_of("r3");
  ASSERT_GE(r3, n);
  EXPECT_TRUE(seen.count(r3));
  // The delta row's query: its stored bytes at its own power-of-two scale.
  for (const auto& s : all) {
    if (s.slot != r3) continue;
    auto d = idx->locks().delta.read();
    const uint8_t* row = d->rerank.data() + size_t(r3 - n) * (kDim + 1);
    ASSERT_NE(row[kDim], 0);
    const float scale = ivf_rabitq::quant::row_scale_from_exp(row[kDim]);
    for (size_t j = 0; j < kDim; ++j)
      EXPECT_EQ(bits(s.query[j]), bits(((float(row[j]) + -128.0f) / 127.0f) * scale));
  }
  auto a = search::calibration_samples(*idx, 40, 5), b = search::calibration_samples(*idx, 40, 5),
       c = search::calibration_samples(*idx, 40, 6);
  ASSERT_EQ(a.size(), 40u);
  bool differs = false;
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].slot, b[i].slot);
    EXPECT_EQ(a[i].query, b[i].query);
    differs |= a[i].slot != c[i].slot;
  }
  EXPECT_TRUE(differs);
}

TEST(Calibration, ChosenProbeCountReachesTheTargetOnFreshQueries) {
  TempDir dir;
  const size_t n = 6000;
  auto rows = clustered(n, 40, 4);
  auto idx = build_and_open(dir.path, rows, n, 64);
  ASSERT_TRUE(idx);
  const std::vector<uint64_t> grid{1, 2, 4, 8, 16, 32, 64};
  const float target = 0.9f;
  const uint64_t chosen = search::calibrate_nprobe(*idx, 150, 10, target, grid, 100, 1234);
  // Deterministic for a seed, on any pool, and on the maintenance pool.
  EXPECT_EQ(search::calibrate_nprobe(*idx, 150, 10, target, grid, 100, 1234), chosen);
  for (size_t t : {1u, 8u}) {
    uint64_t r = 0;
    ivf_rabitq::parallel::with_threads(t,
                                       [&] { r = search::calibrate_nprobe(*idx, 150, 10, target, grid, 100, 1234); });
    EXPECT_EQ(r, chosen) << t;
  }
  auto pool = ivf_rabitq::maint::Pool::create({0, 2});
  uint64_t on_pool = 0;
  pool->run_job([&] { on_pool = search::calibrate_nprobe(*idx, 150, 10, target, grid, 100, 1234); });
  EXPECT_EQ(on_pool, chosen);
  EXPECT_LT(chosen, 64u);  // clustered data needs far fewer than every cluster

  // Fresh queries from the same distribution reach the target at the chosen probe count
  // (with a little room for sampling noise), and the next smaller grid value is lower.
  auto fresh = clustered(300, 40, 99);
  auto recall_at = [&](uint64_t nprobe) {
    double sum = 0;
    for (size_t i = 0; i < 300; ++i) {
      std::span<const float> q(fresh.data() + i * kDim, kDim);
      auto truth = search::search_bruteforce(*idx, q, 10, nullptr);
      auto got = search::search_core(*idx, q, 10, nprobe, 100, nullptr, false);
      std::set<uint32_t> t;
      for (auto& [s, d] : truth) t.insert(s);
      size_t hits = 0;
      for (auto& [s, d] : got) hits += t.count(s);
      sum += double(hits) / double(std::max<size_t>(truth.size(), 1));
    }
    return sum / 300;
  };
  EXPECT_GE(recall_at(chosen), target - 0.03);
}

// Several segments of one column, newest first: each id takes the first segment holding it
// live; a row deleted in the newer segment falls through to the older one.
TEST(Distances, AcrossSegmentsNewestFirst) {
  TempDir older_dir, newer_dir;
  const std::string older_path = older_dir.path + "_old", newer_path = newer_dir.path + "_new";
  auto rows_old = clustered(200, 4, 3);
  auto rows_new = clustered(100, 4, 4);
  auto older = build_and_open(older_path, rows_old, 200, 4);  // r0..r199
  auto newer = build_and_open(newer_path, rows_new, 100, 2);  // r0..r99, other vectors
  ASSERT_TRUE(older && newer);
  ASSERT_TRUE(live::apply_delete(*newer, "r7"));
  std::vector<float> extra(rows_old.begin(), rows_old.begin() + kDim);
  add_row(*newer, "n1", extra.data());

  std::vector<std::string> ids;
  for (size_t i = 0; i < 250; i += 3) ids.push_back("r" + std::to_string(i));
  ids.insert(ids.end(), {"r7", "n1", "zz", "r7"});
  std::vector<std::string_view> views(ids.begin(), ids.end());
  std::vector<float> q(rows_old.begin() + 50 * kDim, rows_old.begin() + 52 * kDim);

  const auto d_new = search::distances_to(*newer, views, q, false);
  const auto d_old = search::distances_to(*older, views, q, false);
  const ix::IvfIndex* both[] = {newer.get(), older.get()};
  for (bool par : {false, true}) {
    const auto got = search::distances_across(both, views, q, par);
    ASSERT_EQ(got.size(), ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
      const float want = std::isnan(d_new[i]) ? d_old[i] : d_new[i];
      EXPECT_EQ(bits(got[i]), bits(want)) << ids[i];
    }
    EXPECT_EQ(bits(got[ids.size() - 4]), bits(d_old[ids.size() - 4]));  // r7: deleted in the newer
    EXPECT_TRUE(std::isnan(got[ids.size() - 2]));                       // zz: nowhere
    EXPECT_TRUE(std::isnan(got.back()) == false);
  }
  const ix::IvfIndex* one[] = {older.get()};
  const auto single = search::distances_across(one, views, q, true);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(bits(single[i]), bits(d_old[i]));
  const auto none = search::distances_across({}, views, q, true);
  for (float v : none) EXPECT_TRUE(std::isnan(v));
  fs::remove_all(older_path);
  fs::remove_all(newer_path);
}
