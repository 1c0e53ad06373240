// Filtered scans of the engine (no Python): count_matching and ids_matching over a segment of
// 1,000,000 rows (TANDREL_BENCH_SMALL=1: 200,000) whose rows carry a string column `s` and a
// numeric column `x`, for filters of 0.1 %, 1 %, 10 % and 50 % selectivity: equality on `s`,
// a range on `x` and an `$and` of both; rows/second per thread count (0 = every CPU).
//
//   build/dev/bench_scan --benchmark_filter='Count/.*'
//
// The segment (dim 8, rows in input order, no clustering) is written once under
// $TMPDIR/tandrel_bench_scan with the test-free storage writers of build_segment.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/scan/scan.hpp"

namespace scan = ivf_rabitq::scan;
namespace ix = ivf_rabitq::index;
namespace par = ivf_rabitq::parallel;
namespace json = ivf_rabitq::json;

namespace {

const double kSel[] = {0.001, 0.01, 0.1, 0.5};
const char* const kCats[] = {"p001", "p01", "p10", "p50", "rest"};

size_t rows() { return std::getenv("TANDREL_BENCH_SMALL") ? 200000 : 1000000; }

std::shared_ptr<ix::IvfIndex> segment() {
  static std::shared_ptr<ix::IvfIndex> seg = [] {
    const size_t n = rows();
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = std::string(tmp ? tmp : "/tmp") + "/tandrel_bench_scan/" + std::to_string(n);
    if (!std::filesystem::exists(dir + "/manifest.bin")) {
      std::mt19937_64 rng(1);
      std::uniform_real_distribution<double> u(0.0, 1.0);
      std::vector<float> vecs(n * 8);
      for (auto& v : vecs) v = static_cast<float>(u(rng));
      std::vector<std::string> ids(n);
      std::vector<json::Value> metas(n);
      for (size_t i = 0; i < n; ++i) {
        ids[i] = "id" + std::to_string(i);
        const double a = u(rng);
        size_t c = 0;
        double edge = 0;
        while (c < 4 && a >= (edge += kSel[c])) ++c;
        metas[i] = json::Value::object();
        metas[i]["s"] = kCats[c];
        metas[i]["x"] = u(rng);
      }
      auto st = ix::IvfIndex::build(dir, vecs, n, 8, std::move(ids), metas, {}, {}, {}, {}, 16, 2, 42, 0.0f);
      if (!st.ok()) std::abort();
    }
    auto r = ix::IvfIndex::open_with_skip(dir, std::nullopt);
    if (!r.ok()) std::abort();
    return std::move(r).value();
  }();
  return seg;
}

std::string filter_text(int shape, int k) {
  const double p = kSel[k];
  switch (shape) {
    case 0: return std::string("{\"s\":\"") + kCats[k] + "\"}";
    case 1: return "{\"x\":{\"$lt\":" + json::f64_text(p) + "}}";
    default: return "{\"$and\":[{\"s\":\"p50\"},{\"x\":{\"$lt\":" + json::f64_text(2 * p) + "}}]}";
  }
}

template <bool Ids>
void BM_Scan(benchmark::State& state) {
  auto seg = segment();
  const std::string text = filter_text(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  auto pred = seg->compile_filter_cached(text);
  if (!pred.ok()) std::abort();
  const size_t threads = state.range(2) == 0 ? par::affinity_cpus() : static_cast<size_t>(state.range(2));
  size_t matches = 0;
  par::with_threads(threads, [&] {
    for (auto _ : state) {
      if constexpr (Ids) {
        auto ids = scan::ids_matching(*seg, pred->get());
        matches = ids.size();
        benchmark::DoNotOptimize(ids.data());
      } else {
        matches = scan::count_matching(*seg, pred->get());
        benchmark::DoNotOptimize(matches);
      }
    }
  });
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(seg->main_rows()) * state.iterations(),
                                                benchmark::Counter::kIsRate);
  state.counters["matches"] = static_cast<double>(matches);
  state.SetLabel(text);
}

void Args(benchmark::internal::Benchmark* b) {
  for (int shape = 0; shape < 3; ++shape)
    for (int k = 0; k < 4; ++k)
      for (int threads : {1, 0}) b->Args({shape, k, threads});
  b->ArgNames({"shape", "sel", "threads"})->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Scan<false>)->Name("Count")->Apply(Args);
BENCHMARK(BM_Scan<true>)->Name("Ids")->Apply(Args);

}  // namespace

BENCHMARK_MAIN();
