#include "ivf_rabitq/kmeans/distance.hpp"

#include <algorithm>
#include <cstring>

namespace ivf_rabitq::distance {

float sq_l2(const float* a, const float* b, size_t dim) {
  float acc = 0.0f;
  for (size_t j = 0; j < dim; ++j) {
    float d = a[j] - b[j];
    float s = d * d;
    acc = acc + s;
  }
  return acc;
}

namespace {

template <class RowOf>
void pack_into(std::vector<float, AlignedAllocator<float, 64>>& buf, size_t n, size_t dim, RowOf&& row_of) {
  size_t nb = (n + kBlock - 1) / kBlock;
  buf.assign(nb * dim * kBlock, 0.0f);
  for (size_t i = 0; i < n; ++i) {
    const float* r = row_of(i);
    float* dst = buf.data() + (i / kBlock) * dim * kBlock + i % kBlock;
    for (size_t j = 0; j < dim; ++j) dst[j * kBlock] = r[j];
  }
}

}  // namespace

PackedVectors PackedVectors::pack(const float* rows, size_t n, size_t dim) {
  PackedVectors pv;
  pv.assign(rows, n, dim);
  return pv;
}

void PackedVectors::assign(const float* rows, size_t n, size_t dim) {
  n_ = n;
  dim_ = dim;
  pack_into(buf_, n, dim, [&](size_t i) { return rows + i * dim; });
}

PackedVectors PackedVectors::pack_indexed(const float* data, size_t dim, const size_t* idx, size_t n) {
  PackedVectors pv;
  pv.n_ = n;
  pv.dim_ = dim;
  pack_into(pv.buf_, n, dim, [&](size_t i) { return data + idx[i] * dim; });
  return pv;
}

namespace detail {

simd::Level clamp_level(simd::Level level) {
  simd::Level top = simd::cpu_level();
  return static_cast<int>(level) <= static_cast<int>(top) ? level : top;
}

void sq_l2_blocks_scalar(const float* q, const float* packed, size_t dim, size_t b0, size_t b1, float* out) {
  for (size_t b = b0; b < b1; ++b) {
    const float* blk = packed + b * dim * kBlock;
    float acc[kBlock] = {};
    for (size_t j = 0; j < dim; ++j) {
      const float qj = q[j];
      const float* p = blk + j * kBlock;
      for (size_t l = 0; l < kBlock; ++l) {
        float d = qj - p[l];
        float s = d * d;
        acc[l] = acc[l] + s;
      }
    }
    std::memcpy(out + (b - b0) * kBlock, acc, sizeof(acc));
  }
}

Nearest nearest_scalar(const float* q, const float* packed, size_t dim, size_t n, float bound) {
  Nearest best;
  const size_t nb = (n + kBlock - 1) / kBlock;
  for (size_t b = 0; b < nb; ++b) {
    const float* blk = packed + b * dim * kBlock;
    const size_t valid = std::min(kBlock, n - b * kBlock);
    // Abandon bound: the smaller of the caller's bound and the best so far (a NaN bound
    // never abandons anything).
    const float lim = (best.dist < bound || bound != bound) ? best.dist : bound;
    float acc[kBlock] = {};
    bool abandoned = false;
    size_t j = 0;
    while (j < dim) {
      const size_t je = std::min(dim, j + 16);
      for (; j < je; ++j) {
        const float qj = q[j];
        const float* p = blk + j * kBlock;
        for (size_t l = 0; l < kBlock; ++l) {
          float d = qj - p[l];
          float s = d * d;
          acc[l] = acc[l] + s;
        }
      }
      if (j < dim) {
        bool all = true;
        for (size_t l = 0; l < valid; ++l) {
          if (!(acc[l] > lim)) {
            all = false;
            break;
          }
        }
        if (all) {
          abandoned = true;
          break;
        }
      }
    }
    if (abandoned) continue;
    for (size_t l = 0; l < valid; ++l) {
      if (acc[l] < best.dist) {
        best.dist = acc[l];
        best.index = static_cast<uint32_t>(b * kBlock + l);
      }
    }
  }
  return best;
}

bool sq_l2_lanes_scalar(const float* q, const float* const* rows, size_t count, size_t dim, bool abandon,
                        float bound, float* out) {
  float acc[kMaxLanes] = {};
  size_t j = 0;
  while (j < dim) {
    const size_t je = std::min(dim, j + 16);
    for (size_t l = 0; l < count; ++l) {
      const float* r = rows[l];
      float a = acc[l];
      for (size_t i = j; i < je; ++i) {
        float d = q[i] - r[i];
        float s = d * d;
        a = a + s;
      }
      acc[l] = a;
    }
    j = je;
    if (abandon && j < dim) {
      bool any_below = false;
      for (size_t l = 0; l < count; ++l) any_below |= acc[l] < bound;
      if (!any_below) return false;
    }
  }
  std::memcpy(out, acc, count * sizeof(float));
  return true;
}

unsigned sq_l2_pick_blocks_scalar(const float* q, const float* packed, size_t dim, size_t n, const uint32_t* blk,
                                  size_t count, bool abandon, float bound, float* out) {
  unsigned gave_up = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t b = blk[i];
    const float* base = packed + b * dim * kBlock;
    const size_t valid = std::min(kBlock, n - b * kBlock);
    float acc[kBlock] = {};
    size_t j = 0;
    bool done = false;
    while (j < dim) {
      const size_t je = std::min(dim, j + 16);
      for (; j < je; ++j) {
        const float qj = q[j];
        const float* p = base + j * kBlock;
        for (size_t l = 0; l < kBlock; ++l) {
          float d = qj - p[l];
          float s = d * d;
          acc[l] = acc[l] + s;
        }
      }
      if (abandon && j < dim) {
        bool any_below = false;
        for (size_t l = 0; l < valid; ++l) any_below |= acc[l] < bound;
        if (!any_below) {
          done = true;
          break;
        }
      }
    }
    if (done) {
      gave_up |= 1u << i;
      continue;
    }
    std::memcpy(out + b * kBlock, acc, sizeof(acc));
  }
  return gave_up;
}

PickFn pick_fn(simd::Level level) {
  switch (clamp_level(level)) {
    case simd::Level::Avx512: return sq_l2_pick_blocks_avx512;
    case simd::Level::Avx2: return sq_l2_pick_blocks_avx2;
    default: return sq_l2_pick_blocks_scalar;
  }
}

LanesFn lanes_fn(simd::Level level) {
  switch (clamp_level(level)) {
    case simd::Level::Avx512: return sq_l2_lanes_avx512;
    case simd::Level::Avx2: return sq_l2_lanes_avx2;
    default: return sq_l2_lanes_scalar;
  }
}

}  // namespace detail

