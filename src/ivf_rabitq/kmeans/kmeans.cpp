#include "ivf_rabitq/kmeans/kmeans.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/common/parallel.hpp"

namespace ivf_rabitq::kmeans {

namespace {

using distance::PackedVectors;

constexpr float kInf = std::numeric_limits<float>::infinity();

// Rows actually present in `data` (a caller passing fewer values than n x dim must not
// make us read past the end).
size_t rows_available(std::span<const float> data, size_t n, size_t dim) {
  if (dim == 0) return n;
  return std::min(n, data.size() / dim);
}

size_t sat_mul(size_t a, size_t b) {
  size_t r;
  return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<size_t>::max() : r;
}

// floor(i x n / d) without overflow for any i < d (the product fits 64 bits whenever the
// inputs are realistic; 128 bits keep it exact regardless).
size_t strided(size_t i, size_t n, size_t d) {
  return static_cast<size_t>((static_cast<unsigned __int128>(i) * n) / d);
}

void copy_row(float* dst, const float* data, size_t row, size_t dim) {
  if (dim) std::memcpy(dst, data + row * dim, dim * sizeof(float));
}

constexpr size_t kMaxKmeansppClusters = 1024;
constexpr int kItersKmeanspp = 10;
constexpr int kItersRandom = 13;

// Training sample: evenly strided candidates (at most max(50,000, 40 kp) of the n rows)
// whose squared norm is finite, in ascending row order.
std::vector<size_t> finite_sample(const float* data, size_t n, size_t dim, size_t kp) {
  const size_t n_train = std::min(n, std::max<size_t>(50000, sat_mul(40, kp)));
  return parallel::collect_chunks<size_t>(n_train, 4096, [&](size_t b, size_t e) {
    std::vector<size_t> keep;
    keep.reserve(e - b);
    for (size_t i = b; i < e; ++i) {
      const size_t r = strided(i, n, n_train);
      const float* row = data + r * dim;
      float acc = 0.0f;
      for (size_t j = 0; j < dim; ++j) {
        float s = row[j] * row[j];
        acc = acc + s;
      }
      if (std::isfinite(acc)) keep.push_back(r);
    }
    return keep;
  });
}

// The k-means++ draw among the m subsample rows `sub`: proportional to `weight` (the
// double sum of the f32 weights in order, scanned in order), uniform when no weight is
// positive.
size_t draw_weighted(const std::vector<float>& weight, const std::vector<size_t>& sub, uint64_t x) {
  const size_t m = sub.size();
  double total = -0.0;
  for (size_t l = 0; l < m; ++l) total += static_cast<double>(weight[l]);
  if (total <= 0) return sub[detail::Xorshift64::index_of(x, m)];
  double target = detail::Xorshift64::real_of(x) * total;
  for (size_t l = 0; l < m; ++l) {
    target -= static_cast<double>(weight[l]);
    if (target <= 0) return sub[l];
  }
  return sub[0];
}

// k-means++ seeding of kp centroids on an evenly strided subsample of the training sample.
void seed_kmeanspp(simd::Level level, const float* data, size_t dim, const std::vector<size_t>& sample, size_t kp,
                   detail::Xorshift64& rng, std::vector<float>& cent) {
  const size_t n_s = sample.size();
  const size_t m = std::min(n_s, std::max<size_t>(8192, 32 * kp));
  std::vector<size_t> sub(m);
  for (size_t l = 0; l < m; ++l) sub[l] = sample[strided(l, n_s, m)];
  const PackedVectors packed = PackedVectors::pack_indexed(data, dim, sub.data(), m);
  copy_row(cent.data(), data, sub[detail::Xorshift64::index_of(rng.next(), m)], dim);
  std::vector<float> weight(m, kInf);
  std::vector<float> dist(packed.blocks() * distance::kBlock);
  for (size_t c = 1; c < kp; ++c) {
    // Each row's weight: its squared distance to the nearest centroid picked so far.
    const float* prev = cent.data() + (c - 1) * dim;
    parallel::for_chunks(packed.blocks(), 16, [&](size_t b0, size_t b1) {
      distance::sq_l2_blocks(level, prev, packed, b0, b1, dist.data() + b0 * distance::kBlock);
      const size_t e = std::min(m, b1 * distance::kBlock);
      for (size_t l = b0 * distance::kBlock; l < e; ++l) {
        if (dist[l] < weight[l]) weight[l] = dist[l];
      }
    });
    copy_row(cent.data() + c * dim, data, draw_weighted(weight, sub, rng.next()), dim);
  }
}

// Seeding by random distinct picks: a partial Fisher-Yates shuffle of the sample (cycling
// through it when kp exceeds the sample).
void seed_random(const float* data, size_t dim, const std::vector<size_t>& sample, size_t kp, detail::Xorshift64& rng,
                 std::vector<float>& cent) {
  const size_t n_s = sample.size();
  std::vector<size_t> perm = sample;
  for (size_t i = 0; i < kp; ++i) {
    if (i < n_s) {
      const size_t s = i + detail::Xorshift64::index_of(rng.next(), n_s - i);
      std::swap(perm[i], perm[s]);
      copy_row(cent.data() + i * dim, data, perm[i], dim);
    } else {
      copy_row(cent.data() + i * dim, data, perm[i % n_s], dim);
    }
  }
}

// Lloyd iterations over the training sample, refining `cent` in place. Each round assigns
// every sample row to its nearest centroid, groups the rows by cluster, replaces each
// non-empty cluster's centroid by its mean and (except after the last round) refills empty
// clusters with rows of the largest one.
class Lloyd {
 public:
  Lloyd(simd::Level level, const float* data, size_t dim, const std::vector<size_t>& sample, size_t kp,
        std::vector<float>& cent)
      : level_(level),
        data_(data),
        dim_(dim),
        sample_(sample),
        n_s_(sample.size()),
        kp_(kp),
        cent_(cent),
        assign_(n_s_, 0),
        counts_(kp),
        offsets_(kp + 1),
        members_(n_s_) {}

