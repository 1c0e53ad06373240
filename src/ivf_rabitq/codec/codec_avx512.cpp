// AVX-512 (F, BW, VL, DQ, VPOPCNTDQ) codec kernels. Called only through the dispatch in
// codec.cpp when the CPU supports them. Integer sums are exact, so any lane order gives
// the scalar result; the float kernels only work across independent lanes.
// GCC 12 reports its own _mm512_undefined_* helpers inside the intrinsic headers as
// "may be used uninitialized"; the values are fully defined by the instructions.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/codec/estimate_avx512.hpp"
#include "ivf_rabitq/codec/fastscan.hpp"

namespace ivf_rabitq::codec::detail {

namespace {

// Pairwise sums of adjacent lanes of a then b: [a0+a1, a2+a3, a4+a5, a6+a7, b0+b1, ..., b6+b7].
inline __m512i hadd64(__m512i a, __m512i b) {
  const __m512i ev = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
  const __m512i od = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
  return _mm512_add_epi64(_mm512_permutex2var_epi64(a, ev, b), _mm512_permutex2var_epi64(a, od, b));
}

// Sums groups of G adjacent lanes over v[0..G) (G a power of two <= 8) into v[0]: lane r of
// the result is the sum of lanes r*G .. r*G+G-1 of the concatenation v[0] ++ v[1] ++ ...
template <int G>
inline __m512i tree_reduce(__m512i* v) {
  if constexpr (G >= 2) {
    for (int i = 0; i < G / 2; ++i) v[i] = hadd64(v[2 * i], v[2 * i + 1]);
    return tree_reduce<G / 2>(v);
  } else {
    return v[0];
  }
}

inline __mmask8 lane_mask(size_t n) { return n >= 8 ? __mmask8(0xFF) : __mmask8((1u << n) - 1u); }

// Rows whose code (NB planes x W words, G = NB*W in {1,2,4,8}) fits a fraction of a
// vector: 8 consecutive rows are G vectors, lane k holding word k % G of its row. Each
// lane is paired with the matching query word for every query plane j and shifted by
// j + its row plane.
template <int NB, int W>
void ip_packed(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint64_t* out) {
  constexpr int G = NB * W;
  static_assert(G == 1 || G == 2 || G == 4 || G == 8);
  __m512i qv[4];
  __m512i sh[4];
  for (int j = 0; j < 4; ++j) {
    alignas(64) uint64_t qa[8];
    alignas(64) uint64_t sa[8];
    for (int k = 0; k < 8; ++k) {
      const int f = k % G;
      qa[k] = q[j * W + f % W];
      sa[k] = static_cast<uint64_t>(j + f / W);
    }
    qv[j] = _mm512_load_si512(qa);
    sh[j] = _mm512_load_si512(sa);
  }
  size_t r = 0;
  for (; r + 8 <= n_rows; r += 8) {
    const uint64_t* base = codes + r * G;
    __m512i v[G];
    for (int i = 0; i < G; ++i) {
      const __m512i cz = _mm512_loadu_si512(base + 8 * i);
      __m512i acc = _mm512_sllv_epi64(_mm512_popcnt_epi64(_mm512_and_si512(cz, qv[0])), sh[0]);
      for (int j = 1; j < 4; ++j)
        acc = _mm512_add_epi64(acc, _mm512_sllv_epi64(_mm512_popcnt_epi64(_mm512_and_si512(cz, qv[j])), sh[j]));
      v[i] = acc;
    }
    _mm512_storeu_si512(out + r, tree_reduce<G>(v));
  }
  if (r < n_rows) {
    const size_t rem = n_rows - r;
    const size_t total = rem * G;
    const uint64_t* base = codes + r * G;
    __m512i v[G];
    for (int i = 0; i < G; ++i) {
      const size_t have = total > size_t(8 * i) ? total - size_t(8 * i) : 0;
      const __m512i cz = _mm512_maskz_loadu_epi64(lane_mask(have), base + 8 * i);
      __m512i acc = _mm512_setzero_si512();
      for (int j = 0; j < 4; ++j)
        acc = _mm512_add_epi64(acc, _mm512_sllv_epi64(_mm512_popcnt_epi64(_mm512_and_si512(cz, qv[j])), sh[j]));
      v[i] = acc;
    }
    _mm512_mask_storeu_epi64(out + r, lane_mask(rem), tree_reduce<G>(v));
  }
}

// Rows of any shape: one accumulator per row over chunks of 8 words of each plane (the
// last chunk masked), then 8 rows' accumulators reduced together. NB_ and W_ > 0 fix
// the shape at compile time (loops unrolled, query chunks kept in registers).
template <int NB_, int W_>
void ip_rowwise(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint32_t n_bits_rt,
                size_t words_rt, uint64_t* out) {
  constexpr bool kFixed = NB_ > 0 && W_ > 0;
  const size_t nb = kFixed ? size_t(NB_) : n_bits_rt;
  const size_t W = kFixed ? size_t(W_) : words_rt;
  const size_t stride = nb * W;
  const size_t chunks = (W + 7) / 8;
  const __mmask8 tail = lane_mask(W - (chunks - 1) * 8);

  auto row_acc = [&](const uint64_t* code) {
    __m512i acc = _mm512_setzero_si512();
    for (size_t c = 0; c < chunks; ++c) {
      const __mmask8 m = (c + 1 == chunks) ? tail : __mmask8(0xFF);
      __m512i qc[4];
      for (int j = 0; j < 4; ++j) qc[j] = _mm512_maskz_loadu_epi64(m, q + j * W + c * 8);
      for (size_t l = 0; l < nb; ++l) {
        const __m512i cv = _mm512_maskz_loadu_epi64(m, code + l * W + c * 8);
        for (int j = 0; j < 4; ++j) {
          const __m512i p = _mm512_popcnt_epi64(_mm512_and_si512(qc[j], cv));
          acc = _mm512_add_epi64(acc, _mm512_sll_epi64(p, _mm_cvtsi64_si128(int64_t(l) + j)));
        }
      }
    }
    return acc;
  };

  size_t r = 0;
  for (; r + 8 <= n_rows; r += 8) {
    __m512i v[8];
    for (int i = 0; i < 8; ++i) v[i] = row_acc(codes + (r + i) * stride);
    _mm512_storeu_si512(out + r, tree_reduce<8>(v));
  }
  if (r < n_rows) {
    const size_t rem = n_rows - r;
    __m512i v[8];
    for (size_t i = 0; i < 8; ++i) v[i] = i < rem ? row_acc(codes + (r + i) * stride) : _mm512_setzero_si512();
    _mm512_mask_storeu_epi64(out + r, lane_mask(rem), tree_reduce<8>(v));
  }
}

}  // namespace

void ip_rows_avx512(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint32_t n_bits, size_t words,
                    uint64_t* out) {
  if (n_bits == 0 || words == 0) {
    std::fill(out, out + n_rows, uint64_t{0});
    return;
  }
#define TANDREL_IP_CASE(NB, W, FN)                    \
  if (n_bits == NB && words == W) {                   \
    FN<NB, W>(q, codes, n_rows, out);                 \
    return;                                           \
  }
#define TANDREL_IP_ROW(NB, W)                                   \
  if (n_bits == NB && words == W) {                             \
    ip_rowwise<NB, W>(q, codes, n_rows, n_bits, words, out);    \
    return;                                                     \
  }
  TANDREL_IP_CASE(1, 2, ip_packed)
  TANDREL_IP_CASE(2, 2, ip_packed)
  TANDREL_IP_CASE(4, 2, ip_packed)
  TANDREL_IP_CASE(1, 1, ip_packed)
  TANDREL_IP_CASE(2, 1, ip_packed)
  TANDREL_IP_CASE(4, 1, ip_packed)
  TANDREL_IP_CASE(8, 1, ip_packed)
  TANDREL_IP_CASE(1, 4, ip_packed)
  TANDREL_IP_CASE(2, 4, ip_packed)
  TANDREL_IP_CASE(1, 8, ip_packed)
  TANDREL_IP_ROW(1, 12)
  TANDREL_IP_ROW(2, 12)
  TANDREL_IP_ROW(4, 12)
  TANDREL_IP_ROW(1, 24)
  TANDREL_IP_ROW(2, 24)
  TANDREL_IP_ROW(4, 24)
#undef TANDREL_IP_CASE
#undef TANDREL_IP_ROW
  ip_rowwise<0, 0>(q, codes, n_rows, n_bits, words, out);
}

// ---------------------------------------------------------------------------------------
// FWHT: levels h = 1, 2, 4, 8 inside each 16-float vector (each level applied to the
// whole vector before the next, as the scalar order does per element), then the wider
// levels as plain vector butterflies. Every output is the same a + b or a - b.
// ---------------------------------------------------------------------------------------

namespace {

// One level with distance h inside the vector: lanes with bit h clear get a + b, lanes
// with it set get a - b, where a is the lower and b the upper partner.
template <int H>
inline __m512 inner_level(__m512 x) {
  __m512 sw;
  __mmask16 upper;
  if constexpr (H == 1) {
    sw = _mm512_permute_ps(x, 0xB1);  // swap adjacent
    upper = 0xAAAA;
  } else if constexpr (H == 2) {
    sw = _mm512_permute_ps(x, 0x4E);  // swap pairs
    upper = 0xCCCC;
  } else if constexpr (H == 4) {
    sw = _mm512_shuffle_f32x4(x, x, 0xB1);  // swap 128-bit lanes
    upper = 0xF0F0;
  } else {
    sw = _mm512_shuffle_f32x4(x, x, 0x4E);  // swap 256-bit halves
    upper = 0xFF00;
  }
  // lower lane i: x[i] + x[i+h]; upper lane i: x[i-h] - x[i] = sw[i] - x[i].
  const __m512 sum = _mm512_add_ps(x, sw);
  const __m512 diff = _mm512_sub_ps(sw, x);
  return _mm512_mask_blend_ps(upper, sum, diff);
}

}  // namespace

void fwht_avx512(float* v, size_t n) {
  if (n < 16) {
    fwht_scalar(v, n);
    return;
  }
  // n is a power of two in every caller; a non-power-of-two n takes the reference path.
  if ((n & (n - 1)) != 0) {
    fwht_scalar(v, n);
    return;
  }
  for (size_t s = 0; s < n; s += 16) {
    __m512 x = _mm512_loadu_ps(v + s);
    x = inner_level<1>(x);
    x = inner_level<2>(x);
    x = inner_level<4>(x);
    x = inner_level<8>(x);
    _mm512_storeu_ps(v + s, x);
  }
  for (size_t h = 16; h < n; h <<= 1) {
    for (size_t s = 0; s + 2 * h <= n; s += 2 * h) {
      for (size_t i = 0; i < h; i += 16) {
        const __m512 a = _mm512_loadu_ps(v + s + i);
        const __m512 b = _mm512_loadu_ps(v + s + h + i);
        _mm512_storeu_ps(v + s + i, _mm512_add_ps(a, b));
        _mm512_storeu_ps(v + s + h + i, _mm512_sub_ps(a, b));
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Estimates of 16 rows at a time, same operations and order as the scalar formula.
// ---------------------------------------------------------------------------------------

using avx512_estimate::EstimateLanes;
using avx512_estimate::estimate16;

void estimates_from_ip_avx512(const EstimateScalars& s, const uint64_t* ip, const float* factors, size_t n,
                              float* estimate, float* lower) {
  const EstimateLanes k(s);
  const __m512 twelve = _mm512_set1_ps(12.0f);
  // Deinterleave four factors of 8 rows held in two vectors (a: rows 0-3, b: rows 4-7).
  const __m512i idx[4] = {
      _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 0, 0, 0, 0, 0, 0, 0, 0),
      _mm512_setr_epi32(1, 5, 9, 13, 17, 21, 25, 29, 0, 0, 0, 0, 0, 0, 0, 0),
      _mm512_setr_epi32(2, 6, 10, 14, 18, 22, 26, 30, 0, 0, 0, 0, 0, 0, 0, 0),
      _mm512_setr_epi32(3, 7, 11, 15, 19, 23, 27, 31, 0, 0, 0, 0, 0, 0, 0, 0),
  };
  size_t r = 0;
  for (; r + 16 <= n; r += 16) {
    const float* f = factors + r * kRowFactors;
    const __m512 a = _mm512_loadu_ps(f);
    const __m512 b = _mm512_loadu_ps(f + 16);
    const __m512 c = _mm512_loadu_ps(f + 32);
    const __m512 d = _mm512_loadu_ps(f + 48);
    __m512 fv[4];
    for (int j = 0; j < 4; ++j) {
      const __m512 lo8 = _mm512_permutex2var_ps(a, idx[j], b);
      const __m512 hi8 = _mm512_permutex2var_ps(c, idx[j], d);
      fv[j] = _mm512_insertf32x8(lo8, _mm512_castps512_ps256(hi8), 1);
    }
    const __m512 step_x = fv[kFactorStep];
    estimate16(k, fv[kFactorNorm2], step_x, fv[kFactorLo], fv[kFactorCodeSum],
               _mm512_div_ps(_mm512_mul_ps(step_x, step_x), twelve), ip + r, estimate + r, lower + r);
  }
  if (r < n) estimates_from_ip_scalar(s, ip + r, factors + r * kRowFactors, n - r, estimate + r, lower + r);
}

// The blocked factors: each factor one load from its run of 32, no division per row. The
// factors of the next `ahead` blocks (the same position one call's worth further on) are
// requested as these are read, as the code scan does for its blocks.
void estimates_from_blocked_avx512_ahead(const EstimateScalars& s, const uint64_t* ip, const float* fblocks, size_t n,
                                         float* estimate, float* lower, size_t ahead) {
  const EstimateLanes k(s);
  const size_t blocks = (n + kScanBlockRows - 1) / kScanBlockRows;
  const size_t dist = blocks * kBlockFactorFloats;
  for (size_t r = 0; r < n; r += 16) {
    const float* f = fblocks + r / kScanBlockRows * kBlockFactorFloats + r % kScanBlockRows;
    if (r / kScanBlockRows < ahead)
      for (size_t field = 0; field < kBlockFactorFields; ++field)
        _mm_prefetch(reinterpret_cast<const char*>(f + dist + field * kScanBlockRows), _MM_HINT_T0);
    estimate16(k, _mm512_loadu_ps(f), _mm512_loadu_ps(f + kScanBlockRows), _mm512_loadu_ps(f + 2 * kScanBlockRows),
               _mm512_loadu_ps(f + 3 * kScanBlockRows), _mm512_loadu_ps(f + 4 * kScanBlockRows), ip + r,
               estimate + r, lower + r);
  }
}

void estimates_from_blocked_avx512(const EstimateScalars& s, const uint64_t* ip, const float* fblocks, size_t n,
                                   float* estimate, float* lower) {
  estimates_from_blocked_avx512_ahead(s, ip, fblocks, n, estimate, lower, 0);
}

}  // namespace ivf_rabitq::codec::detail

// ---------------------------------------------------------------------------------------
// Query lookup tables: statistics of 16 residuals side by side (one per lane, each in
// coordinate order: vmaxps / vminps keep the running value on NaN and on ties exactly like
// the scalar `v > mx ? v : mx`), and 4-bit codes of 16 coordinates at a time.
// ---------------------------------------------------------------------------------------

namespace ivf_rabitq::codec::detail {

void residual_stats_avx512(const float* q, const float* rows, size_t stride, const uint32_t* ids, size_t count,
                           size_t n, ResidualStats* out) {
  constexpr size_t kLanes = 16;
  size_t i = 0;
  for (; i < count; i += kLanes) {
    const size_t cnt = std::min(kLanes, count - i);
    // One or two residuals: a gather per coordinate would fetch each value up to 16
    // times; the plain loop is cheaper (and gives the same bits).
    if (cnt <= 2) {
      residual_stats_scalar(q, rows, stride, ids + i, cnt, n, out + i);
      continue;
    }
    // Lane offsets relative to the group's first row; groups whose offsets do not fit
    // 32-bit gather indices take the scalar path.
    uint32_t lo_id = ids[i];
    uint32_t hi_id = ids[i];
    for (size_t l = 1; l < cnt; ++l) {
      lo_id = std::min(lo_id, ids[i + l]);
      hi_id = std::max(hi_id, ids[i + l]);
    }
    const uint64_t span = static_cast<uint64_t>(hi_id - lo_id) * stride;
    if (span > 0x7FFFFFFFull) {
      residual_stats_scalar(q, rows, stride, ids + i, cnt, n, out + i);
      continue;
    }
    alignas(64) int32_t off[kLanes];
    for (size_t l = 0; l < kLanes; ++l) {
      const uint32_t id = ids[i + (l < cnt ? l : 0)];
      off[l] = static_cast<int32_t>(static_cast<uint64_t>(id - lo_id) * stride);
    }
    const __m512i vidx = _mm512_load_si512(off);
    const float* base = rows + static_cast<size_t>(lo_id) * stride;
    __m512 mx = _mm512_set1_ps(-__builtin_inff());
    __m512 mn = _mm512_set1_ps(__builtin_inff());
    __m512 sum = _mm512_setzero_ps();
    __m512 sumsq = _mm512_setzero_ps();
    for (size_t j = 0; j < n; ++j) {
      const __m512 c = _mm512_i32gather_ps(vidx, base + j, 4);
      const __m512 v = _mm512_sub_ps(_mm512_set1_ps(q[j]), c);
      mx = _mm512_max_ps(v, mx);
      mn = _mm512_min_ps(v, mn);
      sum = _mm512_add_ps(sum, v);
      sumsq = _mm512_add_ps(sumsq, _mm512_mul_ps(v, v));
    }
    alignas(64) float a[4][kLanes];
    _mm512_store_ps(a[0], mn);
    _mm512_store_ps(a[1], mx);
    _mm512_store_ps(a[2], sum);
    _mm512_store_ps(a[3], sumsq);
    for (size_t l = 0; l < cnt; ++l) out[i + l] = ResidualStats{a[0][l], a[1][l], a[2][l], a[3][l]};
  }
}

uint64_t quantise_query_avx512(const float* r, size_t len, float lo, float div, uint64_t* words, size_t wpp) {
  const __m512 vlo = _mm512_set1_ps(lo);
  const __m512 vdiv = _mm512_set1_ps(div);
  const __m512 zero = _mm512_setzero_ps();
  const __m512 fifteen = _mm512_set1_ps(15.0f);
  const __m512 half = _mm512_set1_ps(0.5f);
  const __m512i one = _mm512_set1_epi32(1);
  __m512i acc = _mm512_setzero_si512();
  for (size_t w = 0; w < wpp && w * 64 < len; ++w) {
    uint64_t p[4] = {0, 0, 0, 0};
    for (int k = 0; k < 4; ++k) {
      __m512 t = _mm512_div_ps(_mm512_sub_ps(_mm512_loadu_ps(r + w * 64 + k * 16), vlo), vdiv);
      t = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(t, zero, _CMP_GT_OQ), t);  // max(t, 0), NaN -> 0
      t = _mm512_mask_mov_ps(t, _mm512_cmp_ps_mask(t, fifteen, _CMP_GT_OQ), fifteen);
      const __m512 f = _mm512_roundscale_ps(t, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
      const __mmask16 up = _mm512_cmp_ps_mask(_mm512_sub_ps(t, f), half, _CMP_GE_OQ);
      const __m512i c = _mm512_mask_add_epi32(_mm512_cvttps_epi32(f), up, _mm512_cvttps_epi32(f), one);
      acc = _mm512_add_epi32(acc, c);
      for (int j = 0; j < 4; ++j) {
        const __mmask16 bit = _mm512_test_epi32_mask(c, _mm512_set1_epi32(1 << j));
        p[j] |= static_cast<uint64_t>(bit) << (16 * k);
      }
    }
    for (int j = 0; j < 4; ++j) words[j * wpp + w] = p[j];
  }
  // Callers take this path only up to 1,118,481 coordinates: the sum fits 32 bits per lane.
  return static_cast<uint64_t>(static_cast<uint32_t>(_mm512_reduce_add_epi32(acc)));
}

}  // namespace ivf_rabitq::codec::detail
