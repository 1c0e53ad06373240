// Grid inner products of the centroid bound with AVX-512 VNNI: one register per block of
// 16 codes vectors, each lane one vector, four coordinates per multiply-add (unsigned query
// bytes times signed codes, exact 32-bit sums).
#include <immintrin.h>

#include "ivf_rabitq/search/rank_bound.hpp"

namespace ivf_rabitq::search::detail {

__attribute__((target("avx512f,avx512vnni"))) void grid_dot_vnni(const uint8_t* qa4, const int8_t* codes,
                                                                   size_t pad, size_t blocks, int32_t* out) {
  const size_t groups = pad / 4;
  const int32_t* q32 = reinterpret_cast<const int32_t*>(qa4);
  for (size_t b = 0; b < blocks; ++b) {
    const int8_t* blk = codes + b * groups * distance::kBlock * 4;
    __m512i acc0 = _mm512_setzero_si512(), acc1 = _mm512_setzero_si512();
    size_t g = 0;
    for (; g + 2 <= groups; g += 2) {
      int32_t w0, w1;
      __builtin_memcpy(&w0, q32 + g, 4);
      __builtin_memcpy(&w1, q32 + g + 1, 4);
      acc0 = _mm512_dpbusd_epi32(acc0, _mm512_set1_epi32(w0), _mm512_load_si512(blk + g * 64));
      acc1 = _mm512_dpbusd_epi32(acc1, _mm512_set1_epi32(w1), _mm512_load_si512(blk + (g + 1) * 64));
    }
    for (; g < groups; ++g) {
      int32_t w;
      __builtin_memcpy(&w, q32 + g, 4);
      acc0 = _mm512_dpbusd_epi32(acc0, _mm512_set1_epi32(w), _mm512_load_si512(blk + g * 64));
    }
    _mm512_storeu_si512(out + b * distance::kBlock, _mm512_add_epi32(acc0, acc1));
  }
}

void grid_lo_avx512(const int32_t* dot, const int32_t* sb, const float* err, size_t n, int32_t qa_sq, float scale,
                    float eq, float* lo, float* bmin) {
  const __m512i vq = _mm512_set1_epi32(qa_sq);
  const __m512 vs = _mm512_set1_ps(scale), ve = _mm512_set1_ps(eq), vm = _mm512_set1_ps(1e-5f);
  for (size_t i = 0; i + distance::kBlock <= n; i += distance::kBlock) {
    const __m512i d2 = _mm512_slli_epi32(_mm512_loadu_si512(dot + i), 1);
    const __m512i d = _mm512_sub_epi32(_mm512_add_epi32(vq, _mm512_loadu_si512(sb + i)), d2);
    const __m512 len = _mm512_mul_ps(vs, _mm512_sqrt_ps(_mm512_cvtepi32_ps(d)));
    const __m512 off = _mm512_add_ps(ve, _mm512_loadu_ps(err + i));
    const __m512 v = _mm512_sub_ps(_mm512_sub_ps(len, off), _mm512_mul_ps(vm, _mm512_add_ps(len, off)));
    _mm512_storeu_ps(lo + i, v);
    bmin[i / distance::kBlock] = _mm512_reduce_min_ps(v);
  }
}

}  // namespace ivf_rabitq::search::detail