  void round(int t, int rounds, detail::Xorshift64& rng) {
    assign_rows(t > 1);
    group_by_cluster();
    update_means();
    if (t < rounds) refill_empty(rng);
  }

 private:
  // Nearest centroid of every sample row; from the second round on, the previous
  // assignment is the hint (it never changes the result, only the speed).
  void assign_rows(bool hinted) {
    packed_.assign(cent_.data(), kp_, dim_);
    parallel::for_chunks(n_s_, 256, [&](size_t b, size_t e) {
      for (size_t p = b; p < e; ++p) {
        const uint32_t hint = hinted ? assign_[p] : distance::kNoHint;
        assign_[p] = distance::nearest(level_, data_ + sample_[p] * dim_, packed_, hint).index;
      }
    });
  }

  // Counts per cluster, and the sample positions grouped by cluster (ascending within each).
  void group_by_cluster() {
    std::fill(counts_.begin(), counts_.end(), 0u);
    for (size_t p = 0; p < n_s_; ++p) ++counts_[assign_[p]];
    offsets_[0] = 0;
    for (size_t c = 0; c < kp_; ++c) offsets_[c + 1] = offsets_[c] + counts_[c];
    std::vector<size_t> fill(offsets_.begin(), offsets_.end() - 1);
    for (size_t p = 0; p < n_s_; ++p) members_[fill[assign_[p]]++] = p;
  }

  // Each cluster's coordinate sums add its rows in ascending sample order, exactly as one
  // sequential pass over the sample would; clusters are independent, so they run in
  // parallel. The mean multiplies by the f32 reciprocal of the count.
  void update_means() {
    parallel::for_chunks(kp_, 8, [&](size_t c0, size_t c1) {
      std::vector<float> sums(dim_);
      for (size_t c = c0; c < c1; ++c) {
        if (counts_[c] == 0) continue;  // keeps its previous centroid
        std::fill(sums.begin(), sums.end(), 0.0f);
        for (size_t i = offsets_[c]; i < offsets_[c + 1]; ++i) {
          const float* row = data_ + sample_[members_[i]] * dim_;
          for (size_t j = 0; j < dim_; ++j) sums[j] = sums[j] + row[j];
        }
        const float inv = 1.0f / static_cast<float>(counts_[c]);
        float* dst = cent_.data() + c * dim_;
        for (size_t j = 0; j < dim_; ++j) dst[j] = sums[j] * inv;
      }
    });
  }

