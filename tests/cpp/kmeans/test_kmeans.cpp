// k-means training: compared byte for byte against a deliberately plain re-implementation
// of the training steps (row-major loops, one scalar distance at a time, one sequential
// accumulation pass), across thread counts and SIMD levels, plus the degenerate inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "ivf_rabitq/kmeans/kmeans.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/common/simd.hpp"

using namespace ivf_rabitq;

namespace {

// ---------------------------------------------------------------------------------------
// Plain reference.

struct RefRng {
  uint64_t s;
  explicit RefRng(uint64_t seed) : s(seed | 1) {}
  uint64_t draw() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
};

float ref_sqdist(const float* a, const float* b, size_t dim) {
  float acc = 0.0f;
  for (size_t j = 0; j < dim; ++j) {
    float d = a[j] - b[j];
    float sq = d * d;
    acc = acc + sq;
  }
  return acc;
}

struct RefRun {
  std::vector<float> centroids;
  size_t refills = 0;             // empty clusters refilled over all iterations
  size_t refills_start_mattered = 0;  // refills whose row differs from big's first row
  size_t zero_total_picks = 0;    // k-means++ picks made with total <= 0
  bool random_picks = false;
};

RefRun ref_kmeans(const std::vector<float>& data, size_t n, size_t dim, size_t k, uint64_t seed) {
  RefRun run;
  size_t kp = k < n ? k : n;
  if (kp == 0) kp = 1;
  if (n == 0) {
    run.centroids.assign(dim, 0.0f);
    return run;
  }
  std::vector<float> zero(dim, 0.0f);
  size_t n_train = 40 * kp > 50000 ? 40 * kp : 50000;
  if (n_train > n) n_train = n;
  std::vector<size_t> sample;
  for (size_t i = 0; i < n_train; ++i) {
    size_t r = static_cast<size_t>(static_cast<uint64_t>(i) * n / n_train);
    float norm = ref_sqdist(&data[r * dim], zero.data(), dim);
    if (!std::isnan(norm) && !std::isinf(norm)) sample.push_back(r);
  }
  const size_t ns = sample.size();
  std::vector<float> c(kp * dim, 0.0f);
  if (ns == 0) {
    run.centroids = c;
    return run;
  }
  auto row = [&](size_t r) { return &data[r * dim]; };
  auto set_centroid = [&](size_t i, size_t r) {
    for (size_t j = 0; j < dim; ++j) c[i * dim + j] = data[r * dim + j];
  };
  RefRng rng(seed);
  int iters;
  if (kp <= 1024) {
    size_t m = 32 * kp > 8192 ? 32 * kp : 8192;
    if (m > ns) m = ns;
    std::vector<size_t> sub(m);
    for (size_t l = 0; l < m; ++l) sub[l] = sample[static_cast<uint64_t>(l) * ns / m];
    set_centroid(0, sub[(rng.draw() & 0xFFFFFFFFu) % m]);
    std::vector<float> D(m, std::numeric_limits<float>::infinity());
    for (size_t ci = 1; ci < kp; ++ci) {
      for (size_t l = 0; l < m; ++l) {
        float d = ref_sqdist(row(sub[l]), &c[(ci - 1) * dim], dim);
        if (d < D[l]) D[l] = d;
      }
      double total = -0.0;
      for (size_t l = 0; l < m; ++l) total = total + static_cast<double>(D[l]);
      uint64_t x = rng.draw();
      if (total <= 0) {
        ++run.zero_total_picks;
        set_centroid(ci, sub[(x & 0xFFFFFFFFu) % m]);
      } else {
        double target = static_cast<double>(x) * std::ldexp(1.0, -64) * total;
        size_t picked = sub[0];
        for (size_t l = 0; l < m; ++l) {
          target = target - static_cast<double>(D[l]);
          if (target <= 0) {
            picked = sub[l];
            break;
          }
        }
        set_centroid(ci, picked);
      }
    }
    iters = 10;
  } else {
    run.random_picks = true;
    std::vector<size_t> perm = sample;
    for (size_t i = 0; i < kp; ++i) {
      if (i < ns) {
        uint64_t x = rng.draw();
        size_t s = i + (x & 0xFFFFFFFFu) % (ns - i);
        std::swap(perm[i], perm[s]);
        set_centroid(i, perm[i]);
      } else {
        set_centroid(i, perm[i % ns]);
      }
    }
    iters = 13;
  }
  std::vector<uint32_t> a(ns);
  for (int t = 1; t <= iters; ++t) {
    for (size_t p = 0; p < ns; ++p) {
      float best = std::numeric_limits<float>::infinity();
      uint32_t bi = 0;
      for (size_t ci = 0; ci < kp; ++ci) {
        float d = ref_sqdist(row(sample[p]), &c[ci * dim], dim);
        if (d < best) {
          best = d;
          bi = static_cast<uint32_t>(ci);
        }
      }
      a[p] = bi;
    }
    std::vector<uint32_t> counts(kp, 0);
    std::vector<float> sums(kp * dim, 0.0f);
    for (size_t p = 0; p < ns; ++p) {
      counts[a[p]] += 1;
      for (size_t j = 0; j < dim; ++j) sums[a[p] * dim + j] = sums[a[p] * dim + j] + row(sample[p])[j];
    }
    for (size_t ci = 0; ci < kp; ++ci) {
      if (counts[ci] == 0) continue;
      float inv = 1.0f / static_cast<float>(counts[ci]);
      for (size_t j = 0; j < dim; ++j) c[ci * dim + j] = sums[ci * dim + j] * inv;
    }
    if (t < iters) {
      size_t big = 0;
      for (size_t ci = 1; ci < kp; ++ci)
        if (counts[ci] > counts[big]) big = ci;
      if (counts[big] >= 2) {
        size_t first_of_big = 0;
        while (a[first_of_big] != big) ++first_of_big;
        for (size_t e = 0; e < kp; ++e) {
          if (counts[e] != 0) continue;
          uint64_t x = rng.draw();
          size_t p = (x & 0xFFFFFFFFu) % ns;
          for (size_t v = 0; v < ns; ++v, p = (p + 1) % ns) {
            if (a[p] == big) break;
          }
          set_centroid(e, sample[p]);
          counts[e] = 1;
          ++run.refills;
          if (std::memcmp(row(sample[p]), row(sample[first_of_big]), dim * sizeof(float)) != 0)
            ++run.refills_start_mattered;
        }
      }
    }
  }
  run.centroids = c;
  return run;
}

// ---------------------------------------------------------------------------------------
// Fixtures.

struct Gen {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  float unit() { return static_cast<float>(next() >> 40) * 0x1p-24f; }
  float gauss() {  // sum of uniforms: enough for clustered test data
    float s = 0;
    for (int i = 0; i < 4; ++i) s += unit();
    return s - 2.0f;
  }
};

// n rows around `centers` random centres.
std::vector<float> mixture(size_t n, size_t dim, size_t centers, float spread, uint64_t seed) {
  Gen g{seed};
  std::vector<float> cent(centers * dim);
  for (auto& x : cent) x = (g.unit() - 0.5f) * spread;
  std::vector<float> out(n * dim);
  for (size_t i = 0; i < n; ++i) {
    size_t c = g.next() % centers;
    for (size_t j = 0; j < dim; ++j) out[i * dim + j] = cent[c * dim + j] + g.gauss();
  }
  return out;
}

// Rows on a small integer grid: many exact duplicates.
std::vector<float> grid(size_t n, size_t dim, uint32_t side, uint64_t seed) {
  Gen g{seed};
  std::vector<float> out(n * dim);
  for (auto& x : out) x = static_cast<float>(g.next() % side);
  return out;
}

bool same_bytes(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

enum : unsigned { kPP = 1, kRandom = 2, kRefill = 4, kRefillStart = 8, kZeroTotal = 16 };

struct Fixture {
  const char* name;
  std::vector<float> data;
  size_t n, dim, k;
  uint64_t seed;
  unsigned expect = 0;
};

std::vector<Fixture> fixtures() {
  std::vector<Fixture> fx;
  fx.push_back({"mixture k-means++", mixture(3000, 5, 9, 40, 1), 3000, 5, 7, 42, kPP});
  fx.push_back({"strided sample n=60000", mixture(60000, 2, 4, 30, 2), 60000, 2, 3, 7});
  {
    auto d = mixture(2000, 4, 6, 20, 3);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (size_t r = 0; r < 2000; r += 37) d[r * 4 + r % 4] = nan;
    for (size_t r = 5; r < 2000; r += 41) d[r * 4 + 1] = -inf;
    for (size_t r = 11; r < 2000; r += 53) d[r * 4 + 2] = 3e19f;  // finite row, square overflows
    fx.push_back({"non-finite rows dropped", d, 2000, 4, 5, 99});
  }
  fx.push_back({"k=1024 k-means++", mixture(1100, 3, 50, 100, 4), 1100, 3, 1024, 5, kPP});
  fx.push_back({"k=1025 random picks", mixture(1100, 3, 50, 100, 4), 1100, 3, 1025, 5, kRandom});
  {
    auto d = mixture(1030, 3, 40, 100, 5);
    d[17 * 3] = std::numeric_limits<float>::quiet_NaN();
    fx.push_back({"k=n>1024 with a dropped row", d, 1030, 3, 5000, 11, kRandom});
  }
  {
    // Continuous rows (clusters of distinct rows) plus one point repeated: its repeated
    // centroids go empty and are refilled from the largest cluster.
    auto d = mixture(5000, 2, 30, 50, 6);
    for (size_t r = 0; r < 5000; r += 83) {  // 10 points, 6 copies each
      d[r * 2] = 0.5f + static_cast<float>(r % 10);
      d[r * 2 + 1] = 0.25f;
    }
    fx.push_back({"duplicates: refills (random picks)", d, 5000, 2, 1030, 3, kRandom | kRefill | kRefillStart});
  }
  fx.push_back({"duplicates: zero-total picks", grid(300, 2, 5, 7), 300, 2, 40, 8, kPP | kZeroTotal | kRefill});
  // Uniform rows converge slowly, so one Lloyd iteration more or less shows.
  fx.push_back({"uniform k-means++ (10 iterations)", grid(4000, 2, 1u << 20, 12), 4000, 2, 60, 5, kPP});
  fx.push_back({"uniform random picks (13 iterations)", grid(12000, 1, 1u << 20, 13), 12000, 1, 1030, 5, kRandom});
  {
    // Three finite rows and two dropped: k' = 5 > n_s = 3, so the last two k-means++ picks
    // are index draws (every weight is 0) that duplicate chosen rows; the duplicates stay
    // empty and, every cluster holding a single row, are never refilled.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> d = {1, 2, nan, 0, 7, -1, 4, 4, 0, nan};
    fx.push_back({"zero-total picks kept", d, 5, 2, 5, 3, kPP | kZeroTotal});
  }
  fx.push_back({"k=1 mean", mixture(777, 6, 3, 10, 8), 777, 6, 1, 1});
  fx.push_back({"k=0 means one", mixture(500, 3, 3, 10, 9), 500, 3, 0, 1});
  fx.push_back({"k>n", mixture(9, 3, 3, 10, 10), 9, 3, 20, 1});
  return fx;
}

}  // namespace

TEST(KMeansRng, DrawsOfSeed42) {
  kmeans::detail::Xorshift64 r(42);
  EXPECT_EQ(r.state, 43u);
  const uint64_t x0 = r.next();
  EXPECT_EQ(x0, 0x0000000AD5D36AEBull);
  EXPECT_EQ(r.next(), 0xB00AEBFBF40316FEull);
  EXPECT_EQ(r.next(), 0x100DBDB3BF576F53ull);
  EXPECT_EQ(x0 & 0xFFFFFFFFu, 3587402475u);
  EXPECT_EQ(kmeans::detail::Xorshift64::index_of(x0, 1000), 475u);
  EXPECT_EQ(kmeans::detail::Xorshift64::real_of(0), 0.0);
  EXPECT_EQ(kmeans::detail::Xorshift64::real_of(~0ull), 1.0);  // rounds up to 2^64
}

TEST(KMeans, MatchesPlainReferenceByteForByte) {
  for (const auto& f : fixtures()) {
    SCOPED_TRACE(f.name);
    const RefRun ref = ref_kmeans(f.data, f.n, f.dim, f.k, f.seed);
    const auto got = kmeans::kmeans(f.data, f.n, f.dim, f.k, f.seed);
    ASSERT_EQ(got.size(), ref.centroids.size());
    for (size_t i = 0; i < got.size(); ++i) {
      uint32_t a, b;
      std::memcpy(&a, &got[i], 4);
      std::memcpy(&b, &ref.centroids[i], 4);
      ASSERT_EQ(a, b) << "centroid " << i / f.dim << " coordinate " << i % f.dim;
    }
    // The fixtures really reach what they are named after.
    if (f.expect & kPP) {
      EXPECT_FALSE(ref.random_picks);
    }
    if (f.expect & kRandom) {
      EXPECT_TRUE(ref.random_picks);
    }
    if (f.expect & kRefill) {
      EXPECT_GT(ref.refills, 0u);
    }
    // The refill draws decide which row is copied.
    if (f.expect & kRefillStart) {
      EXPECT_GT(ref.refills_start_mattered, 0u);
    }
    if (f.expect & kZeroTotal) {
      EXPECT_GT(ref.zero_total_picks, 0u);
    }
  }
}

TEST(KMeans, SameBytesForEveryPoolSizeAndSimdLevel) {
  struct Case {
    std::vector<float> data;
    size_t n, dim, k;
  };
  const Case cases[] = {
      {mixture(20000, 16, 40, 30, 21), 20000, 16, 50},
      {mixture(3000, 8, 200, 60, 22), 3000, 8, 1100},
  };
  for (const auto& c : cases) {
    std::vector<float> base;
    parallel::with_threads(1, [&] { base = kmeans::kmeans(c.data, c.n, c.dim, c.k, 1234); });
    ASSERT_EQ(base.size(), std::min(c.k, c.n) * c.dim);
    for (size_t threads : {2, 8}) {
      std::vector<float> got;
      parallel::with_threads(threads, [&] { got = kmeans::kmeans(c.data, c.n, c.dim, c.k, 1234); });
      EXPECT_TRUE(same_bytes(base, got)) << "threads=" << threads << " k=" << c.k;
    }
    for (simd::Level lv : simd::supported_levels()) {
      std::vector<float> got;
      parallel::with_threads(8, [&] { got = kmeans::detail::kmeans_at(lv, c.data, c.n, c.dim, c.k, 1234); });
      EXPECT_TRUE(same_bytes(base, got)) << simd::level_name(lv) << " k=" << c.k;
    }
  }
}

TEST(KMeans, DegenerateInputs) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // n = 0: one centroid at the origin whatever k is.
  EXPECT_EQ(kmeans::kmeans({}, 0, 3, 5, 1), std::vector<float>(3, 0.0f));
  EXPECT_EQ(kmeans::kmeans({}, 0, 3, 0, 1), std::vector<float>(3, 0.0f));
  // Every row non-finite: k' x dim zeros.
  std::vector<float> bad(10 * 2, nan);
  EXPECT_EQ(kmeans::kmeans(bad, 10, 2, 3, 1), std::vector<float>(3 * 2, 0.0f));
  // dim = 0: k' centroids of no coordinates.
  EXPECT_TRUE(kmeans::kmeans({}, 5, 0, 3, 1).empty());
  // Identical rows whose mean is exact (64 rows, values with short mantissas): every
  // centroid is the row itself (the extra centroids are copies and are refilled with it).
  std::vector<float> same(64 * 3);
  for (size_t i = 0; i < 64; ++i) {
    same[i * 3] = 0.5f;
    same[i * 3 + 1] = -1.25f;
    same[i * 3 + 2] = 3.0f;
  }
  auto got = kmeans::kmeans(same, 64, 3, 5, 77);
  ASSERT_EQ(got.size(), 15u);
  for (size_t c = 0; c < 5; ++c) {
    EXPECT_EQ(got[c * 3], 0.5f);
    EXPECT_EQ(got[c * 3 + 1], -1.25f);
    EXPECT_EQ(got[c * 3 + 2], 3.0f);
  }
  // A caller passing fewer values than n x dim gets centroids of the rows present rather
  // than a read past the end.
  std::vector<float> short_data = mixture(10, 4, 2, 10, 3);
  auto clipped = kmeans::kmeans(short_data, 50, 4, 3, 1);
  EXPECT_EQ(clipped, kmeans::kmeans(short_data, 10, 4, 3, 1));
}
