// Dense search, single thread, one query per call: queries/second at recall@10 >= 0.90 /
// 0.95 / 0.99 on seeded clustered data, and where one query's time goes.
//
//   build/dev/bench_search                       # 1,000,000 x 128, 200,000 x 768, Fashion-MNIST
//   TANDREL_BENCH_SMALL=1 build/dev/bench_search # 100,000 x 128 only (quick look)
//   TANDREL_BENCH_SET=fmnist_60k_784 ...         # only these data sets (comma list of names:
//                                                # gmm_1m_128, gmm_200k_768, fmnist_60k_784,
//                                                # small_100k_128)
//   TANDREL_BENCH_TARGETS=0.95 ...               # only these recall targets (float truth)
//   TANDREL_BENCH_AT=16/100,32/100 ...           # time these nprobe/rerank points only
//                                                # (recall, stage split, best-of-5 us/query,
//                                                # then TANDREL_BENCH_PASSES passes (default
//                                                # 20): QPS per pass, min / median / max,
//                                                # per-query p50 / p99, faults, preemptions;
//                                                # TANDREL_BENCH_PASS_STAGES=1: each pass's
//                                                # stage split too)
//   TANDREL_BENCH_THREADS=1,2,4 ...              # with TANDREL_BENCH_AT: native throughput of
//                                                # that many threads per point (rounds:
//                                                # TANDREL_BENCH_ROUNDS, default 5)
//
// The timed benchmarks report the per-query p50_us and p99_us beside qps.
//
// Each data set is generated from a seed, built once with build_segment and cached with
// its queries and float ground truth under /tmp/tandrel_bench_search/<name>. For every
// recall target the benchmark picks, among rerank pool sizes 100 / 200 / 400 / 800, the
// fastest (nprobe, rerank) that reaches the target on the query set (recall against the
// float nearest neighbours), then times it.
//
// fmnist_60k_784 is Fashion-MNIST (Debian package dataset-fashion-mnist: the 60,000 training
// images as float32 rows, queries the first 500 test images); it is skipped with a message
// when the files are missing.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq/common/parallel.hpp"

// Counts heap allocations (the steady-state search should allocate only its result).
static std::atomic<uint64_t> g_allocs{0};
void* operator new(size_t n) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace builder = ivf_rabitq::builder;
namespace search = ivf_rabitq::search;
namespace ix = ivf_rabitq::index;
namespace par = ivf_rabitq::parallel;

namespace {

constexpr size_t kQueries = 500;
constexpr size_t kTruthK = 10;

struct DataSpec {
  std::string name;
  size_t n, dim, centers, intrinsic;
  uint32_t clusters;
  uint64_t seed;
  bool fmnist = false;  // rows and queries from the Fashion-MNIST files, not generated
};

constexpr const char* kFmnistDir = "/usr/share/datasets/fashion-mnist";

// Clustered rows of low intrinsic dimension: centre + random linear image of an
// `intrinsic`-dim standard normal + small isotropic noise.
void generate(const DataSpec& s, size_t rows, uint64_t seed, std::vector<float>& out) {
  std::mt19937_64 g(s.seed);
  std::normal_distribution<float> nd(0.f, 1.f);
  std::vector<float> c(s.centers * s.dim), a(s.dim * s.intrinsic);
  for (auto& v : c) v = nd(g);
  for (auto& v : a) v = nd(g) * 3.f / std::sqrt(float(s.intrinsic));
  out.assign(rows * s.dim, 0.f);
  // Rows in parallel blocks, each from its own seeded generator (deterministic).
  const size_t block = 4096;
  par::for_chunks(rows, block, [&](size_t b, size_t e) {
    std::mt19937_64 gr(seed * 1000003 + b);
    std::normal_distribution<float> nr(0.f, 1.f);
    std::uniform_int_distribution<size_t> pick(0, s.centers - 1);
    std::vector<float> z(s.intrinsic);
    for (size_t i = b; i < e; ++i) {
      const size_t k = pick(gr);
      for (auto& v : z) v = nr(gr);
      float* x = out.data() + i * s.dim;
      for (size_t j = 0; j < s.dim; ++j) {
        float acc = c[k * s.dim + j] + 0.05f * nr(gr);
        const float* aj = a.data() + j * s.intrinsic;
        for (size_t t = 0; t < s.intrinsic; ++t) acc += aj[t] * z[t];
        x[j] = acc;
      }
    }
  });
}

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

template <class T>
void save(const std::string& p, const std::vector<T>& v) {
  std::ofstream f(p, std::ios::binary);
  f.write(reinterpret_cast<const char*>(v.data()), static_cast<std::streamsize>(v.size() * sizeof(T)));
}
template <class T>
bool load(const std::string& p, std::vector<T>& v, size_t count) {
  std::ifstream f(p, std::ios::binary);
  if (!f) return false;
  v.resize(count);
  f.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(count * sizeof(T)));
  return static_cast<size_t>(f.gcount()) == count * sizeof(T);
}

