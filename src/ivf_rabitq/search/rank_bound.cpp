#include "ivf_rabitq/search/rank_bound.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "ivf_rabitq/common/simd.hpp"
#include "ivf_rabitq/search/search_rank.hpp"
#include "ivf_rabitq/search/topk.hpp"

namespace ivf_rabitq::search {

using kmeans::BoundScratch;
using kmeans::CentroidBound;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr size_t kB = distance::kBlock;
// Below this many vectors the f32 scan of all of them stays in cache and the bound does
// not pay for its extra pass.
constexpr size_t kMinVectors = 512;
// Longest pad whose grid sums (and every partial sum of the distance formula) fit 32 bits.
constexpr size_t kMaxPad = 8192;
// A block with this many survivors is computed from the packed copy (one contiguous read)
// rather than gathered row by row.
constexpr size_t kPackedSurvivors = 8;

// v / scale on the grid: rounded half up, clamped to [-127, 127]; a non-finite v gives 0
// and sets `bad`.
inline int8_t grid_code(float v, float scale, bool& bad) {
  if (!std::isfinite(v)) {
    bad = true;
    return 0;
  }
  float t = v / scale;
  t = std::min(std::max(t, -127.0f), 127.0f);
  const float f = std::floor(t);
  return static_cast<int8_t>(static_cast<int>(f) + ((t - f) >= 0.5f ? 1 : 0));
}

// ||x - scale a|| over n values, computed in double and rounded up to f32 (+inf when x has
// a non-finite value).
float grid_residual(const float* x, const int8_t* a, size_t n, float scale, bool bad) {
  if (bad) return kInf;
  double e2 = 0;
  for (size_t j = 0; j < n; ++j) {
    const double r = static_cast<double>(x[j]) - static_cast<double>(scale) * a[j];
    e2 += r * r;
  }
  const double e = std::sqrt(e2) * (1.0 + 1e-9);
  return std::nextafter(static_cast<float>(e), kInf);
}

detail::GridLoFn lo_fn(bool vnni) {
#if defined(__x86_64__)
  if (vnni) return &detail::grid_lo_avx512;
#else
  (void)vnni;
#endif
  return &detail::grid_lo_scalar;
}

detail::GridDotFn grid_fn(bool vnni) {
#if defined(__x86_64__)
  if (vnni) return &detail::grid_dot_vnni;
#else
  (void)vnni;
#endif
  return &detail::grid_dot_scalar;
}

}  // namespace

void detail::grid_lo_scalar(const int32_t* dot, const int32_t* sb, const float* err, size_t n, int32_t qa_sq,
                            float scale, float eq, float* lo, float* bmin) {
  for (size_t i = 0; i < n; ++i) {
    const int32_t d = (qa_sq + sb[i]) - 2 * dot[i];
    const float len = scale * std::sqrt(static_cast<float>(d));
    const float off = eq + err[i];  // never NaN: both are finite or +inf
    lo[i] = (len - off) - 1e-5f * (len + off);
    if (i % kB == 0) bmin[i / kB] = kInf;
    bmin[i / kB] = lo[i] < bmin[i / kB] ? lo[i] : bmin[i / kB];
  }
}

void detail::grid_dot_scalar(const uint8_t* qa4, const int8_t* codes, size_t pad, size_t blocks, int32_t* out) {
  const size_t groups = pad / 4;
  for (size_t b = 0; b < blocks; ++b) {
    const int8_t* blk = codes + b * groups * kB * 4;
    for (size_t l = 0; l < kB; ++l) {
      int32_t acc = 0;
      for (size_t g = 0; g < groups; ++g)
        for (size_t t = 0; t < 4; ++t) acc += int32_t{qa4[4 * g + t]} * int32_t{blk[(g * kB + l) * 4 + t]};
      out[b * kB + l] = acc;
    }
  }
}

}  // namespace ivf_rabitq::search

