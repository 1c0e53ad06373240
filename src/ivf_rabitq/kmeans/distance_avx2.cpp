// AVX2 distance kernels: a block of 16 vectors is two 8-lane registers, each lane one
// vector, terms added in coordinate order (separate multiply and add; never fused).
#include <immintrin.h>

#include <algorithm>

#include "ivf_rabitq/kmeans/distance.hpp"

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

// In-register transpose of an 8 x 8 block: on return v[c] holds element c of every input.
inline void transpose8(__m256* v) {
  __m256 t[8];
  for (int i = 0; i < 8; i += 2) {
    t[i] = _mm256_unpacklo_ps(v[i], v[i + 1]);
    t[i + 1] = _mm256_unpackhi_ps(v[i], v[i + 1]);
  }
  __m256 s[8];
  for (int i = 0; i < 8; i += 4) {
    s[i] = _mm256_shuffle_ps(t[i], t[i + 2], 0x44);
    s[i + 1] = _mm256_shuffle_ps(t[i], t[i + 2], 0xEE);
    s[i + 2] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0x44);
    s[i + 3] = _mm256_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
  }
  // s[m] (rows 0-3) and s[4 + m] (rows 4-7) hold elements m and m + 4 in their two halves.
  for (int m = 0; m < 4; ++m) {
    v[m] = _mm256_permute2f128_ps(s[m], s[4 + m], 0x20);
    v[4 + m] = _mm256_permute2f128_ps(s[m], s[4 + m], 0x31);
  }
}

inline __m256i prefix_mask(size_t len) {
  alignas(32) static const int32_t ones[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(ones + 8 - len));
}

// Partial sums of G groups of 8 lanes over coordinates [j, j + len), len <= 8.
template <int G>
inline void lanes_step(const float* q, const float* const* r, size_t j, size_t len, __m256* acc) {
  __m256 qv;
  __m256 v[G][8];
  if (len == 8) {
    qv = _mm256_loadu_ps(q + j);
    for (int g = 0; g < G; ++g) {
      for (int l = 0; l < 8; ++l) {
        const __m256 d = _mm256_sub_ps(qv, _mm256_loadu_ps(r[8 * g + l] + j));
        v[g][l] = _mm256_mul_ps(d, d);
      }
    }
  } else {
    const __m256i m = prefix_mask(len);
    qv = _mm256_maskload_ps(q + j, m);
    for (int g = 0; g < G; ++g) {
      for (int l = 0; l < 8; ++l) {
        const __m256 d = _mm256_sub_ps(qv, _mm256_maskload_ps(r[8 * g + l] + j, m));
        v[g][l] = _mm256_mul_ps(d, d);
      }
    }
  }
  for (int g = 0; g < G; ++g) transpose8(v[g]);
  for (size_t c = 0; c < len; ++c) {
    for (int g = 0; g < G; ++g) acc[g] = _mm256_add_ps(acc[g], v[g][c]);
  }
}

template <int G>
bool lanes_avx2(const float* q, const float* const* rows, size_t count, size_t dim, bool abandon, float bound,
                float* out) {
  const float* r[8 * G];
  for (size_t l = 0; l < 8 * G; ++l) r[l] = rows[l < count ? l : 0];
  const unsigned valid = (1u << count) - 1;
  const __m256 vbound = _mm256_set1_ps(bound);
  __m256 acc[G];
  for (int g = 0; g < G; ++g) acc[g] = _mm256_setzero_ps();
  for (size_t j = 0; j < dim; j += 8) {
    lanes_step<G>(q, r, j, std::min<size_t>(8, dim - j), acc);
    // Check every 16 coordinates.
    if (abandon && (j & 8) && j + 8 < dim) {
      unsigned below = 0;
      for (int g = 0; g < G; ++g) {
        below |= static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(acc[g], vbound, _CMP_LT_OQ))) << (8 * g);
      }
      if ((below & valid) == 0) return false;
    }
  }
  alignas(32) float tmp[8 * G];
  for (int g = 0; g < G; ++g) _mm256_store_ps(tmp + 8 * g, acc[g]);
  for (size_t l = 0; l < count; ++l) out[l] = tmp[l];
  return true;
}

}  // namespace

unsigned sq_l2_pick_blocks_avx2(const float* q, const float* packed, size_t dim, size_t n, const uint32_t* blk,
                                size_t count, bool abandon, float bound, float* out) {
  // One block (two registers) after another; a block is given up at the first check where
  // none of its valid lanes is below the bound.
  const __m256 vbound = _mm256_set1_ps(bound);
  unsigned gave_up = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t b = blk[i];
    const float* blkp = packed + b * dim * kBlock;
    const size_t v = std::min(kBlock, n - b * kBlock);
    const unsigned valid = (1u << v) - 1;
    __m256 acc[2] = {_mm256_setzero_ps(), _mm256_setzero_ps()};
    size_t j = 0;
    bool dead = false;
    while (j < dim) {
      const size_t je = std::min(dim, j + kCheckEvery);
      accumulate<1>(q, blkp, 0, j, je, acc);
      j = je;
      if (abandon && j < dim) {
        const unsigned below = gt_mask(vbound, acc[0]) | (gt_mask(vbound, acc[1]) << 8);
        if ((below & valid) == 0) {
          dead = true;
          break;
        }
      }
    }
    if (dead) {
      gave_up |= 1u << i;
      continue;
    }
    _mm256_storeu_ps(out + b * kBlock, acc[0]);
    _mm256_storeu_ps(out + b * kBlock + 8, acc[1]);
  }
  return gave_up;
}

bool sq_l2_lanes_avx2(const float* q, const float* const* rows, size_t count, size_t dim, bool abandon,
                      float bound, float* out) {
  if (count == 0) return true;
  if (count <= 8) return lanes_avx2<1>(q, rows, count, dim, abandon, bound, out);
  return lanes_avx2<2>(q, rows, count, dim, abandon, bound, out);
}

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