  // Refill empty clusters with rows of the largest one (first maximum wins): from a random
  // sample position, the first row (cyclically) assigned to the largest cluster.
  void refill_empty(detail::Xorshift64& rng) {
    size_t big = 0;
    for (size_t c = 1; c < kp_; ++c) {
      if (counts_[c] > counts_[big]) big = c;
    }
    if (counts_[big] < 2) return;
    for (size_t e = 0; e < kp_; ++e) {
      if (counts_[e] != 0) continue;
      size_t p = detail::Xorshift64::index_of(rng.next(), n_s_);
      for (size_t visited = 0; visited < n_s_; ++visited) {
        if (assign_[p] == big) {
          copy_row(cent_.data() + e * dim_, data_, sample_[p], dim_);
          counts_[e] = 1;
          break;
        }
        p = (p + 1 == n_s_) ? 0 : p + 1;
      }
    }
  }

  simd::Level level_;
  const float* data_;
  size_t dim_;
  const std::vector<size_t>& sample_;
  size_t n_s_;
  size_t kp_;
  std::vector<float>& cent_;
  std::vector<uint32_t> assign_;
  std::vector<uint32_t> counts_;
  std::vector<size_t> offsets_;
  std::vector<size_t> members_;  // sample positions grouped by cluster, ascending within each
  PackedVectors packed_;
};

std::vector<float> train(simd::Level level, const float* data, size_t n, size_t dim, size_t k, uint64_t seed) {
  const size_t kp = std::max<size_t>(std::min(k, n), 1);
  if (n == 0) return std::vector<float>(dim, 0.0f);
  std::vector<float> cent(kp * dim, 0.0f);
  const std::vector<size_t> sample = finite_sample(data, n, dim, kp);
  if (sample.empty()) return cent;

  detail::Xorshift64 rng(seed);
  int rounds;
  if (kp <= kMaxKmeansppClusters) {
    seed_kmeanspp(level, data, dim, sample, kp, rng, cent);
    rounds = kItersKmeanspp;
  } else {
    seed_random(data, dim, sample, kp, rng, cent);
    rounds = kItersRandom;
  }

  // Lloyd iterations (fixed count, no convergence test).
  Lloyd lloyd(level, data, dim, sample, kp, cent);
  for (int t = 1; t <= rounds; ++t) lloyd.round(t, rounds, rng);
  return cent;
}

// The IEEE 754 total order of f32 as an unsigned order: negative values (sign set) have
// all bits flipped, the others only the sign bit. The mapping is one-to-one.
uint32_t total_order_key(float d) {
  uint32_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return (bits >> 31) ? ~bits : bits ^ 0x80000000u;
}

float from_total_order_key(uint32_t key) {
  const uint32_t bits = (key >> 31) ? key ^ 0x80000000u : ~key;
  float d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// Stable sort of items by their high 32 bits: least significant byte first, one counting
// pass per byte (passes where every item has the same byte are skipped). Stability keeps
// equal distances in the order the list was built, ascending index.
void radix_sort_by_high_word(uint64_t* items, uint64_t* tmp, size_t len) {
  uint64_t* src = items;
  uint64_t* dst = tmp;
  for (int shift = 32; shift < 64; shift += 8) {
    size_t count[256] = {};
    for (size_t i = 0; i < len; ++i) ++count[(src[i] >> shift) & 0xFF];
    if (count[(src[0] >> shift) & 0xFF] == len) continue;
    size_t pos = 0;
    for (size_t b = 0; b < 256; ++b) {
      const size_t c = count[b];
      count[b] = pos;
      pos += c;
    }
    for (size_t i = 0; i < len; ++i) dst[count[(src[i] >> shift) & 0xFF]++] = src[i];
    std::swap(src, dst);
  }
  if (src != items) std::memcpy(items, src, len * sizeof(uint64_t));
}

}  // namespace

namespace detail {

std::vector<float> kmeans_at(simd::Level level, std::span<const float> data, size_t n, size_t dim, size_t k,
                             uint64_t seed) {
  return train(level, data.data(), rows_available(data, n, dim), dim, k, seed);
}

}  // namespace detail

std::vector<float> kmeans(std::span<const float> data, size_t n, size_t dim, size_t k, uint64_t seed) {
  return detail::kmeans_at(simd::active_level(), data, n, dim, k, seed);
}

NeighborLists centroid_neighbor_lists(std::span<const float> centroids, size_t dim, size_t k) {
  k = rows_available(centroids, k, dim);
  NeighborLists out;
  out.k_ = k;
  if (k <= 1) return out;
  const size_t len = k - 1;
  out.entries_.resize(sat_mul(k, len));
  const PackedVectors packed = PackedVectors::pack(centroids.data(), k, dim);
  parallel::for_chunks(k, 8, [&](size_t c0, size_t c1) {
    std::vector<float> dist(packed.blocks() * distance::kBlock);
    std::vector<uint64_t> items(len), tmp(len);
    for (size_t c = c0; c < c1; ++c) {
      distance::sq_l2_all(centroids.data() + c * dim, packed, dist.data());
      for (size_t j = 0; j < k; ++j) dist[j] = std::sqrt(dist[j]);
      // (key of the distance, index), built in ascending index order, sorted stably by key.
      size_t w = 0;
      for (size_t j = 0; j < k; ++j) {
        if (j == c) continue;
        items[w++] = (uint64_t{total_order_key(dist[j])} << 32) | j;
      }
      radix_sort_by_high_word(items.data(), tmp.data(), len);
      Neighbor* list = out.entries_.data() + c * len;
      for (size_t i = 0; i < len; ++i) {
        list[i] = Neighbor{from_total_order_key(static_cast<uint32_t>(items[i] >> 32)),
                           static_cast<uint32_t>(items[i])};
      }
    }
  });
  return out;
}

namespace {

// The greedy descent of one row, reusable across rows of one thread.
//
// The walk is defined entry by entry: from the current centroid `cur` (Euclidean distance
// b = sqrt of the squared distance sb), scan its list; an entry at list distance d >= t =
// b + b ends the walk; otherwise the entry's centroid j is measured (e = sqrt of its squared
// distance) and the walk moves to j when e < b. Three things make it cheap without
// changing a single decision:
//  - Lanes: the next entries up to the stop are measured together, one SIMD lane per
//    centroid, each lane summing its terms in coordinate order (the same bits as the
//    scalar sum). The results are then replayed in list order; a move discards the rest.
//  - Abandon: a batch stops early once every lane's partial sum is >= sb (or NaN). Partial
//    sums never decrease and sqrt is monotone, so each such lane has e >= b: no move.
//  - Seen: a centroid measured earlier in this walk had e >= b at that time (or became the
//    current centroid with b = e), and b only decreases, so it can never be a move again.
//    It is skipped; its list entry still takes part in the stop test.
// The first batch measures centroid 0 together with the head of its own list (the stop
// threshold is not known before centroid 0's distance).
class Walker {
 public:
  Walker(simd::Level level, std::span<const float> centroids, size_t dim, const NeighborLists& lists)
      : lanes_(distance::detail::lanes_fn(level)),
        cents_(centroids.data()),
        dim_(dim),
        k_(rows_available(centroids, lists.k(), dim)),
        lists_(lists),
        seen_((k_ + 63) / 64) {}

