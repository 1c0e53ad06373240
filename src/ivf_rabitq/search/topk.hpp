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
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "ivf_rabitq/common/parallel.hpp"

namespace ivf_rabitq::search {

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

// An estimated row. The estimate and the slot are kept as one u64 key (total-order key of
// the estimate in the high half, slot in the low half) so the selections compare one word.
struct Candidate {
  uint64_t key;
  float lower;

  static Candidate make(float estimate, float lower, uint32_t slot) {
    return Candidate{(static_cast<uint64_t>(total_order_key(estimate)) << 32) | slot, lower};
  }
  uint32_t slot() const { return static_cast<uint32_t>(key); }
  float estimate() const {
    const uint32_t k = static_cast<uint32_t>(key >> 32);
    return std::bit_cast<float>((k & 0x80000000u) ? (k & 0x7FFFFFFFu) : ~k);
  }
};

struct EstimateLess {
  bool operator()(const Candidate& a, const Candidate& b) const { return a.key < b.key; }
};

// The k-th smallest (k in [1, n]) of n distinct u64 keys, key_at(i) giving key i. A radix
// selection: each round counts the keys of the live range in up to 2048 buckets (about one
// a key) of their leading bits, keeps only the bucket that holds the k-th key and narrows
// the range; small sets finish with nth_element. A few linear passes without data-dependent
// branches instead of the mispredicted comparisons of a quickselect. `scratch` is reused
// between calls.
template <class KeyAt>
uint64_t kth_smallest_key(size_t n, size_t k, KeyAt&& key_at, std::vector<uint64_t>& scratch) {
  constexpr unsigned kMaxBits = 11;
  constexpr size_t kSmall = 48;
  uint32_t counts[size_t{1} << kMaxBits];
  if (scratch.size() < n) scratch.resize(n);
  uint64_t* keys = scratch.data();
  // Round 0 reads the keys through key_at; later rounds read the survivors from scratch.
  // The range is taken over four independent chains: one chain of conditional moves runs at
  // the latency of its compare, four at its throughput.
  uint64_t mn, mx;
  {
    uint64_t n0 = ~uint64_t{0}, n1 = n0, n2 = n0, n3 = n0, x0 = 0, x1 = 0, x2 = 0, x3 = 0;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const uint64_t v0 = key_at(i), v1 = key_at(i + 1), v2 = key_at(i + 2), v3 = key_at(i + 3);
      n0 = v0 < n0 ? v0 : n0;
      n1 = v1 < n1 ? v1 : n1;
      n2 = v2 < n2 ? v2 : n2;
      n3 = v3 < n3 ? v3 : n3;
      x0 = v0 > x0 ? v0 : x0;
      x1 = v1 > x1 ? v1 : x1;
      x2 = v2 > x2 ? v2 : x2;
      x3 = v3 > x3 ? v3 : x3;
    }
    for (; i < n; ++i) {
      const uint64_t v = key_at(i);
      n0 = v < n0 ? v : n0;
      x0 = v > x0 ? v : x0;
    }
    mn = std::min(std::min(n0, n1), std::min(n2, n3));
    mx = std::max(std::max(x0, x1), std::max(x2, x3));
  }
  bool first = true;
  for (;;) {
    if (mn == mx) return mn;
    if (n <= kSmall) {
      if (first)
        for (size_t i = 0; i < n; ++i) keys[i] = key_at(i);
      std::nth_element(keys, keys + (k - 1), keys + n);
      return keys[k - 1];
    }
    // About one bucket a key: clearing and walking the buckets costs no more than counting.
    const unsigned bits = std::clamp<unsigned>(static_cast<unsigned>(std::bit_width(n)), 6u, kMaxBits);
    const unsigned width = 64u - static_cast<unsigned>(std::countl_zero(mx - mn));
    const unsigned shift = width > bits ? width - bits : 0u;
    std::fill(counts, counts + (size_t{1} << bits), 0u);
    if (first) {
      for (size_t i = 0; i < n; ++i) ++counts[(key_at(i) - mn) >> shift];
    } else {
      for (size_t i = 0; i < n; ++i) ++counts[(keys[i] - mn) >> shift];
    }
    size_t b = 0, below = 0;
    while (below + counts[b] < k) below += counts[b++];
    // Survivors: the keys of bucket b (branch-free compaction); their range is taken after,
    // over the survivors alone.
    const uint64_t want = b;
    size_t m = 0;
    if (first) {
      for (size_t i = 0; i < n; ++i) {
        const uint64_t v = key_at(i);
        keys[m] = v;
        m += ((v - mn) >> shift) == want;
      }
    } else {
      for (size_t i = 0; i < n; ++i) {
        const uint64_t v = keys[i];
        keys[m] = v;
        m += ((v - mn) >> shift) == want;
      }
    }
    uint64_t nmn = ~uint64_t{0}, nmx = 0;
    for (size_t i = 0; i < m; ++i) {
      nmn = keys[i] < nmn ? keys[i] : nmn;
      nmx = keys[i] > nmx ? keys[i] : nmx;
    }
    first = false;
    n = m;
    k -= below;
    mn = nmn;
    mx = nmx;
  }
}

