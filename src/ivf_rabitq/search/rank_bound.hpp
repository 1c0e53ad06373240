// Lower bounds that let the centroid ranking skip most exact centroid distances.
//
// CentroidBound (kmeans/centroid_bound.hpp) keeps the rotated centroids on an int8 grid of
// step `scale`; a query is put on the same grid, and by the triangle inequality
//     ||q - c|| >= scale sqrt(D) - e_q - e_c
// for the exact integer grid distance D and the residual norms e_q, e_c.
// The f32 sum is at least (1 - (pad + 2) 2^-24) times the real squared distance, so a
// centroid whose bound (with that factor and a margin for the f32 arithmetic of the bound
// itself) exceeds the distance of the m-th best centroid found so far cannot be among the
// m nearest: its exact distance is never computed. Every selected distance is still the
// exact f32 sum, so the ranking is bit for bit the one of the full computation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ivf_rabitq/kmeans/centroid_bound.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"

namespace ivf_rabitq::search {

// The min(m, n) nearest of the n row-major vectors `rows` (pad f32 each; `packed` and
// `bound` built from them) to q, ascending by (distance key, index), as keys (total-order
// key of the distance << 32 | index) into out: the same list as nearest_keys over `packed`.
void nearest_keys_bounded(const float* q, const float* rows, const distance::PackedVectors& packed,
                          const kmeans::CentroidBound& bound, size_t m, std::vector<uint64_t>& out,
                          kmeans::BoundScratch& s);

namespace detail {
// Grid inner products sum_j (a_j + 128) b_j of the blocks [0, blocks) into out (16 per
// block). Exact 32-bit sums: every level gives the same values.
using GridDotFn = void (*)(const uint8_t* qa4, const int8_t* codes, size_t pad, size_t blocks, int32_t* out);
void grid_dot_scalar(const uint8_t* qa4, const int8_t* codes, size_t pad, size_t blocks, int32_t* out);
void grid_dot_vnni(const uint8_t* qa4, const int8_t* codes, size_t pad, size_t blocks, int32_t* out);
// lo[i] of lower_bounds from the grid inner products dot[i] (n a multiple of 16): D =
// qa_sq + sb[i] - 2 dot[i], where sb[i] = 256 sum b + sum b^2 of vector i; bmin[b] the
// smallest lo of block b (NaN lanes may be ignored or propagated).
using GridLoFn = void (*)(const int32_t* dot, const int32_t* sb, const float* err, size_t n, int32_t qa_sq,
                          float scale, float eq, float* lo, float* bmin);
void grid_lo_scalar(const int32_t* dot, const int32_t* sb, const float* err, size_t n, int32_t qa_sq, float scale,
                    float eq, float* lo, float* bmin);
void grid_lo_avx512(const int32_t* dot, const int32_t* sb, const float* err, size_t n, int32_t qa_sq, float scale,
                    float eq, float* lo, float* bmin);
}  // namespace detail

}  // namespace ivf_rabitq::search
