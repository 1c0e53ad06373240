// AVX-512 distance kernels: one 16-lane register per block, each lane one vector, terms
// added in coordinate order (separate multiply and add; never fused).
// GCC 12 reports the deliberately undefined pass-through operand inside the unmasked
// shuffle intrinsics as "may be used uninitialized"; the operand is never read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>

#include "ivf_rabitq/kmeans/distance.hpp"

namespace ivf_rabitq::distance::detail {

namespace {

// Four independent blocks at a time keep enough additions in flight to cover their latency;
// the nearest scan takes two, so that a group is abandoned more often.
constexpr int kGroup = 4;
constexpr int kNearestGroup = 2;
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

// In-register transpose of a 16 x 16 block: on return v[c] holds element c of every input
// v[0..15] (lane r of v[c] = old element c of v[r]).
inline void transpose16(__m512* v) {
  __m512 t[16];
  for (int i = 0; i < 16; i += 2) {
    t[i] = _mm512_unpacklo_ps(v[i], v[i + 1]);
    t[i + 1] = _mm512_unpackhi_ps(v[i], v[i + 1]);
  }
  // Each 128-bit lane now pairs two rows; gather four rows per 128-bit lane.
  for (int i = 0; i < 16; i += 4) {
    v[i] = _mm512_shuffle_ps(t[i], t[i + 2], 0x44);
    v[i + 1] = _mm512_shuffle_ps(t[i], t[i + 2], 0xEE);
    v[i + 2] = _mm512_shuffle_ps(t[i + 1], t[i + 3], 0x44);
    v[i + 3] = _mm512_shuffle_ps(t[i + 1], t[i + 3], 0xEE);
  }
  // v[4g + m] (rows 4g..4g+3) holds elements m, m+4, m+8, m+12 in its four 128-bit lanes.
  for (int m = 0; m < 4; ++m) {
    t[m] = _mm512_shuffle_f32x4(v[m], v[4 + m], 0x88);           // elements m, m+8 of rows 0-7
    t[4 + m] = _mm512_shuffle_f32x4(v[m], v[4 + m], 0xDD);       // elements m+4, m+12 of rows 0-7
    t[8 + m] = _mm512_shuffle_f32x4(v[8 + m], v[12 + m], 0x88);  // elements m, m+8 of rows 8-15
    t[12 + m] = _mm512_shuffle_f32x4(v[8 + m], v[12 + m], 0xDD);
  }
  for (int m = 0; m < 8; ++m) {
    v[m] = _mm512_shuffle_f32x4(t[m], t[8 + m], 0x88);
    v[8 + m] = _mm512_shuffle_f32x4(t[m], t[8 + m], 0xDD);
  }
}

template <int G>
inline void accumulate_picked(const float* q, const float* const* base, size_t j0, size_t j1, __m512* acc) {
  for (size_t j = j0; j < j1; ++j) {
    const __m512 qj = _mm512_set1_ps(q[j]);
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      const __m512 d = _mm512_sub_ps(qj, _mm512_load_ps(base[g] + j * kBlock));
      acc[g] = _mm512_add_ps(acc[g], _mm512_mul_ps(d, d));
    }
  }
}

}  // namespace

unsigned sq_l2_pick_blocks_avx512(const float* q, const float* packed, size_t dim, size_t n, const uint32_t* blk,
                                  size_t count, bool abandon, float bound, float* out) {
  // The blocks still running occupy slots [0, active); a block given up is replaced by
  // the last running one, so the inner loop never computes a dead block.
  const float* base[kMaxPick];
  __m512 acc[kMaxPick];
  __mmask16 valid[kMaxPick];
  unsigned slot[kMaxPick];
  size_t active = std::min(count, kMaxPick);
  for (size_t i = 0; i < active; ++i) {
    const size_t b = blk[i];
    base[i] = packed + b * dim * kBlock;
    acc[i] = _mm512_setzero_ps();
    const size_t v = std::min(kBlock, n - b * kBlock);
    valid[i] = static_cast<__mmask16>((1u << v) - 1);
    slot[i] = static_cast<unsigned>(i);
  }
  const __m512 vbound = _mm512_set1_ps(bound);
  unsigned gave_up = 0;
  size_t j = 0;
  while (j < dim && active > 0) {
    const size_t je = std::min(dim, j + kCheckEvery);
    switch (active) {
      case 1: accumulate_picked<1>(q, base, j, je, acc); break;
      case 2: accumulate_picked<2>(q, base, j, je, acc); break;
      case 3: accumulate_picked<3>(q, base, j, je, acc); break;
      default: accumulate_picked<4>(q, base, j, je, acc); break;
    }
    j = je;
    if (abandon && j < dim) {
      for (size_t g = active; g-- > 0;) {
        if ((_mm512_cmp_ps_mask(acc[g], vbound, _CMP_LT_OQ) & valid[g]) != 0) continue;
        gave_up |= 1u << slot[g];
        --active;
        base[g] = base[active];
        acc[g] = acc[active];
        valid[g] = valid[active];
        slot[g] = slot[active];
      }
    }
  }
  for (size_t g = 0; g < active; ++g) _mm512_storeu_ps(out + static_cast<size_t>(blk[slot[g]]) * kBlock, acc[g]);
  return gave_up;
}

bool sq_l2_lanes_avx512(const float* q, const float* const* rows, size_t count, size_t dim, bool abandon,
                        float bound, float* out) {
  if (count == 0) return true;
  const float* r[16];
  for (size_t l = 0; l < 16; ++l) r[l] = rows[l < count ? l : 0];
  const __mmask16 valid = static_cast<__mmask16>((1u << count) - 1);
  const __m512 vbound = _mm512_set1_ps(bound);
  __m512 acc = _mm512_setzero_ps();
  for (size_t j = 0; j < dim; j += 16) {
    const size_t len = std::min<size_t>(16, dim - j);
    const __mmask16 m = static_cast<__mmask16>((1u << len) - 1);
    const __m512 qv = _mm512_maskz_loadu_ps(m, q + j);
    // Squares of the differences, one vector's coordinates j..j+15 per register (the
    // element-wise difference and square round exactly as the scalar ones).
    __m512 v[16];
    for (int l = 0; l < 16; ++l) {
      const __m512 d = _mm512_sub_ps(qv, _mm512_maskz_loadu_ps(m, r[l] + j));
      v[l] = _mm512_mul_ps(d, d);
    }
    transpose16(v);
    // Lane l adds its own terms in coordinate order.
    for (size_t c = 0; c < len; ++c) acc = _mm512_add_ps(acc, v[c]);
    if (abandon && j + 16 < dim) {
      if ((_mm512_cmp_ps_mask(acc, vbound, _CMP_LT_OQ) & valid) == 0) return false;
    }
  }
  alignas(64) float tmp[16];
  _mm512_store_ps(tmp, acc);
  for (size_t l = 0; l < count; ++l) out[l] = tmp[l];
  return true;
}

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
  for (; b + kNearestGroup <= nb; b += kNearestGroup) {
    __m512 acc[kNearestGroup];
    const __mmask16 lv = (b + kNearestGroup == nb) ? tail_mask : static_cast<__mmask16>(0xFFFF);
    if (group_nearest<kNearestGroup>(q, packed + b * stride, dim, stride, limit(), lv, acc)) continue;
    scan_lanes(acc, kNearestGroup, b * kBlock, n, best);
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
