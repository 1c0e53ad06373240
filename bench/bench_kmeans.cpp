// k-means training and the centroid distance kernels.
//
//   build/rel/bench_kmeans --benchmark_filter=KMeans
//   build/rel/bench_kmeans --benchmark_filter=Assign
// Arguments of BM_KMeans: dataset (0: 1,000,000 x 128, k = 1,000; 1: 200,000 x 768,
// k = 447), threads (0 = every CPU of the affinity mask), SIMD level (0 scalar, 1 AVX2,
// 2 AVX-512; clamped to what the CPU runs). Data: a seeded Gaussian mixture.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/kmeans/kmeans.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/common/simd.hpp"

using namespace ivf_rabitq;

namespace {

struct Gen {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double unit() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1p-53; }
  float gauss() { return static_cast<float>(std::sqrt(-2.0 * std::log(unit())) * std::cos(6.283185307179586 * unit())); }
};

struct Dataset {
  size_t n, dim, k;
  std::vector<float> data;
};

// n rows around `components` Gaussian centres (centres ~ N(0, 4^2), rows centre + N(0, 1)).
std::vector<float> gaussian_mixture(size_t n, size_t dim, size_t components, uint64_t seed) {
  std::vector<float> centres(components * dim);
  Gen g{seed};
  for (auto& x : centres) x = 4.0f * g.gauss();
  std::vector<float> out(n * dim);
  parallel::for_chunks(n, 4096, [&](size_t b, size_t e) {
    Gen r{seed * 1000003 + b};
    for (size_t i = b; i < e; ++i) {
      const float* c = centres.data() + (r.next() % components) * dim;
      for (size_t j = 0; j < dim; ++j) out[i * dim + j] = c[j] + r.gauss();
    }
  });
  return out;
}

const Dataset& dataset(int which) {
  static std::unique_ptr<Dataset> cached[2];
  if (!cached[which]) {
    cached[1 - which].reset();  // keep one in memory at a time
    auto d = std::make_unique<Dataset>();
    if (which == 0) *d = {1000000, 128, 1000, {}};
    else *d = {200000, 768, 447, {}};
    d->data = gaussian_mixture(d->n, d->dim, 2 * d->k, 17 + which);
    cached[which] = std::move(d);
  }
  return *cached[which];
}

void BM_KMeans(benchmark::State& state) {
  const Dataset& d = dataset(static_cast<int>(state.range(0)));
  const size_t threads = state.range(1) == 0 ? parallel::affinity_cpus() : static_cast<size_t>(state.range(1));
  const simd::Level level = distance::detail::clamp_level(static_cast<simd::Level>(state.range(2)));
  for (auto _ : state) {
    std::vector<float> c;
    parallel::with_threads(threads, [&] { c = kmeans::detail::kmeans_at(level, d.data, d.n, d.dim, d.k, 42); });
    benchmark::DoNotOptimize(c.data());
  }
  state.SetLabel(std::to_string(d.n) + "x" + std::to_string(d.dim) + " k=" + std::to_string(d.k) + " threads=" +
                 std::to_string(threads) + " " + simd::level_name(level));
}

void KMeansArgs(benchmark::internal::Benchmark* b) {
  for (int ds : {0, 1}) {
    for (int lv : {2, 1, 0}) b->Args({ds, 1, lv});
    for (int lv : {2, 0}) b->Args({ds, 0, lv});
  }
}
BENCHMARK(BM_KMeans)->Apply(KMeansArgs)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// One query against k vectors: the kernel of the k-means assignment, the query-side
// centroid ranking and the per-add nearest-centroid scan.
void BM_SqL2All(benchmark::State& state) {
  const size_t dim = static_cast<size_t>(state.range(0)), k = static_cast<size_t>(state.range(1));
  const simd::Level level = distance::detail::clamp_level(static_cast<simd::Level>(state.range(2)));
  std::vector<float> rows = gaussian_mixture(k + 1, dim, 8, 5);
  auto pv = distance::PackedVectors::pack(rows.data() + dim, k, dim);
  std::vector<float> out(pv.blocks() * distance::kBlock);
  for (auto _ : state) {
    distance::sq_l2_all(level, rows.data(), pv, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * k));
  state.SetLabel(simd::level_name(level));
}
BENCHMARK(BM_SqL2All)->ArgsProduct({{128, 768}, {1000}, {0, 1, 2}});

void BM_Nearest(benchmark::State& state) {
  const size_t dim = static_cast<size_t>(state.range(0)), k = static_cast<size_t>(state.range(1));
  const simd::Level level = distance::detail::clamp_level(static_cast<simd::Level>(state.range(2)));
  std::vector<float> rows = gaussian_mixture(k + 256, dim, 64, 6);
  auto pv = distance::PackedVectors::pack(rows.data() + 256 * dim, k, dim);
  size_t q = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(distance::nearest(level, rows.data() + (q++ % 256) * dim, pv));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * k));
  state.SetLabel(simd::level_name(level));
}
BENCHMARK(BM_Nearest)->ArgsProduct({{128, 768}, {1000}, {0, 1, 2}});

void BM_NeighborLists(benchmark::State& state) {
  const size_t dim = 128, k = static_cast<size_t>(state.range(0));
  std::vector<float> cents = gaussian_mixture(k, dim, 64, 7);
  for (auto _ : state) {
    auto lists = kmeans::centroid_neighbor_lists(cents, dim, k);
    state.counters["list_MB"] = static_cast<double>(lists.memory_bytes()) / 1e6;
    benchmark::DoNotOptimize(lists.list(0).data());
  }
}
BENCHMARK(BM_NeighborLists)->Arg(1000)->Arg(4096)->Unit(benchmark::kMillisecond)->UseRealTime();

// Centroids (k-means with seed 42) and neighbour lists of a dataset, computed once.
struct Trained {
  int which = -1;
  std::vector<float> cents;
  kmeans::NeighborLists lists;
};

const Trained& trained(int which) {
  static Trained t;
  if (t.which != which) {
    const Dataset& d = dataset(which);
    t.cents = kmeans::kmeans(d.data, d.n, d.dim, d.k, 42);
    t.lists = kmeans::centroid_neighbor_lists(t.cents, d.dim, d.k);
    t.which = which;
  }
  return t;
}

// Nearest-centroid assignment of every row of a dataset, as in the segment build.
// Arguments: dataset (as BM_KMeans), threads (0 = every CPU), method (0: greedy descent
// over the neighbour lists, 1: brute force). The SIMD level is the active one
// (TANDREL_SIMD forces another).
void BM_Assign(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const Trained& t = trained(which);
  const Dataset& d = dataset(which);
  const size_t threads = state.range(1) == 0 ? parallel::affinity_cpus() : static_cast<size_t>(state.range(1));
  const bool brute = state.range(2) == 1;
  for (auto _ : state) {
    std::vector<uint32_t> a;
    parallel::with_threads(threads, [&] {
      a = brute ? kmeans::assign_brute_force(d.data, d.n, d.dim, t.cents, d.k)
                : kmeans::assign_all_exact(d.data, d.n, d.dim, t.cents, t.lists);
    });
    benchmark::DoNotOptimize(a.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * d.n));
  state.SetLabel(std::to_string(d.n) + "x" + std::to_string(d.dim) + " k=" + std::to_string(d.k) + " threads=" +
                 std::to_string(threads) + (brute ? " brute" : " descent") + " " +
                 simd::level_name(simd::active_level()));
}
BENCHMARK(BM_Assign)
    ->ArgsProduct({{0, 1}, {1, 0}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
