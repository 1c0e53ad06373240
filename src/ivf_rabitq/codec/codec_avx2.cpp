// AVX2 codec kernels. Called only through the dispatch in codec.cpp when the CPU supports
// them. The bit-plane inner product counts bits per byte with a nibble table; the four
// query planes are folded per byte as ((c3*2 + c2)*2 + c1)*2 + c0 (at most 120, so a byte
// holds it) and summed to 64-bit lanes. All integer, exact: identical to the scalar sum.
#include <immintrin.h>

#include <algorithm>

#include "ivf_rabitq/codec/codec.hpp"

namespace ivf_rabitq::codec::detail {

namespace {

inline __m256i byte_popcount(__m256i v) {
  const __m256i table = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,  //
                                         0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low4 = _mm256_set1_epi8(0x0f);
  const __m256i lo = _mm256_and_si256(v, low4);
  const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), low4);
  return _mm256_add_epi8(_mm256_shuffle_epi8(table, lo), _mm256_shuffle_epi8(table, hi));
}

// sum_j popcount(q_j & c) << j per 64-bit lane.
inline __m256i weighted_counts(const __m256i* qv, __m256i c) {
  __m256i t = byte_popcount(_mm256_and_si256(qv[3], c));
  t = _mm256_add_epi8(_mm256_add_epi8(t, t), byte_popcount(_mm256_and_si256(qv[2], c)));
  t = _mm256_add_epi8(_mm256_add_epi8(t, t), byte_popcount(_mm256_and_si256(qv[1], c)));
  t = _mm256_add_epi8(_mm256_add_epi8(t, t), byte_popcount(_mm256_and_si256(qv[0], c)));
  return _mm256_sad_epu8(t, _mm256_setzero_si256());
}

// [a0+a1, a2+a3, b0+b1, b2+b3]
inline __m256i hadd64(__m256i a, __m256i b) {
  const __m256i s = _mm256_add_epi64(_mm256_unpacklo_epi64(a, b), _mm256_unpackhi_epi64(a, b));
  // s = [a0+a1, b0+b1, a2+a3, b2+b3]
  return _mm256_permute4x64_epi64(s, 0xD8);
}

template <int G>
inline __m256i tree_reduce(__m256i* v) {
  if constexpr (G >= 2) {
    for (int i = 0; i < G / 2; ++i) v[i] = hadd64(v[2 * i], v[2 * i + 1]);
    return tree_reduce<G / 2>(v);
  } else {
    return v[0];
  }
}

inline __m256i lane_mask(size_t n) {
  const __m256i idx = _mm256_setr_epi64x(0, 1, 2, 3);
  return _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(std::min<size_t>(n, 4))), idx);
}

// Rows with G = NB*W in {1, 2, 4} words: 4 consecutive rows are G vectors; lane k holds
// word k % G of its row and is paired with the query word of the same position.
template <int NB, int W>
void ip_packed(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint64_t* out) {
  constexpr int G = NB * W;
  static_assert(G == 1 || G == 2 || G == 4);
  __m256i qv[4];
  alignas(32) long long sa[4];
  for (int j = 0; j < 4; ++j) {
    alignas(32) long long qa[4];
    for (int k = 0; k < 4; ++k) {
      const int f = k % G;
      qa[k] = static_cast<long long>(q[j * W + f % W]);
      sa[k] = f / W;
    }
    qv[j] = _mm256_load_si256(reinterpret_cast<const __m256i*>(qa));
  }
  const __m256i sh = _mm256_load_si256(reinterpret_cast<const __m256i*>(sa));
  size_t r = 0;
  for (; r + 4 <= n_rows; r += 4) {
    const uint64_t* base = codes + r * G;
    __m256i v[G];
    for (int i = 0; i < G; ++i) {
      const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + 4 * i));
      v[i] = _mm256_sllv_epi64(weighted_counts(qv, c), sh);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + r), tree_reduce<G>(v));
  }
  if (r < n_rows) {
    const size_t rem = n_rows - r;
    const size_t total = rem * G;
    const uint64_t* base = codes + r * G;
    __m256i v[G];
    for (int i = 0; i < G; ++i) {
      const size_t have = total > size_t(4 * i) ? total - size_t(4 * i) : 0;
      const __m256i c = _mm256_maskload_epi64(reinterpret_cast<const long long*>(base + 4 * i), lane_mask(have));
      v[i] = _mm256_sllv_epi64(weighted_counts(qv, c), sh);
    }
    alignas(32) uint64_t tmp[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(tmp), tree_reduce<G>(v));
    std::copy_n(tmp, rem, out + r);
  }
}

