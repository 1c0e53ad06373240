// AVX2 variant of the JSON structural scan: 64 bytes per step, classified with byte
// compares into bit masks for the shared bit-parallel block step. Called only through the
// dispatch in scan.cpp when the CPU supports AVX2.
#include <immintrin.h>

#include <cstring>

#include "json_scan/scan_block.hpp"

namespace json_scan::detail {

namespace {

inline uint64_t mask_of(__m256i lo, __m256i hi, __m256i c) {
  const uint32_t a = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, c)));
  const uint32_t b = static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, c)));
  return a | (static_cast<uint64_t>(b) << 32);
}

inline BlockMasks classify(const uint8_t* p) {
  const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  // '[' (0x5B) and '{' (0x7B) differ only in bit 5: setting it maps both, and nothing
  // else, to '{'.
  const __m256i bit5 = _mm256_set1_epi8(0x20);
  BlockMasks m;
  m.quote = mask_of(lo, hi, _mm256_set1_epi8('"'));
  m.backslash = mask_of(lo, hi, _mm256_set1_epi8('\\'));
  m.comma = mask_of(lo, hi, _mm256_set1_epi8(','));
  m.colon = mask_of(lo, hi, _mm256_set1_epi8(':'));
  m.opener = mask_of(_mm256_or_si256(lo, bit5), _mm256_or_si256(hi, bit5), _mm256_set1_epi8('{'));
  return m;
}

}  // namespace

ScanResult scan_avx2(const uint8_t* p, size_t n, uint8_t start) {
  Carry carry = Carry::from_state(start);
  Counts acc;
  size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    if (!scan_block(classify(p + i), 64, carry, acc)) scan_block_scalar(p + i, 64, carry, acc);
  }
  if (i < n) {
    // The tail in a zeroed block: zero bytes match none of the characters.
    alignas(32) uint8_t buf[64] = {};
    const unsigned rest = static_cast<unsigned>(n - i);
    std::memcpy(buf, p + i, rest);
    if (!scan_block(classify(buf), rest, carry, acc)) scan_block_scalar(p + i, rest, carry, acc);
  }
  return {acc, carry.state()};
}

}  // namespace json_scan::detail
