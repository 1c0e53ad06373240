// Dense search and exact search against a deliberately plain model of both: every stage
// written out step by step (scalar distances, the estimate formula term by term, candidate
// buffers with their bound and compaction, rounds and chunks, full sorts instead of
// selections), run on many random small segments with random filters, tombstones, delta
// rows, duplicate rows and duplicate centroids, and random k / nprobe / rerank including 0,
// 1 and huge values. Engine and model must agree slot for slot and bit for bit at every
// pool size (and at every SIMD level: run the binary under TANDREL_SIMD=scalar|avx2|avx512).
// The "edge cases" tests below pin single rules with small hand-made situations.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/kmeans/distance.hpp"
#include "ivf_rabitq/builder/build.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/search/search.hpp"
#include "ivf_rabitq/search/search_view.hpp"
#include "ivf_rabitq/search/topk.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/common/simd.hpp"

namespace builder = ivf_rabitq::builder;
namespace live = ivf_rabitq::live;
namespace search = ivf_rabitq::search;
namespace ix = ivf_rabitq::index;
namespace codec = ivf_rabitq::codec;
namespace quant = ivf_rabitq::quant;
namespace storage = ivf_rabitq::storage;
namespace par = ivf_rabitq::parallel;
using search::SlotDistance;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr uint64_t kMax32 = 4294967295u;

uint32_t sat(uint64_t v) { return static_cast<uint32_t>(std::min<uint64_t>(v, kMax32)); }

// ---------------------------------------------------------------------------------------
// Random segments
// ---------------------------------------------------------------------------------------

struct Shape {
  size_t n = 300;         // main rows
  size_t dim = 16;
  size_t clusters = 6;
  uint32_t bits = 2;
  bool new_layout = true;
  bool origscale = true;  // per-row exponents; else segment-scale rows
  size_t delta = 0;       // delta rows
  bool dup_rows = false;  // some rows (main and delta) repeat earlier rows exactly
  bool dup_centroids = false;
  bool empty_cluster = false;  // one cluster owns no main row
};

struct Segment {
  Shape sh;
  size_t pad = 0, words = 0, k = 0;
  uint32_t n = 0;
  float quant_scale = 1.f;
  codec::Rotator rot;
  std::vector<float> centroids_rot;
  ivf_rabitq::distance::PackedVectors packed;
  std::vector<uint32_t> offsets;
  std::vector<uint64_t> codes;
  std::vector<float> metas;
  std::vector<uint8_t> orig, origscale;
  std::vector<float> by_slot;  // float rows in slot order, delta rows after the main rows
  storage::Delta delta;
  storage::Tombstones tombs;
  storage::DeltaClusterLists lists;

  size_t D() const { return rot.new_layout ? sh.dim : pad; }

  uint32_t nearest(const std::vector<float>& r) const {
    uint32_t best = 0;
    float bd = kInf;
    for (size_t c = 0; c < k; ++c) {
      float s = 0;
      for (size_t j = 0; j < pad; ++j) {
        const float d = r[j] - centroids_rot[c * pad + j];
        s = s + d * d;
      }
      if (s < bd) bd = s, best = uint32_t(c);
    }
    return best;
  }

  void encode(const float* x, uint32_t c, uint64_t* code, float* f) const {
    std::vector<float> r(pad);
    rot.rotate_into({x, sh.dim}, r);
    for (size_t j = 0; j < pad; ++j) r[j] -= centroids_rot[c * pad + j];
    codec::encode_rotated_bbit(r, D(), sh.bits, words, {code, sh.bits * words}, std::span<float, 4>(f, 4));
  }

  uint32_t add(const float* x) {
    std::vector<float> r(pad);
    rot.rotate_into({x, sh.dim}, r);
    const uint32_t c = nearest(r);
    const size_t stride = sh.bits * words, i = delta.ids.size(), dim = sh.dim;
    delta.codes.resize((i + 1) * stride);
    delta.factors.resize((i + 1) * 4);
    encode(x, c, delta.codes.data() + i * stride, delta.factors.data() + i * 4);
    delta.rerank.resize((i + 1) * (dim + 1));
    quant::encode_delta_row(x, dim, sh.origscale, quant_scale, delta.rerank.data() + i * (dim + 1));
    delta.clusters.push_back(c);
    delta.ids.push_back("d" + std::to_string(i));
    delta.meta.push_back("null");
    delta.sparse.emplace_back();
    lists.append(c);
    by_slot.insert(by_slot.end(), x, x + dim);
    return n + uint32_t(i);
  }

  search::SegmentView view() const {
    search::SegmentView v;
    v.dim = sh.dim;
    v.pad = pad;
    v.n_bits = sh.bits;
    v.words = words;
    v.n_clusters = k;
    v.n = n;
    v.quant_scale = quant_scale;
    v.rotator = &rot;
    v.centroids_rot = centroids_rot.data();
    v.packed_centroids = &packed;
    v.offsets = offsets.data();
    v.codes = codes.data();
    v.metas = metas.data();
    v.orig = orig.data();
    v.has_origscale = sh.origscale;
    v.origscale = origscale.data();
    v.origscale_records = sh.origscale ? n : 0;
    v.delta_lists = &lists;
    return v;
  }
  search::LiveView live() const { return {&tombs, &delta}; }
  std::span<const float> row(uint32_t slot) const { return {by_slot.data() + size_t(slot) * sh.dim, sh.dim}; }
};

Segment make_segment(const Shape& sh, uint64_t seed) {
  Segment s;
  s.sh = sh;
  std::mt19937_64 g(seed);
  std::normal_distribution<float> nd(0.f, 1.f);
  const size_t dim = sh.dim;
  s.rot = codec::Rotator::build(dim, codec::rotation_seed(seed), sh.new_layout);
  s.pad = s.rot.pad;
  s.words = s.pad / 64;
  s.k = sh.clusters;
  // Centroids (raw), some of them equal; rows around them.
  std::vector<float> cents(s.k * dim);
  for (auto& v : cents) v = nd(g) * 3.f;
  if (sh.dup_centroids && s.k >= 3) {
    std::copy_n(cents.data(), dim, cents.data() + dim);            // 0 == 1
    std::copy_n(cents.data() + dim, dim, cents.data() + 2 * dim);  // == 2
  }
  s.centroids_rot.assign(s.k * s.pad, 0.f);
  for (size_t c = 0; c < s.k; ++c)
    s.rot.rotate_into({cents.data() + c * dim, dim}, {s.centroids_rot.data() + c * s.pad, s.pad});
  s.packed = ivf_rabitq::distance::PackedVectors::pack(s.centroids_rot.data(), s.k, s.pad);
  std::vector<float> rows(sh.n * dim);
  std::uniform_int_distribution<size_t> pick(0, s.k - 1);
  for (size_t i = 0; i < sh.n; ++i) {
    if (sh.dup_rows && i > 0 && g() % 5 == 0) {
      const size_t from = g() % i;
      std::copy_n(rows.data() + from * dim, dim, rows.data() + i * dim);
      continue;
    }
    const size_t c = pick(g);
    for (size_t j = 0; j < dim; ++j) rows[i * dim + j] = cents[c * dim + j] + nd(g);
  }
  // Assignment: the nearest rotated centroid (ties to the lower index); with
  // empty_cluster, the last cluster gives its rows to cluster 0.
  std::vector<uint32_t> assign(sh.n);
  std::vector<float> r(s.pad);
  for (size_t i = 0; i < sh.n; ++i) {
    s.rot.rotate_into({rows.data() + i * dim, dim}, r);
    assign[i] = s.nearest(r);
    if (sh.empty_cluster && s.k > 1 && assign[i] == s.k - 1) assign[i] = 0;
  }
  s.n = uint32_t(sh.n);
  s.offsets.assign(s.k + 1, 0);
  for (uint32_t c : assign) s.offsets[c + 1]++;
  for (size_t c = 0; c < s.k; ++c) s.offsets[c + 1] += s.offsets[c];
  std::vector<uint32_t> next(s.offsets.begin(), s.offsets.end() - 1), slot_of(sh.n);
  for (size_t i = 0; i < sh.n; ++i) slot_of[i] = next[assign[i]]++;
  const size_t stride = sh.bits * s.words;
  s.codes.assign(sh.n * stride, 0);
  s.metas.assign(sh.n * 4, 0.f);
  s.by_slot.assign(sh.n * dim, 0.f);
  for (size_t i = 0; i < sh.n; ++i) {
    const uint32_t slot = slot_of[i];
    std::copy_n(rows.data() + i * dim, dim, s.by_slot.data() + size_t(slot) * dim);
    s.encode(rows.data() + i * dim, assign[i], s.codes.data() + size_t(slot) * stride, s.metas.data() + size_t(slot) * 4);
  }
  s.orig.assign(sh.n * dim, 0);
  if (sh.origscale) {
    s.origscale.assign(sh.n * 8, 0);
    quant::encode_build_rows(rows.data(), dim, 0, sh.n, slot_of.data(), s.orig.data(), s.origscale.data());
  } else {
    // Segment scale: the largest magnitude of the rows (queries beyond it take the float
    // formula).
    float m = 0;
    for (float v : rows) m = std::max(m, std::fabs(v));
    s.quant_scale = m;
    for (size_t i = 0; i < sh.n; ++i)
      quant::quantize_u8(rows.data() + i * dim, dim, 1.0f / m, s.orig.data() + size_t(slot_of[i]) * dim);
  }
  s.lists = storage::DeltaClusterLists(s.k);
  for (size_t i = 0; i < sh.delta; ++i) {
    std::vector<float> x(dim);
    if (sh.dup_rows && g() % 3 == 0 && sh.n > 0) {
      const auto src = s.row(uint32_t(g() % (s.n + s.delta.ids.size())));
      std::copy(src.begin(), src.end(), x.begin());
    } else {
      const size_t c = pick(g);
      for (size_t j = 0; j < dim; ++j) x[j] = cents[c * dim + j] + nd(g);
    }
    s.add(x.data());
  }
  return s;
}

