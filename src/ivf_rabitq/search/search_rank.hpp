// Centroid ranking of the dense search: the m clusters nearest to the rotated query.
//
// Squared distances are the f32 sums of (q_j - c_j)^2 in coordinate order (distance.hpp,
// bit for bit); a NaN distance ranks as +inf; clusters compare by (distance in IEEE total
// order, index). The m smallest are found without computing every distance in full: once
// m clusters are known, a group of centroids whose partial sums all exceed the m-th
// smallest distance so far is abandoned (partial sums of non-negative terms never
// decrease, so an abandoned centroid ranks behind m others and cannot be selected). The
// result is the same list as a full computation followed by a selection and a sort.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/kmeans/rank_order.hpp"
#include "ivf_rabitq/common/simd.hpp"

namespace ivf_rabitq::search {

// The min(m, pv.size()) nearest vectors of pv to q, ascending by (distance key, index),
// as keys (total-order key of the distance << 32 | index) into out (resized). `heap` is
// scratch. Dispatched on simd::active_level(); single-threaded.
// With ids, vector i of pv is reported as ids[i] (keys and ties use ids[i]): the ranking of
// a regrouped packing (RankOrder) is the ranking of the original vectors.
void nearest_keys(const float* q, const distance::PackedVectors& pv, size_t m, std::vector<uint64_t>& out,
                  std::vector<uint64_t>& heap, const uint32_t* ids = nullptr);

// The same list from every distance in full (one pass of the plain kernel, then a
// selection): for a few short centroids the abandoning scan's checks and heap cost more than
// the distances they skip. `dist` is scratch. A segment ranks this way up to
// kPlainRankCoordinates (kmeans/rank_order.hpp).
void nearest_keys_all(const float* q, const distance::PackedVectors& pv, size_t m, std::vector<uint64_t>& out,
                      std::vector<float>& dist);

// nearest_keys at a chosen level, without ids.
void nearest_keys_at(simd::Level level, const float* q, const distance::PackedVectors& pv, size_t m,
                     std::vector<uint64_t>& out, std::vector<uint64_t>& heap);
// The same over vectors [first_block * 16, end_block * 16) ∩ [0, size) only: the m best of
// that range, unsorted, appended to out (for a split over threads).
void nearest_keys_range(simd::Level level, const float* q, const distance::PackedVectors& pv, size_t m,
                        size_t first_block, size_t end_block, std::vector<uint64_t>& out,
                        std::vector<uint64_t>& heap);

namespace detail {
// Distances of the vectors of nb (1..4) consecutive packed blocks at blk (dim values per
// vector, block stride dim x 16) into out[0 .. 16 nb). Returns false, leaving out
// undefined, when at one of the checks (every 16 coordinates) every partial sum of the nb
// blocks exceeds lim.
using RankBlocksFn = bool (*)(const float* q, const float* blk, size_t dim, size_t nb, float lim, float* out);
bool rank_blocks_scalar(const float* q, const float* blk, size_t dim, size_t nb, float lim, float* out);
bool rank_blocks_avx2(const float* q, const float* blk, size_t dim, size_t nb, float lim, float* out);
bool rank_blocks_avx512(const float* q, const float* blk, size_t dim, size_t nb, float lim, float* out);
// The kernel of simd::active_level().
RankBlocksFn active_rank_blocks();
}  // namespace detail

}  // namespace ivf_rabitq::search
