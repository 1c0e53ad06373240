// Bulk segment build at the default cluster count floor(sqrt(n)), 2 bits per coordinate,
// a short metadata text per row, on every core. Reports seconds per build and the process's
// peak resident set (ru_maxrss; run one case per process with --benchmark_filter for a clean
// figure, since the peak only grows).
#include <stdlib.h>
#include <sys/resource.h>

#include <benchmark/benchmark.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/common/parallel.hpp"

using namespace ivf_rabitq;

namespace {

double peak_rss_mib() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;  // ru_maxrss is in KiB on Linux
}

// n rows around 64 seeded Gaussian centres.
std::vector<float> mixture(size_t n, size_t dim, uint64_t seed) {
  const size_t centres = 64;
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g(0.f, 1.f);
  std::vector<float> c(centres * dim);
  for (auto& v : c) v = 3.f * g(rng);
  std::vector<float> out(n * dim);
  for (size_t r = 0; r < n; ++r) {
    const size_t k = rng() % centres;
    for (size_t j = 0; j < dim; ++j) out[r * dim + j] = c[k * dim + j] + g(rng);
  }
  return out;
}

void BM_Build(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const size_t dim = static_cast<size_t>(state.range(1));
  std::vector<float> data = mixture(n, dim, 42);
  std::vector<std::string> texts(n);
  for (size_t r = 0; r < n; ++r)
    texts[r] = "{\"cat\": \"c" + std::to_string(r % 50) + "\", \"price\": " + std::to_string(r % 1000) + "}";
  char tmpl[] = "/tmp/tandrel_bench_build_XXXXXX";
  const std::string dir = mkdtemp(tmpl);
  builder::BuildParams params;
  params.n_clusters = static_cast<uint32_t>(std::floor(std::sqrt(static_cast<double>(n))));
  params.n_bits = 2;
  params.seed = 42;
  const double rss_before = peak_rss_mib();
  for (auto _ : state) {
    std::vector<std::string> ids(n);
    for (size_t r = 0; r < n; ++r) ids[r] = "doc-" + std::to_string(r);
    Status st = builder::build_segment(dir, data, n, dim, std::move(ids), builder::BuildMetadata::texts(texts), {},
                                       {}, {}, {}, params);
    if (!st.ok()) state.SkipWithError(st.error().text().c_str());
  }
  state.counters["threads"] = static_cast<double>(parallel::num_threads());
  state.counters["peak_rss_MiB"] = peak_rss_mib();
  state.counters["input_rss_MiB"] = rss_before;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

}  // namespace

BENCHMARK(BM_Build)->Args({1000000, 128})->Args({200000, 768})->Iterations(1)->UseRealTime()->Unit(
    benchmark::kSecond);
BENCHMARK_MAIN();