// Rows of any shape: one accumulator per row over chunks of 4 words of each plane (the
// last chunk masked), 4 rows reduced together. NB_ and W_ > 0 fix the shape.
template <int NB_, int W_>
void ip_rowwise(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint32_t n_bits_rt, size_t words_rt,
                uint64_t* out) {
  constexpr bool kFixed = NB_ > 0 && W_ > 0;
  const size_t nb = kFixed ? size_t(NB_) : n_bits_rt;
  const size_t W = kFixed ? size_t(W_) : words_rt;
  const size_t stride = nb * W;
  const size_t chunks = (W + 3) / 4;
  const __m256i tail = lane_mask(W - (chunks - 1) * 4);
  const __m256i full = _mm256_set1_epi64x(-1);

  auto row_acc = [&](const uint64_t* code) {
    __m256i acc = _mm256_setzero_si256();
    for (size_t c = 0; c < chunks; ++c) {
      const __m256i m = (c + 1 == chunks) ? tail : full;
      __m256i qc[4];
      for (int j = 0; j < 4; ++j)
        qc[j] = _mm256_maskload_epi64(reinterpret_cast<const long long*>(q + j * W + c * 4), m);
      for (size_t l = 0; l < nb; ++l) {
        const __m256i cv = _mm256_maskload_epi64(reinterpret_cast<const long long*>(code + l * W + c * 4), m);
        acc = _mm256_add_epi64(acc, _mm256_sll_epi64(weighted_counts(qc, cv), _mm_cvtsi64_si128(int64_t(l))));
      }
    }
    return acc;
  };

  size_t r = 0;
  for (; r + 4 <= n_rows; r += 4) {
    __m256i v[4];
    for (int i = 0; i < 4; ++i) v[i] = row_acc(codes + (r + i) * stride);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + r), tree_reduce<4>(v));
  }
  if (r < n_rows) {
    const size_t rem = n_rows - r;
    __m256i v[4];
    for (size_t i = 0; i < 4; ++i) v[i] = i < rem ? row_acc(codes + (r + i) * stride) : _mm256_setzero_si256();
    alignas(32) uint64_t tmp[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(tmp), tree_reduce<4>(v));
    std::copy_n(tmp, rem, out + r);
  }
}

}  // namespace

