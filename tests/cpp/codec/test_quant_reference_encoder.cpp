// Int8 rerank codes against a reference encoder written in this file apart from the engine
// (scalar, one rounding step per line, nothing shared with quant.cpp): the row encoding, the
// query table and the four distance formulas, over rows and queries full of awkward values
// (NaN, infinities, signed zeros, subnormals, magnitudes beyond 2^127, exact powers of two),
// at every dispatch level. Bytes, records and distances must agree bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/simd.hpp"

using namespace ivf_rabitq;
using quant::RerankTable;
using quant::RowExponent;
using simd::Level;

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }
bool same(float a, float b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

// Largest magnitude from 0, NaN never replacing the running maximum.
float largest_magnitude(const std::vector<float>& x) {
  float m = 0.0f;
  for (float v : x) {
    const float a = std::fabs(v);
    if (!std::isnan(a) && a > m) m = a;
  }
  return m;
}

// The exponent byte, found the long way: ceil(log2 m) raised while 2^e < m, clamped.
uint8_t exponent_byte(float m) {
  if (std::isnan(m) || std::isinf(m) || m <= 0.0f) return 2;
  int e = static_cast<int>(std::ceil(std::log2(static_cast<double>(m))));
  while (std::ldexp(1.0, e) < static_cast<double>(m)) ++e;
  if (e < -126) e = -126;
  if (e > 127) e = 127;
  return static_cast<uint8_t>(e + 128);
}

// 2^(max(e, 2) - 128) from its bit pattern.
float scale_of(uint8_t e) { return std::bit_cast<float>(static_cast<uint32_t>(std::max<int>(e, 2) - 1) << 23); }

uint8_t byte_of(float x, float inv) {
  const float a = x * inv;
  const float b = a * 127.0f;
  float t = b + 128.0f;
  if (std::isnan(t) || t < 0.0f) t = 0.0f;
  if (t > 255.0f) t = 255.0f;
  const float f = std::floor(t);
  return static_cast<uint8_t>(static_cast<int>(f) + (t - f >= 0.5f ? 1 : 0));
}

struct RowEnc {
  std::vector<uint8_t> bytes;
  uint32_t sum;
  uint8_t e8;
};

RowEnc encode_row(const std::vector<float>& x) {
  RowEnc r;
  r.e8 = exponent_byte(largest_magnitude(x));
  const float l = scale_of(r.e8);
  const float inv = 1.0f / l;
  r.sum = 0;
  for (float v : x) {
    const uint8_t b = byte_of(v, inv);
    r.bytes.push_back(b);
    r.sum += static_cast<uint32_t>((b - 128) * (b - 128));
  }
  return r;
}

struct Table {
  std::vector<uint8_t> u8;
  float step, step_sq;
  bool fallback;
  bool has_pow2;
  std::vector<int16_t> i16;
  double pow2_step, query_norm;
};

Table table_of(const std::vector<float>& q, float quant_scale, bool pow2) {
  Table t;
  const float m = largest_magnitude(q);
  const float s = (std::isnan(quant_scale) || quant_scale < 1e-9f) ? 1e-9f : quant_scale;
  t.fallback = false;
  if (!q.empty()) {
    if (s >= m) {
      const float inv = 1.0f / s;
      for (float v : q) t.u8.push_back(byte_of(v, inv));
    } else {
      t.fallback = true;
    }
  }
  t.step = s / 127.0f;
  t.step_sq = t.step * t.step;
  t.has_pow2 = pow2;
  if (pow2) {
    const float p = scale_of(exponent_byte(m));
    const float inv = 1.0f / p;
    double Q = 0;
    for (float v : q) {
      const int16_t c = static_cast<int16_t>(byte_of(v, inv) - 128);
      t.i16.push_back(c);
      Q = Q + static_cast<double>(c) * static_cast<double>(c);
    }
    t.pow2_step = static_cast<double>(p) * 0.007874015748031496;
    t.query_norm = (t.pow2_step * t.pow2_step) * Q;
  }
  return t;
}

float distance_of(const Table& t, const std::vector<float>& q, const std::vector<uint8_t>& b,
                  std::optional<RowExponent> ex) {
  if (!ex) {
    if (!t.fallback) {
      uint64_t S = 0;
      for (size_t i = 0; i < t.u8.size(); ++i) {
        const int64_t d = int64_t(t.u8[i]) - int64_t(b[i]);
        S += static_cast<uint64_t>(d * d);
      }
      return static_cast<float>(S) * t.step_sq;
    }
    float d = 0.0f;
    for (size_t i = 0; i < q.size(); ++i) {
      const float y = (static_cast<float>(b[i]) - 128.0f) * t.step;
      const float diff = q[i] - y;
      const float term = diff * diff;
      d = d + term;
    }
    return d;
  }
  const float r = scale_of(ex->exp);
  if (!t.has_pow2) {
    const float w = r / 127.0f;
    float d = 0.0f;
    for (size_t i = 0; i < q.size(); ++i) {
      const float y = w * (static_cast<float>(b[i]) - 128.0f);
      const float diff = q[i] - y;
      const float term = diff * diff;
      d = d + term;
    }
    return d;
  }
  const double v = static_cast<double>(r) * 0.007874015748031496;
  int64_t dot = 0;
  for (size_t i = 0; i < q.size(); ++i) dot += int64_t(t.i16[i]) * (int64_t(b[i]) - 128);
  const double T = static_cast<double>(ex->energy);
  const double D = ((T * (v * v)) - (((v + v) * t.pow2_step) * static_cast<double>(dot))) + t.query_norm;
  if (std::isnan(D) || D <= 0.0) return 0.0f;
  return static_cast<float>(D);
}

std::vector<float> awkward(std::mt19937& g, size_t n, int kind) {
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = u(g);
  if (n == 0) return v;
  switch (kind) {
    case 0: break;
    case 1:  // exact power of two as the largest magnitude, of either sign
      v[g() % n] = (g() & 1) ? -2.0f : 2.0f;
      break;
    case 2:  // just above a power of two
      v[g() % n] = std::nextafter(4.0f, kInf);
      break;
    case 3:  // NaNs
      for (size_t i = 0; i < n; i += 3) v[i] = kNaN;
      break;
    case 4:  // an infinity
      v[g() % n] = (g() & 1) ? -kInf : kInf;
      break;
    case 5:  // beyond 2^127
      v[g() % n] = 3.3e38f;
      v[g() % n] = -3.3e38f;
      break;
    case 6:  // subnormal magnitudes only
      for (auto& x : v) x *= 1e-39f;
      break;
    case 7:  // signed zeros
      for (auto& x : v) x = (g() & 1) ? -0.0f : 0.0f;
      break;
    case 8:  // wide dynamic range
      for (auto& x : v) x = std::ldexp(x, static_cast<int>(g() % 60) - 30);
      break;
    case 9:  // ties of the rounding: x * 127 lands on k + 0.5 for a scale of 1
      for (size_t i = 0; i < n; ++i) v[i] = (static_cast<float>(static_cast<int>(g() % 255) - 127) + 0.5f) / 127.0f;
      v[0] = 1.0f;
      break;
  }
  return v;
}

constexpr int kKinds = 10;

}  // namespace

