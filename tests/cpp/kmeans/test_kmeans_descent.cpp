// The greedy descent over centroid neighbour lists must reproduce, at every SIMD level and
// pool size, the decisions of the plain entry-by-entry walk: one scalar distance per list
// entry, stop at d >= b + b, move on a strictly smaller Euclidean distance. The fixtures
// aim at the places where a faster walk could drift: long batches with moves in the
// middle, partial sums that reach the bound, ties, duplicate centroids, NaN and infinite
// coordinates (NaN list distances never stop a scan), and lists naming centroids beyond
// the centroid slice.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/kmeans/kmeans.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/common/simd.hpp"

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
  float gauss() {
    float u = (static_cast<float>(next() >> 40) + 0.5f) * 0x1p-24f, v = unit();
    return std::sqrt(-2.0f * std::log(u)) * std::cos(6.2831853f * v);
  }
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// The walk exactly as defined, one scalar distance at a time.
size_t plain_walk(const float* q, const std::vector<float>& cents, size_t k, size_t dim,
                  const kmeans::NeighborLists& lists) {
  if (k == 0) return 0;
  size_t cur = 0;
  float b = std::sqrt(distance::sq_l2(q, cents.data(), dim));
  for (;;) {
    const float t = b + b;
    bool moved = false;
    for (const kmeans::Neighbor& nb : lists.list(cur)) {
      if (nb.dist >= t) break;
      if (nb.index >= k) continue;
      const float e = std::sqrt(distance::sq_l2(q, cents.data() + nb.index * dim, dim));
      if (e < b) {
        cur = nb.index;
        b = e;
        moved = true;
        break;
      }
    }
    if (!moved) return cur;
  }
}

struct Fixture {
  std::string name;
  size_t dim;
  std::vector<float> cents;   // the centroid slice handed to the assignment
  size_t list_k;              // centroids the lists were built from (>= the slice)
  std::vector<float> rows;
  std::vector<float> list_cents;
};

size_t slice_k(const Fixture& f) { return f.dim == 0 ? f.list_k : f.cents.size() / f.dim; }

// Rows around Gaussian cluster centres, centroids nearby: long walks with many moves.
Fixture mixture(size_t dim, size_t k, size_t n, uint64_t seed) {
  Gen g{seed};
  Fixture f{"mixture dim=" + std::to_string(dim) + " k=" + std::to_string(k), dim, {}, k, {}, {}};
  const size_t comps = 2 * k;
  std::vector<float> centres(comps * dim);
  for (auto& x : centres) x = 4.0f * g.gauss();
  f.cents.resize(k * dim);
  for (size_t c = 0; c < k; ++c) {
    const float* src = centres.data() + (g.next() % comps) * dim;
    for (size_t j = 0; j < dim; ++j) f.cents[c * dim + j] = src[j] + 0.7f * g.gauss();
  }
  f.rows.resize(n * dim);
  for (size_t i = 0; i < n; ++i) {
    const float* src = centres.data() + (g.next() % comps) * dim;
    for (size_t j = 0; j < dim; ++j) f.rows[i * dim + j] = src[j] + g.gauss();
  }
  return f;
}

// Small integer coordinates: many rows at exactly equal distances from several centroids,
// duplicate centroids, rows that coincide with a centroid (b = 0).
Fixture grid(size_t dim, size_t k, size_t n, uint64_t seed) {
  Gen g{seed};
  Fixture f{"grid dim=" + std::to_string(dim) + " k=" + std::to_string(k), dim, {}, k, {}, {}};
  f.cents.resize(k * dim);
  for (auto& x : f.cents) x = static_cast<float>(static_cast<int>(g.next() % 5) - 2);
  for (size_t c = 1; c < k; c += 7) {
    for (size_t j = 0; j < dim; ++j) f.cents[c * dim + j] = f.cents[(c - 1) * dim + j];  // duplicates
  }
  f.rows.resize(n * dim);
  for (auto& x : f.rows) x = static_cast<float>(static_cast<int>(g.next() % 7) - 3);
  for (size_t i = 0; i < n; i += 5) {
    const size_t c = g.next() % k;
    for (size_t j = 0; j < dim; ++j) f.rows[i * dim + j] = f.cents[c * dim + j];
  }
  return f;
}

// Uniform data with non-finite and extreme values sprinkled into rows and centroids.
Fixture awkward(size_t dim, size_t k, size_t n, uint64_t seed) {
  Gen g{seed};
  Fixture f{"awkward dim=" + std::to_string(dim) + " k=" + std::to_string(k), dim, {}, k, {}, {}};
  auto fill = [&](std::vector<float>& v, size_t count, unsigned rare) {
    v.resize(count);
    for (auto& x : v) {
      x = g.unit() * 10.0f;
      const uint64_t pick = g.next() % rare;
      if (pick == 0) x = kNaN;
      else if (pick == 1) x = kInf;
      else if (pick == 2) x = -kInf;
      else if (pick == 3) x = 3e19f;  // its square overflows
      else if (pick == 4) x = 1e-41f;
    }
  };
  fill(f.cents, k * dim, 40 * static_cast<unsigned>(dim) + 5);
  fill(f.rows, n * dim, 20 * static_cast<unsigned>(dim) + 5);
  return f;
}

