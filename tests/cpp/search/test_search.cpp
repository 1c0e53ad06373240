// Dense search and exact search over hand-built segments (k-means clusters, binary codes of
// rotated residuals, int8 rerank codes with per-row exponents), plus the selections they
// rely on.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <memory>
#include <set>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/search/search_rank.hpp"
#include "ivf_rabitq/search/search_view.hpp"
#include "ivf_rabitq/common/simd.hpp"
#include "ivf_rabitq/search/topk.hpp"
#include "ivf_rabitq/kmeans/kmeans.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/codec/quant.hpp"

namespace search = ivf_rabitq::search;
namespace codec = ivf_rabitq::codec;
namespace quant = ivf_rabitq::quant;
namespace storage = ivf_rabitq::storage;
using search::Candidate;
using search::ScoredPair;
using search::SlotDistance;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();

// The bin of an estimate: the bin of its total-order key, as the scan bins a candidate.
size_t bin_of(const search::EstimateBins& bins, float estimate) { return bins.bin(search::total_order_key(estimate)); }

// Seeded Gaussian mixture of low intrinsic dimension (like embeddings): `centers` centres
// with N(0, spread^2) coordinates; a row is its centre plus a random image of a 12-dim
// standard normal, plus small isotropic noise.
std::vector<float> mixture_lowdim(size_t n, size_t dim, size_t centers, float spread, uint64_t seed) {
  constexpr size_t kIntr = 12;
  std::mt19937_64 g(seed);
  std::normal_distribution<float> nd(0.f, 1.f);
  std::vector<float> c(centers * dim), a(dim * kIntr);
  for (auto& v : c) v = nd(g) * spread;
  for (auto& v : a) v = nd(g) / std::sqrt(float(kIntr)) * 3.f;
  std::vector<float> x(n * dim);
  std::uniform_int_distribution<size_t> pick(0, centers - 1);
  float z[kIntr];
  for (size_t i = 0; i < n; ++i) {
    const size_t k = pick(g);
    for (auto& v : z) v = nd(g);
    for (size_t j = 0; j < dim; ++j) {
      float acc = c[k * dim + j] + 0.05f * nd(g);
      for (size_t t = 0; t < kIntr; ++t) acc += a[j * kIntr + t] * z[t];
      x[i * dim + j] = acc;
    }
  }
  return x;
}

// Seeded Gaussian mixture: `centers` centres with N(0, spread^2) coordinates, rows around
// them with N(0, 1).
std::vector<float> mixture(size_t n, size_t dim, size_t centers, float spread, uint64_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<float> nd(0.f, 1.f);
  std::vector<float> c(centers * dim);
  for (auto& v : c) v = nd(g) * spread;
  std::vector<float> x(n * dim);
  std::uniform_int_distribution<size_t> pick(0, centers - 1);
  for (size_t i = 0; i < n; ++i) {
    const size_t k = pick(g);
    for (size_t j = 0; j < dim; ++j) x[i * dim + j] = c[k * dim + j] + nd(g);
  }
  return x;
}

// A segment built the way the bulk build lays it out, kept in memory.
struct MiniSegment {
  size_t dim = 0, pad = 0, words = 0, k = 0;
  uint32_t n_bits = 0, n = 0;
  codec::Rotator rot;
  std::vector<float> centroids;      // k x dim
  std::vector<float> centroids_rot;  // k x pad
  ivf_rabitq::distance::PackedVectors packed;
  std::vector<uint32_t> offsets;
  std::vector<uint64_t> codes;
  std::vector<float> metas;
  std::vector<uint8_t> orig, origscale;
  std::vector<float> by_slot;  // float rows in slot order
  bool with_origscale = true;
  float quant_scale = 1.0f;
  storage::Delta delta;
  storage::Tombstones tombs;
  storage::DeltaClusterLists lists;  // kept in step with delta by add()

  MiniSegment(const std::vector<float>& rows, size_t n_rows, size_t dim_, size_t clusters, uint32_t bits,
              uint64_t seed = 7)
      : dim(dim_), n_bits(bits), n(static_cast<uint32_t>(n_rows)) {
    rot = codec::Rotator::build(dim, codec::rotation_seed(seed), true);
    pad = rot.pad;
    words = pad / 64;
    centroids = ivf_rabitq::kmeans::kmeans(rows, n_rows, dim, clusters, seed);
    k = centroids.size() / dim;
    auto assign = ivf_rabitq::kmeans::assign_brute_force(rows, n_rows, dim, centroids, k);
    offsets.assign(k + 1, 0);
    for (uint32_t c : assign) offsets[c + 1]++;
    for (size_t c = 0; c < k; ++c) offsets[c + 1] += offsets[c];
    std::vector<uint32_t> next(offsets.begin(), offsets.end() - 1), slot_of(n_rows);
    for (size_t r = 0; r < n_rows; ++r) slot_of[r] = next[assign[r]]++;
    centroids_rot.resize(k * pad);
    for (size_t c = 0; c < k; ++c)
      rot.rotate_into({centroids.data() + c * dim, dim}, {centroids_rot.data() + c * pad, pad});
    packed = ivf_rabitq::distance::PackedVectors::pack(centroids_rot.data(), k, pad);
    const size_t stride = n_bits * words;
    codes.assign(n_rows * stride, 0);
    metas.assign(n_rows * 4, 0.f);
    by_slot.assign(n_rows * dim, 0.f);
    std::vector<float> r(pad);
    for (size_t i = 0; i < n_rows; ++i) {
      const uint32_t s = slot_of[i];
      std::copy_n(rows.data() + i * dim, dim, by_slot.data() + s * dim);
      encode_rotated(rows.data() + i * dim, assign[i], codes.data() + s * stride, metas.data() + s * 4, r);
    }
    orig.assign(n_rows * dim, 0);
    origscale.assign(n_rows * 8, 0);
    quant::encode_build_rows(rows.data(), dim, 0, n_rows, slot_of.data(), orig.data(), origscale.data());
  }

  void encode_rotated(const float* x, uint32_t c, uint64_t* code, float* factors, std::vector<float>& r) const {
    rot.rotate_into({x, dim}, r);
    for (size_t j = 0; j < pad; ++j) r[j] -= centroids_rot[c * pad + j];
    codec::encode_rotated_bbit(r, dim, n_bits, words, {code, n_bits * words}, std::span<float, 4>(factors, 4));
  }

  // The delta row of x (as the add path encodes it); returns its slot.
  uint32_t add(const float* x) {
    std::vector<float> r(pad);
    rot.rotate_into({x, dim}, r);
    uint32_t best = 0;
    float bd = kInf;
    for (size_t c = 0; c < k; ++c) {
      const float d = ivf_rabitq::distance::sq_l2(r.data(), centroids_rot.data() + c * pad, pad);
      if (d < bd) bd = d, best = static_cast<uint32_t>(c);
    }
    const size_t stride = n_bits * words;
    const size_t d0 = delta.ids.size();
    delta.codes.resize((d0 + 1) * stride);
    delta.factors.resize((d0 + 1) * 4);
    encode_rotated(x, best, delta.codes.data() + d0 * stride, delta.factors.data() + d0 * 4, r);
    delta.rerank.resize((d0 + 1) * (dim + 1));
    quant::encode_delta_row(x, dim, with_origscale, quant_scale, delta.rerank.data() + d0 * (dim + 1));
    delta.clusters.push_back(best);
    if (lists.clusters() != k) lists.assign(delta, k);
    else lists.append(best);
    delta.ids.push_back("d" + std::to_string(d0));
    delta.meta.push_back("null");
    delta.sparse.emplace_back();
    by_slot.insert(by_slot.end(), x, x + dim);
    return n + static_cast<uint32_t>(d0);
  }

