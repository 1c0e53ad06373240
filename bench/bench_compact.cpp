// Compaction of a segment that took adds and deletes, beside a fresh bulk build of the same
// number of rows. Arguments: main rows built, dim, delta rows added, percent of main rows
// deleted. Setup builds the segment, opens it, applies the adds and deletes in memory (no
// log), then each iteration compacts into a new directory. Reports seconds per call, rows per
// second and MB written per second (compaction re-encodes nothing, so it should run near
// sequential disk speed). The 1,000,000 x 128 case takes a few minutes of setup; run the
// small case alone with --benchmark_filter=/200000/.
#include <stdlib.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/live/delta.hpp"

using namespace ivf_rabitq;

namespace {

std::vector<float> gaussian(size_t n, size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g(0.f, 1.f);
  std::vector<float> out(n * dim);
  for (auto& v : out) v = g(rng);
  return out;
}

uint64_t dir_bytes(const std::string& dir) {
  uint64_t total = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir)) total += e.file_size();
  return total;
}

std::string temp_dir(const char* tag) {
  std::string t = std::string("/tmp/tandrel_bench_") + tag + "_XXXXXX";
  return mkdtemp(t.data());
}

Status build_rows(const std::string& dir, size_t n, size_t dim, uint64_t seed) {
  std::vector<float> data = gaussian(n, dim, seed);
  std::vector<std::string> ids(n), texts(n);
  for (size_t r = 0; r < n; ++r) {
    ids[r] = "doc-" + std::to_string(r);
    texts[r] = "{\"cat\": \"c" + std::to_string(r % 50) + "\", \"price\": " + std::to_string(r % 1000) + "}";
  }
  builder::BuildParams params;
  params.n_clusters = static_cast<uint32_t>(std::floor(std::sqrt(static_cast<double>(n))));
  params.n_bits = 2;
  params.seed = 42;
  return builder::build_segment(dir, data, n, dim, std::move(ids), builder::BuildMetadata::texts(texts), {}, {}, {}, {},
                                params);
}

void BM_Compact(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0)), dim = static_cast<size_t>(state.range(1));
  const size_t adds = static_cast<size_t>(state.range(2)), pct = static_cast<size_t>(state.range(3));
  const std::string src = temp_dir("compact_src");
  if (!build_rows(src, n, dim, 42).ok()) {
    state.SkipWithError("build failed");
    return;
  }
  auto opened = index::IvfIndex::open_with_skip(src, std::nullopt);
  if (!opened.ok()) {
    state.SkipWithError("open failed");
    return;
  }
  auto ix = std::move(opened).value();
  const std::vector<float> extra = gaussian(adds, dim, 7);
  for (size_t r = 0; r < adds; ++r) {
    const std::string text = "{\"cat\":\"c" + std::to_string(r % 50) + "\",\"price\":" + std::to_string(r % 1000) + "}";
    live::apply_add(*ix, "new-" + std::to_string(r), std::span<const float>(extra.data() + r * dim, dim),
                    json::parse(text).value(), text, {});
  }
  const size_t deletes = n * pct / 100;
  for (size_t k = 0; k < deletes; ++k) live::apply_delete(*ix, "doc-" + std::to_string(k * 100 / pct));
  const uint64_t live = ix->live_count();
  const std::string out_root = temp_dir("compact_out");
  uint64_t bytes = 0;
  size_t i = 0;
  for (auto _ : state) {
    const std::string out = out_root + "/o" + std::to_string(i++);
    if (!ix->compact_to(out, 1).ok()) {
      state.SkipWithError("compaction failed");
      break;
    }
    state.PauseTiming();
    bytes = dir_bytes(out);
    std::filesystem::remove_all(out);
    state.ResumeTiming();
  }
  state.counters["live_rows"] = static_cast<double>(live);
  state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(live) * state.iterations(), benchmark::Counter::kIsRate);
  state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6 * state.iterations(), benchmark::Counter::kIsRate);
  ix.reset();
  std::filesystem::remove_all(src);
  std::filesystem::remove_all(out_root);
}

void BM_FreshBuild(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0)), dim = static_cast<size_t>(state.range(1));
  const size_t adds = static_cast<size_t>(state.range(2)), pct = static_cast<size_t>(state.range(3));
  const size_t rows = n + adds - n * pct / 100;  // the live rows of the compaction case
  const std::string root = temp_dir("fresh");
  size_t i = 0;
  for (auto _ : state) {
    if (!build_rows(root + "/b" + std::to_string(i++), rows, dim, 42).ok()) {
      state.SkipWithError("build failed");
      break;
    }
  }
  state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(rows) * state.iterations(), benchmark::Counter::kIsRate);
  std::filesystem::remove_all(root);
}

}  // namespace

BENCHMARK(BM_Compact)->Args({200000, 128, 10000, 10})->Args({950000, 128, 50000, 10})->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_FreshBuild)->Args({200000, 128, 10000, 10})->Args({950000, 128, 50000, 10})->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);

BENCHMARK_MAIN();