// The first `want` images of a gzip'd idx3 file (u8 pixels) as float32 rows of `dim`.
// Decompressed by the gzip tool: the engine links no zlib and a benchmark does not need one.
bool read_idx_images(const std::string& path, size_t want, size_t dim, std::vector<float>& out) {
  if (!exists(path)) return false;
  FILE* f = ::popen(("gzip -dc '" + path + "'").c_str(), "r");
  if (!f) return false;
  unsigned char head[16];
  bool ok = std::fread(head, 1, 16, f) == 16;
  auto be32 = [&](int at) {
    return (uint32_t(head[at]) << 24) | (uint32_t(head[at + 1]) << 16) | (uint32_t(head[at + 2]) << 8) |
           uint32_t(head[at + 3]);
  };
  ok = ok && be32(0) == 0x803 && size_t(be32(8)) * be32(12) == dim && be32(4) >= want;
  std::vector<unsigned char> px(want * dim);
  ok = ok && std::fread(px.data(), 1, px.size(), f) == px.size();
  ::pclose(f);
  if (!ok) return false;
  out.assign(px.begin(), px.end());
  return true;
}

struct Dataset {
  DataSpec spec;
  std::shared_ptr<ix::IvfIndex> index;
  std::vector<float> queries;     // kQueries x dim
  std::vector<uint32_t> truth;    // kQueries x kTruthK (main slots): float nearest rows
  std::vector<uint32_t> truth8;   // the same by exact search (int8 rerank distances)
};

