// AVX-512 kernels of the block-interleaved code scan (compiled with the AVX-512 flags only).
//
// scan_blocks_avx512 (Bytes layout): two blocks go side by side in one register (block A in the low 256 bits, block B in the
// high ones) so that all four 128-bit lanes share the same broadcast lookup table; the
// per-lane arithmetic is that of the AVX2 kernel.
//
// scan_quads_vbmi (Quads layout, needs VBMI and VNNI on top): 16 rows x 4 coordinate bytes
// per register, one byte permute per nibble, one dot product per register; see the function.
// GCC 12 reports its own _mm512_undefined_* helpers inside the intrinsic headers as
// "may be used uninitialized"; the values are fully defined by the instructions.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>

#include "ivf_rabitq/codec/estimate_avx512.hpp"
#include "ivf_rabitq/codec/fastscan.hpp"

namespace ivf_rabitq::codec::detail {

namespace {

// See the AVX2 kernel: u16 lanes are widened to u32 every this many coordinate bytes.
constexpr size_t kWidenCols = 512;

inline __m512i pair_load(const uint8_t* a, const uint8_t* b) {
  return _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a))),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b)), 1);
}

inline __m512i table(const uint8_t* t) {
  return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t)));
}

// Puts the four accumulators of one block (layout of the AVX2 kernel) back in row order.
inline void store_rows(__m256i t0, __m256i t1, __m256i t2, __m256i t3, uint64_t* out) {
  const __m256i r0 = _mm256_unpacklo_epi32(t0, t2);
  const __m256i r1 = _mm256_unpackhi_epi32(t0, t2);
  const __m256i r2 = _mm256_unpacklo_epi32(t1, t3);
  const __m256i r3 = _mm256_unpackhi_epi32(t1, t3);
  const __m256i rows[4] = {_mm256_permute2x128_si256(r0, r1, 0x20), _mm256_permute2x128_si256(r2, r3, 0x20),
                           _mm256_permute2x128_si256(r0, r1, 0x31), _mm256_permute2x128_si256(r2, r3, 0x31)};
  for (size_t i = 0; i < 4; ++i)
    _mm512_storeu_si512(reinterpret_cast<__m512i*>(out + 8 * i), _mm512_cvtepu32_epi64(rows[i]));
}

}  // namespace

