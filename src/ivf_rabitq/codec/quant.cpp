#include "ivf_rabitq/codec/quant.hpp"

#include <cmath>
#include <cstring>
#include <string>

namespace ivf_rabitq::storage {

uint8_t row_exp_for(float s) {
  if (!(s > 0.0f) || !std::isfinite(s)) return 2;
  // s = f x 2^k with f in [0.5, 1): 2^(k-1) < s <= 2^k, with equality on the left only when
  // s is itself a power of two (f == 0.5). Exact for subnormals as well.
  int k = 0;
  const float f = std::frexp(s, &k);
  int e = (f == 0.5f) ? k - 1 : k;
  if (e < -126) e = -126;
  if (e > 127) e = 127;
  return static_cast<uint8_t>(e + 128);
}

}  // namespace ivf_rabitq::storage

namespace ivf_rabitq::quant {

namespace detail::scalar {

float max_abs(const float* x, size_t n) {
  float m = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float a = std::fabs(x[i]);
    if (a > m) m = a;  // a NaN compares false and never replaces the maximum
  }
  return m;
}

void quantize_u8(const float* x, size_t n, float inv, uint8_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = quantize_one(x[i], inv);
}

void quantize_i16(const float* x, size_t n, float inv, int16_t* out) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<int16_t>(static_cast<int>(quantize_one(x[i], inv)) - 128);
}

uint64_t code_energy(const uint8_t* b, size_t n) {
  uint64_t s = 0;
  for (size_t i = 0; i < n; ++i) {
    const int64_t d = static_cast<int64_t>(b[i]) - 128;
    s += static_cast<uint64_t>(d * d);
  }
  return s;
}

uint64_t ssd_u8(const uint8_t* a, const uint8_t* b, size_t n) {
  uint64_t s = 0;
  for (size_t i = 0; i < n; ++i) {
    const int64_t d = static_cast<int64_t>(a[i]) - static_cast<int64_t>(b[i]);
    s += static_cast<uint64_t>(d * d);
  }
  return s;
}

int64_t dot_i16_u8(const int16_t* q, const uint8_t* b, size_t n) {
  int64_t s = 0;
  for (size_t i = 0; i < n; ++i) s += static_cast<int64_t>(q[i]) * (static_cast<int64_t>(b[i]) - 128);
  return s;
}

void dot_i16_u8_rows(const int16_t* q, const uint8_t* const* rows, size_t m, size_t n, int64_t* out) {
  for (size_t r = 0; r < m; ++r) out[r] = dot_i16_u8(q, rows[r], n);
}

void dot_s8_u8_rows(const int8_t* q, int64_t q_sum, const uint8_t* const* rows, size_t m, size_t n, int64_t* out) {
  for (size_t r = 0; r < m; ++r) {
    int64_t s = 0;
    for (size_t i = 0; i < n; ++i) s += static_cast<int64_t>(q[i]) * static_cast<int64_t>(rows[r][i]);
    out[r] = s - 128 * q_sum;
  }
}

float float_dist(const float* q, const uint8_t* b, size_t n, float step) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float y = (static_cast<float>(b[i]) - 128.0f) * step;
    const float d = q[i] - y;
    sum += d * d;
  }
  return sum;
}

}  // namespace detail::scalar

namespace {

simd::Level usable(simd::Level lvl) { return simd::cpu_supports(lvl) ? lvl : simd::Level::Scalar; }

#define TANDREL_DISPATCH(lvl, fn, ...)                                     \
  switch (usable(lvl)) {                                                   \
    case simd::Level::Avx512: return detail::avx512::fn(__VA_ARGS__);      \
    case simd::Level::Avx2: return detail::avx2::fn(__VA_ARGS__);          \
    case simd::Level::Scalar: break;                                       \
  }                                                                        \
  return detail::scalar::fn(__VA_ARGS__)

}  // namespace

Status check_rerank_dim(size_t dim) {
  if (dim > kMaxRerankDim) {
    return invalid_input("build: dim " + std::to_string(dim) +
                         " exceeds 262143, the largest dim whose int8 code energy fits 32 bits");
  }
  return {};
}

