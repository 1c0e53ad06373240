// AVX-512 distance kernels: one 16-lane register per block, each lane one vector, terms
// added in coordinate order (separate multiply and add; never fused).
#include <immintrin.h>

#include <algorithm>

#include "ivf_rabitq/distance.hpp"

namespace ivf_rabitq::distance::detail {

namespace {

// Four independent blocks at a time keep enough additions in flight to cover their latency.
constexpr int kGroup = 4;
// Dimensions between two abandon checks.
constexpr size_t kCheckEvery = 16;

template <int G>
inline void accumulate(const float* q, const float* blk, size_t stride, size_t j0, size_t j1, __m512* acc) {
  for (size_t j = j0; j < j1; ++j) {
    const __m512 qj = _mm512_set1_ps(q[j]);
    const float* p = blk + j * kBlock;
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      const __m512 d = _mm512_sub_ps(qj, _mm512_loadu_ps(p + g * stride));
      acc[g] = _mm512_add_ps(acc[g], _mm512_mul_ps(d, d));
    }
  }
}

// Runs one group of G blocks; returns true when every valid lane's partial sum exceeded
// `lim` at a check (the group is abandoned and acc is meaningless).
template <int G>
inline bool group_nearest(const float* q, const float* blk, size_t dim, size_t stride, float lim,
                          __mmask16 last_valid, __m512* acc) {
  for (int g = 0; g < G; ++g) acc[g] = _mm512_setzero_ps();
  const __m512 vlim = _mm512_set1_ps(lim);
  size_t j = 0;
  while (j < dim) {
    const size_t je = std::min(dim, j + kCheckEvery);
    accumulate<G>(q, blk, stride, j, je, acc);
    j = je;
    if (j < dim) {
      __mmask16 all = 0xFFFF;
      for (int g = 0; g + 1 < G; ++g) all &= _mm512_cmp_ps_mask(acc[g], vlim, _CMP_GT_OQ);
      all &= static_cast<__mmask16>(_mm512_cmp_ps_mask(acc[G - 1], vlim, _CMP_GT_OQ) | ~last_valid);
      if (all == 0xFFFF) return true;
    }
  }
  return false;
}

inline void scan_lanes(const __m512* acc, int blocks, size_t first, size_t n, Nearest& best) {
  alignas(64) float tmp[kGroup * kBlock];
  for (int g = 0; g < blocks; ++g) _mm512_store_ps(tmp + g * kBlock, acc[g]);
  const size_t cnt = std::min(static_cast<size_t>(blocks) * kBlock, n - first);
  for (size_t l = 0; l < cnt; ++l) {
    if (tmp[l] < best.dist) {
      best.dist = tmp[l];
      best.index = static_cast<uint32_t>(first + l);
    }
  }
}

}  // namespace

void sq_l2_blocks_avx512(const float* q, const float* packed, size_t dim, size_t b0, size_t b1, float* out) {
  const size_t stride = dim * kBlock;
  size_t b = b0;
  for (; b + kGroup <= b1; b += kGroup) {
    __m512 acc[kGroup];
    for (int g = 0; g < kGroup; ++g) acc[g] = _mm512_setzero_ps();
    accumulate<kGroup>(q, packed + b * stride, stride, 0, dim, acc);
    for (int g = 0; g < kGroup; ++g) _mm512_storeu_ps(out + (b - b0 + g) * kBlock, acc[g]);
  }
  for (; b < b1; ++b) {
    __m512 acc[1] = {_mm512_setzero_ps()};
    accumulate<1>(q, packed + b * stride, stride, 0, dim, acc);
    _mm512_storeu_ps(out + (b - b0) * kBlock, acc[0]);
  }
}

Nearest nearest_avx512(const float* q, const float* packed, size_t dim, size_t n, float bound) {
  Nearest best;
  const size_t nb = (n + kBlock - 1) / kBlock;
  const size_t stride = dim * kBlock;
  const size_t tail = n % kBlock;
  const __mmask16 tail_mask = tail == 0 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << tail) - 1);
  auto limit = [&] { return (best.dist < bound || bound != bound) ? best.dist : bound; };
  size_t b = 0;
  for (; b + kGroup <= nb; b += kGroup) {
    __m512 acc[kGroup];
    const __mmask16 lv = (b + kGroup == nb) ? tail_mask : static_cast<__mmask16>(0xFFFF);
    if (group_nearest<kGroup>(q, packed + b * stride, dim, stride, limit(), lv, acc)) continue;
    scan_lanes(acc, kGroup, b * kBlock, n, best);
  }
  for (; b < nb; ++b) {
    __m512 acc[1];
    const __mmask16 lv = (b + 1 == nb) ? tail_mask : static_cast<__mmask16>(0xFFFF);
    if (group_nearest<1>(q, packed + b * stride, dim, stride, limit(), lv, acc)) continue;
    scan_lanes(acc, 1, b * kBlock, n, best);
  }
  return best;
}

}  // namespace ivf_rabitq::distance::detail
