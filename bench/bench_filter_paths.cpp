// Filtered dense search of the engine (no Python), one thread, one query per call, on the
// segment that bench/bench_filtered.py builds (string columns p1 / p10 passing 1 % / 10 %
// of the rows). Compares, per filter and (nprobe, rerank):
//   Bare   - the predicate evaluated row by row (no bitmap), always probing;
//   Cached - the cached filter with its bitmap of passing main rows (probe by bit, or the
//            exact scan of the passing rows when they fit the row budget);
//   Exact  - exact search of the passing rows through the bitmap.
//
//   python3 bench/bench_filtered.py --n 100000          # builds the segment once
//   TANDREL_BENCH_FILTERED_DIR=/tmp/tandrel_bench_filtered/n100000-d128-s42-q1000 build/dev/bench_filter_paths
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/search/search.hpp"

namespace search = ivf_rabitq::search;
namespace ix = ivf_rabitq::index;
namespace par = ivf_rabitq::parallel;

namespace {

struct Data {
  std::shared_ptr<ix::IvfIndex> index;
  std::vector<float> queries;  // nq x dim
  size_t dim = 0;
  size_t nq = 0;
  ix::PredicatePtr filters[2];
};

Data* data() {
  static Data* d = [] {
    auto* out = new Data;
    const char* env = std::getenv("TANDREL_BENCH_FILTERED_DIR");
    const std::string dir = env ? env : "/tmp/tandrel_bench_filtered/n100000-d128-s42-q1000";
    auto r = ix::IvfIndex::open_with_skip(dir + "/index", std::nullopt);
    if (!r.ok()) {
      std::fprintf(stderr, "cannot open %s/index (run bench/bench_filtered.py first): %s\n", dir.c_str(),
                   r.error().text().c_str());
      std::exit(1);
    }
    out->index = *r;
    out->dim = out->index->manifest.dim;
    std::ifstream f(dir + "/queries.f32", std::ios::binary | std::ios::ate);
    const size_t bytes = f ? static_cast<size_t>(f.tellg()) : 0;
    out->nq = bytes / (sizeof(float) * out->dim);
    out->queries.resize(out->nq * out->dim);
    f.seekg(0);
    f.read(reinterpret_cast<char*>(out->queries.data()), static_cast<std::streamsize>(out->queries.size() * 4));
    if (out->nq == 0) {
      std::fprintf(stderr, "no queries in %s/queries.f32\n", dir.c_str());
      std::exit(1);
    }
    out->filters[0] = *out->index->compile_filter_cached(R"({"p1": "yes"})");
    out->filters[1] = *out->index->compile_filter_cached(R"({"p10": "yes"})");
    return out;
  }();
  return d;
}

// Args: filter (0: 1 %, 1: 10 %), mode (0 bare, 1 cached, 2 exact), nprobe, rerank.
void BM_Filtered(benchmark::State& state) {
  Data& d = *data();
  const ix::PredicatePtr& p = d.filters[state.range(0)];
  const int mode = static_cast<int>(state.range(1));
  const uint64_t nprobe = static_cast<uint64_t>(state.range(2));
  const uint64_t rerank = static_cast<uint64_t>(state.range(3));
  d.index->main_bits(p);  // built before timing
  size_t qi = 0;
  size_t sink = 0;
  par::with_threads(1, [&] {
    for (auto _ : state) {
      std::span<const float> q(d.queries.data() + (qi++ % d.nq) * d.dim, d.dim);
      if (mode == 0) sink += search::search_core(*d.index, q, 10, nprobe, rerank, p.get(), false).size();
      if (mode == 1) sink += search::search_core(*d.index, q, 10, nprobe, rerank, p, false).size();
      if (mode == 2) sink += search::search_bruteforce(*d.index, q, 10, p).size();
    }
  });
  benchmark::DoNotOptimize(sink);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// First use of a filter: building its bitmap of passing main rows.
void BM_BuildBits(benchmark::State& state) {
  Data& d = *data();
  const char* text = state.range(0) == 0 ? R"({"p1": "yes"})" : R"({"p10": "yes"})";
  for (auto _ : state) {
    state.PauseTiming();
    d.index->locks().filter_cache.lock()->clear();
    auto p = *d.index->compile_filter_cached(text);
    state.ResumeTiming();
    benchmark::DoNotOptimize(d.index->main_bits(p));
  }
}

}  // namespace

BENCHMARK(BM_Filtered)
    ->ArgNames({"filter", "mode", "nprobe", "rerank"})
    ->ArgsProduct({{0, 1}, {0, 1, 2}, {8, 32}, {100, 400}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildBits)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