// Moves the candidates whose key is at most `t` to the front of b[0..n), keeping their
// order; returns how many there are. The others are overwritten.
inline size_t keep_at_most(Candidate* b, size_t n, uint64_t t) {
  size_t m = 0;
  for (size_t i = 0; i < n; ++i) {
    const Candidate c = b[i];
    b[m] = c;
    m += c.key <= t;
  }
  return m;
}

// Moves the candidates of b[0..n) for which keep(c) holds to the front (order kept) and the
// others behind them (order kept), without a branch per candidate; returns the number
// kept. tmp is scratch.
template <class Keep>
size_t partition_candidates(Candidate* b, size_t n, Keep&& keep, std::vector<Candidate>& tmp) {
  if (tmp.size() < n) tmp.resize(n);
  Candidate* back = tmp.data();
  size_t m = 0, o = 0;
  for (size_t i = 0; i < n; ++i) {
    const Candidate c = b[i];
    const bool k = keep(c);
    b[m] = c;
    back[o] = c;
    m += k;
    o += !k;
  }
  std::copy_n(back, o, b + m);
  return m;
}

// Per-thread scratch of the selections.
inline std::vector<uint64_t>& selection_scratch() {
  thread_local std::vector<uint64_t> s;
  return s;
}

// Keeps the cap best candidates of b[0..n) (estimate total order, then slot) at its front
// and returns their number, min(n, cap); *bound receives the largest surviving estimate,
// or +inf when nothing was dropped.
inline size_t compact_keep(Candidate* b, size_t n, uint32_t cap, float* bound) {
  *bound = std::numeric_limits<float>::infinity();
  if (n <= cap) return n;
  if (cap == 0) return 0;
  const uint64_t t = kth_smallest_key(n, cap, [b](size_t i) { return b[i].key; }, selection_scratch());
  const size_t m = keep_at_most(b, n, t);
  *bound = Candidate{t, 0.f}.estimate();
  return m;
}

// Keeps the cap best candidates (estimate total order, then slot) and returns the largest
// surviving estimate; leaves a buffer of at most cap entries alone and returns +inf.
inline float compact_bound(std::vector<Candidate>& buf, uint32_t cap) {
  float bound;
  buf.resize(compact_keep(buf.data(), buf.size(), cap, &bound));
  return bound;
}

// The pool steps shared by both forms below, over c[0..n): the r best to the front, then
// the others whose lower bound is at most the largest non-NaN estimate of those r, at most
// `extra_limit` of them (the smallest estimates); returns the number of those extras, which
// follow the r best.
inline size_t pool_best_and_extras(Candidate* c, size_t n, size_t r, size_t extra_limit, std::vector<Candidate>& tmp) {
  std::vector<uint64_t>& sel = selection_scratch();
  if (r > 0 && r < n) {
    const uint64_t t = kth_smallest_key(n, r, [c](size_t i) { return c[i].key; }, sel);
    partition_candidates(c, n, [t](const Candidate& x) { return x.key <= t; }, tmp);
  }
  float worst = -std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < r; ++i) {
    const float e = c[i].estimate();
    if (!std::isnan(e) && e > worst) worst = e;
  }
  // A NaN lower bound never qualifies (the comparison is false).
  size_t n_extras = partition_candidates(c + r, n - r, [worst](const Candidate& x) { return x.lower <= worst; }, tmp);
  if (n_extras > extra_limit) {
    if (extra_limit > 0) {
      Candidate* ex = c + r;
      const uint64_t t = kth_smallest_key(n_extras, extra_limit, [ex](size_t i) { return ex[i].key; }, sel);
      keep_at_most(ex, n_extras, t);
    }
    n_extras = extra_limit;
  }
  return n_extras;
}

// Rerank pool of the candidates c[0..L) (distinct slots), moved to the front of c in no
// particular order; returns its size. The pool is the r = min(R, L) best (estimate total
// order, then slot), then the other candidates whose lower bound is at most `worst`, the
// largest non-NaN estimate of those r (minus infinity when there is none; a NaN lower bound
// never qualifies), at most min(4R, L) - r of them: those with the smallest estimates when
// more qualify. tmp is scratch.
inline size_t choose_rerank_pool(Candidate* c, size_t L, uint32_t R, std::vector<Candidate>& tmp) {
  const size_t r = std::min<size_t>(R, L);
  return r + pool_best_and_extras(c, L, r, std::min<size_t>(sat_mul(4, R), L) - r, tmp);
}

