// AVX-512 variants of the int8 rerank kernels; bit-identical to the scalar reference.
// GCC 12's AVX-512 headers self-initialise their "undefined" vectors, which trips
// -Wmaybe-uninitialized at every inlined intrinsic (GCC bug 105593, fixed in GCC 13).
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "ivf_rabitq/codec/quant.hpp"

namespace ivf_rabitq::quant::detail::avx512 {

namespace {

// Elements per block after which lane sums are folded into the 64-bit total. A block's
// whole sum fits 32 bits: at most 16384 x 65536 = 2^30 in magnitude for the centred code
// sums, and 65025 x 32768 < 2^32 for squared byte differences.
constexpr size_t kBlock = 65536;
constexpr size_t kSsdBlock = 32768;

// Sum of the sixteen 32-bit lanes, modulo 2^32 (exact when the true sum fits 32 bits).
inline uint32_t hsum32(__m512i v) { return static_cast<uint32_t>(_mm512_reduce_add_epi32(v)); }

// Sixteen round-half-up codes (0..255) as i32 lanes; same operations as quantize_one.
inline __m512i round16(const float* x, __m512 vinv) {
  const __m512 c127 = _mm512_set1_ps(127.0f), c128 = _mm512_set1_ps(128.0f), c255 = _mm512_set1_ps(255.0f);
  __m512 t = _mm512_add_ps(_mm512_mul_ps(_mm512_mul_ps(_mm512_loadu_ps(x), vinv), c127), c128);
  t = _mm512_max_ps(t, _mm512_setzero_ps());  // a NaN t takes the second operand: 0
  t = _mm512_min_ps(t, c255);
  const __m512 f = _mm512_roundscale_ps(t, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
  const __mmask16 up = _mm512_cmp_ps_mask(_mm512_sub_ps(t, f), _mm512_set1_ps(0.5f), _CMP_GE_OQ);
  return _mm512_cvttps_epi32(_mm512_mask_add_ps(f, up, f, _mm512_set1_ps(1.0f)));
}

}  // namespace

float max_abs(const float* x, size_t n) {
  __m512 m0 = _mm512_setzero_ps(), m1 = _mm512_setzero_ps();
  size_t i = 0;
  // max_ps(a, m) returns m when a is NaN, so NaN never enters the running maxima.
  for (; i + 32 <= n; i += 32) {
    m0 = _mm512_max_ps(_mm512_abs_ps(_mm512_loadu_ps(x + i)), m0);
    m1 = _mm512_max_ps(_mm512_abs_ps(_mm512_loadu_ps(x + i + 16)), m1);
  }
  for (; i + 16 <= n; i += 16) m0 = _mm512_max_ps(_mm512_abs_ps(_mm512_loadu_ps(x + i)), m0);
  if (i < n) {
    const __mmask16 k = static_cast<__mmask16>((1u << (n - i)) - 1u);
    m1 = _mm512_max_ps(_mm512_abs_ps(_mm512_maskz_loadu_ps(k, x + i)), m1);
  }
  return _mm512_reduce_max_ps(_mm512_max_ps(m0, m1));
}

void quantize_u8(const float* x, size_t n, float inv, uint8_t* out) {
  const __m512 vinv = _mm512_set1_ps(inv);
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm512_cvtepi32_epi8(round16(x + i, vinv)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i + 16), _mm512_cvtepi32_epi8(round16(x + i + 16, vinv)));
  }
  for (; i + 16 <= n; i += 16)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm512_cvtepi32_epi8(round16(x + i, vinv)));
  for (; i < n; ++i) out[i] = quantize_one(x[i], inv);
}

void quantize_i16(const float* x, size_t n, float inv, int16_t* out) {
  const __m512 vinv = _mm512_set1_ps(inv);
  const __m512i c128 = _mm512_set1_epi32(128);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i r = _mm512_sub_epi32(round16(x + i, vinv), c128);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm512_cvtepi32_epi16(r));
  }
  for (; i < n; ++i) out[i] = static_cast<int16_t>(static_cast<int>(quantize_one(x[i], inv)) - 128);
}