float row_scale_from_exp(uint8_t e) {
  const uint32_t biased = static_cast<uint32_t>(e < 2 ? 2 : e) - 1u;  // 1..254
  const uint32_t bits = biased << 23;
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

uint8_t quantize_one(float x, float inv) {
  float t = ((x * inv) * 127.0f) + 128.0f;
  if (!(t > 0.0f)) t = 0.0f;  // NaN and negatives (and -0) give +0
  if (t > 255.0f) t = 255.0f;
  const float f = std::floor(t);
  return static_cast<uint8_t>(static_cast<int>(f) + (t - f >= 0.5f ? 1 : 0));
}

float max_abs(const float* x, size_t n, simd::Level lvl) { TANDREL_DISPATCH(lvl, max_abs, x, n); }
void quantize_u8(const float* x, size_t n, float inv, uint8_t* out, simd::Level lvl) {
  TANDREL_DISPATCH(lvl, quantize_u8, x, n, inv, out);
}
void quantize_i16(const float* x, size_t n, float inv, int16_t* out, simd::Level lvl) {
  TANDREL_DISPATCH(lvl, quantize_i16, x, n, inv, out);
}
static uint64_t code_energy64(const uint8_t* b, size_t n, simd::Level lvl) { TANDREL_DISPATCH(lvl, code_energy, b, n); }
uint32_t code_energy(const uint8_t* b, size_t n, simd::Level lvl) {
  return static_cast<uint32_t>(code_energy64(b, n, lvl));
}
uint64_t ssd_u8(const uint8_t* a, const uint8_t* b, size_t n, simd::Level lvl) { TANDREL_DISPATCH(lvl, ssd_u8, a, b, n); }
int64_t dot_i16_u8(const int16_t* q, const uint8_t* b, size_t n, simd::Level lvl) {
  TANDREL_DISPATCH(lvl, dot_i16_u8, q, b, n);
}
void dot_i16_u8_rows(const int16_t* q, const uint8_t* const* rows, size_t m, size_t n, int64_t* out,
                     simd::Level lvl) {
  TANDREL_DISPATCH(lvl, dot_i16_u8_rows, q, rows, m, n, out);
}
bool dot_s8_u8_fast(simd::Level lvl) { return simd::has_vnni(lvl); }
void dot_s8_u8_rows(const int8_t* q, int64_t q_sum, const uint8_t* const* rows, size_t m, size_t n, int64_t* out,
                    simd::Level lvl) {
  // Only the VNNI form beats the 16-bit kernels; without it the reference stands in.
  if (dot_s8_u8_fast(lvl)) return detail::avx512::dot_s8_u8_rows(q, q_sum, rows, m, n, out);
  detail::scalar::dot_s8_u8_rows(q, q_sum, rows, m, n, out);
}
float float_dist(const float* q, const uint8_t* b, size_t n, float step, simd::Level lvl) {
  TANDREL_DISPATCH(lvl, float_dist, q, b, n, step);
}

#undef TANDREL_DISPATCH

float max_abs(const float* x, size_t n) { return max_abs(x, n, simd::active_level()); }
void quantize_u8(const float* x, size_t n, float inv, uint8_t* out) { quantize_u8(x, n, inv, out, simd::active_level()); }
void quantize_i16(const float* x, size_t n, float inv, int16_t* out) {
  quantize_i16(x, n, inv, out, simd::active_level());
}
uint32_t code_energy(const uint8_t* b, size_t n) { return code_energy(b, n, simd::active_level()); }
void dot_i16_u8_rows(const int16_t* q, const uint8_t* const* rows, size_t m, size_t n, int64_t* out) {
  dot_i16_u8_rows(q, rows, m, n, out, simd::active_level());
}

RowCode encode_pow2_row(const float* x, size_t dim, uint8_t* codes, simd::Level lvl) {
  const float m = max_abs(x, dim, lvl);
  const uint8_t e8 = storage::row_exp_for(m);
  const float inv = 1.0f / row_scale_from_exp(e8);  // exact: the scale is a power of two
  quantize_u8(x, dim, inv, codes, lvl);
  return RowCode{code_energy(codes, dim, lvl), e8};
}

RowCode encode_pow2_row(const float* x, size_t dim, uint8_t* codes) {
  return encode_pow2_row(x, dim, codes, simd::active_level());
}

void store_origscale_record(uint8_t* rec8, RowCode rc) {
  const uint32_t en = rc.energy;
  rec8[0] = static_cast<uint8_t>(en);
  rec8[1] = static_cast<uint8_t>(en >> 8);
  rec8[2] = static_cast<uint8_t>(en >> 16);
  rec8[3] = static_cast<uint8_t>(en >> 24);
  rec8[4] = rc.exp;
  rec8[5] = 0;
  rec8[6] = 0;
  rec8[7] = 0;
}

void encode_build_rows(const float* rows, size_t dim, size_t b, size_t e, const uint32_t* slot_of,
                       uint8_t* orig, uint8_t* origscale) {
  const simd::Level lvl = simd::active_level();
  for (size_t r = b; r < e; ++r) {
    const size_t slot = slot_of ? static_cast<size_t>(slot_of[r]) : r;
    const RowCode rc = encode_pow2_row(rows + r * dim, dim, orig + slot * dim, lvl);
    store_origscale_record(origscale + slot * kOrigScaleRecordBytes, rc);
  }
}

void encode_delta_row(const float* x, size_t dim, bool per_row_exp, float quant_scale, uint8_t* out) {
  if (per_row_exp) {
    out[dim] = encode_pow2_row(x, dim, out).exp;
    return;
  }
  const float l = quant_scale > 1e-9f ? quant_scale : 1e-9f;  // NaN gives 1e-9
  quantize_u8(x, dim, 1.0f / l, out);
  out[dim] = 0;
}

void dequantize_row(const uint8_t* b, size_t n, float scale, float* out) {
  for (size_t i = 0; i < n; ++i) out[i] = ((static_cast<float>(b[i]) - 128.0f) / 127.0f) * scale;
}

float delta_row_scale(uint8_t exp_byte, float quant_scale) {
  return exp_byte == 0 ? quant_scale : row_scale_from_exp(exp_byte);
}

RowExponent main_row_exponent(const uint8_t* rec8) {
  const uint32_t en = static_cast<uint32_t>(rec8[0]) | (static_cast<uint32_t>(rec8[1]) << 8) |
                      (static_cast<uint32_t>(rec8[2]) << 16) | (static_cast<uint32_t>(rec8[3]) << 24);
  return RowExponent{rec8[4], en};
}

std::optional<RowExponent> delta_row_exponent(const uint8_t* row, size_t dim) {
  if (row[dim] == 0) return std::nullopt;
  return RowExponent{row[dim], quant::code_energy(row, dim)};
}

RerankTable RerankTable::build(std::span<const float> query, float quant_scale, bool pow2, simd::Level lvl) {
  RerankTable t;
  t.assign(query, quant_scale, pow2, lvl);
  return t;
}

RerankTable RerankTable::build(std::span<const float> query, float quant_scale, bool pow2) {
  return build(query, quant_scale, pow2, simd::active_level());
}

void RerankTable::assign(std::span<const float> query, float quant_scale, bool want_pow2) {
  assign(query, quant_scale, want_pow2, simd::active_level());
}

void RerankTable::assign(std::span<const float> query, float quant_scale, bool want_pow2, simd::Level lvl) {
  const size_t n = query.size();
  const float m = quant::max_abs(query.data(), n, lvl);
  const float s = quant_scale > 1e-9f ? quant_scale : 1e-9f;  // NaN gives 1e-9

  codes_u8.clear();
  float_fallback = false;
  if (n > 0) {
    if (s >= m) {
      codes_u8.resize(n);
      quant::quantize_u8(query.data(), n, 1.0f / s, codes_u8.data(), lvl);
    } else {
      float_fallback = true;
    }
  }
  step = s / 127.0f;
  step_sq = step * step;

  if (!want_pow2) {
    pow2.reset();
    return;
  }
  if (!pow2) pow2.emplace();
  Pow2& p2 = *pow2;
  const uint8_t eq8 = storage::row_exp_for(m);
  const float p = quant::row_scale_from_exp(eq8);
  p2.codes_i16.resize(n);
  quant::quantize_i16(query.data(), n, 1.0f / p, p2.codes_i16.data(), lvl);
  p2.codes_i8.resize(n);
  int64_t qs = 0;
  for (size_t i = 0; i < n; ++i) {
    p2.codes_i8[i] = static_cast<int8_t>(p2.codes_i16[i]);
    qs += p2.codes_i16[i];
  }
  p2.codes_sum = qs;
  p2.pow2_step = static_cast<double>(p) * 0.007874015748031496;
  // Every partial sum is an integer far below 2^53, so the integer sum converted once equals
  // the f64 sum taken in index order.
  uint64_t q = 0;
  for (size_t i = 0; i < n; ++i) {
    const int64_t c = p2.codes_i16[i];
    q += static_cast<uint64_t>(c * c);
  }
  p2.query_norm = (p2.pow2_step * p2.pow2_step) * static_cast<double>(q);
}

float RerankTable::distance(std::span<const float> query, const uint8_t* row, std::optional<RowExponent> exp,
                            simd::Level lvl) const {
  if (!exp) {
    if (!float_fallback) {
      const uint64_t ssd = quant::ssd_u8(codes_u8.data(), row, codes_u8.size(), lvl);
      return static_cast<float>(ssd) * step_sq;
    }
    return quant::float_dist(query.data(), row, query.size(), step, lvl);
  }
  if (!pow2) {
    const float r = quant::row_scale_from_exp(exp->exp);
    return quant::float_dist(query.data(), row, query.size(), r / 127.0f, lvl);
  }
  return pow2_distance(*exp, quant::dot_i16_u8(pow2->codes_i16.data(), row, pow2->codes_i16.size(), lvl));
}

float RerankTable::distance(std::span<const float> query, const uint8_t* row, std::optional<RowExponent> exp) const {
  return distance(query, row, exp, simd::active_level());
}

}  // namespace ivf_rabitq::quant