// ---------------------------------------------------------------------------------------
// The plain model
// ---------------------------------------------------------------------------------------

using SlotPred = std::function<bool(uint32_t)>;  // main slot s, or delta row i as slot n + i

// IEEE total order: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
bool total_less(float a, float b) {
  auto key = [](float f) {
    const int32_t i = std::bit_cast<int32_t>(f);
    return i < 0 ? int64_t(INT32_MIN) - int64_t(i & 0x7FFFFFFF) : int64_t(i);
  };
  return key(a) < key(b);
}
bool total_equal(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b); }

struct Cand {
  float est, low;
  uint32_t slot;
};
bool cand_less(const Cand& a, const Cand& b) {
  if (!total_equal(a.est, b.est)) return total_less(a.est, b.est);
  return a.slot < b.slot;
}

struct Scored {
  float dist;
  uint32_t slot;
};
bool scored_less(const Scored& a, const Scored& b) {
  const uint32_t x = std::bit_cast<uint32_t>(a.dist), y = std::bit_cast<uint32_t>(b.dist);
  return x != y ? x < y : a.slot < b.slot;
}

// compact_bound: keep the cap best, return the cap-th smallest estimate (or +inf when the
// buffer was at most cap long).
float model_compact(std::vector<Cand>& buf, uint64_t cap) {
  if (buf.size() <= cap) return kInf;
  std::sort(buf.begin(), buf.end(), cand_less);
  buf.resize(cap);
  return buf.back().est;
}

struct ModelBuffer {
  std::vector<Cand> c;
  float bound = kInf;
  uint64_t cap, trigger;
  void offer(Cand x) {
    if (x.est > bound) return;
    c.push_back(x);
    if (c.size() >= trigger) bound = model_compact(c, cap);
  }
};

// Estimate and lower bound of a row against the table of its cluster, term by term.
Cand model_estimate(const codec::QueryLut& lut, const uint64_t* code, const float* x, const Segment& s, uint32_t slot) {
  const float ip = float(codec::estimate_qc_scalar(lut.words, {code, s.sh.bits * s.words}, s.sh.bits, s.words));
  const float norm2_x = x[0], step_x = x[1], lo_x = x[2], code_sum_x = x[3];
  const float norm2_q = lut.norm2, step_q = lut.step, lo_q = lut.lo, code_sum_q = lut.code_sum;
  const float padf = float(s.pad);
  const float S = padf * (lo_x * lo_q) + ((step_x * lo_q) * code_sum_x + ((lo_x * step_q) * code_sum_q + (step_x * step_q) * ip));
  const float est = (norm2_x + norm2_q) - (S + S);
  float var = ((step_x * step_x) / 12.f) * norm2_q + ((step_q * step_q) / 12.f) * norm2_x;
  if (!(var >= 0)) var = 0;
  const float low = est - 6.f * std::sqrt(var);
  return {est, low, slot};
}

float model_distance(const Segment& s, const quant::RerankTable& t, std::span<const float> q, uint32_t slot) {
  const auto lvl = ivf_rabitq::simd::Level::Scalar;
  const size_t dim = s.sh.dim;
  if (slot < s.n) {
    std::optional<quant::RowExponent> e;
    if (s.sh.origscale) {
      const uint8_t* rec = s.origscale.data() + size_t(slot) * 8;
      e = quant::RowExponent{rec[4], uint32_t(rec[0]) | uint32_t(rec[1]) << 8 | uint32_t(rec[2]) << 16 |
                                      uint32_t(rec[3]) << 24};
    }
    return t.distance(q, s.orig.data() + size_t(slot) * dim, e, lvl);
  }
  const uint8_t* row = s.delta.rerank.data() + size_t(slot - s.n) * (dim + 1);
  std::optional<quant::RowExponent> e;
  if (row[dim] != 0) {
    uint32_t energy = 0;
    for (size_t j = 0; j < dim; ++j) energy += uint32_t((int(row[j]) - 128) * (int(row[j]) - 128));
    e = quant::RowExponent{row[dim], energy};
  }
  return t.distance(q, row, e, lvl);
}

// Delta rows the searches address: a damaged delta's usable rows end with its shortest list.
size_t model_delta_rows(const Segment& s) {
  const storage::Delta& d = s.delta;
  size_t rows = std::min({d.ids.size(), d.clusters.size(), d.factors.size() / 4, d.rerank.size() / (s.sh.dim + 1)});
  if (s.sh.bits * s.words != 0) rows = std::min(rows, d.codes.size() / (s.sh.bits * s.words));
  return rows;
}

std::vector<SlotDistance> to_list(std::vector<Scored> v, uint64_t k) {
  std::sort(v.begin(), v.end(), scored_less);
  std::vector<SlotDistance> out;
  for (size_t i = 0; i < std::min<uint64_t>(k, v.size()); ++i) out.push_back({v[i].slot, v[i].dist});
  return out;
}

struct ModelOut {
  std::vector<SlotDistance> result;
  size_t probed = 0;      // clusters consumed by the rounds
  uint64_t rows = 0;      // rows counted towards the budget
  size_t pool = 0;
  bool fallback = false;
};