uint64_t code_energy(const uint8_t* b, size_t n) {
  const __m512i c128 = _mm512_set1_epi16(128);
  uint64_t total = 0;
  size_t i = 0;
  while (i + 64 <= n) {
    const size_t end = (n - i > kBlock) ? i + kBlock : n;
    __m512i acc = _mm512_setzero_si512();
    for (; i + 64 <= end; i += 64) {
      const __m512i lo = _mm512_sub_epi16(
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i))), c128);
      const __m512i hi = _mm512_sub_epi16(
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32))), c128);
      acc = _mm512_add_epi32(acc, _mm512_add_epi32(_mm512_madd_epi16(lo, lo), _mm512_madd_epi16(hi, hi)));
    }
    total += hsum32(acc);
  }
  for (; i < n; ++i) {
    const int64_t d = static_cast<int64_t>(b[i]) - 128;
    total += static_cast<uint64_t>(d * d);
  }
  return total;
}

uint64_t ssd_u8(const uint8_t* a, const uint8_t* b, size_t n) {
  uint64_t total = 0;
  size_t i = 0;
  while (i + 64 <= n) {
    const size_t end = (n - i > kSsdBlock) ? i + kSsdBlock : n;
    __m512i acc = _mm512_setzero_si512();
    for (; i + 64 <= end; i += 64) {
      const __m512i dlo =
          _mm512_sub_epi16(_mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i))),
                           _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i))));
      const __m512i dhi =
          _mm512_sub_epi16(_mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i + 32))),
                           _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32))));
      acc = _mm512_add_epi32(acc, _mm512_add_epi32(_mm512_madd_epi16(dlo, dlo), _mm512_madd_epi16(dhi, dhi)));
    }
    total += hsum32(acc);
  }
  for (; i < n; ++i) {
    const int64_t d = static_cast<int64_t>(a[i]) - static_cast<int64_t>(b[i]);
    total += static_cast<uint64_t>(d * d);
  }
  return total;
}

int64_t dot_i16_u8(const int16_t* q, const uint8_t* b, size_t n) {
  const __m512i c128 = _mm512_set1_epi16(128);
  int64_t total = 0;
  size_t i = 0;
  while (i + 64 <= n) {
    const size_t end = (n - i > kBlock) ? i + kBlock : n;
    __m512i acc = _mm512_setzero_si512();
    for (; i + 64 <= end; i += 64) {
      const __m512i blo = _mm512_sub_epi16(
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i))), c128);
      const __m512i bhi = _mm512_sub_epi16(
          _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i + 32))), c128);
      const __m512i qlo = _mm512_loadu_si512(q + i);
      const __m512i qhi = _mm512_loadu_si512(q + i + 32);
      acc = _mm512_add_epi32(acc, _mm512_add_epi32(_mm512_madd_epi16(qlo, blo), _mm512_madd_epi16(qhi, bhi)));
    }
    total += static_cast<int32_t>(hsum32(acc));
  }
  for (; i < n; ++i) total += static_cast<int64_t>(q[i]) * (static_cast<int64_t>(b[i]) - 128);
  return total;
}

