// Int8 rerank codes: row exponent, build/delta row encoding, dequantisation, the query
// table and the four distance formulas, every SIMD level against the scalar reference.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/simd.hpp"

using namespace ivf_rabitq;
using quant::RerankTable;
using quant::RowExponent;
using simd::Level;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// Same bits, or both NaN (a NaN's payload is not part of any contract).
::testing::AssertionResult SameFloat(float a, float b) {
  if (bits(a) == bits(b) || (std::isnan(a) && std::isnan(b))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << a << " (0x" << std::hex << bits(a) << ") vs " << b << " (0x" << bits(b)
                                       << ")";
}

// Exact reference of the row exponent: the smallest e with 2^e >= s, by f64 comparisons.
uint8_t exp_reference(float s) {
  if (!(s > 0.0f) || !std::isfinite(s)) return 2;
  for (int e = -126; e <= 127; ++e)
    if (std::ldexp(1.0, e) >= static_cast<double>(s)) return static_cast<uint8_t>(e + 128);
  return 255;
}

std::vector<float> random_floats(std::mt19937& rng, size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t n) {
  std::uniform_int_distribution<int> d(0, 255);
  std::vector<uint8_t> v(n);
  for (auto& x : v) x = static_cast<uint8_t>(d(rng));
  return v;
}

const size_t kDims[] = {1, 7, 63, 64, 65, 1000};

}  // namespace

// ---------------------------------------------------------------- row exponent

// Worked values of the rule stated at row_exp_for (codec/quant.hpp).
TEST(RowExp, WorkedValues) {
  struct Case {
    float s;
    uint8_t want;
  } cases[] = {
      {1.0f, 128}, {1.5f, 129},  {0.5f, 127},  {0.0f, 2},    {-0.0f, 2},        {-1.0f, 2},   {-kInf, 2},
      {1e-40f, 2}, {3e38f, 255}, {kInf, 2},    {kNaN, 2},    {3.0f, 130},       {4.0f, 130},  {4.0000005f, 131},
      {std::numeric_limits<float>::max(), 255}, {std::numeric_limits<float>::min(), 2},
  };
  for (const auto& c : cases) EXPECT_EQ(storage::row_exp_for(c.s), c.want) << c.s;
}

TEST(RowExp, ExactAroundEveryPowerOfTwo) {
  // Neighbours of powers of two are where a log2-based search goes wrong; the byte must be
  // the exact smallest e with 2^e >= s.
  std::mt19937 rng(7);
  for (int e = -149; e <= 127; ++e) {
    const float p = std::ldexp(1.0f, e);
    float probes[] = {p, std::nextafter(p, 0.0f), std::nextafter(p, kInf), p * 0.75f, p * 1.25f,
                      std::nextafter(std::nextafter(p, kInf), kInf)};
    for (float s : probes) {
      if (!(s > 0.0f) || !std::isfinite(s)) continue;
      ASSERT_EQ(storage::row_exp_for(s), exp_reference(s)) << "s=" << s << " e=" << e;
    }
  }
  for (int i = 0; i < 20000; ++i) {
    const float s = std::bit_cast<float>(static_cast<uint32_t>(rng()) & 0x7fffffffu);
    ASSERT_EQ(storage::row_exp_for(s), exp_reference(s)) << s;
  }
  // The scale of the byte covers the value, and half of it does not (unless clamped at 2).
  for (float s : {1e-30f, 0.3f, 1.0f, 7.0f, 1e20f}) {
    const uint8_t b = storage::row_exp_for(s);
    EXPECT_GE(quant::row_scale_from_exp(b), s);
    EXPECT_LT(quant::row_scale_from_exp(b) / 2, s);
  }
}

TEST(RowExp, ScaleFromExponentByte) {
  EXPECT_EQ(quant::row_scale_from_exp(0), std::ldexp(1.0f, -126));
  EXPECT_EQ(quant::row_scale_from_exp(1), std::ldexp(1.0f, -126));
  EXPECT_EQ(quant::row_scale_from_exp(2), std::ldexp(1.0f, -126));
  EXPECT_EQ(quant::row_scale_from_exp(127), 0.5f);
  EXPECT_EQ(quant::row_scale_from_exp(128), 1.0f);
  EXPECT_EQ(quant::row_scale_from_exp(130), 4.0f);
  EXPECT_EQ(quant::row_scale_from_exp(255), std::ldexp(1.0f, 127));
}