void scan_blocks_avx512(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits,
                        size_t len, uint64_t* ip) {
  const size_t cols = len / 8;
  const size_t bb = scan_block_bytes(n_bits, len);
  const __m512i nib = _mm512_set1_epi8(0x0f);
  const __m512i low16 = _mm512_set1_epi16(0x00ff);
  const __m512i zero = _mm512_setzero_si512();
  size_t b = 0;
  for (; b + 2 <= n_blocks; b += 2) {
    const uint8_t* ba = blocks + b * bb;
    const uint8_t* bq = ba + bb;
    __m512i t0 = zero, t1 = zero, t2 = zero, t3 = zero;
    for (uint32_t p = 0; p < n_bits; ++p) {
      const size_t po = p * cols * kScanBlockRows;
      __m512i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
      for (size_t j0 = 0; j0 < cols; j0 += kWidenCols) {
        const size_t j1 = std::min(cols, j0 + kWidenCols);
        __m512i ev = zero, od = zero;
        for (size_t j = j0; j < j1; j += 2) {
          const size_t o = po + j * kScanBlockRows;
          const __m512i c0 = pair_load(ba + o, bq + o);
          const __m512i c1 = pair_load(ba + o + kScanBlockRows, bq + o + kScanBlockRows);
          const uint8_t* tb = tables + 32 * j;
          const __m512i s0 = _mm512_add_epi8(
              _mm512_shuffle_epi8(table(tb), _mm512_and_si512(c0, nib)),
              _mm512_shuffle_epi8(table(tb + 16), _mm512_and_si512(_mm512_srli_epi16(c0, 4), nib)));
          const __m512i s1 = _mm512_add_epi8(
              _mm512_shuffle_epi8(table(tb + 32), _mm512_and_si512(c1, nib)),
              _mm512_shuffle_epi8(table(tb + 48), _mm512_and_si512(_mm512_srli_epi16(c1, 4), nib)));
          const __m512i s = _mm512_add_epi8(s0, s1);
          ev = _mm512_add_epi16(ev, _mm512_and_si512(s, low16));
          od = _mm512_add_epi16(od, _mm512_srli_epi16(s, 8));
        }
        a0 = _mm512_add_epi32(a0, _mm512_unpacklo_epi16(ev, zero));
        a1 = _mm512_add_epi32(a1, _mm512_unpackhi_epi16(ev, zero));
        a2 = _mm512_add_epi32(a2, _mm512_unpacklo_epi16(od, zero));
        a3 = _mm512_add_epi32(a3, _mm512_unpackhi_epi16(od, zero));
      }
      const __m128i sh = _mm_cvtsi32_si128(static_cast<int>(p));
      t0 = _mm512_add_epi32(t0, _mm512_sll_epi32(a0, sh));
      t1 = _mm512_add_epi32(t1, _mm512_sll_epi32(a1, sh));
      t2 = _mm512_add_epi32(t2, _mm512_sll_epi32(a2, sh));
      t3 = _mm512_add_epi32(t3, _mm512_sll_epi32(a3, sh));
    }
    uint64_t* out = ip + b * kScanBlockRows;
    store_rows(_mm512_castsi512_si256(t0), _mm512_castsi512_si256(t1), _mm512_castsi512_si256(t2),
               _mm512_castsi512_si256(t3), out);
    store_rows(_mm512_extracti64x4_epi64(t0, 1), _mm512_extracti64x4_epi64(t1, 1), _mm512_extracti64x4_epi64(t2, 1),
               _mm512_extracti64x4_epi64(t3, 1), out + kScanBlockRows);
  }
  if (b < n_blocks) scan_blocks_avx2(blocks + b * bb, n_blocks - b, tables, n_bits, len, ip + b * kScanBlockRows);
}

