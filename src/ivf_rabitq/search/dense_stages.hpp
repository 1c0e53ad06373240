// The stages of one dense search, shared by the files that hold them: search_view.cpp (the
// plan, the centroid ranking and the entry point), probe.cpp (the probing rounds and their
// cluster scanner) and rerank.cpp (the rerank pool, the rerank, exact search and the
// fallback). Internal to those files.
#pragma once

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ivf_rabitq/search/search_view.hpp"

namespace ivf_rabitq::search::dense {

inline constexpr float kInf = std::numeric_limits<float>::infinity();

using Clock = std::chrono::steady_clock;
inline uint64_t ns_since(Clock::time_point t0) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
}

// Whether a stage of `work` units (threshold `at`) is split over the calling thread's pool;
// only while this search is the only one running (search_view.cpp). Below its threshold a
// stage runs on the calling thread: a task handed to the pool costs a few microseconds
// (waking a worker, stealing, joining) and the split parts share the caches of the machine,
// so only stages of hundreds of microseconds gain from a split.
bool fan_out(uint64_t work, uint64_t at);
// The candidate thinning mode (detail::dense_thinning).
int thinning_mode();

// Calls run(x, y) for the maximal runs [x, y) of untombstoned slots in [a, b), ascending.
template <class F>
inline void for_live_runs(const storage::Tombstones& tombs, uint32_t a, uint32_t b, F&& run) {
  if (a >= b) return;
  if (tombs.empty()) {
    run(a, b);
    return;
  }
  auto cur = tombs.cursor(a);
  uint32_t pos = a;
  while (pos < b) {
    const uint32_t t = (cur.valid() && cur.value() < b) ? cur.value() : b;
    if (t > pos) run(pos, t);
    if (t == b) break;
    pos = t + 1;
    cur.next();
  }
}

// Calls run(x, y) for the maximal runs [x, y) of set bits in [a, b) of a bitmap, ascending.
template <class F>
inline void for_set_runs(const uint64_t* bits, uint32_t a, uint32_t b, F&& run) {
  uint64_t pos = a;
  const uint64_t end = b;
  while (pos < end) {
    // Next set bit at or after pos.
    uint64_t w = pos >> 6;
    uint64_t word = bits[w] & (~uint64_t{0} << (pos & 63));
    while (word == 0) {
      if (++w << 6 >= end) return;
      word = bits[w];
    }
    const uint64_t x = (w << 6) + static_cast<uint64_t>(std::countr_zero(word));
    if (x >= end) return;
    // Next clear bit after x (or the end).
    word = ~bits[w] & (~uint64_t{0} << (x & 63));
    uint64_t y = end;
    while (true) {
      if (word != 0) {
        y = std::min(end, (w << 6) + static_cast<uint64_t>(std::countr_zero(word)));
        break;
      }
      if (++w << 6 >= end) break;
      word = ~bits[w];
    }
    run(static_cast<uint32_t>(x), static_cast<uint32_t>(y));
    pos = y;
  }
}

// Calls run(x, y) for the maximal runs [x, y) of main slots in [a, b) that are live and pass
// the filter (every live slot without one), ascending: by bit when the filter brings the
// bitmap of its passing main rows, else through the per-row callback.
template <class F>
inline void for_passing_runs(const RowFilter& filter, const storage::Tombstones& tombs, uint32_t a, uint32_t b,
                             F&& run) {
  if (!filter) {
    for_live_runs(tombs, a, b, run);
  } else if (filter.main_bits != nullptr) {
    for_live_runs(tombs, a, b, [&](uint32_t x, uint32_t y) { for_set_runs(filter.main_bits, x, y, run); });
  } else {
    for_live_runs(tombs, a, b, [&](uint32_t x, uint32_t y) {
      uint32_t rs = x;
      for (uint32_t i = x; i < y; ++i) {
        if (!filter.main(filter.ctx, i)) {
          if (i > rs) run(rs, i);
          rs = i + 1;
        }
      }
      if (y > rs) run(rs, y);
    });
  }
}

// Delta rows the search may address: the shortest of the delta's parallel lists.
size_t usable_delta_rows(const SegmentView& seg, const storage::Delta& d);

// ---------------------------------------------------------------------------------------
// Scratch
// ---------------------------------------------------------------------------------------

// The calling thread's scratch of one dense search (Lease<TopScratch>), reused across queries.
struct TopScratch {
  std::vector<float> rq;
  std::vector<uint64_t> ckeys;
  std::vector<uint64_t> heap;
  std::vector<float> dist;
  std::vector<uint32_t> probe;
  kmeans::BoundScratch bound;
  std::vector<std::vector<Candidate>> bufs;
  std::vector<uint64_t> chunk_rows;
  std::vector<Candidate> main;
  std::vector<Candidate> tmp;
  RankHistogram hist;  // estimate histogram of a thinned probe
  uint64_t offered = 0;
  std::vector<uint32_t> slots;
  std::vector<ScoredPair> scored;
  std::vector<uint8_t> flags;
  quant::RerankTable table;
  bool busy = false;
};

// A thread's scratch of type S, or a private one when the thread's own is in use (a search
// started by a task stolen while this thread waits inside another search).
template <class S>
class Lease {
 public:
  Lease() {
    thread_local S tls;
    if (!tls.busy) {
      s_ = &tls;
    } else {
      own_ = std::make_unique<S>();
      s_ = own_.get();
    }
    s_->busy = true;
  }
  ~Lease() { s_->busy = false; }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  S& operator*() { return *s_; }
  S* operator->() { return s_; }