  search::SegmentView view(uint32_t main_rows) {
    search::SegmentView v;
    v.dim = dim;
    v.pad = pad;
    v.n_bits = n_bits;
    v.words = words;
    v.n_clusters = k;
    v.n = main_rows;
    v.quant_scale = quant_scale;
    v.rotator = &rot;
    v.centroids_rot = centroids_rot.data();
    v.packed_centroids = &packed;
    v.offsets = offsets.data();
    v.codes = codes.data();
    v.metas = metas.data();
    v.orig = orig.data();
    v.has_origscale = with_origscale;
    v.origscale = origscale.data();
    v.origscale_records = with_origscale ? main_rows : 0;
    v.delta_lists = &lists;
    return v;
  }
  search::SegmentView view() { return view(n); }
  search::LiveView live() const { return {&tombs, &delta}; }
  std::span<const float> row(uint32_t slot) const { return {by_slot.data() + size_t(slot) * dim, dim}; }
};

// A filter over slots (main slot s, delta row i as slot n + i).
struct SlotFilter {
  std::function<bool(uint32_t)> f;
  uint32_t n = 0;
  search::RowFilter bind() const {
    search::RowFilter r;
    r.ctx = this;
    r.main = [](const void* c, uint32_t s) { return static_cast<const SlotFilter*>(c)->f(s); };
    r.delta = [](const void* c, const storage::Delta&, uint32_t i) {
      auto* self = static_cast<const SlotFilter*>(c);
      return self->f(self->n + i);
    };
    return r;
  }
};

search::DenseParams params(uint64_t k, uint64_t nprobe, uint64_t rerank, bool ensure = false) {
  search::DenseParams p;
  p.k = k;
  p.nprobe = nprobe;
  p.rerank = rerank;
  p.ensure_target_k = ensure;
  return p;
}

void expect_same(const std::vector<SlotDistance>& a, const std::vector<SlotDistance>& b, const std::string& what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i].first, b[i].first) << what << " at " << i;
    ASSERT_EQ(std::bit_cast<uint32_t>(a[i].second), std::bit_cast<uint32_t>(b[i].second)) << what << " at " << i;
  }
}

void expect_sorted(const std::vector<SlotDistance>& r) {
  for (size_t i = 1; i < r.size(); ++i) {
    const uint32_t a = std::bit_cast<uint32_t>(r[i - 1].second), b = std::bit_cast<uint32_t>(r[i].second);
    ASSERT_TRUE(a < b || (a == b && r[i - 1].first < r[i].first)) << i;
  }
}

// One shared small segment: 6,000 x 32 in 40 clusters, two bits.
MiniSegment& small_segment() {
  static MiniSegment* s = [] {
    auto rows = mixture(6000, 32, 24, 3.f, 11);
    return new MiniSegment(rows, 6000, 32, 40, 2);
  }();
  return *s;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Orders and selections
// ---------------------------------------------------------------------------------------

TEST(SearchOrders, EstimatesUseTotalOrderDistancesUseBitsThenSlot) {
  // Estimates: -NaN < -inf < -1 < -0 < +0 < 1 < inf < NaN.
  const float ordered[] = {-kNaN, -kInf, -1.f, -0.f, 0.f, 1.f, kInf, kNaN};
  for (size_t i = 0; i + 1 < std::size(ordered); ++i)
    EXPECT_LT(search::total_order_key(ordered[i]), search::total_order_key(ordered[i + 1])) << i;
  for (float f : ordered)  // the candidate key gives the estimate back bit for bit
    EXPECT_EQ(std::bit_cast<uint32_t>(Candidate::make(f, 0, 3).estimate()), std::bit_cast<uint32_t>(f));
  // A negative estimate outranks every positive one (a raw-bits order would get this wrong).
  EXPECT_TRUE(search::EstimateLess{}(Candidate::make(-3.f, 0, 9), Candidate::make(2.f, 0, 1)));
  EXPECT_TRUE(search::EstimateLess{}(Candidate::make(2.f, 0, 1), Candidate::make(2.f, 0, 9)));  // ties: slot

  // Distances: bits as u32, then slot: +0 < 1 < inf < NaN; equal distances by slot.
  struct Case {
    ScoredPair a, b;
    bool less;
  } cases[] = {
      {{0.f, 5}, {1.f, 1}, true},   {{1.f, 1}, {kInf, 0}, true}, {{kInf, 9}, {kNaN, 0}, true},
      {{2.f, 3}, {2.f, 4}, true},   {{2.f, 4}, {2.f, 3}, false}, {{0.f, 1}, {-0.f, 0}, true},
  };
  for (const auto& c : cases) EXPECT_EQ(search::DistanceLess{}(c.a, c.b), c.less) << c.a.first << " " << c.b.first;
}

TEST(SearchOrders, KeepKAndCompactBound) {
  std::vector<ScoredPair> l = {{3.f, 1}, {1.f, 7}, {1.f, 2}, {kNaN, 0}, {kInf, 4}, {0.5f, 9}};
  auto copy = l;
  search::keep_k_smallest(copy, 10);
  auto bits = [](const std::vector<ScoredPair>& v) {
    std::vector<uint64_t> out;
    for (auto& p : v) out.push_back(search::distance_key(p));
    return out;
  };
  EXPECT_EQ(bits(copy), bits(l));  // at most k: untouched, same order
  search::keep_k_smallest(copy, 3);
  std::set<uint32_t> slots;
  for (auto& p : copy) slots.insert(p.second);
  EXPECT_EQ(slots, (std::set<uint32_t>{9, 2, 7}));
  search::keep_k_smallest(copy, 0);
  EXPECT_TRUE(copy.empty());

  std::vector<Candidate> buf;
  for (uint32_t s = 0; s < 20; ++s) buf.push_back(Candidate::make(float(int(s % 5) - 2), 0.f, 100 - s));
  // estimates -2,-1,0,1,2 four times each; the 6 best are the four -2 and the two -1 with the lowest slots.
  const float bound = search::compact_bound(buf, 6);
  EXPECT_EQ(bound, -1.f);
  std::set<uint32_t> kept;
  for (auto& c : buf) kept.insert(c.slot());
  EXPECT_EQ(kept, (std::set<uint32_t>{100, 95, 90, 85, 84, 89}));
  EXPECT_EQ(search::compact_bound(buf, 6), kInf);  // at cap: unchanged
}

// keep_k_smallest keeps exactly the k first pairs of a full sort, on both sides of the size
// where it switches from nth_element to the radix selection and of the k up to which a short
// list keeps its best by insertion, with equal distances told apart by the slot and +inf /
// NaN distances present.
TEST(SearchOrders, KeepKSmallestMatchesFullSortAtEverySize) {
  std::mt19937 g(29);
  for (size_t n : {2, 40, 100, 255, 256, 257, 400, 3000}) {
    std::vector<ScoredPair> l;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t r = g() % 100;
      const float d = r == 0 ? kNaN : r == 1 ? kInf : float(g() % 50) * 0.25f;
      l.push_back({d, uint32_t(g() % 100000) * 8 + uint32_t(i % 8)});
    }
    std::sort(l.begin(), l.end(), [](auto& a, auto& b) { return a.second < b.second; });
    l.erase(std::unique(l.begin(), l.end(), [](auto& a, auto& b) { return a.second == b.second; }), l.end());
    std::shuffle(l.begin(), l.end(), g);
    auto sorted = l;
    std::sort(sorted.begin(), sorted.end(), search::DistanceLess{});
    for (uint32_t k : {1u, 10u, search::kKeepInsertMax, search::kKeepInsertMax + 1, uint32_t(l.size() - 1)}) {
      if (k == 0) continue;
      auto got = l;
      search::keep_k_smallest(got, k);
      const size_t want = std::min<size_t>(k, l.size());
      ASSERT_EQ(got.size(), want) << "n " << n;
      search::sort_by_distance(got);
      for (size_t i = 0; i < want; ++i)
        ASSERT_EQ(search::distance_key(got[i]), search::distance_key(sorted[i]))
            << "n " << n << " k " << k << " at " << i;
    }
  }
}