TEST(RowExp, DimLimitKeepsCodeEnergyInU32) {
  EXPECT_TRUE(quant::check_rerank_dim(1).ok());
  EXPECT_TRUE(quant::check_rerank_dim(quant::kMaxRerankDim).ok());
  for (size_t dim : {quant::kMaxRerankDim + 1, size_t{1} << 40}) {
    const Status st = quant::check_rerank_dim(dim);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), ErrorKind::InvalidInput);
    EXPECT_EQ(st.error().message().rfind("build: ", 0), 0u) << st.error().message();
  }
  // The largest allowed dim, every byte at the extreme 0: the energy is still exact.
  std::vector<uint8_t> zeros(quant::kMaxRerankDim + 1, 0);
  for (Level l : simd::supported_levels()) {
    EXPECT_EQ(quant::code_energy(zeros.data(), quant::kMaxRerankDim, l), 262143u * 16384u);
    // One more byte would wrap the u32 field to 0: the reason for the limit.
    EXPECT_EQ(quant::code_energy(zeros.data(), zeros.size(), l), 0u);
  }
}

// ---------------------------------------------------------------- build rows

// Worked rows of encode_pow2_row (codec/quant.hpp): exponent byte and code bytes.
TEST(BuildRow, WorkedCodes) {
  struct Case {
    std::vector<float> x;
    uint8_t exp;
    std::vector<uint8_t> codes;
  } cases[] = {
      {{1.0f, -1.0f, 0.5f, 0.0f}, 128, {255, 1, 192, 128}},
      {{0.0f, 0.0f, 0.0f}, 2, {128, 128, 128}},
      {{3.0f, -3.0f}, 130, {223, 33}},
      {{4.0f, -4.0f, 2.0f}, 130, {255, 1, 192}},
      {{4.0000005f}, 131, {192}},
      {{kNaN, 1.0f, -0.5f}, 128, {0, 255, 65}},
      {{kNaN, kNaN}, 2, {0, 0}},
      // Beyond 2^127: clamped exponent, bytes clamp at both ends.
      {{3e38f, -3.4e38f, 1e38f}, 255, {255, 0, 203}},
      {{kInf, 1.0f}, 2, {255, 255}},  // m = inf: exponent 2, so every nonzero value clamps
  };
  for (const auto& c : cases) {
    for (Level l : simd::supported_levels()) {
      // Repeat the row pattern so the SIMD bodies (not only their scalar tails) see it.
      const size_t reps = 40;
      std::vector<float> x;
      for (size_t r = 0; r < reps; ++r) x.insert(x.end(), c.x.begin(), c.x.end());
      std::vector<uint8_t> codes(x.size());
      const quant::RowCode rc = quant::encode_pow2_row(x.data(), x.size(), codes.data(), l);
      EXPECT_EQ(rc.exp, c.exp) << simd::level_name(l) << " first=" << c.x[0];
      uint64_t energy = 0;
      for (size_t i = 0; i < x.size(); ++i) {
        ASSERT_EQ(codes[i], c.codes[i % c.x.size()]) << simd::level_name(l) << " i=" << i << " x=" << x[i];
        energy += static_cast<uint64_t>((codes[i] - 128) * (codes[i] - 128));
      }
      EXPECT_EQ(rc.energy, energy);
    }
  }
}

TEST(BuildRow, FiniteCoordinatesNeverGiveByteZero) {
  std::mt19937 rng(3);
  for (int it = 0; it < 200; ++it) {
    const float mag = std::ldexp(1.0f, static_cast<int>(rng() % 200) - 100);
    std::vector<float> x = random_floats(rng, 33, -mag, mag);
    std::vector<uint8_t> codes(x.size());
    quant::encode_pow2_row(x.data(), x.size(), codes.data());
    for (uint8_t b : codes) ASSERT_GE(b, 1);
  }
}

TEST(BuildRow, RowsLandAtTheirSlotsWhateverThePoolSize) {
  const size_t n = 500, dim = 37;
  std::mt19937 rng(11);
  std::vector<float> rows = random_floats(rng, n * dim, -5.0f, 5.0f);
  for (size_t r = 0; r < n; r += 17) rows[r * dim] = kNaN;
  for (size_t j = 0; j < dim; ++j) rows[3 * dim + j] = 0.0f;  // a zero row
  std::vector<uint32_t> slot_of(n);
  for (size_t r = 0; r < n; ++r) slot_of[r] = static_cast<uint32_t>((r * 7 + 3) % n);  // a permutation

  auto run = [&](size_t threads) {
    std::vector<uint8_t> orig(n * dim, 0xEE), scale(n * 8, 0xEE);
    parallel::with_threads(threads, [&] {
      parallel::for_chunks(n, 13, [&](size_t b, size_t e) {
        quant::encode_build_rows(rows.data(), dim, b, e, slot_of.data(), orig.data(), scale.data());
      });
    });
    return std::make_pair(orig, scale);
  };
  const auto ref = run(1);
  EXPECT_EQ(run(2), ref);
  EXPECT_EQ(run(8), ref);

  for (size_t r = 0; r < n; ++r) {
    std::vector<uint8_t> codes(dim);
    const quant::RowCode rc = quant::encode_pow2_row(rows.data() + r * dim, dim, codes.data(), Level::Scalar);
    const size_t s = slot_of[r];
    ASSERT_EQ(0, std::memcmp(ref.first.data() + s * dim, codes.data(), dim)) << r;
    const uint8_t* rec = ref.second.data() + s * 8;
    const uint8_t want[8] = {static_cast<uint8_t>(rc.energy), static_cast<uint8_t>(rc.energy >> 8),
                             static_cast<uint8_t>(rc.energy >> 16), static_cast<uint8_t>(rc.energy >> 24),
                             rc.exp, 0, 0, 0};
    ASSERT_EQ(0, std::memcmp(rec, want, 8)) << r;
    const RowExponent re = quant::main_row_exponent(rec);
    EXPECT_EQ(re.exp, rc.exp);
    EXPECT_EQ(re.energy, rc.energy);
  }
  EXPECT_EQ(ref.second[slot_of[3] * 8 + 4], 2);  // zero row: exponent 2, energy 0
  EXPECT_EQ(quant::main_row_exponent(ref.second.data() + slot_of[3] * 8).energy, 0u);

  // Without a slot map input row r goes to slot r.
  std::vector<uint8_t> orig(n * dim), scale(n * 8);
  quant::encode_build_rows(rows.data(), dim, 0, n, nullptr, orig.data(), scale.data());
  for (size_t r = 0; r < n; ++r)
    ASSERT_EQ(0, std::memcmp(orig.data() + r * dim, ref.first.data() + slot_of[r] * dim, dim));
}

