// Squared-L2 kernels: every SIMD level must give the scalar reference's bits, and the
// nearest-vector scan (with or without a hint, with early abandon) must give exactly the
// first strict minimum.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "ivf_rabitq/distance.hpp"
#include "ivf_rabitq/simd.hpp"

using namespace ivf_rabitq;
using distance::PackedVectors;

namespace {

struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  float uniform(float lo, float hi) { return lo + (hi - lo) * static_cast<float>(next() >> 40) * 0x1p-24f; }
};

uint32_t bits(float f) {
  uint32_t b;
  std::memcpy(&b, &f, 4);
  return b;
}

// Same bits, except that any two NaNs are equal: which NaN an operation returns (sign,
// payload) is up to the hardware and the compiler's operand order, and no caller looks.
uint32_t canon(float f) { return std::isnan(f) ? 0x7FC00000u : bits(f); }

// Values of very different magnitudes so that the rounding of every term and of the
// running sum matters; a few special values besides.
std::vector<float> awkward_values(size_t count, uint64_t seed, bool specials) {
  Rng r{seed};
  std::vector<float> v(count);
  for (auto& x : v) {
    uint64_t pick = r.next() % 100;
    float mag = std::ldexp(1.0f, static_cast<int>(r.next() % 40) - 20);
    x = r.uniform(-1, 1) * mag;
    if (specials) {
      if (pick == 0) x = std::numeric_limits<float>::quiet_NaN();
      else if (pick == 1) x = std::numeric_limits<float>::infinity();
      else if (pick == 2) x = -0.0f;
      else if (pick == 3) x = 3e19f;  // square overflows
      else if (pick == 4) x = 1e-42f;  // subnormal
    }
  }
  return v;
}

const size_t kDims[] = {1, 7, 8, 15, 16, 63, 128, 768};
const size_t kCounts[] = {1, 15, 16, 17, 48, 64, 65, 100};

}  // namespace

TEST(Distance, EveryLevelMatchesScalarReferenceBitForBit) {
  for (size_t dim : kDims) {
    for (size_t n : kCounts) {
      for (bool specials : {false, true}) {
        auto rows = awkward_values(n * dim, dim * 1000 + n * 7 + specials, specials);
        auto q = awkward_values(dim, dim + 99 + specials, specials);
        PackedVectors pv = PackedVectors::pack(rows.data(), n, dim);
        for (simd::Level lv : simd::supported_levels()) {
          std::vector<float> out(pv.blocks() * distance::kBlock, -1.0f);
          distance::sq_l2_all(lv, q.data(), pv, out.data());
          for (size_t i = 0; i < n; ++i) {
            float want = distance::sq_l2(q.data(), rows.data() + i * dim, dim);
            ASSERT_EQ(canon(out[i]), canon(want))
                << simd::level_name(lv) << " dim=" << dim << " n=" << n << " i=" << i << " specials=" << specials;
          }
          // A sub-range of blocks writes from the start of `out`.
          if (pv.blocks() > 1) {
            std::vector<float> part((pv.blocks() - 1) * distance::kBlock);
            distance::sq_l2_blocks(lv, q.data(), pv, 1, pv.blocks(), part.data());
            for (size_t i = distance::kBlock; i < n; ++i) ASSERT_EQ(canon(part[i - distance::kBlock]), canon(out[i]));
          }
        }
      }
    }
  }
}

TEST(Distance, ReferenceIsTheSequentialSumOfRoundedTerms) {
  // 1 + 2^-24 + 2^-24 in order: each small term is lost against 1 (ties to even), whereas
  // adding the small terms first would keep them.
  const float a[3] = {1.0f, 0x1p-12f, 0x1p-12f};
  const float z[3] = {0, 0, 0};
  EXPECT_EQ(distance::sq_l2(a, z, 3), 1.0f);
  const float b[3] = {0x1p-12f, 0x1p-12f, 1.0f};
  EXPECT_EQ(distance::sq_l2(b, z, 3), 1.0f + 0x1p-23f);
}

namespace {

distance::Nearest reference_nearest(const float* q, const std::vector<float>& rows, size_t n, size_t dim) {
  distance::Nearest best;
  for (size_t i = 0; i < n; ++i) {
    float d = distance::sq_l2(q, rows.data() + i * dim, dim);
    if (d < best.dist) {
      best.dist = d;
      best.index = static_cast<uint32_t>(i);
    }
  }
  return best;
}

}  // namespace

TEST(Distance, NearestIsFirstStrictMinimumForEveryLevelAndHint) {
  // Clustered vectors so that early abandon really happens, plus duplicated vectors (ties)
  // placed before and after their twins, NaN and infinite vectors.
  for (size_t dim : {1, 7, 16, 63, 128, 768}) {
    for (size_t n : {1, 16, 17, 100, 300}) {
      Rng r{dim * 31 + n};
      std::vector<float> rows(n * dim);
      for (size_t i = 0; i < n; ++i) {
        float center = static_cast<float>(i % 7) * 50.0f;
        for (size_t j = 0; j < dim; ++j) rows[i * dim + j] = center + r.uniform(-1, 1);
      }
      if (n > 10) {
        std::memcpy(&rows[9 * dim], &rows[3 * dim], dim * sizeof(float));  // 3 and 9 identical
        rows[5 * dim] = std::numeric_limits<float>::quiet_NaN();
        rows[6 * dim + dim - 1] = std::numeric_limits<float>::infinity();
      }
      PackedVectors pv = PackedVectors::pack(rows.data(), n, dim);
      std::vector<std::vector<float>> queries;
      for (size_t i = 0; i < std::min<size_t>(n, 12); ++i) {
        std::vector<float> q(rows.begin() + i * dim, rows.begin() + (i + 1) * dim);
        queries.push_back(q);
        for (auto& x : q) x += r.uniform(-0.5f, 0.5f);
        queries.push_back(q);
      }
      queries.push_back(std::vector<float>(dim, std::numeric_limits<float>::quiet_NaN()));
      queries.push_back(std::vector<float>(dim, std::numeric_limits<float>::infinity()));
      for (const auto& q : queries) {
        const auto want = reference_nearest(q.data(), rows, n, dim);
        std::vector<uint32_t> hints = {distance::kNoHint, 0, static_cast<uint32_t>(n - 1), want.index};
        if (n > 10) hints.push_back(9);  // the later twin of 3
        if (n > 10) hints.push_back(5);  // NaN vector
        for (simd::Level lv : simd::supported_levels()) {
          for (uint32_t h : hints) {
            const auto got = distance::nearest(lv, q.data(), pv, h);
            ASSERT_EQ(got.index, want.index) << simd::level_name(lv) << " dim=" << dim << " n=" << n << " hint=" << h;
            ASSERT_EQ(bits(got.dist), bits(want.dist));
          }
        }
      }
    }
  }
}

TEST(Distance, NearestOfNothingComparableIsZero) {
  const size_t dim = 4, n = 20;
  std::vector<float> rows(n * dim, std::numeric_limits<float>::quiet_NaN());
  PackedVectors pv = PackedVectors::pack(rows.data(), n, dim);
  std::vector<float> q(dim, 1.0f);
  for (simd::Level lv : simd::supported_levels()) {
    auto got = distance::nearest(lv, q.data(), pv, 7);
    EXPECT_EQ(got.index, 0u);
    EXPECT_TRUE(std::isinf(got.dist));
  }
  PackedVectors empty;
  EXPECT_EQ(distance::nearest(q.data(), empty).index, 0u);
}
