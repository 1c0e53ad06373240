#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/codec/fastscan.hpp"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

namespace ivf_rabitq::codec {

// ---------------------------------------------------------------------------------------
// Rotation
// ---------------------------------------------------------------------------------------

namespace {

size_t next_pow2(size_t n) {
  size_t p = 1;
  while (p < n) p <<= 1;
  return p;
}

size_t prev_pow2(size_t n) {  // largest power of two <= n; 1 for n 0
  if (n == 0) return 1;
  return std::bit_floor(n);
}

// 1 / sqrt(count), each step in f32.
float inv_sqrt_f32(size_t count) {
  float c = static_cast<float>(count);
  float r = std::sqrt(c);
  return 1.0f / r;
}

// sqrt(2) rounded to f32 (bit pattern 0x3FB504F3).
constexpr float kSqrt2 = std::bit_cast<float>(uint32_t{0x3FB504F3u});

void mul_by(float* __restrict v, const float* __restrict s, size_t n) {
  for (size_t i = 0; i < n; ++i) v[i] = v[i] * s[i];
}

void scale_by(float* __restrict v, float e, size_t n) {
  for (size_t i = 0; i < n; ++i) v[i] = v[i] * e;
}

// lo[i], hi[i] <- lo[i] + hi[i], lo[i] - hi[i]; the two halves never overlap (h >= m).
void half_butterfly(float* __restrict lo, float* __restrict hi, size_t m) {
  for (size_t i = 0; i < m; ++i) {
    const float a = lo[i];
    const float b = hi[i];
    lo[i] = a + b;
    hi[i] = a - b;
  }
}

using FwhtFn = void (*)(float*, size_t);

FwhtFn fwht_for(simd::Level level) {
  return simd::pick(level, &detail::fwht_scalar, &detail::fwht_avx2, &detail::fwht_avx512);
}

FwhtFn active_fwht() {
  static const FwhtFn fn = fwht_for(simd::active_level());
  return fn;
}

}  // namespace

size_t rotation_pad(size_t dim, bool new_layout) {
  if (new_layout) {
    size_t p = (dim + 63) / 64 * 64;
    return std::max<size_t>(64, p);
  }
  return std::max<size_t>(64, next_pow2(dim));
}

Rotator Rotator::build(size_t dim, uint64_t seed, bool new_layout) {
  Rotator r;
  r.dim = dim;
  r.new_layout = new_layout;
  r.pad = rotation_pad(dim, new_layout);
  const size_t rounds = new_layout ? 4 : 2;
  const size_t len = new_layout ? dim : r.pad;
  uint64_t state = seed | 1u;
  r.signs.assign(rounds, std::vector<float>(len));
  for (size_t v = 0; v < rounds; ++v) {
    for (size_t i = 0; i < len; ++i) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      r.signs[v][i] = (state & 1u) ? -1.0f : 1.0f;
    }
  }
  if (new_layout) {
    r.block = prev_pow2(dim);
    r.block_scale = inv_sqrt_f32(r.block);
    r.legacy_scale = 0.f;
  } else {
    r.block = 0;
    r.block_scale = 0.f;
    r.legacy_scale = inv_sqrt_f32(r.pad);
  }
  return r;
}

