#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/codec/fastscan.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/simd.hpp"

namespace {

using namespace ivf_rabitq;
using codec::BlockedCodes;
using codec::kScanBlockRows;

// A scan kernel under test: a name, the layout of the blocks and tables it reads, and a
// function with the signature of scan_blocks.
struct ScanKernel {
  std::string name;
  codec::ScanLayout layout;
  void (*fn)(const uint8_t*, size_t, const uint8_t*, uint32_t, size_t, uint64_t*);
};

// Every kernel this CPU can run, the scalar references of both layouts included. The
// AVX-512 kernels need only AVX-512 F/BW/VL/DQ (and VBMI/VNNI for the Quads one), so they
// are also run directly on CPUs where the process level stays at AVX2 for lack of the
// popcount extension.
std::vector<ScanKernel> scan_kernels() {
  using codec::ScanLayout;
  std::vector<ScanKernel> ks;
  for (auto level : simd::supported_levels()) {
    switch (level) {
      case simd::Level::Scalar:
        ks.push_back({"scalar", ScanLayout::Bytes, &codec::detail::scan_blocks_scalar});
        ks.push_back({"quads scalar", ScanLayout::Quads, &codec::detail::scan_quads_scalar});
        break;
      case simd::Level::Avx2: ks.push_back({"avx2", ScanLayout::Bytes, &codec::detail::scan_blocks_avx2}); break;
      case simd::Level::Avx512: break;
    }
  }
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
    ks.push_back({"avx512", ScanLayout::Bytes, &codec::detail::scan_blocks_avx512});
    if (simd::cpu_has_vbmi() && simd::cpu_has_vnni()) {
      ks.push_back({"quads vbmi", ScanLayout::Quads, &codec::detail::scan_quads_vbmi});
      // In two calls, the first one reading the second one's blocks ahead.
      ks.push_back({"quads vbmi, reading ahead", ScanLayout::Quads,
                    [](const uint8_t* blocks, size_t n, const uint8_t* tables, uint32_t n_bits, size_t len,
                       uint64_t* ip) {
                      const size_t half = n / 2;
                      const size_t bb = codec::scan_block_bytes(n_bits, len);
                      codec::detail::scan_quads_vbmi_ahead(blocks, half, n - half, tables, n_bits, len, ip);
                      codec::detail::scan_quads_vbmi_ahead(blocks + half * bb, n - half, 0, tables, n_bits, len,
                                                           ip + half * kScanBlockRows);
                    }});
    }
  }
#endif
  return ks;
}

const char* layout_name(codec::ScanLayout l) { return l == codec::ScanLayout::Quads ? "quads" : "bytes"; }

enum class Fill { Random, AllOnes };

// The lookup table of a query whose 4-bit codes are random or all 15.
codec::QueryLut make_lut(size_t words, Fill fill, std::mt19937_64& g) {
  codec::QueryLut lut;
  lut.words_per_plane = words;
  lut.words.resize(4 * words);
  for (auto& w : lut.words) w = fill == Fill::AllOnes ? ~uint64_t{0} : g();
  return lut;
}

