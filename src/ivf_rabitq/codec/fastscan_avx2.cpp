// AVX2 kernels of the block-interleaved code scan (compiled with the AVX2 flags only).
#include <immintrin.h>

#include <algorithm>

#include "ivf_rabitq/codec/fastscan.hpp"

namespace ivf_rabitq::codec::detail {

namespace {

// Shuffle indices t = 0..3: byte m picks code byte t (lane 0: group 2k, code bytes 0..3)
// or 4 + t (lane 1: group 2k+1, bytes 4..7) when bit t of m is set, else zero.
struct PickIndex {
  alignas(32) uint8_t idx[4][32];
  constexpr PickIndex() : idx{} {
    for (unsigned t = 0; t < 4; ++t)
      for (unsigned m = 0; m < 16; ++m) {
        idx[t][m] = (m >> t) & 1u ? static_cast<uint8_t>(t) : 0x80;
        idx[t][16 + m] = (m >> t) & 1u ? static_cast<uint8_t>(4 + t) : 0x80;
      }
  }
};
constexpr PickIndex kPick;

inline __m256i pick_index(unsigned t) { return _mm256_load_si256(reinterpret_cast<const __m256i*>(kPick.idx[t])); }

// Pair sums per plane are widened from u16 to u32 every this many coordinate bytes: each
// step of two bytes adds at most 4 x 60 = 240 to a u16 lane, 256 steps stay below 65536.
constexpr size_t kWidenCols = 512;

}  // namespace

void build_scan_tables_avx2(const uint64_t* words, size_t wpp, uint8_t* tables, ScanLayout layout) {
  const __m256i i0 = pick_index(0), i1 = pick_index(1), i2 = pick_index(2), i3 = pick_index(3);
  const uint8_t* planes[4];
  for (size_t j = 0; j < 4; ++j) planes[j] = reinterpret_cast<const uint8_t*>(words + j * wpp);
  const size_t cols = wpp * 8;
  for (size_t k = 0; k < cols; ++k) {
    // The 4-bit codes of coordinates 8k..8k+7, one per byte.
    uint64_t q = 0;
    for (size_t j = 0; j < 4; ++j) q |= _pdep_u64(planes[j][k], 0x0101010101010101ULL) << j;
    const __m256i v = _mm256_set1_epi64x(static_cast<long long>(q));
    const __m256i t = _mm256_add_epi8(_mm256_add_epi8(_mm256_shuffle_epi8(v, i0), _mm256_shuffle_epi8(v, i1)),
                                      _mm256_add_epi8(_mm256_shuffle_epi8(v, i2), _mm256_shuffle_epi8(v, i3)));
    if (layout == ScanLayout::Quads) {
      // Column group k / 4: low-nibble tables in its first 64 bytes, high-nibble ones after.
      uint8_t* out = tables + 128 * (k / 4) + 16 * (k % 4);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(t));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 64), _mm256_extracti128_si256(t, 1));
    } else {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(tables + 32 * k), t);
    }
  }
}

// Row sums of one block, per plane: the byte sums of two coordinate bytes (<= 240) are
// split into even and odd rows as u16 lanes, widened to u32 every kWidenCols bytes and
// weighted by 2^plane. The four u32 accumulators hold rows (lane 0 | lane 1):
//   e_lo 0,2,4,6 | 16..22   e_hi 8..14 | 24..30   o_lo 1..7 | 17..23   o_hi 9..15 | 25..31
// and are put back in row order at the end.
void scan_blocks_avx2(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits, size_t len,
                      uint64_t* ip) {
  const size_t cols = len / 8;
  const size_t bb = scan_block_bytes(n_bits, len);
  const __m256i nib = _mm256_set1_epi8(0x0f);
  const __m256i low16 = _mm256_set1_epi16(0x00ff);
  const __m256i zero = _mm256_setzero_si256();
  for (size_t b = 0; b < n_blocks; ++b) {
    const uint8_t* blk = blocks + b * bb;
    __m256i t0 = zero, t1 = zero, t2 = zero, t3 = zero;
    for (uint32_t p = 0; p < n_bits; ++p) {
      const uint8_t* pl = blk + p * cols * kScanBlockRows;
      __m256i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
      for (size_t j0 = 0; j0 < cols; j0 += kWidenCols) {
        const size_t j1 = std::min(cols, j0 + kWidenCols);
        __m256i ev = zero, od = zero;
        for (size_t j = j0; j < j1; j += 2) {
          const __m256i c0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pl + j * kScanBlockRows));
          const __m256i c1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pl + (j + 1) * kScanBlockRows));
          const uint8_t* tb = tables + 32 * j;
          const __m256i l0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tb)));
          const __m256i h0 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tb + 16)));
          const __m256i l1 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tb + 32)));
          const __m256i h1 = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(tb + 48)));
          const __m256i s0 = _mm256_add_epi8(_mm256_shuffle_epi8(l0, _mm256_and_si256(c0, nib)),
                                             _mm256_shuffle_epi8(h0, _mm256_and_si256(_mm256_srli_epi16(c0, 4), nib)));
          const __m256i s1 = _mm256_add_epi8(_mm256_shuffle_epi8(l1, _mm256_and_si256(c1, nib)),
                                             _mm256_shuffle_epi8(h1, _mm256_and_si256(_mm256_srli_epi16(c1, 4), nib)));
          const __m256i s = _mm256_add_epi8(s0, s1);
          ev = _mm256_add_epi16(ev, _mm256_and_si256(s, low16));
          od = _mm256_add_epi16(od, _mm256_srli_epi16(s, 8));
        }
        a0 = _mm256_add_epi32(a0, _mm256_unpacklo_epi16(ev, zero));
        a1 = _mm256_add_epi32(a1, _mm256_unpackhi_epi16(ev, zero));
        a2 = _mm256_add_epi32(a2, _mm256_unpacklo_epi16(od, zero));
        a3 = _mm256_add_epi32(a3, _mm256_unpackhi_epi16(od, zero));
      }
      const __m128i sh = _mm_cvtsi32_si128(static_cast<int>(p));
      t0 = _mm256_add_epi32(t0, _mm256_sll_epi32(a0, sh));
      t1 = _mm256_add_epi32(t1, _mm256_sll_epi32(a1, sh));
      t2 = _mm256_add_epi32(t2, _mm256_sll_epi32(a2, sh));
      t3 = _mm256_add_epi32(t3, _mm256_sll_epi32(a3, sh));
    }
    const __m256i r0 = _mm256_unpacklo_epi32(t0, t2);  // rows 0..3   | 16..19
    const __m256i r1 = _mm256_unpackhi_epi32(t0, t2);  // rows 4..7   | 20..23
    const __m256i r2 = _mm256_unpacklo_epi32(t1, t3);  // rows 8..11  | 24..27
    const __m256i r3 = _mm256_unpackhi_epi32(t1, t3);  // rows 12..15 | 28..31
    const __m256i rows[4] = {_mm256_permute2x128_si256(r0, r1, 0x20), _mm256_permute2x128_si256(r2, r3, 0x20),
                             _mm256_permute2x128_si256(r0, r1, 0x31), _mm256_permute2x128_si256(r2, r3, 0x31)};
    uint64_t* out = ip + b * kScanBlockRows;
    for (size_t i = 0; i < 4; ++i) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * i),
                          _mm256_cvtepu32_epi64(_mm256_castsi256_si128(rows[i])));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * i + 4),
                          _mm256_cvtepu32_epi64(_mm256_extracti128_si256(rows[i], 1)));
    }
  }
}

}  // namespace ivf_rabitq::codec::detail
