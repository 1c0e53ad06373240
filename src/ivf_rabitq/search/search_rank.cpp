#include "ivf_rabitq/search/search_rank.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "ivf_rabitq/search/topk.hpp"

namespace ivf_rabitq::search {

namespace detail {

bool rank_blocks_scalar(const float* q, const float* blk, size_t dim, size_t nb, float lim, float* out) {
  constexpr size_t kB = distance::kBlock;
  const size_t stride = dim * kB;
  float acc[4 * kB] = {};
  size_t j = 0;
  while (j < dim) {
    const size_t je = std::min(dim, j + 16);
    for (size_t g = 0; g < nb; ++g) {
      const float* p = blk + g * stride;
      float* a = acc + g * kB;
      for (size_t jj = j; jj < je; ++jj) {
        for (size_t l = 0; l < kB; ++l) {
          const float d = q[jj] - p[jj * kB + l];
          const float sq = d * d;
          a[l] = a[l] + sq;
        }
      }
    }
    j = je;
    if (j < dim) {
      bool all = true;
      for (size_t i = 0; i < nb * kB; ++i) all = all && acc[i] > lim;
      if (all) return false;
    }
  }
  std::copy_n(acc, nb * kB, out);
  return true;
}

}  // namespace detail

namespace {

detail::RankBlocksFn rank_fn(simd::Level level) {
  return simd::pick(level, &detail::rank_blocks_scalar, &detail::rank_blocks_avx2, &detail::rank_blocks_avx512);
}

simd::Level usable(simd::Level level) { return simd::cpu_supports(level) ? level : simd::Level::Scalar; }

// Blocks per group: enough independent sums in flight to cover the add latency, few enough
// that a group is abandoned often.
constexpr size_t kGroup = 2;

// Distance of a selection key.
inline float key_distance(uint64_t key) { return Candidate{key, 0.f}.estimate(); }

void scan_range(detail::RankBlocksFn fn, const float* q, const distance::PackedVectors& pv, size_t m, size_t b0,
                size_t b1, std::vector<uint64_t>& heap, const uint32_t* ids = nullptr) {
  heap.clear();
  if (m == 0) return;
  const size_t n = pv.size();
  const size_t dim = pv.dim();
  const size_t stride = dim * distance::kBlock;
  alignas(64) float d[kGroup * distance::kBlock];
  for (size_t b = b0; b < b1; b += kGroup) {
    const size_t nb = std::min(kGroup, b1 - b);
    // Until m vectors are known nothing can be abandoned. The m-th distance is a
    // non-negative float or +inf (a NaN distance ranks as +inf), so the limit is never NaN.
    const float lim = heap.size() < m ? std::numeric_limits<float>::infinity() : key_distance(heap.front());
    if (!fn(q, pv.data() + b * stride, dim, nb, lim, d)) continue;
    const size_t first = b * distance::kBlock;
    const size_t cnt = std::min(nb * distance::kBlock, n - first);
    for (size_t l = 0; l < cnt; ++l) {
      float v = d[l];
      if (std::isnan(v)) v = std::numeric_limits<float>::infinity();
      const uint32_t id = ids != nullptr ? ids[first + l] : static_cast<uint32_t>(first + l);
      const uint64_t key = (static_cast<uint64_t>(total_order_key(v)) << 32) | id;
      if (heap.size() < m) {
        heap.push_back(key);
        std::push_heap(heap.begin(), heap.end());
      } else if (key < heap.front()) {
        std::pop_heap(heap.begin(), heap.end());
        heap.back() = key;
        std::push_heap(heap.begin(), heap.end());
      }
    }
  }
}

}  // namespace

detail::RankBlocksFn detail::active_rank_blocks() {
  static const RankBlocksFn fn = rank_fn(usable(simd::active_level()));
  return fn;
}

void nearest_keys_range(simd::Level level, const float* q, const distance::PackedVectors& pv, size_t m,
                        size_t first_block, size_t end_block, std::vector<uint64_t>& out,
                        std::vector<uint64_t>& heap) {
  end_block = std::min(end_block, pv.blocks());
  if (first_block >= end_block) return;
  scan_range(rank_fn(usable(level)), q, pv, std::min(m, pv.size()), first_block, end_block, heap);
  out.insert(out.end(), heap.begin(), heap.end());
}

void nearest_keys_at(simd::Level level, const float* q, const distance::PackedVectors& pv, size_t m,
                     std::vector<uint64_t>& out, std::vector<uint64_t>& heap) {
  m = std::min(m, pv.size());
  scan_range(rank_fn(usable(level)), q, pv, m, 0, pv.blocks(), heap);
  out.assign(heap.begin(), heap.end());
  std::sort(out.begin(), out.end());
}

void nearest_keys(const float* q, const distance::PackedVectors& pv, size_t m, std::vector<uint64_t>& out,
                  std::vector<uint64_t>& heap, const uint32_t* ids) {
  static const detail::RankBlocksFn fn = rank_fn(simd::active_level());
  m = std::min(m, pv.size());
  scan_range(fn, q, pv, m, 0, pv.blocks(), heap, ids);
  out.assign(heap.begin(), heap.end());
  std::sort(out.begin(), out.end());
}

void nearest_keys_all(const float* q, const distance::PackedVectors& pv, size_t m, std::vector<uint64_t>& out,
                      std::vector<float>& dist) {
  const size_t n = pv.size();
  m = std::min(m, n);
  out.clear();
  if (m == 0) return;
  dist.resize(pv.blocks() * distance::kBlock);
  distance::sq_l2_blocks(q, pv, 0, pv.blocks(), dist.data());
  auto key = [&dist](size_t i) {
    float v = dist[i];
    if (std::isnan(v)) v = std::numeric_limits<float>::infinity();
    return (static_cast<uint64_t>(total_order_key(v)) << 32) | static_cast<uint32_t>(i);
  };
  if (m <= kKeepInsertMax) {
    // A few nearest: kept sorted while the keys stream by.
    uint64_t best[kKeepInsertMax];
    out.assign(best, best + smallest_sorted(n, m, key, best));
    return;
  }
  out.resize(n);
  for (size_t i = 0; i < n; ++i) out[i] = key(i);
  if (m < n) {
    uint64_t* k = out.data();
    const uint64_t t = kth_smallest_key(n, m, [k](size_t i) { return k[i]; }, selection_scratch());
    size_t j = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t v = k[i];
      k[j] = v;
      j += v <= t;  // keys are distinct: exactly m stay
    }
    out.resize(j);
  }
  std::sort(out.begin(), out.end());
}

}  // namespace ivf_rabitq::search