// ---------------------------------------------------------------- rounding

TEST(Rounding, HalfRoundsUpAndJustBelowHalfRoundsDown) {
  // Search, for every k, inputs whose t is exactly k + 0.5 and the float just below it.
  std::vector<float> xs;
  std::vector<uint8_t> want;
  size_t ties = 0, below = 0;
  for (int k = 0; k <= 254; ++k) {
    const float tie = static_cast<float>(k) + 0.5f;
    const float under = std::nextafter(tie, 0.0f);
    float y = (tie - 128.0f) / 127.0f;
    for (int step = 0; step < 64; ++step) y = std::nextafter(y, -kInf);
    bool got_tie = false, got_under = false;
    for (int step = 0; step < 128; ++step, y = std::nextafter(y, kInf)) {
      const float t = (y * 127.0f) + 128.0f;
      if (t == tie && !got_tie) {
        xs.push_back(y), want.push_back(static_cast<uint8_t>(k + 1)), got_tie = true, ++ties;
      } else if (t == under && !got_under) {
        xs.push_back(y), want.push_back(static_cast<uint8_t>(k)), got_under = true, ++below;
      }
    }
  }
  // t = fl(fl(x * 127) + 128) lies on the grid of the product's ulp, so below t = 64 the
  // float just under k + 0.5 cannot occur; above it every k has both cases.
  ASSERT_GT(ties, 200u);
  ASSERT_GT(below, 180u);
  // Worked points of quantize_one (codec/quant.hpp): 191.5 and 64.5 round up; above 255
  // clamps; 254.6 gives 255.
  xs.insert(xs.end(), {0.5f, -0.5f, 2.0f, 126.6f / 127.0f});
  want.insert(want.end(), {192, 65, 255, 255});
  for (Level l : simd::supported_levels()) {
    std::vector<uint8_t> out(xs.size());
    std::vector<int16_t> out16(xs.size());
    quant::quantize_u8(xs.data(), xs.size(), 1.0f, out.data(), l);
    quant::quantize_i16(xs.data(), xs.size(), 1.0f, out16.data(), l);
    for (size_t i = 0; i < xs.size(); ++i) {
      ASSERT_EQ(out[i], want[i]) << simd::level_name(l) << " x=" << xs[i] << " t=" << (xs[i] * 127.0f) + 128.0f;
      ASSERT_EQ(out16[i], want[i] - 128) << simd::level_name(l);
      ASSERT_EQ(quant::quantize_one(xs[i], 1.0f), want[i]);
    }
  }
}

// ---------------------------------------------------------------- SIMD kernels