void ip_rows_avx2(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint32_t n_bits, size_t words,
                  uint64_t* out) {
  if (n_bits == 0 || words == 0) {
    std::fill(out, out + n_rows, uint64_t{0});
    return;
  }
#define TANDREL_IP_CASE(NB, W)                  \
  if (n_bits == NB && words == W) {             \
    ip_packed<NB, W>(q, codes, n_rows, out);    \
    return;                                     \
  }
#define TANDREL_IP_ROW(NB, W)                                 \
  if (n_bits == NB && words == W) {                           \
    ip_rowwise<NB, W>(q, codes, n_rows, n_bits, words, out);  \
    return;                                                   \
  }
  TANDREL_IP_CASE(1, 1)
  TANDREL_IP_CASE(2, 1)
  TANDREL_IP_CASE(4, 1)
  TANDREL_IP_CASE(1, 2)
  TANDREL_IP_CASE(2, 2)
  TANDREL_IP_CASE(1, 4)
  TANDREL_IP_ROW(4, 2)
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
// FWHT: levels 1, 2, 4 inside each 8-float vector, wider levels as vector butterflies.
// ---------------------------------------------------------------------------------------

namespace {

// One level with distance h inside the vector: lower partners get a + b, upper ones a - b.
template <int H>
inline __m256 inner_level(__m256 x) {
  if constexpr (H == 1) {
    const __m256 sw = _mm256_permute_ps(x, 0xB1);  // swap adjacent
    return _mm256_blend_ps(_mm256_add_ps(x, sw), _mm256_sub_ps(sw, x), 0xAA);
  } else if constexpr (H == 2) {
    const __m256 sw = _mm256_permute_ps(x, 0x4E);  // swap pairs
    return _mm256_blend_ps(_mm256_add_ps(x, sw), _mm256_sub_ps(sw, x), 0xCC);
  } else {
    const __m256 sw = _mm256_permute2f128_ps(x, x, 0x01);  // swap 128-bit halves
    return _mm256_blend_ps(_mm256_add_ps(x, sw), _mm256_sub_ps(sw, x), 0xF0);
  }
}

}  // namespace

void fwht_avx2(float* v, size_t n) {
  if (n < 8 || (n & (n - 1)) != 0) {
    fwht_scalar(v, n);
    return;
  }
  for (size_t s = 0; s < n; s += 8) {
    __m256 x = _mm256_loadu_ps(v + s);
    x = inner_level<1>(x);
    x = inner_level<2>(x);
    x = inner_level<4>(x);
    _mm256_storeu_ps(v + s, x);
  }
  for (size_t h = 8; h < n; h <<= 1) {
    for (size_t s = 0; s + 2 * h <= n; s += 2 * h) {
      for (size_t i = 0; i < h; i += 8) {
        const __m256 a = _mm256_loadu_ps(v + s + i);
        const __m256 b = _mm256_loadu_ps(v + s + h + i);
        _mm256_storeu_ps(v + s + i, _mm256_add_ps(a, b));
        _mm256_storeu_ps(v + s + h + i, _mm256_sub_ps(a, b));
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Estimates of 8 rows at a time, same operations and order as the scalar formula.
// ---------------------------------------------------------------------------------------

void estimates_from_ip_avx2(const EstimateScalars& s, const uint64_t* ip, const float* factors, size_t n,
                            float* estimate, float* lower) {
  const __m256 pad = _mm256_set1_ps(s.pad);
  const __m256 lo_q = _mm256_set1_ps(s.lo_q);
  const __m256 step_q = _mm256_set1_ps(s.step_q);
  const __m256 code_sum_q = _mm256_set1_ps(s.code_sum_q);
  const __m256 norm2_q = _mm256_set1_ps(s.norm2_q);
  const __m256 twelve = _mm256_set1_ps(12.0f);
  const __m256 six = _mm256_set1_ps(6.0f);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 step_q_sq = _mm256_div_ps(_mm256_mul_ps(step_q, step_q), twelve);
  const __m256i stride4 = _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28);
  size_t r = 0;
  for (; r + 8 <= n; r += 8) {
    const float* f = factors + r * kRowFactors;
    const __m256 norm2_x = _mm256_i32gather_ps(f + kFactorNorm2, stride4, 4);
    const __m256 step_x = _mm256_i32gather_ps(f + kFactorStep, stride4, 4);
    const __m256 lo_x = _mm256_i32gather_ps(f + kFactorLo, stride4, 4);
    const __m256 code_sum_x = _mm256_i32gather_ps(f + kFactorCodeSum, stride4, 4);
    alignas(32) float ipa[8];
    for (int k = 0; k < 8; ++k) ipa[k] = static_cast<float>(ip[r + k]);
    const __m256 ipf = _mm256_load_ps(ipa);

    const __m256 t0 = _mm256_mul_ps(pad, _mm256_mul_ps(lo_x, lo_q));
    const __m256 t1 = _mm256_mul_ps(_mm256_mul_ps(step_x, lo_q), code_sum_x);
    const __m256 t2 = _mm256_mul_ps(_mm256_mul_ps(lo_x, step_q), code_sum_q);
    const __m256 t3 = _mm256_mul_ps(_mm256_mul_ps(step_x, step_q), ipf);
    const __m256 S = _mm256_add_ps(t0, _mm256_add_ps(t1, _mm256_add_ps(t2, t3)));
    const __m256 est = _mm256_sub_ps(_mm256_add_ps(norm2_x, norm2_q), _mm256_add_ps(S, S));
    const __m256 va = _mm256_mul_ps(_mm256_div_ps(_mm256_mul_ps(step_x, step_x), twelve), norm2_q);
    const __m256 vb = _mm256_mul_ps(step_q_sq, norm2_x);
    __m256 var = _mm256_add_ps(va, vb);
    var = _mm256_and_ps(var, _mm256_cmp_ps(var, zero, _CMP_GE_OQ));
    const __m256 low = _mm256_sub_ps(est, _mm256_mul_ps(six, _mm256_sqrt_ps(var)));
    _mm256_storeu_ps(estimate + r, est);
    _mm256_storeu_ps(lower + r, low);
  }
  if (r < n) estimates_from_ip_scalar(s, ip + r, factors + r * kRowFactors, n - r, estimate + r, lower + r);
}

}  // namespace ivf_rabitq::codec::detail

// ---------------------------------------------------------------------------------------
// Query lookup tables: statistics of 8 residuals side by side (one per lane, each in
// coordinate order: vmaxps / vminps keep the running value on NaN and on ties exactly like
// the scalar `v > mx ? v : mx`), and 4-bit codes of 8 coordinates at a time.
// ---------------------------------------------------------------------------------------

namespace ivf_rabitq::codec::detail {

void residual_stats_avx2(const float* q, const float* rows, size_t stride, const uint32_t* ids, size_t count,
                         size_t n, ResidualStats* out) {
  constexpr size_t kLanes = 8;
  for (size_t i = 0; i < count; i += kLanes) {
    const size_t cnt = std::min(kLanes, count - i);
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
    alignas(32) int32_t off[kLanes];
    for (size_t l = 0; l < kLanes; ++l) {
      const uint32_t id = ids[i + (l < cnt ? l : 0)];
      off[l] = static_cast<int32_t>(static_cast<uint64_t>(id - lo_id) * stride);
    }
    const __m256i vidx = _mm256_load_si256(reinterpret_cast<const __m256i*>(off));
    const float* base = rows + static_cast<size_t>(lo_id) * stride;
    __m256 mx = _mm256_set1_ps(-__builtin_inff());
    __m256 mn = _mm256_set1_ps(__builtin_inff());
    __m256 sum = _mm256_setzero_ps();
    __m256 sumsq = _mm256_setzero_ps();
    for (size_t j = 0; j < n; ++j) {
      const __m256 c = _mm256_i32gather_ps(base + j, vidx, 4);
      const __m256 v = _mm256_sub_ps(_mm256_set1_ps(q[j]), c);
      mx = _mm256_max_ps(v, mx);
      mn = _mm256_min_ps(v, mn);
      sum = _mm256_add_ps(sum, v);
      sumsq = _mm256_add_ps(sumsq, _mm256_mul_ps(v, v));
    }
    alignas(32) float a[4][kLanes];
    _mm256_store_ps(a[0], mn);
    _mm256_store_ps(a[1], mx);
    _mm256_store_ps(a[2], sum);
    _mm256_store_ps(a[3], sumsq);
    for (size_t l = 0; l < cnt; ++l) out[i + l] = ResidualStats{a[0][l], a[1][l], a[2][l], a[3][l]};
  }
}

uint64_t quantise_query_avx2(const float* r, size_t len, float lo, float div, uint64_t* words, size_t wpp) {
  const __m256 vlo = _mm256_set1_ps(lo);
  const __m256 vdiv = _mm256_set1_ps(div);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 fifteen = _mm256_set1_ps(15.0f);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256i one = _mm256_set1_epi32(1);
  __m256i acc = _mm256_setzero_si256();
  for (size_t w = 0; w < wpp && w * 64 < len; ++w) {
    uint64_t p[4] = {0, 0, 0, 0};
    for (int k = 0; k < 8; ++k) {
      __m256 t = _mm256_div_ps(_mm256_sub_ps(_mm256_loadu_ps(r + w * 64 + k * 8), vlo), vdiv);
      t = _mm256_and_ps(t, _mm256_cmp_ps(t, zero, _CMP_GT_OQ));  // max(t, 0), NaN -> 0
      t = _mm256_blendv_ps(t, fifteen, _mm256_cmp_ps(t, fifteen, _CMP_GT_OQ));
      const __m256 f = _mm256_floor_ps(t);
      const __m256i up = _mm256_castps_si256(_mm256_cmp_ps(_mm256_sub_ps(t, f), half, _CMP_GE_OQ));
      const __m256i c = _mm256_add_epi32(_mm256_cvttps_epi32(f), _mm256_and_si256(up, one));
      acc = _mm256_add_epi32(acc, c);
      for (int j = 0; j < 4; ++j) {
        const uint32_t bit = static_cast<uint32_t>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_sllv_epi32(c, _mm256_set1_epi32(31 - j)))));
        p[j] |= static_cast<uint64_t>(bit) << (8 * k);
      }
    }
    for (int j = 0; j < 4; ++j) words[j * wpp + w] = p[j];
  }
  alignas(32) uint32_t lanes[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), acc);
  uint64_t s = 0;
  for (uint32_t v : lanes) s += v;
  return s;
}

}  // namespace ivf_rabitq::codec::detail