// Blocked inner products equal the bit-plane popcount reference for every row of clusters of
// 0, 1, 31, 32, 33 and 300 rows (and padding rows give 0), for every n_bits, for code lengths
// from one word to lengths whose per-plane byte sums overflow 16 bits unless widened, with
// random codes and with every code at its maximum, in both layouts, at every kernel the CPU
// runs.
// The table builders of every level write the scalar builder's tables in both layouts.
TEST(FastScan, BlockedInnerProductEqualsBitPlaneReference) {
  const std::vector<uint32_t> offsets = {0, 0, 1, 32, 64, 97, 397};  // cluster sizes 0, 1, 31, 32, 33, 300
  const uint32_t n = offsets.back();
  const size_t n_clusters = offsets.size() - 1;
  const auto kernels = scan_kernels();
  std::mt19937_64 g(7);
  for (size_t dim : {1, 4, 63, 64, 100, 128, 784, 4097, 4500}) {
    const size_t len = codec::rotation_pad(dim, true);
    const size_t words = len / 64;
    for (uint32_t n_bits = 1; n_bits <= 8; ++n_bits) {
      // Above 1100 coordinates only the extremes, to keep the run short.
      if (len > 1100 && n_bits != 1 && n_bits != 4 && n_bits != 8) continue;
      for (Fill fill : {Fill::Random, Fill::AllOnes}) {
        const size_t stride = static_cast<size_t>(n_bits) * words;
        std::vector<uint64_t> codes(n * stride);
        for (auto& w : codes) w = fill == Fill::AllOnes ? ~uint64_t{0} : g();
        const codec::QueryLut lut = make_lut(words, fill, g);
        for (codec::ScanLayout layout : {codec::ScanLayout::Bytes, codec::ScanLayout::Quads}) {
          SCOPED_TRACE("dim " + std::to_string(dim) + " n_bits " + std::to_string(n_bits) +
                       (fill == Fill::AllOnes ? " all ones " : " random ") + layout_name(layout));
          std::vector<uint8_t> ref_tables(codec::scan_table_bytes(len));
          codec::detail::build_scan_tables_scalar(lut.words.data(), words, ref_tables.data(), layout);
          if (simd::cpu_supports(simd::Level::Avx2)) {
            std::vector<uint8_t> t(ref_tables.size());
            codec::detail::build_scan_tables_avx2(lut.words.data(), words, t.data(), layout);
            ASSERT_EQ(t, ref_tables) << "avx2 table builder";
          }
          for (auto level : simd::supported_levels()) {
            if (codec::scan_layout_for(level) != layout) continue;
            std::vector<uint8_t> t(ref_tables.size());
            codec::build_scan_tables_at(level, lut, t.data());
            ASSERT_EQ(t, ref_tables) << simd::level_name(level);
          }

          const BlockedCodes bc = BlockedCodes::build(codes, offsets.data(), n_clusters, n, n_bits, words, layout);
          ASSERT_EQ(bc.n_clusters(), n_clusters);
          ASSERT_EQ(bc.layout(), layout);
          ASSERT_EQ(bc.block_bytes(), codec::scan_block_bytes(n_bits, len));
          for (size_t c = 0; c < n_clusters; ++c) {
            const uint32_t a = offsets[c], rows = offsets[c + 1] - offsets[c];
            const size_t blocks = (rows + kScanBlockRows - 1) / kScanBlockRows;
            for (const ScanKernel& k : kernels) {
              if (k.layout != layout) continue;
              std::vector<uint64_t> ip(blocks * kScanBlockRows + 1, 12345);
              k.fn(bc.cluster_blocks(c), blocks, ref_tables.data(), n_bits, len, ip.data());
              for (size_t r = 0; r < blocks * kScanBlockRows; ++r) {
                const uint64_t want =
                    r < rows
                        ? codec::estimate_qc_scalar(lut.words, {codes.data() + (a + r) * stride, stride}, n_bits, words)
                        : 0;
                ASSERT_EQ(ip[r], want) << k.name << " cluster " << c << " row " << r;
              }
              ASSERT_EQ(ip.back(), 12345u) << k.name << " wrote past its blocks";
            }
          }
        }
      }
    }
  }
}

// The dispatchers at every process level agree with the reference on blocks and tables of
// that level's layout: at the longest length the 32-bit vector sums cover, with every code at
// its maximum (row sums above 2^31), and above it, where the scalar kernel takes over.
TEST(FastScan, DispatchAtEveryLevel) {
  struct Case {
    size_t len;
    uint32_t n_bits;
    uint32_t rows;
    Fill fill;
  };
  const Case cases[] = {
      {64, 3, 40, Fill::Random},
      {768, 3, 40, Fill::Random},
      {codec::detail::kMaxVectorScanLen, 8, 2, Fill::AllOnes},
      {codec::detail::kMaxVectorScanLen + 64, 1, 2, Fill::Random},
  };
  std::mt19937_64 g(11);
  for (const Case& tc : cases) {
    const size_t words = tc.len / 64;
    const size_t stride = tc.n_bits * words;
    std::vector<uint64_t> codes(tc.rows * stride);
    for (auto& w : codes) w = tc.fill == Fill::AllOnes ? ~uint64_t{0} : g();
    const codec::QueryLut lut = make_lut(words, tc.fill, g);
    const uint32_t offsets[] = {0, tc.rows};
    const size_t blocks = (tc.rows + kScanBlockRows - 1) / kScanBlockRows;
    std::vector<uint8_t> tables(codec::scan_table_bytes(tc.len));
    for (auto level : simd::supported_levels()) {
      const BlockedCodes bc =
          BlockedCodes::build(codes, offsets, 1, tc.rows, tc.n_bits, words, codec::scan_layout_for(level));
      codec::build_scan_tables_at(level, lut, tables.data());
      std::vector<uint64_t> ip(blocks * kScanBlockRows);
      codec::scan_blocks_at(level, bc.cluster_blocks(0), blocks, tables.data(), tc.n_bits, tc.len, ip.data());
      for (uint32_t r = 0; r < tc.rows; ++r)
        ASSERT_EQ(ip[r], codec::estimate_qc_scalar(lut.words, {codes.data() + r * stride, stride}, tc.n_bits, words))
            << simd::level_name(level) << " " << layout_name(codec::scan_layout_for(level)) << " len " << tc.len
            << " row " << r;
    }
  }
}

