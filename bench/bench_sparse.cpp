// Sparse retrieval, hybrid queries and per-id distances on one segment of 1,000,000 rows
// (dim 32) with about 30 distinct terms per row drawn from a Zipf-like vocabulary of
// 100,000 terms; queries of 5 to 20 terms from the same distribution.
//
//   build/dev/bench_sparse                        # 1,000,000 rows
//   TANDREL_BENCH_SMALL=1 build/dev/bench_sparse  # 100,000 rows (quick look)
//
// Cases (single thread unless the name says otherwise):
//   SparseRank            sparse_rank, k = 10
//   Dense                 search_core, k = 100 (the hybrid's candidate depth), nprobe 64, rerank 500
//   SparseRank100         sparse_rank, k = 100 (the hybrid's sparse half)
//   Hybrid                both lists at depth 100 and their rank fusion, k = 10
//   Distances1000/par     distances_to for a batch of 1,000 ids (one query), parallel off / on
//
// The data set is generated from a seed, built once with build_segment and cached under
// /tmp/tandrel_bench_sparse/<name> together with `sparse_csr.bin` and `queries.bin`, which
// bench/sparse_baseline.py reads to time a scipy.sparse inverted-index baseline (and the
// module's own sparse_search) on the same rows and queries.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/search/distances.hpp"
#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq/search/sparse.hpp"

namespace builder = ivf_rabitq::builder;
namespace search = ivf_rabitq::search;
namespace ix = ivf_rabitq::index;
namespace par = ivf_rabitq::parallel;
using ivf_rabitq::storage::SparsePairs;

