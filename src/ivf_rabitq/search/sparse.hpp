// Sparse retrieval (dot product over shared terms) and reciprocal rank fusion of a dense
// and a sparse hit list.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/predicate/predicate.hpp"
#include "ivf_rabitq/search/topk.hpp"

namespace ivf_rabitq::search {

using SlotScore = std::pair<uint32_t, float>;     // (slot, score)
using SparseQuery = std::span<const std::pair<uint32_t, float>>;  // (term, weight), caller order

// Score order: descending under the IEEE total order (positive NaN before +inf, +0 before
// -0), equal scores by slot ascending.
inline bool score_before(const SlotScore& a, const SlotScore& b) {
  const uint32_t ka = total_order_key(a.second), kb = total_order_key(b.second);
  if (ka != kb) return ka > kb;
  return a.first < b.first;
}

// The k best live rows sharing at least one term with the query: each row's score is the
// f32 sum, in query-pair order (and posting order within a term), of stored weight x query
// weight; rows failing `filter` (null: none) are left out after scoring. k saturates to u32;
// k = 0 returns at once. Takes the tombstones then the delta read locks (plain), and the
// delta postings' read lock inside them. Never fails.
std::vector<SlotScore> sparse_rank(const index::IvfIndex& index, SparseQuery query, uint64_t k,
                                   const predicate::Predicate* filter);

// Reciprocal rank fusion: every entry at rank r of a list adds 1 / ((f32(r) + rrf_k) + 1) in
// f32 to its slot, the dense list first; the second component of the inputs is ignored.
// The first min(k, distinct slots) in score order. Pure; rrf_k is finite and > 0.
std::vector<SlotScore> search_hybrid(uint64_t k, float rrf_k, std::span<const std::pair<uint32_t, float>> dense,
                                     std::span<const std::pair<uint32_t, float>> sparse);

}  // namespace ivf_rabitq::search
