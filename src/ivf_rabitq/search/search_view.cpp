// Dense search and exact search over a SegmentView.
//
// Hot-path notes:
//   - per-thread scratch (rotated query, probe list, candidate arrays, lookup table,
//     residual statistics, rerank table, slot lists) is reused across queries; a
//     steady-state query allocates only its result list;
//   - centroid ranking keeps the m nearest in a heap and abandons groups of centroids whose
//     partial sums already exceed the m-th distance (search_rank.hpp), bit-exact;
//   - the lookup tables of a chunk start from statistics computed for all its clusters side
//     by side (one residual per SIMD lane, each in coordinate order), then vectorised
//     quantisation;
//   - the code scan reads the open segment's block-interleaved codes (codec/fastscan.hpp):
//     16-entry lookup tables per probed cluster, 32 rows per byte shuffle, every row of a
//     block estimated and only the live, filter-passing runs appended; views without the
//     blocked copy use codec::estimate_rows (fused popcount inner product and estimate
//     math) over runs of consecutive live rows. The tombstones of a cluster are walked once
//     by a bitmap cursor; candidates are appended without a branch per row and compacted
//     by a radix selection;
//   - delta rows of a probed cluster come from the per-cluster delta lists and are
//     estimated with the lookup table the cluster scan already built;
//   - the rerank pool is chosen by radix selection and branch-free partitions and scored
//     (score_slots) with the rows prefetched well ahead and several rows per kernel call;
//     exact search and the fallback score their rows the same way.
#include "ivf_rabitq/search/search_view.hpp"

#include <algorithm>
#include <bit>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>

#include "ivf_rabitq/search/search_rank.hpp"
#include "ivf_rabitq/search/thin_rows.hpp"
#include "ivf_rabitq/common/parallel.hpp"

namespace ivf_rabitq::index {

namespace {

constexpr size_t kEstBatch = 256;
// Work below which a stage runs on the calling thread: a task handed to the pool costs a
// few microseconds (waking a worker, stealing, joining) and the split parts share the
// caches of the machine, so only stages of hundreds of microseconds gain from a split.
constexpr uint64_t kParallelRankWork = uint64_t{1} << 23;  // centroids x pad
constexpr size_t kParallelRows = 50000;
constexpr uint64_t kParallelRerankWork = 1000000;
std::atomic<uint64_t> g_probe_fan_out_rows{32768};
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

// Whether a stage of `work` units (threshold `at`) is split over the calling thread's pool.
bool fan_out(uint64_t work, uint64_t at) {
  return work >= at && g_searches.load(std::memory_order_relaxed) <= 1 && parallel::num_threads() > 1;
}
constexpr float kInf = std::numeric_limits<float>::infinity();

using Clock = std::chrono::steady_clock;
inline uint64_t ns_since(Clock::time_point t0) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count());
}

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

// Whether any bit of [a, b) is set.
inline bool any_set(const uint64_t* bits, uint32_t a, uint32_t b) {
  if (a >= b) return false;
  const uint32_t wa = a >> 6, wb = (b - 1) >> 6;
  const uint64_t lo = ~uint64_t{0} << (a & 63);
  const uint64_t hi = ~uint64_t{0} >> (63 - ((b - 1) & 63));
  if (wa == wb) return (bits[wa] & lo & hi) != 0;
  if (bits[wa] & lo) return true;
  for (uint32_t w = wa + 1; w < wb; ++w)
    if (bits[w]) return true;
  return (bits[wb] & hi) != 0;
}

