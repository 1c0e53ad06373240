// Row codes and query lookup tables against a reference encoder written in this file apart
// from the engine (scalar, one rounding step per line, nothing shared with codec.cpp), over
// inputs full of awkward values (NaN, infinities, signed zeros, subnormals, huge magnitudes,
// constant runs) and every statistics length from 0 to past the end. Row factors and code
// words must agree bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/common/simd.hpp"

using namespace ivf_rabitq;

namespace {

const float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }
// Same bits, or both NaN.
bool same(float a, float b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

// max/min with NaN operands ignored; on equal operands the running value stays.
float max_ignoring_nan(float run, float v) { return std::isnan(v) ? run : (std::isnan(run) || v > run ? v : run); }
float min_ignoring_nan(float run, float v) { return std::isnan(v) ? run : (std::isnan(run) || v < run ? v : run); }

struct Stats {
  float lo, hi, sumsq;
};

Stats stats_of(const float* x, size_t n, float k) {
  float mx = -kInf, mn = kInf, sum = 0.0f, sumsq = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    mx = max_ignoring_nan(mx, x[i]);
    mn = min_ignoring_nan(mn, x[i]);
    sum = sum + x[i];
    const float p = x[i] * x[i];
    sumsq = sumsq + p;
  }
  if (n > 0 && k > 0.0f) {
    const float mean = sum / static_cast<float>(n);
    const float sq_mean = sumsq / static_cast<float>(n);
    const float mm = mean * mean;
    float var = sq_mean - mm;
    if (std::isnan(var) || var < 0.0f) var = 0.0f;
    const float s = std::sqrt(var) * k;
    const float a = mean - s, b = mean + s;
    // The larger (smaller) of the two; a NaN operand yields the other one.
    const float lo = std::isnan(a) ? mn : std::isnan(mn) ? a : (a > mn ? a : mn);
    const float hi = std::isnan(b) ? mx : std::isnan(mx) ? b : (b < mx ? b : mx);
    return {lo, hi, sumsq};
  }
  return {mn, mx, sumsq};
}

uint32_t round_code(float v, float lo, float div, float levels) {
  float q = (v - lo) / div;
  if (std::isnan(q) || q < 0.0f) q = 0.0f;
  if (q > levels) q = levels;
  const float f = std::floor(q);
  return static_cast<uint32_t>(f) + (q - f >= 0.5f ? 1u : 0u);
}

struct Encoded {
  std::vector<uint64_t> words;
  float factors[4];
};

Encoded encode_reference(const std::vector<float>& x, size_t D, uint32_t nb, size_t words) {
  const size_t len = x.size();
  const float clip[] = {0, 2.0f, 2.5f, 3.0f, 3.5f, 0, 0, 0, 0};
  const uint32_t L = (1u << nb) - 1u;
  const Stats st = stats_of(x.data(), std::min(len, D), clip[nb]);
  float step = (st.hi - st.lo) / static_cast<float>(L);
  if (std::isnan(step) || step < 1e-12f) step = 1e-12f;
  Encoded e;
  e.words.assign(nb * words, 0);
  uint64_t isum = 0;
  float fsum = 0.0f;
  for (size_t i = 0; i < len; ++i) {
    const uint32_t c = round_code(x[i], st.lo, step, static_cast<float>(L));
    isum += c;
    fsum = fsum + static_cast<float>(c);
    for (uint32_t j = 0; j < nb; ++j) e.words[j * words + i / 64] |= uint64_t((c >> j) & 1u) << (i % 64);
  }
  const bool exact = double(L) * double(len) < 16777216.0;
  e.factors[0] = st.sumsq;
  e.factors[1] = step;
  e.factors[2] = st.lo;
  e.factors[3] = exact ? static_cast<float>(isum) : fsum;
  return e;
}

codec::QueryLut lut_reference(const std::vector<float>& r, size_t D) {
  const size_t len = r.size();
  const Stats st = stats_of(r.data(), std::min(len, D), 3.5f);
  float step = (st.hi - st.lo) / 15.0f;
  if (std::isnan(step) || step < 1e-12f) step = 1e-12f;
  const float div = step > 1e-9f ? step : 1e-9f;
  codec::QueryLut lut;
  lut.words_per_plane = len / 64;
  lut.words.assign(4 * lut.words_per_plane, 0);
  uint64_t isum = 0;
  float fsum = 0.0f;
  for (size_t i = 0; i < len; ++i) {
    const uint32_t c = round_code(r[i], st.lo, div, 15.0f);
    isum += c;
    fsum = fsum + static_cast<float>(c);
    for (uint32_t j = 0; j < 4; ++j) lut.words[j * lut.words_per_plane + i / 64] |= uint64_t((c >> j) & 1u) << (i % 64);
  }
  lut.norm2 = st.sumsq;
  lut.step = step;
  lut.lo = st.lo;
  lut.code_sum = len <= 1118481 ? static_cast<float>(isum) : fsum;
  return lut;
}