// The radix selection and the branch-free partitions against plain sorts,
// over key sets that defeat a naive bucketing: all in one narrow range, equal estimates
// told apart only by the slot, huge spreads, sizes around the small-set cutoff.
TEST(SearchOrders, SelectionHelpersMatchSorting) {
  std::mt19937_64 g(17);
  std::vector<uint64_t> scratch;
  struct Shape {
    const char* name;
    std::function<uint64_t(size_t)> key;
  };
  const Shape shapes[] = {
      {"random", [&](size_t) { return g(); }},
      {"one estimate, slots differ", [&](size_t i) { return (uint64_t{0xC1234567} << 32) | uint32_t(i * 7919u); }},
      {"narrow", [&](size_t i) { return (uint64_t{0x80000000} << 32) + (g() % 5000) * 4096 + i; }},
      {"few estimates", [&](size_t i) { return (uint64_t(g() % 3) << 40) | i; }},
      {"spread", [&](size_t i) { return i % 2 ? ~uint64_t{0} - i : i; }},
  };
  for (const Shape& sh : shapes) {
    for (size_t n : {1, 2, 47, 48, 49, 300, 2300}) {
      std::vector<Candidate> c(n);
      std::set<uint64_t> seen;
      for (size_t i = 0; i < n; ++i) {
        uint64_t key = sh.key(i);
        while (!seen.insert(key).second) ++key;  // keys are distinct, as slots are
        c[i] = Candidate{key, float(i)};
      }
      std::vector<uint64_t> sorted(seen.begin(), seen.end());
      for (size_t k : {size_t(1), n / 3 + 1, n}) {
        if (k == 0 || k > n) continue;
        const uint64_t t = search::kth_smallest_key(n, k, [&](size_t i) { return c[i].key; }, scratch);
        ASSERT_EQ(t, sorted[k - 1]) << sh.name << " n " << n << " k " << k;
        // compact_keep keeps exactly the k best; partition keeps order on both sides.
        auto b = c;
        float bound;
        const size_t m = search::compact_keep(b.data(), n, uint32_t(k), &bound);
        ASSERT_EQ(m, k == n ? n : k) << sh.name;
        std::vector<uint64_t> kept;
        for (size_t i = 0; i < m; ++i) kept.push_back(b[i].key);
        std::sort(kept.begin(), kept.end());
        ASSERT_TRUE(std::equal(kept.begin(), kept.end(), sorted.begin())) << sh.name << " n " << n;
        if (k < n) {
          ASSERT_EQ(std::bit_cast<uint32_t>(bound), std::bit_cast<uint32_t>(Candidate{t, 0}.estimate()));
        }
        auto p = c;
        std::vector<Candidate> tmp;
        const size_t front =
            search::partition_candidates(p.data(), n, [t](const Candidate& x) { return x.key <= t; }, tmp);
        ASSERT_EQ(front, k);
        std::vector<Candidate> want_front, want_back;
        for (auto& x : c) (x.key <= t ? want_front : want_back).push_back(x);
        for (size_t i = 0; i < n; ++i) {
          const Candidate& w = i < k ? want_front[i] : want_back[i - k];
          ASSERT_EQ(p[i].key, w.key);
          ASSERT_EQ(p[i].lower, w.lower);
        }
      }
    }
  }
}

// Centroid ranking with early abandoning, and from every distance, equals full distances +
// sort, at every level, with ties, NaN and infinite distances and ranges split as the
// parallel path splits them.
TEST(SearchOrders, NearestCentroidKeysMatchFullRanking) {
  const size_t dim = 40, n = 203;  // a partial last block
  std::mt19937 g(5);
  std::normal_distribution<float> nd;
  std::vector<float> cents(n * dim), q(dim);
  for (auto& v : cents) v = nd(g) * 3.f;
  for (auto& v : q) v = nd(g);
  for (size_t j = 0; j < dim; ++j) {
    cents[17 * dim + j] = cents[150 * dim + j];  // equal distances: ties by index
    cents[60 * dim + j] = q[j];                  // distance 0
  }
  cents[33 * dim + 5] = std::numeric_limits<float>::quiet_NaN();
  cents[34 * dim + 39] = kInf;
  cents[90 * dim + 0] = 1e30f;  // partial sums overflow to +inf
  const auto packed = ivf_rabitq::distance::PackedVectors::pack(cents.data(), n, dim);
  std::vector<uint64_t> all;
  for (size_t c = 0; c < n; ++c) {
    float d = ivf_rabitq::distance::sq_l2(q.data(), cents.data() + c * dim, dim);
    if (std::isnan(d)) d = kInf;
    all.push_back((uint64_t(search::total_order_key(d)) << 32) | c);
  }
  std::sort(all.begin(), all.end());
  for (auto level : ivf_rabitq::simd::supported_levels()) {
    for (size_t m : {size_t(1), size_t(2), size_t(16), size_t(64), n, n + 5}) {
      std::vector<uint64_t> got, heap;
      search::nearest_keys_at(level, q.data(), packed, m, got, heap);
      const size_t want = std::min(m, n);
      ASSERT_EQ(got.size(), want);
      ASSERT_TRUE(std::equal(got.begin(), got.end(), all.begin())) << "m " << m;
      // Split into ranges of 3 blocks, the m best of each, then the m best of the union.
      std::vector<uint64_t> parts;
      for (size_t b = 0; b < packed.blocks(); b += 3)
        search::nearest_keys_range(level, q.data(), packed, m, b, b + 3, parts, heap);
      std::sort(parts.begin(), parts.end());
      ASSERT_TRUE(std::equal(all.begin(), all.begin() + want, parts.begin())) << "ranges, m " << m;
    }
  }
  // Every distance in full, then a selection (m = 0 included).
  for (size_t m : {size_t(0), size_t(1), size_t(2), size_t(16), size_t(32), size_t(33), size_t(64), n, n + 5}) {
    std::vector<uint64_t> got;
    std::vector<float> dist;
    search::nearest_keys_all(q.data(), packed, m, got, dist);
    ASSERT_EQ(got.size(), std::min(m, n));
    ASSERT_TRUE(std::equal(got.begin(), got.end(), all.begin())) << "all distances, m " << m;
  }
}

