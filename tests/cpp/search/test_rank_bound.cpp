// Centroid ranking through the int8 grid bounds: the list must be exactly the one of the
// full f32 ranking (distances, ties by index, NaN as +inf) whatever the data, including
// centroids at almost the same distance (bounds right at the threshold), non-finite and
// huge or tiny values and queries far outside the grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/common/simd.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/search/rank_bound.hpp"
#include "ivf_rabitq/search/search_rank.hpp"
#include "ivf_rabitq/search/topk.hpp"

namespace kmeans = ivf_rabitq::kmeans;
namespace search = ivf_rabitq::search;
namespace distance = ivf_rabitq::distance;
namespace simd = ivf_rabitq::simd;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

enum class Shape { Clustered, Sphere, OnGrid, NonFinite, Tiny, FarQuery, Duplicates };

struct Case {
  Shape shape;
  size_t pad, n;
  const char* name;
};

// Centroids (n x pad) and a query (pad) of the given shape.
void make(const Case& c, std::vector<float>& cents, std::vector<float>& q) {
  std::mt19937 g(static_cast<unsigned>(c.pad * 131 + c.n));
  std::normal_distribution<float> nd;
  cents.assign(c.n * c.pad, 0.f);
  q.assign(c.pad, 0.f);
  std::vector<float> centres(8 * c.pad);
  for (auto& v : centres) v = nd(g) * 4.f;
  for (size_t i = 0; i < c.n; ++i)
    for (size_t j = 0; j < c.pad; ++j) cents[i * c.pad + j] = centres[(i % 8) * c.pad + j] + nd(g);
  for (size_t j = 0; j < c.pad; ++j) q[j] = centres[j] + nd(g) * 0.5f;
  switch (c.shape) {
    case Shape::Clustered: break;
    case Shape::Sphere:
      // Every centroid at (almost) the same distance from the query: the bounds sit at
      // the threshold and only the exact sums can order them.
      for (size_t i = 0; i < c.n; ++i) {
        double norm = 0;
        std::vector<float> dir(c.pad);
        for (auto& v : dir) v = nd(g), norm += double(v) * v;
        const float r = 10.f * (1.f + 1e-6f * float(i % 5));
        for (size_t j = 0; j < c.pad; ++j) cents[i * c.pad + j] = q[j] + r * float(dir[j] / std::sqrt(norm));
      }
      break;
    case Shape::OnGrid:
      // Multiples of 0.1 on a grid of step 0.1 (one coordinate of 12.7 sets it): the bounds
      // are the real distances, many of which tie, and only the f32 rounding of the exact
      // sums orders them; the margins must keep every centroid that rounding can lift.
      for (auto& v : cents) v = 0.1f * float(int(g() % 5) - 2);
      for (auto& v : q) v = 0.1f * float(int(g() % 3) - 1);
      cents[(c.n - 1) * c.pad] = 12.7f;
      break;
    case Shape::NonFinite:
      cents[3 * c.pad + 1] = std::numeric_limits<float>::quiet_NaN();
      cents[5 * c.pad] = kInf;
      cents[9 * c.pad + 2] = -kInf;
      cents[11 * c.pad + 4] = 1e30f;  // a huge finite value: a coarse grid for everyone
      for (size_t j = 0; j < c.pad; ++j) cents[12 * c.pad + j] = q[j];  // distance 0
      break;
    case Shape::Tiny:
      for (auto& v : cents) v *= 1e-20f;
      for (auto& v : q) v *= 1e-20f;
      break;
    case Shape::FarQuery:
      for (auto& v : q) v = v * 1e3f + 5e3f;  // clamped on the grid
      break;
    case Shape::Duplicates:
      for (size_t i = 1; i < c.n; ++i)
        std::copy_n(cents.begin() + (i % 3) * c.pad, c.pad, cents.begin() + i * c.pad);
      break;
  }
}

const Case kCases[] = {
    {Shape::Clustered, 128, 2100, "clustered 128"}, {Shape::Clustered, 320, 700, "clustered 320"},
    {Shape::Clustered, 64, 203, "clustered 64, partial block"}, {Shape::Sphere, 128, 900, "sphere"},
    {Shape::OnGrid, 64, 1500, "on the grid, ties"},
    {Shape::NonFinite, 128, 700, "non-finite and huge"},        {Shape::Tiny, 128, 700, "tiny values"},
    {Shape::FarQuery, 128, 700, "query off the grid"},           {Shape::Duplicates, 64, 500, "duplicates"},
};

std::vector<uint64_t> full_ranking(const std::vector<float>& cents, const std::vector<float>& q, size_t n,
                                   size_t pad) {
  std::vector<uint64_t> all;
  for (size_t i = 0; i < n; ++i) {
    float d = distance::sq_l2(q.data(), cents.data() + i * pad, pad);
    if (std::isnan(d)) d = kInf;
    all.push_back((uint64_t(search::total_order_key(d)) << 32) | i);
  }
  std::sort(all.begin(), all.end());
  return all;
}

