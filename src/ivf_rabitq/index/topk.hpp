// Candidate lists of the dense and exact searches and the selections over them.
//
// Two orders are kept apart on purpose:
//   - estimates and lower bounds (the binary-code stage) compare by IEEE total order, ties
//     by slot: estimates are often negative, and a NaN must land somewhere definite;
//   - final distances (int8 rerank) compare by the distance's bit pattern read as an
//     unsigned 32-bit integer, then by slot. For the non-negative distances the rerank
//     produces this is ascending distance with ties to the lower slot.
// Both orders are total over (value, slot) and slots are distinct within a list, so every
// selection below yields the same set whatever the order it starts from, which is what
// makes the searches independent of how the work was split over threads.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "ivf_rabitq/parallel.hpp"

namespace ivf_rabitq::index {

inline constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();

// Saturating arithmetic of the u32 query parameters (k, nprobe, rerank and sizes derived
// from them).
constexpr uint32_t sat_u32(uint64_t v) { return v > kU32Max ? kU32Max : static_cast<uint32_t>(v); }
constexpr uint32_t sat_mul(uint32_t a, uint32_t b) { return sat_u32(static_cast<uint64_t>(a) * b); }

// IEEE total order of an f32 as an unsigned key: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
inline uint32_t total_order_key(float f) {
  const uint32_t b = std::bit_cast<uint32_t>(f);
  return (b & 0x80000000u) ? ~b : (b | 0x80000000u);
}

// ---------------------------------------------------------------------------------------
// Estimated candidates (total order of the estimate, then slot)
// ---------------------------------------------------------------------------------------

struct Candidate {
  float estimate;
  float lower;
  uint32_t slot;
};

inline uint64_t estimate_key(const Candidate& c) {
  return (static_cast<uint64_t>(total_order_key(c.estimate)) << 32) | c.slot;
}
struct EstimateLess {
  bool operator()(const Candidate& a, const Candidate& b) const { return estimate_key(a) < estimate_key(b); }
};

// Keeps the cap best candidates (estimate total order, then slot) and returns the largest
// surviving estimate; leaves a buffer of at most cap entries alone and returns +inf.
inline float compact_bound(std::vector<Candidate>& buf, uint32_t cap) {
  if (buf.size() <= cap) return std::numeric_limits<float>::infinity();
  if (cap == 0) {
    buf.clear();
    return std::numeric_limits<float>::infinity();
  }
  std::nth_element(buf.begin(), buf.begin() + (cap - 1), buf.end(), EstimateLess{});
  buf.resize(cap);
  return buf[cap - 1].estimate;
}

// ---------------------------------------------------------------------------------------
// Scored pairs (distance bits as u32, then slot)
// ---------------------------------------------------------------------------------------

using ScoredPair = std::pair<float, uint32_t>;  // (distance, slot)
using SlotDistance = std::pair<uint32_t, float>;  // result entries: (slot, distance)

inline uint64_t distance_key(const ScoredPair& p) {
  return (static_cast<uint64_t>(std::bit_cast<uint32_t>(p.first)) << 32) | p.second;
}
struct DistanceLess {
  bool operator()(const ScoredPair& a, const ScoredPair& b) const { return distance_key(a) < distance_key(b); }
};

// The k smallest pairs under the distance order moved to the front, the rest dropped
// (survivors in no particular order). k = 0 empties the list; a list of at most k entries
// is left unchanged.
inline void keep_k_smallest(std::vector<ScoredPair>& list, uint32_t k) {
  if (k == 0) {
    list.clear();
    return;
  }
  if (list.size() <= k) return;
  std::nth_element(list.begin(), list.begin() + (k - 1), list.end(), DistanceLess{});
  list.resize(k);
}

// Buffer cap of the keep-k rule: max(64, 2k), saturating.
constexpr uint32_t keep_k_cap(uint32_t k) { return std::max<uint32_t>(64, sat_mul(k, 2)); }

// Appends one pair and applies the keep-k step when the buffer reaches cap.
inline void push_capped(std::vector<ScoredPair>& buf, ScoredPair p, uint32_t k, uint32_t cap) {
  buf.push_back(p);
  if (buf.size() >= cap) keep_k_smallest(buf, k);
}

// Combine rule of two partial lists: b when a is empty, else a + b cut back to k.
inline void combine_top_k(std::vector<ScoredPair>& a, std::vector<ScoredPair>&& b, uint32_t k) {
  if (a.empty()) {
    a = std::move(b);
    return;
  }
  a.insert(a.end(), b.begin(), b.end());
  keep_k_smallest(a, k);
}

// Sorts by the distance order (a full sort; callers have cut the list to k first).
inline void sort_by_distance(std::vector<ScoredPair>& list) {
  if (list.size() >= 2) std::sort(list.begin(), list.end(), DistanceLess{});
}

// Parallel top-k over items [0, n_items): produce(begin, end, emit) calls emit(ScoredPair)
// for every candidate of the items [begin, end), in item order. Items are cut into fixed chunks of `chunk_items`; each chunk
// fills its own buffer under the cap rule, and the chunk lists are folded in chunk order
// with combine_top_k, a bounded number of chunks at a time so memory stays proportional to
// k (never to the thread count or to cap). Returns at most k candidates, the k smallest of
// everything produced, in no particular order; the set never depends on the pool size.
template <class Produce>
std::vector<ScoredPair> top_k_par(size_t n_items, size_t chunk_items, uint32_t k, uint32_t cap, Produce&& produce) {
  std::vector<ScoredPair> acc;
  if (n_items == 0) return acc;
  if (chunk_items == 0) chunk_items = 1;
  constexpr size_t kChunksPerWave = 32;
  const size_t wave_items = chunk_items * kChunksPerWave;
  for (size_t w0 = 0; w0 < n_items; w0 += wave_items) {
    const size_t w1 = std::min(n_items, w0 + wave_items);
    auto parts = parallel::map_chunks<std::vector<ScoredPair>>(w1 - w0, chunk_items, [&](size_t b, size_t e) {
      std::vector<ScoredPair> buf;
      auto emit = [&](ScoredPair p) { push_capped(buf, p, k, cap); };
      produce(w0 + b, w0 + e, emit);
      keep_k_smallest(buf, k);  // a chunk's list is held until the fold: keep it at k
      return buf;
    });
    for (auto& p : parts) combine_top_k(acc, std::move(p), k);
  }
  return acc;
}

}  // namespace ivf_rabitq::index