  size_t walk(const float* q) {
    if (k_ == 0) return 0;
    std::fill(seen_.begin(), seen_.end(), 0);
    // First batch: centroid 0 in lane 0, then the head of list 0.
    std::span<const Neighbor> list = lists_.list(0);
    ptr_[0] = cents_;
    size_t cnt = 1, p = 0;
    for (; p < list.size() && cnt < distance::kMaxLanes; ++p) {
      if (list[p].index >= k_) continue;
      pos_[cnt] = p;
      ptr_[cnt++] = cents_ + static_cast<size_t>(list[p].index) * dim_;
    }
    lanes_(q, ptr_, cnt, dim_, false, 0.0f, val_);
    mark(0);
    size_t cur = 0;
    float sb = val_[0];
    float b = std::sqrt(sb);
    size_t first = 1;
    // A b of 0 or NaN admits no move (nothing is strictly below it).
    while (b > 0) {
      const float t = b + b;
      list = lists_.list(cur);
      size_t scan = 0;  // list positions below `scan` have passed the stop test
      bool stop = false, moved = false;
      for (;;) {
        // Replay lanes [first, cnt) of the batch in list order.
        for (size_t i = first; i < cnt; ++i) {
          for (; scan <= pos_[i]; ++scan) {
            if (list[scan].dist >= t) return cur;
          }
          const uint32_t j = list[pos_[i]].index;
          const float e = std::sqrt(val_[i]);
          mark(j);
          if (e < b) {
            cur = j;
            b = e;
            sb = val_[i];
            moved = true;
            break;
          }
        }
        if (moved || stop) break;
        for (; scan < p; ++scan) {
          if (list[scan].dist >= t) return cur;
        }
        // Next batch: the unseen entries from p up to the stop.
        cnt = 0;
        first = 0;
        for (; p < list.size(); ++p) {
          const Neighbor& nb = list[p];
          if (nb.dist >= t) {
            stop = true;
            break;
          }
          if (nb.index >= k_ || is_seen(nb.index)) continue;
          pos_[cnt] = p;
          ptr_[cnt++] = cents_ + static_cast<size_t>(nb.index) * dim_;
          if (cnt == distance::kMaxLanes) {
            ++p;
            break;
          }
        }
        scan = p;
        if (cnt == 0) return cur;  // stop reached or list exhausted
        if (!lanes_(q, ptr_, cnt, dim_, true, sb, val_)) {
          // Abandoned: no lane can be a move.
          for (size_t i = 0; i < cnt; ++i) mark(list[pos_[i]].index);
          if (stop) return cur;
          cnt = 0;
        }
      }
      if (!moved) return cur;
      // Walk the new centroid's list from its start.
      first = 0;
      cnt = 0;
      p = 0;
    }
    return cur;
  }