TEST(RowExpEdges, ReferenceSearchAgreesOnEveryExponent) {
  for (int e = -149; e <= 128; ++e) {
    for (float f : {0.5f, 0.75f, 0.99999994f, 1.0f, 1.00000012f}) {
      const float s = std::ldexp(f, e);
      ASSERT_EQ(storage::row_exp_for(s), exponent_byte(s)) << s;
      ASSERT_EQ(storage::row_exp_for(-s), 2) << -s;
    }
  }
}

TEST(RowEncodingEdges, BytesAndRecordsMatchReferenceEncoder) {
  std::mt19937 g(5);
  for (size_t dim : {1u, 3u, 16u, 31u, 64u, 97u, 300u}) {
    for (int kind = 0; kind < kKinds; ++kind) {
      const std::vector<float> x = awkward(g, dim, kind);
      const RowEnc want = encode_row(x);
      for (Level l : simd::supported_levels()) {
        std::vector<uint8_t> codes(dim, 0xAB);
        const quant::RowCode rc = quant::encode_pow2_row(x.data(), dim, codes.data(), l);
        SCOPED_TRACE(::testing::Message() << simd::level_name(l) << " dim " << dim << " kind " << kind);
        ASSERT_EQ(codes, want.bytes);
        ASSERT_EQ(rc.exp, want.e8);
        ASSERT_EQ(rc.energy, want.sum);
      }
      // The build path writes the same bytes and the record (sum, then e8 as a u32).
      std::vector<uint8_t> orig(dim), rec(8, 0xCC);
      const uint32_t slot = 0;
      quant::encode_build_rows(x.data(), dim, 0, 1, &slot, orig.data(), rec.data());
      ASSERT_EQ(orig, want.bytes);
      const uint8_t rec_want[8] = {uint8_t(want.sum), uint8_t(want.sum >> 8), uint8_t(want.sum >> 16),
                                   uint8_t(want.sum >> 24), want.e8, 0, 0, 0};
      ASSERT_EQ(0, std::memcmp(rec.data(), rec_want, 8));
      // A delta row of a segment with per-row exponents: the same bytes, then e8.
      std::vector<uint8_t> delta(dim + 1);
      quant::encode_delta_row(x.data(), dim, true, 3.0f, delta.data());
      ASSERT_EQ(std::vector<uint8_t>(delta.begin(), delta.begin() + dim), want.bytes);
      ASSERT_EQ(delta[dim], want.e8);
    }
  }
}

