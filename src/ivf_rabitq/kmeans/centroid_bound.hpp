// Lower bounds that let the centroid ranking skip most exact centroid distances.
//
// The exact ranking distance of a cluster is the f32 sum of (q_j - c_j)^2 over the pad
// rotated coordinates (distance.hpp). Reading every centroid in f32 costs n_clusters x pad
// x 4 bytes per query, more than the cache keeps between queries at a few thousand
// clusters. `CentroidBound` keeps a copy of the rotated centroids on one int8 grid of step
// `scale` (the codes b, their residual norms e_c = ||c - scale b|| rounded up), a quarter
// of the bytes. A query is put on the same grid (codes a, residual norm e_q); the grid
// distance D = sum (a_j - b_j)^2 is an exact integer, and by the triangle inequality
//     ||q - c|| >= scale sqrt(D) - e_q - e_c.
//
// This header holds the types an open index keeps; the ranking that uses them, the grid
// kernels and the member functions are in search/rank_bound.hpp and search/rank_bound.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ivf_rabitq/kmeans/distance.hpp"

namespace ivf_rabitq::kmeans {

struct BoundScratch;

class CentroidBound {
 public:
  CentroidBound() = default;
  // Codes of n row-major vectors of pad f32. Empty (unusable) when the grid kernel is not
  // available on this CPU, when pad is not a multiple of 4 or too long for exact 32-bit
  // sums, or when n is too small for the bound to pay.
  static CentroidBound build(const float* rows, size_t n, size_t pad);
  // The same for a chosen kernel (tests); `force` builds whatever n is.
  static CentroidBound build_for(const float* rows, size_t n, size_t pad, bool vnni, bool force);

  bool usable() const { return n_ != 0; }
  size_t size() const { return n_; }
  size_t pad() const { return pad_; }

  // The grid distances D of every vector to the query codes `qa` (pad int8 values in
  // [-127, 127], sum of squares qa_sq) and from them lo[i] = (scale sqrt(D) - (eq + e_i))
  // - 1e-5 (scale sqrt(D) + (eq + e_i)), a lower bound of ||q - c_i|| when eq bounds the
  // query's grid residual; lo has size() entries rounded up to whole blocks of 16, bmin
  // one per block: the block's smallest lo.
  void lower_bounds(const int8_t* qa, int32_t qa_sq, float eq, float* lo, float* bmin, BoundScratch& s) const;

  float scale() const { return scale_; }

 private:
  size_t n_ = 0;
  size_t pad_ = 0;
  float scale_ = 0;
  bool vnni_ = false;
  // Blocks of 16 vectors; inside a block, groups of 4 coordinates: byte
  // ((block * pad / 4 + g) * 16 + lane) * 4 + t holds coordinate 4 g + t of the lane's vector.
  std::vector<int8_t, distance::AlignedAllocator<int8_t, 64>> codes_;
  // Per vector (padded to whole blocks: zero sums, +inf residual): the sum of its codes
  // times 128 plus the sum of their squares, and ||c - scale b|| rounded up.
  std::vector<int32_t> sum_b_;
  std::vector<float> err_;
};

// Scratch of one ranking with bounds.
struct BoundScratch {
  std::vector<int8_t> qa;
  std::vector<uint8_t> qa4;
  std::vector<int32_t> dot;
  std::vector<float> lb;
  std::vector<float> bmin;
  std::vector<uint64_t> order;
  std::vector<uint32_t> pick;
  std::vector<uint32_t> first;
  std::vector<uint64_t> keys;
  std::vector<float, distance::AlignedAllocator<float, 64>> block;
};

}  // namespace ivf_rabitq::kmeans