void Rotator::rotate_into(std::span<const float> src, std::span<float> out) const {
  if (out.size() < pad) {
    std::fill(out.begin(), out.end(), 0.0f);
    return;
  }
  float* o = out.data();
  const FwhtFn transform = active_fwht();
  if (!new_layout) {
    const size_t n = pad;
    const size_t take = std::min(src.size(), dim);
    std::copy_n(src.data(), take, o);
    std::fill(o + take, o + n, 0.0f);
    const float e = legacy_scale;
    for (size_t r = 0; r < 2; ++r) {
      mul_by(o, signs[r].data(), std::min(pad, n));
      transform(o, n);
      scale_by(o, e, n);
    }
    return;
  }

  const size_t d = dim;
  if (d == 0) {
    std::fill(o, o + pad, 0.0f);
    return;
  }
  const size_t take = std::min(src.size(), d);
  std::copy_n(src.data(), take, o);
  std::fill(o + take, o + pad, 0.0f);
  const size_t c = block;
  const float e = block_scale;
  if (c == d) {
    for (size_t r = 0; r < 4; ++r) {
      mul_by(o, signs[r].data(), d);
      transform(o, d);
      scale_by(o, e, d);
    }
    return;
  }
  const size_t m = d / 2;
  const size_t h = d - m;
  for (size_t r = 0; r < 4; ++r) {
    mul_by(o, signs[r].data(), d);
    float* blk = (r % 2 == 0) ? o : o + (d - c);
    transform(blk, c);
    scale_by(blk, e, c);
    half_butterfly(o, o + h, m);
    if (d % 2 == 1) o[m] = o[m] * kSqrt2;
  }
  scale_by(o, 0.25f, d);
}

void detail::fwht_scalar(float* v, size_t n) {
  for (size_t h = 1; h < n; h <<= 1) {
    for (size_t s = 0; s + 2 * h <= n; s += 2 * h) {
      for (size_t i = 0; i < h; ++i) {
        float a = v[s + i];
        float b = v[s + h + i];
        v[s + i] = a + b;
        v[s + h + i] = a - b;
      }
    }
  }
}

void fwht(float* v, size_t n) { active_fwht()(v, n); }

void fwht_at(simd::Level level, float* v, size_t n) {
  if (!simd::cpu_supports(level)) level = simd::Level::Scalar;
  fwht_for(level)(v, n);
}

// ---------------------------------------------------------------------------------------
// Quantisers
// ---------------------------------------------------------------------------------------

namespace {

struct Stats {
  float lo;
  float hi;
  float sumsq;
};

// Larger / smaller of a and b where a NaN operand yields the other one, and equal operands
// (+0 and -0) yield b. Written out rather than std::fmax / std::fmin: those return either
// zero on a tie depending on whether the compiler inlines them or calls libm, which made
// the stored `lo` of a zero residual differ between optimisation levels.
inline float larger_of(float a, float b) { return a > b ? a : b; }   // NaN a -> b
inline float smaller_of(float a, float b) { return a < b ? a : b; }  // NaN a -> b

// Raw statistics over x[0..n) in coordinate order.
ResidualStats raw_statistics(const float* x, size_t n) {
  float mx = -std::numeric_limits<float>::infinity();
  float mn = std::numeric_limits<float>::infinity();
  float sum = 0.0f;
  float sumsq = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float v = x[i];
    // A NaN value never replaces the running maximum or minimum; an equal one does not either.
    mx = larger_of(v, mx);
    mn = smaller_of(v, mn);
    sum = sum + v;
    const float sq = v * v;
    sumsq = sumsq + sq;
  }
  return ResidualStats{mn, mx, sum, sumsq};
}

// Clipping range from the raw statistics of n values; clip factor k (0 disables clipping).
Stats finish_statistics(const ResidualStats& raw, size_t n, float k) {
  const float mn = raw.mn;
  const float mx = raw.mx;
  const float sum = raw.sum;
  const float sumsq = raw.sumsq;
  Stats st{mn, mx, sumsq};
  if (n > 0 && k > 0.0f) {
    const float nf = static_cast<float>(n);
    const float mean = sum / nf;
    const float a = sumsq / nf;
    const float b = mean * mean;
    float var = a - b;
    if (!(var >= 0.0f)) var = 0.0f;  // negative or NaN
    const float s = std::sqrt(var) * k;
    st.lo = larger_of(mean - s, mn);  // mn is never NaN: a NaN bound yields it
    st.hi = smaller_of(mean + s, mx);
  }
  return st;
}

// Statistics over x[0..n) in coordinate order; clip factor k (0 disables clipping).
Stats statistics(const float* x, size_t n, float k) { return finish_statistics(raw_statistics(x, n), n, k); }

