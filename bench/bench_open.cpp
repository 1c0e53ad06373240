// Open time of a 1,000,000-row segment (dim 128, 1-bit codes, 1,024 clusters, one numeric
// column, ids with and without idhash.bin), written once per run by the test fixture writer.
//
//   BM_Open/idhash:1            the open as the handle runs it (process verification budget:
//                               TANDREL_VERIFY_MAX_BYTES, default 64 MiB; run with
//                               TANDREL_VERIFY_MAX_BYTES=0 for the open without verification)
//   BM_Open/idhash:0            same, the id map built by hashing every main id
//   BM_VerifyUnder/<budget>     the verification step alone at budgets 0, 64 MiB and unlimited
//
// The files are in the page cache after the first iteration: the figures are warm-cache.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

#include "../tests/cpp/support/segment_fixture.cpp"  // the fixture writer (no test framework)
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/segment/verify.hpp"

namespace {

using namespace ivf_rabitq;

constexpr size_t kRows = 1000000;

struct Segments {
  tandrel_test::TempDir root;
  std::string with_idhash, without_idhash;
  Segments() {
    tandrel_test::SegmentSpec s;
    s.dim = 128;
    s.n_clusters = 1024;
    s.n_bits = 1;
    s.ids = tandrel_test::make_ids(kRows, "doc-");
    s.metas.reserve(kRows);
    for (size_t i = 0; i < kRows; ++i) s.metas.push_back("{\"k\":" + std::to_string(i % 1000) + "}");
    s.meta_files = false;
    with_idhash = root.file("with_idhash");
    tandrel_test::write_segment(with_idhash, s);
    s.idhash = false;
    without_idhash = root.file("without_idhash");
    tandrel_test::write_segment(without_idhash, s);
  }
};

Segments& segments() {
  static Segments* s = new Segments();  // kept for the whole run
  return *s;
}

void BM_Open(benchmark::State& state) {
  const std::string& dir = state.range(0) ? segments().with_idhash : segments().without_idhash;
  for (auto _ : state) {
    auto r = index::IvfIndex::open_with_skip(dir, std::nullopt);
    if (!r.ok()) {
      state.SkipWithError(r.error().text().c_str());
      break;
    }
    benchmark::DoNotOptimize(r->get());
  }
  state.counters["budget_MiB"] = static_cast<double>(segment::verify_open_budget()) / (1 << 20);
}
BENCHMARK(BM_Open)->ArgName("idhash")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_VerifyUnder(benchmark::State& state) {
  auto r = index::IvfIndex::open_with_skip(segments().with_idhash, std::nullopt);
  if (!r.ok()) {
    state.SkipWithError(r.error().text().c_str());
    return;
  }
  const uint64_t budget = state.range(0) < 0 ? UINT64_MAX : static_cast<uint64_t>(state.range(0));
  for (auto _ : state) {
    auto st = (*r)->verify_under(budget);
    if (!st.ok()) {
      state.SkipWithError(st.error().text().c_str());
      break;
    }
  }
}
BENCHMARK(BM_VerifyUnder)->Arg(0)->Arg(64 << 20)->Arg(-1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
