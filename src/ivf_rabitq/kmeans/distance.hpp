// Squared L2 distances of one query against many vectors (centroids, sample rows).
//
// The squared distance of a and b is the f32 sum, in coordinate order j = 0..dim-1 and
// starting at +0.0, of (a_j - b_j)^2 with the difference and the square each rounded to
// f32. That sum is part of the stored format (it decides cluster assignment), so the
// kernels never reassociate it: they vectorise ACROSS vectors instead. The vectors are
// packed in blocks of 16 (coordinate-major inside a block), each SIMD lane owns one vector
// and adds its terms one coordinate after another, exactly like the scalar loop. Every
// level therefore gives the same bits as `sq_l2`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "ivf_rabitq/common/simd.hpp"

namespace ivf_rabitq::distance {

// Vectors per block of the packed layout (one AVX-512 register, two AVX2 registers).
inline constexpr size_t kBlock = 16;
inline constexpr uint32_t kNoHint = std::numeric_limits<uint32_t>::max();

// Reference squared distance (row-major operands).
float sq_l2(const float* a, const float* b, size_t dim);

template <class T, size_t Align>
struct AlignedAllocator {
  using value_type = T;
  AlignedAllocator() = default;
  template <class U>
  AlignedAllocator(const AlignedAllocator<U, Align>&) {}
  T* allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), std::align_val_t(Align))); }
  void deallocate(T* p, size_t) { ::operator delete(p, std::align_val_t(Align)); }
  template <class U>
  struct rebind {
    using other = AlignedAllocator<U, Align>;
  };
  friend bool operator==(const AlignedAllocator&, const AlignedAllocator&) { return true; }
};

// n vectors of dim f32 in blocks of kBlock: value j of vector i is at
// data()[((i / kBlock) * dim + j) * kBlock + i % kBlock]. Lanes past n are zero.
class PackedVectors {
 public:
  PackedVectors() = default;
  // Packs n row-major vectors.
  static PackedVectors pack(const float* rows, size_t n, size_t dim);
  // Packs rows data[idx[i] * dim ..] for i in [0, n).
  static PackedVectors pack_indexed(const float* data, size_t dim, const size_t* idx, size_t n);
  // Re-packs in place (reusing the buffer when the shape allows).
  void assign(const float* rows, size_t n, size_t dim);

  size_t size() const { return n_; }
  size_t dim() const { return dim_; }
  size_t blocks() const { return (n_ + kBlock - 1) / kBlock; }
  const float* data() const { return buf_.data(); }
  // Value j of vector i.
  float at(size_t i, size_t j) const { return buf_[((i / kBlock) * dim_ + j) * kBlock + i % kBlock]; }

 private:
  size_t n_ = 0;
  size_t dim_ = 0;
  std::vector<float, AlignedAllocator<float, 64>> buf_;
};

struct Nearest {
  uint32_t index = 0;  // first index of the smallest distance (0 when none is comparable)
  float dist = std::numeric_limits<float>::infinity();
};

// out[i] = sq_l2(q, vector i) for the vectors of blocks [b0, b1); out receives
// (b1 - b0) * kBlock values (lanes past size() hold the distance to a zero vector).
void sq_l2_blocks(const float* q, const PackedVectors& pv, size_t b0, size_t b1, float* out);
void sq_l2_blocks(simd::Level level, const float* q, const PackedVectors& pv, size_t b0, size_t b1, float* out);

// out[i] = sq_l2(q, vector i) for i in [0, size()); out holds at least blocks() * kBlock values.
void sq_l2_all(const float* q, const PackedVectors& pv, float* out);
void sq_l2_all(simd::Level level, const float* q, const PackedVectors& pv, float* out);

// The vector nearest to q: scanning i = 0..size()-1, a strictly smaller squared distance
// replaces the best, so ties go to the lowest index, a NaN distance never wins and a query
// whose distances are all +inf or NaN gets index 0 (dist +inf). `hint` (an index below
// size(), or kNoHint) only speeds the scan up: its distance bounds the others, and a vector
// whose partial sum already exceeds the bound is abandoned (partial sums of non-negative
// terms never decrease, so this is exact). The result never depends on the hint.
Nearest nearest(const float* q, const PackedVectors& pv, uint32_t hint = kNoHint);
Nearest nearest(simd::Level level, const float* q, const PackedVectors& pv, uint32_t hint = kNoHint);