TEST(Kernels, EveryLevelMatchesScalarBitForBit) {
  std::mt19937 rng(5);
  const size_t dims[] = {0, 1, 7, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 1000, 4099};
  for (size_t n : dims) {
    for (int variant = 0; variant < 4; ++variant) {
      std::vector<float> x = random_floats(rng, n, -3.0f, 3.0f);
      if (variant >= 1)
        for (size_t i = 0; i < n; i += 5) x[i] = kNaN;
      if (variant >= 2 && n > 0) x[rng() % n] = (rng() & 1) ? kInf : -kInf;
      if (variant == 3)
        for (size_t i = 0; i < n; i += 3) x[i] = std::bit_cast<float>(static_cast<uint32_t>(rng()));
      std::vector<uint8_t> a = random_bytes(rng, n), b = random_bytes(rng, n);
      std::vector<int16_t> q(n);
      for (auto& v : q) v = static_cast<int16_t>(static_cast<int>(rng() % 256) - 128);
      const float inv = 1.0f / 3.0f, step = 0.0234f;

      std::vector<uint8_t> ref8(n);
      std::vector<int16_t> ref16(n);
      quant::quantize_u8(x.data(), n, inv, ref8.data(), Level::Scalar);
      quant::quantize_i16(x.data(), n, inv, ref16.data(), Level::Scalar);
      for (Level l : simd::supported_levels()) {
        SCOPED_TRACE(std::string(simd::level_name(l)) + " n=" + std::to_string(n) + " v=" + std::to_string(variant));
        EXPECT_TRUE(SameFloat(quant::max_abs(x.data(), n, l), quant::max_abs(x.data(), n, Level::Scalar)));
        std::vector<uint8_t> o8(n);
        std::vector<int16_t> o16(n);
        quant::quantize_u8(x.data(), n, inv, o8.data(), l);
        quant::quantize_i16(x.data(), n, inv, o16.data(), l);
        EXPECT_EQ(o8, ref8);
        EXPECT_EQ(o16, ref16);
        EXPECT_EQ(quant::code_energy(a.data(), n, l), quant::code_energy(a.data(), n, Level::Scalar));
        EXPECT_EQ(quant::ssd_u8(a.data(), b.data(), n, l), quant::ssd_u8(a.data(), b.data(), n, Level::Scalar));
        EXPECT_EQ(quant::dot_i16_u8(q.data(), b.data(), n, l), quant::dot_i16_u8(q.data(), b.data(), n, Level::Scalar));
        EXPECT_TRUE(SameFloat(quant::float_dist(x.data(), a.data(), n, step, l),
                              quant::float_dist(x.data(), a.data(), n, step, Level::Scalar)));
      }
    }
  }
}

TEST(Kernels, MaxAbsIgnoresNaNAndSeesInfinity) {
  for (Level l : simd::supported_levels()) {
    for (size_t n : {1, 9, 40}) {
      std::vector<float> x(n, kNaN);
      EXPECT_EQ(bits(quant::max_abs(x.data(), n, l)), 0u) << simd::level_name(l);  // +0, not NaN
      x[n - 1] = -2.5f;
      EXPECT_EQ(quant::max_abs(x.data(), n, l), 2.5f);
      x[0] = -kInf;
      EXPECT_EQ(quant::max_abs(x.data(), n, l), kInf);
    }
    std::vector<float> negzero(20, -0.0f);
    EXPECT_EQ(bits(quant::max_abs(negzero.data(), negzero.size(), l)), 0u);
  }
}

TEST(Kernels, IntegerSumsStayExactAtExtremesOverLongRows) {
  // Worst-case magnitudes over a length that would overflow 32-bit lane sums.
  const size_t n = 600000;
  std::vector<uint8_t> zeros(n, 0), full(n, 255);
  std::vector<int16_t> qmin(n, -128), qmax(n, 127);
  for (Level l : simd::supported_levels()) {
    SCOPED_TRACE(simd::level_name(l));
    EXPECT_EQ(quant::ssd_u8(zeros.data(), full.data(), n, l), uint64_t{n} * 255 * 255);
    EXPECT_EQ(quant::dot_i16_u8(qmin.data(), zeros.data(), n, l), int64_t(n) * 16384);
    EXPECT_EQ(quant::dot_i16_u8(qmax.data(), zeros.data(), n, l), -int64_t(n) * 127 * 128);
    EXPECT_EQ(quant::code_energy(zeros.data(), 262143, l), 262143u * 16384u);
  }
}

