// Squared-L2 kernels: every SIMD level must give the scalar reference's bits, and the
// nearest-vector scan (with or without a hint, with early abandon) must give exactly the
// first strict minimum.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <cstring>
#include <limits>
#include <vector>

#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/common/simd.hpp"

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

TEST(Distance, LanesMatchReferenceAndAbandonOnlyWhenNoLaneCanBeBelowTheBound) {
  // Each lane points at an arbitrary row (repeats and the query itself included); every
  // level must return the reference sums bit for bit, and may give up only when every
  // lane's full sum is >= the bound or NaN.
  const size_t dims[] = {0, 1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100, 128, 768};
  size_t abandoned = 0, completed_with_bound = 0;
  for (size_t dim : dims) {
    for (bool specials : {false, true}) {
      const size_t nrows = 40;
      auto rows = awkward_values(nrows * dim, dim * 31 + specials, specials);
      auto q = awkward_values(dim, dim * 17 + 5 + specials, specials);
      // Row 0 is the query itself (distance 0 unless a coordinate is NaN or infinite).
      for (size_t j = 0; j < dim; ++j) rows[j] = q[j];
      Rng r{dim + 1};
      for (size_t count = 0; count <= distance::kMaxLanes; ++count) {
        const float* ptr[distance::kMaxLanes];
        float want[distance::kMaxLanes];
        for (size_t l = 0; l < count; ++l) {
          ptr[l] = rows.data() + (r.next() % nrows) * dim;
          want[l] = distance::sq_l2(q.data(), ptr[l], dim);
        }
        // Bounds: none, the smallest and the largest lane value, 0 (abandons whenever a
        // check happens) and NaN (nothing is below it).
        std::vector<float> bounds = {std::numeric_limits<float>::infinity(), 0.0f,
                                     std::numeric_limits<float>::quiet_NaN()};
        if (count > 0) {
          bounds.push_back(*std::min_element(want, want + count));
          bounds.push_back(*std::max_element(want, want + count));
        }
        for (simd::Level lv : simd::supported_levels()) {
          for (bool abandon : {false, true}) {
            for (float bound : bounds) {
              float out[distance::kMaxLanes];
              std::fill(out, out + distance::kMaxLanes, -1.0f);
              const bool done = distance::sq_l2_lanes(lv, q.data(), ptr, count, dim, abandon, bound, out);
              const std::string where = std::string(simd::level_name(lv)) + " dim=" + std::to_string(dim) +
                                        " count=" + std::to_string(count) + " bound=" + std::to_string(bound) +
                                        " abandon=" + std::to_string(abandon);
              if (!abandon) {
                ASSERT_TRUE(done) << where;
              }
              if (done) {
                for (size_t l = 0; l < count; ++l) ASSERT_EQ(canon(out[l]), canon(want[l])) << where << " l=" << l;
                if (abandon && bound == bound) ++completed_with_bound;
              } else {
                ++abandoned;
                for (size_t l = 0; l < count; ++l) ASSERT_FALSE(want[l] < bound) << where << " l=" << l;
              }
            }
          }
        }
      }
    }
  }
  // Both outcomes were exercised.
  EXPECT_GT(abandoned, 0u);
  EXPECT_GT(completed_with_bound, 0u);
}

TEST(Distance, LanesKeepTheCoordinateOrderOfEachSum) {
  // The order-sensitive pair of the reference test, in every lane position: a lane that
  // summed in another order (or with fused multiply-add) would keep the small terms.
  const float a[3] = {1.0f, 0x1p-12f, 0x1p-12f};
  const float b[3] = {0x1p-12f, 0x1p-12f, 1.0f};
  const float z[3] = {0, 0, 0};
  for (simd::Level lv : simd::supported_levels()) {
    const float* ptr[distance::kMaxLanes];
    for (size_t l = 0; l < distance::kMaxLanes; ++l) ptr[l] = (l % 2) ? b : a;
    float out[distance::kMaxLanes];
    ASSERT_TRUE(distance::sq_l2_lanes(lv, z, ptr, distance::kMaxLanes, 3, false, 0.0f, out));
    for (size_t l = 0; l < distance::kMaxLanes; ++l) {
      EXPECT_EQ(out[l], (l % 2) ? 1.0f + 0x1p-23f : 1.0f) << simd::level_name(lv) << " lane " << l;
    }
  }
}

TEST(Distance, PickedBlocksMatchReferenceAndAreGivenUpOnlyWhenNoLaneIsBelowTheBound) {
  // Chosen blocks in any order (the last, partial block included): a computed block holds
  // the reference sums; a block given up has no valid lane whose full sum is below the
  // bound, and padding lanes never keep a block alive.
  size_t given_up = 0, kept = 0;
  for (size_t dim : {1, 15, 16, 17, 40, 128, 300}) {
    for (size_t n : {5, 16, 70}) {
      for (bool specials : {false, true}) {
        auto rows = awkward_values(n * dim, dim * 13 + n + specials, specials);
        auto q = awkward_values(dim, dim * 7 + 3 + specials, specials);
        PackedVectors pv = PackedVectors::pack(rows.data(), n, dim);
        std::vector<float> want(n);
        for (size_t i = 0; i < n; ++i) want[i] = distance::sq_l2(q.data(), rows.data() + i * dim, dim);
        std::vector<float> sorted = want;
        std::sort(sorted.begin(), sorted.end());
        const float bounds[] = {std::numeric_limits<float>::infinity(), 0.0f, sorted[n / 2], sorted[n - 1]};
        // Block choices: every block in reverse order, and single blocks.
        std::vector<std::vector<uint32_t>> picks;
        std::vector<uint32_t> all;
        for (size_t b = pv.blocks(); b-- > 0;) all.push_back(static_cast<uint32_t>(b));
        if (all.size() > distance::kMaxPick) all.resize(distance::kMaxPick);
        picks.push_back(all);
        for (size_t b = 0; b < pv.blocks(); ++b) picks.push_back({static_cast<uint32_t>(b)});
        for (simd::Level lv : simd::supported_levels()) {
          for (const auto& pick : picks) {
            for (bool abandon : {false, true}) {
              for (float bound : bounds) {
                std::vector<float> out(pv.blocks() * distance::kBlock, -1.0f);
                const unsigned gave = distance::sq_l2_pick_blocks(lv, q.data(), pv, pick.data(), pick.size(), abandon,
                                                                   bound, out.data());
                const std::string where = std::string(simd::level_name(lv)) + " dim=" + std::to_string(dim) +
                                          " n=" + std::to_string(n) + " bound=" + std::to_string(bound);
                if (!abandon) {
                  ASSERT_EQ(gave, 0u) << where;
                }
                for (size_t i = 0; i < pick.size(); ++i) {
                  const size_t b = pick[i];
                  const size_t end = std::min(n, (b + 1) * distance::kBlock);
                  if (gave >> i & 1) {
                    ++given_up;
                    for (size_t v = b * distance::kBlock; v < end; ++v) ASSERT_FALSE(want[v] < bound) << where;
                  } else {
                    ++kept;
                    for (size_t v = b * distance::kBlock; v < end; ++v) {
                      ASSERT_EQ(canon(out[v]), canon(want[v])) << where << " v=" << v;
                    }
                  }
                }
              }
            }
          }
        }
      }
    }
  }
  EXPECT_GT(given_up, 0u);
  EXPECT_GT(kept, 0u);
}
