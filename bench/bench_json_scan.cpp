// Throughput of the JSON structural scanner (commas, openers and colons outside strings) per
// SIMD level: one 100 MB JSON text in one call, the same text in 64 KB chunks with the state
// carried, 256 KB from cache, and 150-byte metadata objects one call each. Argument: SIMD level (0 scalar,
// 1 AVX2, 2 AVX-512; a level the CPU lacks is skipped). bench/bench_json_scan.py measures the
// module functions beside Python's json.loads on the same kind of text.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/common/simd.hpp"
#include "json_scan/scan.hpp"

using ivf_rabitq::simd::Level;

namespace {

// Records with numbers, short and long strings, nested arrays and objects, an escaped quote
// or backslash now and then, and non-ASCII text: roughly what a metadata export looks like.
std::string record(std::mt19937_64& rng) {
  static const char* words[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};
  std::string t = "{\"id\":" + std::to_string(rng() % 10000000) + ",\"title\":\"";
  const int nw = 2 + static_cast<int>(rng() % 14);
  for (int w = 0; w < nw; ++w) t += std::string(w ? " " : "") + words[rng() % 8];
  if (rng() % 8 == 0) t += " \\\"quoted\\\", with: [brackets]";
  if (rng() % 16 == 0) t += " C:\\\\path\\\\";
  if (rng() % 8 == 0) t += " caf\xC3\xA9 \xE2\x82\xAC";
  t += "\",\"price\":" + std::to_string(rng() % 100000) + "." + std::to_string(rng() % 100) +
       ",\"tags\":[";
  const int nt = static_cast<int>(rng() % 5);
  for (int i = 0; i < nt; ++i) t += std::string(i ? ",\"" : "\"") + words[rng() % 8] + "\"";
  t += "],\"dims\":{\"w\":" + std::to_string(rng() % 500) + ",\"h\":" + std::to_string(rng() % 500) +
       "},\"ok\":" + (rng() % 2 ? "true" : "false") + "}";
  return t;
}

const std::string& big_text() {
  static const std::string text = [] {
    std::mt19937_64 rng(42);
    std::string s = "[";
    s.reserve(100u << 20);
    while (s.size() < (100u << 20)) {
      s += record(rng);
      s += ",\n";
    }
    s += "null]";
    return s;
  }();
  return text;
}

const std::vector<std::string>& small_texts() {
  static const std::vector<std::string> texts = [] {
    std::mt19937_64 rng(7);
    std::vector<std::string> v;
    for (int i = 0; i < 100000; ++i) v.push_back(record(rng));
    return v;
  }();
  return texts;
}

bool level_arg(benchmark::State& state, Level& level) {
  level = static_cast<Level>(state.range(0));
  state.SetLabel(ivf_rabitq::simd::level_name(level));
  if (!ivf_rabitq::simd::cpu_supports(level)) {
    state.SkipWithError("SIMD level not supported by this CPU");
    return false;
  }
  return true;
}

void BM_ScanWhole(benchmark::State& state) {
  Level level;
  if (!level_arg(state, level)) return;
  const std::string& s = big_text();
  for (auto _ : state) {
    auto r = json_scan::scan_at(level, s.data(), s.size(), 0);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_ScanWhole)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// The first 256 KB of the text, scanned over and over from cache: the kernel's own speed,
// without the memory bandwidth that bounds the 100 MB case.
void BM_ScanInCache256K(benchmark::State& state) {
  Level level;
  if (!level_arg(state, level)) return;
  const std::string s = big_text().substr(0, 256 * 1024);
  for (auto _ : state) {
    auto r = json_scan::scan_at(level, s.data(), s.size(), 0);
    benchmark::DoNotOptimize(r);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_ScanInCache256K)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

void BM_ScanChunks64K(benchmark::State& state) {
  Level level;
  if (!level_arg(state, level)) return;
  const std::string& s = big_text();
  constexpr size_t kChunk = 64 * 1024;
  for (auto _ : state) {
    json_scan::Counts total;
    uint8_t st = 0;
    for (size_t pos = 0; pos < s.size(); pos += kChunk) {
      const auto r = json_scan::scan_at(level, s.data() + pos, std::min(kChunk, s.size() - pos), st);
      total += r.counts;
      st = r.state;
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * s.size()));
}
BENCHMARK(BM_ScanChunks64K)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_ScanSmallTexts(benchmark::State& state) {
  Level level;
  if (!level_arg(state, level)) return;
  const auto& texts = small_texts();
  size_t bytes = 0;
  for (const auto& t : texts) bytes += t.size();
  for (auto _ : state) {
    json_scan::Counts total;
    for (const auto& t : texts) total += json_scan::scan_at(level, t.data(), t.size(), 0).counts;
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
  state.counters["avg_bytes"] = static_cast<double>(bytes) / static_cast<double>(texts.size());
}
BENCHMARK(BM_ScanSmallTexts)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