std::vector<Fixture> fixtures() {
  std::vector<Fixture> fs;
  for (size_t dim : {1, 3, 15, 16, 17, 33, 128}) fs.push_back(mixture(dim, dim < 16 ? 60 : 300, 400, dim));
  fs.push_back(mixture(96, 700, 300, 11));
  for (size_t dim : {2, 5, 16, 20}) fs.push_back(grid(dim, 90, 400, dim + 100));
  for (size_t dim : {1, 4, 17, 40}) fs.push_back(awkward(dim, 70, 400, dim + 200));
  fs.push_back(mixture(8, 1, 50, 3));  // k = 1: empty lists
  fs.push_back(mixture(8, 2, 50, 4));
  {
    // dim = 0: every distance is 0.
    Fixture f{"dim=0", 0, {}, 5, std::vector<float>{}, {}};
    fs.push_back(f);
  }
  {
    // Lists built from 120 centroids, but only the first 100 handed to the assignment:
    // entries beyond the slice are never measured, yet still take part in the stop test.
    Fixture f = mixture(24, 120, 400, 9);
    f.name = "lists longer than the centroid slice";
    f.list_cents = f.cents;
    f.cents.resize(100 * f.dim);
    fs.push_back(f);
  }
  return fs;
}

}  // namespace

TEST(Descent, EveryLevelAndPoolSizeMatchesThePlainWalk) {
  size_t rows_checked = 0, moved_rows = 0;
  for (const Fixture& f : fixtures()) {
    const std::vector<float>& lc = f.list_cents.empty() ? f.cents : f.list_cents;
    const auto lists = kmeans::centroid_neighbor_lists(lc, f.dim, f.list_k);
    const size_t k = slice_k(f);
    const size_t n = f.dim == 0 ? 3 : f.rows.size() / f.dim;
    std::vector<uint32_t> want(n);
    for (size_t i = 0; i < n; ++i) {
      want[i] = static_cast<uint32_t>(plain_walk(f.rows.data() + i * f.dim, f.cents, k, f.dim, lists));
      moved_rows += want[i] != 0;
    }
    rows_checked += n;
    for (simd::Level lv : simd::supported_levels()) {
      for (size_t i = 0; i < n; ++i) {
        std::span<const float> row(f.rows.data() + i * f.dim, f.dim);
        ASSERT_EQ(kmeans::detail::assign_one_exact_at(lv, row, f.cents, f.dim, lists), want[i])
            << f.name << " " << simd::level_name(lv) << " row " << i;
      }
      for (size_t threads : {1, 2, 8}) {
        parallel::with_threads(threads, [&] {
          EXPECT_EQ(kmeans::detail::assign_all_exact_at(lv, f.rows, n, f.dim, f.cents, lists), want)
              << f.name << " " << simd::level_name(lv) << " threads=" << threads;
        });
      }
    }
    EXPECT_EQ(kmeans::assign_all_exact(f.rows, n, f.dim, f.cents, lists), want) << f.name;
  }
  EXPECT_GT(moved_rows, rows_checked / 2);  // the fixtures really walk
}

TEST(Descent, SqrtFloorIsTheExactThresholdOfTheMoveTest) {
  // For every squared distance s: sqrt(s) < b exactly when s < sqrt_floor_of(b). Checked on
  // bit patterns spread over the whole positive range (subnormal b, b whose square
  // underflows or overflows, b near the largest float) and on the floats around the answer.
  Gen g{123};
  std::vector<float> bs = {std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min(),
                           std::numeric_limits<float>::max(), 1.0f, 2.0f, 0.5f, 3.0f, 1.8446743e19f, 1.8446744e19f,
                           1e-23f, 3.7e-23f, 1.1e-19f};
  for (int i = 0; i < 20000; ++i) {
    const uint32_t bits = static_cast<uint32_t>(g.next() % 0x7F800000u) + 1;  // positive, finite, non-zero
    float b;
    std::memcpy(&b, &bits, 4);
    bs.push_back(b);
  }
  for (float b : bs) {
    const float x = kmeans::detail::sqrt_floor_of(b);
    ASSERT_GE(std::sqrt(x), b) << b;
    if (x > 0) {
      ASSERT_LT(std::sqrt(std::nextafter(x, 0.0f)), b) << b;
    }
    float lo = x, hi = x;
    for (int s = 0; s < 4; ++s) {
      lo = std::nextafter(lo, 0.0f);
      hi = std::nextafter(hi, kInf);
      for (float y : {lo, hi}) ASSERT_EQ(std::sqrt(y) < b, y < x) << b << " " << y;
    }
  }
  EXPECT_EQ(kmeans::detail::sqrt_floor_of(kInf), kInf);
  EXPECT_FALSE(kInf < kmeans::detail::sqrt_floor_of(std::numeric_limits<float>::max()));
}
