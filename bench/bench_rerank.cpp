// Int8 rerank distances per second, per formula and SIMD level, at dims 128 and 768.
// Each iteration scores a pool of 4096 stored rows (rows in cache-resident order, as the
// rerank pool of a search reads them after sorting by slot).
//
// rerank_pool/...: the rerank stage of a dense search over memory-mapped files larger than
// the caches: 1,000,000 x 128 and 200,000 x 768 rows (orig.bin and origscale.bin written
// once under /tmp/tandrel_bench_rerank, mapped with the random-access advice as an open
// segment maps them). A pool is ~P sorted slots drawn from 32 random clusters of about
// n / 4096 (128) or n / 1024 (768) rows, as probing 32 clusters gives; 64 pools are
// cycled; exact_scan scores runs of 65,536 consecutive slots as exact search does.
// `per_slot` scores one slot per call with the rows prefetched 8 ahead (the previous rerank
// loop, kept here as the baseline); `score_slots` is the search's scorer.
//
// select_pool/...: choose_rerank_pool and the slot sort over L candidates with R = rerank
// (the pool stage), on estimates and lower bounds shaped like the probe's.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/simd.hpp"
#include "ivf_rabitq/search/search_view.hpp"
#include "ivf_rabitq/storage/mmap.hpp"

using namespace ivf_rabitq;
using quant::RerankTable;
using quant::RowExponent;

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

// ---------------------------------------------------------------- rerank stage over mapped rows

struct MappedRows {
  size_t n = 0, dim = 0, cluster_rows = 0;
  std::optional<storage::TypedMmap<uint8_t>> orig, scale;
};

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  std::fclose(f);
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool has_size(const std::string& path, size_t len) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) == len;
}

const MappedRows& mapped_rows(size_t n, size_t dim, size_t clusters) {
  static std::vector<std::unique_ptr<MappedRows>> cache;
  for (auto& m : cache)
    if (m->n == n && m->dim == dim) return *m;
  const std::string root = "/tmp/tandrel_bench_rerank";
  ::mkdir(root.c_str(), 0755);
  const std::string stem = root + "/rows_" + std::to_string(n) + "x" + std::to_string(dim);
  if (!has_size(stem + ".orig.bin", n * dim) || !has_size(stem + ".origscale.bin", n * 8)) {
    std::mt19937_64 g(n * 31 + dim);
    std::vector<uint8_t> orig(n * dim), scale(n * 8);
    for (size_t r = 0; r < n; ++r) {
      uint8_t* row = orig.data() + r * dim;
      for (size_t j = 0; j < dim; ++j) row[j] = static_cast<uint8_t>(64 + g() % 129);
      const uint8_t e = static_cast<uint8_t>(120 + g() % 16);
      quant::store_origscale_record(scale.data() + r * 8, quant::RowCode{quant::code_energy(row, dim), e});
    }
    if (!write_file(stem + ".orig.bin", orig) || !write_file(stem + ".origscale.bin", scale)) {
      std::fprintf(stderr, "cannot write %s\n", stem.c_str());
      std::exit(1);
    }
  }
  auto m = std::make_unique<MappedRows>();
  m->n = n;
  m->dim = dim;
  m->cluster_rows = n / clusters;
  auto o = storage::TypedMmap<uint8_t>::open_with(stem + ".orig.bin", uint8_t{1});
  auto sc = storage::TypedMmap<uint8_t>::open_with(stem + ".origscale.bin", uint8_t{1});
  if (!o.ok() || !sc.ok()) {
    std::fprintf(stderr, "cannot map %s\n", stem.c_str());
    std::exit(1);
  }
  m->orig.emplace(std::move(o).value());
  m->scale.emplace(std::move(sc).value());
  cache.push_back(std::move(m));
  return *cache.back();
}

// 64 pools of about `pool` sorted distinct slots, each from 32 random clusters; pool 0
// stands for exact search: 16 runs of 65,536 consecutive slots.
std::vector<std::vector<uint32_t>> make_pools(const MappedRows& m, size_t pool) {
  if (pool == 0) {
    std::vector<std::vector<uint32_t>> runs(16);
    for (size_t r = 0; r < runs.size(); ++r)
      for (size_t i = 0; i < 65536; ++i) runs[r].push_back(static_cast<uint32_t>((r * 65536 + i) % m.n));
    return runs;
  }
  std::mt19937_64 g(pool * 7 + m.dim);
  std::vector<std::vector<uint32_t>> out(64);
  const size_t clusters = m.n / m.cluster_rows;
  for (auto& p : out) {
    std::vector<uint32_t> s;
    for (int c = 0; c < 32; ++c) {
      const size_t base = (g() % clusters) * m.cluster_rows;
      for (size_t i = 0; i < pool / 32 + 1; ++i) s.push_back(static_cast<uint32_t>(base + g() % m.cluster_rows));
    }
    std::sort(s.begin(), s.end());
    s.erase(std::unique(s.begin(), s.end()), s.end());
    p = std::move(s);
  }
  return out;
}