namespace {

// Sum of the low- and high-nibble lookups of the 64 bytes x (16 rows x 4 bytes); (a & nib) |
// pos is one ternary-logic op (0xF0 & 0xCC | 0xAA).
__attribute__((target("avx512f,avx512bw,avx512vbmi"), always_inline)) inline __m512i quad_lookup(
    __m512i x, __m512i lo, __m512i hi, __m512i nib, __m512i pos) {
  const __m512i il = _mm512_ternarylogic_epi32(x, nib, pos, 0xEA);
  const __m512i ih = _mm512_ternarylogic_epi32(_mm512_srli_epi16(x, 4), nib, pos, 0xEA);
  return _mm512_add_epi8(_mm512_permutexvar_epi8(il, lo), _mm512_permutexvar_epi8(ih, hi));
}

// Inner products of K consecutive blocks: the two table registers of a column group are
// loaded once for all K, and the 2K accumulators are independent chains (one block at a
// time measured 1.5x slower: every vpdpbusd waited for the previous one of its block).
// When the next K blocks end by pf_end, each line of them is requested as the same line of
// these is read: the hardware prefetcher stops at every 4 KiB page, and a cluster too large
// for the caches streams from memory (a 1M-row probe measured 10 % faster). Groups of long
// rows are not read ahead: the lines in flight would outgrow the first-level cache.
constexpr size_t kReadAheadBytes = 16384;
// Where the inner products of a group of blocks go: stored as u64 (Est = nullptr), or
// turned into the estimates and lower bounds of their rows at once (Est: the query side,
// factors of the group's first block, and where its rows' estimates and bounds go).
struct EstimateOut {
  const avx512_estimate::EstimateLanes* lanes;
  const float* fblocks;
  float* estimate;
  float* lower;
};

template <size_t K>
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vnni"), always_inline)) inline void quad_blocks(
    const uint8_t* blocks, size_t bb, const uint8_t* tables, uint32_t n_bits, size_t groups, uint64_t* ip,
    const uint8_t* pf_end, const EstimateOut* est = nullptr) {
  const __m512i nib = _mm512_set1_epi8(0x0f);
  const __m512i pos = _mm512_set1_epi32(0x30201000);  // 16 x byte position in the row's 4 bytes
  const bool ahead = K * bb <= kReadAheadBytes && blocks + 2 * K * bb <= pf_end;
  __m512i acc[2 * K];
#pragma GCC unroll 16
  for (size_t k = 0; k < 2 * K; ++k) acc[k] = _mm512_setzero_si512();
  for (uint32_t p = 0; p < n_bits; ++p) {
    const __m512i w = _mm512_set1_epi8(static_cast<char>(1u << p));
    const uint8_t* pl = blocks + p * groups * 4 * kScanBlockRows;
    for (size_t c = 0; c < groups; ++c) {
      const __m512i lo = _mm512_loadu_si512(tables + 128 * c);
      const __m512i hi = _mm512_loadu_si512(tables + 128 * c + 64);
      const uint8_t* src = pl + c * 4 * kScanBlockRows;
      if (ahead) {
#pragma GCC unroll 16
        for (size_t k = 0; k < K; ++k) {
          _mm_prefetch(reinterpret_cast<const char*>(src + (K + k) * bb), _MM_HINT_T0);
          _mm_prefetch(reinterpret_cast<const char*>(src + (K + k) * bb + 64), _MM_HINT_T0);
        }
      }
#pragma GCC unroll 16
      for (size_t k = 0; k < K; ++k) {
        acc[2 * k] = _mm512_dpbusd_epi32(acc[2 * k], w, quad_lookup(_mm512_loadu_si512(src + k * bb), lo, hi, nib, pos));
        acc[2 * k + 1] =
            _mm512_dpbusd_epi32(acc[2 * k + 1], w, quad_lookup(_mm512_loadu_si512(src + k * bb + 64), lo, hi, nib, pos));
      }
    }
  }
  if (est != nullptr) {
    // Rows 16k .. 16k + 15 of the group: block k / 2, half k % 2. A lane's u32 sum converts
    // to the f32 the estimate kernels get from the same sum as u64.
#pragma GCC unroll 16
    for (size_t k = 0; k < 2 * K; ++k) {
      const float* f = est->fblocks + (k / 2) * kBlockFactorFloats + (k % 2) * 16;
      const __m512 step_x = _mm512_loadu_ps(f + kScanBlockRows);
      avx512_estimate::estimate16_f(*est->lanes, _mm512_loadu_ps(f), step_x, _mm512_loadu_ps(f + 2 * kScanBlockRows),
                                    _mm512_loadu_ps(f + 3 * kScanBlockRows), _mm512_loadu_ps(f + 4 * kScanBlockRows),
                                    _mm512_cvtepu32_ps(acc[k]), est->estimate + 16 * k, est->lower + 16 * k);
    }
    return;
  }
#pragma GCC unroll 16
  for (size_t k = 0; k < 2 * K; ++k) {
    _mm512_storeu_si512(ip + 16 * k, _mm512_cvtepu32_epi64(_mm512_castsi512_si256(acc[k])));
    _mm512_storeu_si512(ip + 16 * k + 8, _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(acc[k], 1)));
  }
}

}  // namespace