 private:
  void mark(size_t j) { seen_[j >> 6] |= uint64_t{1} << (j & 63); }
  bool is_seen(size_t j) const { return (seen_[j >> 6] >> (j & 63)) & 1; }

  distance::detail::LanesFn lanes_;
  const float* cents_;
  size_t dim_;
  size_t k_;
  const NeighborLists& lists_;
  std::vector<uint64_t> seen_;
  const float* ptr_[distance::kMaxLanes];
  size_t pos_[distance::kMaxLanes];
  float val_[distance::kMaxLanes];
};

// The descent for many rows: the same decisions as Walker, but the distances come from a
// packed (coordinate-major) copy of the centroids, computed a whole block of 16 centroids
// at a time and kept for the rest of the row's walk. A block is computed when the walk
// first needs one of its centroids, together with up to three more blocks needed by the
// entries just ahead, under the current bound: a block whose partial sums all reach
// sqrt_floor_of(b) is given up, and since b only decreases none of its centroids can ever
// be a move; it is recorded as +infinity. The move test e < b is made on squared distances
// against sqrt_floor_of(b), which is the same test. Centroids of blocks not computed yet
// read as -1 (below any bound), so the hot loop over a list makes one comparison per entry
// besides the stop test.
class PackedWalker {
 public:
  PackedWalker(simd::Level level, const PackedVectors& packed, size_t k, const NeighborLists& lists)
      : pick_(distance::detail::pick_fn(level)),
        packed_(packed),
        k_(k),
        lists_(lists),
        val_(std::max(packed.blocks() * distance::kBlock, lists.k()), kInf) {}

  size_t walk(const float* q) {
    if (k_ == 0) return 0;
    std::fill_n(val_.data(), k_, kNotReady);
    // Block 0 (centroid 0) and the blocks of the head of list 0, without a bound.
    std::span<const Neighbor> list = lists_.list(0);
    uint32_t blk[distance::kMaxPick] = {0};
    size_t cnt = 1;
    for (size_t p = 0; p < list.size() && p < 64 && cnt < distance::kMaxPick; ++p) {
      if (list[p].index < k_) add_block(blk, cnt, list[p].index / distance::kBlock);
    }
    compute(q, blk, cnt, false, 0.0f);
    size_t cur = 0;
    float b = std::sqrt(val_[0]);
    const float* val = val_.data();
    while (b > 0) {  // a b of 0 or NaN admits no move
      const float t = b + b;
      const float below = detail::sqrt_floor_of(b);
      list = lists_.list(cur);
      const Neighbor* nb = list.data();
      const size_t len = list.size();
      bool moved = false;
      for (size_t p = 0; p < len; ++p) {
        if (nb[p].dist >= t) return cur;
        const uint32_t j = nb[p].index;
        if (!(val[j] < below)) continue;
        if (val[j] == kNotReady) {
          // This block and the next unready ones the walk is about to need.
          blk[0] = j / distance::kBlock;
          cnt = 1;
          for (size_t r = p + 1; r < len && r < p + 64 && cnt < distance::kMaxPick; ++r) {
            if (nb[r].dist >= t) break;
            if (val[nb[r].index] == kNotReady) add_block(blk, cnt, nb[r].index / distance::kBlock);
          }
          compute(q, blk, cnt, true, below);
          if (!(val[j] < below)) continue;
        }
        cur = j;
        b = std::sqrt(val[j]);
        moved = true;
        break;
      }
      if (!moved) return cur;
    }
    return cur;
  }