// Histogram of estimates: counts every row offered to a thinned candidate buffer, so that
// the rank of a kept candidate among all offered rows can be bounded without keeping the
// rows. A row's bin is a monotone function of its total-order key (a larger key never gets a
// smaller bin), so the rows counted in the bins up to a key's own bin include every row
// whose key is at most that key; only that bin's rows above the key are over-counted.
inline constexpr size_t kEstimateBins = 4096;

struct EstimateBins {
  // bin(key) = (key - lo) >> shift, clamped to [0, kEstimateBins). The default covers every
  // key, an eighth of a binary octave a bin.
  uint32_t lo = 0;
  unsigned shift = 20;

  size_t bin(uint32_t key) const {
    const uint32_t d = key > lo ? key - lo : 0;
    return std::min<size_t>(d >> shift, kEstimateBins - 1);
  }

  // Two binary octaves either side of w (the keys of finite floats are 2^23 apart an
  // octave), 1/2048 of an octave a bin: the ranks that matter lie near the R-th best
  // estimate, where an eighth of an octave can hold thousands of rows. Keys outside the
  // window fall into the end bins, which stays sound. A non-finite w keeps the default.
  static EstimateBins around(float w) {
    EstimateBins b;
    if (!std::isfinite(w)) return b;
    constexpr uint32_t kHalf = uint32_t{1} << 24;
    const uint32_t k = total_order_key(w);
    b.lo = k > kHalf ? k - kHalf : 0;
    b.shift = 13;
    static_assert((kEstimateBins << 13) == 2 * (size_t{1} << 24));
    return b;
  }
};

// The thinned probe's histogram of offered estimates, counted only up to a top bin. The top
// starts at the last bin and comes down while the bins below it already hold cap rows, so the
// first bin whose running count reaches cap (the bin of the cap-th best key) never lies
// above it, and every offered row in a bin up to it is counted. The pool's rank check reads
// no bin above that one, and a large probe, most of whose rows lie above it once the cap
// best have been seen, stops counting them.
struct RankHistogram {
  std::vector<uint32_t> counts;  // kEstimateBins entries, then one scratch entry (thin_rows);
                                 // the entries above top are not counts
  EstimateBins bins;
  uint32_t top = kEstimateBins - 1;
  uint64_t upto = 0;  // counts[0] + ... + counts[top]

  void reset() {
    counts.assign(kEstimateBins + 1, 0);
    bins = EstimateBins{};
    top = kEstimateBins - 1;
    upto = 0;
  }
  // Takes `counted` rows added to bins at most top, then lowers top while the bins below it
  // hold at least cap rows.
  void settle(uint64_t counted, uint64_t cap) {
    upto += counted;
    if (top == 0 || upto - counts[top] < cap) return;
    // The first descent crosses most of the window: whole runs of 16 bins first.
    while (top >= 16) {
      const uint32_t* c = counts.data() + (top - 15);
      uint64_t r0 = 0, r1 = 0, r2 = 0, r3 = 0;  // four chains
      for (size_t i = 0; i < 16; i += 4) r0 += c[i], r1 += c[i + 1], r2 += c[i + 2], r3 += c[i + 3];
      const uint64_t run = (r0 + r1) + (r2 + r3);
      if (upto - run < cap) break;
      upto -= run;
      top -= 16;
    }
    while (top > 0 && upto - counts[top] >= cap) {
      upto -= counts[top];
      --top;
    }
  }
};

