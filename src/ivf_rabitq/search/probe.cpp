// Probing of the dense search: rounds of ranked clusters, each scanned by a ClusterScanner.
//
// Hot-path notes:
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
//   - per-thread scratch (residual, statistics, lookup tables, candidate arrays) is reused
//     across queries.
#include <algorithm>
#include <atomic>
#include <bit>
#include <memory>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/search/dense_stages.hpp"
#include "ivf_rabitq/search/thin_rows.hpp"

namespace ivf_rabitq::search {

using storage::DeltaClusterLists;

namespace dense {

namespace {

constexpr size_t kEstBatch = 256;
std::atomic<uint64_t> g_probe_fan_out_rows{32768};

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
        codec::scan_estimate_blocks(blocks + first * bc.block_bytes(), nb, cnt, s_.tables.data(), seg.n_bits, len,
                                    s_.lut, seg.pad, bc.cluster_factors(c) + first * codec::kBlockFactorFloats, s_.ip,
                                    s_.est, s_.low, cluster_blocks - first - nb);
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

}  // namespace

const DeltaClusterLists* delta_lists_for(const SegmentView& seg, const storage::Delta& delta, size_t delta_rows,
                                         std::unique_ptr<DeltaClusterLists>& own) {
  if (delta_rows == 0 || (seg.delta_lists != nullptr && seg.delta_lists->rows() >= delta_rows &&
                          seg.delta_lists->clusters() == seg.n_clusters))
    return seg.delta_lists;
  own = std::make_unique<DeltaClusterLists>();
  own->assign(delta, seg.n_clusters);
  return own.get();
}

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

}  // namespace dense

namespace detail {
uint64_t probe_fan_out_rows(uint64_t rows) { return dense::g_probe_fan_out_rows.exchange(rows); }
}  // namespace detail

}  // namespace ivf_rabitq::search