// Residual-like vectors with a chosen mix of awkward values.
std::vector<float> awkward(std::mt19937& g, size_t len, int kind) {
  std::normal_distribution<float> nd(0.0f, 1.0f);
  std::vector<float> v(len);
  for (auto& x : v) x = nd(g);
  switch (kind) {
    case 0: break;  // plain
    case 1:         // a few NaNs
      for (size_t i = 3; i < len; i += 17) v[i] = kNaN;
      break;
    case 2:  // infinities of both signs
      v[g() % len] = kInf;
      v[g() % len] = -kInf;
      break;
    case 3:  // signed zeros only (a zero residual after rotation)
      for (size_t i = 0; i < len; ++i) v[i] = (g() & 1) ? -0.0f : 0.0f;
      break;
    case 4:  // huge: squares and sums overflow
      for (auto& x : v) x *= 3e37f;
      break;
    case 5:  // subnormal range: the step floors at 1e-12
      for (auto& x : v) x *= 1e-40f;
      break;
    case 6:  // constant
      std::fill(v.begin(), v.end(), 0.375f);
      break;
    case 7:  // all NaN
      std::fill(v.begin(), v.end(), kNaN);
      break;
    case 8:  // one dominant outlier: clipping cuts it off
      v[g() % len] = 1000.0f;
      break;
    case 9:  // tiny range around an offset
      for (auto& x : v) x = 5.0f + x * 1e-9f;
      break;
  }
  return v;
}

constexpr int kKinds = 10;

}  // namespace

TEST(EncodeEdges, RowCodesMatchReferenceEncoderOnAwkwardInputs) {
  std::mt19937 g(17);
  for (size_t len : {64u, 128u, 192u}) {
    const size_t words = len / 64;
    for (int kind = 0; kind < kKinds; ++kind) {
      const std::vector<float> x = awkward(g, len, kind);
      for (size_t D : {size_t{0}, size_t{1}, size_t{37}, len - 1, len, len + 5}) {
        for (uint32_t nb = 1; nb <= 8; ++nb) {
          const Encoded want = encode_reference(x, D, nb, words);
          std::vector<uint64_t> code(nb * words, 0x5555);
          float f[4];
          codec::encode_rotated_bbit(x, D, nb, words, code, std::span<float, 4>(f));
          SCOPED_TRACE(::testing::Message() << "len " << len << " kind " << kind << " D " << D << " nb " << nb);
          ASSERT_EQ(code, want.words);
          for (int i = 0; i < 4; ++i) ASSERT_TRUE(same(f[i], want.factors[i])) << "factor " << i << ": " << f[i] << " vs " << want.factors[i];
        }
      }
    }
  }
}

TEST(QueryLutEdges, MatchesReferenceEncoderOnAwkwardInputs) {
  std::mt19937 g(29);
  codec::QueryLut lut;  // reused across every call, as a search does
  for (size_t len : {64u, 128u, 320u}) {
    for (int kind = 0; kind < kKinds; ++kind) {
      const std::vector<float> r = awkward(g, len, kind);
      for (size_t D : {size_t{0}, size_t{1}, size_t{50}, len, len + 64}) {
        const codec::QueryLut want = lut_reference(r, D);
        codec::preprocess_query_into(lut, r, D);
        SCOPED_TRACE(::testing::Message() << "len " << len << " kind " << kind << " D " << D);
        ASSERT_EQ(lut.words_per_plane, want.words_per_plane);
        ASSERT_EQ(lut.words, want.words);
        EXPECT_TRUE(same(lut.norm2, want.norm2));
        EXPECT_TRUE(same(lut.step, want.step)) << lut.step << " vs " << want.step;
        EXPECT_TRUE(same(lut.lo, want.lo)) << lut.lo << " vs " << want.lo;
        EXPECT_TRUE(same(lut.code_sum, want.code_sum));
      }
    }
  }
}