// The rerank pool of choose_rerank_pool over the cap best of `offered` rows, computed from a
// thinned buffer c[0..n) instead of those cap best. h must count every offered row whose
// bin is at most its top (h.upto being their number), where the bins up to top hold at
// least cap rows unless top is the last bin; the buffer must hold every offered row whose
// lower bound is not above the R-th best estimate (that holds each of the R best, and every
// row that can qualify as an extra), except rows that lay above the top bin as it stood
// when they were offered (they rank below the cap best). The cap best matter only through
// the extras, which must lie among them: extras the histogram places below the cap-th best
// key stay, those above it go; when an extra shares a bin with the cap-th best key, returns
// std::nullopt and the caller keeps the cap best the plain way. Otherwise the pool is at
// the front of c, as choose_rerank_pool leaves it. tmp is scratch.
inline std::optional<size_t> choose_rerank_pool_thinned(Candidate* c, size_t n, uint64_t offered, uint32_t cap,
                                                         uint32_t R, const RankHistogram& h,
                                                         std::vector<Candidate>& tmp) {
  const uint32_t* hist = h.counts.data();
  const EstimateBins& bins = h.bins;
  const size_t top = h.top;
  const size_t L = static_cast<size_t>(std::min<uint64_t>(cap, offered));
  const size_t r = std::min<size_t>(R, L);
  if (n < r) return std::nullopt;  // the buffer lost one of the R best: not a thinned buffer
  const size_t n_extras = pool_best_and_extras(c, n, r, std::min<size_t>(sat_mul(4, R), L) - r, tmp);
  const Candidate* ex = c + r;
  if (offered > cap && n_extras > 0) {
    // Every offered row with a key up to the last extra's lies in its bin or below.
    uint64_t last = 0;
    for (size_t i = 0; i < n_extras; ++i) last = ex[i].key > last ? ex[i].key : last;
    const size_t bin = bins.bin(static_cast<uint32_t>(last >> 32));
    // Above top the bins are not counted, but the bins up to top already hold cap rows.
    // Below it, summed from whichever end is nearer.
    uint64_t upto = uint64_t{cap} + 1;
    if (bin <= top) {
      if (2 * bin < top) {
        upto = 0;
        for (size_t b = 0; b <= bin; ++b) upto += hist[b];
      } else {
        upto = h.upto;
        for (size_t b = bin + 1; b <= top; ++b) upto -= hist[b];
      }
    }
    if (upto > cap) {
      // The cap-th smallest key lies in the first bin whose running count reaches cap: the
      // chosen extras in lower bins are among the cap best and those in higher bins are not,
      // which leaves the extras the cap best give (a prefix by key of the chosen ones). An
      // extra in that bin itself cannot be placed, unless the count reaches cap exactly at
      // its end.
      uint64_t run = 0;
      size_t cut = 0;
      for (; cut + 1 < kEstimateBins; ++cut) {
        run += hist[cut];
        if (run >= cap) break;
      }
      if (run < cap) run += hist[cut];
      size_t m = 0;
      for (size_t i = 0; i < n_extras; ++i) {
        const size_t b = bins.bin(static_cast<uint32_t>(ex[i].key >> 32));
        if (b == cut && run != cap) return std::nullopt;
        if (b <= cut) c[r + m++] = ex[i];
      }
      return r + m;
    }
  }
  return r + n_extras;
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

inline constexpr uint32_t kKeepInsertMax = 32;

// The k smallest (1 <= k) of n keys, key_at(i) giving key i, ascending into best[0 .. min(k,
// n)); returns how many. One pass keeps the k best so far sorted: a key enters only below the
// current k-th, which after the first few is rare. For a few best of a short list.
template <class KeyAt>
size_t smallest_sorted(size_t n, size_t k, KeyAt&& key_at, uint64_t* best) {
  size_t m = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint64_t v = key_at(i);
    if (m == k) {
      if (v >= best[k - 1]) continue;
      --m;
    }
    size_t j = m++;
    for (; j > 0 && best[j - 1] > v; --j) best[j] = best[j - 1];
    best[j] = v;
  }
  return m;
}

// The k smallest pairs under the distance order moved to the front, the rest dropped
// (survivors in no particular order). k = 0 empties the list; a list of at most k entries
// is left unchanged.
inline void keep_k_smallest(std::vector<ScoredPair>& list, uint32_t k) {
  if (k == 0) {
    list.clear();
    return;
  }
  if (list.size() <= k) return;
  if (list.size() >= 256) {
    // Larger lists (a rerank pool, a merged fallback list): the radix selection of the k-th
    // key, then one branch-free pass keeps the keys at most that one (exactly k: keys are
    // distinct).
    const size_t n = list.size();
    ScoredPair* p = list.data();
    const uint64_t t = kth_smallest_key(n, k, [p](size_t i) { return distance_key(p[i]); }, selection_scratch());
    size_t m = 0;
    for (size_t i = 0; i < n; ++i) {
      const ScoredPair x = p[i];
      p[m] = x;
      m += distance_key(x) <= t;
    }
    list.resize(m);
    return;
  }
  if (k <= kKeepInsertMax) {
    // A few best of a short list (the final k of a rerank pool). A key holds the pair whole
    // (distance bits, then slot).
    uint64_t best[kKeepInsertMax];
    const ScoredPair* p = list.data();
    smallest_sorted(list.size(), k, [p](size_t i) { return distance_key(p[i]); }, best);
    list.resize(k);
    for (size_t i = 0; i < k; ++i)
      list[i] = ScoredPair{std::bit_cast<float>(static_cast<uint32_t>(best[i] >> 32)), static_cast<uint32_t>(best[i])};
    return;
  }
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

}  // namespace ivf_rabitq::search
