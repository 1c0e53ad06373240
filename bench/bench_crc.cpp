// CRC-32 throughput: one-shot over buffers of several sizes, and whole files streamed through
// the 64 KiB verification buffer.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/storage/files.hpp"

using namespace ivf_rabitq::storage;

static std::vector<uint8_t> random_bytes(size_t n) {
  std::vector<uint8_t> b(n);
  std::mt19937_64 rng(1);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

static void BM_Crc32Buffer(benchmark::State& st) {
  auto buf = random_bytes(static_cast<size_t>(st.range(0)));
  for (auto _ : st) benchmark::DoNotOptimize(crc32(buf));
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
}
BENCHMARK(BM_Crc32Buffer)->Arg(64)->Arg(4096)->Arg(65536)->Arg(16 << 20);

static void BM_Crc32File(benchmark::State& st) {
  const size_t n = static_cast<size_t>(st.range(0));
  std::string path = "/tmp/tandrel_bench_crc_" + std::to_string(::getpid());
  {
    auto buf = random_bytes(n);
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(buf.data()), static_cast<std::streamsize>(n));
  }
  std::vector<uint8_t> scratch(kCrcBufSize);
  for (auto _ : st) benchmark::DoNotOptimize(crc32_file_with_buffer(path, scratch).value());
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * st.range(0));
  ::unlink(path.c_str());
}
BENCHMARK(BM_Crc32File)->Arg(64 << 20);

BENCHMARK_MAIN();