// The members of kmeans::CentroidBound, over the grid helpers and kernels above.
namespace ivf_rabitq::kmeans {

using search::grid_code;
using search::grid_fn;
using search::grid_residual;
using search::kB;
using search::kInf;
using search::kMaxPad;
using search::kMinVectors;
using search::lo_fn;

CentroidBound CentroidBound::build(const float* rows, size_t n, size_t pad) {
  return build_for(rows, n, pad, simd::has_vnni(simd::active_level()), false);
}

CentroidBound CentroidBound::build_for(const float* rows, size_t n, size_t pad, bool vnni, bool force) {
  CentroidBound b;
  // Without the grid kernel the integer pass costs as much as the f32 one it would save.
  if (!force && (!vnni || n < kMinVectors)) return b;
  if (n == 0 || pad == 0 || pad % 4 != 0 || pad > kMaxPad || n >= (size_t{1} << 32)) return b;
  float mx = 0;
  for (size_t i = 0; i < n * pad; ++i)
    if (std::isfinite(rows[i])) mx = std::max(mx, std::fabs(rows[i]));
  b.scale_ = std::max(mx / 127.0f, std::numeric_limits<float>::min());
  b.n_ = n;
  b.pad_ = pad;
  b.vnni_ = vnni;
  const size_t blocks = (n + kB - 1) / kB;
  const size_t groups = pad / 4;
  b.codes_.assign(blocks * groups * kB * 4, 0);
  b.sum_b_.assign(blocks * kB, 0);
  b.err_.assign(blocks * kB, kInf);
  std::vector<int8_t> row(pad);
  for (size_t i = 0; i < n; ++i) {
    const float* x = rows + i * pad;
    bool bad = false;
    int32_t s1 = 0, s2 = 0;
    for (size_t j = 0; j < pad; ++j) {
      row[j] = grid_code(x[j], b.scale_, bad);
      s1 += row[j];
      s2 += int32_t{row[j]} * row[j];
    }
    b.sum_b_[i] = 256 * s1 + s2;
    b.err_[i] = grid_residual(x, row.data(), pad, b.scale_, bad);
    int8_t* blk = b.codes_.data() + (i / kB) * groups * kB * 4;
    for (size_t j = 0; j < pad; ++j) blk[((j / 4) * kB + i % kB) * 4 + j % 4] = row[j];
  }
  return b;
}

void CentroidBound::lower_bounds(const int8_t* qa, int32_t qa_sq, float eq, float* lo, float* bmin,
                                 BoundScratch& s) const {
  // sum (a - b)^2 = sum a^2 + sum b^2 - 2 sum a b, and sum a b = sum (a + 128) b - 128 sum b:
  // the kernel multiplies unsigned query bytes by signed codes.
  s.qa4.resize(pad_);
  for (size_t j = 0; j < pad_; ++j) s.qa4[j] = static_cast<uint8_t>(int{qa[j]} + 128);
  const size_t blocks = (n_ + kB - 1) / kB;
  s.dot.resize(blocks * kB);
  grid_fn(vnni_)(s.qa4.data(), codes_.data(), pad_, blocks, s.dot.data());
  lo_fn(vnni_)(s.dot.data(), sum_b_.data(), err_.data(), blocks * kB, qa_sq, scale_, eq, lo, bmin);
}

}  // namespace ivf_rabitq::kmeans

