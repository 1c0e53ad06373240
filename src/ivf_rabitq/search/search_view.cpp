// Dense search and exact search over a SegmentView: the plan of one search, the centroid
// ranking and the entry point that runs the stages (probe.cpp: probing; rerank.cpp: the
// rerank pool, the rerank, exact search and the fallback).
//
// Hot-path notes:
//   - per-thread scratch (rotated query, probe list, candidate arrays, lookup table,
//     residual statistics, rerank table, slot lists) is reused across queries; a
//     steady-state query allocates only its result list;
//   - centroid ranking keeps the m nearest in a heap and abandons groups of centroids whose
//     partial sums already exceed the m-th distance (search_rank.hpp), bit-exact.
#include "ivf_rabitq/search/search_view.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/search/dense_stages.hpp"
#include "ivf_rabitq/search/search_rank.hpp"

namespace ivf_rabitq::search {

using kmeans::CentroidBound;
using kmeans::kPlainRankCoordinates;
using kmeans::RankOrder;
using storage::DeltaClusterLists;

namespace dense {

namespace {

// fan_out's threshold of the ranking.
constexpr uint64_t kParallelRankWork = uint64_t{1} << 23;  // centroids x pad
// 0: candidate buffers keep the cap best; 1: a lone probing chunk thins its buffer by lower
// bound (the default); 2: as 1, but the rank check of the thinned pool always fails, so the
// probe runs again the plain way (tests).
std::atomic<int> g_thinning{1};

// Dense searches running now in this process. A search splits a stage over the pool only
// when it runs alone: concurrent searches already keep the pool's CPUs busy, and splitting
// each of them would only add task traffic and let one query's parts queue behind another's.
alignas(64) std::atomic<uint32_t> g_searches{0};

struct SearchInFlight {
  SearchInFlight() { g_searches.fetch_add(1, std::memory_order_relaxed); }
  ~SearchInFlight() { g_searches.fetch_sub(1, std::memory_order_relaxed); }
  SearchInFlight(const SearchInFlight&) = delete;
  SearchInFlight& operator=(const SearchInFlight&) = delete;
};

// How the ranking finds the m nearest centroids. Every way lists the same clusters in the
// same order (search_rank.hpp, rank_bound.hpp); they differ in what they read and skip.
enum class Ranking : uint8_t {
  Split,       // ranges of centroids over the pool, then the m best of their union
  Bounded,     // grid lower bounds skip most exact distances (CentroidBound)
  Full,        // every distance in full, then a selection (few short centroids)
  Regrouped,   // the abandoning scan over the regrouped packing (RankOrder)
  IndexOrder,  // the abandoning scan over the packing in cluster order
};

// The first way that applies: split when the centroids are work enough for the pool and the
// search runs alone; bounded when the segment has a usable bound of these centroids and m is
// at most a quarter of them; full up to kPlainRankCoordinates coordinates; regrouped when
// the segment has a regrouping of these centroids; else in cluster order.
Ranking choose_ranking(const SegmentView& seg, size_t m) {
  const distance::PackedVectors& pc = *seg.packed_centroids;
  if (fan_out(static_cast<uint64_t>(seg.n_clusters) * seg.pad, kParallelRankWork)) return Ranking::Split;
  if (const CentroidBound* cb = seg.centroid_bound; cb != nullptr && cb->usable() && cb->size() == pc.size() &&
                                                    cb->pad() == seg.pad && pc.dim() == seg.pad && m * 4 <= cb->size())
    return Ranking::Bounded;
  if (static_cast<uint64_t>(pc.size()) * pc.dim() <= kPlainRankCoordinates) return Ranking::Full;
  if (const RankOrder* ro = seg.rank_order;
      ro != nullptr && ro->packed.size() == pc.size() && ro->packed.dim() == seg.pad)
    return Ranking::Regrouped;
  return Ranking::IndexOrder;
}

// Ranking::Split: the m best of each range of centroids, then the m best of their union,
// sorted, into S.ckeys.
void rank_split(const SegmentView& seg, size_t m, TopScratch& S) {
  const size_t blocks = seg.packed_centroids->blocks();
  constexpr size_t kChunkBlocks = 16;
  const simd::Level level = simd::active_level();
  parallel::isolate([&] {
    S.ckeys = parallel::collect_chunks<uint64_t>(blocks, kChunkBlocks, [&](size_t b0, size_t b1) {
      std::vector<uint64_t> part, heap;
      nearest_keys_range(level, S.rq.data(), *seg.packed_centroids, m, b0, b1, part, heap);
      return part;
    });
  });
  if (m < S.ckeys.size() && m != 0) std::nth_element(S.ckeys.begin(), S.ckeys.begin() + (m - 1), S.ckeys.end());
  S.ckeys.resize(std::min(m, S.ckeys.size()));
  std::sort(S.ckeys.begin(), S.ckeys.end());
}

// Ranking: rotates the query into S.rq and lists the `m` clusters nearest to it, nearest
// first, in S.probe. Returns how many were listed.
size_t rank_clusters(const SegmentView& seg, std::span<const float> query, size_t m, TopScratch& S) {
  S.rq.resize(seg.pad);
  seg.rotator->rotate_into(query, std::span<float>(S.rq));
  const distance::PackedVectors& pc = *seg.packed_centroids;
  switch (choose_ranking(seg, m)) {
    case Ranking::Split: rank_split(seg, m, S); break;
    case Ranking::Bounded:
      nearest_keys_bounded(S.rq.data(), seg.centroids_rot, pc, *seg.centroid_bound, m, S.ckeys, S.bound);
      break;
    case Ranking::Full: nearest_keys_all(S.rq.data(), pc, m, S.ckeys, S.dist); break;
    case Ranking::Regrouped:
      nearest_keys(S.rq.data(), seg.rank_order->packed, m, S.ckeys, S.heap, seg.rank_order->ids.data());
      break;
    case Ranking::IndexOrder: nearest_keys(S.rq.data(), pc, m, S.ckeys, S.heap); break;
  }
  // The packed centroids hold every searchable cluster; the list is shorter only if a view
  // was built with fewer.
  const size_t listed = std::min(m, S.ckeys.size());
  S.probe.resize(listed);
  for (size_t i = 0; i < listed; ++i) S.probe[i] = static_cast<uint32_t>(S.ckeys[i] & 0xFFFFFFFFu);
  return listed;
}

}  // namespace

bool fan_out(uint64_t work, uint64_t at) {
  return work >= at && g_searches.load(std::memory_order_relaxed) <= 1 && parallel::num_threads() > 1;
}

int thinning_mode() { return g_thinning.load(std::memory_order_relaxed); }

// Delta rows the search may address: the shortest of the delta's parallel lists.
size_t usable_delta_rows(const SegmentView& seg, const storage::Delta& d) {
  size_t rows = std::min(d.ids.size(), d.clusters.size());
  rows = std::min(rows, d.factors.size() / codec::kRowFactors);
  const size_t stride = static_cast<size_t>(seg.n_bits) * seg.words;
  if (stride != 0) rows = std::min(rows, d.codes.size() / stride);
  rows = std::min(rows, d.rerank.size() / (seg.dim + 1));
  // Slots n + i must stay below 2^32 - 1.
  rows = std::min<size_t>(rows, static_cast<size_t>(kU32Max - 1) - std::min<size_t>(seg.n, kU32Max - 1));
  return rows;
}

}  // namespace dense

// Two rules, either suffices:
//   - the rows that may pass number no more than twice the probing's row budget: up to the
//     budget the probe walks every cluster it ranks without reaching it, building a lookup
//     table per cluster to estimate these same rows and rerank a pool drawn from them;
//     measured at 100,000 x 128 on one thread the exact scan stays cheaper up to three to
//     four times the budget;
//   - a cost model: the probe estimates about budget x (rows / passing) rows before its
//     budget of passing rows is met (at most the rows of the clusters it ranks), reading
//     their codes and factors plus one lookup table per cluster (about 24 bytes of scan per
//     padded coordinate), while the exact scan reads dim int8 bytes per passing row at about
//     three times the cost per byte of the code scan. This keeps a filter that passes 1 % of
//     a large segment, its rows spread thinly over many clusters, on the exact scan.
bool filtered_search_is_exact(const SegmentView& seg, uint64_t main_passing, size_t delta_rows,
                              const DenseParams& params) {
  const dense::DensePlan plan(params, true, seg.n_clusters);
  const uint64_t passing = main_passing + delta_rows;  // u64: no overflow
  if (passing <= 2 * plan.row_budget) return true;
  const double rows = static_cast<double>(seg.n) + static_cast<double>(delta_rows);
  const double per_cluster = std::max(1.0, rows / static_cast<double>(std::max<size_t>(seg.n_clusters, 1)));
  const double ranked_rows = static_cast<double>(plan.ranked) * per_cluster;
  const double probe_rows =
      std::min(ranked_rows, static_cast<double>(plan.row_budget) * rows / static_cast<double>(passing));
  const double row_bytes = static_cast<double>(seg.n_bits) * static_cast<double>(seg.words) * 8.0 +
                           static_cast<double>(codec::kRowFactors * sizeof(float));
  const double probe_cost = probe_rows * row_bytes + (probe_rows / per_cluster) * static_cast<double>(seg.pad) * 24.0;
  const double exact_cost = static_cast<double>(passing) * static_cast<double>(seg.dim) * 3.0;
  return exact_cost <= probe_cost;
}

namespace detail {
int dense_thinning(int mode) { return dense::g_thinning.exchange(mode); }
}  // namespace detail

// ---------------------------------------------------------------------------------------
// Dense search
// ---------------------------------------------------------------------------------------

std::vector<SlotDistance> search_core_view(const SegmentView& seg, const LiveView& live, std::span<const float> query,
                                           const DenseParams& params, const RowFilter& filter, SearchProfile* prof) {
  using namespace dense;
  const SearchInFlight in_flight;
  const DensePlan plan(params, static_cast<bool>(filter), seg.n_clusters);
  const storage::Delta& delta = *live.delta;
  const size_t delta_rows = usable_delta_rows(seg, delta);

  Lease<TopScratch> S;
  Clock::time_point t0;
  if (prof) t0 = Clock::now();
  // Every stage adds its wall time to the profile's field and restarts the clock.
  auto lap = [&](uint64_t SearchProfile::*field) {
    if (!prof) return;
    prof->*field += ns_since(t0);
    t0 = Clock::now();
  };

  if (filter && filter.main_bits != nullptr && filtered_search_is_exact(seg, filter.main_passing, delta_rows, params)) {
    S->table.assign(query, seg.quant_scale, seg.has_origscale);
    std::vector<SlotDistance> out = exact_search(seg, live, query, plan.k, filter, S->table);
    lap(&SearchProfile::rerank_ns);
    return out;
  }

  const size_t listed = rank_clusters(seg, query, plan.ranked, *S);
  lap(&SearchProfile::rotate_rank_ns);

  std::unique_ptr<DeltaClusterLists> own_lists;
  SegmentView segv = seg;
  segv.delta_lists = delta_lists_for(seg, delta, delta_rows, own_lists);
  ProbeCtx ctx{segv,         *live.tombstones, delta,     delta_rows,    filter, S->rq.data(),
               seg.rotator->new_layout ? seg.dim : seg.pad, plan.cap, plan.trigger, prof != nullptr};
  // A pool of up to 4R close to the cap puts its last extra in the bin of the cap-th best key,
  // where the histogram cannot place it and the probe would run again: thinning pays only
  // while the largest pool stays at most four fifths of the cap (R up to 204 for cap 1024).
  const bool thin = thinning_mode() != 0 && uint64_t{5} * plan.pool_target <= plan.cap;
  ctx.thin_r = thin ? plan.pool_target : 0;
  ProbeTotals probed = probe_rounds(ctx, plan, listed, *S);
  if (prof) {
    const uint64_t all = ns_since(t0);
    prof->lut_ns += probed.lut_ns;
    prof->scan_ns += all > probed.lut_ns ? all - probed.lut_ns : 0;
    prof->rows_estimated += probed.rows;
    prof->clusters_probed += probed.probed;
    t0 = Clock::now();
  }

  std::optional<size_t> chosen = select_pool(plan, probed.thinned, *S);
  if (!chosen) {
    // The thinned buffer could not show its extras rank within the cap best: probe again
    // keeping the cap best.
    ctx.thin_r = 0;
    probed = probe_rounds(ctx, plan, listed, *S);
    chosen = select_pool(plan, false, *S);
  }
  const size_t pool = *chosen;
  lap(&SearchProfile::pool_ns);

  rerank_pool(seg, delta, query, plan.k, *S);
  lap(&SearchProfile::rerank_ns);
  if (prof) prof->pool_size += pool;

  if (!params.ensure_target_k || S->scored.size() >= plan.k) return to_result(S->scored, plan.k);
  std::vector<SlotDistance> out = exact_fallback(seg, live, query, filter, plan.k, probed.probed, delta_rows, *S);
  if (prof) prof->fallback_ns += ns_since(t0);
  return out;
}

}  // namespace ivf_rabitq::search
