// Write path: logged adds per second at durability intervals 1 and 1,000 (dim 128 and 768,
// 1,000 clusters), the nearest-centroid scan of one add alone, replay rows per second, the
// time of a checkpoint of 100,000 delta rows, and the latency of adds while other threads
// search the same index in a loop (BM_AddUnderSearchLoad: median, p99 and worst add).
//
// Segments are written here directly (manifest with random centroids, no main rows), in a
// temporary directory under $TMPDIR (default /tmp): fdatasync costs depend on that file
// system.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/live/checkpoint.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"

using namespace ivf_rabitq;
using index::IvfIndex;
namespace fs = std::filesystem;

namespace {

constexpr size_t kClusters = 1000;

struct Dir {
  std::string path;
  Dir() {
    const char* t = std::getenv("TMPDIR");
    std::string tmpl = std::string(t ? t : "/tmp") + "/bench_write.XXXXXX";
    path = ::mkdtemp(tmpl.data());
  }
  ~Dir() { fs::remove_all(path); }
};

std::vector<float> randoms(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> nd;
  std::vector<float> v(n);
  for (auto& x : v) x = nd(rng);
  return v;
}

// A segment with no main rows and kClusters random centroids.
void write_empty_segment(const std::string& dir, size_t dim) {
  storage::Manifest m;
  m.dim = dim;
  m.pad = codec::rotation_pad(dim, true);
  m.words_per_plane = m.pad / 64;
  m.n_bits = 2;
  m.n_clusters = kClusters;
  m.n = 0;
  m.seed = 42;
  m.quant_scale = 4.0f;
  m.centroids = randoms(kClusters * dim, 7);
  m.offsets.assign(kClusters + 1, 0);
  fs::create_directories(dir);
  (void)storage::write_format_version_as(dir, 3);
  for (const char* f : {"codes.bin", "metas.bin", "orig.bin"})
    (void)storage::write_bytes(storage::join_path(dir, f), std::string_view());
  (void)storage::write_manifest_bin(storage::join_path(dir, "manifest.bin"), m);
}

std::shared_ptr<IvfIndex> open_or_die(const std::string& dir) {
  auto r = IvfIndex::open_with_skip(dir, std::nullopt);
  if (!r.ok()) {
    std::fprintf(stderr, "open failed: %s\n", r.error().text().c_str());
    std::abort();
  }
  return std::move(r).value();
}

void BM_AddLogged(benchmark::State& state) {
  const size_t dim = static_cast<size_t>(state.range(0));
  const uint32_t interval = static_cast<uint32_t>(state.range(1));
  Dir d;
  write_empty_segment(d.path, dim);
  auto ix = open_or_die(d.path);
  ix->durability_interval.store(interval);
  const auto vecs = randoms(256 * dim, 11);
  const json::Value doc = json::parse(R"({"tag":"x","n":1})").value();
  const std::string text = json::to_compact(doc);
  uint64_t i = 0;
  for (auto _ : state) {
    const float* v = vecs.data() + (i % 256) * dim;
    auto st = live::add_logged(*ix, "id" + std::to_string(i), std::span<const float>(v, dim), doc, text, {});
    if (!st.ok()) state.SkipWithError(st.error().text().c_str());
    ++i;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["syncs"] = static_cast<double>(ix->wal_sync_count.load());
}
BENCHMARK(BM_AddLogged)->Args({128, 1})->Args({128, 1000})->Args({768, 1})->Args({768, 1000})->Unit(benchmark::kMicrosecond)->UseRealTime();

// The nearest-centroid scan of one add: packed and vectorised across centroids, at the
// active SIMD level and at the scalar level (same result bits).
void BM_NearestCentroid(benchmark::State& state) {
  const size_t pad = static_cast<size_t>(state.range(0));
  const bool scalar = state.range(1) != 0;
  const auto cents = randoms(kClusters * pad, 3);
  const auto packed = distance::PackedVectors::pack(cents.data(), kClusters, pad);
  const auto q = randoms(pad, 5);
  const simd::Level lvl = scalar ? simd::Level::Scalar : simd::active_level();
  for (auto _ : state) benchmark::DoNotOptimize(distance::nearest(lvl, q.data(), packed));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_NearestCentroid)->Args({128, 0})->Args({128, 1})->Args({768, 0})->Args({768, 1});

void BM_Replay(benchmark::State& state) {
  const size_t rows = static_cast<size_t>(state.range(0));
  const size_t dim = 128;
  Dir d;
  write_empty_segment(d.path, dim);
  {
    auto ix = open_or_die(d.path);
    ix->durability_interval.store(1u << 30);
    const auto vecs = randoms(256 * dim, 13);
    const json::Value doc = json::parse(R"({"tag":"x"})").value();
    for (size_t i = 0; i < rows; ++i) {
      (void)live::add_logged(*ix, "id" + std::to_string(i), std::span<const float>(vecs.data() + (i % 256) * dim, dim),
                             doc, json::to_compact(doc), {});
    }
  }
  for (auto _ : state) {
    auto ix = open_or_die(d.path);
    benchmark::DoNotOptimize(ix->locks().delta.read()->rows());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rows));
}
BENCHMARK(BM_Replay)->Arg(20000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Checkpoint(benchmark::State& state) {
  const size_t rows = static_cast<size_t>(state.range(0));
  const size_t dim = 128;
  Dir d;
  write_empty_segment(d.path, dim);
  auto ix = open_or_die(d.path);
  const auto vecs = randoms(256 * dim, 17);
  const json::Value doc = json::parse(R"({"tag":"x","n":3})").value();
  const std::string text = json::to_compact(doc);
  const std::vector<std::pair<uint32_t, float>> sparse = {{1, 0.5f}, {9, 0.25f}};
  for (size_t i = 0; i < rows; ++i) {
    live::apply_add(*ix, "id" + std::to_string(i), std::span<const float>(vecs.data() + (i % 256) * dim, dim), doc,
                    text, sparse);
  }
  for (auto _ : state) {
    auto st = live::checkpoint(*ix);
    if (!st.ok()) state.SkipWithError(st.error().text().c_str());
  }
  state.counters["delta_bin_MB"] = static_cast<double>(fs::file_size(storage::join_path(d.path, "delta.bin"))) / 1e6;
}
BENCHMARK(BM_Checkpoint)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Adds while `searchers` threads run dense searches on the same open index in a loop (each
// search holds the tombstone and delta read locks for its whole length, so readers almost
// always overlap). 20,000 x 128 main rows in 141 clusters, 1,000 timed adds (durability
// interval 1,000, so the figures are lock waits and encoding rather than fdatasync). An add
// that waits for a writer-starving lock is cut short after 20 s by stopping the searchers;
// "cut" counts the runs where that happened. Counters in microseconds.
void BM_AddUnderSearchLoad(benchmark::State& state) {
  const int searchers = static_cast<int>(state.range(0));
  constexpr size_t kDim = 128, kRows = 20000, kAdds = 1000;
  constexpr auto kCut = std::chrono::seconds(20);
  Dir d;
  {
    const auto data = randoms(kRows * kDim, 21);
    std::vector<std::string> ids(kRows);
    for (size_t i = 0; i < kRows; ++i) ids[i] = "m" + std::to_string(i);
    builder::BuildParams bp;
    bp.n_clusters = 141;
    bp.seed = 42;
    auto st = builder::build_segment(d.path, data, kRows, kDim, std::move(ids), builder::BuildMetadata(), {}, {}, {},
                                     {}, bp);
    if (!st.ok()) {
      state.SkipWithError(st.error().text().c_str());
      return;
    }
  }
  auto ix = open_or_die(d.path);
  ix->durability_interval.store(1000);
  const auto queries = randoms(64 * kDim, 23);
  const auto vecs = randoms(256 * kDim, 25);
  const json::Value doc = json::parse(R"({"tag":"x"})").value();
  const std::string text = json::to_compact(doc);

  std::vector<double> lat_us;
  lat_us.reserve(kAdds);
  uint64_t cut_runs = 0, searches_total = 0;
  double seconds_total = 0;
  uint64_t round = 0;
  for (auto _ : state) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> searches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < searchers; ++t) {
      threads.emplace_back([&, t] {
        size_t q = static_cast<size_t>(t);
        while (!stop.load(std::memory_order_relaxed)) {
          const std::span<const float> query(queries.data() + (q % 64) * kDim, kDim);
          benchmark::DoNotOptimize(search::search_core(*ix, query, 10, 16, 100, nullptr, false));
          searches.fetch_add(1, std::memory_order_relaxed);
          ++q;
        }
      });
    }
    // Every searcher is running before the first add.
    while (searches.load() < static_cast<uint64_t>(4 * searchers)) std::this_thread::yield();
    const auto begin = std::chrono::steady_clock::now();
    std::atomic<bool> adds_done{false};
    std::thread cutter([&] {
      while (!adds_done.load()) {
        if (std::chrono::steady_clock::now() - begin > kCut) {
          stop = true;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    for (size_t i = 0; i < kAdds; ++i) {
      const float* v = vecs.data() + (i % 256) * kDim;
      const auto t0 = std::chrono::steady_clock::now();
      auto st = live::add_logged(*ix, "a" + std::to_string(round) + "_" + std::to_string(i),
                                 std::span<const float>(v, kDim), doc, text, {});
      const auto t1 = std::chrono::steady_clock::now();
      if (!st.ok()) state.SkipWithError(st.error().text().c_str());
      lat_us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    const auto end = std::chrono::steady_clock::now();
    adds_done = true;
    cutter.join();
    if (stop.load()) ++cut_runs;
    stop = true;
    for (auto& t : threads) t.join();
    searches_total += searches.load();
    seconds_total += std::chrono::duration<double>(end - begin).count();
    ++round;
  }
  std::sort(lat_us.begin(), lat_us.end());
  auto at = [&](double q) { return lat_us[std::min(lat_us.size() - 1, static_cast<size_t>(q * lat_us.size()))]; };
  state.counters["add_p50_us"] = at(0.5);
  state.counters["add_p99_us"] = at(0.99);
  state.counters["add_max_us"] = lat_us.back();
  state.counters["cut"] = static_cast<double>(cut_runs);
  state.counters["searches_per_s"] = seconds_total > 0 ? static_cast<double>(searches_total) / seconds_total : 0;
}
BENCHMARK(BM_AddUnderSearchLoad)->Arg(8)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
