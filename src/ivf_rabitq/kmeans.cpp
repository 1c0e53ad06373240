#include "ivf_rabitq/kmeans.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "ivf_rabitq/distance.hpp"
#include "ivf_rabitq/parallel.hpp"

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

std::vector<float> train(simd::Level level, const float* data, size_t n, size_t dim, size_t k, uint64_t seed) {
  const size_t kp = std::max<size_t>(std::min(k, n), 1);
  if (n == 0) return std::vector<float>(dim, 0.0f);
  std::vector<float> cent(kp * dim, 0.0f);

  // Training sample: evenly strided candidates whose squared norm is finite.
  const size_t n_train = std::min(n, std::max<size_t>(50000, sat_mul(40, kp)));
  const std::vector<size_t> sample = parallel::collect_chunks<size_t>(n_train, 4096, [&](size_t b, size_t e) {
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
  const size_t n_s = sample.size();
  if (n_s == 0) return cent;

  detail::Xorshift64 rng(seed);
  int rounds;
  if (kp <= kMaxKmeansppClusters) {
    // k-means++ on an evenly strided subsample of the training sample.
    const size_t m = std::min(n_s, std::max<size_t>(8192, 32 * kp));
    std::vector<size_t> sub(m);
    for (size_t l = 0; l < m; ++l) sub[l] = sample[strided(l, n_s, m)];
    const PackedVectors packed = PackedVectors::pack_indexed(data, dim, sub.data(), m);
    copy_row(cent.data(), data, sub[detail::Xorshift64::index_of(rng.next(), m)], dim);
    std::vector<float> weight(m, kInf);
    std::vector<float> dist(packed.blocks() * distance::kBlock);
    for (size_t c = 1; c < kp; ++c) {
      const float* prev = cent.data() + (c - 1) * dim;
      parallel::for_chunks(packed.blocks(), 16, [&](size_t b0, size_t b1) {
        distance::sq_l2_blocks(level, prev, packed, b0, b1, dist.data() + b0 * distance::kBlock);
        const size_t e = std::min(m, b1 * distance::kBlock);
        for (size_t l = b0 * distance::kBlock; l < e; ++l) {
          if (dist[l] < weight[l]) weight[l] = dist[l];
        }
      });
      double total = -0.0;
      for (size_t l = 0; l < m; ++l) total += static_cast<double>(weight[l]);
      const uint64_t x = rng.next();
      size_t pick;
      if (total <= 0) {
        pick = sub[detail::Xorshift64::index_of(x, m)];
      } else {
        double target = detail::Xorshift64::real_of(x) * total;
        pick = sub[0];
        for (size_t l = 0; l < m; ++l) {
          target -= static_cast<double>(weight[l]);
          if (target <= 0) {
            pick = sub[l];
            break;
          }
        }
      }
      copy_row(cent.data() + c * dim, data, pick, dim);
    }
    rounds = kItersKmeanspp;
  } else {
    // Random distinct picks: a partial Fisher-Yates shuffle of the sample.
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
    rounds = kItersRandom;
  }

  // Lloyd iterations (fixed count, no convergence test).
  std::vector<uint32_t> assign(n_s, 0);
  std::vector<uint32_t> counts(kp);
  std::vector<size_t> offsets(kp + 1);
  std::vector<size_t> members(n_s);  // sample positions grouped by cluster, ascending within each
  PackedVectors packed;
  for (int t = 1; t <= rounds; ++t) {
    packed.assign(cent.data(), kp, dim);
    const bool hinted = t > 1;
    parallel::for_chunks(n_s, 256, [&](size_t b, size_t e) {
      for (size_t p = b; p < e; ++p) {
        const uint32_t hint = hinted ? assign[p] : distance::kNoHint;
        assign[p] = distance::nearest(level, data + sample[p] * dim, packed, hint).index;
      }
    });

    std::fill(counts.begin(), counts.end(), 0u);
    for (size_t p = 0; p < n_s; ++p) ++counts[assign[p]];
    offsets[0] = 0;
    for (size_t c = 0; c < kp; ++c) offsets[c + 1] = offsets[c] + counts[c];
    {
      std::vector<size_t> fill(offsets.begin(), offsets.end() - 1);
      for (size_t p = 0; p < n_s; ++p) members[fill[assign[p]]++] = p;
    }
    // Each cluster's coordinate sums add its rows in ascending sample order, exactly as one
    // sequential pass over the sample would; clusters are independent, so they run in
    // parallel. The mean multiplies by the f32 reciprocal of the count.
    parallel::for_chunks(kp, 8, [&](size_t c0, size_t c1) {
      std::vector<float> sums(dim);
      for (size_t c = c0; c < c1; ++c) {
        if (counts[c] == 0) continue;  // keeps its previous centroid
        std::fill(sums.begin(), sums.end(), 0.0f);
        for (size_t i = offsets[c]; i < offsets[c + 1]; ++i) {
          const float* row = data + sample[members[i]] * dim;
          for (size_t j = 0; j < dim; ++j) sums[j] = sums[j] + row[j];
        }
        const float inv = 1.0f / static_cast<float>(counts[c]);
        float* dst = cent.data() + c * dim;
        for (size_t j = 0; j < dim; ++j) dst[j] = sums[j] * inv;
      }
    });

    if (t < rounds) {
      // Refill empty clusters with rows of the largest one (first maximum wins).
      size_t big = 0;
      for (size_t c = 1; c < kp; ++c) {
        if (counts[c] > counts[big]) big = c;
      }
      if (counts[big] >= 2) {
        for (size_t e = 0; e < kp; ++e) {
          if (counts[e] != 0) continue;
          size_t p = detail::Xorshift64::index_of(rng.next(), n_s);
          for (size_t visited = 0; visited < n_s; ++visited) {
            if (assign[p] == big) {
              copy_row(cent.data() + e * dim, data, sample[p], dim);
              counts[e] = 1;
              break;
            }
            p = (p + 1 == n_s) ? 0 : p + 1;
          }
        }
      }
    }
  }
  return cent;
}

int32_t total_order_key(float d) {
  uint32_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  bits ^= (bits >> 31) ? 0x7FFFFFFFu : 0u;
  return static_cast<int32_t>(bits);
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
    for (size_t c = c0; c < c1; ++c) {
      distance::sq_l2_all(centroids.data() + c * dim, packed, dist.data());
      Neighbor* list = out.entries_.data() + c * len;
      size_t w = 0;
      for (size_t j = 0; j < k; ++j) {
        if (j == c) continue;
        list[w++] = Neighbor{std::sqrt(dist[j]), static_cast<uint32_t>(j)};
      }
      // Equivalent to a stable sort of the list built in ascending index order.
      std::sort(list, list + len, [](const Neighbor& a, const Neighbor& b) {
        const int32_t ka = total_order_key(a.dist), kb = total_order_key(b.dist);
        return ka != kb ? ka < kb : a.index < b.index;
      });
    }
  });
  return out;
}

