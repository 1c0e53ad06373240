// AVX2 variants of the int8 rerank kernels; bit-identical to the scalar reference.
#include <immintrin.h>

#include "ivf_rabitq/codec/quant.hpp"

namespace ivf_rabitq::quant::detail::avx2 {

namespace {

// Elements per block after which lane sums are folded into the 64-bit total. A block's
// whole sum fits 32 bits: at most 16384 x 65536 = 2^30 in magnitude for the centred code
// sums, and 65025 x 32768 < 2^32 for squared byte differences.
constexpr size_t kBlock = 65536;
constexpr size_t kSsdBlock = 32768;

// Sum of the eight 32-bit lanes, modulo 2^32 (exact when the true sum fits 32 bits).
inline uint32_t hsum32(__m256i v) {
  __m128i s = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0x4E));
  s = _mm_add_epi32(s, _mm_shuffle_epi32(s, 0xB1));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(s));
}

// Eight round-half-up codes (0..255) as i32 lanes; same operations as quantize_one.
inline __m256i round8(const float* x, __m256 vinv) {
  const __m256 c127 = _mm256_set1_ps(127.0f), c128 = _mm256_set1_ps(128.0f), c255 = _mm256_set1_ps(255.0f);
  __m256 t = _mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(x), vinv), c127), c128);
  t = _mm256_max_ps(t, _mm256_setzero_ps());  // a NaN t takes the second operand: 0
  t = _mm256_min_ps(t, c255);
  const __m256 f = _mm256_floor_ps(t);
  const __m256 up = _mm256_cmp_ps(_mm256_sub_ps(t, f), _mm256_set1_ps(0.5f), _CMP_GE_OQ);
  return _mm256_cvttps_epi32(_mm256_add_ps(f, _mm256_and_ps(up, _mm256_set1_ps(1.0f))));
}

}  // namespace

float max_abs(const float* x, size_t n) {
  const __m256 mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  __m256 m0 = _mm256_setzero_ps(), m1 = _mm256_setzero_ps();
  size_t i = 0;
  // max_ps(a, m) returns m when a is NaN, so NaN never enters the running maxima.
  for (; i + 16 <= n; i += 16) {
    m0 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(x + i), mask), m0);
    m1 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(x + i + 8), mask), m1);
  }
  for (; i + 8 <= n; i += 8) m0 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(x + i), mask), m0);
  m0 = _mm256_max_ps(m0, m1);
  alignas(32) float t[8];
  _mm256_store_ps(t, m0);
  float m = 0.0f;
  for (float v : t)
    if (v > m) m = v;
  for (; i < n; ++i) {
    const float a = __builtin_fabsf(x[i]);
    if (a > m) m = a;
  }
  return m;
}

void quantize_u8(const float* x, size_t n, float inv, uint8_t* out) {
  const __m256 vinv = _mm256_set1_ps(inv);
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const __m256i a = round8(x + i, vinv), b = round8(x + i + 8, vinv);
    const __m256i c = round8(x + i + 16, vinv), d = round8(x + i + 24, vinv);
    const __m256i p = _mm256_packus_epi16(_mm256_packus_epi32(a, b), _mm256_packus_epi32(c, d));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permutevar8x32_epi32(p, order));
  }
  for (; i < n; ++i) out[i] = quantize_one(x[i], inv);
}

void quantize_i16(const float* x, size_t n, float inv, int16_t* out) {
  const __m256 vinv = _mm256_set1_ps(inv);
  const __m256i c128 = _mm256_set1_epi32(128);
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256i a = _mm256_sub_epi32(round8(x + i, vinv), c128);
    const __m256i b = _mm256_sub_epi32(round8(x + i + 8, vinv), c128);
    const __m256i p = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), p);
  }
  for (; i < n; ++i) out[i] = static_cast<int16_t>(static_cast<int>(quantize_one(x[i], inv)) - 128);
}