// The VBMI/VNNI kernels run only at the AVX-512 level: a level forced lower (TANDREL_SIMD)
// or one the CPU lacks keeps the byte layout and the 16-bit rerank kernels.
TEST(FastScan, ExtensionKernelsOnlyAtAvx512) {
  for (const simd::Level level : {simd::Level::Scalar, simd::Level::Avx2, simd::Level::Avx512}) {
    const bool avx512 = level == simd::Level::Avx512 && simd::cpu_supports(level);
    const bool vnni = avx512 && simd::cpu_has_vnni();
    const bool quads = vnni && simd::cpu_has_vbmi();
    EXPECT_EQ(simd::has_vnni(level), vnni) << simd::level_name(level);
    EXPECT_EQ(quant::dot_s8_u8_fast(level), vnni) << simd::level_name(level);
    EXPECT_EQ(codec::scan_layout_for(level), quads ? codec::ScanLayout::Quads : codec::ScanLayout::Bytes)
        << simd::level_name(level);
  }
  EXPECT_EQ(codec::scan_layout(), codec::scan_layout_for(simd::active_level()));
}

// Damaged or short inputs never read out of bounds: clusters whose offsets run backwards get
// no rows, rows past n or past the code array come out as zero codes.
TEST(FastScan, BlockedCopyOfOddOffsets) {
  const size_t words = 1;
  const uint32_t n_bits = 2;
  std::vector<uint64_t> codes(50 * n_bits * words, ~uint64_t{0});  // 50 rows of codes 3
  struct Case {
    const char* name;
    std::vector<uint32_t> offsets;
    uint32_t n;
    std::vector<uint32_t> rows;      // rows each cluster gets
    std::vector<uint32_t> nonzero;   // of which have codes (the rest are zero)
  };
  const std::vector<Case> cases = {
      {"backwards", {0, 30, 20, 50}, 50, {30, 0, 30}, {30, 0, 30}},
      {"past n", {0, 10, 80}, 40, {10, 30}, {10, 30}},
      {"past the codes", {0, 10, 70}, 70, {10, 60}, {10, 40}},
  };
  codec::QueryLut lut;
  lut.words_per_plane = words;
  lut.words.assign(4 * words, ~uint64_t{0});  // every query code 15
  std::vector<uint8_t> tables(codec::scan_table_bytes(64));
  codec::build_scan_tables(lut, tables.data());
  for (const Case& tc : cases) {
    SCOPED_TRACE(tc.name);
    const BlockedCodes bc = BlockedCodes::build(codes, tc.offsets.data(), tc.offsets.size() - 1, tc.n, n_bits, words);
    ASSERT_EQ(bc.n_clusters(), tc.offsets.size() - 1);
    for (size_t c = 0; c < bc.n_clusters(); ++c) {
      const size_t blocks = (tc.rows[c] + kScanBlockRows - 1) / kScanBlockRows;
      std::vector<uint64_t> ip(blocks * kScanBlockRows);
      codec::scan_blocks(bc.cluster_blocks(c), blocks, tables.data(), n_bits, 64, ip.data());
      for (size_t r = 0; r < ip.size(); ++r) EXPECT_EQ(ip[r], r < tc.nonzero[c] ? 15u * 3u * 64u : 0u) << c << " " << r;
    }
  }
}

}  // namespace

