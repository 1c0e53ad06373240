// Int8 rerank distances per second, per formula and SIMD level, at dims 128 and 768.
// Each iteration scores a pool of 4096 stored rows (rows in cache-resident order, as the
// rerank pool of a search reads them after sorting by slot).
#include <benchmark/benchmark.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/simd.hpp"

using namespace ivf_rabitq;
using index::RerankTable;
using index::RowExponent;

namespace {

constexpr size_t kRows = 4096;

enum class Formula { U8, FloatSegment, FloatRow, Pow2 };

const char* formula_name(Formula f) {
  switch (f) {
    case Formula::U8: return "u8";
    case Formula::FloatSegment: return "float_segment_step";
    case Formula::FloatRow: return "float_row_step";
    case Formula::Pow2: return "pow2_int";
  }
  return "?";
}

void run(benchmark::State& state, Formula f, simd::Level lvl, size_t dim) {
  std::mt19937 rng(42);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> rows(kRows * dim), q(dim);
  for (auto& v : rows) v = d(rng);
  for (auto& v : q) v = d(rng);
  std::vector<uint8_t> codes(kRows * dim);
  std::vector<RowExponent> exps(kRows);
  for (size_t r = 0; r < kRows; ++r) {
    const quant::RowCode rc = quant::encode_pow2_row(rows.data() + r * dim, dim, codes.data() + r * dim);
    exps[r] = RowExponent{rc.exp, rc.energy};
  }
  // Segment scale 2 keeps the query in u8 codes; 0.5 forces the float fallback.
  const float qs = (f == Formula::FloatSegment) ? 0.5f : 2.0f;
  const bool p2 = (f == Formula::Pow2);
  const RerankTable t = RerankTable::build(q, qs, p2, lvl);
  const bool with_exp = (f == Formula::FloatRow || f == Formula::Pow2);
  for (auto _ : state) {
    float acc = 0;
    for (size_t r = 0; r < kRows; ++r) {
      std::optional<RowExponent> e;
      if (with_exp) e = exps[r];
      acc += t.distance(q, codes.data() + r * dim, e, lvl);
    }
    benchmark::DoNotOptimize(acc);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kRows));
}

void run_encode(benchmark::State& state, simd::Level lvl, size_t dim) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-3.0f, 3.0f);
  std::vector<float> rows(kRows * dim);
  for (auto& v : rows) v = d(rng);
  std::vector<uint8_t> codes(dim);
  for (auto _ : state) {
    uint32_t acc = 0;
    for (size_t r = 0; r < kRows; ++r) acc += quant::encode_pow2_row(rows.data() + r * dim, dim, codes.data(), lvl).energy;
    benchmark::DoNotOptimize(acc);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kRows));
}

const bool registered = [] {
  for (size_t dim : {size_t{128}, size_t{768}}) {
    for (Formula f : {Formula::U8, Formula::FloatSegment, Formula::FloatRow, Formula::Pow2}) {
      for (simd::Level l : simd::supported_levels()) {
        const std::string name =
            std::string("rerank/") + formula_name(f) + "/" + simd::level_name(l) + "/dim:" + std::to_string(dim);
        benchmark::RegisterBenchmark(name.c_str(), [f, l, dim](benchmark::State& s) { run(s, f, l, dim); });
      }
    }
    for (simd::Level l : simd::supported_levels()) {
      const std::string name = std::string("encode_row/") + simd::level_name(l) + "/dim:" + std::to_string(dim);
      benchmark::RegisterBenchmark(name.c_str(), [l, dim](benchmark::State& s) { run_encode(s, l, dim); });
    }
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
