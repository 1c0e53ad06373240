// The distance estimate of 16 rows at a time with AVX-512: the same operations in the same
// order as the scalar formula (separate multiplies and adds, IEEE square root), lane by lane.
// Included only by the files compiled with the AVX-512 flags (codec_avx512.cpp,
// fastscan_avx512.cpp).
#pragma once

#include <immintrin.h>

#include "ivf_rabitq/codec/codec.hpp"

namespace ivf_rabitq::codec::detail::avx512_estimate {

// The query side of the estimate, broadcast.
struct EstimateLanes {
  __m512 pad, lo_q, step_q, code_sum_q, norm2_q, vq, six, zero;
  explicit EstimateLanes(const EstimateScalars& s)
      : pad(_mm512_set1_ps(s.pad)),
        lo_q(_mm512_set1_ps(s.lo_q)),
        step_q(_mm512_set1_ps(s.step_q)),
        code_sum_q(_mm512_set1_ps(s.code_sum_q)),
        norm2_q(_mm512_set1_ps(s.norm2_q)),
        vq(_mm512_div_ps(_mm512_mul_ps(step_q, step_q), _mm512_set1_ps(12.0f))),
        six(_mm512_set1_ps(6.0f)),
        zero(_mm512_setzero_ps()) {}
};

// Estimates and lower bounds of 16 rows from their factors, vx = (step_x x step_x) / 12 and
// their inner products as f32 (exact integers below 2^24 convert exactly; larger ones are
// rounded once, as the scalar conversion of the same integer rounds them).
inline void estimate16_f(const EstimateLanes& k, __m512 norm2_x, __m512 step_x, __m512 lo_x, __m512 code_sum_x,
                         __m512 vx, __m512 ipf, float* estimate, float* lower) {
  const __m512 t0 = _mm512_mul_ps(k.pad, _mm512_mul_ps(lo_x, k.lo_q));
  const __m512 t1 = _mm512_mul_ps(_mm512_mul_ps(step_x, k.lo_q), code_sum_x);
  const __m512 t2 = _mm512_mul_ps(_mm512_mul_ps(lo_x, k.step_q), k.code_sum_q);
  const __m512 t3 = _mm512_mul_ps(_mm512_mul_ps(step_x, k.step_q), ipf);
  const __m512 S = _mm512_add_ps(t0, _mm512_add_ps(t1, _mm512_add_ps(t2, t3)));
  const __m512 est = _mm512_sub_ps(_mm512_add_ps(norm2_x, k.norm2_q), _mm512_add_ps(S, S));
  __m512 var = _mm512_add_ps(_mm512_mul_ps(vx, k.norm2_q), _mm512_mul_ps(k.vq, norm2_x));
  var = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(var, k.zero, _CMP_GE_OQ), var);
  _mm512_storeu_ps(estimate, est);
  _mm512_storeu_ps(lower, _mm512_sub_ps(est, _mm512_mul_ps(k.six, _mm512_sqrt_ps(var))));
}

// The same from 16 u64 inner products.
inline void estimate16(const EstimateLanes& k, __m512 norm2_x, __m512 step_x, __m512 lo_x, __m512 code_sum_x,
                       __m512 vx, const uint64_t* ip, float* estimate, float* lower) {
  const __m256 ip_lo = _mm512_cvtepu64_ps(_mm512_loadu_si512(ip));
  const __m256 ip_hi = _mm512_cvtepu64_ps(_mm512_loadu_si512(ip + 8));
  const __m512 ipf = _mm512_insertf32x8(_mm512_castps256_ps512(ip_lo), ip_hi, 1);
  estimate16_f(k, norm2_x, step_x, lo_x, code_sum_x, vx, ipf, estimate, lower);
}

}  // namespace ivf_rabitq::codec::detail::avx512_estimate