// One register holds 16 rows x 4 coordinate bytes of one plane and column group c; byte
// position t of a row's 4 bytes is coordinate byte 4c + t. The low nibble with 16 t added
// indexes the register of low-nibble tables (T_8c+2t at 16t..16t+15), the high nibble the
// register of high-nibble tables (vpermb reads 6 index bits). The two lookups (<= 60 each)
// add to <= 120 in a byte, and vpdpbusd multiplies the 4 bytes of a row by the plane weight
// 2^p (an unsigned byte, 128 at p = 7; the lookups are the signed operand, all below 128)
// and adds them into that row's 32-bit lane. A lane thus sums exactly the terms of the
// reference, every one nonnegative, so each partial sum is at most the row's inner product
// 15 x 255 x len <= 15 x 255 x 2^20 < 2^32 (len <= kMaxVectorScanLen, checked by the
// dispatcher): vpdpbusd adds modulo 2^32 without saturating, and the lane read as u32 is
// exact.
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vnni"))) void scan_quads_vbmi_ahead(
    const uint8_t* blocks, size_t n_blocks, size_t ahead, const uint8_t* tables, uint32_t n_bits, size_t len,
    uint64_t* ip) {
  const size_t groups = len / 32;  // column groups per plane
  const size_t bb = scan_block_bytes(n_bits, len);
  const uint8_t* pf_end = blocks + (n_blocks + ahead) * bb;
  size_t b = 0;
  for (; b + 4 <= n_blocks; b += 4)
    quad_blocks<4>(blocks + b * bb, bb, tables, n_bits, groups, ip + b * kScanBlockRows, pf_end);
  if (b + 2 <= n_blocks) {
    quad_blocks<2>(blocks + b * bb, bb, tables, n_bits, groups, ip + b * kScanBlockRows, pf_end);
    b += 2;
  }
  if (b < n_blocks) quad_blocks<1>(blocks + b * bb, bb, tables, n_bits, groups, ip + b * kScanBlockRows, pf_end);
}

// The fused form: as scan_quads_vbmi_ahead, then estimates_from_blocked_avx512_ahead over the
// same rows (every row of the blocks, padding rows included), without storing the inner
// products; the factors of the following `ahead` blocks are requested as a group's are read.
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vnni"))) void scan_estimate_quads_vbmi(
    const uint8_t* blocks, size_t n_blocks, size_t ahead, const uint8_t* tables, uint32_t n_bits, size_t len,
    const EstimateScalars& s, const float* fblocks, float* estimate, float* lower) {
  const avx512_estimate::EstimateLanes lanes(s);
  const size_t groups = len / 32;  // column groups per plane
  const size_t bb = scan_block_bytes(n_bits, len);
  const uint8_t* pf_end = blocks + (n_blocks + ahead) * bb;
  const float* fend = fblocks + (n_blocks + ahead) * kBlockFactorFloats;
  size_t b = 0;
  auto out = [&](size_t first) {
    return EstimateOut{&lanes, fblocks + first * kBlockFactorFloats, estimate + first * kScanBlockRows,
                       lower + first * kScanBlockRows};
  };
  auto prefetch_factors = [&](size_t first, size_t count) {
    const float* f = fblocks + (first + count) * kBlockFactorFloats;
    for (size_t i = 0; i < count * kBlockFactorFloats && f + i < fend; i += 16)
      _mm_prefetch(reinterpret_cast<const char*>(f + i), _MM_HINT_T0);
  };
  for (; b + 4 <= n_blocks; b += 4) {
    prefetch_factors(b, 4);
    const EstimateOut o = out(b);
    quad_blocks<4>(blocks + b * bb, bb, tables, n_bits, groups, nullptr, pf_end, &o);
  }
  if (b + 2 <= n_blocks) {
    prefetch_factors(b, 2);
    const EstimateOut o = out(b);
    quad_blocks<2>(blocks + b * bb, bb, tables, n_bits, groups, nullptr, pf_end, &o);
    b += 2;
  }
  if (b < n_blocks) {
    prefetch_factors(b, 1);
    const EstimateOut o = out(b);
    quad_blocks<1>(blocks + b * bb, bb, tables, n_bits, groups, nullptr, pf_end, &o);
  }
}

void scan_quads_vbmi(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits, size_t len,
                     uint64_t* ip) {
  scan_quads_vbmi_ahead(blocks, n_blocks, 0, tables, n_bits, len, ip);
}

}  // namespace ivf_rabitq::codec::detail