// Round-half-up quantisation of (v - lo) / div clamped to [0, levels].
inline uint32_t quantise(float v, float lo, float div, float levels) {
  float q = (v - lo) / div;
  if (!(q > 0.0f)) q = 0.0f;  // max(q, 0), NaN -> 0
  if (q > levels) q = levels;
  const float f = std::floor(q);
  return static_cast<uint32_t>(f) + ((q - f) >= 0.5f ? 1u : 0u);
}

}  // namespace

void encode_rotated_bbit(std::span<const float> x, size_t D, uint32_t n_bits, size_t words,
                         std::span<uint64_t> code, std::span<float, kRowFactors> factors) {
  const size_t len = x.size();
  assert(n_bits >= 1 && n_bits <= 8);
  assert(code.size() >= static_cast<size_t>(n_bits) * words);
  assert(words * 64 >= len);
  std::fill(code.begin(), code.begin() + static_cast<size_t>(n_bits) * words, uint64_t{0});

  float k = 0.0f;
  switch (n_bits) {
    case 1: k = 2.0f; break;
    case 2: k = 2.5f; break;
    case 3: k = 3.0f; break;
    case 4: k = 3.5f; break;
    default: k = 0.0f; break;
  }
  const uint32_t L = (n_bits >= 32) ? 0xFFFFFFFFu : ((1u << n_bits) - 1u);
  const Stats st = statistics(x.data(), std::min(len, D), k);
  const float lo = st.lo;
  const float levels = static_cast<float>(L);
  float step = (st.hi - lo) / static_cast<float>(std::max<uint32_t>(L, 1u));
  if (!(step >= 1e-12f)) step = 1e-12f;

  const bool exact_sum = static_cast<double>(L) * static_cast<double>(len) < 16777216.0;
  uint64_t isum = 0;
  float fsum = 0.0f;
  uint8_t chunk[64];
  for (size_t w = 0; w * 64 < len; ++w) {
    const size_t base = w * 64;
    const size_t cnt = std::min<size_t>(64, len - base);
    for (size_t t = 0; t < cnt; ++t) {
      const uint32_t c = quantise(x[base + t], lo, step, levels);
      chunk[t] = static_cast<uint8_t>(c);
      if (exact_sum) {
        isum += c;
      } else {
        fsum = fsum + static_cast<float>(c);
      }
    }
    for (size_t t = cnt; t < 64; ++t) chunk[t] = 0;
    for (uint32_t j = 0; j < n_bits; ++j) {
      uint64_t word = 0;
      for (size_t t = 0; t < 64; ++t) word |= static_cast<uint64_t>((chunk[t] >> j) & 1u) << t;
      code[j * words + w] = word;
    }
  }
  factors[kFactorNorm2] = st.sumsq;
  factors[kFactorStep] = step;
  factors[kFactorLo] = lo;
  factors[kFactorCodeSum] = exact_sum ? static_cast<float>(isum) : fsum;
}