// The blocked row factors hold each row's four factors and (step x step) / 12 at the row's
// place in its cluster's blocks (zero for padding rows), and the estimates computed from them
// equal the estimates from the stored factors bit for bit, at every kernel, for ordinary,
// negative, tiny, huge and non-finite factors and inner products, and batch lengths around
// the 16-row step and the 32-row block.
TEST(FastScan, BlockedFactorEstimatesEqualStoredFactorEstimates) {
  std::mt19937_64 g(17);
  const std::vector<uint32_t> offsets = {0, 5, 5, 40, 77, 300};
  const uint32_t n = 300;
  const size_t words = 2;
  const uint32_t n_bits = 2;
  std::vector<uint64_t> codes(size_t{n} * n_bits * words);
  for (auto& w : codes) w = g();
  std::vector<float> metas(size_t{n} * codec::kRowFactors);
  std::uniform_real_distribution<float> u(-3.f, 40.f);
  const float odd[] = {0.f, -0.f, 1e-30f, 3e30f, std::numeric_limits<float>::infinity(),
                       std::numeric_limits<float>::quiet_NaN(), -2.f};
  for (auto& v : metas) v = g() % 10 == 0 ? odd[g() % std::size(odd)] : u(g);
  BlockedCodes bc = BlockedCodes::build(codes, offsets.data(), offsets.size() - 1, n, n_bits, words);
  ASSERT_FALSE(bc.empty());
  ASSERT_TRUE(bc.add_factors(metas, offsets.data()));
  // Layout.
  for (size_t c = 0; c + 1 < offsets.size(); ++c) {
    const uint32_t rows = offsets[c + 1] - offsets[c];
    const size_t blocks = (rows + kScanBlockRows - 1) / kScanBlockRows;
    for (size_t r = 0; r < blocks * kScanBlockRows; ++r) {
      const float* f = bc.cluster_factors(c) + r / kScanBlockRows * codec::kBlockFactorFloats + r % kScanBlockRows;
      for (size_t k = 0; k < codec::kBlockFactorFields; ++k) {
        float want = 0.f;
        if (r < rows) {
          const float* m = metas.data() + (offsets[c] + r) * codec::kRowFactors;
          want = k < codec::kRowFactors ? m[k] : (m[codec::kFactorStep] * m[codec::kFactorStep]) / 12.0f;
        }
        const float got = f[k * kScanBlockRows];
        ASSERT_TRUE(std::memcmp(&got, &want, 4) == 0) << "cluster " << c << " row " << r << " field " << k;
      }
    }
  }
  // Estimates.
  codec::QueryLut lut;
  lut.norm2 = 55.f;
  lut.step = 0.37f;
  lut.lo = -1.5f;
  lut.code_sum = 400.f;
  const codec::detail::EstimateScalars s{128.f, lut.lo, lut.step, lut.code_sum, lut.norm2};
  using Fn = void (*)(const codec::detail::EstimateScalars&, const uint64_t*, const float*, size_t, float*, float*);
  std::vector<std::pair<const char*, Fn>> kernels = {{"scalar", &codec::detail::estimates_from_blocked_scalar}};
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq")) {
    kernels.push_back({"avx512", &codec::detail::estimates_from_blocked_avx512});
    kernels.push_back({"avx512, reading ahead",
                       [](const codec::detail::EstimateScalars& s, const uint64_t* ip, const float* f, size_t n,
                          float* e, float* l) { codec::detail::estimates_from_blocked_avx512_ahead(s, ip, f, n, e, l, 2); }});
  }
#endif
  const size_t c = 5 - 1;  // 223 rows: 7 blocks, the last one partial
  const uint32_t a = offsets[c];
  for (size_t cnt : {size_t(1), size_t(15), size_t(16), size_t(17), size_t(31), size_t(32), size_t(33), size_t(223)}) {
    std::vector<uint64_t> ip(256);
    for (auto& v : ip) v = g() % 8 == 0 ? (g() >> 8) : g() % 5000;
    std::vector<float> want_e(cnt), want_l(cnt);
    codec::estimates_from_ips(lut, 128, ip.data(), metas.data() + size_t{a} * codec::kRowFactors, cnt, want_e.data(),
                              want_l.data());
    for (const auto& [name, fn] : kernels) {
      std::vector<float> e(256, -1.f), l(256, -1.f);
      fn(s, ip.data(), bc.cluster_factors(c), cnt, e.data(), l.data());
      for (size_t r = 0; r < cnt; ++r) {
        ASSERT_TRUE(std::memcmp(&e[r], &want_e[r], 4) == 0) << name << " cnt " << cnt << " row " << r;
        ASSERT_TRUE(std::memcmp(&l[r], &want_l[r], 4) == 0) << name << " cnt " << cnt << " row " << r;
      }
    }
    // The dispatched entry agrees too.
    std::vector<float> e(256), l(256);
    codec::estimates_from_blocked(lut, 128, ip.data(), bc.cluster_factors(c), cnt, e.data(), l.data());
    ASSERT_TRUE(std::memcmp(e.data(), want_e.data(), cnt * 4) == 0) << "dispatched cnt " << cnt;
    ASSERT_TRUE(std::memcmp(l.data(), want_l.data(), cnt * 4) == 0) << "dispatched cnt " << cnt;
  }
}