TEST(SearchOrders, TopKParMatchesSerialForEveryChunkingAndPool) {
  std::mt19937 g(3);
  std::vector<float> d(5000);
  for (auto& v : d) v = float(g() % 300);  // many ties
  auto produce = [&](size_t b, size_t e, auto&& emit) {
    for (size_t i = b; i < e; ++i) emit(ScoredPair{d[i], uint32_t(i)});
  };
  std::vector<ScoredPair> ref;
  for (size_t i = 0; i < d.size(); ++i) ref.push_back({d[i], uint32_t(i)});
  for (uint32_t k : {0u, 1u, 17u, 64u, 4999u, 5000u, 1u << 31}) {
    auto want = ref;
    search::keep_k_smallest(want, k);
    search::sort_by_distance(want);
    for (size_t threads : {1, 2, 8}) {
      for (size_t chunk : {1, 7, 100, 6000}) {
        std::vector<ScoredPair> got;
        ivf_rabitq::parallel::with_threads(threads, [&] {
          got = search::top_k_par(d.size(), chunk, k, search::keep_k_cap(k), produce);
        });
        search::keep_k_smallest(got, k);
        search::sort_by_distance(got);
        ASSERT_EQ(got, want) << "k=" << k << " threads=" << threads << " chunk=" << chunk;
      }
    }
  }
}

TEST(SearchOrders, SaturatingParameters) {
  EXPECT_EQ(search::sat_u32(uint64_t(1) << 40), search::kU32Max);
  EXPECT_EQ(search::sat_mul(268435456u, 16u), search::kU32Max);
  EXPECT_EQ(search::sat_mul(1000u, 4u), 4000u);
  EXPECT_EQ(search::keep_k_cap(1u << 31), search::kU32Max);
  EXPECT_EQ(search::keep_k_cap(5), 64u);
}

