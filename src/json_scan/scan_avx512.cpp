// AVX-512 variant of the JSON structural scan: one 64-byte load per step, compared straight
// into 64-bit masks for the shared bit-parallel block step; the tail is read with a masked
// load. Called only through the dispatch in scan.cpp when the CPU supports AVX-512 BW.
#include <immintrin.h>

#include "json_scan/scan_block.hpp"

namespace json_scan::detail {

namespace {

inline BlockMasks classify(__m512i v) {
  // '[' (0x5B) and '{' (0x7B) differ only in bit 5: setting it maps both, and nothing
  // else, to '{'.
  const __m512i folded = _mm512_or_si512(v, _mm512_set1_epi8(0x20));
  BlockMasks m;
  m.quote = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"'));
  m.backslash = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\\'));
  m.comma = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(','));
  m.colon = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(':'));
  m.opener = _mm512_cmpeq_epi8_mask(folded, _mm512_set1_epi8('{'));
  return m;
}

}  // namespace

ScanResult scan_avx512(const uint8_t* p, size_t n, uint8_t start) {
  Carry carry = Carry::from_state(start);
  Counts acc;
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    if (!scan_block(classify(_mm512_loadu_si512(p + i)), 64, carry, acc)) scan_block_scalar(p + i, 64, carry, acc);
  }
  if (i < n) {
    // Masked load: the bytes past the end read as zero, which matches none of the characters,
    // and are never touched in memory.
    const unsigned rest = static_cast<unsigned>(n - i);
    const __mmask64 live = (uint64_t{1} << rest) - 1;
    if (!scan_block(classify(_mm512_maskz_loadu_epi8(live, p + i)), rest, carry, acc))
      scan_block_scalar(p + i, rest, carry, acc);
  }
  return {acc, carry.state()};
}

}  // namespace json_scan::detail