// How many bits of [a, b) are set.
inline uint64_t count_set(const uint64_t* bits, uint32_t a, uint32_t b) {
  if (a >= b) return 0;
  const uint32_t wa = a >> 6, wb = (b - 1) >> 6;
  const uint64_t lo = ~uint64_t{0} << (a & 63);
  const uint64_t hi = ~uint64_t{0} >> (63 - ((b - 1) & 63));
  if (wa == wb) return static_cast<uint64_t>(std::popcount(bits[wa] & lo & hi));
  uint64_t c = static_cast<uint64_t>(std::popcount(bits[wa] & lo)) + static_cast<uint64_t>(std::popcount(bits[wb] & hi));
  for (uint32_t w = wa + 1; w < wb; ++w) c += static_cast<uint64_t>(std::popcount(bits[w]));
  return c;
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

// ---------------------------------------------------------------------------------------
// Scratch
// ---------------------------------------------------------------------------------------

// Candidates of one chunk: a plain array that grows without initialising its entries.
struct CandArray {
  std::unique_ptr<Candidate[]> p;
  size_t n = 0;
  size_t cap = 0;
  void reserve(size_t c) {
    if (c <= cap) return;
    std::unique_ptr<Candidate[]> q(new Candidate[c]);
    std::copy_n(p.get(), n, q.get());
    p = std::move(q);
    cap = c;
  }
};

struct ChunkScratch {
  codec::QueryLut lut;
  std::vector<float> resid;
  std::vector<codec::ResidualStats> stats;
  CandArray cands;
  std::vector<uint8_t> tables;  // 16-entry lookup tables of the blocked scan
  alignas(64) uint64_t ip[kEstBatch];
  alignas(64) float est[kEstBatch];
  alignas(64) float low[kEstBatch];
  alignas(64) float fac[kEstBatch * codec::kRowFactors];  // gathered row factors
  alignas(64) uint32_t slots[kEstBatch];                   // their slots
  alignas(64) uint32_t kept[kEstBatch];                    // batch positions a thinned buffer keeps
  std::vector<uint64_t> gcodes;                            // gathered row codes
  bool busy = false;
};

struct TopScratch {
  std::vector<float> rq;
  std::vector<uint64_t> ckeys;
  std::vector<uint64_t> heap;
  std::vector<float> dist;
  std::vector<uint32_t> probe;
  BoundScratch bound;
  std::vector<std::vector<Candidate>> bufs;
  std::vector<uint64_t> chunk_rows;
  std::vector<Candidate> main;
  std::vector<Candidate> tmp;
  RankHistogram hist;  // estimate histogram of a thinned probe
  uint64_t offered = 0;
  std::vector<uint32_t> slots;
  std::vector<ScoredPair> scored;
  std::vector<uint8_t> flags;
  RerankTable table;
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
// Probing
// ---------------------------------------------------------------------------------------

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

struct ChunkOut {
  uint64_t rows = 0;
  uint64_t lut_ns = 0;
};

// Warms the cache for the first rows of a cluster (its codes and factors are read as two
// streams that the hardware prefetcher picks up after a few lines).
inline void prefetch_rows(const SegmentView& seg, size_t stride, uint32_t c, uint32_t a, uint32_t b) {
  if (a >= b) return;
  const size_t rows = std::min<size_t>(b - a, 32);
  const char* codes = seg.blocked != nullptr ? reinterpret_cast<const char*>(seg.blocked->cluster_blocks(c))
                                             : reinterpret_cast<const char*>(seg.codes + static_cast<size_t>(a) * stride);
  const bool blocked_factors = seg.blocked != nullptr && seg.blocked->has_factors();
  const char* metas = blocked_factors
                          ? reinterpret_cast<const char*>(seg.blocked->cluster_factors(c))
                          : reinterpret_cast<const char*>(seg.metas + static_cast<size_t>(a) * codec::kRowFactors);
  const size_t code_bytes = rows * stride * sizeof(uint64_t);
  const size_t meta_bytes =
      (blocked_factors ? codec::kBlockFactorFloats : rows * codec::kRowFactors) * sizeof(float);
  for (size_t o = 0; o < code_bytes; o += 64) __builtin_prefetch(codes + o);
  for (size_t o = 0; o < meta_bytes; o += 64) __builtin_prefetch(metas + o);
}

class ClusterScanner {
 public:
  ClusterScanner(const ProbeCtx& ctx, ChunkScratch& s)
      : ctx_(ctx), s_(s), stride_(static_cast<size_t>(ctx.seg.n_bits) * ctx.seg.words) {
    s_.cands.n = 0;
    thin_trigger_ = std::max<size_t>(256, size_t{8} * ctx.thin_r);
  }

  // Scans cluster c; `stats` are the raw statistics of its residual.
  void scan(uint32_t c, const codec::ResidualStats& stats, uint32_t next, ChunkOut& out) {
    const SegmentView& seg = ctx_.seg;
    const uint32_t a = seg.offsets[c];
    const uint32_t b = std::min(seg.offsets[c + 1], seg.n);
    std::span<const uint32_t> drows;
    if (ctx_.delta_rows != 0 && seg.delta_lists != nullptr) drows = seg.delta_lists->rows_of(c);
    if (next != kU32Max) prefetch_rows(seg, stride_, next, seg.offsets[next], std::min(seg.offsets[next + 1], seg.n));
    if (a >= b && drows.empty()) return;
    // A cluster none of whose main rows passes needs no lookup table unless delta rows ride
    // along.
    if (ctx_.filter.main_bits != nullptr && drows.empty() && !any_set(ctx_.filter.main_bits, a, b)) return;

    Clock::time_point t0;
    if (ctx_.timing) t0 = Clock::now();
    const size_t pad = seg.pad;
    const float* cr = seg.centroids_rot + static_cast<size_t>(c) * pad;
    float* r = s_.resid.data();
    for (size_t j = 0; j < pad; ++j) r[j] = ctx_.rq[j] - cr[j];
    codec::preprocess_query_with(s_.lut, std::span<const float>(r, pad), ctx_.stats_len, stats);
    // The blocked scan computes every row of its blocks; when a filter's bitmap passes few of
    // the cluster's rows (under a quarter), estimating just the passing runs row by row reads
    // fewer bytes. Both give the same inner products.
    const bool blocked = seg.blocked != nullptr && a < b &&
                         (ctx_.filter.main_bits == nullptr || 4 * count_set(ctx_.filter.main_bits, a, b) >= b - a);
    if (blocked) codec::build_scan_tables(s_.lut, s_.tables.data());
    if (ctx_.timing) out.lut_ns += ns_since(t0);

    if (blocked) {
      scan_blocked(c, a, b, out);
    } else {
      estimate_gathered(a, b, out);
    }

    for (uint32_t i : drows) {
      if (i >= ctx_.delta_rows) break;  // ascending lists
      const uint32_t slot = seg.n + i;
      if (ctx_.tombs.contains(slot)) continue;
      if (ctx_.filter && !ctx_.filter.delta(ctx_.filter.ctx, ctx_.delta, i)) continue;
      codec::estimate_rows(s_.lut, ctx_.delta.codes.data() + static_cast<size_t>(i) * stride_,
                           ctx_.delta.factors.data() + static_cast<size_t>(i) * codec::kRowFactors, 1, seg.n_bits,
                           pad, s_.est, s_.low);
      append(0, 1, slot);
    }
  }

  // Final compaction of the chunk to cap; the kept candidates are appended to dst.
  void finish(std::vector<Candidate>& dst) {
    if (ctx_.thin_r != 0 && !counting_ && *ctx_.offered > ctx_.cap) {
      // Never thinned: the buffer holds every offered row; they are counted around the R-th
      // best estimate. (Up to cap offered rows the pool's rank check reads no count.)
      Candidate* p = s_.cands.p.get();
      const size_t n = s_.cands.n;
      float w = kInf;
      if (n > ctx_.thin_r)
        w = Candidate{kth_smallest_key(n, ctx_.thin_r, [p](size_t i) { return p[i].key; }, selection_scratch()), 0.f}
                .estimate();
      start_counting(w);
    }
    float unused;
    // A thinned buffer goes out whole: its pool is chosen against the histogram.
    const size_t m = ctx_.thin_r != 0 ? s_.cands.n : compact_keep(s_.cands.p.get(), s_.cands.n, ctx_.cap, &unused);
    dst.insert(dst.end(), s_.cands.p.get(), s_.cands.p.get() + m);
    s_.cands.n = 0;
  }

 private:
  // Main rows [a, b) of cluster c from the blocked copy, in batches of whole blocks: every
  // row of a batch gets its inner product and estimate, then the live, filter-passing runs
  // are appended and counted; tombstoned and rejected rows are computed and dropped.
  void scan_blocked(uint32_t c, uint32_t a, uint32_t b, ChunkOut& out) {
    static_assert(kEstBatch % codec::kScanBlockRows == 0);
    const SegmentView& seg = ctx_.seg;
    const codec::BlockedCodes& bc = *seg.blocked;
    const uint8_t* blocks = bc.cluster_blocks(c);
    const size_t len = seg.words * 64;
    const size_t cluster_blocks = (b - a + codec::kScanBlockRows - 1) / codec::kScanBlockRows;
    for (uint32_t p = a; p < b;) {
      const uint32_t e = static_cast<uint32_t>(std::min<size_t>(b, size_t{p} + kEstBatch));
      const size_t cnt = e - p;
      const size_t first = (p - a) / codec::kScanBlockRows;
      const size_t nb = (cnt + codec::kScanBlockRows - 1) / codec::kScanBlockRows;
      if (bc.has_factors()) {
        codec::scan_estimate_blocks(blocks + first * bc.block_bytes(), nb, s_.tables.data(), seg.n_bits, len, s_.lut,
                                    seg.pad, bc.cluster_factors(c) + first * codec::kBlockFactorFloats, s_.ip, s_.est,
                                    s_.low, cluster_blocks - first - nb);
      } else {
        codec::scan_blocks(blocks + first * bc.block_bytes(), nb, s_.tables.data(), seg.n_bits, len, s_.ip,
                           cluster_blocks - first - nb);
        codec::estimates_from_ips(s_.lut, seg.pad, s_.ip, seg.metas + static_cast<size_t>(p) * codec::kRowFactors,
                                  cnt, s_.est, s_.low);
      }
      const auto take = [&](uint32_t x, uint32_t y) {
        out.rows += y - x;
        append(x - p, y - x, x);
      };
      for_passing_runs(ctx_.filter, ctx_.tombs, p, e, take);
      p = e;
    }
  }

  // The live, filter-passing rows of [a, b) without the blocked copy, or when few pass, in
  // batches of up to kEstBatch rows: their slots are listed and their codes and factors
  // prefetched, then gathered into contiguous scratch, so that one inner-product call and one
  // estimate call serve the batch (scattered short runs would otherwise each pay a call and
  // the kernels' partial-vector tail).
  void estimate_gathered(uint32_t a, uint32_t b, ChunkOut& out) {
    const SegmentView& seg = ctx_.seg;
    const size_t code_bytes = stride_ * sizeof(uint64_t);
    if (s_.gcodes.size() < kEstBatch * stride_) s_.gcodes.resize(kEstBatch * stride_);
    uint32_t m = 0;
    const auto flush = [&] {
      if (m == 0) return;
      const uint32_t* slots = s_.slots;
      if (slots[m - 1] - slots[0] == m - 1) {
        // One run of adjacent rows (no filter, few tombstones): read in place.
        const size_t first = slots[0];
        codec::ip_rows(s_.lut.words.data(), seg.codes + first * stride_, m, seg.n_bits, seg.words, s_.ip);
        codec::estimates_from_ips(s_.lut, seg.pad, s_.ip, seg.metas + first * codec::kRowFactors, m, s_.est, s_.low);
        append(0, m, slots[0]);
        m = 0;
        return;
      }
      uint64_t* codes = s_.gcodes.data();
      for (uint32_t i = 0; i < m; ++i) {
        std::copy_n(seg.codes + static_cast<size_t>(slots[i]) * stride_, stride_, codes + size_t{i} * stride_);
        std::copy_n(seg.metas + static_cast<size_t>(slots[i]) * codec::kRowFactors, codec::kRowFactors,
                    s_.fac + size_t{i} * codec::kRowFactors);
      }
      codec::ip_rows(s_.lut.words.data(), codes, m, seg.n_bits, seg.words, s_.ip);
      codec::estimates_from_ips(s_.lut, seg.pad, s_.ip, s_.fac, m, s_.est, s_.low);
      append_slots(0, m, [slots](uint32_t j) { return slots[j]; });
      m = 0;
    };
    for_passing_runs(ctx_.filter, ctx_.tombs, a, b, [&](uint32_t x, uint32_t y) {
      out.rows += y - x;
      for (; x < y; ++x) {
        const char* code = reinterpret_cast<const char*>(seg.codes + static_cast<size_t>(x) * stride_);
        for (size_t o = 0; o < code_bytes; o += 64) __builtin_prefetch(code + o);
        __builtin_prefetch(seg.metas + static_cast<size_t>(x) * codec::kRowFactors);
        s_.slots[m++] = x;
        if (m == kEstBatch) flush();
      }
    });
    flush();
  }

  // Appends rows first_slot + j (j < cnt), estimates from + j of the batch, that the bound keeps (an
  // estimate above it is dropped; a NaN estimate never is), without a branch per row, then
  // compacts when the buffer has reached the trigger. Compacting after the batch rather
  // than at the exact row changes nothing but the moment the bound tightens: the buffer
  // still ends up holding the cap best of every row offered to it.
  void append(uint32_t from, uint32_t cnt, uint32_t first_slot) {
    append_slots(from, cnt, [first_slot](uint32_t j) { return first_slot + j; });
  }

  template <class SlotAt>
  void append_slots(uint32_t from, uint32_t cnt, SlotAt&& slot_at) {
    // Grows with the rows actually offered (never by the caller's sizes); it stops growing
    // at trigger + one batch, as the buffer is compacted on reaching the trigger.
    if (s_.cands.n + cnt > s_.cands.cap) s_.cands.reserve(std::max<size_t>(2 * s_.cands.cap, s_.cands.n + kEstBatch));
    Candidate* out = s_.cands.p.get() + s_.cands.n;
    if (ctx_.thin_r != 0) {
      append_thinned(out, from, cnt, slot_at);
      return;
    }
    const float bound = bound_;
    size_t m = 0;
    for (uint32_t j = 0; j < cnt; ++j) {
      const float e = s_.est[from + j];
      out[m] = Candidate::make(e, s_.low[from + j], slot_at(j));
      m += !(e > bound);
    }
    s_.cands.n += m;
    if (s_.cands.n >= ctx_.trigger) s_.cands.n = compact_keep(s_.cands.p.get(), s_.cands.n, ctx_.cap, &bound_);
  }

  // Thinned append: every offered row is counted up to the histogram's top bin; the rows
  // whose lower bound is above the R-th best estimate so far (thin_bound_) can be neither
  // among the R best nor an extra of the pool, as that estimate only falls, and are not kept
  // (a NaN bound keeps everything); nor are the rows above the top bin, which rank below the
  // cap best already counted. Until the first thinning every row is kept and the counting
  // waits for it, which places the histogram's bins around the estimates that matter.
  template <class SlotAt>
  void append_thinned(Candidate* out, uint32_t from, uint32_t cnt, SlotAt&& slot_at) {
    RankHistogram& h = *ctx_.hist;
    uint64_t counted = 0;
    const size_t m = thin_rows(s_.est + from, s_.low + from, cnt, thin_bound_, h.bins.lo, h.bins.shift, kEstimateBins,
                               h.top, counting_ ? h.counts.data() : nullptr, &counted, s_.kept);
    *ctx_.offered += cnt;
    if (counted != 0) took(counted);
    for (size_t i = 0; i < m; ++i) {
      const uint32_t j = s_.kept[i];
      out[i] = Candidate::make(s_.est[from + j], s_.low[from + j], slot_at(j));
    }
    s_.cands.n += m;
    if (s_.cands.n >= thin_trigger_) thin();
  }

  // Places the histogram's bins around w and counts the buffer, which holds every row
  // offered so far.
  void start_counting(float w) {
    RankHistogram& h = *ctx_.hist;
    h.bins = EstimateBins::around(w);
    const EstimateBins bins = h.bins;  // the top is still the last bin: every row counts
    uint32_t* counts = h.counts.data();
    const Candidate* p = s_.cands.p.get();
    const size_t n = s_.cands.n;
    for (size_t i = 0; i < n; ++i) ++counts[bins.bin(static_cast<uint32_t>(p[i].key >> 32))];
    took(n);
    counting_ = true;
  }

  // Takes `counted` rows added to the histogram's bins up to its top. Lowering the top pays
  // once the probe has offered several times cap rows: the first descent crosses most of the
  // histogram's window (about a microsecond), which a probe of a few thousand rows does not
  // win back.
  void took(uint64_t counted) {
    RankHistogram& h = *ctx_.hist;
    if (*ctx_.offered >= 8 * uint64_t{ctx_.cap}) {
      h.settle(counted, ctx_.cap);
    } else {
      h.upto += counted;
    }
  }

  // Lowers thin_bound_ to the R-th best estimate of the buffer and drops the rows whose lower
  // bound is above it (the R best stay: their lower bounds are at most their estimates) and
  // the rows above the histogram's top bin (the cap best stay). A buffer that stays over half
  // the trigger doubles it, so the passes stay linear overall.
  void thin() {
    Candidate* p = s_.cands.p.get();
    const size_t n = s_.cands.n;
    if (n <= ctx_.thin_r) return;
    const uint64_t t = kth_smallest_key(n, ctx_.thin_r, [p](size_t i) { return p[i].key; }, selection_scratch());
    const float w = Candidate{t, 0.f}.estimate();
    thin_bound_ = w;
    if (!counting_) start_counting(w);
    size_t m = 0;
    const EstimateBins bins = ctx_.hist->bins;
    const size_t top = ctx_.hist->top;
    if (top + 1 < kEstimateBins) {
      for (size_t i = 0; i < n; ++i) {
        const Candidate c = p[i];
        p[m] = c;
        m += !(c.lower > w) & (bins.bin(static_cast<uint32_t>(c.key >> 32)) <= top);
      }
    } else {
      for (size_t i = 0; i < n; ++i) {
        const Candidate c = p[i];
        p[m] = c;
        m += !(c.lower > w);
      }
    }
    // Past the plain buffer's trigger the kept rows are also cut to their cap best: a row
    // ranked below cap among them ranks below cap among all offered rows, so it can be
    // neither among the R best nor an extra. The buffer stays bounded as the plain one is.
    if (m >= ctx_.trigger) {
      float unused;
      m = compact_keep(p, m, ctx_.cap, &unused);
    }
    s_.cands.n = m;
    if (2 * m >= thin_trigger_) thin_trigger_ = std::min<size_t>(2 * thin_trigger_, ctx_.trigger);
  }

  const ProbeCtx& ctx_;
  ChunkScratch& s_;
  size_t stride_;
  float bound_ = kInf;
  float thin_bound_ = kInf;
  size_t thin_trigger_ = 0;
  bool counting_ = false;  // the thinned histogram counts offered rows (from the first thinning)
};

void scan_clusters(const ProbeCtx& ctx, const uint32_t* clusters, size_t count, std::vector<Candidate>& buf,
                   ChunkOut& out) {
  Lease<ChunkScratch> s;
  if (s->resid.size() < ctx.seg.pad) s->resid.resize(ctx.seg.pad);
  if (ctx.seg.blocked != nullptr && s->tables.size() < codec::scan_table_bytes(ctx.seg.pad))
    s->tables.resize(codec::scan_table_bytes(ctx.seg.pad));
  if (s->stats.size() < count) s->stats.resize(count);
  Clock::time_point t0;
  if (ctx.timing) t0 = Clock::now();
  codec::residual_stats(ctx.rq, ctx.seg.centroids_rot, ctx.seg.pad, clusters, count,
                        std::min(ctx.seg.pad, ctx.stats_len), s->stats.data());
  if (ctx.timing) out.lut_ns += ns_since(t0);
  ClusterScanner scanner(ctx, *s);
  for (size_t i = 0; i < count; ++i)
    scanner.scan(clusters[i], s->stats[i], i + 1 < count ? clusters[i + 1] : kU32Max, out);
  scanner.finish(buf);
}

// ---------------------------------------------------------------------------------------
// Rerank helpers
// ---------------------------------------------------------------------------------------

inline std::optional<RowExponent> main_exponent(const SegmentView& seg, uint32_t s) {
  if (seg.has_origscale && s < seg.origscale_records)
    return main_row_exponent(seg.origscale + static_cast<size_t>(s) * quant::kOrigScaleRecordBytes);
  return std::nullopt;
}

inline float main_distance(const SegmentView& seg, const RerankTable& t, std::span<const float> q, uint32_t s) {
  return t.distance(q, seg.orig + static_cast<size_t>(s) * seg.dim, main_exponent(seg, s));
}

inline float delta_distance(const SegmentView& seg, const storage::Delta& d, const RerankTable& t,
                            std::span<const float> q, uint32_t i) {
  const uint8_t* row = d.rerank.data() + static_cast<size_t>(i) * (seg.dim + 1);
  return t.distance(q, row, delta_row_exponent(row, seg.dim));
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

std::vector<SlotDistance> to_result(const std::vector<ScoredPair>& sorted, uint32_t k) {
  const size_t m = std::min<size_t>(k, sorted.size());
  std::vector<SlotDistance> out;
  out.reserve(m);
  for (size_t i = 0; i < m; ++i) out.emplace_back(sorted[i].second, sorted[i].first);
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Rerank table and slot distance
// ---------------------------------------------------------------------------------------

RerankTable rerank_table_for(const SegmentView& seg, std::span<const float> query) {
  return RerankTable::build(query, seg.quant_scale, seg.has_origscale);
}

float slot_distance(const SegmentView& seg, const storage::Delta& delta, const RerankTable& table,
                    std::span<const float> query, uint32_t slot) {
  if (slot < seg.n) return main_distance(seg, table, query, slot);
  return delta_distance(seg, delta, table, query, slot - seg.n);
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
              main_row_exponent(seg.origscale + static_cast<size_t>(s) * quant::kOrigScaleRecordBytes);
          out[i] = ScoredPair{table.pow2_distance(ex, dots[i - g]), s};
        }
        continue;
      }
    }
    for (size_t i = g; i < e; ++i) out[i] = ScoredPair{slot_distance(seg, delta, table, query, slots[i]), slots[i]};
  }
}