uint64_t code_energy(const uint8_t* b, size_t n) {
  const __m256i c128 = _mm256_set1_epi16(128);
  uint64_t total = 0;
  size_t i = 0;
  while (i + 32 <= n) {
    const size_t end = (n - i > kBlock) ? i + kBlock : n;
    __m256i acc = _mm256_setzero_si256();
    for (; i + 32 <= end; i += 32) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
      const __m256i lo = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(v)), c128);
      const __m256i hi = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(v, 1)), c128);
      acc = _mm256_add_epi32(acc, _mm256_add_epi32(_mm256_madd_epi16(lo, lo), _mm256_madd_epi16(hi, hi)));
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
  while (i + 32 <= n) {
    const size_t end = (n - i > kSsdBlock) ? i + kSsdBlock : n;
    __m256i acc = _mm256_setzero_si256();
    for (; i + 32 <= end; i += 32) {
      const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
      const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
      const __m256i dlo = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(va)),
                                           _mm256_cvtepu8_epi16(_mm256_castsi256_si128(vb)));
      const __m256i dhi = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(va, 1)),
                                           _mm256_cvtepu8_epi16(_mm256_extracti128_si256(vb, 1)));
      acc = _mm256_add_epi32(acc, _mm256_add_epi32(_mm256_madd_epi16(dlo, dlo), _mm256_madd_epi16(dhi, dhi)));
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
  const __m256i c128 = _mm256_set1_epi16(128);
  int64_t total = 0;
  size_t i = 0;
  while (i + 32 <= n) {
    const size_t end = (n - i > kBlock) ? i + kBlock : n;
    __m256i acc = _mm256_setzero_si256();
    for (; i + 32 <= end; i += 32) {
      const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i));
      const __m256i blo = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(vb)), c128);
      const __m256i bhi = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(vb, 1)), c128);
      const __m256i qlo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
      const __m256i qhi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i + 16));
      acc = _mm256_add_epi32(acc, _mm256_add_epi32(_mm256_madd_epi16(qlo, blo), _mm256_madd_epi16(qhi, bhi)));
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
    // block); the last n % 32 elements of each row are added one at a time.
    const __m256i c128 = _mm256_set1_epi16(128);
    const size_t full = n & ~size_t{31};
    auto madd2 = [&](__m256i qlo, __m256i qhi, const uint8_t* b) {
      const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
      const __m256i blo = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_castsi256_si128(vb)), c128);
      const __m256i bhi = _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm256_extracti128_si256(vb, 1)), c128);
      return _mm256_add_epi32(_mm256_madd_epi16(qlo, blo), _mm256_madd_epi16(qhi, bhi));
    };
    auto tail = [&](const uint8_t* b) {
      int64_t t = 0;
      for (size_t i = full; i < n; ++i) t += static_cast<int64_t>(q[i]) * (static_cast<int64_t>(b[i]) - 128);
      return t;
    };
    for (; r + 4 <= m; r += 4) {
      const uint8_t* b0 = rows[r];
      const uint8_t* b1 = rows[r + 1];
      const uint8_t* b2 = rows[r + 2];
      const uint8_t* b3 = rows[r + 3];
      __m256i a0 = _mm256_setzero_si256(), a1 = _mm256_setzero_si256();
      __m256i a2 = _mm256_setzero_si256(), a3 = _mm256_setzero_si256();
      for (size_t i = 0; i < full; i += 32) {
        const __m256i qlo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i));
        const __m256i qhi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i + 16));
        a0 = _mm256_add_epi32(a0, madd2(qlo, qhi, b0 + i));
        a1 = _mm256_add_epi32(a1, madd2(qlo, qhi, b1 + i));
        a2 = _mm256_add_epi32(a2, madd2(qlo, qhi, b2 + i));
        a3 = _mm256_add_epi32(a3, madd2(qlo, qhi, b3 + i));
      }
      out[r] = static_cast<int32_t>(hsum32(a0)) + tail(b0);
      out[r + 1] = static_cast<int32_t>(hsum32(a1)) + tail(b1);
      out[r + 2] = static_cast<int32_t>(hsum32(a2)) + tail(b2);
      out[r + 3] = static_cast<int32_t>(hsum32(a3)) + tail(b3);
    }
  }
  for (; r < m; ++r) out[r] = dot_i16_u8(q, rows[r], n);
}

float float_dist(const float* q, const uint8_t* b, size_t n, float step) {
  // The terms are independent and computed eight at a time; the sum itself runs one term
  // at a time in index order, exactly as the scalar reference.
  const __m256 vstep = _mm256_set1_ps(step), c128 = _mm256_set1_ps(128.0f);
  alignas(32) float t[8];
  float sum = 0.0f;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i bi = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + i)));
    const __m256 y = _mm256_mul_ps(_mm256_sub_ps(_mm256_cvtepi32_ps(bi), c128), vstep);
    const __m256 d = _mm256_sub_ps(_mm256_loadu_ps(q + i), y);
    _mm256_store_ps(t, _mm256_mul_ps(d, d));
    sum += t[0];
    sum += t[1];
    sum += t[2];
    sum += t[3];
    sum += t[4];
    sum += t[5];
    sum += t[6];
    sum += t[7];
  }
  for (; i < n; ++i) {
    const float y = (static_cast<float>(b[i]) - 128.0f) * step;
    const float d = q[i] - y;
    sum += d * d;
  }
  return sum;
}

}  // namespace ivf_rabitq::quant::detail::avx2