Dataset prepare(const DataSpec& s) {
  const std::string root = "/tmp/tandrel_bench_search/" + s.name;
  const std::string seg = root + "/segment";
  Dataset d;
  d.spec = s;
  if (!exists(seg + "/manifest.bin") || !load(root + "/queries.f32", d.queries, kQueries * s.dim) ||
      !load(root + "/truth.u32", d.truth, kQueries * kTruthK)) {
    std::fprintf(stderr, "[%s] generating and building (cached under %s)...\n", s.name.c_str(), root.c_str());
    ::mkdir("/tmp/tandrel_bench_search", 0755);
    ::mkdir(root.c_str(), 0755);
    std::vector<float> rows;
    if (s.fmnist) {
      if (!read_idx_images(std::string(kFmnistDir) + "/train-images-idx3-ubyte.gz", s.n, s.dim, rows) ||
          !read_idx_images(std::string(kFmnistDir) + "/t10k-images-idx3-ubyte.gz", kQueries, s.dim, d.queries)) {
        std::fprintf(stderr, "[%s] cannot read the idx files under %s\n", s.name.c_str(), kFmnistDir);
        std::exit(1);
      }
    } else {
      generate(s, s.n, 1, rows);
      generate(s, kQueries, 2, d.queries);
    }
    std::vector<std::string> ids(s.n);
    for (size_t i = 0; i < s.n; ++i) ids[i] = std::to_string(i);
    builder::BuildParams bp;
    bp.n_clusters = s.clusters;
    bp.seed = s.seed;
    auto t0 = std::chrono::steady_clock::now();
    auto st =
        builder::build_segment(seg, rows, s.n, s.dim, std::move(ids), builder::BuildMetadata(), {}, {}, {}, {}, bp);
    if (!st.ok()) {
      std::fprintf(stderr, "build failed: %s\n", st.error().text().c_str());
      std::exit(1);
    }
    std::fprintf(stderr, "[%s] built in %.1f s\n", s.name.c_str(),
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    // Float ground truth by input row; the segment stores rows in cluster order, so map
    // input rows to slots through the ids.
    std::vector<uint32_t> by_input(kQueries * kTruthK);
    par::for_each(kQueries, 1, [&](size_t q) {
      std::vector<std::pair<float, uint32_t>> best;
      const float* qv = d.queries.data() + q * s.dim;
      for (uint32_t r = 0; r < s.n; ++r) {
        const float dd = ivf_rabitq::distance::sq_l2(qv, rows.data() + size_t(r) * s.dim, s.dim);
        if (best.size() < kTruthK || dd < best.back().first) {
          best.insert(std::upper_bound(best.begin(), best.end(), std::make_pair(dd, r)), {dd, r});
          if (best.size() > kTruthK) best.pop_back();
        }
      }
      for (size_t i = 0; i < kTruthK; ++i) by_input[q * kTruthK + i] = best[i].second;
    });
    auto opened = ix::IvfIndex::open_with_skip(seg, std::nullopt);
    if (!opened.ok()) {
      std::fprintf(stderr, "open failed: %s\n", opened.error().text().c_str());
      std::exit(1);
    }
    std::vector<uint32_t> slot_of_input(s.n);
    for (uint32_t slot = 0; slot < s.n; ++slot) {
      auto id = (*opened)->main_id(slot);
      slot_of_input[std::stoul(std::string(*id))] = slot;
    }
    d.truth.resize(kQueries * kTruthK);
    for (size_t i = 0; i < d.truth.size(); ++i) d.truth[i] = slot_of_input[by_input[i]];
    save(root + "/queries.f32", d.queries);
    save(root + "/truth.u32", d.truth);
  }
  auto opened = ix::IvfIndex::open_with_skip(seg, std::nullopt);
  if (!opened.ok()) {
    std::fprintf(stderr, "open failed: %s\n", opened.error().text().c_str());
    std::exit(1);
  }
  d.index = std::move(opened).value();
  if (!load(root + "/truth8.u32", d.truth8, kQueries * kTruthK)) {
    d.truth8.assign(kQueries * kTruthK, 0);
    for (size_t q = 0; q < kQueries; ++q) {
      std::span<const float> qs(d.queries.data() + q * s.dim, s.dim);
      auto r = search::search_bruteforce(*d.index, qs, kTruthK, nullptr);
      for (size_t i = 0; i < r.size(); ++i) d.truth8[q * kTruthK + i] = r[i].first;
    }
    save(root + "/truth8.u32", d.truth8);
  }
  return d;
}

// Recall@10 against the float nearest rows (int8 = false) or against exact search.
double recall(const Dataset& d, uint64_t nprobe, uint64_t rerank, bool int8 = false) {
  const std::vector<uint32_t>& truth = int8 ? d.truth8 : d.truth;
  size_t hit = 0;
  for (size_t q = 0; q < kQueries; ++q) {
    std::span<const float> qs(d.queries.data() + q * d.spec.dim, d.spec.dim);
    auto got = search::search_core(*d.index, qs, kTruthK, nprobe, rerank, nullptr, false);
    std::set<uint32_t> want(truth.begin() + q * kTruthK, truth.begin() + (q + 1) * kTruthK);
    for (auto& [s, dist] : got) hit += want.count(s);
  }
  return double(hit) / double(kQueries * kTruthK);
}

double thread_seconds() {
  timespec ts;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double process_seconds() {
  timespec ts;
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Thread CPU seconds per query (the machine may be shared: CPU time ignores preemption).
double cpu_seconds_per_query(const Dataset& d, uint64_t nprobe, uint64_t rerank) {
  const double t0 = thread_seconds();
  size_t sink = 0;
  for (size_t q = 0; q < kQueries; ++q) {
    std::span<const float> qs(d.queries.data() + q * d.spec.dim, d.spec.dim);
    sink += search::search_core(*d.index, qs, kTruthK, nprobe, rerank, nullptr, false).size();
  }
  benchmark::DoNotOptimize(sink);
  return (thread_seconds() - t0) / kQueries;
}

double seconds_per_query(const Dataset& d, uint64_t nprobe, uint64_t rerank) {
  auto t0 = std::chrono::steady_clock::now();
  size_t sink = 0;
  for (size_t q = 0; q < kQueries; ++q) {
    std::span<const float> qs(d.queries.data() + q * d.spec.dim, d.spec.dim);
    sink += search::search_core(*d.index, qs, kTruthK, nprobe, rerank, nullptr, false).size();
  }
  benchmark::DoNotOptimize(sink);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / kQueries;
}

struct Choice {
  uint64_t nprobe = 0, rerank = 0;
  double recall = 0;   // against the float nearest rows
  double recall8 = 0;  // against exact search
};

// The fastest (nprobe, rerank) reaching `target`, single thread.
Choice choose(const Dataset& d, double target, bool int8) {
  static const uint64_t probes[] = {1, 2, 3, 4, 6, 8, 12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024};
  Choice best;
  double best_t = 1e30;
  for (uint64_t rr : {100u, 200u, 400u, 800u}) {
    for (uint64_t p : probes) {
      if (p > d.index->manifest.n_clusters) break;
      const double r = recall(d, p, rr, int8);
      if (r >= target) {
        const double t = seconds_per_query(d, p, rr);
        if (t < best_t) best_t = t, best = {p, rr, recall(d, p, rr, false), recall(d, p, rr, true)};
        break;
      }
    }
  }
  return best;
}

void print_breakdown(const Dataset& d, const Choice& c) {
  search::SearchProfile prof;
  search::DenseParams p;
  p.k = kTruthK;
  p.nprobe = c.nprobe;
  p.rerank = c.rerank;
  for (size_t q = 0; q < kQueries; ++q) {
    std::span<const float> qs(d.queries.data() + q * d.spec.dim, d.spec.dim);
    search::search_core_profiled(*d.index, qs, p, nullptr, &prof);
  }
  const double n = kQueries;
  std::fprintf(stderr,
               "[%s] nprobe %llu rerank %llu, per query: rotate+rank %.1f us, LUTs %.1f us, code scan %.1f us, "
               "pool %.1f us, rerank+top-k %.1f us; %.0f rows estimated, pool %.0f\n",
               d.spec.name.c_str(), (unsigned long long)c.nprobe, (unsigned long long)c.rerank,
               prof.rotate_rank_ns / n / 1e3, prof.lut_ns / n / 1e3, prof.scan_ns / n / 1e3,
               prof.pool_ns / n / 1e3, prof.rerank_ns / n / 1e3, prof.rows_estimated / n, prof.pool_size / n);
}

// The q-quantile (0 < q <= 1) of sorted values by nearest rank.
double nearest_rank(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const double pos = std::ceil(q * double(sorted.size()) - 1e-9);
  const size_t i = pos < 1 ? 0 : std::min(sorted.size() - 1, size_t(pos) - 1);
  return sorted[i];
}

void BM_Search(benchmark::State& state, const Dataset* d, Choice c) {
  // Every query is timed on its own (a clock read costs ~20 ns beside tens of microseconds)
  // for the per-query percentiles beside the rate.
  std::vector<double> lat;
  lat.reserve(1 << 20);  // the most kept: no growth inside the timed loop
  par::with_threads(1, [&] {
    size_t q = 0;
    for (auto _ : state) {
      std::span<const float> qs(d->queries.data() + q * d->spec.dim, d->spec.dim);
      const auto t0 = std::chrono::steady_clock::now();
      auto r = search::search_core(*d->index, qs, kTruthK, c.nprobe, c.rerank, nullptr, false);
      benchmark::DoNotOptimize(r.data());
      if (lat.size() < (1 << 20))
        lat.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
      q = (q + 1) % kQueries;
    }
  });
  std::sort(lat.begin(), lat.end());
  state.counters["qps"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["p50_us"] = nearest_rank(lat, 0.50);
  state.counters["p99_us"] = nearest_rank(lat, 0.99);
  state.counters["recall"] = c.recall;
  state.counters["recall_int8"] = c.recall8;
  state.counters["nprobe"] = double(c.nprobe);
  state.counters["rerank"] = double(c.rerank);
}

// Pass-to-pass spread at one setting: TANDREL_BENCH_PASSES (default 20) passes over every
// query, each query timed; per pass its rate, minor page faults and involuntary context
// switches of this thread; then the passes' rates (min / median / max) and the per-query
// p50 / p99 over all passes. TANDREL_BENCH_PASS_STAGES=1 times the stages of every query too
// (a few clock reads more per query) and prints each pass's split.
void report_passes(const Dataset& d, const Choice& c) {
  const char* env = std::getenv("TANDREL_BENCH_PASSES");
  const int passes = env ? std::max(1, std::atoi(env)) : 20;
  const bool stages = std::getenv("TANDREL_BENCH_PASS_STAGES") != nullptr;
  search::DenseParams params;
  params.k = kTruthK;
  params.nprobe = c.nprobe;
  params.rerank = c.rerank;
  std::vector<double> qps, all;
  all.reserve(size_t(passes) * kQueries);
  std::vector<double> lat(kQueries);
  for (int p = 0; p < passes; ++p) {
    rusage r0, r1;
    ::getrusage(RUSAGE_THREAD, &r0);
    const double c0 = thread_seconds();
    const auto w0 = std::chrono::steady_clock::now();
    size_t sink = 0;
    search::SearchProfile prof;
    for (size_t q = 0; q < kQueries; ++q) {
      std::span<const float> qs(d.queries.data() + q * d.spec.dim, d.spec.dim);
      const auto t0 = std::chrono::steady_clock::now();
      if (stages) {
        const ivf_rabitq::predicate::Predicate* none = nullptr;
        sink += search::search_core_profiled(*d.index, qs, params, none, &prof).size();
      } else {
        sink += search::search_core(*d.index, qs, kTruthK, c.nprobe, c.rerank, nullptr, false).size();
      }
      lat[q] = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    }
    benchmark::DoNotOptimize(sink);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    const double cpu = thread_seconds() - c0;
    ::getrusage(RUSAGE_THREAD, &r1);
    std::vector<double> sorted = lat;
    std::sort(sorted.begin(), sorted.end());
    qps.push_back(double(kQueries) / wall);
    all.insert(all.end(), lat.begin(), lat.end());
    std::fprintf(stderr,
                 "[%s] nprobe %llu rerank %llu pass %2d: %8.0f QPS wall, %8.0f CPU, p50 %.1f us, p99 %.1f us, "
                 "%ld minor faults, %ld preemptions\n",
                 d.spec.name.c_str(), (unsigned long long)c.nprobe, (unsigned long long)c.rerank, p,
                 double(kQueries) / wall, double(kQueries) / cpu, nearest_rank(sorted, 0.5),
                 nearest_rank(sorted, 0.99), r1.ru_minflt - r0.ru_minflt, r1.ru_nivcsw - r0.ru_nivcsw);
    if (stages) {
      const double n = kQueries * 1e3;
      std::fprintf(stderr, "    stages per query: rotate+rank %.1f us, LUTs %.1f, code scan %.1f, pool %.1f, rerank+top-k %.1f\n",
                   prof.rotate_rank_ns / n, prof.lut_ns / n, prof.scan_ns / n, prof.pool_ns / n, prof.rerank_ns / n);
    }
  }
  std::vector<double> sq = qps;
  std::sort(sq.begin(), sq.end());
  std::sort(all.begin(), all.end());
  std::fprintf(stderr,
               "[%s] nprobe %llu rerank %llu, %d passes: QPS median %.0f [%.0f-%.0f] (max / min %.2fx); "
               "per query p50 %.1f us, p99 %.1f us (p99 / p50 %.2f)\n",
               d.spec.name.c_str(), (unsigned long long)c.nprobe, (unsigned long long)c.rerank, passes,
               nearest_rank(sq, 0.5), sq.front(), sq.back(), sq.back() / sq.front(), nearest_rank(all, 0.5),
               nearest_rank(all, 0.99), nearest_rank(all, 0.99) / nearest_rank(all, 0.5));
}

// Native throughput by thread count (no Python): TANDREL_BENCH_THREADS=1,2,4 runs, in
// TANDREL_BENCH_ROUNDS rounds (default 5), each thread count in turn: that many threads,
// each searching its own share of the queries one per call for about 0.5 s (a thread
// starts at its own offset in the query list). Per thread count: QPS median [min-max] over
// rounds, the median of the per-round ratio to the first count, and queries per CPU second
// of the process (falls with threads when they slow each other down; stays when they only
// wait for CPUs that other work holds).
void report_threads(const Dataset& d, const Choice& c, const std::vector<int>& counts) {
  const char* env = std::getenv("TANDREL_BENCH_ROUNDS");
  const int rounds = env ? std::max(1, std::atoi(env)) : 5;
  std::vector<std::vector<double>> qps(counts.size()), per_cpu(counts.size());
  for (int r = 0; r < rounds; ++r) {
    for (size_t ci = 0; ci < counts.size(); ++ci) {
      const int t = counts[ci];
      std::atomic<bool> stop{false};
      std::atomic<uint64_t> done{0};
      std::vector<std::thread> th;
      const auto t0 = std::chrono::steady_clock::now();
      for (int i = 0; i < t; ++i) {
        th.emplace_back([&, i] {
          // A thread of its own, each search on it alone: no pool split, also with one thread.
          size_t q = (kQueries / size_t(t)) * size_t(i), n = 0;
          par::with_threads(1, [&] {
            while (!stop.load(std::memory_order_relaxed)) {
              std::span<const float> qs(d.queries.data() + q * d.spec.dim, d.spec.dim);
              benchmark::DoNotOptimize(search::search_core(*d.index, qs, kTruthK, c.nprobe, c.rerank, nullptr, false));
              q = (q + 1) % kQueries, ++n;
            }
          });
          done.fetch_add(n);
        });
      }
      const double c0 = process_seconds();
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      stop = true;
      for (auto& x : th) x.join();
      const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      qps[ci].push_back(double(done.load()) / wall);
      per_cpu[ci].push_back(double(done.load()) / (process_seconds() - c0));
    }
  }
  for (size_t ci = 0; ci < counts.size(); ++ci) {
    std::vector<double> v = qps[ci], ratio, pc = per_cpu[ci];
    for (int r = 0; r < rounds; ++r) ratio.push_back(qps[ci][r] / qps[0][r]);
    std::sort(v.begin(), v.end());
    std::sort(ratio.begin(), ratio.end());
    std::sort(pc.begin(), pc.end());
    std::fprintf(stderr,
                 "[%s] nprobe %llu rerank %llu, %d threads: %.0f QPS [%.0f-%.0f], x%.2f of %d thread(s); "
                 "%.0f queries per CPU second [%.0f-%.0f]\n",
                 d.spec.name.c_str(), (unsigned long long)c.nprobe, (unsigned long long)c.rerank, counts[ci],
                 nearest_rank(v, 0.5), v.front(), v.back(), nearest_rank(ratio, 0.5), counts[0],
                 nearest_rank(pc, 0.5), pc.front(), pc.back());
  }
}

std::vector<std::unique_ptr<Dataset>> g_sets;

}  // namespace

int main(int argc, char** argv) {
  const std::vector<DataSpec> all = {
      {"gmm_1m_128", 1000000, 128, 1000, 12, 4096, 42},
      {"gmm_200k_768", 200000, 768, 200, 24, 1024, 43},
      {"fmnist_60k_784", 60000, 784, 0, 0, 244, 42, true},  // 244 = floor(sqrt(60,000)) lists
      {"small_100k_128", 100000, 128, 100, 12, 1024, 42},
  };
  std::vector<DataSpec> specs;
  const char* only = std::getenv("TANDREL_BENCH_SET");
  if (only) {
    const std::string list = std::string(",") + only + ",";
    for (const auto& s : all)
      if (list.find("," + s.name + ",") != std::string::npos) specs.push_back(s);
    if (specs.empty()) {
      std::fprintf(stderr, "TANDREL_BENCH_SET=%s names no data set; known:", only);
      for (const auto& s : all) std::fprintf(stderr, " %s", s.name.c_str());
      std::fprintf(stderr, "\n");
      return 1;
    }
  } else if (std::getenv("TANDREL_BENCH_SMALL")) {
    specs.push_back(all[3]);
  } else {
    specs.assign(all.begin(), all.begin() + 3);
  }
  std::vector<double> targets = {0.90, 0.95, 0.99};
  if (const char* t = std::getenv("TANDREL_BENCH_TARGETS")) {
    targets.clear();
    for (const char* p = t; *p;) {
      char* end = nullptr;
      const double v = std::strtod(p, &end);
      if (end == p) break;
      targets.push_back(v);
      p = *end == ',' ? end + 1 : end;
    }
  }
  const bool float_only = std::getenv("TANDREL_BENCH_TARGETS") != nullptr;
  const char* at = std::getenv("TANDREL_BENCH_AT");
  for (const auto& s : specs) {
    if (s.fmnist && !exists(std::string(kFmnistDir) + "/train-images-idx3-ubyte.gz")) {
      std::fprintf(stderr, "[%s] skipped: %s/{train,t10k}-images-idx3-ubyte.gz missing "
                           "(apt-get install dataset-fashion-mnist)\n", s.name.c_str(), kFmnistDir);
      continue;
    }
    if (at) {
      const Dataset d = prepare(s);
      par::with_threads(1, [&] {
        std::string list = at;
        size_t p0 = 0;
        while (p0 < list.size()) {
          size_t p1 = list.find(',', p0);
          if (p1 == std::string::npos) p1 = list.size();
          const std::string item = list.substr(p0, p1 - p0);
          p0 = p1 + 1;
          const size_t slash = item.find('/');
          if (slash == std::string::npos) continue;
          const Choice c{std::stoull(item.substr(0, slash)), std::stoull(item.substr(slash + 1)), 0, 0};
          const double rf = recall(d, c.nprobe, c.rerank), r8 = recall(d, c.nprobe, c.rerank, true);
          // Fingerprint of every result (slots and distance bits) to compare builds.
          uint64_t fp = 1469598103934665603ull;
          for (size_t q = 0; q < kQueries; ++q) {
            std::span<const float> qs(d.queries.data() + q * d.spec.dim, d.spec.dim);
            for (auto& [slot, dist] : search::search_core(*d.index, qs, kTruthK, c.nprobe, c.rerank, nullptr, false)) {
              fp = (fp ^ slot) * 1099511628211ull;
              fp = (fp ^ std::bit_cast<uint32_t>(dist)) * 1099511628211ull;
            }
          }
          std::fprintf(stderr, "[%s] nprobe %llu rerank %llu: result fingerprint %016llx\n", s.name.c_str(),
                       (unsigned long long)c.nprobe, (unsigned long long)c.rerank, (unsigned long long)fp);
          const uint64_t a0 = g_allocs.load();
          benchmark::DoNotOptimize(seconds_per_query(d, c.nprobe, c.rerank));
          const double allocs = double(g_allocs.load() - a0) / kQueries;
          std::fprintf(stderr, "[%s] nprobe %llu rerank %llu: %.2f heap allocations per query (the result list is one)\n",
                       s.name.c_str(), (unsigned long long)c.nprobe, (unsigned long long)c.rerank, allocs);
          double best = 1e30, best_cpu = 1e30;
          for (int rep = 0; rep < 5; ++rep) {
            best = std::min(best, seconds_per_query(d, c.nprobe, c.rerank));
            best_cpu = std::min(best_cpu, cpu_seconds_per_query(d, c.nprobe, c.rerank));
          }
          std::fprintf(stderr,
                       "[%s] nprobe %llu rerank %llu: recall@10 %.4f (int8 %.4f), %.1f us/query wall, %.1f us CPU\n",
                       s.name.c_str(), (unsigned long long)c.nprobe, (unsigned long long)c.rerank, rf, r8,
                       best * 1e6, best_cpu * 1e6);
          print_breakdown(d, c);
          report_passes(d, c);
        }
      });
      if (const char* t = std::getenv("TANDREL_BENCH_THREADS")) {
        std::vector<int> counts;
        for (const char* p = t; *p;) {
          char* end = nullptr;
          const long v = std::strtol(p, &end, 10);
          if (end == p) break;
          if (v > 0) counts.push_back(int(v));
          p = *end == ',' ? end + 1 : end;
        }
        std::string list = at;
        for (size_t p0 = 0; p0 < list.size() && !counts.empty();) {
          size_t p1 = list.find(',', p0);
          if (p1 == std::string::npos) p1 = list.size();
          const std::string item = list.substr(p0, p1 - p0);
          p0 = p1 + 1;
          const size_t slash = item.find('/');
          if (slash == std::string::npos) continue;
          report_threads(d, Choice{std::stoull(item.substr(0, slash)), std::stoull(item.substr(slash + 1)), 0, 0},
                         counts);
        }
      }
      continue;
    }
    g_sets.push_back(std::make_unique<Dataset>(prepare(s)));
    const Dataset* d = g_sets.back().get();
    par::with_threads(1, [&] {
      for (bool int8 : {false, true}) {
        if (int8 && float_only) continue;
        for (double target : targets) {
          const char* truth = int8 ? "exact-int8" : "float";
          const Choice c = choose(*d, target, int8);
          if (c.nprobe == 0) {
            std::fprintf(stderr, "[%s] recall@10 vs %s >= %.2f not reached\n", s.name.c_str(), truth, target);
            continue;
          }
          std::fprintf(stderr, "[%s] recall@10 vs %s >= %.2f: nprobe %llu rerank %llu (float %.4f, int8 %.4f)\n",
                       s.name.c_str(), truth, target, (unsigned long long)c.nprobe, (unsigned long long)c.rerank,
                       c.recall, c.recall8);
          print_breakdown(*d, c);
          char name[160];
          std::snprintf(name, sizeof name, "Search/%s/%s%.2f", s.name.c_str(), truth, target);
          benchmark::RegisterBenchmark(name, BM_Search, d, c)->Unit(benchmark::kMicrosecond);
        }
      }
      // The defaults (nprobe 32, rerank 400) for reference.
      const Choice def{32, 400, recall(*d, 32, 400), recall(*d, 32, 400, true)};
      std::fprintf(stderr, "[%s] defaults nprobe 32 / rerank 400: recall@10 %.4f (vs exact int8 %.4f)\n",
                   s.name.c_str(), def.recall, def.recall8);
      print_breakdown(*d, def);
      benchmark::RegisterBenchmark(("Search/" + s.name + "/default").c_str(), BM_Search, d, def)
          ->Unit(benchmark::kMicrosecond);
    });
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