 private:
  S* s_ = nullptr;
  std::unique_ptr<S> own_;
};

// ---------------------------------------------------------------------------------------
// Plan and probe
// ---------------------------------------------------------------------------------------

// The sizes one dense search works with, derived from the caller's parameters.
struct DensePlan {
  uint32_t k;
  uint32_t probe_step;   // clusters per probing round (nprobe, at least 1)
  size_t ranked;         // clusters ranked: probe_step, 16 x that with a filter, at most all
  uint64_t row_budget;   // probing stops once this many rows were estimated
  uint32_t pool_target;  // rerank pool size: max(k, rerank)
  uint32_t cap;          // candidates kept per buffer
  uint32_t trigger;      // buffer size that triggers a compaction to cap

  DensePlan(const DenseParams& params, bool filtered, size_t n_clusters) {
    k = sat_u32(params.k);
    const uint32_t rerank = sat_u32(params.rerank);
    probe_step = std::max<uint32_t>(sat_u32(params.nprobe), 1);
    ranked = std::min<size_t>(filtered ? sat_mul(16, probe_step) : probe_step, n_clusters);
    const uint32_t base_budget = std::max(sat_mul(4, k), rerank);
    row_budget = filtered ? sat_mul(6, base_budget) : base_budget;
    pool_target = std::max(k, rerank);
    cap = std::max<uint32_t>(1024, sat_mul(4, std::max<uint32_t>(pool_target, 1)));
    trigger = std::max<uint32_t>(64, sat_mul(2, cap));
  }
};

struct ProbeCtx {
  const SegmentView& seg;
  const storage::Tombstones& tombs;
  const storage::Delta& delta;
  size_t delta_rows;
  const RowFilter& filter;
  const float* rq;
  size_t stats_len;  // D: dim in the new rotation layout, pad in the legacy one
  uint32_t cap;
  uint32_t trigger;
  bool timing;
  // Thinning (a probe scanned as one chunk on the calling thread): the rerank target R, or 0
  // to keep the cap best. A thinned buffer keeps only the rows whose lower bound is not above
  // the R-th best estimate seen so far, and counts every offered row in `offered` and, up to
  // its top bin, in `hist` (whose bins the scan chooses).
  uint32_t thin_r = 0;
  RankHistogram* hist = nullptr;
  uint64_t* offered = nullptr;
};

struct ProbeTotals {
  size_t probed = 0;  // clusters probed: the first `probed` of S.probe
  uint64_t rows = 0;  // rows estimated
  uint64_t lut_ns = 0;
  bool thinned = false;  // S.main is a thinned buffer (S.hist and S.offered describe it)
};

// The per-cluster delta lists the probing uses: the segment's when they describe this delta
// (the caller reads both under the delta read lock), else lists grouped for this call into
// `own` (absent, too short, or for another cluster count).
const storage::DeltaClusterLists* delta_lists_for(const SegmentView& seg, const storage::Delta& delta,
                                                  size_t delta_rows, std::unique_ptr<storage::DeltaClusterLists>& own);

// Probing: rounds of plan.probe_step clusters from the ranked list, each round's clusters
// scanned in parallel chunks (delta rows of a cluster ride along its scan), until the list
// ends or the row budget is reached. The candidates, compacted to plan.cap, are in S.main.
ProbeTotals probe_rounds(const ProbeCtx& ctx, const DensePlan& plan, size_t listed, TopScratch& S);

// ---------------------------------------------------------------------------------------
// Pool, rerank, exact search, fallback
// ---------------------------------------------------------------------------------------

// Pool: the `target` best candidates of S.main, their slots in S.slots in the order chosen.
// Scoring a row is pure and the top k are selected by (distance, slot), so the order changes
// no result; sorting the slots (for adjacent reads) cost 3-5 % of a query and read the rows
// no faster. Returns the pool size.
std::optional<size_t> select_pool(const DensePlan& plan, bool thinned, TopScratch& S);

// Rerank: the int8 distance of every pooled slot into S.scored (S.table built for the query),
// then the k smallest, sorted by distance then slot.
void rerank_pool(const SegmentView& seg, const storage::Delta& delta, std::span<const float> query, uint32_t k,
                 TopScratch& S);

// Fallback: exact distances of the live, filter-passing rows of the clusters not probed (the
// first `probed` of S.probe were), main and delta, merged with the reranked S.scored: the k
// smallest, sorted. Every cluster probed: S.scored stands as it is.
std::vector<SlotDistance> exact_fallback(const SegmentView& seg, const LiveView& live, std::span<const float> query,
                                         const RowFilter& filter, uint32_t k, size_t probed, size_t delta_rows,
                                         TopScratch& S);

// The int8 distance of every live, filter-passing main and delta row; the k smallest, sorted
// by distance bits then slot. With the filter's bitmap only the passing main rows are
// visited, and the pool is engaged by their number rather than by the segment's.
std::vector<SlotDistance> exact_search(const SegmentView& seg, const LiveView& live, std::span<const float> query,
                                       uint32_t k, const RowFilter& filter, const quant::RerankTable& table);

// The first k of a sorted list as result entries.
std::vector<SlotDistance> to_result(const std::vector<ScoredPair>& sorted, uint32_t k);

}  // namespace ivf_rabitq::search::dense
