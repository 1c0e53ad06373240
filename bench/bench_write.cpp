// Write path: logged adds per second at durability intervals 1 and 1,000 (dim 128 and 768,
// 1,000 clusters), the nearest-centroid scan of one add alone, replay rows per second, and
// the time of a checkpoint of 100,000 delta rows.
//
// Segments are written here directly (manifest with random centroids, no main rows), in a
// temporary directory under $TMPDIR (default /tmp): fdatasync costs depend on that file
// system.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/live/checkpoint.hpp"
#include "ivf_rabitq/live/delta.hpp"
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
    auto st = index::add_logged(*ix, "id" + std::to_string(i), std::span<const float>(v, dim), doc, text, {});
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
      (void)index::add_logged(*ix, "id" + std::to_string(i), std::span<const float>(vecs.data() + (i % 256) * dim, dim),
                              doc, json::to_compact(doc), {});
    }
  }
  for (auto _ : state) {
    auto ix = open_or_die(d.path);
    benchmark::DoNotOptimize(ix->delta.read()->rows());
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
    index::apply_add(*ix, "id" + std::to_string(i), std::span<const float>(vecs.data() + (i % 256) * dim, dim), doc,
                     text, sparse);
  }
  for (auto _ : state) {
    auto st = index::checkpoint(*ix);
    if (!st.ok()) state.SkipWithError(st.error().text().c_str());
  }
  state.counters["delta_bin_MB"] = static_cast<double>(fs::file_size(storage::join_path(d.path, "delta.bin"))) / 1e6;
}
BENCHMARK(BM_Checkpoint)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
