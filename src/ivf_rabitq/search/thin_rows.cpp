#include "ivf_rabitq/search/thin_rows.hpp"

#include <algorithm>

#include "ivf_rabitq/search/topk.hpp"

namespace ivf_rabitq::search {

namespace detail {

size_t thin_rows_scalar(const float* est, const float* low, size_t n, float w, uint32_t lo, unsigned shift,
                        uint32_t bins, uint32_t top, uint32_t* hist, uint64_t* counted, uint32_t* idx) {
  size_t m = 0;
  if (hist != nullptr) {
    uint64_t c = 0;
    for (size_t j = 0; j < n; ++j) {
      const uint32_t key = total_order_key(est[j]);
      const uint32_t d = key > lo ? key - lo : 0;
      const uint32_t b = std::min<uint32_t>(d >> shift, bins - 1);
      if (b > top) continue;
      ++hist[b], ++c;
      idx[m] = static_cast<uint32_t>(j);
      m += !(low[j] > w);
    }
    *counted += c;
    return m;
  }
  for (size_t j = 0; j < n; ++j) {
    idx[m] = static_cast<uint32_t>(j);
    m += !(low[j] > w);
  }
  return m;
}

ThinRowsFn thin_rows_fn(simd::Level level) {
  if (!simd::cpu_supports(level)) level = simd::Level::Scalar;
  return simd::pick(level, &thin_rows_scalar, &thin_rows_scalar, &thin_rows_avx512);
}

}  // namespace detail

size_t thin_rows(const float* est, const float* low, size_t n, float w, uint32_t lo, unsigned shift, uint32_t bins,
                 uint32_t top, uint32_t* hist, uint64_t* counted, uint32_t* idx) {
  static const detail::ThinRowsFn fn = detail::thin_rows_fn(simd::active_level());
  return fn(est, low, n, w, lo, shift, bins, top, hist, counted, idx);
}

}  // namespace ivf_rabitq::search
