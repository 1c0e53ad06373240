// Throughput of the JSON layer on typical metadata objects (100-300 bytes), of the printer,
// and of filter compilation and per-row evaluation.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/predicate/compile.hpp"

namespace json = ivf_rabitq::json;
using namespace ivf_rabitq::predicate;

namespace {

const std::vector<std::string>& metadata_texts() {
  static const std::vector<std::string> texts = [] {
    std::mt19937_64 rng(7);
    const char* cats[] = {"books", "music", "garden", "toys", "electronics"};
    const char* words[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};
    std::vector<std::string> out;
    for (int i = 0; i < 20000; ++i) {
      std::string t = "{\"id\": " + std::to_string(rng() % 1000000) + ", \"category\": \"" + cats[rng() % 5] +
                      "\", \"price\": " + std::to_string((rng() % 100000) / 100.0) +
                      ", \"in_stock\": " + (rng() % 2 ? "true" : "false") + ", \"rating\": " +
                      std::to_string(rng() % 5 + 1) + ", \"title\": \"";
      const int nw = 2 + static_cast<int>(rng() % 12);
      for (int w = 0; w < nw; ++w) t += std::string(w ? " " : "") + words[rng() % 8];
      t += "\", \"tags\": [";
      const int nt = static_cast<int>(rng() % 4);
      for (int w = 0; w < nt; ++w) t += std::string(w ? ", \"" : "\"") + words[rng() % 8] + "\"";
      t += "], \"created\": \"2024-0" + std::to_string(1 + rng() % 9) + "-1" + std::to_string(rng() % 10) +
           "T12:00:00Z\", \"score\": " + json::f64_text(std::ldexp(static_cast<double>(rng() >> 11), -53)) + "}";
      out.push_back(std::move(t));
    }
    return out;
  }();
  return texts;
}

size_t total_bytes(const std::vector<std::string>& v) {
  size_t n = 0;
  for (const auto& s : v) n += s.size();
  return n;
}

void BM_ParseMetadata(benchmark::State& state) {
  const auto& texts = metadata_texts();
  for (auto _ : state) {
    for (const auto& t : texts) {
      auto v = json::parse(t);
      benchmark::DoNotOptimize(v);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total_bytes(texts)));
  state.counters["avg_bytes"] = static_cast<double>(total_bytes(texts)) / texts.size();
}
BENCHMARK(BM_ParseMetadata)->Unit(benchmark::kMillisecond);

void BM_ValidateMetadata(benchmark::State& state) {
  const auto& texts = metadata_texts();
  for (auto _ : state) {
    for (const auto& t : texts) benchmark::DoNotOptimize(json::is_valid(t));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total_bytes(texts)));
}
BENCHMARK(BM_ValidateMetadata)->Unit(benchmark::kMillisecond);

void BM_PrintCompact(benchmark::State& state) {
  const auto& texts = metadata_texts();
  std::vector<json::Value> docs;
  size_t out_bytes = 0;
  for (const auto& t : texts) {
    docs.push_back(*json::parse(t));
    out_bytes += json::to_compact(docs.back()).size();
  }
  std::string out;
  for (auto _ : state) {
    for (const auto& d : docs) {
      out.clear();
      json::append_compact(out, d);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out_bytes));
}
BENCHMARK(BM_PrintCompact)->Unit(benchmark::kMillisecond);

void BM_Canonical(benchmark::State& state) {
  const auto& texts = metadata_texts();
  for (auto _ : state) {
    for (const auto& t : texts) {
      auto c = json::canonical(t);
      benchmark::DoNotOptimize(c);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total_bytes(texts)));
}
BENCHMARK(BM_Canonical)->Unit(benchmark::kMillisecond);

void BM_PrintF64(benchmark::State& state) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> d(-1e6, 1e6);
  std::vector<double> xs(100000);
  for (auto& x : xs) x = d(rng);
  std::string out;
  for (auto _ : state) {
    for (double x : xs) {
      out.clear();
      json::append_f64(out, x);
      benchmark::DoNotOptimize(out.data());
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * xs.size()));
}
BENCHMARK(BM_PrintF64)->Unit(benchmark::kMillisecond);

// Filter compile and per-row evaluation over typed rows of the metadata above.
struct FilterFixture {
  TypedTable table;
  std::vector<TypedRow> rows;
  FilterFixture() {
    const auto& texts = metadata_texts();
    std::vector<json::Value> docs;
    docs.reserve(texts.size());
    for (const auto& t : texts) docs.push_back(*json::parse(t));
    std::vector<const json::Value*> ptrs;
    for (const auto& d : docs) ptrs.push_back(&d);
    table = type_rows(ptrs, nullptr);
    for (const auto* p : ptrs) rows.push_back(*try_resolve(table.fields, p, true));
  }
};
const FilterFixture& fixture() {
  static const FilterFixture f;
  return f;
}
const char* kFilter =
    R"({"category": {"$in": ["books", "toys"]}, "price": {"$gte": 10, "$lt": 500}, "$or": [{"in_stock": true}, {"rating": {"$gte": 4}}]})";

void BM_CompileFilter(benchmark::State& state) {
  const auto& f = fixture();
  const SchemaRef schema{&f.table.fields, nullptr, true};
  for (auto _ : state) {
    auto p = compile_filter_text(schema, kFilter);
    benchmark::DoNotOptimize(p);
  }
}
BENCHMARK(BM_CompileFilter);

void BM_EvalPredicate(benchmark::State& state) {
  const auto& f = fixture();
  const SchemaRef schema{&f.table.fields, nullptr, true};
  const Predicate p = *compile_filter_text(schema, kFilter);
  size_t hits = 0;
  for (auto _ : state) {
    for (size_t r = 0; r < f.rows.size(); ++r) hits += eval_columns(p, f.table.num_cols, f.table.str_cols, r);
  }
  benchmark::DoNotOptimize(hits);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.rows.size()));
}
BENCHMARK(BM_EvalPredicate);

}  // namespace

BENCHMARK_MAIN();