bool sq_l2_lanes(simd::Level level, const float* q, const float* const* rows, size_t count, size_t dim,
                 bool abandon, float bound, float* out) {
  return detail::lanes_fn(level)(q, rows, std::min(count, kMaxLanes), dim, abandon, bound, out);
}

unsigned sq_l2_pick_blocks(simd::Level level, const float* q, const PackedVectors& pv, const uint32_t* blk,
                           size_t count, bool abandon, float bound, float* out) {
  return detail::pick_fn(level)(q, pv.data(), pv.dim(), pv.size(), blk, std::min(count, kMaxPick), abandon, bound,
                                out);
}

namespace {

detail::BlocksFn blocks_fn(simd::Level level) {
  switch (detail::clamp_level(level)) {
    case simd::Level::Avx512: return detail::sq_l2_blocks_avx512;
    case simd::Level::Avx2: return detail::sq_l2_blocks_avx2;
    default: return detail::sq_l2_blocks_scalar;
  }
}

detail::NearestFn nearest_fn(simd::Level level) {
  switch (detail::clamp_level(level)) {
    case simd::Level::Avx512: return detail::nearest_avx512;
    case simd::Level::Avx2: return detail::nearest_avx2;
    default: return detail::nearest_scalar;
  }
}

}  // namespace

void sq_l2_blocks(simd::Level level, const float* q, const PackedVectors& pv, size_t b0, size_t b1, float* out) {
  b1 = std::min(b1, pv.blocks());
  if (b0 >= b1) return;
  blocks_fn(level)(q, pv.data(), pv.dim(), b0, b1, out);
}

void sq_l2_blocks(const float* q, const PackedVectors& pv, size_t b0, size_t b1, float* out) {
  sq_l2_blocks(simd::active_level(), q, pv, b0, b1, out);
}

void sq_l2_all(simd::Level level, const float* q, const PackedVectors& pv, float* out) {
  sq_l2_blocks(level, q, pv, 0, pv.blocks(), out);
}

void sq_l2_all(const float* q, const PackedVectors& pv, float* out) {
  sq_l2_all(simd::active_level(), q, pv, out);
}

Nearest nearest(simd::Level level, const float* q, const PackedVectors& pv, uint32_t hint) {
  if (pv.size() == 0) return Nearest{};
  float bound = std::numeric_limits<float>::infinity();
  if (hint != kNoHint && hint < pv.size()) {
    // Same terms in the same order as every kernel lane.
    float acc = 0.0f;
    for (size_t j = 0; j < pv.dim(); ++j) {
      float d = q[j] - pv.at(hint, j);
      float s = d * d;
      acc = acc + s;
    }
    bound = acc;
  }
  return nearest_fn(level)(q, pv.data(), pv.dim(), pv.size(), bound);
}

Nearest nearest(const float* q, const PackedVectors& pv, uint32_t hint) {
  return nearest(simd::active_level(), q, pv, hint);
}

}  // namespace ivf_rabitq::distance
