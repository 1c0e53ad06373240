// Codec kernels: bit-plane inner product (rows/s/core) and the fused estimate per
// dispatch level, the block-interleaved scan (lookup tables + blocked inner products) per
// level, FWHT and full rotation throughput.
//   build/rel/bench_codec --benchmark_filter=IpRows
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/codec/fastscan.hpp"
#include "ivf_rabitq/common/simd.hpp"

using namespace ivf_rabitq;

namespace {

constexpr size_t kRows = 1024;  // one cluster's worth of rows, codes stay in L2

bool select_level(benchmark::State& state, simd::Level& level) {
  level = static_cast<simd::Level>(state.range(0));
  if (!simd::cpu_supports(level)) {
    state.SkipWithError("level not supported by this CPU");
    return false;
  }
  state.SetLabel(simd::level_name(level));
  return true;
}

struct Cluster {
  std::vector<uint64_t> codes;
  std::vector<float> factors;
  codec::QueryLut lut;
};

Cluster make_cluster(uint32_t n_bits, size_t dim) {
  Cluster c;
  const size_t words = dim / 64;
  std::mt19937 g(1);
  std::normal_distribution<float> d;
  std::vector<float> x(dim);
  c.codes.resize(kRows * n_bits * words);
  c.factors.resize(kRows * 4);
  for (size_t r = 0; r < kRows; ++r) {
    for (auto& v : x) v = d(g);
    codec::encode_rotated_bbit(x, dim, n_bits, words,
                               std::span<uint64_t>(c.codes.data() + r * n_bits * words, n_bits * words),
                               std::span<float, 4>(c.factors.data() + r * 4, 4));
  }
  for (auto& v : x) v = d(g);
  codec::preprocess_query_into(c.lut, x, dim);
  return c;
}

// Args: level, n_bits, dim
void BM_IpRows(benchmark::State& state) {
  simd::Level level;
  if (!select_level(state, level)) return;
  const uint32_t n_bits = static_cast<uint32_t>(state.range(1));
  const size_t dim = static_cast<size_t>(state.range(2));
  Cluster c = make_cluster(n_bits, dim);
  std::vector<uint64_t> out(kRows);
  for (auto _ : state) {
    codec::ip_rows_at(level, c.lut.words.data(), c.codes.data(), kRows, n_bits, dim / 64, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}

// Inner product plus estimate and lower bound of every row.
void BM_EstimateRows(benchmark::State& state) {
  simd::Level level;
  if (!select_level(state, level)) return;
  const uint32_t n_bits = static_cast<uint32_t>(state.range(1));
  const size_t dim = static_cast<size_t>(state.range(2));
  Cluster c = make_cluster(n_bits, dim);
  std::vector<float> est(kRows), low(kRows);
  for (auto _ : state) {
    codec::estimate_rows_at(level, c.lut, c.codes.data(), c.factors.data(), kRows, n_bits, dim, est.data(),
                            low.data());
    benchmark::DoNotOptimize(est.data());
    benchmark::DoNotOptimize(low.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}

// Blocked scan of one cluster: its 16-entry lookup tables, then the inner products of all
// its rows from the block-interleaved codes (the same values as BM_IpRows).
void BM_ScanBlocks(benchmark::State& state) {
  simd::Level level;
  if (!select_level(state, level)) return;
  const uint32_t n_bits = static_cast<uint32_t>(state.range(1));
  const size_t dim = static_cast<size_t>(state.range(2));
  Cluster c = make_cluster(n_bits, dim);
  const uint32_t offsets[] = {0, static_cast<uint32_t>(kRows)};
  const codec::ScanLayout layout = codec::scan_layout_for(level);
  const codec::BlockedCodes bc =
      codec::BlockedCodes::build(c.codes, offsets, 1, static_cast<uint32_t>(kRows), n_bits, dim / 64, layout);
  if (layout == codec::ScanLayout::Quads) state.SetLabel(std::string(simd::level_name(level)) + " quads");
  std::vector<uint8_t> tables(codec::scan_table_bytes(dim));
  std::vector<uint64_t> out(kRows);
  for (auto _ : state) {
    codec::build_scan_tables_at(level, c.lut, tables.data());
    codec::scan_blocks_at(level, bc.cluster_blocks(0), kRows / codec::kScanBlockRows, tables.data(), n_bits, dim,
                          out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kRows));
}

void ip_args(benchmark::internal::Benchmark* b) {
  for (int level : {0, 1, 2})
    for (int nb : {1, 2, 4})
      for (int dim : {128, 768, 1536}) b->Args({level, nb, dim});
}

// Args: level, n (a power of two)
void BM_Fwht(benchmark::State& state) {
  simd::Level level;
  if (!select_level(state, level)) return;
  const size_t n = static_cast<size_t>(state.range(1));
  std::vector<float> v(n);
  std::mt19937 g(2);
  std::normal_distribution<float> d;
  for (auto& x : v) x = d(g);
  for (auto _ : state) {
    codec::fwht_at(level, v.data(), n);
    // Keep magnitudes bounded across iterations without changing the work per call.
    v[0] = 1.0f;
    benchmark::DoNotOptimize(v.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n * sizeof(float)));
}

// Full rotation at the process's active level. Args: dim, new_layout
void BM_Rotate(benchmark::State& state) {
  const size_t dim = static_cast<size_t>(state.range(0));
  const bool nl = state.range(1) != 0;
  codec::Rotator r = codec::Rotator::build(dim, codec::rotation_seed(42), nl);
  std::vector<float> src(dim), out(r.pad);
  std::mt19937 g(3);
  std::normal_distribution<float> d;
  for (auto& x : src) x = d(g);
  state.SetLabel(simd::level_name(simd::active_level()));
  for (auto _ : state) {
    r.rotate_into(src, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_IpRows)->Apply(ip_args);
BENCHMARK(BM_EstimateRows)->Apply(ip_args);
BENCHMARK(BM_ScanBlocks)->Apply(ip_args);
BENCHMARK(BM_Fwht)->ArgsProduct({{0, 1, 2}, {128, 512, 1024, 2048}});
BENCHMARK(BM_Rotate)->ArgsProduct({{128, 768, 1536, 100, 300}, {1, 0}});

BENCHMARK_MAIN();