void dot_i16_u8_rows(const int16_t* q, const uint8_t* const* rows, size_t m, size_t n, int64_t* out) {
  size_t r = 0;
  if (n <= kBlock) {
    // Four rows at a time share each load of the query; a row's whole sum fits 32 bits (one
    // block). The tail of a row (n % 64) is read with masked loads: a masked-out query lane
    // is 0, so its product is 0 whatever the byte lane holds.
    const __m512i c128 = _mm512_set1_epi16(128);
    const size_t full = n & ~size_t{63};
    const size_t rest = n - full;
    const __mmask32 mlo = rest >= 32 ? ~__mmask32{0} : static_cast<__mmask32>((uint64_t{1} << rest) - 1u);
    const __mmask32 mhi = rest <= 32 ? 0 : static_cast<__mmask32>((uint64_t{1} << (rest - 32)) - 1u);
    auto centred = [&](const uint8_t* b) {
      return _mm512_sub_epi16(_mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b))), c128);
    };
    auto centred_masked = [&](const uint8_t* b, __mmask32 k) {
      return _mm512_sub_epi16(_mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(k, b)), c128);
    };
    for (; r + 4 <= m; r += 4) {
      const uint8_t* b0 = rows[r];
      const uint8_t* b1 = rows[r + 1];
      const uint8_t* b2 = rows[r + 2];
      const uint8_t* b3 = rows[r + 3];
      __m512i a0 = _mm512_setzero_si512(), a1 = _mm512_setzero_si512();
      __m512i a2 = _mm512_setzero_si512(), a3 = _mm512_setzero_si512();
      for (size_t i = 0; i < full; i += 64) {
        const __m512i qlo = _mm512_loadu_si512(q + i);
        const __m512i qhi = _mm512_loadu_si512(q + i + 32);
        a0 = _mm512_add_epi32(a0, _mm512_add_epi32(_mm512_madd_epi16(qlo, centred(b0 + i)),
                                                   _mm512_madd_epi16(qhi, centred(b0 + i + 32))));
        a1 = _mm512_add_epi32(a1, _mm512_add_epi32(_mm512_madd_epi16(qlo, centred(b1 + i)),
                                                   _mm512_madd_epi16(qhi, centred(b1 + i + 32))));
        a2 = _mm512_add_epi32(a2, _mm512_add_epi32(_mm512_madd_epi16(qlo, centred(b2 + i)),
                                                   _mm512_madd_epi16(qhi, centred(b2 + i + 32))));
        a3 = _mm512_add_epi32(a3, _mm512_add_epi32(_mm512_madd_epi16(qlo, centred(b3 + i)),
                                                   _mm512_madd_epi16(qhi, centred(b3 + i + 32))));
      }
      if (rest != 0) {
        const __m512i qlo = _mm512_maskz_loadu_epi16(mlo, q + full);
        const __m512i qhi = _mm512_maskz_loadu_epi16(mhi, q + full + 32);
        a0 = _mm512_add_epi32(a0, _mm512_add_epi32(_mm512_madd_epi16(qlo, centred_masked(b0 + full, mlo)),
                                                   _mm512_madd_epi16(qhi, centred_masked(b0 + full + 32, mhi))));
        a1 = _mm512_add_epi32(a1, _mm512_add_epi32(_mm512_madd_epi16(qlo, centred_masked(b1 + full, mlo)),
                                                   _mm512_madd_epi16(qhi, centred_masked(b1 + full + 32, mhi))));
        a2 = _mm512_add_epi32(a2, _mm512_add_epi32(_mm512_madd_epi16(qlo, centred_masked(b2 + full, mlo)),
                                                   _mm512_madd_epi16(qhi, centred_masked(b2 + full + 32, mhi))));
        a3 = _mm512_add_epi32(a3, _mm512_add_epi32(_mm512_madd_epi16(qlo, centred_masked(b3 + full, mlo)),
                                                   _mm512_madd_epi16(qhi, centred_masked(b3 + full + 32, mhi))));
      }
      out[r] = static_cast<int32_t>(hsum32(a0));
      out[r + 1] = static_cast<int32_t>(hsum32(a1));
      out[r + 2] = static_cast<int32_t>(hsum32(a2));
      out[r + 3] = static_cast<int32_t>(hsum32(a3));
    }
  }
  for (; r < m; ++r) out[r] = dot_i16_u8(q, rows[r], n);
}

