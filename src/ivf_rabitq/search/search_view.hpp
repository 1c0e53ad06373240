// Dense and exact search over a view of one segment: the read-only arrays of the built
// rows, the tombstones and the delta the caller holds under their read locks, and an
// optional row filter. IvfIndex's search entry points (search.hpp) fill a view from the open
// segment and take the locks; the view keeps the hot loops free of index plumbing and lets
// tests drive the search over hand-made segments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/codec/fastscan.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/storage/delta_lists.hpp"
#include "ivf_rabitq/search/rank_bound.hpp"
#include "ivf_rabitq/search/search_rank.hpp"
#include "ivf_rabitq/search/topk.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/storage/records.hpp"
#include "ivf_rabitq/storage/tombstones.hpp"

namespace ivf_rabitq::search {

// The immutable part of a segment that search reads.
struct SegmentView {
  size_t dim = 0;
  size_t pad = 0;
  uint32_t n_bits = 0;
  size_t words = 0;       // words per bit plane
  size_t n_clusters = 0;  // >= 1 for a searchable segment
  uint32_t n = 0;         // main rows (tombstoned rows included)
  float quant_scale = 0;
  const codec::Rotator* rotator = nullptr;
  const float* centroids_rot = nullptr;                   // n_clusters x pad
  const distance::PackedVectors* packed_centroids = nullptr;  // the same, packed (required)
  const kmeans::CentroidBound* centroid_bound = nullptr;              // grid codes of the same (optional)
  const kmeans::RankOrder* rank_order = nullptr;                      // the same regrouped (optional)
  const uint32_t* offsets = nullptr;                      // n_clusters + 1
  const uint64_t* codes = nullptr;                        // n x n_bits x words
  // The same codes block-interleaved for the cluster scan (same clusters, n, n_bits and
  // words; pad = words x 64). Null: the scan reads `codes` row by row.
  const codec::BlockedCodes* blocked = nullptr;
  const float* metas = nullptr;                           // n x 4
  const uint8_t* orig = nullptr;                          // n x dim
  bool has_origscale = false;                             // origscale.bin is mapped
  const uint8_t* origscale = nullptr;                     // records of 8 bytes
  size_t origscale_records = 0;
  // Delta rows per cluster of the delta the search is given (read under the same delta read
  // lock). Null, or lists for another cluster count or fewer rows than the delta has: the
  // search groups the delta rows itself for that call.
  const storage::DeltaClusterLists* delta_lists = nullptr;
};

// A compiled filter bound to the segment: main(ctx, slot) for main rows, delta(ctx, delta,
// i) for delta row i. Absent (main == nullptr) means every row passes.
//
// main_bits, when set, answers for every main row instead of the callback: bit s of
// main_bits[s / 64] is set when main slot s passes (words for all n main rows), and
// main_passing is the number of bits set. With it known, dense search answers a filter that
// few rows pass by an exact scan of exactly those rows.
struct RowFilter {
  const void* ctx = nullptr;
  bool (*main)(const void* ctx, uint32_t slot) = nullptr;
  bool (*delta)(const void* ctx, const storage::Delta& d, uint32_t i) = nullptr;
  const uint64_t* main_bits = nullptr;
  uint64_t main_passing = 0;
  explicit operator bool() const { return main != nullptr; }
};

// The live state the caller holds under the tombstone and delta read locks.
struct LiveView {
  const storage::Tombstones* tombstones = nullptr;
  const storage::Delta* delta = nullptr;
};

// Query parameters as callers pass them (64-bit sizes saturate to u32 inside).
struct DenseParams {
  uint64_t k = 10;
  uint64_t nprobe = 32;
  uint64_t rerank = 400;
  bool ensure_target_k = false;
};

// Wall-clock split of one search (benchmarks); nanoseconds.
struct SearchProfile {
  uint64_t rotate_rank_ns = 0;  // query rotation and centroid ranking
  uint64_t lut_ns = 0;          // query lookup tables of probed clusters
  uint64_t scan_ns = 0;         // code scan, bounds and candidate buffers (lut_ns excluded)
  uint64_t pool_ns = 0;         // rerank pool selection
  uint64_t rerank_ns = 0;       // rerank table, int8 distances, top k
  uint64_t fallback_ns = 0;
  uint64_t rows_estimated = 0;
  uint64_t clusters_probed = 0;
  uint64_t pool_size = 0;
};

// Dense search (rotation, centroid ranking, probing rounds, delta rows of probed clusters,
// rerank pool, int8 rerank, top k, optional exact fallback). The query holds exactly dim
// values. Results ascend by distance bits then slot. prof, when given, is filled (single
// thread timing; it adds clock reads to the probing loop).
std::vector<SlotDistance> search_core_view(const SegmentView& seg, const LiveView& live, std::span<const float> query,
                                           const DenseParams& params, const RowFilter& filter,
                                           SearchProfile* prof = nullptr);

// Whether a dense search with a filter whose passing main rows are known (their bitmap)
// answers by an exact scan of exactly the rows that may pass (main_passing main rows plus
// every one of delta_rows delta rows) instead of probing: when they are few, or spread so
// thinly that the probe would read more bytes to find its budget of them than the exact
// scan reads. The exact scan's result is the exact filtered answer.
bool filtered_search_is_exact(const SegmentView& seg, uint64_t main_passing, size_t delta_rows,
                              const DenseParams& params);

// Exact search: the int8 rerank distance of every live, filter-passing main and delta row;
// the k smallest, sorted by distance bits then slot.
std::vector<SlotDistance> search_bruteforce_view(const SegmentView& seg, const LiveView& live,
                                                 std::span<const float> query, uint64_t k, const RowFilter& filter);

// The int8 rerank distance of one slot (main: orig.bin + origscale.bin record; delta: its
// dim + 1 rerank bytes). The slot must be below n + delta rows.
float slot_distance(const SegmentView& seg, const storage::Delta& delta, const quant::RerankTable& table,
                    std::span<const float> query, uint32_t slot);

// The int8 rerank distances of a list of slots: out[j] = (distance of slots[j], slots[j]),
// each distance exactly slot_distance's. Main slots are below seg.n; delta slots n + i need
// i below the delta's rows. Rows are prefetched a fixed distance ahead (a run of adjacent
// slots is left to the hardware prefetcher) and main rows with a power-of-two exponent are
// scored several per kernel call. Runs on the calling thread; out holds slots.size() entries.
void score_slots(const SegmentView& seg, const storage::Delta& delta, const quant::RerankTable& table,
                 std::span<const float> query, std::span<const uint32_t> slots, ScoredPair* out);
namespace detail {
// Sets the number of rows a probing round must hold before its clusters are split over the
// pool (when the search runs alone); returns the previous value. Tests set 0 to drive the
// split path on small segments.
uint64_t probe_fan_out_rows(uint64_t rows);
// Candidate thinning of a probe scanned on the calling thread: 0 keeps the cap best, 1 thins
// by lower bound (the default), 2 thins but always fails the rank check, so the probe runs
// again the plain way. Returns the previous mode. Every mode gives the same results.
int dense_thinning(int mode);
}  // namespace detail

// The query's rerank table for this segment (pow2 part exactly when origscale.bin is mapped).
quant::RerankTable rerank_table_for(const SegmentView& seg, std::span<const float> query);

}  // namespace ivf_rabitq::search