// ---------------------------------------------------------------------------------------
// Dense search stages
// ---------------------------------------------------------------------------------------

namespace {

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

// Ranking: rotates the query into S.rq and lists the `m` clusters nearest to it, nearest
// first, in S.probe. Returns how many were listed.
size_t rank_clusters(const SegmentView& seg, std::span<const float> query, size_t m, TopScratch& S) {
  S.rq.resize(seg.pad);
  seg.rotator->rotate_into(query, std::span<float>(S.rq));
  if (fan_out(static_cast<uint64_t>(seg.n_clusters) * seg.pad, kParallelRankWork)) {
    // Parallel: the m best of each range of centroids, then the m best of their union.
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
  } else if (const CentroidBound* cb = seg.centroid_bound;
             cb != nullptr && cb->usable() && cb->size() == seg.packed_centroids->size() && cb->pad() == seg.pad &&
             seg.packed_centroids->dim() == seg.pad && m * 4 <= cb->size()) {
    nearest_keys_bounded(S.rq.data(), seg.centroids_rot, *seg.packed_centroids, *cb, m, S.ckeys, S.bound);
  } else if (static_cast<uint64_t>(seg.packed_centroids->size()) * seg.packed_centroids->dim() <= kPlainRankCoordinates) {
    nearest_keys_all(S.rq.data(), *seg.packed_centroids, m, S.ckeys, S.dist);
  } else if (const RankOrder* ro = seg.rank_order;
             ro != nullptr && ro->packed.size() == seg.packed_centroids->size() && ro->packed.dim() == seg.pad) {
    nearest_keys(S.rq.data(), ro->packed, m, S.ckeys, S.heap, ro->ids.data());
  } else {
    nearest_keys(S.rq.data(), *seg.packed_centroids, m, S.ckeys, S.heap);
  }
  // The packed centroids hold every searchable cluster; the list is shorter only if a view
  // was built with fewer.
  const size_t listed = std::min(m, S.ckeys.size());
  S.probe.resize(listed);
  for (size_t i = 0; i < listed; ++i) S.probe[i] = static_cast<uint32_t>(S.ckeys[i] & 0xFFFFFFFFu);
  return listed;
}

// The per-cluster delta lists the probing uses: the segment's when they describe this delta
// (the caller reads both under the delta read lock), else lists grouped for this call into
// `own` (absent, too short, or for another cluster count).
const DeltaClusterLists* delta_lists_for(const SegmentView& seg, const storage::Delta& delta, size_t delta_rows,
                                         std::unique_ptr<DeltaClusterLists>& own) {
  if (delta_rows == 0 || (seg.delta_lists != nullptr && seg.delta_lists->rows() >= delta_rows &&
                          seg.delta_lists->clusters() == seg.n_clusters))
    return seg.delta_lists;
  own = std::make_unique<DeltaClusterLists>();
  own->assign(delta, seg.n_clusters);
  return own.get();
}

struct ProbeTotals {
  size_t probed = 0;  // clusters probed: the first `probed` of S.probe
  uint64_t rows = 0;  // rows estimated
  uint64_t lut_ns = 0;
  bool thinned = false;  // S.main is a thinned buffer (S.hist and S.offered describe it)
};

// Probing: rounds of plan.probe_step clusters from the ranked list, each round's clusters
// scanned in parallel chunks (delta rows of a cluster ride along its scan), until the list
// ends or the row budget is reached. The candidates, compacted to plan.cap, are in S.main.
ProbeTotals probe_rounds(const ProbeCtx& ctx_in, const DensePlan& plan, size_t listed, TopScratch& S) {
  std::vector<Candidate>& main = S.main;
  main.clear();
  ProbeTotals tot;
  // Thinning needs the whole probe in one buffer: one round, scanned on this thread. That
  // is known once the first round's split is decided.
  ProbeCtx ctx = ctx_in;
  if (listed > plan.probe_step) ctx.thin_r = 0;
  size_t pos = 0;
  while (pos < listed) {
    const size_t len = std::min<size_t>(plan.probe_step, listed - pos);
    uint64_t round_rows = 0;
    for (size_t i = pos; i < pos + len; ++i) {
      const uint32_t c = S.probe[i];
      const uint32_t a = ctx.seg.offsets[c], b = std::min(ctx.seg.offsets[c + 1], ctx.seg.n);
      if (b > a) round_rows += b - a;
    }
    size_t nchunks = 1, chunk = len;
    if (fan_out(round_rows, g_probe_fan_out_rows.load(std::memory_order_relaxed))) {
      const size_t t = parallel::num_threads();
      chunk = std::max<size_t>(1, (len + (t + t / 2) - 1) / (t + t / 2));
      nchunks = (len + chunk - 1) / chunk;
    }
    if (nchunks > 1) ctx.thin_r = 0;
    if (ctx.thin_r != 0 && !tot.thinned) {
      S.hist.reset();
      S.offered = 0;
      ctx.hist = &S.hist;
      ctx.offered = &S.offered;
      tot.thinned = true;
    }
    if (nchunks == 1) {
      // One chunk, scanned on this thread; its candidates go straight to the main buffer.
      ChunkOut out;
      scan_clusters(ctx, S.probe.data() + pos, len, main, out);
      tot.rows += out.rows;
      tot.lut_ns += out.lut_ns;
    } else {
      if (S.bufs.size() < nchunks) S.bufs.resize(nchunks);
      S.chunk_rows.assign(nchunks * 2, 0);
      for (size_t c = 0; c < nchunks; ++c) S.bufs[c].clear();
      parallel::isolate([&] {
        parallel::for_chunks(len, chunk, [&](size_t b, size_t e) {
          const size_t ci = b / chunk;
          ChunkOut out;
          scan_clusters(ctx, S.probe.data() + pos + b, e - b, S.bufs[ci], out);
          S.chunk_rows[2 * ci] = out.rows;
          S.chunk_rows[2 * ci + 1] = out.lut_ns;
        });
      });
      for (size_t c = 0; c < nchunks; ++c) {
        main.insert(main.end(), S.bufs[c].begin(), S.bufs[c].end());
        tot.rows += S.chunk_rows[2 * c];
        tot.lut_ns += S.chunk_rows[2 * c + 1];
      }
    }
    compact_bound(main, plan.cap);
    pos += len;
    if (tot.rows >= plan.row_budget) break;
  }
  tot.probed = pos;
  if (!tot.thinned) compact_bound(main, plan.cap);
  return tot;
}

// Pool: the `target` best candidates of S.main, their slots in S.slots in the order chosen.
// Scoring a row is pure and the top k are selected by (distance, slot), so the order changes
// no result; sorting the slots (for adjacent reads) cost 3-5 % of a query and read the rows
// no faster. Returns the pool size.
std::optional<size_t> select_pool(const DensePlan& plan, bool thinned, TopScratch& S) {
  std::vector<Candidate>& main = S.main;
  size_t pool;
  if (thinned) {
    const std::optional<size_t> p =
        g_thinning.load(std::memory_order_relaxed) == 2
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

// Rerank: the int8 distance of every pooled slot into S.scored (S.table built for the query),
// then the k smallest, sorted by distance then slot.
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

// Fallback: exact distances of the live, filter-passing rows of the clusters not probed (the
// first `probed` of S.probe were), main and delta, merged with the reranked S.scored: the k
// smallest, sorted. Every cluster probed: S.scored stands as it is.
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
                                       uint32_t k, const RowFilter& filter, const RerankTable& table);


}  // namespace

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
  const DensePlan plan(params, true, seg.n_clusters);
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
uint64_t probe_fan_out_rows(uint64_t rows) { return g_probe_fan_out_rows.exchange(rows); }
int dense_thinning(int mode) { return g_thinning.exchange(mode); }
}  // namespace detail

// ---------------------------------------------------------------------------------------
// Dense search
// ---------------------------------------------------------------------------------------

std::vector<SlotDistance> search_core_view(const SegmentView& seg, const LiveView& live, std::span<const float> query,
                                           const DenseParams& params, const RowFilter& filter, SearchProfile* prof) {
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
  const bool thin = g_thinning.load(std::memory_order_relaxed) != 0 && uint64_t{5} * plan.pool_target <= plan.cap;
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

// ---------------------------------------------------------------------------------------
// Exact search
// ---------------------------------------------------------------------------------------

std::vector<SlotDistance> search_bruteforce_view(const SegmentView& seg, const LiveView& live,
                                                 std::span<const float> query, uint64_t k64, const RowFilter& filter) {
  const RerankTable table = rerank_table_for(seg, query);
  return exact_search(seg, live, query, sat_u32(k64), filter, table);
}

namespace {

// The int8 distance of every live, filter-passing main and delta row; the k smallest, sorted
// by distance bits then slot. With the filter's bitmap only the passing main rows are
// visited, and the pool is engaged by their number rather than by the segment's.
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

}  // namespace

}  // namespace ivf_rabitq::index