namespace ivf_rabitq::search {

namespace {

// The query on the grid: its codes into s.qa, the bound of its grid residual into eq.
// Returns the sum of the squares of its codes.
int64_t query_on_grid(const float* q, size_t pad, float scale, BoundScratch& s, float& eq) {
  s.qa.resize(pad);
  bool bad = false;
  int64_t qa_sq = 0;
  for (size_t j = 0; j < pad; ++j) {
    s.qa[j] = grid_code(q[j], scale, bad);
    qa_sq += int64_t{s.qa[j]} * s.qa[j];
  }
  eq = grid_residual(q, s.qa.data(), pad, scale, bad);
  return qa_sq;
}

// The key of vector i at exact distance v (a NaN distance ranks as +inf).
inline void push_key(std::vector<uint64_t>& keys, float v, uint32_t i) {
  if (std::isnan(v)) v = kInf;
  keys.push_back((static_cast<uint64_t>(total_order_key(v)) << 32) | i);
}

// Exact distances of the listed vectors idx[0, cnt) (ascending indices), their keys appended
// to s.keys. Blocks with many listed vectors are read from the packed copy, the others
// gathered.
void append_exact(detail::RankBlocksFn exact, const float* q, const float* rows, const distance::PackedVectors& pv,
                  size_t pad, const uint32_t* idx, size_t cnt, BoundScratch& s) {
  s.block.resize(pad * kB);
  alignas(64) float dist[kB];
  const size_t stride = pad * kB;
  size_t gathered = 0;
  uint32_t pending[kB];
  auto flush = [&] {
    if (gathered == 0) return;
    float* blk = s.block.data();
    for (size_t l = 0; l < gathered; ++l) {
      const float* src = rows + static_cast<size_t>(pending[l]) * pad;
      for (size_t j = 0; j < pad; ++j) blk[j * kB + l] = src[j];
    }
    for (size_t l = gathered; l < kB; ++l)
      for (size_t j = 0; j < pad; ++j) blk[j * kB + l] = 0.0f;
    exact(q, blk, pad, 1, kInf, dist);
    for (size_t l = 0; l < gathered; ++l) push_key(s.keys, dist[l], pending[l]);
    gathered = 0;
  };
  for (size_t a = 0; a < cnt;) {
    const size_t blk_no = idx[a] / kB;
    size_t e = a;
    while (e < cnt && idx[e] / kB == blk_no) ++e;
    if (e - a >= kPackedSurvivors) {
      exact(q, pv.data() + blk_no * stride, pad, 1, kInf, dist);
      for (size_t t = a; t < e; ++t) push_key(s.keys, dist[idx[t] % kB], idx[t]);
    } else {
      for (size_t t = a; t < e; ++t) {
        pending[gathered++] = idx[t];
        if (gathered == kB) flush();
      }
    }
    a = e;
  }
  flush();
}

// The m vectors of smallest bound s.lb (a heap of their keys) into s.pick, ascending: their
// largest exact distance is an upper bound of the m-th smallest distance.
void pick_smallest_bounds(size_t n, size_t m, BoundScratch& s) {
  s.order.clear();
  for (size_t b0 = 0; b0 < n; b0 += kB) {
    const size_t b1 = std::min(n, b0 + kB);
    if (s.order.size() == m) {
      // Most blocks hold nothing below the heap's largest bound: one test per block.
      if (s.bmin[b0 / kB] > Candidate{s.order.front(), 0.f}.estimate()) continue;
    }
    for (size_t i = b0; i < b1; ++i) {
      const uint64_t key = (static_cast<uint64_t>(total_order_key(s.lb[i])) << 32) | i;
      if (s.order.size() < m) {
        s.order.push_back(key);
        std::push_heap(s.order.begin(), s.order.end());
      } else if (key < s.order.front()) {
        std::pop_heap(s.order.begin(), s.order.end());
        s.order.back() = key;
        std::push_heap(s.order.begin(), s.order.end());
      }
    }
  }
  s.pick.clear();
  for (uint64_t key : s.order) s.pick.push_back(static_cast<uint32_t>(key & 0xFFFFFFFFu));
  std::sort(s.pick.begin(), s.pick.end());
}

// The bound above which a vector cannot be nearer than tau, the largest exact distance of the
// first m. The f32 sum is at least (1 - (pad + 2) 2^-24) times the real squared distance;
// delta doubles that, and the threshold is raised by relative and absolute margins and
// rounded up to f32.
float bound_threshold(float tau, size_t pad) {
  if (!std::isfinite(tau)) return kInf;
  const double delta = static_cast<double>(pad + 2) * std::ldexp(1.0, -23);
  const double t2 = (static_cast<double>(tau) + 1e-30) / (1.0 - delta);
  return std::nextafter(static_cast<float>(std::sqrt(t2) * (1.0 + 1e-9)), kInf);
}

// Every vector whose bound does not exceed thr into s.pick, ascending, but for the first m
// (s.first, sorted), which are already computed: skipped by a merge walk.
void pick_under_threshold(size_t n, float thr, BoundScratch& s) {
  const std::vector<uint32_t>& first = s.first;
  s.pick.clear();
  size_t f = 0;
  for (size_t b0 = 0; b0 < n; b0 += kB) {
    if (s.bmin[b0 / kB] > thr) continue;
    const size_t b1 = std::min(n, b0 + kB);
    for (size_t i = b0; i < b1; ++i) {
      while (f < first.size() && first[f] < i) ++f;
      if (f < first.size() && first[f] == i) continue;
      if (!(s.lb[i] > thr)) s.pick.push_back(static_cast<uint32_t>(i));
    }
  }
}

}  // namespace

void nearest_keys_bounded(const float* q, const float* rows, const distance::PackedVectors& pv,
                          const CentroidBound& bound, size_t m, std::vector<uint64_t>& out, BoundScratch& s) {
  const size_t n = bound.size();
  const size_t pad = bound.pad();
  m = std::min(m, n);
  out.clear();
  if (m == 0) return;
  const detail::RankBlocksFn exact = detail::active_rank_blocks();

  float eq;
  const int64_t qa_sq = query_on_grid(q, pad, bound.scale(), s, eq);
  // Per vector, lo = scale sqrt(D) - (e_q + e_c) lowered by a margin for the f32 rounding
  // of this very computation (a few ulps of the terms; 1e-5 of them is far more): the
  // real distance is at least lo whenever lo > 0.
  s.lb.resize((n + kB - 1) / kB * kB);
  s.bmin.resize((n + kB - 1) / kB);
  bound.lower_bounds(s.qa.data(), static_cast<int32_t>(qa_sq), eq, s.lb.data(), s.bmin.data(), s);

  // The m vectors of smallest bound first; the largest of their exact distances sets the
  // threshold for every other vector.
  pick_smallest_bounds(n, m, s);
  s.keys.clear();
  append_exact(exact, q, rows, pv, pad, s.pick.data(), s.pick.size(), s);
  float tau = 0.0f;
  for (uint64_t k : s.keys) tau = std::max(tau, Candidate{k, 0.f}.estimate());
  s.first.swap(s.pick);
  pick_under_threshold(n, bound_threshold(tau, pad), s);
  append_exact(exact, q, rows, pv, pad, s.pick.data(), s.pick.size(), s);

  if (m < s.keys.size()) std::nth_element(s.keys.begin(), s.keys.begin() + (m - 1), s.keys.end());
  out.assign(s.keys.begin(), s.keys.begin() + m);
  std::sort(out.begin(), out.end());
}

}  // namespace ivf_rabitq::search