// vpdpbusd multiplies four unsigned row bytes by four signed query bytes and adds the four
// products to a 32-bit lane: a product is at most 255 x 128 = 32640 in magnitude, so a lane
// over a block of kBlock bytes (kBlock / 64 steps of four) stays below 2^27 and the block's
// lanes are widened to 64 bits before they are added up. Masked tail loads read zero
// bytes past n on both sides.
__attribute__((target("avx512f,avx512bw,avx512vnni"))) void dot_s8_u8_rows(const int8_t* q, int64_t q_sum,
                                                                          const uint8_t* const* rows, size_t m,
                                                                          size_t n, int64_t* out) {
  constexpr size_t kG = 4;
  auto widen_sum = [](__m512i v) {
    const __m512i lo = _mm512_cvtepi32_epi64(_mm512_castsi512_si256(v));
    const __m512i hi = _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(v, 1));
    return static_cast<int64_t>(_mm512_reduce_add_epi64(_mm512_add_epi64(lo, hi)));
  };
  size_t r = 0;
  for (; r < m; r += kG) {
    const size_t g = m - r < kG ? m - r : kG;
    int64_t tot[kG] = {0, 0, 0, 0};
    for (size_t b0 = 0; b0 < n; b0 += kBlock) {
      const size_t b1 = n - b0 < kBlock ? n : b0 + kBlock;
      __m512i acc[kG] = {_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(),
                         _mm512_setzero_si512()};
      size_t i = b0;
      if (g == kG) {
        const uint8_t *p0 = rows[r], *p1 = rows[r + 1], *p2 = rows[r + 2], *p3 = rows[r + 3];
        for (; i + 64 <= b1; i += 64) {
          const __m512i qv = _mm512_loadu_si512(q + i);
          acc[0] = _mm512_dpbusd_epi32(acc[0], _mm512_loadu_si512(p0 + i), qv);
          acc[1] = _mm512_dpbusd_epi32(acc[1], _mm512_loadu_si512(p1 + i), qv);
          acc[2] = _mm512_dpbusd_epi32(acc[2], _mm512_loadu_si512(p2 + i), qv);
          acc[3] = _mm512_dpbusd_epi32(acc[3], _mm512_loadu_si512(p3 + i), qv);
        }
      } else {
        for (; i + 64 <= b1; i += 64) {
          const __m512i qv = _mm512_loadu_si512(q + i);
          for (size_t j = 0; j < g; ++j) acc[j] = _mm512_dpbusd_epi32(acc[j], _mm512_loadu_si512(rows[r + j] + i), qv);
        }
      }
      if (i < b1) {
        const __mmask64 k = (~__mmask64{0}) >> (64 - (b1 - i));
        const __m512i qv = _mm512_maskz_loadu_epi8(k, q + i);
        for (size_t j = 0; j < g; ++j) acc[j] = _mm512_dpbusd_epi32(acc[j], _mm512_maskz_loadu_epi8(k, rows[r + j] + i), qv);
      }
      for (size_t j = 0; j < g; ++j) tot[j] += widen_sum(acc[j]);
    }
    for (size_t j = 0; j < g; ++j) out[r + j] = tot[j] - 128 * q_sum;
  }
}

float float_dist(const float* q, const uint8_t* b, size_t n, float step) {
  // Terms sixteen at a time; the sum runs one term at a time in index order.
  const __m512 vstep = _mm512_set1_ps(step), c128 = _mm512_set1_ps(128.0f);
  alignas(64) float t[16];
  float sum = 0.0f;
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i bi = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
    const __m512 y = _mm512_mul_ps(_mm512_sub_ps(_mm512_cvtepi32_ps(bi), c128), vstep);
    const __m512 d = _mm512_sub_ps(_mm512_loadu_ps(q + i), y);
    _mm512_store_ps(t, _mm512_mul_ps(d, d));
    for (int k = 0; k < 16; ++k) sum += t[k];
  }
  for (; i < n; ++i) {
    const float y = (static_cast<float>(b[i]) - 128.0f) * step;
    const float d = q[i] - y;
    sum += d * d;
  }
  return sum;
}

}  // namespace ivf_rabitq::quant::detail::avx512