namespace {

// Largest query length whose code sum is taken exactly (15 x 1118481 = 2^24 - 1).
constexpr size_t kExactQuerySumLen = 1118481;

using StatsFn = void (*)(const float*, const float*, size_t, const uint32_t*, size_t, size_t, ResidualStats*);
using QuantFn = uint64_t (*)(const float*, size_t, float, float, uint64_t*, size_t);

StatsFn stats_for(simd::Level level) {
  return simd::pick(level, &detail::residual_stats_scalar, &detail::residual_stats_avx2,
                    &detail::residual_stats_avx512);
}

QuantFn quant_for(simd::Level level) {
  return simd::pick(level, &detail::quantise_query_scalar, &detail::quantise_query_avx2,
                    &detail::quantise_query_avx512);
}

simd::Level usable_level(simd::Level level) {
  return simd::cpu_supports(level) ? level : simd::Level::Scalar;
}

void preprocess_with(QuantFn quant, QueryLut& lut, std::span<const float> r, size_t D, const ResidualStats& raw) {
  const size_t len = r.size();
  assert(len > 0 && len % 64 == 0);
  const Stats st = finish_statistics(raw, std::min(len, D), 3.5f);
  float step = (st.hi - st.lo) / 15.0f;
  if (!(step >= 1e-12f)) step = 1e-12f;
  const float div = std::max(step, 1e-9f);
  const float lo = st.lo;
  const size_t wpp = len / 64;
  lut.words_per_plane = wpp;
  lut.words.resize(4 * wpp);  // every word is rewritten below

  float code_sum;
  if (len <= kExactQuerySumLen) {
    code_sum = static_cast<float>(quant(r.data(), len, lo, div, lut.words.data(), wpp));
  } else {
    // Long queries: the codes are added to an f32 sum one by one in coordinate order.
    detail::quantise_query_scalar(r.data(), len, lo, div, lut.words.data(), wpp);
    float fsum = 0.0f;
    for (size_t i = 0; i < len; ++i) {
      const uint64_t* w = lut.words.data() + i / 64;
      const unsigned b = static_cast<unsigned>(i % 64);
      const uint32_t c = static_cast<uint32_t>(((w[0] >> b) & 1u) | (((w[wpp] >> b) & 1u) << 1) |
                                               (((w[2 * wpp] >> b) & 1u) << 2) | (((w[3 * wpp] >> b) & 1u) << 3));
      fsum = fsum + static_cast<float>(c);
    }
    code_sum = fsum;
  }
  lut.norm2 = st.sumsq;
  lut.step = step;
  lut.lo = lo;
  lut.code_sum = code_sum;
}

}  // namespace

void detail::residual_stats_scalar(const float* q, const float* rows, size_t stride, const uint32_t* ids,
                                   size_t count, size_t n, ResidualStats* out) {
  for (size_t i = 0; i < count; ++i) {
    const float* c = rows + static_cast<size_t>(ids[i]) * stride;
    float mx = -std::numeric_limits<float>::infinity();
    float mn = std::numeric_limits<float>::infinity();
    float sum = 0.0f;
    float sumsq = 0.0f;
    for (size_t j = 0; j < n; ++j) {
      const float v = q[j] - c[j];
      mx = larger_of(v, mx);
      mn = smaller_of(v, mn);
      sum = sum + v;
      const float sq = v * v;
      sumsq = sumsq + sq;
    }
    out[i] = ResidualStats{mn, mx, sum, sumsq};
  }
}

uint64_t detail::quantise_query_scalar(const float* r, size_t len, float lo, float div, uint64_t* words,
                                       size_t wpp) {
  uint64_t isum = 0;
  for (size_t w = 0; w < wpp && w * 64 < len; ++w) {
    uint64_t p0 = 0, p1 = 0, p2 = 0, p3 = 0;
    const float* src = r + w * 64;
    for (size_t t = 0; t < 64; ++t) {
      const uint32_t c = quantise(src[t], lo, div, 15.0f);
      isum += c;
      p0 |= static_cast<uint64_t>(c & 1u) << t;
      p1 |= static_cast<uint64_t>((c >> 1) & 1u) << t;
      p2 |= static_cast<uint64_t>((c >> 2) & 1u) << t;
      p3 |= static_cast<uint64_t>((c >> 3) & 1u) << t;
    }
    words[w] = p0;
    words[wpp + w] = p1;
    words[2 * wpp + w] = p2;
    words[3 * wpp + w] = p3;
  }
  return isum;
}

void residual_stats(const float* q, const float* rows, size_t stride, const uint32_t* ids, size_t count,
                    size_t n, ResidualStats* out) {
  static const StatsFn fn = stats_for(simd::active_level());
  fn(q, rows, stride, ids, count, n, out);
}

void residual_stats_at(simd::Level level, const float* q, const float* rows, size_t stride,
                       const uint32_t* ids, size_t count, size_t n, ResidualStats* out) {
  stats_for(usable_level(level))(q, rows, stride, ids, count, n, out);
}