// Up to kMaxLanes squared distances at once: out[l] = sq_l2(q, rows[l], dim) for l < count,
// bit for bit (each SIMD lane owns one vector and adds its terms in coordinate order, with
// separate multiply and add). The rows are arbitrary row-major vectors, so this serves scans
// that visit vectors in a data-dependent order. With `abandon`, the scan gives up as soon as
// no lane's partial sum is below `bound` (every lane is >= bound or NaN) and returns false:
// partial sums of non-negative terms never decrease and a NaN stays NaN, so no lane's full
// sum could be below `bound` either; out is then unspecified. Returns true when out holds
// every sum. count must be at most kMaxLanes.
inline constexpr size_t kMaxLanes = 16;
bool sq_l2_lanes(simd::Level level, const float* q, const float* const* rows, size_t count, size_t dim,
                 bool abandon, float bound, float* out);

// Squared distances of q to every vector of up to kMaxPick chosen blocks of pv (block
// indices blk[0..count), distinct, below pv.blocks()): out[blk[i] * kBlock + l] = sq_l2(q,
// vector blk[i] * kBlock + l), bit for bit. With `abandon`, a block is given up as soon as
// none of its vectors' partial sums is below `bound` (each is >= bound or NaN, and so is
// its full sum); bit i of the result is then set and that block's out values are
// unspecified. Lanes past pv.size() never keep a block alive.
inline constexpr size_t kMaxPick = 4;
unsigned sq_l2_pick_blocks(simd::Level level, const float* q, const PackedVectors& pv, const uint32_t* blk,
                           size_t count, bool abandon, float bound, float* out);

// Per-level kernels (call only for levels the CPU supports; the Level overloads above clamp).
namespace detail {
using PickFn = unsigned (*)(const float* q, const float* packed, size_t dim, size_t n, const uint32_t* blk,
                            size_t count, bool abandon, float bound, float* out);
unsigned sq_l2_pick_blocks_scalar(const float* q, const float* packed, size_t dim, size_t n, const uint32_t* blk,
                                  size_t count, bool abandon, float bound, float* out);
unsigned sq_l2_pick_blocks_avx2(const float* q, const float* packed, size_t dim, size_t n, const uint32_t* blk,
                                size_t count, bool abandon, float bound, float* out);
unsigned sq_l2_pick_blocks_avx512(const float* q, const float* packed, size_t dim, size_t n, const uint32_t* blk,
                                  size_t count, bool abandon, float bound, float* out);
PickFn pick_fn(simd::Level level);

using LanesFn = bool (*)(const float* q, const float* const* rows, size_t count, size_t dim, bool abandon,
                         float bound, float* out);
bool sq_l2_lanes_scalar(const float* q, const float* const* rows, size_t count, size_t dim, bool abandon,
                        float bound, float* out);
bool sq_l2_lanes_avx2(const float* q, const float* const* rows, size_t count, size_t dim, bool abandon,
                      float bound, float* out);
bool sq_l2_lanes_avx512(const float* q, const float* const* rows, size_t count, size_t dim, bool abandon,
                        float bound, float* out);
LanesFn lanes_fn(simd::Level level);

using BlocksFn = void (*)(const float* q, const float* packed, size_t dim, size_t b0, size_t b1, float* out);
// Scans vectors [0, n); `bound` must be +inf, NaN or the distance of one of them.
using NearestFn = Nearest (*)(const float* q, const float* packed, size_t dim, size_t n, float bound);

void sq_l2_blocks_scalar(const float* q, const float* packed, size_t dim, size_t b0, size_t b1, float* out);
void sq_l2_blocks_avx2(const float* q, const float* packed, size_t dim, size_t b0, size_t b1, float* out);
void sq_l2_blocks_avx512(const float* q, const float* packed, size_t dim, size_t b0, size_t b1, float* out);
Nearest nearest_scalar(const float* q, const float* packed, size_t dim, size_t n, float bound);
Nearest nearest_avx2(const float* q, const float* packed, size_t dim, size_t n, float bound);
Nearest nearest_avx512(const float* q, const float* packed, size_t dim, size_t n, float bound);

// Highest level not above `level` that this CPU runs.
simd::Level clamp_level(simd::Level level);
}  // namespace detail

}  // namespace ivf_rabitq::distance
