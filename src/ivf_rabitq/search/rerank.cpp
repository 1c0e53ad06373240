// The rerank stage of the dense search (the pool of candidates, their int8 distances, the
// top k), exact search and the exact fallback.
//
// Hot-path notes: the rerank pool is chosen by radix selection and branch-free partitions and
// scored (score_slots) with the rows prefetched well ahead and several rows per kernel call;
// exact search and the fallback score their rows the same way.
#include <algorithm>
#include <optional>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/search/dense_stages.hpp"

namespace ivf_rabitq::search {

using quant::RerankTable;
using quant::RowExponent;

namespace dense {

namespace {

// fan_out's thresholds: rows of the exact scans, pool rows x dim of the rerank.
constexpr size_t kParallelRows = 50000;
constexpr uint64_t kParallelRerankWork = 1000000;

inline std::optional<RowExponent> main_exponent(const SegmentView& seg, uint32_t s) {
  if (seg.has_origscale && s < seg.origscale_records)
    return quant::main_row_exponent(seg.origscale + static_cast<size_t>(s) * quant::kOrigScaleRecordBytes);
  return std::nullopt;
}

inline float main_distance(const SegmentView& seg, const RerankTable& t, std::span<const float> q, uint32_t s) {
  return t.distance(q, seg.orig + static_cast<size_t>(s) * seg.dim, main_exponent(seg, s));
}

inline float delta_distance(const SegmentView& seg, const storage::Delta& d, const RerankTable& t,
                            std::span<const float> q, uint32_t i) {
  const uint8_t* row = d.rerank.data() + static_cast<size_t>(i) * (seg.dim + 1);
  return t.distance(q, row, quant::delta_row_exponent(row, seg.dim));
}

// Main rows of slots [a, b) that are live and pass the filter, scored into emit in slot
// order (batches of slots go through score_slots).
template <class Emit>
void score_main_range(const SegmentView& seg, const LiveView& live, const RowFilter& filter, const RerankTable& t,
                      std::span<const float> q, uint32_t a, uint32_t b, Emit&& emit) {
  constexpr size_t kBatch = 256;
  uint32_t slots[kBatch];
  ScoredPair scored[kBatch];
  size_t m = 0;
  auto flush = [&] {
    score_slots(seg, *live.delta, t, q, std::span<const uint32_t>(slots, m), scored);
    for (size_t j = 0; j < m; ++j) emit(scored[j]);
    m = 0;
  };
  for_passing_runs(filter, *live.tombstones, a, b, [&](uint32_t x, uint32_t y) {
    for (uint32_t s = x; s < y; ++s) {
      slots[m++] = s;
      if (m == kBatch) flush();
    }
  });
  if (m != 0) flush();
}

}  // namespace

std::vector<SlotDistance> to_result(const std::vector<ScoredPair>& sorted, uint32_t k) {
  const size_t m = std::min<size_t>(k, sorted.size());
  std::vector<SlotDistance> out;
  out.reserve(m);
  for (size_t i = 0; i < m; ++i) out.emplace_back(sorted[i].second, sorted[i].first);
  return out;
}

}  // namespace dense

// ---------------------------------------------------------------------------------------
// Rerank table and slot distance
// ---------------------------------------------------------------------------------------

RerankTable rerank_table_for(const SegmentView& seg, std::span<const float> query) {
  return RerankTable::build(query, seg.quant_scale, seg.has_origscale);
}

float slot_distance(const SegmentView& seg, const storage::Delta& delta, const RerankTable& table,
                    std::span<const float> query, uint32_t slot) {
  if (slot < seg.n) return dense::main_distance(seg, table, query, slot);
  return dense::delta_distance(seg, delta, table, query, slot - seg.n);
}

void score_slots(const SegmentView& seg, const storage::Delta& delta, const RerankTable& table,
                 std::span<const float> query, std::span<const uint32_t> slots, ScoredPair* out) {
  // Rows come from random places of orig.bin: the lines of the row kAhead positions on are
  // requested while the current group is scored, which keeps enough misses in flight to
  // cover the memory latency. Groups of kGroup main rows share one kernel call.
  constexpr size_t kGroup = 8;
  constexpr size_t kAhead = 24;
  // The four-row kernel shares the query's loads among the rows, which pays off for short
  // rows, and keeps the misses of four scattered rows in flight at once; a run of long rows
  // is bound by its bytes and streams better one row at a time.
  constexpr size_t kGroupDotMaxDim = 256;
  const size_t m = slots.size();
  const size_t dim = seg.dim;
  const size_t lines = (dim + 63) / 64;
  auto prefetch = [&](uint32_t s) {
    const uint8_t* row = s < seg.n ? seg.orig + static_cast<size_t>(s) * dim
                                   : delta.rerank.data() + static_cast<size_t>(s - seg.n) * (dim + 1);
    for (size_t l = 0; l < lines; ++l) __builtin_prefetch(row + l * 64);
    if (s < seg.n && seg.has_origscale && s < seg.origscale_records)
      __builtin_prefetch(seg.origscale + static_cast<size_t>(s) * quant::kOrigScaleRecordBytes);
  };
  // Main rows with a record in origscale.bin, against a table with the pow2 part, use the
  // power-of-two integer formula: their dot products are computed kGroup rows per call.
  const bool grouped = table.pow2.has_value() && seg.has_origscale;
  const simd::Level lvl = simd::active_level();
  const bool vnni = grouped && quant::dot_s8_u8_fast(lvl);
  // A run of consecutive slots (exact search) is one stream the hardware prefetcher
  // follows on its own; prefetching is only a hint, so a list that merely looks like a run
  // scores the same.
  const bool run = m == 0 || (slots[m - 1] >= slots[0] && slots[m - 1] - slots[0] == m - 1);
  const size_t ahead = run ? 0 : kAhead;
  for (size_t i = 0; i < std::min(m, ahead); ++i) prefetch(slots[i]);
  for (size_t g = 0; g < m; g += kGroup) {
    const size_t e = std::min(m, g + kGroup);
    for (size_t i = g + ahead; i < std::min(m, e + ahead); ++i) prefetch(slots[i]);
    if (grouped) {
      const uint8_t* rows[kGroup];
      bool all = true;
      for (size_t i = g; i < e; ++i) {
        const uint32_t s = slots[i];
        all &= s < seg.n && s < seg.origscale_records;
        rows[i - g] = seg.orig + static_cast<size_t>(s) * dim;
      }
      if (all) {
        int64_t dots[kGroup];
        const int16_t* q16 = table.pow2->codes_i16.data();
        const size_t qn = table.pow2->codes_i16.size();
        if (vnni) {
          quant::dot_s8_u8_rows(table.pow2->codes_i8.data(), table.pow2->codes_sum, rows, e - g, qn, dots, lvl);
        } else if (qn <= kGroupDotMaxDim || !run) {
          quant::dot_i16_u8_rows(q16, rows, e - g, qn, dots, lvl);
        } else {
          for (size_t i = g; i < e; ++i) dots[i - g] = quant::dot_i16_u8(q16, rows[i - g], qn, lvl);
        }
        for (size_t i = g; i < e; ++i) {
          const uint32_t s = slots[i];
          const RowExponent ex =
              quant::main_row_exponent(seg.origscale + static_cast<size_t>(s) * quant::kOrigScaleRecordBytes);
          out[i] = ScoredPair{table.pow2_distance(ex, dots[i - g]), s};
        }
        continue;
      }
    }
    for (size_t i = g; i < e; ++i) out[i] = ScoredPair{slot_distance(seg, delta, table, query, slots[i]), slots[i]};
  }
}

namespace dense {

std::optional<size_t> select_pool(const DensePlan& plan, bool thinned, TopScratch& S) {
  std::vector<Candidate>& main = S.main;
  size_t pool;
  if (thinned) {
    const std::optional<size_t> p =
        thinning_mode() == 2
            ? std::nullopt
            : choose_rerank_pool_thinned(main.data(), main.size(), S.offered, plan.cap, plan.pool_target,
                                         S.hist, S.tmp);
    if (!p) return std::nullopt;
    pool = *p;
  } else {
    pool = choose_rerank_pool(main.data(), main.size(), plan.pool_target, S.tmp);
  }
  std::vector<uint32_t>& slots = S.slots;
  slots.resize(pool);
  for (size_t i = 0; i < pool; ++i) slots[i] = main[i].slot();
  return pool;
}

void rerank_pool(const SegmentView& seg, const storage::Delta& delta, std::span<const float> query, uint32_t k,
                 TopScratch& S) {
  S.table.assign(query, seg.quant_scale, seg.has_origscale);
  const RerankTable& table = S.table;
  const std::vector<uint32_t>& slots = S.slots;
  const size_t pool = slots.size();
  std::vector<ScoredPair>& scored = S.scored;
  scored.resize(pool);
  if (fan_out(static_cast<uint64_t>(pool) * seg.dim, kParallelRerankWork)) {
    parallel::isolate([&] {
      parallel::for_chunks(pool, 256, [&](size_t b, size_t e) {
        score_slots(seg, delta, table, query, std::span<const uint32_t>(slots.data() + b, e - b), scored.data() + b);
      });
    });
  } else {
    score_slots(seg, delta, table, query, slots, scored.data());
  }
  if (k < scored.size()) keep_k_smallest(scored, k);
  sort_by_distance(scored);
}

std::vector<SlotDistance> exact_fallback(const SegmentView& seg, const LiveView& live, std::span<const float> query,
                                         const RowFilter& filter, uint32_t k, size_t probed, size_t delta_rows,
                                         TopScratch& S) {
  const storage::Delta& delta = *live.delta;
  const size_t n_clusters = seg.n_clusters;
  const RerankTable& table = S.table;
  std::vector<uint8_t>& flags = S.flags;
  flags.assign(std::max<size_t>(n_clusters, 1), 0);
  for (size_t i = 0; i < probed; ++i) flags[S.probe[i]] = 1;
  std::vector<uint32_t> unprobed;
  uint64_t unprobed_rows = 0;
  for (size_t c = 0; c < n_clusters; ++c) {
    if (flags[c]) continue;
    unprobed.push_back(static_cast<uint32_t>(c));
    const uint32_t a = seg.offsets[c];
    const uint32_t b = std::min(seg.offsets[c + 1], seg.n);
    if (b > a) unprobed_rows += b - a;
  }
  // The fallback only ever adds rows of clusters that were left out.
  if (unprobed.empty()) return to_result(S.scored, k);
  const uint32_t kcap = keep_k_cap(k);
  std::vector<ScoredPair> found;
  auto score_cluster = [&](uint32_t c, auto&& emit) {
    score_main_range(seg, live, filter, table, query, seg.offsets[c], std::min(seg.offsets[c + 1], seg.n), emit);
  };
  if (fan_out(unprobed_rows, kParallelRows)) {
    const size_t per_chunk =
        std::max<size_t>(1, static_cast<size_t>((32768.0 * static_cast<double>(unprobed.size())) /
                                                static_cast<double>(unprobed_rows)));
    parallel::isolate([&] {
      found = top_k_par(unprobed.size(), per_chunk, k, kcap, [&](size_t b, size_t e, auto&& emit) {
        for (size_t i = b; i < e; ++i) score_cluster(unprobed[i], emit);
      });
    });
  } else {
    auto emit = [&](ScoredPair p) { push_capped(found, p, k, kcap); };
    for (uint32_t c : unprobed) score_cluster(c, emit);
  }
  keep_k_smallest(found, k);

  std::vector<ScoredPair> dfound;
  for (size_t i = 0; i < delta_rows; ++i) {
    const uint32_t c = delta.clusters[i];
    if (c < n_clusters && flags[c]) continue;
    const uint32_t slot = seg.n + static_cast<uint32_t>(i);
    if (live.tombstones->contains(slot)) continue;
    if (filter && !filter.delta(filter.ctx, delta, static_cast<uint32_t>(i))) continue;
    push_capped(dfound, ScoredPair{delta_distance(seg, delta, table, query, static_cast<uint32_t>(i)), slot}, k, kcap);
  }
  keep_k_smallest(dfound, k);

  found.insert(found.end(), dfound.begin(), dfound.end());
  found.insert(found.end(), S.scored.begin(), S.scored.end());
  keep_k_smallest(found, k);
  sort_by_distance(found);
  return to_result(found, k);
}

std::vector<SlotDistance> exact_search(const SegmentView& seg, const LiveView& live, std::span<const float> query,
                                       uint32_t k, const RowFilter& filter, const RerankTable& table) {
  const storage::Tombstones& tombs = *live.tombstones;
  const storage::Delta& delta = *live.delta;
  const uint32_t cap = keep_k_cap(k);
  const uint64_t main_scored = filter && filter.main_bits != nullptr ? filter.main_passing : seg.n;

  std::vector<ScoredPair> found;
  if (main_scored <= kParallelRows - 1) {
    auto emit = [&](ScoredPair p) { push_capped(found, p, k, cap); };
    score_main_range(seg, live, filter, table, query, 0, seg.n, emit);
    keep_k_smallest(found, k);
  } else {
    parallel::isolate([&] {
      found = top_k_par(seg.n, 16384, k, cap, [&](size_t b, size_t e, auto&& emit) {
        score_main_range(seg, live, filter, table, query, static_cast<uint32_t>(b), static_cast<uint32_t>(e), emit);
      });
    });
    keep_k_smallest(found, k);
  }

  const size_t delta_rows = usable_delta_rows(seg, delta);
  std::vector<ScoredPair> dfound;
  for (size_t i = 0; i < delta_rows; ++i) {
    const uint32_t slot = seg.n + static_cast<uint32_t>(i);
    if (tombs.contains(slot)) continue;
    if (filter && !filter.delta(filter.ctx, delta, static_cast<uint32_t>(i))) continue;
    push_capped(dfound, ScoredPair{delta_distance(seg, delta, table, query, static_cast<uint32_t>(i)), slot}, k, cap);
  }
  keep_k_smallest(dfound, k);

  found.insert(found.end(), dfound.begin(), dfound.end());
  keep_k_smallest(found, k);
  sort_by_distance(found);
  return to_result(found, k);
}

}  // namespace dense

// ---------------------------------------------------------------------------------------
// Exact search
// ---------------------------------------------------------------------------------------

std::vector<SlotDistance> search_bruteforce_view(const SegmentView& seg, const LiveView& live,
                                                 std::span<const float> query, uint64_t k64, const RowFilter& filter) {
  const RerankTable table = rerank_table_for(seg, query);
  return dense::exact_search(seg, live, query, sat_u32(k64), filter, table);
}

}  // namespace ivf_rabitq::search