// The several-rows dot product equals the one-row reference for every row, at every level:
// groups of four and their remainder, tails of every length below the vector width (read
// with masked loads), rows longer than one exact 32-bit block, and worst-case magnitudes.
// The byte-query form (the query codes as signed bytes plus their sum) gives the same sums.
TEST(Kernels, RowsDotMatchesOneRowReference) {
  std::mt19937 rng(11);
  struct Case {
    size_t m, n;
    int fill;  // 0 random, 1 q = -128 and bytes 0 (largest positive), 2 q = 127 and bytes 0,
               // 3 q = -128 and bytes 255 (largest byte products)
  } cases[] = {{0, 128, 0},  {1, 128, 0},   {3, 1, 0},     {4, 31, 0},  {5, 32, 0},   {7, 33, 0},
               {8, 63, 0},   {9, 64, 0},    {4, 65, 0},    {6, 96, 0},  {8, 127, 0},  {13, 768, 0},
               {4, 1000, 0}, {5, 65536, 1}, {4, 65537, 2}, {4, 0, 0},   {8, 128, 1},  {8, 200, 2},
               {6, 131073, 3}, {3, 784, 3}};
  for (const Case& c : cases) {
    std::vector<int16_t> q(c.n);
    // Each row in its own allocation of exactly n bytes, so a read past a row is a fault
    // the sanitizer sees.
    std::vector<std::vector<uint8_t>> rows(c.m);
    for (auto& v : q)
      v = c.fill == 1 || c.fill == 3 ? -128 : c.fill == 2 ? 127 : static_cast<int16_t>(int(rng() % 256) - 128);
    for (auto& r : rows)
      r = c.fill == 0 ? random_bytes(rng, c.n) : std::vector<uint8_t>(c.n, c.fill == 3 ? 255 : 0);
    std::vector<const uint8_t*> ptrs;
    for (auto& r : rows) ptrs.push_back(r.data());
    std::vector<int8_t> q8(q.begin(), q.end());
    int64_t q_sum = 0;
    for (int16_t v : q) q_sum += v;
    for (Level l : simd::supported_levels()) {
      SCOPED_TRACE(std::string(simd::level_name(l)) + " m=" + std::to_string(c.m) + " n=" + std::to_string(c.n));
      std::vector<int64_t> got(c.m + 1, 12345);
      quant::dot_i16_u8_rows(q.data(), ptrs.data(), c.m, c.n, got.data(), l);
      for (size_t r = 0; r < c.m; ++r)
        ASSERT_EQ(got[r], quant::dot_i16_u8(q.data(), rows[r].data(), c.n, Level::Scalar)) << "row " << r;
      EXPECT_EQ(got[c.m], 12345);  // nothing written past m
      std::vector<int64_t> got8(c.m + 1, 12345);
      quant::dot_s8_u8_rows(q8.data(), q_sum, ptrs.data(), c.m, c.n, got8.data(), l);
      EXPECT_EQ(got8[c.m], 12345) << "byte query";
      got.pop_back();
      got8.pop_back();
      ASSERT_EQ(got8, got) << "byte query";
    }
  }
}

// ---------------------------------------------------------------- delta rows, dequantisation

TEST(DeltaRow, PerRowExponentOrSegmentScale) {
  const std::vector<float> x = {1.0f, -1.0f, 0.5f, 0.0f, kNaN};
  std::vector<uint8_t> out(x.size() + 1, 0xAA);
  quant::encode_delta_row(x.data(), x.size(), true, 7.0f, out.data());
  EXPECT_EQ(out, (std::vector<uint8_t>{255, 1, 192, 128, 0, 128}));
  auto e = quant::delta_row_exponent(out.data(), x.size());
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ(e->exp, 128);
  EXPECT_EQ(e->energy, 127u * 127 + 127 * 127 + 64 * 64 + 128 * 128);

  // Segment scale 2: no exponent byte.
  quant::encode_delta_row(x.data(), x.size(), false, 2.0f, out.data());
  EXPECT_EQ(out, (std::vector<uint8_t>{192, 65, 160, 128, 0, 0}));
  EXPECT_FALSE(quant::delta_row_exponent(out.data(), x.size()).has_value());

  // quant_scale 0 (or NaN) acts as 1e-9.
  const std::vector<float> tiny = {0.0f, 1e-9f, -1e-9f, 1.0f, -1.0f};
  for (float qs : {0.0f, kNaN, -3.0f}) {
    std::vector<uint8_t> o(tiny.size() + 1);
    quant::encode_delta_row(tiny.data(), tiny.size(), false, qs, o.data());
    EXPECT_EQ(o, (std::vector<uint8_t>{128, 255, 1, 255, 0, 0})) << qs;
  }
  // A zero vector with per-row exponents: exponent 2, bytes 128.
  const std::vector<float> z(3, 0.0f);
  std::vector<uint8_t> oz(4);
  quant::encode_delta_row(z.data(), z.size(), true, 1.0f, oz.data());
  EXPECT_EQ(oz, (std::vector<uint8_t>{128, 128, 128, 2}));
}

TEST(Dequantise, RowValuesAndScales) {
  const uint8_t b[] = {255, 1, 128, 192, 0};
  float out[5];
  quant::dequantize_row(b, 5, 1.0f, out);
  EXPECT_EQ(out[0], 1.0f);
  EXPECT_EQ(out[1], -1.0f);
  EXPECT_EQ(bits(out[2]), 0u);
  EXPECT_EQ(out[3], (64.0f / 127.0f) * 1.0f);
  EXPECT_EQ(out[4], (-128.0f / 127.0f) * 1.0f);

  EXPECT_EQ(quant::delta_row_scale(0, 0.75f), 0.75f);
  EXPECT_EQ(quant::delta_row_scale(0, 0.0f), 0.0f);  // stored quant_scale, no 1e-9 floor
  EXPECT_EQ(quant::delta_row_scale(1, 0.75f), std::ldexp(1.0f, -126));
  EXPECT_EQ(quant::delta_row_scale(130, 0.75f), 4.0f);

  // Encode then dequantise stays within half a code step of every coordinate.
  std::mt19937 rng(9);
  std::vector<float> x = random_floats(rng, 300, -50.0f, 50.0f);
  std::vector<uint8_t> codes(x.size());
  const quant::RowCode rc = quant::encode_pow2_row(x.data(), x.size(), codes.data());
  std::vector<float> back(x.size());
  const float scale = quant::row_scale_from_exp(rc.exp);
  quant::dequantize_row(codes.data(), codes.size(), scale, back.data());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(back[i], x[i], scale / 254.0f * 1.0001f) << i;
}