// Dense search as described, stage by stage. `threads` is the pool size the chunk rule uses.
ModelOut model_dense(const Segment& s, std::span<const float> query, uint64_t k64, uint64_t nprobe64,
                     uint64_t rerank64, const SlotPred* filter, bool ensure, size_t threads) {
  ModelOut out;
  const uint32_t k = sat(k64), nprobe = sat(nprobe64), rerank = sat(rerank64);
  const uint64_t P = std::max<uint32_t>(nprobe, 1);
  const uint64_t m = std::min<uint64_t>(filter ? sat(16 * P) : P, s.k);
  uint64_t B = std::max<uint64_t>(sat(4 * uint64_t(k)), rerank);
  if (filter) B = sat(6 * B);
  const uint64_t R = std::max(k, rerank);
  const uint64_t cap = std::max<uint64_t>(1024, sat(4 * std::max<uint64_t>(R, 1)));
  const uint64_t trigger = std::max<uint64_t>(64, sat(2 * cap));
  const size_t pad = s.pad, stride = s.sh.bits * s.words;

  // Stage 1.
  std::vector<float> rq(pad);
  s.rot.rotate_into(query, rq);
  std::vector<std::pair<float, uint32_t>> ranked;
  for (uint32_t c = 0; c < s.k; ++c) {
    float sum = 0;
    for (size_t j = 0; j < pad; ++j) {
      const float d = rq[j] - s.centroids_rot[c * pad + j];
      sum = sum + d * d;
    }
    if (std::isnan(sum)) sum = kInf;
    ranked.push_back({sum, c});
  }
  // Ties among equal distances are left open by the description; the lower index first.
  std::sort(ranked.begin(), ranked.end(), [](auto& a, auto& b) {
    return !total_equal(a.first, b.first) ? total_less(a.first, b.first) : a.second < b.second;
  });
  ranked.resize(m);

  auto lut_of = [&](uint32_t c, codec::QueryLut& lut) {
    std::vector<float> r(pad);
    for (size_t j = 0; j < pad; ++j) r[j] = rq[j] - s.centroids_rot[c * pad + j];
    codec::preprocess_query_into_at(ivf_rabitq::simd::Level::Scalar, lut, r, s.D());
  };
  auto live = [&](uint32_t slot) { return !s.tombs.contains(slot) && (!filter || (*filter)(slot)); };

  // Stage 2.
  std::vector<Cand> main;
  uint64_t total = 0;
  size_t pos = 0;
  while (pos < m) {
    const size_t len = std::min<size_t>(P, m - pos);
    const size_t t = std::max<size_t>(threads, 1);
    const size_t chunk = std::max<size_t>(1, (len + (t + t / 2) - 1) / (t + t / 2));
    std::vector<Cand> round;
    bool round_empty = true;
    for (size_t b = 0; b < len; b += chunk) {
      ModelBuffer buf{{}, kInf, cap, trigger};
      codec::QueryLut lut;
      for (size_t i = b; i < std::min(len, b + chunk); ++i) {
        const uint32_t c = ranked[pos + i].second;
        lut_of(c, lut);
        for (uint32_t r = s.offsets[c]; r < s.offsets[c + 1]; ++r) {
          if (!live(r)) continue;
          ++total;
          buf.offer(model_estimate(lut, s.codes.data() + size_t(r) * stride, s.metas.data() + size_t(r) * 4, s, r));
        }
      }
      model_compact(buf.c, cap);
      if (round_empty) {
        round = buf.c;
        round_empty = round.empty();
      } else {
        round.insert(round.end(), buf.c.begin(), buf.c.end());
        model_compact(round, cap);
      }
    }
    main.insert(main.end(), round.begin(), round.end());
    model_compact(main, cap);
    pos += len;
    if (total >= B) break;
  }
  out.probed = pos;
  out.rows = total;

  // Stage 3.
  std::vector<uint32_t> probed;
  for (size_t i = 0; i < pos; ++i) probed.push_back(ranked[i].second);
  std::sort(probed.begin(), probed.end());
  const size_t drows = model_delta_rows(s);
  if (drows > 0) {
    std::map<uint32_t, codec::QueryLut> luts;
    for (uint32_t c : probed) lut_of(c, luts[c]);
    ModelBuffer buf{{}, kInf, cap, trigger};
    for (size_t i = 0; i < drows; ++i) {
      const uint32_t c = s.delta.clusters[i];
      if (!std::binary_search(probed.begin(), probed.end(), c)) continue;
      const uint32_t slot = s.n + uint32_t(i);
      if (!live(slot)) continue;
      buf.offer(model_estimate(luts[c], s.delta.codes.data() + i * stride, s.delta.factors.data() + i * 4, s, slot));
    }
    model_compact(buf.c, cap);
    main.insert(main.end(), buf.c.begin(), buf.c.end());
  }
  model_compact(main, cap);

  // Stage 4.
  std::sort(main.begin(), main.end(), cand_less);
  const size_t L = main.size(), r = std::min<uint64_t>(R, L);
  float worst = -kInf;
  for (size_t i = 0; i < r; ++i)
    if (!std::isnan(main[i].est) && main[i].est > worst) worst = main[i].est;
  const size_t limit = std::min<uint64_t>(sat(4 * R), L) - r;
  std::vector<uint32_t> pool;
  for (size_t i = 0; i < r; ++i) pool.push_back(main[i].slot);
  size_t extras = 0;
  for (size_t i = r; i < L && extras < limit; ++i)  // sorted by estimate: the first that qualify
    if (main[i].low <= worst) pool.push_back(main[i].slot), ++extras;
  std::sort(pool.begin(), pool.end());
  out.pool = pool.size();

  // Stages 5 and 6.
  const quant::RerankTable table =
      quant::RerankTable::build(query, s.quant_scale, s.sh.origscale, ivf_rabitq::simd::Level::Scalar);
  std::vector<Scored> scored;
  for (uint32_t slot : pool) scored.push_back({model_distance(s, table, query, slot), slot});
  std::sort(scored.begin(), scored.end(), scored_less);
  if (scored.size() > k) scored.resize(k);
  out.result = to_list(scored, k);
  if (!ensure || scored.size() >= k) return out;

  // Stage 7.
  std::vector<uint8_t> flags(std::max<size_t>(s.k, 1), 0);
  for (uint32_t c : probed) flags[c] = 1;
  std::vector<uint32_t> unprobed;
  for (uint32_t c = 0; c < s.k; ++c)
    if (!flags[c]) unprobed.push_back(c);
  if (unprobed.empty()) return out;
  out.fallback = true;
  std::vector<Scored> all = scored;
  for (uint32_t c : unprobed)
    for (uint32_t slot = s.offsets[c]; slot < s.offsets[c + 1]; ++slot)
      if (live(slot)) all.push_back({model_distance(s, table, query, slot), slot});
  for (size_t i = 0; i < drows; ++i) {
    const uint32_t c = s.delta.clusters[i];
    if (c < s.k && flags[c]) continue;
    const uint32_t slot = s.n + uint32_t(i);
    if (live(slot)) all.push_back({model_distance(s, table, query, slot), slot});
  }
  out.result = to_list(all, k);
  return out;
}

// Exact search as described: every live, filter-passing main and delta row.
std::vector<SlotDistance> model_exact(const Segment& s, std::span<const float> query, uint64_t k, const SlotPred* filter) {
  const quant::RerankTable table =
      quant::RerankTable::build(query, s.quant_scale, s.sh.origscale, ivf_rabitq::simd::Level::Scalar);
  std::vector<Scored> all;
  const uint32_t total = s.n + uint32_t(model_delta_rows(s));
  for (uint32_t slot = 0; slot < total; ++slot) {
    if (s.tombs.contains(slot)) continue;
    if (filter && !(*filter)(slot)) continue;
    all.push_back({model_distance(s, table, query, slot), slot});
  }
  return to_list(all, sat(k));
}

// ---------------------------------------------------------------------------------------
// Engine side
// ---------------------------------------------------------------------------------------

struct BoundPred {
  const SlotPred* f;
  uint32_t n;
  search::RowFilter bind() const {
    search::RowFilter r;
    if (f == nullptr) return r;
    r.ctx = this;
    r.main = [](const void* c, uint32_t slot) { return (*static_cast<const BoundPred*>(c)->f)(slot); };
    r.delta = [](const void* c, const storage::Delta&, uint32_t i) {
      auto* b = static_cast<const BoundPred*>(c);
      return (*b->f)(b->n + i);
    };
    return r;
  }
};

search::DenseParams params(uint64_t k, uint64_t nprobe, uint64_t rerank, bool ensure) {
  search::DenseParams p;
  p.k = k;
  p.nprobe = nprobe;
  p.rerank = rerank;
  p.ensure_target_k = ensure;
  return p;
}