 private:
  static constexpr float kNotReady = -1.0f;

  static void add_block(uint32_t* blk, size_t& cnt, size_t b) {
    for (size_t i = 0; i < cnt; ++i) {
      if (blk[i] == b) return;
    }
    blk[cnt++] = static_cast<uint32_t>(b);
  }

  void compute(const float* q, const uint32_t* blk, size_t cnt, bool abandon, float bound) {
    const unsigned gave_up = pick_(q, packed_.data(), packed_.dim(), packed_.size(), blk, cnt, abandon, bound,
                                   val_.data());
    for (size_t i = 0; i < cnt; ++i) {
      float* v = val_.data() + static_cast<size_t>(blk[i]) * distance::kBlock;
      if (gave_up >> i & 1) std::fill_n(v, distance::kBlock, kInf);
      // Padding lanes of the last block (and list entries beyond the centroid slice) are
      // never measured: they stay +infinity.
      const size_t end = (static_cast<size_t>(blk[i]) + 1) * distance::kBlock;
      if (end > k_) std::fill(val_.data() + k_, val_.data() + end, kInf);
    }
  }

  distance::detail::PickFn pick_;
  const PackedVectors& packed_;
  size_t k_;
  const NeighborLists& lists_;
  // Per centroid of the current row: its squared distance, +inf when it can never be a
  // move, kNotReady while its block is not computed. Entries from k on are always +inf.
  std::vector<float> val_;
};

}  // namespace

namespace detail {

float sqrt_floor_of(float b) {
  if (!(b > 0)) return b == 0 ? 0.0f : b;
  if (b == kInf) return kInf;
  float x = b * b;  // within a few units in the last place of the answer (or 0 / inf)
  while (x > 0) {
    const float lower = std::nextafter(x, 0.0f);
    if (!(std::sqrt(lower) >= b)) break;
    x = lower;
  }
  while (!(std::sqrt(x) >= b)) x = std::nextafter(x, kInf);
  return x;
}

size_t assign_one_exact_at(simd::Level level, std::span<const float> row, std::span<const float> centroids,
                           size_t dim, const NeighborLists& lists) {
  if (row.size() < dim) return 0;
  Walker w(level, centroids, dim, lists);
  return w.walk(row.data());
}

std::vector<uint32_t> assign_all_exact_at(simd::Level level, std::span<const float> data, size_t n, size_t dim,
                                          std::span<const float> centroids, const NeighborLists& lists) {
  const size_t avail = rows_available(data, n, dim);
  const size_t k = rows_available(centroids, lists.k(), dim);
  std::vector<uint32_t> out(n, 0);
  if (k == 0 || avail == 0) return out;
  const PackedVectors packed = PackedVectors::pack(centroids.data(), k, dim);
  parallel::for_chunks(avail, 64, [&](size_t b, size_t e) {
    PackedWalker w(level, packed, k, lists);
    for (size_t i = b; i < e; ++i) out[i] = static_cast<uint32_t>(w.walk(data.data() + i * dim));
  });
  return out;
}

}  // namespace detail

size_t assign_one_exact(std::span<const float> row, std::span<const float> centroids, size_t dim,
                        const NeighborLists& lists) {
  return detail::assign_one_exact_at(simd::active_level(), row, centroids, dim, lists);
}

std::vector<uint32_t> assign_all_exact(std::span<const float> data, size_t n, size_t dim,
                                       std::span<const float> centroids, const NeighborLists& lists) {
  return detail::assign_all_exact_at(simd::active_level(), data, n, dim, centroids, lists);
}

std::vector<uint32_t> assign_brute_force(std::span<const float> data, size_t n, size_t dim,
                                         std::span<const float> centroids, size_t k) {
  const size_t avail = rows_available(data, n, dim);
  k = rows_available(centroids, k, dim);
  std::vector<uint32_t> out(n, 0);
  if (k == 0) return out;
  const PackedVectors packed = PackedVectors::pack(centroids.data(), k, dim);
  const simd::Level level = simd::active_level();
  parallel::for_chunks(avail, 128, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) out[i] = distance::nearest(level, data.data() + i * dim, packed).index;
  });
  return out;
}

}  // namespace ivf_rabitq::kmeans