namespace {

constexpr size_t kDim = 32;
constexpr size_t kVocab = 100000;
constexpr size_t kTermsPerRow = 30;
constexpr size_t kQueries = 1000;

size_t rows_wanted() { return std::getenv("TANDREL_BENCH_SMALL") ? 100000 : 1000000; }
std::string data_dir() { return "/tmp/tandrel_bench_sparse/rows_" + std::to_string(rows_wanted()); }

// Zipf(1) over the vocabulary by inverse CDF.
struct Zipf {
  std::vector<double> cdf;
  Zipf() : cdf(kVocab) {
    double s = 0;
    for (size_t i = 0; i < kVocab; ++i) cdf[i] = (s += 1.0 / double(i + 1));
    for (auto& c : cdf) c /= s;
  }
  uint32_t draw(std::mt19937_64& g) const {
    const double u = std::uniform_real_distribution<double>(0, 1)(g);
    return static_cast<uint32_t>(std::lower_bound(cdf.begin(), cdf.end(), u) - cdf.begin());
  }
};

SparsePairs distinct_terms(const Zipf& z, std::mt19937_64& g, size_t count) {
  SparsePairs out;
  std::uniform_real_distribution<float> wd(0.05f, 1.0f);
  for (size_t tries = 0; out.size() < count && tries < count * 8; ++tries) {
    const uint32_t t = z.draw(g);
    if (std::any_of(out.begin(), out.end(), [&](const auto& p) { return p.first == t; })) continue;
    out.emplace_back(t, wd(g));
  }
  return out;
}

struct Data {
  std::shared_ptr<ix::IvfIndex> index;
  std::vector<SparsePairs> queries;
  std::vector<std::vector<float>> dense_queries;
  std::vector<std::string> ids;
};

template <class T>
void write_vec(std::ofstream& f, const std::vector<T>& v) {
  const uint64_t n = v.size();
  f.write(reinterpret_cast<const char*>(&n), 8);
  f.write(reinterpret_cast<const char*>(v.data()), std::streamsize(n * sizeof(T)));
}

Data& data() {
  static Data d = [] {
    Data d;
    const size_t n = rows_wanted();
    const std::string dir = data_dir();
    Zipf z;
    std::mt19937_64 g(20261210);
    std::vector<SparsePairs> sparse(n);
    for (auto& r : sparse) r = distinct_terms(z, g, kTermsPerRow);
    for (size_t q = 0; q < kQueries; ++q) d.queries.push_back(distinct_terms(z, g, 5 + g() % 16));
    std::normal_distribution<float> nd;
    std::vector<float> centers(64 * kDim), rows(n * kDim);
    for (auto& c : centers) c = nd(g) * 3.f;
    for (size_t i = 0; i < n; ++i)
      for (size_t j = 0; j < kDim; ++j) rows[i * kDim + j] = centers[(i % 64) * kDim + j] + nd(g);
    for (size_t q = 0; q < kQueries; ++q) {
      std::vector<float> v(kDim);
      for (size_t j = 0; j < kDim; ++j) v[j] = centers[(q % 64) * kDim + j] + nd(g);
      d.dense_queries.push_back(std::move(v));
    }
    for (size_t i = 0; i < n; ++i) d.ids.push_back("r" + std::to_string(i));

    struct stat st;
    if (::stat((dir + "/manifest.bin").c_str(), &st) != 0) {
      std::fprintf(stderr, "building %zu rows into %s ...\n", n, dir.c_str());
      builder::BuildParams bp;
      bp.n_clusters = static_cast<uint32_t>(std::sqrt(double(n)));
      bp.seed = 1;
      auto built = builder::build_segment(dir, rows, n, kDim, d.ids, builder::BuildMetadata(), sparse, {}, {}, {}, bp);
      if (!built.ok()) {
        std::fprintf(stderr, "build failed: %s\n", built.error().text().c_str());
        std::exit(1);
      }
      // The same rows and queries for the Python baseline: CSR (indptr u64, terms u32,
      // weights f32) and queries as (offsets u64, terms u32, weights f32), then the dense
      // queries (f32, dim each).
      std::vector<uint64_t> indptr{0};
      std::vector<uint32_t> terms;
      std::vector<float> weights;
      for (const auto& r : sparse) {
        for (const auto& [t, w] : r) terms.push_back(t), weights.push_back(w);
        indptr.push_back(terms.size());
      }
      std::ofstream f(dir + "/sparse_csr.bin", std::ios::binary);
      write_vec(f, indptr), write_vec(f, terms), write_vec(f, weights);
      std::vector<uint64_t> qptr{0};
      std::vector<uint32_t> qt;
      std::vector<float> qw, dq;
      for (const auto& q : d.queries) {
        for (const auto& [t, w] : q) qt.push_back(t), qw.push_back(w);
        qptr.push_back(qt.size());
      }
      for (const auto& v : d.dense_queries) dq.insert(dq.end(), v.begin(), v.end());
      std::ofstream fq(dir + "/queries.bin", std::ios::binary);
      write_vec(fq, qptr), write_vec(fq, qt), write_vec(fq, qw), write_vec(fq, dq);
    }
    auto opened = ix::IvfIndex::open_with_skip(dir, std::nullopt);
    if (!opened.ok()) {
      std::fprintf(stderr, "open failed: %s\n", opened.error().text().c_str());
      std::exit(1);
    }
    d.index = std::move(opened).value();
    return d;
  }();
  return d;
}

void BM_SparseRank(benchmark::State& state) {
  Data& d = data();
  const uint64_t k = static_cast<uint64_t>(state.range(0));
  size_t qi = 0, hits = 0;
  par::with_threads(1, [&] {
    for (auto _ : state) {
      auto r = search::sparse_rank(*d.index, d.queries[qi++ % kQueries], k, nullptr);
      hits += r.size();
      benchmark::DoNotOptimize(r.data());
    }
  });
  state.counters["qps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SparseRank)->Name("SparseRank")->Arg(10)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SparseRank)->Name("SparseRank100")->Arg(100)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Dense(benchmark::State& state) {
  Data& d = data();
  size_t qi = 0;
  par::with_threads(1, [&] {
    for (auto _ : state) {
      auto r = search::search_core(*d.index, d.dense_queries[qi++ % kQueries], 100, 64, 500, nullptr, false);
      benchmark::DoNotOptimize(r.data());
    }
  });
  state.counters["qps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Dense)->Name("Dense")->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Hybrid(benchmark::State& state) {
  Data& d = data();
  size_t qi = 0;
  par::with_threads(1, [&] {
    for (auto _ : state) {
      const size_t q = qi++ % kQueries;
      auto dense = search::search_core(*d.index, d.dense_queries[q], 100, 64, 500, nullptr, false);
      auto sparse = search::sparse_rank(*d.index, d.queries[q], 100, nullptr);
      auto fused = search::search_hybrid(10, 60.0f, dense, sparse);
      benchmark::DoNotOptimize(fused.data());
    }
  });
  state.counters["qps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Hybrid)->Name("Hybrid")->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Distances(benchmark::State& state) {
  Data& d = data();
  const bool parallel = state.range(0) != 0;
  std::mt19937_64 g(5);
  std::vector<std::vector<std::string_view>> batches(64);
  for (auto& b : batches)
    for (size_t i = 0; i < 1000; ++i) b.push_back(d.ids[g() % d.ids.size()]);
  size_t bi = 0;
  for (auto _ : state) {
    const size_t b = bi++ % batches.size();
    auto r = search::distances_to(*d.index, batches[b], d.dense_queries[b], parallel);
    benchmark::DoNotOptimize(r.data());
  }
  state.counters["ids/s"] = benchmark::Counter(double(state.iterations()) * 1000, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Distances)->Name("Distances1000")->Arg(0)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Distances)->Name("Distances1000/par")->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
