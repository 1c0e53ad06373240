// One batch of a thinned candidate buffer (the dense probe): the rows' estimates counted in a
// histogram up to a top bin, and the rows that can still reach the rerank pool listed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ivf_rabitq/common/simd.hpp"

namespace ivf_rabitq::search {

// For rows j < n: when hist is not null and the row's bin b_j = min(sat(key_j - lo) >> shift,
// bins - 1) is at most top, adds 1 to hist[b_j] and to *counted; key_j is the IEEE
// total-order key of est[j] (-NaN < -inf < ... < +inf < +NaN, as total_order_key) and
// sat(x) = 0 for key_j <= lo; hist holds bins + 1 entries, and afterwards the entries above
// top (the last being scratch) hold unspecified values. Lists in idx, ascending, every j whose lower bound is not above
// w (!(low[j] > w): a NaN on either side keeps the row) and, when hist is not null, whose bin
// is at most top. Returns how many were listed. idx must hold n rounded up to a multiple of
// 16 entries: the entries past the list may be written.
// Dispatched once on simd::active_level(); every level gives the same histogram, count and
// list.
size_t thin_rows(const float* est, const float* low, size_t n, float w, uint32_t lo, unsigned shift, uint32_t bins,
                 uint32_t top, uint32_t* hist, uint64_t* counted, uint32_t* idx);

namespace detail {
using ThinRowsFn = size_t (*)(const float* est, const float* low, size_t n, float w, uint32_t lo, unsigned shift,
                              uint32_t bins, uint32_t top, uint32_t* hist, uint64_t* counted, uint32_t* idx);
size_t thin_rows_scalar(const float* est, const float* low, size_t n, float w, uint32_t lo, unsigned shift,
                        uint32_t bins, uint32_t top, uint32_t* hist, uint64_t* counted, uint32_t* idx);
size_t thin_rows_avx512(const float* est, const float* low, size_t n, float w, uint32_t lo, unsigned shift,
                        uint32_t bins, uint32_t top, uint32_t* hist, uint64_t* counted, uint32_t* idx);
// The kernel of a level (the scalar one where the CPU lacks it).
ThinRowsFn thin_rows_fn(simd::Level level);
}  // namespace detail

}  // namespace ivf_rabitq::search