void preprocess_query_with(QueryLut& lut, std::span<const float> r, size_t D, const ResidualStats& st) {
  static const QuantFn fn = quant_for(simd::active_level());
  preprocess_with(fn, lut, r, D, st);
}

void preprocess_query_into(QueryLut& lut, std::span<const float> r, size_t D) {
  preprocess_query_with(lut, r, D, raw_statistics(r.data(), std::min(r.size(), D)));
}

void preprocess_query_into_at(simd::Level level, QueryLut& lut, std::span<const float> r, size_t D) {
  preprocess_with(quant_for(usable_level(level)), lut, r, D, raw_statistics(r.data(), std::min(r.size(), D)));
}

// ---------------------------------------------------------------------------------------
// Inner product and estimates
// ---------------------------------------------------------------------------------------

uint64_t estimate_qc_scalar(std::span<const uint64_t> lut_words, std::span<const uint64_t> code,
                            uint32_t n_bits, size_t words) {
  if (n_bits == 0 || words == 0) return 0;
  assert(lut_words.size() >= 4 * words);
  assert(code.size() >= static_cast<size_t>(n_bits) * words);
  uint64_t result = 0;
  for (uint32_t j = 0; j < 4; ++j) {
    const uint64_t* qp = lut_words.data() + j * words;
    for (uint32_t l = 0; l < n_bits; ++l) {
      const uint64_t* cp = code.data() + l * words;
      uint64_t p = 0;
      for (size_t w = 0; w < words; ++w) p += static_cast<uint64_t>(std::popcount(qp[w] & cp[w]));
      result += p << (l + j);
    }
  }
  return result;
}

void detail::ip_rows_scalar(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint32_t n_bits,
                            size_t words, uint64_t* out) {
  const size_t stride = static_cast<size_t>(n_bits) * words;
  for (size_t r = 0; r < n_rows; ++r) {
    out[r] = estimate_qc_scalar({q, 4 * words}, {codes + r * stride, stride}, n_bits, words);
  }
}

namespace {

using IpFn = void (*)(const uint64_t*, const uint64_t*, size_t, uint32_t, size_t, uint64_t*);
using EstFn = void (*)(const detail::EstimateScalars&, const uint64_t*, const float*, size_t, float*,
                       float*);

IpFn ip_for(simd::Level level) {
  return simd::pick(level, &detail::ip_rows_scalar, &detail::ip_rows_avx2, &detail::ip_rows_avx512);
}

EstFn est_for(simd::Level level) {
  return simd::pick(level, &detail::estimates_from_ip_scalar, &detail::estimates_from_ip_avx2,
                    &detail::estimates_from_ip_avx512);
}

simd::Level usable(simd::Level level) {
  return simd::cpu_supports(level) ? level : simd::Level::Scalar;
}

// The estimate of a row from its factors and vx = (step_x x step_x) / 12 (given, so that a
// copy that stores it spares the division).
inline RowEstimate estimate_with(const detail::EstimateScalars& s, uint64_t ip, float norm2_x, float step_x, float lo_x,
                                 float code_sum_x, float vx) {
  const float ipf = static_cast<float>(ip);
  const float t0 = s.pad * (lo_x * s.lo_q);
  const float t1 = (step_x * s.lo_q) * code_sum_x;
  const float t2 = (lo_x * s.step_q) * s.code_sum_q;
  const float t3 = (step_x * s.step_q) * ipf;
  const float S = t0 + (t1 + (t2 + t3));
  const float est = (norm2_x + s.norm2_q) - (S + S);
  const float va = vx * s.norm2_q;
  const float vb = ((s.step_q * s.step_q) / 12.0f) * norm2_x;
  float var = va + vb;
  if (!(var >= 0.0f)) var = 0.0f;
  const float lower = est - 6.0f * std::sqrt(var);
  return {est, lower};
}

inline RowEstimate estimate_one(const detail::EstimateScalars& s, uint64_t ip, const float* f) {
  const float step_x = f[kFactorStep];
  return estimate_with(s, ip, f[kFactorNorm2], step_x, f[kFactorLo], f[kFactorCodeSum], (step_x * step_x) / 12.0f);
}

detail::EstimateScalars scalars_of(const QueryLut& lut, size_t pad) {
  return {static_cast<float>(pad), lut.lo, lut.step, lut.code_sum, lut.norm2};
}

// Rows per batch of the fused estimate: inner products land in a stack buffer first.
constexpr size_t kEstimateBatch = 256;

void estimate_rows_with(IpFn ipf, EstFn estf, const QueryLut& lut, const uint64_t* codes,
                        const float* factors, size_t n_rows, uint32_t n_bits, size_t pad,
                        float* estimate, float* lower) {
  const detail::EstimateScalars s = scalars_of(lut, pad);
  const size_t words = lut.words_per_plane;
  const size_t stride = static_cast<size_t>(n_bits) * words;
  uint64_t ip[kEstimateBatch];
  for (size_t b = 0; b < n_rows; b += kEstimateBatch) {
    const size_t n = std::min(kEstimateBatch, n_rows - b);
    ipf(lut.words.data(), codes + b * stride, n, n_bits, words, ip);
    estf(s, ip, factors + b * kRowFactors, n, estimate + b, lower + b);
  }
}

}  // namespace