// ---------------------------------------------------------------- rerank table

// A worked query table (RerankTable, codec/quant.hpp): bytes at the segment scale and the
// power-of-two side.
TEST(RerankTable, WorkedExample) {
  const std::vector<float> q = {0.5f, -0.5f, 0.25f};
  for (Level l : simd::supported_levels()) {
    const RerankTable t = RerankTable::build(q, 1.0f, true, l);
    EXPECT_EQ(t.codes_u8, (std::vector<uint8_t>{192, 65, 160}));
    EXPECT_FALSE(t.float_fallback);
    EXPECT_EQ(t.step, 1.0f / 127.0f);
    EXPECT_EQ(t.step_sq, t.step * t.step);
    ASSERT_TRUE(t.pow2.has_value());
    EXPECT_EQ(t.pow2->codes_i16, (std::vector<int16_t>{127, -127, 64}));
    EXPECT_EQ(t.pow2->pow2_step, 0.5 * 0.007874015748031496);
    EXPECT_EQ(t.pow2->query_norm, (t.pow2->pow2_step * t.pow2->pow2_step) * (127.0 * 127 + 127 * 127 + 64 * 64));
    EXPECT_FALSE(RerankTable::build(q, 1.0f, false, l).pow2.has_value());
  }
}

TEST(RerankTable, ScaleEdges) {
  struct Case {
    const char* name;
    std::vector<float> q;
    float quant_scale;
    bool fallback;
    std::vector<uint8_t> u8;
  } cases[] = {
      {"largest equals scale", {2.0f, -2.0f, 0.0f}, 2.0f, false, {255, 1, 128}},
      {"one value above scale", {2.0f, -2.5f, 0.0f}, 2.0f, true, {}},
      {"infinite value", {kInf, 0.0f}, 2.0f, true, {}},
      {"quant_scale 0 acts as 1e-9", {1e-9f, 0.0f}, 0.0f, false, {255, 128}},
      {"quant_scale 0, larger value", {2e-9f}, 0.0f, true, {}},
      {"quant_scale NaN", {2e-9f}, kNaN, true, {}},
      {"NaN values", {kNaN, 1.0f}, 1.0f, false, {0, 255}},
      {"empty query", {}, 1.0f, false, {}},
  };
  for (const auto& c : cases) {
    for (Level l : simd::supported_levels()) {
      const RerankTable t = RerankTable::build(c.q, c.quant_scale, true, l);
      EXPECT_EQ(t.float_fallback, c.fallback) << c.name;
      EXPECT_EQ(t.codes_u8, c.u8) << c.name;
      const float s = (c.quant_scale > 1e-9f) ? c.quant_scale : 1e-9f;
      EXPECT_EQ(t.step, s / 127.0f) << c.name;
      ASSERT_TRUE(t.pow2.has_value());
      EXPECT_EQ(t.pow2->codes_i16.size(), c.q.size());
    }
  }
  // NaN query value: i16 code -128.
  const RerankTable tn = RerankTable::build(std::vector<float>{kNaN, 1.0f}, 1.0f, true);
  EXPECT_EQ(tn.pow2->codes_i16, (std::vector<int16_t>{-128, 127}));
}

TEST(RerankTable, AllZeroQueryGivesTheRowsOwnNorm) {
  const std::vector<float> q(5, 0.0f);
  const RerankTable t = RerankTable::build(q, 1.0f, true);
  EXPECT_EQ(t.pow2->codes_i16, std::vector<int16_t>(5, 0));
  EXPECT_EQ(t.pow2->pow2_step, static_cast<double>(std::ldexp(1.0f, -126)) * 0.007874015748031496);
  EXPECT_EQ(t.pow2->query_norm, 0.0);
  const uint8_t row[5] = {255, 1, 128, 192, 64};
  const uint32_t energy = quant::code_energy(row, 5);
  const double v = 4.0 * 0.007874015748031496;
  EXPECT_EQ(t.distance(q, row, RowExponent{130, energy}), static_cast<float>(energy * (v * v)));
}

