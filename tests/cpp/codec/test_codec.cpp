#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <limits>
#include <random>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/common/simd.hpp"

using namespace ivf_rabitq;
using namespace ivf_rabitq::codec;

namespace {

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

std::vector<float> random_vec(size_t n, uint32_t seed, float scale = 1.0f) {
  std::mt19937 g(seed);
  std::normal_distribution<float> d(0.0f, scale);
  std::vector<float> v(n);
  for (auto& x : v) x = d(g);
  return v;
}

// A reference rotation written here apart from the engine, element by element, used to
// check the library (including its SIMD transforms) bit for bit.
std::vector<float> reference_rotate(const Rotator& R, const std::vector<float>& src) {
  std::vector<float> out(R.pad, 0.0f);
  auto fwht_ref = [](float* v, size_t n) {
    for (size_t h = 1; h < n; h *= 2)
      for (size_t s = 0; s + 2 * h <= n; s += 2 * h)
        for (size_t i = 0; i < h; ++i) {
          float a = v[s + i], b = v[s + h + i];
          v[s + i] = a + b;
          v[s + h + i] = a - b;
        }
  };
  size_t take = std::min(src.size(), R.dim);
  for (size_t i = 0; i < take; ++i) out[i] = src[i];
  if (!R.new_layout) {
    size_t n = R.pad;
    for (int r = 0; r < 2; ++r) {
      for (size_t i = 0; i < n; ++i) out[i] *= R.signs[r][i];
      fwht_ref(out.data(), n);
      for (size_t i = 0; i < n; ++i) out[i] *= R.legacy_scale;
    }
    return out;
  }
  size_t d = R.dim, c = R.block;
  if (d == 0) return out;
  float e = R.block_scale;
  for (int r = 0; r < 4; ++r) {
    for (size_t i = 0; i < d; ++i) out[i] *= R.signs[r][i];
    if (c == d) {
      fwht_ref(out.data(), d);
      for (size_t i = 0; i < d; ++i) out[i] *= e;
      continue;
    }
    size_t off = (r % 2 == 0) ? 0 : d - c;
    fwht_ref(out.data() + off, c);
    for (size_t i = 0; i < c; ++i) out[off + i] *= e;
    size_t m = d / 2, h = d - m;
    for (size_t i = 0; i < m; ++i) {
      float a = out[i], b = out[i + h];
      out[i] = a + b;
      out[i + h] = a - b;
    }
    if (d % 2) out[m] *= 1.41421354f;
  }
  if (c != d)
    for (size_t i = 0; i < d; ++i) out[i] *= 0.25f;
  return out;
}

std::vector<uint32_t> decode_codes(const std::vector<uint64_t>& planes, size_t n_planes, size_t words,
                                   size_t len) {
  std::vector<uint32_t> c(len, 0);
  for (size_t i = 0; i < len; ++i)
    for (size_t j = 0; j < n_planes; ++j) c[i] |= uint32_t((planes[j * words + i / 64] >> (i % 64)) & 1u) << j;
  return c;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Rotation
// ---------------------------------------------------------------------------------------

TEST(Rotator, Seed42SignPrefixAndStreamContinuity) {
  EXPECT_EQ(rotation_seed(42), 0x524142495451315BULL);
  const float want[8] = {-1, +1, -1, -1, +1, -1, -1, -1};
  for (bool nl : {true, false}) {
    Rotator R = Rotator::build(100, rotation_seed(42), nl);
    ASSERT_EQ(R.signs.size(), nl ? 4u : 2u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(R.signs[0][i], want[i]) << "entry " << i << " new=" << nl;
  }
  // One continuous stream: vector 1 of the new layout (dim 100) continues where vector 0
  // ended, i.e. at entry 100 of the legacy layout's first vector (pad 128).
  Rotator n = Rotator::build(100, 7, true), l = Rotator::build(100, 7, false);
  for (size_t i = 0; i < 28; ++i) EXPECT_EQ(n.signs[1][i], l.signs[0][100 + i]);
  // Seed OR 1: seeds 6 and 7 give the same stream.
  EXPECT_EQ(Rotator::build(64, 6, true).signs, Rotator::build(64, 7, true).signs);
}

TEST(Rotator, ShapeByLayout) {
  struct Case { size_t dim; bool nl; size_t pad, block, nsign; };
  const Case cases[] = {
      {0, true, 64, 1, 0},        {1, true, 64, 1, 1},       {64, true, 64, 64, 64},
      {65, true, 128, 64, 65},    {100, true, 128, 64, 100}, {300, true, 320, 256, 300},
      {768, true, 768, 512, 768}, {1, false, 64, 0, 64},     {100, false, 128, 0, 128},
      {300, false, 512, 0, 512},  {768, false, 1024, 0, 1024},
  };
  for (const auto& c : cases) {
    Rotator R = Rotator::build(c.dim, 99, c.nl);
    EXPECT_EQ(R.pad, c.pad) << c.dim;
    EXPECT_EQ(R.pad, rotation_pad(c.dim, c.nl));
    EXPECT_EQ(R.block, c.block) << c.dim;
    for (auto& s : R.signs) EXPECT_EQ(s.size(), c.nsign);
    if (c.nl) {
      EXPECT_EQ(bits(R.block_scale), bits(1.0f / std::sqrt(float(c.block))));
      EXPECT_EQ(R.legacy_scale, 0.0f);
    } else {
      EXPECT_EQ(bits(R.legacy_scale), bits(1.0f / std::sqrt(float(c.pad))));
      EXPECT_EQ(R.block_scale, 0.0f);
    }
  }
}

TEST(Rotator, BitExactAgainstReferenceBothLayouts) {
  for (bool nl : {true, false}) {
    for (size_t dim : {1, 2, 3, 5, 8, 16, 33, 64, 65, 100, 101, 128, 300, 768, 1000, 1536}) {
      Rotator R = Rotator::build(dim, rotation_seed(dim * 31 + 5), nl);
      for (size_t src_len : {dim, dim / 2, dim + 7}) {
        auto src = random_vec(src_len, uint32_t(dim + src_len));
        std::vector<float> out(R.pad, 123.0f);
        R.rotate_into(src, out);
        auto ref = reference_rotate(R, src);
        for (size_t i = 0; i < R.pad; ++i)
          ASSERT_EQ(bits(out[i]), bits(ref[i])) << "dim " << dim << " new " << nl << " len " << src_len << " i " << i;
        if (nl) {
          for (size_t i = dim; i < R.pad; ++i) ASSERT_EQ(out[i], 0.0f);
        }
      }
    }
  }
}

TEST(Rotator, EdgeDims) {
  // dim 0: all zeros.
  Rotator z = Rotator::build(0, 1, true);
  std::vector<float> out(64, 5.0f);
  std::vector<float> src = {1.0f, 2.0f};
  z.rotate_into(src, out);
  for (float v : out) EXPECT_EQ(v, 0.0f);
  // dim 1: src[0] times the product of the four signs, then 63 zeros; extra src ignored.
  Rotator one = Rotator::build(1, rotation_seed(42), true);
  float prod = one.signs[0][0] * one.signs[1][0] * one.signs[2][0] * one.signs[3][0];
  one.rotate_into(src, out);
  EXPECT_EQ(out[0], 1.0f * prod);
  for (size_t i = 1; i < 64; ++i) EXPECT_EQ(out[i], 0.0f);
  // A source shorter than dim equals the zero-padded source; a longer one its prefix.
  Rotator R = Rotator::build(101, 3, true);
  auto full = random_vec(101, 9);
  std::vector<float> shortv(full.begin(), full.begin() + 50), padded(101, 0.0f), longer = full;
  std::copy(shortv.begin(), shortv.end(), padded.begin());
  longer.push_back(1e30f);
  std::vector<float> a(R.pad), b(R.pad);
  R.rotate_into(shortv, a);
  R.rotate_into(padded, b);
  EXPECT_EQ(a, b);
  R.rotate_into(longer, a);
  R.rotate_into(full, b);
  EXPECT_EQ(a, b);
  // An output shorter than pad is never overrun.
  std::vector<float> small(10, 7.0f);
  R.rotate_into(full, std::span<float>(small));
  for (float v : small) EXPECT_EQ(v, 0.0f);
}

TEST(Rotator, PreservesNormsAndInnerProducts) {
  for (bool nl : {true, false}) {
    for (size_t dim : {3, 64, 65, 100, 101, 128, 300, 768, 1536}) {
      Rotator R = Rotator::build(dim, 1234 + dim, nl);
      auto x = random_vec(dim, 1), y = random_vec(dim, 2);
      std::vector<float> rx(R.pad), ry(R.pad);
      R.rotate_into(x, rx);
      R.rotate_into(y, ry);
      double nx = 0, nrx = 0, ip = 0, rip = 0;
      for (size_t i = 0; i < dim; ++i) nx += double(x[i]) * x[i], ip += double(x[i]) * y[i];
      for (size_t i = 0; i < R.pad; ++i) nrx += double(rx[i]) * rx[i], rip += double(rx[i]) * ry[i];
      EXPECT_NEAR(nrx, nx, 1e-4 * nx) << "dim " << dim << " new " << nl;
      EXPECT_NEAR(rip, ip, 1e-4 * nx) << "dim " << dim << " new " << nl;
    }
  }
  // Legacy spreads energy over the whole pad; the new layout keeps it in the first dim.
  Rotator L = Rotator::build(100, 5, false);
  auto x = random_vec(100, 3);
  std::vector<float> out(128);
  L.rotate_into(x, out);
  size_t nonzero_tail = 0;
  for (size_t i = 100; i < 128; ++i) nonzero_tail += out[i] != 0.0f;
  EXPECT_GT(nonzero_tail, 20u);
}

TEST(Fwht, EveryLevelMatchesScalarBitForBit) {
  for (auto level : simd::supported_levels()) {
    for (size_t n = 1; n <= 4096; n *= 2) {
      auto v = random_vec(n, uint32_t(n), 3.0f);
      if (n >= 4) {
        v[1] = std::numeric_limits<float>::infinity();
        v[2] = -0.0f;
        v[3] = 1e38f;
      }
      auto ref = v;
      detail::fwht_scalar(ref.data(), n);
      fwht_at(level, v.data(), n);
      for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(bits(v[i]), bits(ref[i])) << simd::level_name(level) << " n " << n << " i " << i;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Row codes and query tables
// ---------------------------------------------------------------------------------------

TEST(Encode, WorkedExampleTwoBits) {
  std::vector<float> x(64);
  for (int i = 0; i < 64; ++i) x[i] = float(i);
  std::vector<uint64_t> code(2 * 1, 0xDEADBEEF);
  float f[4];
  encode_rotated_bbit(x, 64, 2, 1, code, std::span<float, 4>(f));
  EXPECT_EQ(code[0], 0xFFE00000FFFFF800ULL);
  EXPECT_EQ(code[1], 0xFFFFFFFF00000000ULL);
  EXPECT_EQ(f[kFactorNorm2], 85344.0f);
  EXPECT_EQ(f[kFactorStep], 21.0f);
  EXPECT_EQ(f[kFactorLo], 0.0f);
  EXPECT_EQ(f[kFactorCodeSum], 96.0f);
  const std::vector<uint64_t> q = {~0ULL, 0, 0, 0};  // every query code 1
  EXPECT_EQ(estimate_qc_scalar(q, code, 2, 1), 96u);
  for (auto level : simd::supported_levels()) {
    uint64_t ip = 0;
    ip_rows_at(level, q.data(), code.data(), 1, 2, 1, &ip);
    EXPECT_EQ(ip, 96u) << simd::level_name(level);
  }
}

TEST(Encode, ConstantResidualAndNoClipping) {
  // All equal: step 1e-12, codes 0, lo the value, inner product 0.
  std::vector<float> x(128, 2.5f);
  std::vector<uint64_t> code(4 * 2);
  float f[4];
  encode_rotated_bbit(x, 128, 4, 2, code, std::span<float, 4>(f));
  EXPECT_EQ(f[kFactorStep], 1e-12f);
  EXPECT_EQ(f[kFactorLo], 2.5f);
  EXPECT_EQ(f[kFactorCodeSum], 0.0f);
  for (auto w : code) EXPECT_EQ(w, 0u);
  std::vector<uint64_t> q(8, ~0ULL);
  EXPECT_EQ(estimate_qc_scalar(q, code, 4, 2), 0u);

  // 5..8 bits: lo and hi are min and max; extremes get codes 0 and L.
  auto y = random_vec(192, 11);
  y[5] = -10.0f;
  y[77] = 10.0f;
  for (uint32_t nb = 5; nb <= 8; ++nb) {
    std::vector<uint64_t> c(nb * 3);
    encode_rotated_bbit(y, 192, nb, 3, c, std::span<float, 4>(f));
    const uint32_t L = (1u << nb) - 1;
    EXPECT_EQ(f[kFactorLo], -10.0f);
    EXPECT_EQ(bits(f[kFactorStep]), bits(20.0f / float(L)));
    auto codes = decode_codes(c, nb, 3, 192);
    EXPECT_EQ(codes[5], 0u);
    EXPECT_EQ(codes[77], L);
  }
  // 1 bit: one plane, codes 0/1, clip 2.0.
  std::vector<uint64_t> c1(3);
  encode_rotated_bbit(y, 192, 1, 3, c1, std::span<float, 4>(f));
  auto codes = decode_codes(c1, 1, 3, 192);
  uint64_t s = 0;
  for (auto v : codes) s += v;
  EXPECT_EQ(f[kFactorCodeSum], float(s));
  EXPECT_GT(f[kFactorLo], -10.0f);  // clipped above the minimum
}

TEST(Encode, ReconstructionWithinHalfStepAndStatisticsLength) {
  // New layout, dim 100, pad 128: norm2 covers 100 coordinates; the 28 zero coordinates
  // still get codes that enter code_sum.
  Rotator R = Rotator::build(100, 77, true);
  auto v = random_vec(100, 4);
  std::vector<float> x(128);
  R.rotate_into(v, x);
  for (uint32_t nb = 1; nb <= 8; ++nb) {
    std::vector<uint64_t> code(nb * 2);
    float f[4];
    encode_rotated_bbit(x, 100, nb, 2, code, std::span<float, 4>(f));
    float sumsq = 0;
    for (size_t i = 0; i < 100; ++i) sumsq = sumsq + x[i] * x[i];
    EXPECT_EQ(bits(f[kFactorNorm2]), bits(sumsq));
    auto codes = decode_codes(code, nb, 2, 128);
    uint64_t s = 0;
    const float L = float((1u << nb) - 1);
    for (size_t i = 0; i < 128; ++i) {
      s += codes[i];
      ASSERT_LE(codes[i], uint32_t(L));
      const float rec = f[kFactorLo] + f[kFactorStep] * float(codes[i]);
      const bool inside = x[i] >= f[kFactorLo] && x[i] <= f[kFactorLo] + f[kFactorStep] * L;
      if (inside) {
        EXPECT_LE(std::fabs(rec - x[i]), f[kFactorStep] * 0.5001f) << nb << " " << i;
      }
    }
    EXPECT_EQ(f[kFactorCodeSum], float(s));
    if (nb >= 2) {
      EXPECT_GT(codes[127], 0u) << nb;  // zero coordinates sit mid-range
    }
  }
}

TEST(Encode, CodeSumExactOrFloatByLength) {
  // n_bits 8, values 0 and 1: every coordinate but one gets code 255. Below L*len < 2^24
  // the sum is exact; at len 65856 it is accumulated in f32 and loses the odd units.
  for (size_t len : {65792u, 65856u}) {
    std::vector<float> x(len, 1.0f);
    x[0] = 0.0f;
    const size_t words = len / 64;
    std::vector<uint64_t> code(8 * words);
    float f[4];
    encode_rotated_bbit(x, len, 8, words, code, std::span<float, 4>(f));
    const uint64_t exact = 255ull * (len - 1);
    float acc = 0.0f;
    for (size_t i = 0; i < len; ++i) acc = acc + (i == 0 ? 0.0f : 255.0f);
    if (len == 65792) {
      EXPECT_EQ(f[kFactorCodeSum], float(exact));
    } else {
      EXPECT_NE(acc, float(exact));  // the two rules really differ here
      EXPECT_EQ(bits(f[kFactorCodeSum]), bits(acc));
    }
  }
}

TEST(QueryLut, CodesScalarsAndReuse) {
  QueryLut lut;
  // Values 0..63: lo 0, hi 63, step 63/15; every code within half a step.
  std::vector<float> r(64);
  for (int i = 0; i < 64; ++i) r[i] = float(i);
  preprocess_query_into(lut, r, 64);
  EXPECT_EQ(lut.words_per_plane, 1u);
  ASSERT_EQ(lut.words.size(), 4u);
  EXPECT_EQ(lut.lo, 0.0f);
  EXPECT_EQ(bits(lut.step), bits(63.0f / 15.0f));
  EXPECT_EQ(lut.norm2, 85344.0f);
  auto codes = decode_codes(lut.words, 4, 1, 64);
  uint64_t s = 0;
  for (int i = 0; i < 64; ++i) {
    s += codes[i];
    EXPECT_LE(std::fabs(lut.step * float(codes[i]) - r[i]), lut.step * 0.5001f);
  }
  EXPECT_EQ(codes[0], 0u);
  EXPECT_EQ(codes[63], 15u);
  EXPECT_EQ(lut.code_sum, float(s));

  // Reuse for a longer then a shorter residual: words are refilled, not appended.
  auto big = random_vec(256, 5);
  preprocess_query_into(lut, big, 200);
  EXPECT_EQ(lut.words.size(), 16u);
  preprocess_query_into(lut, r, 64);
  EXPECT_EQ(lut.words.size(), 4u);
  EXPECT_EQ(decode_codes(lut.words, 4, 1, 64), codes);

  // Range below 15e-9: stored step is range/15, codes use the divisor 1e-9.
  std::vector<float> tiny(64);
  for (int i = 0; i < 64; ++i) tiny[i] = float(i) * 1e-11f;
  preprocess_query_into(lut, tiny, 64);
  EXPECT_EQ(lut.lo, 0.0f);
  EXPECT_EQ(bits(lut.step), bits((tiny[63] - 0.0f) / 15.0f));
  auto tc = decode_codes(lut.words, 4, 1, 64);
  for (int i = 0; i < 64; ++i) EXPECT_LE(tc[i], 1u);
  EXPECT_EQ(tc[63], 1u);
  EXPECT_EQ(tc[10], 0u);

  // All 15 against a row code of all L: 15 * L * len.
  std::vector<float> ramp(128);
  for (int i = 0; i < 128; ++i) ramp[i] = float(i % 2);
  std::vector<uint64_t> all_ones(4 * 2, ~0ULL);
  for (uint32_t nb : {1u, 3u, 8u}) {
    std::vector<uint64_t> row(nb * 2, ~0ULL);
    EXPECT_EQ(estimate_qc_scalar(all_ones, row, nb, 2), 15ull * ((1ull << nb) - 1) * 128);
  }
  EXPECT_EQ(estimate_qc_scalar(all_ones, all_ones, 0, 2), 0u);
  EXPECT_EQ(estimate_qc_scalar(all_ones, all_ones, 1, 0), 0u);
}

TEST(QueryLut, LongQueryCodeSumInFloat) {
  const size_t len = 1118528;  // first multiple of 64 at or above 1,118,482
  // Statistics over the first 64 values (one 0, the rest 15): every code but one is 15,
  // so the sum passes 2^24 and f32 accumulation differs from the exact sum.
  std::vector<float> r(len, 15.0f);
  r[0] = 0.0f;
  QueryLut lut;
  preprocess_query_into(lut, r, 64);
  auto codes = decode_codes(lut.words, 4, lut.words_per_plane, len);
  float acc = 0.0f;
  uint64_t exact = 0;
  for (auto c : codes) acc = acc + float(c), exact += c;
  EXPECT_EQ(bits(lut.code_sum), bits(acc));
  EXPECT_NE(acc, float(exact));
}

TEST(QueryLut, EmptyStatisticsLength) {
  QueryLut lut;
  auto r = random_vec(64, 8);
  preprocess_query_into(lut, r, 0);
  EXPECT_EQ(lut.norm2, 0.0f);
  EXPECT_EQ(lut.lo, std::numeric_limits<float>::infinity());
  EXPECT_EQ(lut.step, 1e-12f);
  for (auto w : lut.words) EXPECT_EQ(w, 0u);
}

namespace {

// The query table by the book, one coordinate at a time (NaN-ignoring max/min keeping the
// first of equal values, sequential f32 sums, round half up of the clamped quotient).
QueryLut reference_lut(const std::vector<float>& r, size_t D) {
  const size_t len = r.size(), n = std::min(len, D);
  float mx = -INFINITY, mn = INFINITY, sum = 0, sumsq = 0;
  for (size_t i = 0; i < n; ++i) {
    const float v = r[i];
    if (v > mx) mx = v;
    if (v < mn) mn = v;
    sum = sum + v;
    const float sq = v * v;
    sumsq = sumsq + sq;
  }
  float lo = mn, hi = mx;
  if (n > 0) {
    const float mean = sum / float(n);
    const float a = sumsq / float(n), b = mean * mean;
    float var = a - b;
    if (!(var >= 0)) var = 0;
    const float sd = std::sqrt(var) * 3.5f;
    const float l = mean - sd, h = mean + sd;
    lo = l > mn ? l : mn;
    hi = h < mx ? h : mx;
  }
  float step = (hi - lo) / 15.0f;
  if (!(step >= 1e-12f)) step = 1e-12f;
  const float div = step < 1e-9f ? 1e-9f : step;
  QueryLut lut;
  lut.words_per_plane = len / 64;
  lut.words.assign(4 * lut.words_per_plane, 0);
  uint64_t isum = 0;
  float fsum = 0;
  for (size_t i = 0; i < len; ++i) {
    float q = (r[i] - lo) / div;
    if (!(q > 0)) q = 0;
    if (q > 15) q = 15;
    const float f = std::floor(q);
    const uint32_t c = uint32_t(f) + (q - f >= 0.5f ? 1 : 0);
    isum += c;
    fsum = fsum + float(c);
    for (size_t j = 0; j < 4; ++j) lut.words[j * lut.words_per_plane + i / 64] |= uint64_t((c >> j) & 1) << (i % 64);
  }
  lut.norm2 = sumsq;
  lut.step = step;
  lut.lo = lo;
  lut.code_sum = len <= 1118481 ? float(isum) : fsum;
  return lut;
}

void expect_same_lut(const QueryLut& got, const QueryLut& want, const std::string& what) {
  EXPECT_EQ(got.words_per_plane, want.words_per_plane) << what;
  EXPECT_EQ(got.words, want.words) << what;
  EXPECT_EQ(bits(got.norm2), bits(want.norm2)) << what;
  EXPECT_EQ(bits(got.step), bits(want.step)) << what;
  EXPECT_EQ(bits(got.lo), bits(want.lo)) << what;
  EXPECT_EQ(bits(got.code_sum), bits(want.code_sum)) << what;
}

}  // namespace

// Every dispatch level builds the reference table bit for bit, also on residuals whose
// extremes are signed zeros (the first of equal values is kept), hold NaN or infinities,
// are constant, or span less than the divisor floor; and the batched statistics of many
// residuals side by side equal the one-at-a-time statistics.
TEST(QueryLut, EveryLevelMatchesReference) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* name;
    size_t len, D;
    std::function<float(size_t)> value;
  };
  const Case cases[] = {
      {"random 128", 128, 128, [](size_t i) { return std::sin(float(i) * 0.7f) * 3.0f; }},
      {"random 768, D 700", 768, 700, [](size_t i) { return std::cos(float(i) * 1.3f) + float(i % 7) * 0.01f; }},
      {"max is -0 then +0", 64, 64, [](size_t i) { return i == 3 ? -0.0f : (i == 9 ? 0.0f : -float(i + 1)); }},
      {"max is +0 then -0", 64, 64, [](size_t i) { return i == 3 ? 0.0f : (i == 9 ? -0.0f : -float(i + 1)); }},
      {"min is -0 then +0", 64, 64, [](size_t i) { return i == 5 ? -0.0f : (i == 40 ? 0.0f : float(i + 1)); }},
      {"all signed zeros", 128, 128, [](size_t i) { return (i * 7) % 3 ? 0.0f : -0.0f; }},
      {"NaN values", 128, 128, [nan](size_t i) { return i % 5 == 0 ? nan : float(i) - 60.0f; }},
      {"infinities", 128, 100, [inf](size_t i) { return i == 7 ? inf : (i == 8 ? -inf : float(i)); }},
      {"constant", 192, 192, [](size_t) { return 2.5f; }},
      {"tiny range", 64, 64, [](size_t i) { return float(i) * 1e-11f; }},
      {"D 0", 64, 0, [](size_t i) { return float(i); }},
      {"halves", 128, 128, [](size_t i) { return float(i % 31) * 0.5f; }},
  };
  for (const Case& c : cases) {
    std::vector<float> r(c.len);
    for (size_t i = 0; i < c.len; ++i) r[i] = c.value(i);
    const QueryLut want = reference_lut(r, c.D);
    for (auto level : simd::supported_levels()) {
      QueryLut got;
      got.words.assign(1000, 0xDEADu);  // stale contents must not leak through
      preprocess_query_into_at(level, got, r, c.D);
      expect_same_lut(got, want, std::string(c.name) + " " + simd::level_name(level));
    }
  }

  // Batched statistics: residuals q - rows[ids[i]] for 37 ids (repeats, unsorted), the
  // rows built so some residuals hit the cases above.
  const size_t pad = 256, n_rows = 50;
  std::vector<float> rows(n_rows * pad), q(pad);
  std::mt19937 g(3);
  std::normal_distribution<float> nd;
  for (auto& v : q) v = nd(g);
  for (size_t r = 0; r < n_rows; ++r)
    for (size_t j = 0; j < pad; ++j) rows[r * pad + j] = r % 6 == 0 ? q[j] : nd(g);  // zero residuals
  rows[7 * pad + 3] = nan;
  rows[8 * pad + 0] = -inf;
  // Signed-zero extremes (x - y is -0 only for -0 - +0) and NaN as the last coordinate.
  q[5] = -0.0f;
  q[6] = 0.0f;
  q[7] = -0.0f;
  for (size_t j = 0; j < pad; ++j) {
    rows[9 * pad + j] = q[j] + 1.0f;   // residuals about -1 ...
    rows[10 * pad + j] = q[j] + 1.0f;
    rows[11 * pad + j] = q[j] - 1.0f;  // ... and about +1
  }
  rows[9 * pad + 5] = 0.0f;   // max: -0 (coordinate 5) before +0 (6)
  rows[9 * pad + 6] = 0.0f;
  rows[10 * pad + 5] = -0.0f;  // max: +0 (5) before -0 (7)
  rows[10 * pad + 7] = 0.0f;
  rows[11 * pad + 5] = 0.0f;  // min: -0 (5) before +0 (6)
  rows[11 * pad + 6] = 0.0f;
  rows[13 * pad + 199] = nan;
  rows[13 * pad + pad - 1] = nan;
  std::vector<uint32_t> ids;
  for (size_t i = 0; i < 37; ++i) ids.push_back(uint32_t((i * 17 + 5) % n_rows));
  for (uint32_t id : {9u, 10u, 11u, 13u}) ids.push_back(id);
  for (size_t n : {size_t(0), size_t(1), size_t(200), pad}) {
    for (auto level : simd::supported_levels()) {
      std::vector<ResidualStats> st(ids.size());
      residual_stats_at(level, q.data(), rows.data(), pad, ids.data(), ids.size(), n, st.data());
      for (size_t i = 0; i < ids.size(); ++i) {
        std::vector<float> r(pad);
        for (size_t j = 0; j < pad; ++j) r[j] = q[j] - rows[ids[i] * pad + j];
        const QueryLut want = reference_lut(r, n);
        QueryLut got;
        preprocess_query_with(got, r, n, st[i]);
        expect_same_lut(got, want, std::string("batched ") + simd::level_name(level) + " n " + std::to_string(n) +
                                       " i " + std::to_string(i));
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Inner product and estimate kernels under every dispatch level
// ---------------------------------------------------------------------------------------

TEST(InnerProduct, EveryLevelEqualsNaiveSumForAllShapes) {
  std::mt19937_64 g(2024);
  const size_t word_counts[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 16, 17, 24, 25, 32};
  const size_t row_counts[] = {0, 1, 3, 7, 8, 9, 17, 34};
  for (uint32_t nb = 0; nb <= 8; ++nb) {
    for (size_t W : word_counts) {
      const size_t stride = nb * W;
      const size_t max_rows = 34;
      std::vector<uint64_t> q(4 * W), codes(max_rows * stride);
      for (auto& w : q) w = g();
      for (auto& w : codes) w = g();
      if (!codes.empty()) std::fill(codes.begin(), codes.begin() + stride, ~0ULL);  // row 0 all L
      q[0] = ~0ULL;
      // Naive: sum over coordinates of query code times row code.
      std::vector<uint64_t> naive(max_rows);
      auto qc = decode_codes(q, 4, W, W * 64);
      for (size_t r = 0; r < max_rows; ++r) {
        std::vector<uint64_t> row(codes.begin() + r * stride, codes.begin() + (r + 1) * stride);
        auto rc = decode_codes(row, nb, W, W * 64);
        uint64_t s = 0;
        for (size_t i = 0; i < W * 64; ++i) s += uint64_t(qc[i]) * rc[i];
        naive[r] = s;
        ASSERT_EQ(estimate_qc_scalar(q, row, nb, W), s) << "nb " << nb << " W " << W;
      }
      for (auto level : simd::supported_levels()) {
        for (size_t n : row_counts) {
          // Exactly sized buffers so a kernel reading past the last row shows under ASan.
          std::vector<uint64_t> block(codes.begin(), codes.begin() + n * stride);
          std::vector<uint64_t> out(n + 1, 0xABCDu);
          ip_rows_at(level, q.data(), block.data(), n, nb, W, out.data());
          for (size_t r = 0; r < n; ++r)
            ASSERT_EQ(out[r], naive[r]) << simd::level_name(level) << " nb " << nb << " W " << W << " rows " << n
                                        << " r " << r;
          EXPECT_EQ(out[n], 0xABCDu) << "wrote past the last row";
        }
      }
    }
  }
}

TEST(Estimate, FormulaAndEveryLevelBitIdentical) {
  // Hand-checked: S = 2*6 = 12, estimate 15 - 24 = -9, var = 5/12 + 40/12 = 3.75.
  QueryLut lut;
  lut.words_per_plane = 1;
  lut.words.assign(4, 0);
  lut.norm2 = 5;
  lut.step = 2;
  lut.lo = 0;
  lut.code_sum = 4;
  const float f[4] = {10, 1, 0, 3};
  RowEstimate e = estimate_distance(6, f, lut, 64);
  EXPECT_EQ(e.estimate, -9.0f);
  EXPECT_NEAR(e.lower, -9.0 - 6.0 * std::sqrt(3.75), 1e-5);
  // A negative variance counts as 0: the bound equals the estimate.
  const float neg[4] = {-1000, 0, 1, 0};
  e = estimate_distance(0, neg, lut, 64);
  EXPECT_EQ(bits(e.lower), bits(e.estimate));

  // Fused kernels: random realistic rows plus odd factor values, every level, against
  // estimate_distance(estimate_qc_scalar(...)) bit for bit.
  std::mt19937 g(7);
  for (size_t W : {1, 2, 12, 24, 5}) {
    for (uint32_t nb : {1u, 2u, 4u, 3u}) {
      const size_t pad = W * 64;
      auto qr = random_vec(pad, uint32_t(W * 10 + nb));
      preprocess_query_into(lut, qr, pad - 3);
      const size_t n = 77;
      std::vector<uint64_t> codes(n * nb * W);
      std::vector<float> factors(n * 4);
      for (size_t r = 0; r < n; ++r) {
        auto x = random_vec(pad, uint32_t(1000 + r));
        encode_rotated_bbit(x, pad, nb, W, std::span<uint64_t>(codes.data() + r * nb * W, nb * W),
                            std::span<float, 4>(factors.data() + r * 4, 4));
      }
      factors[4 * 3 + 0] = -1e30f;                                    // negative variance
      factors[4 * 5 + 1] = std::numeric_limits<float>::quiet_NaN();  // NaN step
      factors[4 * 9 + 2] = std::numeric_limits<float>::infinity();
      for (auto level : simd::supported_levels()) {
        std::vector<float> est(n), low(n);
        estimate_rows_at(level, lut, codes.data(), factors.data(), n, nb, pad, est.data(), low.data());
        for (size_t r = 0; r < n; ++r) {
          const uint64_t ip = estimate_qc_scalar(lut.words, {codes.data() + r * nb * W, nb * W}, nb, W);
          const RowEstimate want = estimate_distance(ip, factors.data() + r * 4, lut, pad);
          ASSERT_EQ(bits(est[r]), bits(want.estimate)) << simd::level_name(level) << " W " << W << " r " << r;
          ASSERT_EQ(bits(low[r]), bits(want.lower)) << simd::level_name(level) << " W " << W << " r " << r;
        }
      }
    }
  }
}

TEST(Estimate, ApproximatesTrueDistance) {
  // The estimate tracks the true squared distance of two rotated residuals, and the
  // lower bound sits below it for nearly all rows.
  const size_t pad = 768, W = 12;
  auto q = random_vec(pad, 1);
  QueryLut lut;
  preprocess_query_into(lut, q, pad);
  size_t below = 0;
  for (uint32_t r = 0; r < 50; ++r) {
    auto x = random_vec(pad, 100 + r);
    std::vector<uint64_t> code(4 * W);
    float f[4];
    encode_rotated_bbit(x, pad, 4, W, code, std::span<float, 4>(f));
    RowEstimate e = estimate_distance(estimate_qc_scalar(lut.words, code, 4, W), f, lut, pad);
    double d = 0;
    for (size_t i = 0; i < pad; ++i) d += double(x[i] - q[i]) * (x[i] - q[i]);
    EXPECT_NEAR(e.estimate, d, 0.05 * d);
    below += e.lower <= d;
  }
  EXPECT_GE(below, 49u);
}