TEST(InnerProductEdges, RowCodesAgainstLutsEveryLevel) {
  // The inner product of real encoder output (not random words) equals the coordinate sum
  // of query code x row code at every dispatch level, for the specialised and the generic
  // shapes, and the fused estimates equal the one-row formula.
  std::mt19937 g(3);
  for (size_t words : {1u, 2u, 3u, 12u, 24u}) {
    const size_t len = words * 64;
    codec::QueryLut lut;
    codec::preprocess_query_into(lut, awkward(g, len, 0), len - 3);
    for (uint32_t nb = 1; nb <= 8; ++nb) {
      const size_t rows = 21;
      std::vector<uint64_t> codes(rows * nb * words);
      std::vector<float> factors(rows * 4);
      for (size_t r = 0; r < rows; ++r) {
        codec::encode_rotated_bbit(awkward(g, len, static_cast<int>(r % kKinds)), len - 3, nb, words,
                                   std::span<uint64_t>(codes.data() + r * nb * words, nb * words),
                                   std::span<float, 4>(factors.data() + r * 4, 4));
      }
      for (auto level : simd::supported_levels()) {
        std::vector<uint64_t> ip(rows);
        codec::ip_rows_at(level, lut.words.data(), codes.data(), rows, nb, words, ip.data());
        std::vector<float> est(rows), low(rows);
        codec::estimate_rows_at(level, lut, codes.data(), factors.data(), rows, nb, len, est.data(), low.data());
        for (size_t r = 0; r < rows; ++r) {
          uint64_t naive = 0;
          for (size_t i = 0; i < len; ++i) {
            uint64_t qc = 0, rc = 0;
            for (uint32_t j = 0; j < 4; ++j) qc |= ((lut.words[j * words + i / 64] >> (i % 64)) & 1u) << j;
            for (uint32_t j = 0; j < nb; ++j) rc |= ((codes[r * nb * words + j * words + i / 64] >> (i % 64)) & 1u) << j;
            naive += qc * rc;
          }
          ASSERT_EQ(ip[r], naive) << simd::level_name(level) << " words " << words << " nb " << nb << " r " << r;
          const codec::RowEstimate e = codec::estimate_distance(naive, factors.data() + r * 4, lut, len);
          ASSERT_TRUE(same(est[r], e.estimate)) << simd::level_name(level) << " r " << r;
          ASSERT_TRUE(same(low[r], e.lower)) << simd::level_name(level) << " r " << r;
        }
      }
    }
  }
}

TEST(RotatorEdges, SignVectorsAreOneXorshiftStreamInEveryLayout) {
  // Every entry of every sign vector, against the generator written out here: state starts
  // at seed | 1, and each entry takes one step and reads bit 0 (1 means -1).
  struct Case {
    size_t dim;
    uint64_t segment_seed;
  } cases[] = {{0, 1}, {1, 42}, {3, 42}, {64, 0}, {100, 42}, {300, 0xFFFFFFFFFFFFFFFFull}, {1000, 7}};
  for (const auto& c : cases) {
    for (bool nl : {true, false}) {
      const uint64_t seed = codec::rotation_seed(c.segment_seed);
      const codec::Rotator R = codec::Rotator::build(c.dim, seed, nl);
      const size_t rounds = nl ? 4 : 2, len = nl ? c.dim : R.pad;
      ASSERT_EQ(R.signs.size(), rounds);
      uint64_t s = seed | 1;
      for (size_t v = 0; v < rounds; ++v) {
        ASSERT_EQ(R.signs[v].size(), len);
        for (size_t i = 0; i < len; ++i) {
          s ^= s << 13;
          s ^= s >> 7;
          s ^= s << 17;
          ASSERT_EQ(bits(R.signs[v][i]), bits((s & 1) ? -1.0f : 1.0f))
              << "dim " << c.dim << " new " << nl << " vector " << v << " entry " << i;
        }
      }
    }
  }
}

TEST(StatisticsEdges, SignedZeroTiesGiveTheSameLoWhateverTheBuild) {
  // A zero residual after rotation holds zeros of both signs. The running minimum keeps the
  // first of equal values, and the clipped bound yields the minimum when the two are equal,
  // so `lo` is a function of the data alone (it used to follow whether the compiler inlined
  // fmin/fmax or called libm, and differed between -O0 and optimised builds).
  struct Case {
    const char* what;
    float first, second, rest;
    uint32_t nb;
    uint32_t lo_bits;
  } cases[] = {
      {"no clipping, -0 first", -0.0f, 0.0f, 0.0f, 6, 0x80000000u},
      {"no clipping, +0 first", 0.0f, -0.0f, -0.0f, 6, 0x00000000u},
      {"clipped: minimum -0", -0.0f, -0.0f, 0.0f, 2, 0x80000000u},
      {"clipped: minimum +0", 0.0f, -0.0f, -0.0f, 2, 0x00000000u},
      {"clipped: all -0", -0.0f, -0.0f, -0.0f, 4, 0x80000000u},
  };
  for (const auto& c : cases) {
    std::vector<float> x(64, c.rest);
    x[0] = c.first;
    x[1] = c.second;
    std::vector<uint64_t> code(c.nb);
    float f[4];
    codec::encode_rotated_bbit(x, 64, c.nb, 1, code, std::span<float, 4>(f));
    EXPECT_EQ(bits(f[codec::kFactorLo]), c.lo_bits) << c.what;
    EXPECT_EQ(f[codec::kFactorStep], 1e-12f) << c.what;
    for (auto w : code) EXPECT_EQ(w, 0u) << c.what;
    codec::QueryLut lut;
    codec::preprocess_query_into(lut, x, 64);
    EXPECT_EQ(bits(lut.lo), c.lo_bits) << c.what << " (query)";
  }
}