// kmeans::RankOrder::build groups the centroids by the group size of the ranking above.
namespace ivf_rabitq::kmeans {

using search::kGroup;
using search::kU32Max;
using search::total_order_key;

RankOrder RankOrder::build(const float* rows, const distance::PackedVectors& pv, size_t n, size_t dim) {
  RankOrder ro;
  // n / 32 groups, each one pass over all n vectors: about n x n x dim / 32 multiply-adds.
  constexpr double kMaxWork = double(size_t{1} << 30);
  if (n < 2 * distance::kBlock || pv.size() != n || pv.dim() != dim ||
      double(n) * double(n) * double(dim) > kMaxWork || n > kU32Max)
    return ro;
  std::vector<float> d(pv.blocks() * distance::kBlock);
  std::vector<char> placed(n, 0);
  std::vector<uint64_t> near;  // (distance key, index) of the vectors not yet placed
  std::vector<size_t> order;
  order.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    if (placed[i]) continue;
    placed[i] = 1;
    order.push_back(i);
    distance::sq_l2_blocks(rows + i * dim, pv, 0, pv.blocks(), d.data());
    near.clear();
    for (size_t j = i + 1; j < n; ++j) {
      if (placed[j]) continue;
      const float v = std::isnan(d[j]) ? std::numeric_limits<float>::infinity() : d[j];
      near.push_back((static_cast<uint64_t>(total_order_key(v)) << 32) | j);
    }
    // A group is what one kernel call scans and abandons: kGroup blocks.
    const size_t take = std::min<size_t>(kGroup * distance::kBlock - 1, near.size());
    std::partial_sort(near.begin(), near.begin() + take, near.end());
    for (size_t t = 0; t < take; ++t) {
      const size_t j = static_cast<uint32_t>(near[t]);
      placed[j] = 1;
      order.push_back(j);
    }
  }
  ro.packed = distance::PackedVectors::pack_indexed(rows, dim, order.data(), n);
  ro.ids.assign(order.begin(), order.end());
  return ro;
}

}  // namespace ivf_rabitq::kmeans