// score_slots gives slot_distance's bits for every kind of row it meets in one list: main
// rows with an origscale record, main rows past the records, delta rows with and without an
// exponent byte; against tables with and without the pow2 part and with the float
// fallback; lists of every length around its group size, runs of consecutive slots and
// unsorted lists.
TEST(ScoreSlots, EqualsSlotDistanceForEveryRowKind) {
  std::mt19937 g(21);
  for (size_t dim : {size_t(5), size_t(64), size_t(100), size_t(300)}) {  // 300: long rows
    const uint32_t n = 60;
    std::vector<uint8_t> orig(size_t(n) * dim), scale(size_t(n) * 8);
    std::vector<float> x(dim);
    std::normal_distribution<float> nd;
    for (uint32_t s = 0; s < n; ++s) {
      for (auto& v : x) v = nd(g) * float(1 + s % 4);
      quant::store_origscale_record(scale.data() + s * 8,
                                    quant::encode_pow2_row(x.data(), dim, orig.data() + size_t(s) * dim));
    }
    storage::Delta delta;
    const size_t drows = 12;
    delta.rerank.resize(drows * (dim + 1));
    for (size_t i = 0; i < drows; ++i) {
      for (auto& v : x) v = nd(g);
      quant::encode_delta_row(x.data(), dim, i % 2 == 0, 2.5f, delta.rerank.data() + i * (dim + 1));
    }
    search::SegmentView seg;
    seg.dim = dim;
    seg.n = n;
    seg.quant_scale = 2.5f;
    seg.orig = orig.data();
    for (bool with_scale : {true, false}) {
      seg.has_origscale = with_scale;
      seg.origscale = with_scale ? scale.data() : nullptr;
      seg.origscale_records = with_scale ? n - 7 : 0;  // the last 7 main rows have no record
      for (float qmag : {0.5f, 40.f}) {  // 40: the float fallback for segment-scale rows
        std::vector<float> q(dim);
        for (auto& v : q) v = nd(g) * qmag;
        const auto table = search::rerank_table_for(seg, q);
        std::vector<uint32_t> all;
        for (uint32_t s = 0; s < n + drows; ++s) all.push_back(s);
        std::vector<std::vector<uint32_t>> lists = {{}, {3}, all};
        for (size_t len : {7, 8, 9, 17, 40}) {
          auto l = all;
          std::shuffle(l.begin(), l.end(), g);
          l.resize(len);
          lists.push_back(l);
        }
        for (const auto& l : lists) {
          std::vector<ScoredPair> got(l.size() + 1, ScoredPair{-1.f, 7});
          search::score_slots(seg, delta, table, q, l, got.data());
          for (size_t j = 0; j < l.size(); ++j) {
            ASSERT_EQ(got[j].second, l[j]);
            ASSERT_EQ(std::bit_cast<uint32_t>(got[j].first),
                      std::bit_cast<uint32_t>(search::slot_distance(seg, delta, table, q, l[j])))
                << "dim " << dim << " slot " << l[j] << " origscale " << with_scale << " |q| " << qmag;
          }
          ASSERT_EQ(got[l.size()].second, 7u);  // nothing written past the list
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Dense search
// ---------------------------------------------------------------------------------------

TEST(DenseSearch, RecallOnClusteredDataAndSelfQueries) {
  const size_t n = 20000, dim = 128, nq = 40;
  auto rows = mixture_lowdim(n + nq, dim, 64, 1.0f, 1234);
  MiniSegment seg(rows, n, dim, 141, 2);
  auto view = seg.view();
  const float* queries = rows.data() + n * dim;

  // Recall against the float nearest neighbours, and against exact search (the same int8
  // distances, so only the pruning of the dense search can lose rows).
  double int8_recall = 0;
  auto recall_at = [&](uint64_t nprobe, uint64_t rerank) {
    size_t hit = 0, hit8 = 0;
    for (size_t q = 0; q < nq; ++q) {
      std::span<const float> qs(queries + q * dim, dim);
      std::vector<std::pair<float, uint32_t>> truth;
      for (uint32_t s = 0; s < n; ++s) truth.push_back({ivf_rabitq::distance::sq_l2(qs.data(), seg.row(s).data(), dim), s});
      std::partial_sort(truth.begin(), truth.begin() + 10, truth.end());
      std::set<uint32_t> want;
      for (size_t i = 0; i < 10; ++i) want.insert(truth[i].second);
      auto got = search::search_core_view(view, seg.live(), qs, params(10, nprobe, rerank), {});
      EXPECT_EQ(got.size(), 10u);
      expect_sorted(got);
      for (auto& [s, dd] : got) hit += want.count(s);
      std::set<uint32_t> want8;
      for (auto& [s, dd] : search::search_bruteforce_view(view, seg.live(), qs, 10, {})) want8.insert(s);
      for (auto& [s, dd] : got) hit8 += want8.count(s);
    }
    int8_recall = double(hit8) / double(nq * 10);
    return double(hit) / double(nq * 10);
  };
  const double r_default = recall_at(32, 400);
  const double r8_default = int8_recall;
  const double r_all = recall_at(1000, 400);
  std::printf("recall@10 (20000 x 128, 141 clusters, 2 bits): nprobe 32 / rerank 400: %.4f (vs exact int8 %.4f); "
              "every cluster: %.4f (vs exact int8 %.4f)\n",
              r_default, r8_default, r_all, int8_recall);
  EXPECT_GE(int8_recall, 0.99);
  // Float-truth recall is capped by the int8 rerank precision, not by the search: probing
  // every cluster finds the exact int8 top 10.
  EXPECT_GE(r_default, 0.90);
  EXPECT_GE(r_all, 0.95);

  // A query equal to a stored row returns that row first.
  for (uint32_t s : {0u, 777u, 19999u}) {
    auto got = search::search_core_view(view, seg.live(), seg.row(s), params(5, 32, 400), {});
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].first, s);
  }
}

TEST(DenseSearch, FallbackEqualsExactSearchOverSelectiveFilters) {
  MiniSegment& base = small_segment();
  // Delta rows and tombstones of main and delta rows take part.
  MiniSegment seg = base;
  auto extra = mixture(300, seg.dim, 24, 3.f, 99);
  for (size_t i = 0; i < 300; ++i) seg.add(extra.data() + i * seg.dim);
  for (uint32_t s = 0; s < seg.n + 300; s += 7) seg.tombs.insert(s);
  auto view = seg.view();
  const uint32_t n = seg.n;
  // Rows of the last cluster only (a far cluster for most queries).
  const uint32_t far_a = seg.offsets[seg.k - 1], far_b = seg.offsets[seg.k];

  struct Case {
    const char* name;
    std::function<bool(uint32_t)> f;
  } cases[] = {
      {"one in 97", [](uint32_t s) { return s % 97 == 5; }},
      {"last cluster", [=](uint32_t s) { return s >= far_a && s < far_b; }},
      {"delta only", [=](uint32_t s) { return s >= n && s % 3 == 0; }},
      {"three rows", [](uint32_t s) { return s == 2 || s == 4000 || s == 6100; }},
      {"nothing", [](uint32_t) { return false; }},
      {"tombstoned only", [](uint32_t s) { return s % 7 == 0; }},
  };
  int fallbacks = 0;
  for (const auto& c : cases) {
    SlotFilter sf{c.f, n};
    const search::RowFilter rf = sf.bind();
    for (uint32_t qi = 0; qi < 6; ++qi) {
      auto q = seg.row(qi * 1001 % (n + 300));
      for (uint64_t k : {1u, 10u, 100u}) {
        for (uint64_t nprobe : {1u, 2u}) {
          auto approx = search::search_core_view(view, seg.live(), q, params(k, nprobe, 40), rf);
          auto with = search::search_core_view(view, seg.live(), q, params(k, nprobe, 40, true), rf);
          auto exact = search::search_bruteforce_view(view, seg.live(), q, k, rf);
          expect_sorted(with);
          if (approx.size() < k) {
            ++fallbacks;
            expect_same(with, exact, std::string(c.name) + " k=" + std::to_string(k));
          } else {
            expect_same(with, approx, c.name);
          }
          for (auto& [s, d] : exact) {
            ASSERT_FALSE(seg.tombs.contains(s));
            ASSERT_TRUE(c.f(s));
          }
        }
      }
    }
  }
  EXPECT_GT(fallbacks, 20);
}

TEST(DenseSearch, DeltaRowsAndTombstones) {
  MiniSegment seg = small_segment();
  auto view = seg.view();
  // A delta row that duplicates main row 123 and a new point; then upsert-like tombstoning.
  const uint32_t d0 = seg.add(seg.row(123).data());
  std::vector<float> novel(seg.row(4000).begin(), seg.row(4000).end());
  for (auto& v : novel) v += 0.01f;
  const uint32_t d1 = seg.add(novel.data());
  view = seg.view();

  auto got = search::search_core_view(view, seg.live(), seg.row(123), params(2, 8, 50), {});
  ASSERT_EQ(got.size(), 2u);
  // Equal distances: the lower slot (the main row) first.
  EXPECT_EQ(got[0].first, 123u);
  EXPECT_EQ(got[1].first, d0);
  EXPECT_EQ(std::bit_cast<uint32_t>(got[0].second), std::bit_cast<uint32_t>(got[1].second));

  seg.tombs.insert(123);
  got = search::search_core_view(view, seg.live(), seg.row(123), params(1, 8, 50), {});
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].first, d0);

  got = search::search_core_view(view, seg.live(), novel, params(1, 8, 50), {});
  EXPECT_EQ(got[0].first, d1);
  seg.tombs.insert(d1);
  got = search::search_core_view(view, seg.live(), novel, params(3, 8, 50), {});
  for (auto& [s, d] : got) EXPECT_NE(s, d1);

  // A cluster whose rows are all tombstoned contributes nothing.
  const uint32_t c = seg.delta.clusters[0];
  for (uint32_t s = seg.offsets[c]; s < seg.offsets[c + 1]; ++s) seg.tombs.insert(s);
  seg.tombs.insert(d0);
  got = search::search_core_view(view, seg.live(), seg.row(seg.offsets[c]), params(50, 1, 50), {});
  for (auto& [s, d] : got) EXPECT_FALSE(s >= seg.offsets[c] && s < seg.offsets[c + 1]);

  // Lists that do not cover the delta (absent, short, another cluster count) are replaced
  // by lists grouped for the call: the same results as the segment's own.
  auto more = mixture(40, seg.dim, 24, 3.f, 17);
  for (size_t i = 0; i < 40; ++i) seg.add(more.data() + i * seg.dim);
  view = seg.view();
  const auto q = seg.row(seg.n + 2 + 5);
  const auto want = search::search_core_view(view, seg.live(), q, params(20, 4, 50), {});
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(want[0].first, seg.n + 7);
  storage::DeltaClusterLists short_lists(seg.k), other_count(seg.k + 1);
  short_lists.append(seg.delta.clusters[0]);
  const storage::DeltaClusterLists* replaced[] = {nullptr, &short_lists, &other_count};
  for (const storage::DeltaClusterLists* l : replaced) {
    auto v = view;
    v.delta_lists = l;
    expect_same(search::search_core_view(v, seg.live(), q, params(20, 4, 50), {}), want, "replaced lists");
  }
}

TEST(DeltaClusterLists, AppendAssignAndClustersOutOfRange) {
  storage::Delta d;
  d.clusters = {2, 0, 2, 7, 1, 2};  // 7: no such cluster, counted but listed nowhere
  storage::DeltaClusterLists built(3);
  for (uint32_t c : d.clusters) built.append(c);
  storage::DeltaClusterLists assigned;
  assigned.assign(d, 3);
  for (const storage::DeltaClusterLists* l : {&built, &assigned}) {
    EXPECT_EQ(l->rows(), 6u);
    EXPECT_EQ(l->clusters(), 3u);
    auto as_vec = [&](uint32_t c) {
      auto r = l->rows_of(c);
      return std::vector<uint32_t>(r.begin(), r.end());
    };
    EXPECT_EQ(as_vec(0), (std::vector<uint32_t>{1}));
    EXPECT_EQ(as_vec(1), (std::vector<uint32_t>{4}));
    EXPECT_EQ(as_vec(2), (std::vector<uint32_t>{0, 2, 5}));
    EXPECT_TRUE(l->rows_of(7).empty());
  }
  assigned.reset(3);
  EXPECT_EQ(assigned.rows(), 0u);
  EXPECT_TRUE(assigned.rows_of(2).empty());
}

TEST(DenseSearch, ThreadCountInvariance) {
  MiniSegment seg = small_segment();
  auto extra = mixture(400, seg.dim, 24, 3.f, 5);
  for (size_t i = 0; i < 400; ++i) seg.add(extra.data() + i * seg.dim);
  for (uint32_t s = 3; s < seg.n + 400; s += 11) seg.tombs.insert(s);
  auto view = seg.view();
  SlotFilter sf{[](uint32_t s) { return s % 3 != 0; }, seg.n};

  auto run_all = [&] {
    std::vector<std::vector<SlotDistance>> out;
    for (uint32_t qi = 0; qi < 8; ++qi) {
      auto q = seg.row(qi * 733 % (seg.n + 400));
      // Small rerank makes the candidate caps bind; a large one spreads probing over rounds.
      out.push_back(search::search_core_view(view, seg.live(), q, params(10, 12, 10), {}));
      out.push_back(search::search_core_view(view, seg.live(), q, params(20, 3, 300), sf.bind()));
      out.push_back(search::search_core_view(view, seg.live(), q, params(1000, 40, 2000), {}));
      out.push_back(search::search_bruteforce_view(view, seg.live(), q, 25, sf.bind()));
    }
    return out;
  };
  std::vector<std::vector<SlotDistance>> ref;
  ivf_rabitq::parallel::with_threads(1, [&] { ref = run_all(); });
  // Rounds this small are scanned on the calling thread unless the split is forced (0 rows).
  for (uint64_t split_at : {uint64_t{0}, uint64_t{1} << 40}) {
    const uint64_t saved = search::detail::probe_fan_out_rows(split_at);
    for (size_t t : {2, 8}) {
      std::vector<std::vector<SlotDistance>> got;
      ivf_rabitq::parallel::with_threads(t, [&] { got = run_all(); });
      ASSERT_EQ(got.size(), ref.size());
      for (size_t i = 0; i < got.size(); ++i)
        expect_same(got[i], ref[i], "threads " + std::to_string(t) + " split at " + std::to_string(split_at));
    }
    search::detail::probe_fan_out_rows(saved);
  }
}

// The dense search without a filter, step by step as described (every distance, estimate
// and bound from the scalar references, plain sorts instead of selections), against the
// engine at every dispatch level and pool size: the same slots and distance bits.
void match_step_by_step_reference(MiniSegment& seg);

TEST(DenseSearch, MatchesStepByStepReference) {
  // The second segment's clusters hold over 256 rows each, so a cluster's rows are
  // estimated in several batches.
  for (int which = 0; which < 2; ++which) {
    SCOPED_TRACE(which == 0 ? "40 clusters" : "8 clusters");
    MiniSegment seg = which == 0 ? small_segment() : MiniSegment(mixture(6000, 32, 24, 3.f, 12), 6000, 32, 8, 2);
    match_step_by_step_reference(seg);
  }
}

void match_step_by_step_reference(MiniSegment& seg) {
  auto extra = mixture(300, seg.dim, 24, 3.f, 9);
  for (size_t i = 0; i < 300; ++i) seg.add(extra.data() + i * seg.dim);
  for (uint32_t s = 5; s < seg.n + 300; s += 13) seg.tombs.insert(s);
  auto view = seg.view();
  const quant::RerankTable* tp = nullptr;

  auto reference = [&](std::span<const float> q, uint32_t k, uint32_t nprobe, uint32_t rerank) {
    std::vector<float> rq(seg.pad);
    seg.rot.rotate_into(q, rq);
    std::vector<uint64_t> ck;
    for (size_t c = 0; c < seg.k; ++c) {
      float d = ivf_rabitq::distance::sq_l2(rq.data(), seg.centroids_rot.data() + c * seg.pad, seg.pad);
      if (std::isnan(d)) d = kInf;
      ck.push_back((uint64_t(search::total_order_key(d)) << 32) | c);
    }
    std::sort(ck.begin(), ck.end());
    const size_t m = std::min<size_t>(std::max<uint32_t>(nprobe, 1), seg.k);
    std::set<uint32_t> probed;
    for (size_t i = 0; i < m; ++i) probed.insert(uint32_t(ck[i]));
    std::vector<Candidate> cands;
    const size_t stride = seg.n_bits * seg.words;
    codec::QueryLut lut;
    std::vector<float> r(seg.pad);
    auto estimate = [&](const uint64_t* code, const float* f, uint32_t slot) {
      const uint64_t ip = codec::estimate_qc_scalar(lut.words, {code, stride}, seg.n_bits, seg.words);
      const codec::RowEstimate e = codec::estimate_distance(ip, f, lut, seg.pad);
      cands.push_back(Candidate::make(e.estimate, e.lower, slot));
    };
    for (uint32_t c : probed) {
      for (size_t j = 0; j < seg.pad; ++j) r[j] = rq[j] - seg.centroids_rot[c * seg.pad + j];
      codec::preprocess_query_into_at(ivf_rabitq::simd::Level::Scalar, lut, r, seg.dim);
      for (uint32_t s = seg.offsets[c]; s < seg.offsets[c + 1]; ++s)
        if (!seg.tombs.contains(s)) estimate(seg.codes.data() + s * stride, seg.metas.data() + s * 4, s);
      for (uint32_t i = 0; i < seg.delta.clusters.size(); ++i)
        if (seg.delta.clusters[i] == c && !seg.tombs.contains(seg.n + i))
          estimate(seg.delta.codes.data() + i * stride, seg.delta.factors.data() + i * 4, seg.n + i);
    }
    const uint32_t R = std::max(k, rerank);
    const size_t cap = std::max<size_t>(1024, 4 * size_t(std::max<uint32_t>(R, 1)));
    std::sort(cands.begin(), cands.end(), search::EstimateLess{});
    if (cands.size() > cap) cands.resize(cap);
    const size_t L = cands.size(), rr = std::min<size_t>(R, L);
    float worst = -kInf;
    for (size_t i = 0; i < rr; ++i)
      if (!std::isnan(cands[i].estimate()) && cands[i].estimate() > worst) worst = cands[i].estimate();
    std::vector<uint32_t> pool;
    for (size_t i = 0; i < rr; ++i) pool.push_back(cands[i].slot());
    const size_t limit = std::min<size_t>(4 * size_t(R), L) - rr;
    for (size_t i = rr; i < L && pool.size() < rr + limit; ++i)  // sorted: the first qualifying
      if (cands[i].lower <= worst) pool.push_back(cands[i].slot());
    std::vector<ScoredPair> scored;
    for (uint32_t s : pool) scored.push_back({search::slot_distance(view, seg.delta, *tp, q, s), s});
    std::sort(scored.begin(), scored.end(), search::DistanceLess{});
    std::vector<SlotDistance> out;
    for (size_t i = 0; i < std::min<size_t>(k, scored.size()); ++i) out.push_back({scored[i].second, scored[i].first});
    return out;
  };

  struct P {
    uint32_t k, nprobe, rerank;
  } cases[] = {{10, 12, 10}, {10, 40, 100}, {5, 1, 0}, {50, 6, 400}, {0, 3, 20}};
  for (uint32_t qi = 0; qi < 6; ++qi) {
    auto q = seg.row(qi * 977 % (seg.n + 300));
    const quant::RerankTable table = search::rerank_table_for(view, q);
    tp = &table;
    for (const P& c : cases) {
      const auto want = reference(q, c.k, c.nprobe, c.rerank);
      for (size_t threads : {1, 3}) {
        ivf_rabitq::parallel::with_threads(threads, [&] {
          expect_same(search::search_core_view(view, seg.live(), q, params(c.k, c.nprobe, c.rerank), {}), want,
                      "q " + std::to_string(qi) + " k " + std::to_string(c.k) + " nprobe " + std::to_string(c.nprobe) +
                          " threads " + std::to_string(threads));
        });
      }
    }
  }
}

// The pool chosen from a thinned buffer and a histogram against the pool of the cap best,
// with every row counted and with rows counted as a probe counts them (up to a top bin that
// comes down as the cap best fill the bins below it).
// Rows whose wide bounds qualify them from below the cap best must not enter: the histogram
// either places each extra below or above the cap-th best key, or the call declines
// (std::nullopt). Bins placed around the R-th best estimate must settle a pool whose
// candidates crowd into one eighth of an octave (a coarse bin), where the default bins
// cannot, and drop the deep qualifiers of a pool whose cap binds.
TEST(SearchOrders, ThinnedPoolMatchesPoolOfCapBest) {
  std::mt19937_64 g(5);
  struct Case {
    const char* name;
    uint32_t R;
    float spread;         // estimates uniform in [100, 100 + spread)
    bool deep;            // rows far below the cap best have bounds wide enough to qualify
    bool must_decide;     // the histogram must settle it (no decline) with bins around w
    bool coarse_decides;  // and with the default bins
  } cases[] = {{"narrow bounds", 20, 900.f, false, true, true},
               {"narrow bounds R 1", 1, 900.f, false, true, true},
               {"crowded estimates", 300, 3.f, false, true, false},
               {"deep qualifiers", 1, 900.f, true, false, false},
               {"deep qualifiers R 5", 5, 900.f, true, false, false},
               {"deep qualifiers R 300", 300, 900.f, true, true, false}};
  const uint32_t cap = 1024;
  for (const Case& c : cases) {
    for (size_t n : {size_t(500), size_t(3000)}) {
      for (int rep = 0; rep < 20; ++rep) {
        std::vector<Candidate> all(n);
        std::uniform_real_distribution<float> ud(0.f, 1.f);
        for (size_t i = 0; i < n; ++i) {
          const float est = 100.f + c.spread * ud(g);
          float width = 0.5f * ud(g);
          if (c.deep && est > 900.f && ud(g) < 0.01f) width = 2000.f;
          all[i] = Candidate::make(est, est - width, uint32_t(i));
        }
        // Plain: the cap best, then the pool.
        auto top = all;
        float bound;
        top.resize(search::compact_keep(top.data(), n, cap, &bound));
        std::vector<Candidate> tmp;
        const size_t want_n = search::choose_rerank_pool(top.data(), top.size(), c.R, tmp);
        std::set<uint32_t> want;
        for (size_t i = 0; i < want_n; ++i) want.insert(top[i].slot());
        // Thinned: rows whose lower bound is not above the R-th best estimate, plus a histogram.
        std::vector<uint64_t> keys;
        for (auto& x : all) keys.push_back(x.key);
        std::sort(keys.begin(), keys.end());
        const float w = Candidate{keys[std::min<size_t>(c.R, n) - 1], 0.f}.estimate();
        for (const bool fine : {false, true}) {
          // Counted in full, or as the probe counts: rows offered in batches, each counted only
          // up to the top bin as it stood, in random order, or one at a time best first (then
          // hardly any row above the cap-th best key's bin is counted).
          for (const int streamed : {0, 1, 2}) {
            const std::string at = std::string(c.name) + " n " + std::to_string(n) + " rep " + std::to_string(rep) +
                                   (fine ? " bins around w" : "") +
                                   (streamed == 1 ? " streamed" : streamed == 2 ? " streamed best first" : "");
            search::RankHistogram h;
            h.reset();
            h.bins = fine ? search::EstimateBins::around(w) : search::EstimateBins{};
            auto order = all;
            if (streamed == 1) std::shuffle(order.begin(), order.end(), g);
            if (streamed == 2)
              std::sort(order.begin(), order.end(), [](const Candidate& a, const Candidate& b) { return a.key < b.key; });
            std::vector<Candidate> thin;
            uint64_t pending = 0;  // counted since the last settle
            for (size_t i = 0; i < n; ++i) {
              const Candidate& x = order[i];
              if (streamed) {
                // A row above the top bin is neither counted nor kept.
                if (bin_of(h.bins, x.estimate()) > h.top) continue;
                ++h.counts[bin_of(h.bins, x.estimate())];
                ++pending;
                if (streamed == 2 || i % 37 == 36) h.settle(pending, cap), pending = 0;
              } else {
                ++h.counts[bin_of(h.bins, x.estimate())];
                ++h.upto;
              }
              if (!(x.lower > w)) thin.push_back(x);
            }
            if (streamed != 0) {
              h.settle(pending, cap);
              // The top came down to the cap-th best key's bin, and the bins up to it are
              // counted in full.
              std::vector<uint32_t> full(search::kEstimateBins, 0);
              for (auto& x : all) ++full[bin_of(h.bins, x.estimate())];
              size_t want_top = 0;
              for (uint64_t run = 0; want_top + 1 < search::kEstimateBins; ++want_top)
                if ((run += full[want_top]) >= cap) break;
              ASSERT_EQ(h.top, want_top) << at;
              ASSERT_TRUE(std::equal(full.begin(), full.begin() + h.top + 1, h.counts.begin())) << at;
              ASSERT_EQ(h.upto, std::accumulate(full.begin(), full.begin() + h.top + 1, uint64_t{0})) << at;
            }
            std::shuffle(thin.begin(), thin.end(), g);
            const auto got_n = search::choose_rerank_pool_thinned(thin.data(), thin.size(), n, cap, c.R, h, tmp);
            if (fine ? c.must_decide : c.coarse_decides) {
              ASSERT_TRUE(got_n.has_value()) << at;
            }
            if (!got_n) continue;
            std::set<uint32_t> got;
            for (size_t i = 0; i < *got_n; ++i) got.insert(thin[i].slot());
            ASSERT_EQ(got.size(), *got_n);
            ASSERT_EQ(got, want) << at;
          }
        }
      }
    }
  }
}

// A probe scanned on the calling thread keeps only the candidates whose lower bound can still
// reach the rerank pool and counts the others in a histogram; when that cannot show the
// extras rank within the cap best, it probes again keeping them. Kept-all, thinned, and
// thinned-then-reprobed searches must agree bit for bit, for every code width, for pools
// whose cap binds (every row probed with a rerank target of 1 or 10), rerank targets up to
// the largest that thins (204 at cap 1024) and above it, with delta rows, tombstones, and
// far outliers whose wide bounds qualify them from deep ranks.
TEST(DenseSearch, ThinnedCandidatesGiveTheSameResults) {
  struct P {
    uint32_t k, nprobe, rerank;
  } cases[] = {{10, 40, 0},    {1, 40, 1},  {10, 8, 20}, {50, 20, 400}, {0, 5, 0},
               {10, 40, 300},  {3, 2, 3},   {10, 40, 256}, {10, 40, 200}, {10, 40, 204}};
  for (uint32_t bits : {1u, 2u, 4u, 7u}) {
    auto rows = mixture(12000, 32, 24, 3.f, 40 + bits);
    MiniSegment seg(rows, 12000, 32, 40, bits);
    auto extra = mixture(200, seg.dim, 24, 3.f, 77);
    for (size_t i = 0; i < 200; ++i) {
      if (i % 40 == 0)
        for (size_t j = 0; j < seg.dim; ++j) extra[i * seg.dim + j] *= 30.f;  // far, wide-bounded rows
      seg.add(extra.data() + i * seg.dim);
    }
    for (uint32_t s = 2; s < seg.n + 200; s += 17) seg.tombs.insert(s);
    auto view = seg.view();
    // Ten queries among the rows, and two far ones (outliers of the delta): seen from far
    // away every row's estimate is alike while its bound stays wide, so most rows qualify.
    for (uint32_t qi = 0; qi < 12; ++qi) {
      auto q = seg.row(qi < 10 ? qi * 613 % (seg.n + 200) : seg.n + 40 * (qi - 10));
      for (const P& c : cases) {
        std::vector<SlotDistance> want;
        uint64_t want_pool = 0;
        for (int mode : {0, 1, 2}) {
          const int saved = search::detail::dense_thinning(mode);
          std::vector<SlotDistance> got;
          search::SearchProfile prof;  // its pool size tells a pool that lost extras the top k hides
          ivf_rabitq::parallel::with_threads(1, [&] {
            got = search::search_core_view(view, seg.live(), q, params(c.k, c.nprobe, c.rerank), {}, &prof);
          });
          search::detail::dense_thinning(saved);
          const std::string what = "bits " + std::to_string(bits) + " q " + std::to_string(qi) + " k " +
                                   std::to_string(c.k) + " nprobe " + std::to_string(c.nprobe) + " rerank " +
                                   std::to_string(c.rerank) + " mode " + std::to_string(mode);
          if (mode == 0) {
            want = got;
            want_pool = prof.pool_size;
          } else {
            expect_same(got, want, what);
            EXPECT_EQ(prof.pool_size, want_pool) << what;
          }
        }
      }
    }
  }
}

TEST(DenseSearch, ProbeWidthAndEmptyResults) {
  MiniSegment& seg = small_segment();
  auto view = seg.view();
  auto q = seg.row(42);
  // nprobe 0 acts as 1; nprobe beyond the cluster count probes them all.
  expect_same(search::search_core_view(view, seg.live(), q, params(10, 0, 100), {}),
              search::search_core_view(view, seg.live(), q, params(10, 1, 100), {}), "nprobe 0");
  expect_same(search::search_core_view(view, seg.live(), q, params(10, seg.k, 100), {}),
              search::search_core_view(view, seg.live(), q, params(10, uint64_t(1) << 40, 100), {}), "nprobe huge");
  // Probing everything: ensure_target_k changes nothing.
  expect_same(search::search_core_view(view, seg.live(), q, params(10, seg.k, 100, true), {}),
              search::search_core_view(view, seg.live(), q, params(10, seg.k, 100), {}), "ensure");
  // k = 0 and a filter nobody passes: empty, with or without the fallback.
  EXPECT_TRUE(search::search_core_view(view, seg.live(), q, params(0, 4, 0, true), {}).empty());
  SlotFilter none{[](uint32_t) { return false; }, seg.n};
  EXPECT_TRUE(search::search_core_view(view, seg.live(), q, params(10, 4, 100, true), none.bind()).empty());
  EXPECT_TRUE(search::search_bruteforce_view(view, seg.live(), q, 0, {}).empty());
  // Results never exceed k, even with a large rerank.
  EXPECT_EQ(search::search_core_view(view, seg.live(), q, params(3, 4, 1000), {}).size(), 3u);
}

TEST(DenseSearch, HugeKReturnsEveryLiveRowSorted) {
  MiniSegment seg = small_segment();
  for (uint32_t s = 0; s < seg.n; s += 5) seg.tombs.insert(s);
  auto view = seg.view();
  const size_t live = seg.n - (seg.n + 4) / 5;
  auto q = seg.row(10);
  for (uint64_t k : {uint64_t(1) << 31, uint64_t(search::kU32Max), ~uint64_t(0)}) {
    auto exact = search::search_bruteforce_view(view, seg.live(), q, k, {});
    ASSERT_EQ(exact.size(), live);
    expect_sorted(exact);
    auto dense = search::search_core_view(view, seg.live(), q, params(k, 1, 0, true), {});
    expect_same(dense, exact, "k huge");
    auto wide = search::search_core_view(view, seg.live(), q, params(k, k, k, false), {});
    expect_same(wide, exact, "k, nprobe, rerank huge");
  }
}

TEST(ExactSearch, SerialAndParallelPathsAgreeAt50000Rows) {
  // 50,000 rows scan in parallel; the same segment viewed with 49,999 main rows scans
  // serially. With the last row tombstoned both must give the same list.
  const size_t n = 50000, dim = 16;
  auto rows = mixture(n, dim, 8, 2.f, 77);
  MiniSegment seg(rows, n, dim, 16, 1);
  seg.tombs.insert(49999);
  for (uint32_t s = 0; s < n; s += 13) seg.tombs.insert(s);
  auto v50 = seg.view(50000), v49 = seg.view(49999);
  SlotFilter sf{[](uint32_t s) { return s % 4 != 1; }, 0};
  for (uint32_t qi : {3u, 20000u, 49998u}) {
    auto q = seg.row(qi);
    for (uint64_t k : {1u, 10u, 5000u}) {
      for (bool filtered : {false, true}) {
        const search::RowFilter rf = filtered ? sf.bind() : search::RowFilter{};
        std::vector<SlotDistance> a, b;
        ivf_rabitq::parallel::with_threads(8, [&] {
          a = search::search_bruteforce_view(v50, seg.live(), q, k, rf);
          b = search::search_bruteforce_view(v49, seg.live(), q, k, rf);
        });
        expect_same(a, b, "k=" + std::to_string(k));
        EXPECT_EQ(a.size(), k);
      }
    }
  }
}

TEST(ExactSearch, SegmentScaleRowsAndTies) {
  // Rows without exponents (no origscale.bin) use the segment scale; duplicate rows tie and
  // come back by ascending slot, main before delta.
  auto rows = mixture(500, 16, 4, 1.f, 8);
  MiniSegment seg(rows, 500, 16, 4, 1);
  seg.with_origscale = false;
  float m = 0;
  for (float v : rows) m = std::max(m, std::fabs(v));
  seg.quant_scale = m;
  for (size_t s = 0; s < seg.n; ++s) {
    float inv = 1.0f / m;
    quant::quantize_u8(seg.row(uint32_t(s)).data(), 16, inv, seg.orig.data() + s * 16);
  }
  const uint32_t dup = seg.add(seg.row(200).data());
  auto view = seg.view();
  auto got = search::search_bruteforce_view(view, seg.live(), seg.row(200), 2, {});
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].first, 200u);
  EXPECT_EQ(got[1].first, dup);
  EXPECT_EQ(got[0].second, 0.f);
  auto dense = search::search_core_view(view, seg.live(), seg.row(200), params(2, 4, 10), {});
  expect_same(dense, got, "segment scale");
}