TEST(RerankTable, AssignReusesAndMatchesBuild) {
  std::mt19937 rng(1);
  RerankTable t;
  for (int i = 0; i < 6; ++i) {
    const std::vector<float> q = random_floats(rng, 10 + i, -4.0f, 4.0f);
    const bool p2 = (i % 3) != 0;
    const float qs = (i % 2) ? 2.0f : 5.0f;
    t.assign(q, qs, p2);
    const RerankTable fresh = RerankTable::build(q, qs, p2);
    EXPECT_EQ(t.codes_u8, fresh.codes_u8);
    EXPECT_EQ(t.float_fallback, fresh.float_fallback);
    EXPECT_EQ(bits(t.step), bits(fresh.step));
    EXPECT_EQ(bits(t.step_sq), bits(fresh.step_sq));
    ASSERT_EQ(t.pow2.has_value(), fresh.pow2.has_value());
    if (p2) {
      EXPECT_EQ(t.pow2->codes_i16, fresh.pow2->codes_i16);
      EXPECT_EQ(t.pow2->query_norm, fresh.pow2->query_norm);
      EXPECT_EQ(t.pow2->pow2_step, fresh.pow2->pow2_step);
    }
  }
}

// ---------------------------------------------------------------- distances

namespace {

// The four formulas written out independently, in f64, for a tolerance check of meaning.
double true_ssd(const std::vector<float>& a, const std::vector<float>& b) {
  double s = 0;
  for (size_t i = 0; i < a.size(); ++i) s += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
  return s;
}

std::vector<float> deq(const uint8_t* row, size_t n, double scale) {
  std::vector<float> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<float>((double(row[i]) - 128) * scale / 127);
  return v;
}

}  // namespace

TEST(Distance, FormulaChoiceAndMeaning) {
  std::mt19937 rng(21);
  const size_t n = 200;
  const std::vector<float> q = random_floats(rng, n, -1.5f, 1.5f);
  std::vector<float> xrow = random_floats(rng, n, -1.0f, 1.0f);
  std::vector<uint8_t> pow2row(n + 1), segrow(n + 1);
  quant::encode_delta_row(xrow.data(), n, true, 2.0f, pow2row.data());
  quant::encode_delta_row(xrow.data(), n, false, 2.0f, segrow.data());
  const RowExponent ex = *quant::delta_row_exponent(pow2row.data(), n);
  const double exact = true_ssd(q, xrow);

  const RerankTable with = RerankTable::build(q, 2.0f, true);
  const RerankTable without = RerankTable::build(q, 2.0f, false);
  const RerankTable fallback = RerankTable::build(q, 1.0f, true);  // |q| reaches 1.5 > 1
  ASSERT_FALSE(with.float_fallback);
  ASSERT_TRUE(fallback.float_fallback);

  // u8 codes: exactly f32(SSD of codes) x step_sq.
  uint64_t ssd = 0;
  for (size_t i = 0; i < n; ++i) ssd += uint64_t((with.codes_u8[i] - segrow[i]) * (with.codes_u8[i] - segrow[i]));
  EXPECT_EQ(bits(with.distance(q, segrow.data(), std::nullopt)), bits(static_cast<float>(ssd) * with.step_sq));
  EXPECT_NEAR(with.distance(q, segrow.data(), std::nullopt), exact, 0.05 * exact);

  // Float, segment step: the raw query against the segment-scale row.
  const double seg_true = true_ssd(q, deq(segrow.data(), n, 1.0f));
  EXPECT_NEAR(fallback.distance(q, segrow.data(), std::nullopt), true_ssd(q, deq(segrow.data(), n, 1.0)), 1e-4 * seg_true);

  // Float, row step (row has an exponent, table has no pow2 part).
  const double row_true = true_ssd(q, deq(pow2row.data(), n, quant::row_scale_from_exp(ex.exp)));
  EXPECT_NEAR(without.distance(q, pow2row.data(), ex), row_true, 1e-4 * row_true);
  EXPECT_NEAR(row_true, exact, 0.05 * exact);

  // Power-of-two integer: |x - q'|^2 with the quantised query.
  std::vector<float> qq(n);
  for (size_t i = 0; i < n; ++i) qq[i] = static_cast<float>(with.pow2->pow2_step * with.pow2->codes_i16[i]);
  const double p2_true = true_ssd(qq, deq(pow2row.data(), n, quant::row_scale_from_exp(ex.exp)));
  EXPECT_NEAR(with.distance(q, pow2row.data(), ex), p2_true, 1e-5 * p2_true);
  // A table with a pow2 part still uses the u8/fallback formulas for rows without exponents.
  EXPECT_EQ(bits(with.distance(q, segrow.data(), std::nullopt)), bits(without.distance(q, segrow.data(), std::nullopt)));
  // Exponent bytes 0, 1 and 2 all mean 2^-126.
  for (uint8_t e : {0, 1}) {
    EXPECT_EQ(bits(with.distance(q, pow2row.data(), RowExponent{e, ex.energy})),
              bits(with.distance(q, pow2row.data(), RowExponent{2, ex.energy})));
    EXPECT_EQ(bits(without.distance(q, pow2row.data(), RowExponent{e, ex.energy})),
              bits(without.distance(q, pow2row.data(), RowExponent{2, ex.energy})));
  }
  // NaN query values make the float formulas NaN.
  std::vector<float> qnan = q;
  qnan[3] = kNaN;
  const RerankTable tnan = RerankTable::build(qnan, 1.0f, false);
  EXPECT_TRUE(std::isnan(tnan.distance(qnan, pow2row.data(), ex)));
}