// The fused scan and estimate gives the estimates and bounds of a scan followed by the
// blocked estimates, bit for bit: groups of 4, 2 and 1 blocks (runs of 1 to 9 blocks, with
// and without blocks read ahead), 1 to 8 bit planes, odd factors, and inner products above
// 2^24 (all codes and query codes at their maximum over long codes), where the conversion
// to f32 rounds.
TEST(FastScan, FusedScanEstimatesEqualScanThenEstimates) {
  std::mt19937_64 g(23);
  struct Case {
    size_t words;
    uint32_t n_bits;
    Fill fill;
  };
  const Case cases[] = {{2, 1, Fill::Random}, {2, 2, Fill::Random}, {2, 4, Fill::Random},
                        {3, 7, Fill::Random}, {72, 8, Fill::AllOnes}};
  const float odd[] = {0.f, -0.f, 1e-30f, 3e30f, std::numeric_limits<float>::infinity(),
                       std::numeric_limits<float>::quiet_NaN(), -2.f};
  std::uniform_real_distribution<float> u(-3.f, 40.f);
  for (const Case& tc : cases) {
    SCOPED_TRACE("words " + std::to_string(tc.words) + " bits " + std::to_string(tc.n_bits));
    const std::vector<uint32_t> offsets = {0, 20, 52, 340};  // 1, 1 and 9 blocks
    const uint32_t n = offsets.back();
    const size_t len = tc.words * 64;
    std::vector<uint64_t> codes(size_t{n} * tc.n_bits * tc.words);
    for (auto& w : codes) w = tc.fill == Fill::AllOnes ? ~uint64_t{0} : g();
    std::vector<float> metas(size_t{n} * codec::kRowFactors);
    for (auto& v : metas) v = g() % 10 == 0 ? odd[g() % std::size(odd)] : u(g);
    if (tc.fill == Fill::AllOnes) {
      for (size_t r = 0; r < n; ++r) metas[r * codec::kRowFactors + codec::kFactorStep] = 1e-3f;  // finite estimates
    }
    BlockedCodes bc = BlockedCodes::build(codes, offsets.data(), offsets.size() - 1, n, tc.n_bits, tc.words);
    ASSERT_TRUE(bc.add_factors(metas, offsets.data()));
    codec::QueryLut lut = make_lut(tc.words, tc.fill, g);
    lut.norm2 = 55.f;
    lut.step = 0.37f;
    lut.lo = -1.5f;
    lut.code_sum = 400.f;
    std::vector<uint8_t> tables(codec::scan_table_bytes(len));
    codec::build_scan_tables(lut, tables.data());
    for (size_t c = 0; c + 1 < offsets.size(); ++c) {
      const size_t blocks = (offsets[c + 1] - offsets[c] + kScanBlockRows - 1) / kScanBlockRows;
      for (size_t first = 0; first < blocks; ++first) {
        for (size_t nb = 1; first + nb <= blocks; ++nb) {
          const size_t rows = nb * kScanBlockRows;
          const uint8_t* bl = bc.cluster_blocks(c) + first * bc.block_bytes();
          const float* f = bc.cluster_factors(c) + first * codec::kBlockFactorFloats;
          std::vector<uint64_t> ip(rows);
          std::vector<float> want_e(rows), want_l(rows), e(rows, -1.f), l(rows, -1.f);
          codec::scan_blocks(bl, nb, tables.data(), tc.n_bits, len, ip.data());
          if (tc.fill == Fill::AllOnes) {
            ASSERT_GT(ip[0], uint64_t{1} << 24);
          }
          codec::estimates_from_blocked(lut, len, ip.data(), f, rows, want_e.data(), want_l.data());
          std::vector<uint64_t> scratch(rows);
          codec::scan_estimate_blocks(bl, nb, rows, tables.data(), tc.n_bits, len, lut, len, f, scratch.data(),
                                      e.data(), l.data(), blocks - first - nb);
          ASSERT_EQ(std::memcmp(e.data(), want_e.data(), rows * 4), 0) << "cluster " << c << " from " << first << " x " << nb;
          ASSERT_EQ(std::memcmp(l.data(), want_l.data(), rows * 4), 0) << "cluster " << c << " from " << first << " x " << nb;
        }
      }
    }
  }
}