TEST(RankBound, BoundedRankingEqualsFullRanking) {
  std::vector<bool> kernels{false};
  if (simd::has_vnni(simd::active_level())) kernels.push_back(true);
  for (const Case& c : kCases) {
    std::vector<float> cents, q;
    make(c, cents, q);
    const auto want = full_ranking(cents, q, c.n, c.pad);
    const auto packed = distance::PackedVectors::pack(cents.data(), c.n, c.pad);
    for (bool vnni : kernels) {
      const auto bound = kmeans::CentroidBound::build_for(cents.data(), c.n, c.pad, vnni, true);
      ASSERT_TRUE(bound.usable()) << c.name;
      kmeans::BoundScratch scratch;
      for (size_t m : {size_t(1), size_t(7), size_t(32), c.n / 4, c.n, c.n + 3}) {
        std::vector<uint64_t> got;
        search::nearest_keys_bounded(q.data(), cents.data(), packed, bound, m, got, scratch);
        const size_t k = std::min(m, c.n);
        ASSERT_EQ(got.size(), k) << c.name << " m " << m;
        ASSERT_TRUE(std::equal(got.begin(), got.end(), want.begin())) << c.name << " m " << m << " vnni " << vnni;
      }
    }
  }
}

// The ranking over centroids regrouped by proximity (each group a centroid and its nearest
// neighbours, so that far groups are abandoned whole) reports the original indices and the
// same list as the full ranking, ties, non-finite values and duplicates included; so does
// the ranking from every distance.
TEST(RankBound, RegroupedRankingEqualsFullRanking) {
  for (const Case& c : kCases) {
    std::vector<float> cents, q;
    make(c, cents, q);
    const auto want = full_ranking(cents, q, c.n, c.pad);
    const auto packed = distance::PackedVectors::pack(cents.data(), c.n, c.pad);
    const auto order = kmeans::RankOrder::build(cents.data(), packed, c.n, c.pad);
    ASSERT_FALSE(order.empty()) << c.name;
    std::vector<uint32_t> ids = order.ids;
    std::sort(ids.begin(), ids.end());
    for (size_t i = 0; i < c.n; ++i) ASSERT_EQ(ids[i], i) << c.name << ": not a permutation";
    std::vector<uint64_t> heap;
    for (size_t m : {size_t(1), size_t(7), size_t(32), c.n / 4, c.n, c.n + 3}) {
      std::vector<uint64_t> got;
      search::nearest_keys(q.data(), order.packed, m, got, heap, order.ids.data());
      ASSERT_EQ(got.size(), std::min(m, c.n)) << c.name << " m " << m;
      ASSERT_TRUE(std::equal(got.begin(), got.end(), want.begin())) << c.name << " m " << m;
      // And from every distance of the plain packing, as small segments rank.
      std::vector<float> dist;
      search::nearest_keys_all(q.data(), packed, m, got, dist);
      ASSERT_EQ(got.size(), std::min(m, c.n)) << c.name << " m " << m;
      ASSERT_TRUE(std::equal(got.begin(), got.end(), want.begin())) << c.name << " all distances, m " << m;
    }
  }
}

// The grid kernels give the exact integer sums (extreme codes included).
TEST(RankBound, GridKernelsAgreeWithScalar) {
  if (!simd::has_vnni(simd::active_level())) GTEST_SKIP() << "no AVX-512 VNNI on this CPU";
  std::mt19937 g(11);
  for (size_t pad : {size_t(4), size_t(8), size_t(64), size_t(68), size_t(832)}) {
    const size_t blocks = 3;
    std::vector<uint8_t> qa(pad);
    std::vector<int8_t, distance::AlignedAllocator<int8_t, 64>> codes(blocks * pad * 16);
    for (auto& v : qa) v = uint8_t(g() % 4 == 0 ? 255 : g() % 256);
    for (auto& v : codes) v = int8_t(g() % 4 == 0 ? -127 : int(g() % 255) - 127);
    std::vector<int32_t> a(blocks * 16), b(blocks * 16);
    search::detail::grid_dot_scalar(qa.data(), codes.data(), pad, blocks, a.data());
    search::detail::grid_dot_vnni(qa.data(), codes.data(), pad, blocks, b.data());
    ASSERT_EQ(a, b) << "pad " << pad;
  }
  // Lower bounds from the sums: bit for bit, infinite residuals included.
  const size_t n = 64;
  std::vector<int32_t> dot(n), sb(n);
  std::vector<float> err(n), lo_a(n), lo_b(n), min_a(n / 16), min_b(n / 16);
  for (size_t i = 0; i < n; ++i) {
    dot[i] = int32_t(g() % 200000) - 100000;
    sb[i] = int32_t(g() % 400000);
    err[i] = i % 9 == 0 ? kInf : float(g() % 1000) * 1e-3f;
  }
  for (float eq : {0.f, 0.37f, kInf}) {
    search::detail::grid_lo_scalar(dot.data(), sb.data(), err.data(), n, 250000, 0.031f, eq, lo_a.data(), min_a.data());
    search::detail::grid_lo_avx512(dot.data(), sb.data(), err.data(), n, 250000, 0.031f, eq, lo_b.data(), min_b.data());
    for (size_t i = 0; i < n; ++i)
      ASSERT_EQ(std::bit_cast<uint32_t>(lo_a[i]), std::bit_cast<uint32_t>(lo_b[i])) << "i " << i << " eq " << eq;
    ASSERT_EQ(min_a, min_b) << "eq " << eq;
  }
}

TEST(RankBound, UnusableShapes) {
  std::vector<float> rows(64 * 6, 1.f);
  EXPECT_FALSE(kmeans::CentroidBound::build_for(rows.data(), 0, 64, false, true).usable());
  EXPECT_FALSE(kmeans::CentroidBound::build_for(rows.data(), 6, 62, false, true).usable());  // pad not a multiple of 4
  // Too few vectors for the bound to pay unless forced.
  EXPECT_FALSE(kmeans::CentroidBound::build_for(rows.data(), 6, 64, true, false).usable());
}

}  // namespace