TEST(Distance, NeverNegativeNeverMinusZero) {
  std::mt19937 rng(4);
  // Queries equal to (or a hair off) their row's dequantised values: D lands on or around 0.
  for (int it = 0; it < 300; ++it) {
    const size_t n = 1 + rng() % 70;
    std::vector<float> x = random_floats(rng, n, -3.0f, 3.0f);
    std::vector<uint8_t> row(n + 1);
    quant::encode_delta_row(x.data(), n, true, 1.0f, row.data());
    std::vector<float> q = deq(row.data(), n, quant::row_scale_from_exp(row[n]));
    if (it % 2) q[rng() % n] *= 1.0000001f;
    const RerankTable t = RerankTable::build(q, 1.0f, true);
    for (Level l : simd::supported_levels()) {
      const float d = t.distance(q, row.data(), quant::delta_row_exponent(row.data(), n), l);
      ASSERT_FALSE(std::signbit(d)) << d;
    }
  }
  // Forced: a negative D, a -0 D and a NaN D all give +0.
  const std::vector<float> q = {1.0f, 1.0f};
  const uint8_t row[2] = {255, 255};
  RerankTable t = RerankTable::build(q, 1.0f, true);
  const RowExponent ex{128, 0};  // energy understated: T v^2 - 2 v p dot + |q|^2 < 0
  EXPECT_EQ(bits(t.distance(q, row, ex)), 0u);
  t.pow2->query_norm = -0.0;
  EXPECT_EQ(bits(t.distance(q, std::vector<uint8_t>{128, 128}.data(), RowExponent{128, 0})), 0u);
  t.pow2->query_norm = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(bits(t.distance(q, row, ex)), 0u);
  // The u8 formula of identical codes is +0.
  const RerankTable tu = RerankTable::build(std::vector<float>{0.5f, -0.5f}, 1.0f, false);
  EXPECT_EQ(bits(tu.distance(std::vector<float>{0.5f, -0.5f}, tu.codes_u8.data(), std::nullopt)), 0u);
}

TEST(Distance, EveryFormulaEveryLevelMatchesScalarBitForBit) {
  std::mt19937 rng(8);
  for (size_t dim : kDims) {
    for (int rep = 0; rep < 4; ++rep) {
      std::vector<float> q = random_floats(rng, dim, -2.0f, 2.0f);
      if (rep == 3) q[rng() % dim] = 0.0f;
      std::vector<std::vector<uint8_t>> rows;
      std::vector<std::optional<RowExponent>> exps;
      for (int r = 0; r < 12; ++r) {
        std::vector<uint8_t> row = random_bytes(rng, dim);
        std::optional<RowExponent> e;
        if (r % 3 == 1) {
          const uint8_t eb[] = {0, 1, 2, 126, 128, 129, 140, 255};
          e = RowExponent{eb[rng() % 8], quant::code_energy(row.data(), dim, Level::Scalar)};
        } else if (r % 3 == 2) {
          std::vector<float> x = random_floats(rng, dim, -2.0f, 2.0f);
          const quant::RowCode rc = quant::encode_pow2_row(x.data(), dim, row.data(), Level::Scalar);
          e = RowExponent{rc.exp, rc.energy};
        }
        rows.push_back(row);
        exps.push_back(e);
      }
      // quant_scale 4 gives u8 codes; 1 gives the float fallback (|q| up to 2).
      for (float qs : {4.0f, 1.0f}) {
        for (bool p2 : {false, true}) {
          const RerankTable ref = RerankTable::build(q, qs, p2, Level::Scalar);
          for (Level l : simd::supported_levels()) {
            SCOPED_TRACE(std::string(simd::level_name(l)) + " dim=" + std::to_string(dim));
            const RerankTable t = RerankTable::build(q, qs, p2, l);
            ASSERT_EQ(t.codes_u8, ref.codes_u8);
            ASSERT_EQ(t.float_fallback, ref.float_fallback);
            if (p2) {
              ASSERT_EQ(t.pow2->codes_i16, ref.pow2->codes_i16);
              ASSERT_EQ(t.pow2->query_norm, ref.pow2->query_norm);
            }
            for (size_t r = 0; r < rows.size(); ++r) {
              const float want = ref.distance(q, rows[r].data(), exps[r], Level::Scalar);
              ASSERT_FALSE(std::signbit(want));
              ASSERT_TRUE(SameFloat(t.distance(q, rows[r].data(), exps[r], l), want)) << "row " << r;
            }
          }
        }
      }
    }
  }
}
