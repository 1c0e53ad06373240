// AVX2 centroid ranking kernel: two registers per packed block, each lane one vector,
// terms added in coordinate order (separate subtract, multiply and add; never fused).
#include <immintrin.h>

#include <algorithm>

#include "ivf_rabitq/search/search_rank.hpp"

namespace ivf_rabitq::search::detail {

namespace {

template <int G>
bool run(const float* q, const float* blk, size_t dim, float lim, float* out) {
  const size_t stride = dim * distance::kBlock;
  __m256 acc[2 * G];
  for (int g = 0; g < 2 * G; ++g) acc[g] = _mm256_setzero_ps();
  const __m256 vlim = _mm256_set1_ps(lim);
  size_t j = 0;
  while (j < dim) {
    const size_t je = std::min(dim, j + 16);
    for (; j < je; ++j) {
      const __m256 qj = _mm256_set1_ps(q[j]);
      const float* p = blk + j * distance::kBlock;
      for (int g = 0; g < G; ++g) {
        for (int h = 0; h < 2; ++h) {
          const __m256 d = _mm256_sub_ps(qj, _mm256_loadu_ps(p + g * stride + 8 * h));
          acc[2 * g + h] = _mm256_add_ps(acc[2 * g + h], _mm256_mul_ps(d, d));
        }
      }
    }
    if (j < dim) {
      int all = 0xFF;
      for (int g = 0; g < 2 * G; ++g) all &= _mm256_movemask_ps(_mm256_cmp_ps(acc[g], vlim, _CMP_GT_OQ));
      if (all == 0xFF) return false;
    }
  }
  for (int g = 0; g < 2 * G; ++g) _mm256_storeu_ps(out + 8 * g, acc[g]);
  return true;
}

}  // namespace

bool rank_blocks_avx2(const float* q, const float* blk, size_t dim, size_t nb, float lim, float* out) {
  switch (nb) {
    case 1: return run<1>(q, blk, dim, lim, out);
    case 2: return run<2>(q, blk, dim, lim, out);
    case 3: return run<3>(q, blk, dim, lim, out);
    default: return run<4>(q, blk, dim, lim, out);
  }
}

}  // namespace ivf_rabitq::search::detail
