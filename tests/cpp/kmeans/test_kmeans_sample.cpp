// k-means results that can be stated without re-running the algorithm: which rows the
// strided training sample holds, the single centroid as the f32 mean of that sample, and
// identical rows (f32 mean first, exact copies after it).
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <vector>

#include "ivf_rabitq/kmeans/kmeans.hpp"

using namespace ivf_rabitq;

namespace {

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// f32 mean of the given rows: coordinate sums in row order, times the f32 reciprocal.
std::vector<float> f32_mean(const std::vector<float>& data, size_t dim, const std::vector<size_t>& rows) {
  std::vector<float> sum(dim, 0.0f);
  for (size_t r : rows)
    for (size_t j = 0; j < dim; ++j) sum[j] = sum[j] + data[r * dim + j];
  const float inv = 1.0f / static_cast<float>(rows.size());
  for (auto& s : sum) s = s * inv;
  return sum;
}

}  // namespace

TEST(KMeansEdges, TrainingSampleIsTheStridedFiniteCandidates) {
  // Candidate rows hold small values, every other row a marker far away; a training that
  // touched a non-candidate would pull a centroid towards the marker. With k' = 1 the
  // centroid is exactly the f32 mean of the sample.
  struct Case {
    size_t n, dim, k;
    size_t expect_train;
  } cases[] = {
      {60000, 3, 1, 50000},    // n_train = 50,000: rows floor(i x 60000 / 50000)
      {60000, 3, 100, 50000},  // 40 x 100 is below 50,000
      {40000, 3, 1, 40000},    // every row is a candidate
      {50100, 1, 1251, 50040}, // 40 x k' above 50,000 (and random picks above 1,024)
  };
  for (const auto& c : cases) {
    const size_t dim = c.dim;
    SCOPED_TRACE(::testing::Message() << "n " << c.n << " k " << c.k);
    std::vector<float> data(c.n * dim, 1.0e6f);
    std::vector<size_t> sample;
    for (size_t i = 0; i < c.expect_train; ++i) {
      const size_t r = static_cast<size_t>(static_cast<uint64_t>(i) * c.n / c.expect_train);
      for (size_t j = 0; j < dim; ++j)
        data[r * dim + j] = static_cast<float>((r * 7 + j * 13) % 101) * 0.01f + static_cast<float>(j);
      sample.push_back(r);
    }
    // Drop a few candidates: a NaN coordinate, an infinite one, and one whose square overflows.
    const size_t bad[] = {sample[5], sample[1000], sample[sample.size() - 1]};
    data[bad[0] * dim] = std::numeric_limits<float>::quiet_NaN();
    data[bad[1] * dim + dim - 1] = -std::numeric_limits<float>::infinity();
    data[bad[2] * dim] = 2e19f;
    std::vector<size_t> kept;
    for (size_t r : sample)
      if (r != bad[0] && r != bad[1] && r != bad[2]) kept.push_back(r);

    const std::vector<float> cent = kmeans::kmeans(data, c.n, dim, c.k, 42);
    ASSERT_EQ(cent.size(), c.k * dim);
    for (float v : cent) {
      ASSERT_TRUE(std::isfinite(v));
      ASSERT_LT(std::fabs(v), 10.0f) << "a non-candidate or dropped row entered training";
    }
    if (c.k == 1) {
      const std::vector<float> want = f32_mean(data, dim, kept);
      for (size_t j = 0; j < dim; ++j) EXPECT_EQ(bits(cent[j]), bits(want[j])) << "coordinate " << j;
    }
  }
}

TEST(KMeansEdges, IdenticalRowsAlternateBetweenTheFirstTwoCentroids) {
  // Values whose f32 mean over n copies differs from the value in the last bits. Iteration 1
  // sends every row to centroid 0 (all distances 0, lowest index), which becomes the mean;
  // the empty clusters are refilled with the exact row, so iteration 2 sends every row to
  // centroid 1 (distance 0 beats the mean's), centroid 0 keeps the mean and is refilled
  // with the row, and so on. After the last iteration (no refill) the cluster that held the
  // rows in the iteration before it still has the mean: centroids 0 and 1 are the mean and
  // the others exact copies, after 10 (k-means++) or 13 (random picks) iterations alike.
  const size_t dim = 3;
  const float row[dim] = {0.1f, 1.0f / 3.0f, -7.3f};
  struct Case {
    size_t n, k;
  } cases[] = {{7, 2}, {7, 5}, {50, 2}, {333, 5}, {1100, 1025}};
  for (const auto& c : cases) {
    std::vector<float> data(c.n * dim);
    std::vector<size_t> all(c.n);
    for (size_t i = 0; i < c.n; ++i) {
      all[i] = i;
      for (size_t j = 0; j < dim; ++j) data[i * dim + j] = row[j];
    }
    const std::vector<float> mean = f32_mean(data, dim, all);
    bool differs = false;
    for (size_t j = 0; j < dim; ++j) differs |= bits(mean[j]) != bits(row[j]);
    ASSERT_TRUE(differs) << "n " << c.n;
    const std::vector<float> cent = kmeans::kmeans(data, c.n, dim, c.k, 9);
    ASSERT_EQ(cent.size(), c.k * dim);
    SCOPED_TRACE(::testing::Message() << "n " << c.n << " k " << c.k);
    for (size_t cc = 0; cc < c.k; ++cc) {
      const float* want = cc < 2 ? mean.data() : row;
      for (size_t j = 0; j < dim; ++j)
        ASSERT_EQ(bits(cent[cc * dim + j]), bits(want[j])) << "centroid " << cc << ", coordinate " << j;
    }
  }
  // When the mean is exact every centroid is the row.
  std::vector<float> exact(64 * dim);
  for (size_t i = 0; i < 64; ++i) exact[i * dim] = 0.5f, exact[i * dim + 1] = -1.25f, exact[i * dim + 2] = 3.0f;
  const auto cent = kmeans::kmeans(exact, 64, dim, 4, 9);
  for (size_t cc = 0; cc < 4; ++cc) EXPECT_EQ(cent[cc * dim + 1], -1.25f);
}

TEST(KMeansEdges, EffectiveClusterCount) {
  const size_t dim = 2;
  std::vector<float> data;
  for (size_t i = 0; i < 9; ++i) data.insert(data.end(), {static_cast<float>(i * 10), 0.0f});
  struct Case {
    size_t n, k, want;
  } cases[] = {{9, 0, 1}, {9, 1, 1}, {9, 4, 4}, {9, 9, 9}, {9, 50, 9}, {0, 0, 1}, {0, 7, 1}};
  for (const auto& c : cases) {
    const auto cent = kmeans::kmeans(std::span<const float>(data.data(), c.n * dim), c.n, dim, c.k, 1);
    EXPECT_EQ(cent.size(), c.want * dim) << "n " << c.n << " k " << c.k;
    if (c.n == 0) {
      for (float v : cent) EXPECT_EQ(bits(v), 0u);
    }
  }
  // k' = n with distinct rows: every row is its own centroid (each cluster holds one row, and
  // the mean of one row is the row), in some order.
  const auto cent = kmeans::kmeans(data, 9, dim, 9, 3);
  std::vector<float> xs;
  for (size_t c = 0; c < 9; ++c) {
    EXPECT_EQ(cent[c * dim + 1], 0.0f);
    xs.push_back(cent[c * dim]);
  }
  std::sort(xs.begin(), xs.end());
  for (size_t i = 0; i < 9; ++i) EXPECT_EQ(xs[i], static_cast<float>(i * 10));
}