size_t assign_one_exact(std::span<const float> row, std::span<const float> centroids, size_t dim,
                        const NeighborLists& lists) {
  const size_t k = rows_available(centroids, lists.k(), dim);
  if (k == 0 || row.size() < dim) return 0;
  const float* q = row.data();
  const float* cents = centroids.data();
  size_t cur = 0;
  float b = std::sqrt(distance::sq_l2(q, cents, dim));
  for (;;) {
    const float t = b + b;
    bool moved = false;
    for (const Neighbor& nb : lists.list(cur)) {
      if (nb.dist >= t) break;  // triangle inequality: nothing further on is strictly closer
      if (nb.index >= k) continue;
      const float e = std::sqrt(distance::sq_l2(q, cents + static_cast<size_t>(nb.index) * dim, dim));
      if (e < b) {
        cur = nb.index;
        b = e;
        moved = true;
        break;
      }
    }
    if (!moved) return cur;
  }
}

std::vector<uint32_t> assign_all_exact(std::span<const float> data, size_t n, size_t dim,
                                       std::span<const float> centroids, const NeighborLists& lists) {
  const size_t avail = rows_available(data, n, dim);
  std::vector<uint32_t> out(n, 0);
  parallel::for_chunks(avail, 64, [&](size_t b, size_t e) {
    for (size_t i = b; i < e; ++i) {
      out[i] = static_cast<uint32_t>(assign_one_exact(data.subspan(i * dim, dim), centroids, dim, lists));
    }
  });
  return out;
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
