// Dense search and exact search of an open segment.
//
// Both take the tombstone read lock and then the delta read lock, in the recursive read
// mode, hold them for the whole call and release the delta lock first. Neither reports an
// error: every argument combination yields a list (possibly empty) of (slot, distance)
// pairs, ascending by the distance's bit pattern as a u32, then by slot. Distances are int8
// rerank distances (squared L2). Callers pass a query of exactly dim finite values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/search/search_view.hpp"
#include "ivf_rabitq/search/topk.hpp"
#include "ivf_rabitq/predicate/predicate.hpp"
#include "ivf_rabitq/codec/quant.hpp"

namespace ivf_rabitq::search {

// Dense approximate k-nearest-neighbour search. k, nprobe and rerank are the caller's sizes
// (saturated to u32 here); nprobe 0 acts as 1. filter null means every row passes. With
// ensure_target_k, a result shorter than k is completed by an exact scan of the clusters
// that were not probed (the result then equals search_bruteforce's).
//
// A filter given as the shared pointer that compile_filter_cached returned brings the
// bitmap of the main rows it passes (IvfIndex::main_bits): main rows are then tested by
// bit, and a filter that few live rows pass is answered by an exact scan of exactly those
// rows (the result equals search_bruteforce's). A bare predicate is evaluated row by row.
std::vector<SlotDistance> search_core(const index::IvfIndex& index, std::span<const float> query, uint64_t k,
                                      uint64_t nprobe, uint64_t rerank, const predicate::Predicate* filter,
                                      bool ensure_target_k);
std::vector<SlotDistance> search_core(const index::IvfIndex& index, std::span<const float> query, uint64_t k,
                                      uint64_t nprobe, uint64_t rerank, const index::PredicatePtr& filter,
                                      bool ensure_target_k);

// Whether search_core with this cached filter and these sizes takes the exact scan of the
// filter's passing rows (filtered_search_is_exact over the index's rows and delta).
bool filtered_search_is_exact(const index::IvfIndex& index, const index::PredicatePtr& filter, uint64_t k,
                              uint64_t nprobe, uint64_t rerank);
// Exact search: the min(k, qualifying live rows) rows nearest by int8 rerank distance. A
// cached filter's pointer scans only the main rows its bitmap passes.
std::vector<SlotDistance> search_bruteforce(const index::IvfIndex& index, std::span<const float> query, uint64_t k,
                                            const predicate::Predicate* filter);
std::vector<SlotDistance> search_bruteforce(const index::IvfIndex& index, std::span<const float> query, uint64_t k,
                                            const index::PredicatePtr& filter);

// The query side of the int8 rerank for this segment (IvfIndex::rerank_table): pow2 is
// whether the segment has origscale.bin. Takes no lock.
quant::RerankTable rerank_table(const index::IvfIndex& index, std::span<const float> query, bool pow2);

// ---- lower-level access (calibration, per-id distances, benchmarks) ----

// The search view of an open segment; it borrows the index (arrays, maps, packed centroids
// and per-cluster delta lists), so the index must outlive it. The delta lists are read by
// the search under the delta read lock that the caller holds for its LiveView, which must
// be the index's own delta. With `scan` the index's scan copy is made if it does not exist
// yet (the cluster scan reads it; call it before taking index locks); without, the view
// holds the copy only when it already exists (it is then the same as the one with `scan`).
struct IndexView {
  SegmentView seg;
};
IndexView index_view(const index::IvfIndex& index, bool scan = false);

// search_core with a profile of the stages (benchmarks).
std::vector<SlotDistance> search_core_profiled(const index::IvfIndex& index, std::span<const float> query,
                                               const DenseParams& params, const predicate::Predicate* filter,
                                               SearchProfile* prof);
std::vector<SlotDistance> search_core_profiled(const index::IvfIndex& index, std::span<const float> query,
                                               const DenseParams& params, const index::PredicatePtr& filter,
                                               SearchProfile* prof);

}  // namespace ivf_rabitq::search