std::string show(const std::vector<SlotDistance>& v) {
  std::string o;
  for (size_t i = 0; i < std::min<size_t>(v.size(), 12); ++i)
    o += "(" + std::to_string(v[i].first) + "," + std::to_string(v[i].second) + ")";
  return o + (v.size() > 12 ? "..." : "") + " [" + std::to_string(v.size()) + "]";
}

::testing::AssertionResult same(const std::vector<SlotDistance>& got, const std::vector<SlotDistance>& want) {
  bool eq = got.size() == want.size();
  for (size_t i = 0; eq && i < got.size(); ++i)
    eq = got[i].first == want[i].first &&
         std::bit_cast<uint32_t>(got[i].second) == std::bit_cast<uint32_t>(want[i].second);
  if (eq) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "engine " << show(got) << "\n model " << show(want);
}

// Random slot filters: all, none, a fraction by hash, rows of a few clusters, delta only.
SlotPred random_filter(std::mt19937_64& g, const Segment& s, std::string& name) {
  const uint64_t salt = g();
  switch (g() % 6) {
    case 0: {
      const uint64_t keep = 1 + g() % 99;  // percent
      name = "hash " + std::to_string(keep) + "%";
      return [salt, keep](uint32_t slot) { return (std::hash<uint64_t>{}(slot ^ salt) * 0x9E3779B97F4A7C15ull >> 40) % 100 < keep; };
    }
    case 1: {
      const uint32_t c = uint32_t(g() % s.k);
      const uint32_t a = s.offsets[c], b = s.offsets[c + 1];
      const uint32_t n = s.n;
      std::vector<uint32_t> dc = s.delta.clusters;
      name = "cluster " + std::to_string(c);
      return [a, b, n, c, dc](uint32_t slot) { return slot < n ? (slot >= a && slot < b) : dc[slot - n] == c; };
    }
    case 2: {
      const uint32_t n = s.n;
      name = "delta only";
      return [n](uint32_t slot) { return slot >= n; };
    }
    case 3:
      name = "nothing";
      return [](uint32_t) { return false; };
    case 4:
      name = "everything";
      return [](uint32_t) { return true; };
    default: {
      const uint32_t m = 2 + uint32_t(g() % 40);
      name = "one in " + std::to_string(m);
      return [m](uint32_t slot) { return slot % m == 1; };
    }
  }
}

uint64_t random_size(std::mt19937_64& g, uint64_t small_max) {
  switch (g() % 8) {
    case 0: return 0;
    case 1: return 1;
    case 2: return 2 + g() % 3;
    case 3: return uint64_t(1) << 40;  // saturates
    case 4: return kMax32 - g() % 2;
    default: return g() % (small_max + 1);
  }
}

void tombstone_randomly(std::mt19937_64& g, Segment& s) {
  const uint32_t total = s.n + uint32_t(s.delta.ids.size());
  const uint32_t mode = uint32_t(g() % 4);
  if (mode == 0) return;
  const uint32_t every = 2 + uint32_t(g() % 9);
  for (uint32_t slot = uint32_t(g() % every); slot < total; slot += every) s.tombs.insert(slot);
  if (mode == 3 && s.k > 1) {  // one whole cluster, main rows and delta rows
    const uint32_t c = uint32_t(g() % s.k);
    for (uint32_t slot = s.offsets[c]; slot < s.offsets[c + 1]; ++slot) s.tombs.insert(slot);
    for (size_t i = 0; i < s.delta.clusters.size(); ++i)
      if (s.delta.clusters[i] == c) s.tombs.insert(s.n + uint32_t(i));
  }
}

struct CheckStats {
  int fallbacks = 0;
  size_t max_pool = 0;
};

// Runs one query through engine and model at pool sizes 1, 2 and 8.
void check_query(const Segment& s, std::span<const float> q, uint64_t k, uint64_t nprobe, uint64_t rerank,
                 const SlotPred* filter, const std::string& what, CheckStats* stats = nullptr) {
  const search::SegmentView v = s.view();
  // The same view with the block-interleaved codes that an opened segment's scan reads.
  const codec::BlockedCodes bc = codec::BlockedCodes::build(s.codes, s.offsets.data(), s.k, s.n, s.sh.bits, s.words);
  search::SegmentView vb = v;
  vb.blocked = &bc;
  // And with the row factors in the blocks as well.
  codec::BlockedCodes bcf = codec::BlockedCodes::build(s.codes, s.offsets.data(), s.k, s.n, s.sh.bits, s.words);
  // (no block to hold them without rows)
  ASSERT_EQ(bcf.add_factors(s.metas, s.offsets.data()), !bcf.empty() && s.n > 0);
  search::SegmentView vf = v;
  vf.blocked = &bcf;
  const BoundPred bp{filter, s.n};
  const search::RowFilter rf = bp.bind();
  const auto exact = model_exact(s, q, k, filter);
  for (size_t threads : {1, 2, 8}) {
    par::with_threads(threads, [&] {
      for (bool ensure : {false, true}) {
        const ModelOut want = model_dense(s, q, k, nprobe, rerank, filter, ensure, threads);
        const search::SegmentView* const views[] = {&v, &vb, &vf};
        std::vector<SlotDistance> got;
        for (const search::SegmentView* view : views) {
          const std::string scan = view->blocked == nullptr    ? ""
                                   : view->blocked->has_factors() ? " (blocked scan and factors)"
                                                                  : " (blocked scan)";
          search::SearchProfile prof;
          got = search::search_core_view(*view, s.live(), q, params(k, nprobe, rerank, ensure), rf, &prof);
          ASSERT_TRUE(same(got, want.result)) << what << scan << " ensure " << ensure << " threads " << threads;
          ASSERT_EQ(prof.clusters_probed, want.probed) << what << scan;
          ASSERT_EQ(prof.rows_estimated, want.rows) << what << scan;
          ASSERT_EQ(prof.pool_size, want.pool) << what << scan;
        }
        if (want.fallback) {
          ASSERT_TRUE(same(got, exact)) << what << ": the fallback gives the exact top k";
        }
        if (stats) {
          stats->fallbacks += want.fallback;
          stats->max_pool = std::max(stats->max_pool, want.pool);
        }
      }
      ASSERT_TRUE(same(search::search_bruteforce_view(v, s.live(), q, k, rf), exact)) << what << " exact";
    });
  }
}