void detail::estimates_from_ip_scalar(const EstimateScalars& s, const uint64_t* ip, const float* factors,
                                      size_t n, float* estimate, float* lower) {
  for (size_t r = 0; r < n; ++r) {
    const RowEstimate e = estimate_one(s, ip[r], factors + r * kRowFactors);
    estimate[r] = e.estimate;
    lower[r] = e.lower;
  }
}

void detail::estimates_from_blocked_scalar(const EstimateScalars& s, const uint64_t* ip, const float* fblocks,
                                           size_t n, float* estimate, float* lower) {
  const size_t rows = (n + 15) / 16 * 16;
  for (size_t r = 0; r < rows; ++r) {
    const float* f = fblocks + r / kScanBlockRows * kBlockFactorFloats + r % kScanBlockRows;
    const RowEstimate e = estimate_with(s, ip[r], f[0], f[kScanBlockRows], f[2 * kScanBlockRows],
                                        f[3 * kScanBlockRows], f[4 * kScanBlockRows]);
    estimate[r] = e.estimate;
    lower[r] = e.lower;
  }
}

void ip_rows(const uint64_t* lut_words, const uint64_t* codes, size_t n_rows, uint32_t n_bits,
             size_t words, uint64_t* out) {
  static const IpFn fn = ip_for(simd::active_level());
  fn(lut_words, codes, n_rows, n_bits, words, out);
}

void ip_rows_at(simd::Level level, const uint64_t* lut_words, const uint64_t* codes, size_t n_rows,
                uint32_t n_bits, size_t words, uint64_t* out) {
  ip_for(usable(level))(lut_words, codes, n_rows, n_bits, words, out);
}

RowEstimate estimate_distance(uint64_t ip, const float* row_factors, const QueryLut& lut, size_t pad) {
  return estimate_one(scalars_of(lut, pad), ip, row_factors);
}

void estimate_rows(const QueryLut& lut, const uint64_t* codes, const float* factors, size_t n_rows,
                   uint32_t n_bits, size_t pad, float* estimate, float* lower) {
  static const IpFn ipf = ip_for(simd::active_level());
  static const EstFn estf = est_for(simd::active_level());
  estimate_rows_with(ipf, estf, lut, codes, factors, n_rows, n_bits, pad, estimate, lower);
}

void estimate_rows_at(simd::Level level, const QueryLut& lut, const uint64_t* codes,
                      const float* factors, size_t n_rows, uint32_t n_bits, size_t pad,
                      float* estimate, float* lower) {
  const simd::Level l = usable(level);
  estimate_rows_with(ip_for(l), est_for(l), lut, codes, factors, n_rows, n_bits, pad, estimate,
                     lower);
}

}  // namespace ivf_rabitq::codec