void run_pool(benchmark::State& state, size_t n, size_t dim, size_t clusters, size_t pool, bool batched) {
  const MappedRows& m = mapped_rows(n, dim, clusters);
  const auto pools = make_pools(m, pool);
  search::SegmentView seg;
  seg.dim = dim;
  seg.n = static_cast<uint32_t>(n);
  seg.quant_scale = 1.0f;
  seg.orig = m.orig->view().data();
  seg.has_origscale = true;
  seg.origscale = m.scale->view().data();
  seg.origscale_records = n;
  const storage::Delta delta;
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> d(-1.0f, 1.0f);
  std::vector<float> q(dim);
  for (auto& v : q) v = d(rng);
  const RerankTable t = search::rerank_table_for(seg, q);
  size_t longest = 0;
  for (const auto& p : pools) longest = std::max(longest, p.size());
  std::vector<search::ScoredPair> out(longest);
  size_t which = 0, scored = 0;
  for (auto _ : state) {
    const std::vector<uint32_t>& slots = pools[which];
    which = (which + 1) % pools.size();
    if (batched) {
      search::score_slots(seg, delta, t, q, slots, out.data());
    } else {
      const size_t lines = (dim + 63) / 64;
      auto prefetch = [&](uint32_t s) {
        for (size_t l = 0; l < lines; ++l) __builtin_prefetch(seg.orig + size_t(s) * dim + l * 64);
        __builtin_prefetch(seg.origscale + size_t(s) * 8);
      };
      for (size_t i = 0; i < std::min<size_t>(slots.size(), 8); ++i) prefetch(slots[i]);
      for (size_t i = 0; i < slots.size(); ++i) {
        if (i + 8 < slots.size()) prefetch(slots[i + 8]);
        out[i] = {search::slot_distance(seg, delta, t, q, slots[i]), slots[i]};
      }
    }
    benchmark::DoNotOptimize(out.data());
    scored += slots.size();
  }
  state.SetItemsProcessed(static_cast<int64_t>(scored));
}

// ---------------------------------------------------------------- pool selection

void run_select(benchmark::State& state, size_t L, uint32_t R) {
  std::mt19937_64 g(L + R);
  std::normal_distribution<float> nd(0.f, 1.f);
  std::vector<std::vector<search::Candidate>> sets(16);
  for (auto& c : sets) {
    for (size_t i = 0; i < L; ++i) {
      const float est = 40.f + 6.f * nd(g);
      const float low = est - 4.f - 3.f * std::fabs(nd(g));
      c.push_back(search::Candidate::make(est, low, static_cast<uint32_t>(g() % 1000000)));
    }
  }
  std::vector<search::Candidate> work, tmp;
  std::vector<uint32_t> slots;
  size_t which = 0;
  for (auto _ : state) {
    work = sets[which];
    which = (which + 1) % sets.size();
    const size_t pool = search::choose_rerank_pool(work.data(), work.size(), R, tmp);
    slots.resize(pool);
    for (size_t i = 0; i < pool; ++i) slots[i] = work[i].slot();
    benchmark::DoNotOptimize(slots.data());
  }
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
  struct Set {
    size_t n, dim, clusters;
  };
  for (Set st : {Set{1000000, 128, 4096}, Set{200000, 768, 1024}}) {
    for (size_t pool : {size_t{400}, size_t{1150}, size_t{0}}) {
      for (bool batched : {false, true}) {
        const std::string name = std::string("rerank_pool/") + (batched ? "score_slots" : "per_slot") +
                                 "/dim:" + std::to_string(st.dim) +
                                 (pool == 0 ? std::string("/exact_scan") : "/pool:" + std::to_string(pool));
        benchmark::RegisterBenchmark(name.c_str(), [st, pool, batched](benchmark::State& s) {
          run_pool(s, st.n, st.dim, st.clusters, pool, batched);
        });
      }
    }
  }
  for (auto [L, R] : {std::pair<size_t, uint32_t>{1024, 100}, {1600, 400}}) {
    const std::string name = "select_pool/L:" + std::to_string(L) + "/R:" + std::to_string(R);
    benchmark::RegisterBenchmark(name.c_str(), [L, R](benchmark::State& s) { run_select(s, L, R); });
  }
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