// A query: a stored row (ties at distance 0 with its duplicates), a row plus noise, or a
// far point (with segment-scale rows: beyond the segment scale, so the float formula).
std::vector<float> random_query(std::mt19937_64& g, const Segment& s) {
  std::normal_distribution<float> nd(0.f, 1.f);
  const uint32_t total = s.n + uint32_t(s.delta.ids.size());
  std::vector<float> q(s.sh.dim);
  const auto src = s.row(uint32_t(g() % total));
  std::copy(src.begin(), src.end(), q.begin());
  switch (g() % 3) {
    case 0: break;
    case 1:
      for (auto& v : q) v += 0.3f * nd(g);
      break;
    default:
      for (auto& v : q) v = v * 3.f + nd(g);
      break;
  }
  return q;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Random segments against the model
// ---------------------------------------------------------------------------------------

TEST(SearchModel, RandomSmallSegments) {
  const bool stress = std::getenv("TANDREL_STRESS") != nullptr;
  const int segments = stress ? 600 : 80;
  CheckStats stats;
  int queries = 0;
  for (int si = 0; si < segments; ++si) {
    std::mt19937_64 g(1000 + si);
    Shape sh;
    sh.n = std::vector<size_t>{0, 1, 7, 60, 250, 700, 1500}[g() % 7];
    sh.dim = std::vector<size_t>{1, 5, 16, 40, 64, 70}[g() % 6];
    sh.clusters = std::min<size_t>(1 + g() % 24, std::max<size_t>(sh.n, 1));
    sh.bits = std::vector<uint32_t>{1, 2, 3, 4, 8}[g() % 5];
    sh.new_layout = g() % 4 != 0;
    sh.origscale = g() % 3 != 0;
    sh.delta = std::vector<size_t>{0, 0, 3, 40, 300}[g() % 5];
    sh.dup_rows = g() % 2;
    sh.dup_centroids = g() % 3 == 0;
    sh.empty_cluster = g() % 4 == 0;
    if (sh.n + sh.delta == 0) sh.delta = 5;
    Segment s = make_segment(sh, 77 + si);
    tombstone_randomly(g, s);
    const std::string seg_name = "segment " + std::to_string(si) + " n " + std::to_string(sh.n) + " dim " +
                                 std::to_string(sh.dim) + " clusters " + std::to_string(s.k) + " bits " +
                                 std::to_string(sh.bits) + " delta " + std::to_string(sh.delta) +
                                 (sh.origscale ? "" : " segment-scale") + (sh.new_layout ? "" : " legacy");
    for (int qi = 0; qi < 6; ++qi) {
      const auto q = random_query(g, s);
      const uint64_t k = random_size(g, 40), nprobe = random_size(g, s.k + 2), rerank = random_size(g, 300);
      std::string fname = "none";
      SlotPred f;
      const bool filtered = g() % 2;
      if (filtered) f = random_filter(g, s, fname);
      ++queries;
      check_query(s, q, k, nprobe, rerank, filtered ? &f : nullptr,
                  seg_name + " k " + std::to_string(k) + " nprobe " + std::to_string(nprobe) + " rerank " +
                      std::to_string(rerank) + " filter " + fname,
                  &stats);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(stats.fallbacks, queries / 20);
}

// Segments large enough for the caps to bind (more than cap estimated rows, several
// compactions per chunk), for the parallel centroid ranking (2,048 clusters and more) and
// for the parallel rerank of the pool (pool size x dim of 1,000,000 and more).
TEST(SearchModel, CapsParallelRankingAndParallelRerank) {
  struct Case {
    const char* name;
    Shape sh;
    uint64_t k, nprobe, rerank;
    bool filter;
  } cases[] = {
      {"caps bind: 6,000 rows, rerank 10", {6000, 24, 8, 2, true, true, 200, true, false, false}, 10, 8, 10, false},
      {"caps bind with a filter", {6000, 24, 8, 1, true, true, 200, false, true, false}, 5, 2, 0, true},
      {"2,100 clusters", {2300, 8, 2100, 1, true, true, 50, false, true, false}, 10, 300, 40, false},
      {"2,100 clusters, filter", {2300, 8, 2100, 2, false, true, 50, true, false, false}, 10, 40, 40, true},
      {"pool x dim over 1,000,000", {9000, 128, 4, 1, true, true, 0, false, false, false}, 8000, 4, 0, false},
      // k above the rows of two clusters: the fallback scans 50,000 and more unprobed rows,
      // and exact search its 60,000 main rows, in parallel.
      {"fallback over 50,000 unprobed rows", {60000, 8, 40, 1, true, true, 100, true, false, false}, 5000, 2, 0, false},
  };
  for (const Case& c : cases) {
    Segment s = make_segment(c.sh, 4242);
    std::mt19937_64 g(9);
    for (uint32_t slot = 3; slot < s.n; slot += 17) s.tombs.insert(slot);
    const SlotPred f = [](uint32_t slot) { return slot % 5 != 2; };
    CheckStats stats;
    for (int qi = 0; qi < 2; ++qi) {
      const auto q = random_query(g, s);
      check_query(s, q, c.k, c.nprobe, c.rerank, c.filter ? &f : nullptr, c.name, &stats);
      if (HasFatalFailure()) return;
    }
    if (c.k == 5000) {
      EXPECT_GT(stats.fallbacks, 0) << c.name;
    }
    if (c.sh.dim == 128) {
      EXPECT_GE(stats.max_pool * 128, 1000000u) << c.name;
    }
  }
}

// Row factors that give NaN, -NaN, infinite and signed-zero estimates and lower bounds (a
// NaN estimate is never dropped by a bound and sorts by IEEE total order; a NaN lower bound
// never makes an extra), and a damaged delta whose lists have different lengths (only the
// rows every list covers are searched).
TEST(SearchModel, NonFiniteFactorsAndShortDeltaLists) {
  const float neg_nan = std::bit_cast<float>(0xFFC00000u);
  for (int variant = 0; variant < 6; ++variant) {
    Shape sh;
    sh.n = 2500;
    sh.dim = 16;
    sh.clusters = 5;
    sh.bits = 2;
    sh.delta = 80;
    sh.dup_rows = true;
    Segment s = make_segment(sh, 600 + variant);
    std::mt19937_64 g(variant);
    const float odd[] = {kNaN, neg_nan, kInf, -kInf, 0.f, -0.f, 1e30f, -1e30f};
    auto spoil = [&](float* f) {
      const size_t j = g() % 4;
      f[j] = odd[g() % std::size(odd)];
    };
    for (uint32_t slot = 0; slot < s.n; ++slot)
      if (g() % 9 == 0) spoil(s.metas.data() + size_t(slot) * 4);
    for (size_t i = 0; i < s.delta.ids.size(); ++i)
      if (g() % 5 == 0) spoil(s.delta.factors.data() + i * 4);
    // Shorten one of the delta's lists.
    const size_t keep = 50 + variant;
    const size_t stride = sh.bits * s.words;
    switch (variant) {
      case 1: s.delta.clusters.resize(keep); break;
      case 2: s.delta.factors.resize(keep * 4 + 3); break;
      case 3: s.delta.codes.resize(keep * stride + 1); break;
      case 4: s.delta.rerank.resize(keep * (sh.dim + 1) + sh.dim); break;
      case 5: s.delta.ids.resize(keep); break;
      default: break;
    }
    for (uint32_t slot = 7; slot < s.n + 80; slot += 29) s.tombs.insert(slot);
    const SlotPred f = [](uint32_t slot) { return slot % 4 != 0; };
    for (int qi = 0; qi < 3; ++qi) {
      const auto q = random_query(g, s);
      for (auto [k, nprobe, rerank] : {std::tuple<uint64_t, uint64_t, uint64_t>{10, 2, 5}, {100, 5, 0}, {3000, 1, 3000}}) {
        check_query(s, q, k, nprobe, rerank, qi == 1 ? &f : nullptr, "variant " + std::to_string(variant));
        if (HasFatalFailure()) return;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Rerank pool rule
// ---------------------------------------------------------------------------------------

TEST(SearchModel, RerankPoolChoice) {
  auto pool_of = [](std::vector<search::Candidate> c, uint32_t R) {
    std::vector<search::Candidate> tmp;
    const size_t n = search::choose_rerank_pool(c.data(), c.size(), R, tmp);
    std::set<uint32_t> out;
    for (size_t i = 0; i < n; ++i) out.insert(c[i].slot());
    return out;
  };
  using C = search::Candidate;
  // R best: estimates 1, 2 (slots 10, 11); worst = 2. Lower bound equal to worst enters, a
  // NaN lower bound never does, a larger one does not.
  std::vector<C> c = {C::make(1, 0, 10), C::make(2, 1, 11), C::make(5, 2.f, 12), C::make(6, kNaN, 13),
                      C::make(7, 2.5f, 14), C::make(3, -kInf, 15)};
  EXPECT_EQ(pool_of(c, 2), (std::set<uint32_t>{10, 11, 12, 15}));
  // R >= L: every candidate, no extras.
  EXPECT_EQ(pool_of(c, 6).size(), 6u);
  EXPECT_EQ(pool_of(c, 100).size(), 6u);
  // R = 0: worst is -inf; only a lower bound of -inf qualifies, and the limit is 0.
  EXPECT_TRUE(pool_of(c, 0).empty());
  // All R best NaN: worst stays -inf.
  std::vector<C> nan_best = {C::make(-kNaN, 0, 1), C::make(3, -kInf, 2), C::make(4, -kInf, 3)};
  EXPECT_EQ(pool_of(nan_best, 1), (std::set<uint32_t>{1, 2, 3}));
  // Ties at the R-th estimate go to the lower slot.
  std::vector<C> ties = {C::make(1, 9, 8), C::make(1, 9, 4), C::make(1, 9, 6)};
  EXPECT_EQ(pool_of(ties, 1), (std::set<uint32_t>{4}));
  // R = 100, 1,000 candidates that all qualify: 100 best + 300 extras, the extras being
  // those with the smallest estimates (ties by slot).
  std::vector<C> many;
  std::mt19937 g(3);
  for (uint32_t s = 0; s < 1000; ++s) many.push_back(C::make(float(g() % 200), -kInf, 5000 - s));
  auto sorted = many;
  std::sort(sorted.begin(), sorted.end(), search::EstimateLess{});
  std::set<uint32_t> want;
  for (size_t i = 0; i < 400; ++i) want.insert(sorted[i].slot());
  EXPECT_EQ(pool_of(many, 100), want);
  // With a limit below the qualifying extras and some not qualifying at all.
  for (auto& x : many) x.lower = (x.slot() % 3 == 0) ? 1e9f : -kInf;
  auto p = pool_of(many, 100);
  EXPECT_EQ(p.size(), 400u);
  // -0 and +0: the lower bound compares as IEEE numbers (equal).
  std::vector<C> zeros = {C::make(0.f, 0, 1), C::make(4, -0.f, 2), C::make(5, 0.f, 3)};
  EXPECT_EQ(pool_of(zeros, 1), (std::set<uint32_t>{1, 2, 3}));
  std::vector<C> mzeros = {C::make(-0.f, 0, 1), C::make(4, 0.f, 2)};
  EXPECT_EQ(pool_of(mzeros, 1), (std::set<uint32_t>{1, 2}));
}

// ---------------------------------------------------------------------------------------
// Edge cases, one rule each
// ---------------------------------------------------------------------------------------

namespace {

// A segment of 24 clusters with 2,000 rows, 60 delta rows, nothing tombstoned.
const Segment& edge_segment() {
  static const Segment* s = [] {
    Shape sh;
    sh.n = 2000;
    sh.dim = 24;
    sh.clusters = 24;
    sh.bits = 2;
    sh.delta = 60;
    return new Segment(make_segment(sh, 5150));
  }();
  return *s;
}

search::SearchProfile profile(const Segment& s, std::span<const float> q, uint64_t k, uint64_t nprobe, uint64_t rerank,
                              const SlotPred* f, bool ensure, std::vector<SlotDistance>* out = nullptr) {
  const BoundPred bp{f, s.n};
  search::SearchProfile prof;
  auto r = search::search_core_view(s.view(), s.live(), q, params(k, nprobe, rerank, ensure), bp.bind(), &prof);
  if (out) *out = std::move(r);
  return prof;
}

}  // namespace

TEST(SearchEdges, ProbingRoundsAndBudget) {
  const Segment& s = edge_segment();
  const auto q = s.row(17);
  const SlotPred all = [](uint32_t) { return true; };
  const SlotPred few = [](uint32_t slot) { return slot % 50 == 3; };
  struct Case {
    const char* name;
    uint64_t k, nprobe, rerank;
    const SlotPred* filter;
    size_t probed;  // clusters the rounds consume; 0: whatever the model says
  } cases[] = {
      {"nprobe 0 probes one cluster", 10, 0, 400, nullptr, 1},
      {"nprobe 1", 10, 1, 400, nullptr, 1},
      {"nprobe = n_clusters probes all, one round", 10, 24, 400, nullptr, 24},
      {"nprobe beyond n_clusters probes all", 10, 1000, 400, nullptr, 24},
      {"nprobe saturating", 10, uint64_t(1) << 40, 400, nullptr, 24},
      {"no filter: nprobe clusters whatever k", 5000, 3, 0, nullptr, 3},
      {"no filter: nprobe clusters whatever rerank", 1, 3, 100000, nullptr, 3},
      {"k 0 and rerank 0 still probe", 0, 2, 0, nullptr, 2},
      {"filter everyone passes, budget met in round one", 1, 12, 10, &all, 12},
      {"filter few pass: up to 16 x nprobe", 10, 1, 400, &few, 16},
      {"filter few pass, 16 x nprobe beyond n_clusters", 10, 2, 400, &few, 24},
      {"filter: nprobe 268435456 probes every cluster", 10, 268435456, 400, &few, 24},
      {"filter, k 10, rerank 400: budget 2,400", 10, 1, 400, &all, 0},
  };
  for (const Case& c : cases) {
    const ModelOut want = model_dense(s, q, c.k, c.nprobe, c.rerank, c.filter, false, 1);
    std::vector<SlotDistance> got;
    const auto prof = profile(s, q, c.k, c.nprobe, c.rerank, c.filter, false, &got);
    EXPECT_EQ(prof.clusters_probed, want.probed) << c.name;
    if (c.probed != 0) {
      EXPECT_EQ(prof.clusters_probed, c.probed) << c.name;
    }
    EXPECT_TRUE(same(got, want.result)) << c.name;
    if (c.k == 0) {
      EXPECT_TRUE(got.empty()) << c.name;
      EXPECT_GT(prof.rows_estimated, 0u) << c.name;
    }
  }
  // Budget 2,400 with a filter everybody passes and nprobe 1: rounds of one cluster (about
  // 83 rows each) go on until 2,400 rows are counted, which 16 clusters cannot reach here.
  const auto prof = profile(s, q, 10, 1, 400, &all, false);
  EXPECT_EQ(prof.clusters_probed, 16u);
  // With nprobe 8 the budget is met after four rounds at most... or all 16 x 8 >= 24.
  const auto p8 = profile(s, q, 10, 8, 400, &all, false);
  EXPECT_EQ(p8.clusters_probed, 24u);
  EXPECT_GE(p8.rows_estimated, 2000u);
  const auto p1 = profile(s, q, 1, 8, 10, &all, false);  // budget 6 x 10 = 60: one round
  EXPECT_EQ(p1.clusters_probed, 8u);

  // A segment where the budget of 2,400 is met part way: rounds of two clusters (about 500
  // rows) stop after the first round that reaches 2,400 counted rows, well before 16 x 2.
  Shape sh;
  sh.n = 12000;
  sh.dim = 8;
  sh.clusters = 24;
  sh.bits = 1;
  const Segment big = make_segment(sh, 8080);
  const auto bq = big.row(100);
  const ModelOut want = model_dense(big, bq, 10, 2, 400, &all, false, 1);
  const auto pb = profile(big, bq, 10, 2, 400, &all, false);
  EXPECT_EQ(pb.clusters_probed, want.probed);
  EXPECT_EQ(pb.rows_estimated, want.rows);
  EXPECT_GE(pb.rows_estimated, 2400u);
  EXPECT_LT(pb.clusters_probed, 24u);
  EXPECT_EQ(pb.clusters_probed % 2, 0u);
}

TEST(SearchEdges, TombstonesDeltaRowsAndCentroidRanking) {
  Segment s = make_segment([] {
    Shape sh;
    sh.n = 1200;
    sh.dim = 16;
    sh.clusters = 10;
    sh.bits = 2;
    sh.delta = 40;
    return sh;
  }(), 606);
  const auto q = s.row(5);
  const search::SegmentView v = s.view();

  // A cluster whose every row is tombstoned: no candidate and no row counted.
  const ModelOut before = model_dense(s, q, 10, 1, 50, nullptr, false, 1);
  const uint32_t top = [&] {  // the nearest cluster
    std::vector<float> rq(s.pad);
    s.rot.rotate_into(q, rq);
    return s.nearest(rq);
  }();
  for (uint32_t slot = s.offsets[top]; slot < s.offsets[top + 1]; ++slot) s.tombs.insert(slot);
  search::SearchProfile prof;
  auto got = search::search_core_view(v, s.live(), q, params(10, 1, 50, false), {}, &prof);
  EXPECT_EQ(prof.rows_estimated, 0u);
  for (auto& [slot, d] : got) EXPECT_GE(slot, s.n) << "only delta rows of the cluster remain";
  EXPECT_GT(before.rows, 0u);
  s.tombs = storage::Tombstones();

  // A delta row whose cluster is not probed is no candidate; the fallback finds it.
  const uint32_t d0 = s.n;  // delta row 0
  const uint32_t c0 = s.delta.clusters[0];
  const auto dq = s.row(d0);
  const SlotPred only_d0 = [d0](uint32_t slot) { return slot == d0; };
  const BoundPred bp{&only_d0, s.n};
  // Probe only the cluster nearest to a query far from c0.
  uint32_t far_slot = 0;
  for (uint32_t slot = 0; slot < s.n; ++slot)
    if (slot < s.offsets[c0] || slot >= s.offsets[c0 + 1]) far_slot = slot;
  auto far_q = s.row(far_slot);
  {
    std::vector<float> rq(s.pad);
    s.rot.rotate_into(far_q, rq);
    ASSERT_NE(s.nearest(rq), c0);
  }
  // No filter, nprobe 1: d0 is not among the results even for a huge k.
  auto wide = search::search_core_view(v, s.live(), far_q, params(100000, 1, 0, false), {});
  for (auto& [slot, d] : wide) EXPECT_NE(slot, d0);
  // Unprobed delta row: only the fallback scores it (a filtered search with nprobe 1 probes
  // 16 clusters, so use the unfiltered nprobe-1 search with ensure and a k above its size).
  auto with = search::search_core_view(v, s.live(), far_q, params(100000, 1, 0, true), {});
  EXPECT_TRUE(same(with, search::search_bruteforce_view(v, s.live(), far_q, 100000, {})));
  size_t seen = 0;
  for (auto& [slot, d] : with) seen += slot == d0;
  EXPECT_EQ(seen, 1u);
  // Probed delta rows are never scored twice: every slot appears once.
  std::set<uint32_t> uniq;
  for (auto& [slot, d] : with) EXPECT_TRUE(uniq.insert(slot).second) << slot;
  // The query equal to d0 with a filter passing only d0 finds it without the fallback.
  auto dres = search::search_core_view(v, s.live(), dq, params(1, 1, 10, false), bp.bind());
  ASSERT_EQ(dres.size(), 1u);
  EXPECT_EQ(dres[0].first, d0);

  // A NaN centroid distance ranks as +inf: with nprobe n_clusters - 1 that cluster is the
  // one left out, whatever its position.
  Segment t = s;
  const uint32_t bad = top;
  t.centroids_rot[size_t(bad) * t.pad + 3] = kNaN;
  t.packed = ivf_rabitq::distance::PackedVectors::pack(t.centroids_rot.data(), t.k, t.pad);
  const search::SegmentView tv = t.view();
  const ModelOut want = model_dense(t, q, 10, t.k - 1, 50, nullptr, true, 1);
  search::SearchProfile tp;
  got = search::search_core_view(tv, t.live(), q, params(10, t.k - 1, 50, false), {}, &tp);
  EXPECT_EQ(tp.clusters_probed, t.k - 1);
  for (auto& [slot, d] : got) EXPECT_FALSE(slot >= t.offsets[bad] && slot < t.offsets[bad + 1]) << slot;
  EXPECT_TRUE(same(search::search_core_view(tv, t.live(), q, params(10, t.k - 1, 50, true), {}), want.result));
}

// The rules at the end of the dense search and of exact search, as a table over one
// segment with duplicate rows (distance ties across main and delta rows).
TEST(SearchEdges, TopKFallbackAndExactRules) {
  Segment s = make_segment([] {
    Shape sh;
    sh.n = 900;
    sh.dim = 12;
    sh.clusters = 9;
    sh.bits = 1;
    sh.delta = 30;
    return sh;
  }(), 31337);
  // Ties: main row 10 twice more as main rows? Rows are fixed by slot, so add duplicates as
  // delta rows: main 10 == delta a == delta b.
  const uint32_t da = s.add(s.row(10).data());
  const uint32_t db = s.add(s.row(10).data());
  const auto q = s.row(10);
  const search::SegmentView v = s.view();
  const SlotPred nothing = [](uint32_t) { return false; };
  const SlotPred delta_pair = [da, db](uint32_t slot) { return slot == da || slot == db; };
  const BoundPred none_b{&nothing, s.n}, pair_b{&delta_pair, s.n};
  const uint32_t live_rows = s.n + uint32_t(s.delta.ids.size());

  struct Case {
    const char* name;
    std::function<void()> check;
  } cases[] = {
      {"k 0: empty, no fallback",
       [&] {
         EXPECT_TRUE(search::search_core_view(v, s.live(), q, params(0, 3, 50, true), {}).empty());
         EXPECT_TRUE(search::search_bruteforce_view(v, s.live(), q, 0, {}).empty());
       }},
      {"filter rejecting every row: empty with and without ensure",
       [&] {
         EXPECT_TRUE(search::search_core_view(v, s.live(), q, params(10, 3, 50, false), none_b.bind()).empty());
         EXPECT_TRUE(search::search_core_view(v, s.live(), q, params(10, 3, 50, true), none_b.bind()).empty());
         EXPECT_TRUE(search::search_bruteforce_view(v, s.live(), q, 10, none_b.bind()).empty());
       }},
      {"every row tombstoned: empty with and without ensure",
       [&] {
         Segment t = s;
         for (uint32_t slot = 0; slot < live_rows; ++slot) t.tombs.insert(slot);
         const search::SegmentView tv = t.view();
         EXPECT_TRUE(search::search_core_view(tv, t.live(), q, params(10, 3, 50, false), {}).empty());
         EXPECT_TRUE(search::search_core_view(tv, t.live(), q, params(10, 3, 50, true), {}).empty());
         EXPECT_TRUE(search::search_bruteforce_view(tv, t.live(), q, 10, {}).empty());
       }},
      {"equal distances: lower slot first, main before delta, delta by slot",
       [&] {
         auto r = search::search_core_view(v, s.live(), q, params(3, 2, 20, false), {});
         ASSERT_EQ(r.size(), 3u);
         EXPECT_EQ(r[0].first, 10u);
         EXPECT_EQ(r[1].first, da);
         EXPECT_EQ(r[2].first, db);
         EXPECT_TRUE(same(search::search_bruteforce_view(v, s.live(), q, 3, {}), r));
         auto p = search::search_bruteforce_view(v, s.live(), q, 2, pair_b.bind());
         ASSERT_EQ(p.size(), 2u);
         EXPECT_EQ(p[0].first, da);
         EXPECT_EQ(p[1].first, db);
       }},
      {"probing every cluster: ensure changes nothing",
       [&] {
         EXPECT_TRUE(same(search::search_core_view(v, s.live(), q, params(5000, 9, 10, true), {}),
                          search::search_core_view(v, s.live(), q, params(5000, 9, 10, false), {})));
       }},
      {"k above the live rows: every row, sorted",
       [&] {
         auto r = search::search_bruteforce_view(v, s.live(), q, 100000, {});
         EXPECT_EQ(r.size(), live_rows);
         EXPECT_TRUE(same(r, model_exact(s, q, 100000, nullptr)));
       }},
      {"k of 2^31 and more: cap saturates, every row sorted",
       [&] {
         for (uint64_t k : {uint64_t(1) << 31, uint64_t(kMax32), ~uint64_t(0)})
           EXPECT_TRUE(same(search::search_bruteforce_view(v, s.live(), q, k, {}), model_exact(s, q, k, nullptr)));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.check();
  }
}

// Delta rows whose cluster lies outside the cluster range (a view over lists for fewer
// clusters; the open refuses such a delta) are never probed; the fallback scores them only
// when some cluster was left unprobed, and returns the result unchanged when every cluster
// was probed.
TEST(SearchEdges, FallbackWithEveryClusterProbed) {
  Segment s = make_segment([] {
    Shape sh;
    sh.n = 300;
    sh.dim = 8;
    sh.clusters = 4;
    sh.bits = 2;
    sh.delta = 3;
    return sh;
  }(), 99);
  s.delta.clusters[1] = 7;  // no such cluster
  s.lists = storage::DeltaClusterLists(s.k);
  for (uint32_t c : s.delta.clusters) s.lists.append(c);
  const auto q = s.row(s.n + 1);
  const search::SegmentView v = s.view();
  for (uint64_t nprobe : {1u, 4u}) {
    const ModelOut want = model_dense(s, q, 1000, nprobe, 10, nullptr, true, 1);
    const auto got = search::search_core_view(v, s.live(), q, params(1000, nprobe, 10, true), {});
    EXPECT_TRUE(same(got, want.result)) << "nprobe " << nprobe;
    const auto plain = search::search_core_view(v, s.live(), q, params(1000, nprobe, 10, false), {});
    if (nprobe == 4) {
      EXPECT_TRUE(same(got, plain)) << "every cluster probed: unchanged";
    }
  }
}

// ---------------------------------------------------------------------------------------
// An opened segment (build, open, adds through the add path, upserts, compiled filters)
// ---------------------------------------------------------------------------------------

namespace {

struct TempDir {
  std::string path;
  TempDir() {
    path = (std::filesystem::temp_directory_path() /
            ("tandrel_model_" + std::to_string(::getpid()) + "_" + std::to_string(reinterpret_cast<uintptr_t>(this))))
               .string();
    std::filesystem::remove_all(path);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

}  // namespace

TEST(SearchModel, OpenedSegmentWithAddsUpsertsAndFilters) {
  constexpr size_t dim = 20, n = 1500;
  TempDir dir;
  std::mt19937_64 g(8);
  std::normal_distribution<float> nd(0.f, 1.f);
  std::vector<float> cents(12 * dim), rows((n + 200) * dim);
  for (auto& v : cents) v = nd(g) * 3.f;
  for (size_t i = 0; i < n + 200; ++i)
    for (size_t j = 0; j < dim; ++j) rows[i * dim + j] = cents[(i % 12) * dim + j] + nd(g);
  std::vector<std::string> ids, metas;
  for (size_t i = 0; i < n; ++i) {
    ids.push_back("r" + std::to_string(i));
    metas.push_back("{\"g\": " + std::to_string(i % 4) + "}");
  }
  builder::BuildParams bp;
  bp.n_clusters = 20;
  bp.seed = 3;
  auto st = builder::build_segment(dir.path, std::span<const float>(rows.data(), n * dim), n, dim, std::move(ids),
                                   builder::BuildMetadata::texts(metas), {}, {}, {}, {}, bp);
  ASSERT_TRUE(st.ok()) << st.error().text();
  auto opened = ix::IvfIndex::open_with_skip(dir.path, std::nullopt);
  ASSERT_TRUE(opened.ok()) << opened.error().text();
  ix::IvfIndex& idx = **opened;
  auto add = [&](const std::string& id, const float* x, int gv) {
    auto doc = ivf_rabitq::json::parse("{\"g\": " + std::to_string(gv) + "}");
    ASSERT_TRUE(doc.ok());
    live::apply_add(idx, id, std::span<const float>(x, dim), doc.value(), ivf_rabitq::json::to_compact(doc.value()),
                    {});
  };
  for (size_t i = 0; i < 150; ++i) add("new" + std::to_string(i), rows.data() + (n + i) * dim, int(i % 4));
  // Upserts: the old main rows get tombstoned, the new rows are delta rows.
  for (size_t i = 0; i < 20; ++i) add("r" + std::to_string(i * 7), rows.data() + (n + 150 + i) * dim, 1);
  // An upsert that keeps the vector: the row comes back once, as its delta slot.
  add("r100", rows.data() + 100 * dim, 2);
  {
    auto t = idx.locks().tombstones.write();
    for (uint32_t slot = 1; slot < n + 171; slot += 23) t->insert(slot);
  }
  auto f2 = idx.compile_filter_cached(R"({"g": 2})");
  ASSERT_TRUE(f2.ok());
  const ix::PredicatePtr pred = *f2;

  // The model over the opened segment's own arrays.
  Segment s;
  {
    const search::IndexView iv = search::index_view(idx);
    const search::SegmentView& v = iv.seg;
    s.sh.n = v.n;
    s.sh.dim = v.dim;
    s.sh.clusters = v.n_clusters;
    s.sh.bits = v.n_bits;
    s.sh.new_layout = idx.rotator.new_layout;
    s.sh.origscale = v.has_origscale;
    s.pad = v.pad;
    s.words = v.words;
    s.k = v.n_clusters;
    s.n = v.n;
    s.quant_scale = v.quant_scale;
    s.rot = idx.rotator;
    s.centroids_rot.assign(v.centroids_rot, v.centroids_rot + s.k * s.pad);
    s.offsets.assign(v.offsets, v.offsets + s.k + 1);
    const size_t stride = s.sh.bits * s.words;
    s.codes.assign(v.codes, v.codes + size_t(s.n) * stride);
    s.metas.assign(v.metas, v.metas + size_t(s.n) * 4);
    s.orig.assign(v.orig, v.orig + size_t(s.n) * dim);
    if (v.has_origscale) s.origscale.assign(v.origscale, v.origscale + size_t(s.n) * 8);
    s.delta = idx.locks().delta.read()->clone();
    s.tombs = storage::Tombstones();
    auto t = idx.locks().tombstones.read();
    for (uint32_t slot = 0; slot < s.n + s.delta.ids.size(); ++slot)
      if (t->contains(slot)) s.tombs.insert(slot);
  }
  const SlotPred by_pred = [&](uint32_t slot) {
    return slot < s.n ? idx.passes_main(*pred, slot) : ix::IvfIndex::passes_delta(s.delta, *pred, slot - s.n);
  };
  int fallbacks = 0;
  for (size_t qi = 0; qi < 10; ++qi) {
    std::span<const float> q(rows.data() + (qi * 131 % (n + 171)) * dim, dim);
    for (const SlotPred* f : {static_cast<const SlotPred*>(nullptr), &by_pred}) {
      for (uint64_t k : {uint64_t(0), uint64_t(1), uint64_t(10), uint64_t(400)}) {
        for (uint64_t nprobe : {0u, 2u, 30u}) {
          for (bool ensure : {false, true}) {
            const ModelOut want = model_dense(s, q, k, nprobe, 30, f, ensure, par::num_threads());
            // The bare predicate is tested row by row and always probes.
            const auto got = search::search_core(idx, q, k, nprobe, 30, f ? pred.get() : nullptr, ensure);
            ASSERT_TRUE(same(got, want.result)) << "q " << qi << " k " << k << " nprobe " << nprobe;
            fallbacks += want.fallback;
            // The cached pointer brings the bitmap of passing main rows: the same probe, or,
            // when the passing rows fit the row budget, the exact answer.
            const bool exact_path = f && search::filtered_search_is_exact(idx, pred, k, nprobe, 30);
            const auto cached = search::search_core(idx, q, k, nprobe, 30, f ? pred : ix::PredicatePtr(), ensure);
            ASSERT_TRUE(same(cached, exact_path ? model_exact(s, q, k, f) : want.result))
                << "cached filter q " << qi << " k " << k << " nprobe " << nprobe;
          }
        }
        ASSERT_TRUE(same(search::search_bruteforce(idx, q, k, f ? pred : ix::PredicatePtr()), model_exact(s, q, k, f)));
      }
    }
  }
  EXPECT_GT(fallbacks, 10);
  // The upserted row with its old vector: once, as its delta slot.
  const uint32_t up = uint32_t(s.n + s.delta.ids.size() - 1);
  auto r = search::search_bruteforce(idx, std::span<const float>(rows.data() + 100 * dim, dim), 3, nullptr);
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r[0].first, up);
  for (auto& [slot, d] : r) EXPECT_NE(slot, 100u);
  auto rd = search::search_core(idx, std::span<const float>(rows.data() + 100 * dim, dim), 3, 4, 40, nullptr, true);
  ASSERT_FALSE(rd.empty());
  EXPECT_EQ(rd[0].first, up);
  for (auto& [slot, d] : rd) EXPECT_NE(slot, 100u);
}
