// Nearest-centroid assignment: brute force and the greedy descent over neighbour lists.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/kmeans/kmeans.hpp"
#include "ivf_rabitq/common/parallel.hpp"

using namespace ivf_rabitq;

namespace {

struct Gen {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  float unit() { return static_cast<float>(next() >> 40) * 0x1p-24f; }
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

uint32_t brute_reference(const float* row, const std::vector<float>& cents, size_t k, size_t dim) {
  float best = kInf;
  uint32_t bi = 0;
  for (size_t c = 0; c < k; ++c) {
    float d = distance::sq_l2(row, cents.data() + c * dim, dim);
    if (d < best) {
      best = d;
      bi = static_cast<uint32_t>(c);
    }
  }
  return bi;
}

int32_t order_key(float d) {
  uint32_t b;
  std::memcpy(&b, &d, 4);
  b ^= (b >> 31) ? 0x7FFFFFFFu : 0u;
  return static_cast<int32_t>(b);
}

}  // namespace

TEST(Assign, WellSeparatedClustersAgreeWithTheGeneratingCentroid) {
  const size_t dim = 8;
  for (size_t k : {1, 2, 511, 512, 3000}) {
    Gen g{k};
    std::vector<float> cents(k * dim);
    for (auto& x : cents) x = (g.unit() - 0.5f) * 20000.0f;
    const size_t n = std::max<size_t>(2 * k, 500);
    std::vector<float> rows(n * dim);
    std::vector<uint32_t> want(n);
    for (size_t i = 0; i < n; ++i) {
      size_t c = g.next() % k;
      want[i] = static_cast<uint32_t>(c);
      for (size_t j = 0; j < dim; ++j) rows[i * dim + j] = cents[c * dim + j] + (g.unit() - 0.5f);
    }
    const auto lists = kmeans::centroid_neighbor_lists(cents, dim, k);
    ASSERT_EQ(lists.k(), k);
    for (size_t c = 0; c < k; ++c) {
      ASSERT_EQ(lists.list(c).size(), k - 1);
      if (k > 1) {
        ASSERT_GT(lists.list(c)[0].dist, 10.0f);  // the fixture is well separated
      }
    }
    EXPECT_EQ(kmeans::assign_brute_force(rows, n, dim, cents, k), want) << "k=" << k;
    EXPECT_EQ(kmeans::assign_all_exact(rows, n, dim, cents, lists), want) << "k=" << k;
  }
}

TEST(Assign, DescentFindsAnExactNearestOnOverlappingClusters) {
  // Rows drawn around the centroids with wide noise: many rows sit between clusters. The
  // descent must reach a centroid at the minimal Euclidean distance (ties may differ).
  const size_t dim = 16, k = 700, n = 3000;
  Gen g{5};
  std::vector<float> cents(k * dim), rows(n * dim);
  for (auto& x : cents) x = g.unit() * 10.0f;
  for (auto& x : rows) x = g.unit() * 10.0f;
  const auto lists = kmeans::centroid_neighbor_lists(cents, dim, k);
  const auto exact = kmeans::assign_all_exact(rows, n, dim, cents, lists);
  const auto brute = kmeans::assign_brute_force(rows, n, dim, cents, k);
  for (size_t i = 0; i < n; ++i) {
    const float* r = rows.data() + i * dim;
    ASSERT_EQ(brute[i], brute_reference(r, cents, k, dim));
    float de = std::sqrt(distance::sq_l2(r, cents.data() + exact[i] * dim, dim));
    float db = std::sqrt(distance::sq_l2(r, cents.data() + brute[i] * dim, dim));
    ASSERT_EQ(de, db) << "row " << i;
    ASSERT_EQ(exact[i], kmeans::assign_one_exact(std::span<const float>(r, dim), cents, dim, lists));
  }
}

TEST(Assign, NeighbourListsAreSortedByTotalOrderThenIndex) {
  // Duplicate centroids (distance 0), a centroid with an infinite coordinate (infinite and
  // NaN distances), and equal distances.
  const size_t dim = 2;
  std::vector<float> cents = {0, 0,  3, 4,  3, 4,  -3, 4,  kInf, 1,  0, 5,  kInf, kInf};
  const size_t k = cents.size() / dim;
  const auto lists = kmeans::centroid_neighbor_lists(cents, dim, k);
  for (size_t c = 0; c < k; ++c) {
    auto l = lists.list(c);
    ASSERT_EQ(l.size(), k - 1);
    std::vector<bool> seen(k, false);
    for (size_t i = 0; i < l.size(); ++i) {
      ASSERT_NE(l[i].index, c);
      ASSERT_FALSE(seen[l[i].index]);
      seen[l[i].index] = true;
      float want = std::sqrt(distance::sq_l2(cents.data() + c * dim, cents.data() + l[i].index * dim, dim));
      ASSERT_EQ(order_key(l[i].dist), order_key(want));
      if (i > 0) {
        int32_t a = order_key(l[i - 1].dist), b = order_key(l[i].dist);
        ASSERT_TRUE(a < b || (a == b && l[i - 1].index < l[i].index)) << "c=" << c << " i=" << i;
      }
    }
  }
  // The two identical centroids head each other's lists.
  EXPECT_EQ(lists.list(1)[0].index, 2u);
  EXPECT_EQ(lists.list(1)[0].dist, 0.0f);
  EXPECT_EQ(lists.list(2)[0].index, 1u);
  // From the origin, (3,4), (3,4), (-3,4) and (0,5) are all at 5: ascending index.
  auto l0 = lists.list(0);
  EXPECT_EQ(l0[0].index, 1u);
  EXPECT_EQ(l0[1].index, 2u);
  EXPECT_EQ(l0[2].index, 3u);
  EXPECT_EQ(l0[3].index, 5u);
  EXPECT_EQ(l0[3].dist, 5.0f);
}

TEST(Assign, TiesDuplicatesAndNonFiniteRows) {
  const size_t dim = 2;
  // Centroid 0 at (-1, 0) and centroid 5 at (1, 0); the others far away; 2 and 3 identical.
  std::vector<float> cents = {-1, 0,  50, 50,  -40, 60,  -40, 60,  70, -80,  1, 0,  -90, -90};
  const size_t k = cents.size() / dim;
  const auto lists = kmeans::centroid_neighbor_lists(cents, dim, k);
  struct Case {
    const char* what;
    std::vector<float> row;
    uint32_t brute, exact;
  };
  const Case cases[] = {
      {"equidistant from 0 and 5", {0, 0}, 0, 0},
      {"equidistant from 0 and 5, off axis", {0, 7}, 0, 0},
      {"nearest to the identical pair 2/3", {-39, 59}, 2, 2},
      {"nearest to 5", {0.9f, 0.1f}, 5, 5},
      {"far corner: nearest 6", {-85, -95}, 6, 6},
      {"NaN coordinate", {kNaN, 0}, 0, 0},
      {"all NaN", {kNaN, kNaN}, 0, 0},
      {"infinite coordinate", {kInf, 0}, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kmeans::assign_brute_force(c.row, 1, dim, cents, k)[0], c.brute) << c.what;
    EXPECT_EQ(kmeans::assign_one_exact(c.row, cents, dim, lists), c.exact) << c.what;
    EXPECT_EQ(kmeans::assign_all_exact(c.row, 1, dim, cents, lists)[0], c.exact) << c.what;
  }
  // k = 1: every list is empty and every row goes to 0.
  std::vector<float> one = {5, 5};
  const auto l1 = kmeans::centroid_neighbor_lists(one, dim, 1);
  EXPECT_EQ(l1.k(), 1u);
  EXPECT_TRUE(l1.list(0).empty());
  std::vector<float> row = {100, -3};
  EXPECT_EQ(kmeans::assign_one_exact(row, one, dim, l1), 0u);
  EXPECT_EQ(kmeans::assign_brute_force(row, 1, dim, one, 1)[0], 0u);
  // dim = 0: every distance is 0, the result is 0.
  const auto l0 = kmeans::centroid_neighbor_lists({}, 0, 4);
  EXPECT_EQ(kmeans::assign_one_exact({}, {}, 0, l0), 0u);
  EXPECT_EQ(kmeans::assign_brute_force({}, 3, 0, {}, 4), std::vector<uint32_t>(3, 0));
}

TEST(Assign, ResultsIndependentOfPoolSize) {
  const size_t dim = 12, k = 600, n = 5000;
  Gen g{77};
  std::vector<float> cents(k * dim), rows(n * dim);
  for (auto& x : cents) x = g.unit();
  for (auto& x : rows) x = g.unit();
  std::vector<uint32_t> brute1, exact1;
  kmeans::NeighborLists lists1;
  parallel::with_threads(1, [&] {
    lists1 = kmeans::centroid_neighbor_lists(cents, dim, k);
    brute1 = kmeans::assign_brute_force(rows, n, dim, cents, k);
    exact1 = kmeans::assign_all_exact(rows, n, dim, cents, lists1);
  });
  for (size_t threads : {2, 8}) {
    parallel::with_threads(threads, [&] {
      auto lists = kmeans::centroid_neighbor_lists(cents, dim, k);
      for (size_t c = 0; c < k; ++c) {
        auto a = lists.list(c), b = lists1.list(c);
        ASSERT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(kmeans::Neighbor)));
      }
      EXPECT_EQ(kmeans::assign_brute_force(rows, n, dim, cents, k), brute1);
      EXPECT_EQ(kmeans::assign_all_exact(rows, n, dim, cents, lists), exact1);
    });
  }
}
