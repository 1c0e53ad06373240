// AVX2 distance kernels: a block of 16 vectors is two 8-lane registers, each lane one
// vector, terms added in coordinate order (separate multiply and add; never fused).
#include <immintrin.h>

#include <algorithm>

#include "ivf_rabitq/distance.hpp"

namespace ivf_rabitq::distance::detail {

namespace {

// Two blocks (four registers) at a time.
constexpr int kGroup = 2;
constexpr size_t kCheckEvery = 16;

template <int G>
inline void accumulate(const float* q, const float* blk, size_t stride, size_t j0, size_t j1, __m256* acc) {
  for (size_t j = j0; j < j1; ++j) {
    const __m256 qj = _mm256_set1_ps(q[j]);
    const float* p = blk + j * kBlock;
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      const __m256 d0 = _mm256_sub_ps(qj, _mm256_loadu_ps(p + g * stride));
      const __m256 d1 = _mm256_sub_ps(qj, _mm256_loadu_ps(p + g * stride + 8));
      acc[2 * g] = _mm256_add_ps(acc[2 * g], _mm256_mul_ps(d0, d0));
      acc[2 * g + 1] = _mm256_add_ps(acc[2 * g + 1], _mm256_mul_ps(d1, d1));
    }
  }
}

inline unsigned gt_mask(__m256 a, __m256 b) {
  return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_GT_OQ)));
}

template <int G>
inline bool group_nearest(const float* q, const float* blk, size_t dim, size_t stride, float lim,
                          unsigned last_valid, __m256* acc) {
  for (int g = 0; g < 2 * G; ++g) acc[g] = _mm256_setzero_ps();
  const __m256 vlim = _mm256_set1_ps(lim);
  size_t j = 0;
  while (j < dim) {
    const size_t je = std::min(dim, j + kCheckEvery);
    accumulate<G>(q, blk, stride, j, je, acc);
    j = je;
    if (j < dim) {
      unsigned all = 0xFFFF;
      for (int g = 0; g + 1 < G; ++g) all &= gt_mask(acc[2 * g], vlim) | (gt_mask(acc[2 * g + 1], vlim) << 8);
      all &= (gt_mask(acc[2 * G - 2], vlim) | (gt_mask(acc[2 * G - 1], vlim) << 8) | (~last_valid & 0xFFFFu));
      if (all == 0xFFFF) return true;
    }
  }
  return false;
}

inline void scan_lanes(const __m256* acc, int blocks, size_t first, size_t n, Nearest& best) {
  alignas(32) float tmp[kGroup * kBlock];
  for (int g = 0; g < 2 * blocks; ++g) _mm256_store_ps(tmp + g * 8, acc[g]);
  const size_t cnt = std::min(static_cast<size_t>(blocks) * kBlock, n - first);
  for (size_t l = 0; l < cnt; ++l) {
    if (tmp[l] < best.dist) {
      best.dist = tmp[l];
      best.index = static_cast<uint32_t>(first + l);
    }
  }
}

}  // namespace

void sq_l2_blocks_avx2(const float* q, const float* packed, size_t dim, size_t b0, size_t b1, float* out) {
  const size_t stride = dim * kBlock;
  size_t b = b0;
  for (; b + kGroup <= b1; b += kGroup) {
    __m256 acc[2 * kGroup];
    for (int g = 0; g < 2 * kGroup; ++g) acc[g] = _mm256_setzero_ps();
    accumulate<kGroup>(q, packed + b * stride, stride, 0, dim, acc);
    for (int g = 0; g < 2 * kGroup; ++g) _mm256_storeu_ps(out + (b - b0) * kBlock + g * 8, acc[g]);
  }
  for (; b < b1; ++b) {
    __m256 acc[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
    accumulate<1>(q, packed + b * stride, stride, 0, dim, acc);
    _mm256_storeu_ps(out + (b - b0) * kBlock, acc[0]);
    _mm256_storeu_ps(out + (b - b0) * kBlock + 8, acc[1]);
  }
}

Nearest nearest_avx2(const float* q, const float* packed, size_t dim, size_t n, float bound) {
  Nearest best;
  const size_t nb = (n + kBlock - 1) / kBlock;
  const size_t stride = dim * kBlock;
  const size_t tail = n % kBlock;
  const unsigned tail_mask = tail == 0 ? 0xFFFFu : ((1u << tail) - 1);
  auto limit = [&] { return (best.dist < bound || bound != bound) ? best.dist : bound; };
  size_t b = 0;
  for (; b + kGroup <= nb; b += kGroup) {
    __m256 acc[2 * kGroup];
    const unsigned lv = (b + kGroup == nb) ? tail_mask : 0xFFFFu;
    if (group_nearest<kGroup>(q, packed + b * stride, dim, stride, limit(), lv, acc)) continue;
    scan_lanes(acc, kGroup, b * kBlock, n, best);
  }
  for (; b < nb; ++b) {
    __m256 acc[2];
    const unsigned lv = (b + 1 == nb) ? tail_mask : 0xFFFFu;
    if (group_nearest<1>(q, packed + b * stride, dim, stride, limit(), lv, acc)) continue;
    scan_lanes(acc, 1, b * kBlock, n, best);
  }
  return best;
}

}  // namespace ivf_rabitq::distance::detail
