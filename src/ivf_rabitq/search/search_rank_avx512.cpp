// AVX-512 centroid ranking kernel: one register per packed block, each lane one vector,
// terms added in coordinate order (separate subtract, multiply and add; never fused).
#include <immintrin.h>

#include <algorithm>

#include "ivf_rabitq/search/search_rank.hpp"

namespace ivf_rabitq::search::detail {

namespace {

template <int G>
bool run(const float* q, const float* blk, size_t dim, float lim, float* out) {
  const size_t stride = dim * distance::kBlock;
  __m512 acc[G];
  for (int g = 0; g < G; ++g) acc[g] = _mm512_setzero_ps();
  const __m512 vlim = _mm512_set1_ps(lim);
  size_t j = 0;
  while (j < dim) {
    const size_t je = std::min(dim, j + 16);
    for (; j < je; ++j) {
      const __m512 qj = _mm512_set1_ps(q[j]);
      const float* p = blk + j * distance::kBlock;
      for (int g = 0; g < G; ++g) {
        const __m512 d = _mm512_sub_ps(qj, _mm512_load_ps(p + g * stride));
        acc[g] = _mm512_add_ps(acc[g], _mm512_mul_ps(d, d));
      }
    }
    if (j < dim) {
      __mmask16 all = 0xFFFF;
      for (int g = 0; g < G; ++g) all &= _mm512_cmp_ps_mask(acc[g], vlim, _CMP_GT_OQ);
      if (all == 0xFFFF) return false;
    }
  }
  for (int g = 0; g < G; ++g) _mm512_storeu_ps(out + g * distance::kBlock, acc[g]);
  return true;
}

}  // namespace

bool rank_blocks_avx512(const float* q, const float* blk, size_t dim, size_t nb, float lim, float* out) {
  switch (nb) {
    case 1: return run<1>(q, blk, dim, lim, out);
    case 2: return run<2>(q, blk, dim, lim, out);
    case 3: return run<3>(q, blk, dim, lim, out);
    default: return run<4>(q, blk, dim, lim, out);
  }
}

}  // namespace ivf_rabitq::search::detail
