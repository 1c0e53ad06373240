// Cluster centroids of a segment (sampled k-means) and nearest-centroid assignment.
//
// Everything here is a pure function of its inputs: the parallel steps compute independent
// per-row (or per-centroid) values, every sum runs sequentially in a fixed order, so the
// thread count never changes a bit of any result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ivf_rabitq/common/simd.hpp"

namespace ivf_rabitq::kmeans {

// k' x dim centroids (k' = max(min(k, n), 1)) trained on an evenly strided sample of at most
// max(50,000, 40 k') rows of `data` (n x dim f32, row-major). Rows whose squared norm is not
// finite never enter training. n = 0 gives one centroid of dim zeros; no finite row gives
// k' x dim zeros. Cannot fail except by running out of memory.
std::vector<float> kmeans(std::span<const float> data, size_t n, size_t dim, size_t k, uint64_t seed);

// One entry of a centroid's neighbour list.
struct Neighbor {
  float dist;      // Euclidean distance (f32 sqrt of the squared distance)
  uint32_t index;  // the other centroid
};

// For each of k centroids, every other centroid ordered by ascending distance (IEEE total
// order), equal distances by ascending index. Stored flat: k x (k - 1) entries of 8 bytes.
class NeighborLists {
 public:
  NeighborLists() = default;
  size_t k() const { return k_; }
  std::span<const Neighbor> list(size_t c) const {
    size_t len = k_ == 0 ? 0 : k_ - 1;
    return {entries_.data() + c * len, len};
  }
  size_t memory_bytes() const { return entries_.size() * sizeof(Neighbor); }

 private:
  friend NeighborLists centroid_neighbor_lists(std::span<const float>, size_t, size_t);
  size_t k_ = 0;
  std::vector<Neighbor> entries_;
};

NeighborLists centroid_neighbor_lists(std::span<const float> centroids, size_t dim, size_t k);

// Greedy descent from centroid 0 over the neighbour lists: an exact nearest centroid by
// Euclidean distance (moves only to strictly closer centroids). Returns 0 when there are
// no lists or the row has a NaN coordinate.
size_t assign_one_exact(std::span<const float> row, std::span<const float> centroids, size_t dim,
                        const NeighborLists& lists);

// assign_one_exact for each of n rows (in parallel), in row order.
std::vector<uint32_t> assign_all_exact(std::span<const float> data, size_t n, size_t dim,
                                       std::span<const float> centroids, const NeighborLists& lists);

// Nearest of k centroids by squared distance for each of n rows (in parallel): scanning in
// index order a strictly smaller distance wins, so ties go to the lowest index, NaN never
// wins, and a row without any comparable distance gets 0.
std::vector<uint32_t> assign_brute_force(std::span<const float> data, size_t n, size_t dim,
                                         std::span<const float> centroids, size_t k);

namespace detail {

// The generator of k-means (xorshift64; state starts at seed | 1).
struct Xorshift64 {
  uint64_t state;
  explicit Xorshift64(uint64_t seed) : state(seed | 1) {}
  uint64_t next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  // Index in [0, m) from the low 32 bits of a drawn state.
  static uint64_t index_of(uint64_t x, uint64_t m) { return (x & 0xFFFFFFFFull) % m; }
  // Real in [0, 1] from all 64 bits of a drawn state.
  static double real_of(uint64_t x) { return static_cast<double>(x) * 0x1p-64; }
};

// kmeans with the distance kernels of an explicit SIMD level (tests compare levels).
std::vector<float> kmeans_at(simd::Level level, std::span<const float> data, size_t n, size_t dim, size_t k,
                             uint64_t seed);

// The smallest float x with sqrt(x) >= b (f32 square root), for b > 0: for every squared
// distance s, sqrt(s) < b exactly when s < sqrt_floor_of(b) (sqrt is monotone; a NaN s
// compares false either way). Lets the descent compare squared distances.
float sqrt_floor_of(float b);

// assign_one_exact / assign_all_exact with the distance kernels of an explicit SIMD level
// (every level gives the same result; tests compare them).
size_t assign_one_exact_at(simd::Level level, std::span<const float> row, std::span<const float> centroids,
                           size_t dim, const NeighborLists& lists);
std::vector<uint32_t> assign_all_exact_at(simd::Level level, std::span<const float> data, size_t n, size_t dim,
                                          std::span<const float> centroids, const NeighborLists& lists);

}  // namespace detail

}  // namespace ivf_rabitq::kmeans
