// AVX-512 thinned batch: 16 rows a step; keys and bins in registers, the kept positions
// written by a compressing store, the histogram counted from a stored vector of bins.
#include <immintrin.h>

#include "ivf_rabitq/search/thin_rows.hpp"

namespace ivf_rabitq::index::detail {

size_t thin_rows_avx512(const float* est, const float* low, size_t n, float w, uint32_t lo, unsigned shift,
                        uint32_t bins, uint32_t* hist, uint32_t* idx) {
  const __m512 vw = _mm512_set1_ps(w);
  const __m512i vlo = _mm512_set1_epi32(static_cast<int>(lo));
  const __m512i vtop = _mm512_set1_epi32(static_cast<int>(bins - 1));
  const __m512i vsign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
  const __m128i vshift = _mm_cvtsi32_si128(static_cast<int>(shift));
  __m512i pos = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i step = _mm512_set1_epi32(16);
  alignas(64) uint32_t b16[16];
  size_t m = 0;
  for (size_t j = 0; j < n; j += 16) {
    const size_t cnt = n - j < 16 ? n - j : 16;
    const __mmask16 live = static_cast<__mmask16>(cnt == 16 ? 0xFFFFu : (1u << cnt) - 1u);
    if (hist != nullptr) {
      const __m512i b = _mm512_castps_si512(_mm512_maskz_loadu_ps(live, est + j));
      // total-order key: negative values flip every bit, the others set the sign bit
      const __m512i key = _mm512_xor_si512(b, _mm512_or_si512(_mm512_srai_epi32(b, 31), vsign));
      const __m512i d = _mm512_sub_epi32(_mm512_max_epu32(key, vlo), vlo);
      _mm512_store_si512(b16, _mm512_min_epu32(_mm512_srl_epi32(d, vshift), vtop));
      for (size_t i = 0; i < cnt; ++i) ++hist[b16[i]];
    }
    const __m512 l = _mm512_maskz_loadu_ps(live, low + j);
    const __mmask16 keep = _mm512_mask_cmp_ps_mask(live, l, vw, _CMP_NGT_UQ);
    _mm512_mask_compressstoreu_epi32(idx + m, keep, pos);
    m += static_cast<size_t>(__builtin_popcount(keep));
    pos = _mm512_add_epi32(pos, step);
  }
  return m;
}

}  // namespace ivf_rabitq::index::detail