TEST(RerankTableEdges, TablesAndDistancesMatchReferenceEncoder) {
  std::mt19937 g(11);
  for (size_t dim : {1u, 5u, 16u, 33u, 64u, 130u}) {
    for (int qkind = 0; qkind < kKinds; ++qkind) {
      const std::vector<float> q = awkward(g, dim, qkind);
      // Rows: one stored per kind with its own exponent, one at the segment scale, plus raw
      // bytes under every exponent byte that means something special.
      std::vector<std::vector<uint8_t>> rows;
      std::vector<std::optional<RowExponent>> exps;
      for (int rkind = 0; rkind < kKinds; ++rkind) {
        const RowEnc r = encode_row(awkward(g, dim, rkind));
        rows.push_back(r.bytes);
        exps.push_back(RowExponent{r.e8, r.sum});
        rows.push_back(r.bytes);
        exps.push_back(std::nullopt);
      }
      for (uint8_t e : {0, 1, 2, 127, 255}) {
        std::vector<uint8_t> b(dim);
        for (auto& x : b) x = static_cast<uint8_t>(g());
        uint32_t sum = 0;
        for (auto x : b) sum += static_cast<uint32_t>((x - 128) * (x - 128));
        rows.push_back(b);
        exps.push_back(RowExponent{e, sum});
      }
      for (float qs : {0.0f, kNaN, -1.0f, 1e-9f, 0.5f, 2.0f, 4.0f, 1e30f}) {
        for (bool p2 : {false, true}) {
          const Table want = table_of(q, qs, p2);
          for (Level l : simd::supported_levels()) {
            SCOPED_TRACE(::testing::Message() << simd::level_name(l) << " dim " << dim << " qkind " << qkind
                                              << " quant_scale " << qs << " pow2 " << p2);
            const RerankTable t = RerankTable::build(q, qs, p2, l);
            ASSERT_EQ(t.codes_u8, want.u8);
            ASSERT_EQ(t.float_fallback, want.fallback);
            ASSERT_EQ(bits(t.step), bits(want.step));
            ASSERT_EQ(bits(t.step_sq), bits(want.step_sq));
            ASSERT_EQ(t.pow2.has_value(), p2);
            if (p2) {
              ASSERT_EQ(t.pow2->codes_i16, want.i16);
              ASSERT_EQ(t.pow2->pow2_step, want.pow2_step);
              ASSERT_EQ(t.pow2->query_norm, want.query_norm);
            }
            for (size_t r = 0; r < rows.size(); ++r) {
              const float got = t.distance(q, rows[r].data(), exps[r], l);
              ASSERT_TRUE(same(got, distance_of(want, q, rows[r], exps[r]))) << "row " << r << " got " << got;
              ASSERT_FALSE(!std::isnan(got) && std::signbit(got)) << "row " << r;
            }
          }
        }
      }
    }
  }
}
