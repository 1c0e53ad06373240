// AVX-512 thinned batch: 16 rows a step; keys and bins in registers, the kept positions
// compressed in a register and stored, the bins of the counted rows compressed the same way,
// staged as u16 and added to the histogram by the batch. Once the top bin has come down near
// the cap-th best estimate, most rows of a large probe lie above it and are not counted.
// GCC 12 reports its own _mm512_undefined_* helpers inside the intrinsic headers as
// "may be used uninitialized"; the values are fully defined by the instructions.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include "ivf_rabitq/search/thin_rows.hpp"

namespace ivf_rabitq::search::detail {

namespace {
constexpr size_t kMaxStagedRows = 256;  // a multiple of 16
}  // namespace


size_t thin_rows_avx512(const float* est, const float* low, size_t n, float w, uint32_t lo, unsigned shift,
                        uint32_t bins, uint32_t top, uint32_t* hist, uint64_t* counted, uint32_t* idx) {
  if (bins > 0xFFFFu) return thin_rows_scalar(est, low, n, w, lo, shift, bins, top, hist, counted, idx);
  const __m512 vw = _mm512_set1_ps(w);
  const __m512i vlo = _mm512_set1_epi32(static_cast<int>(lo));
  const __m512i vlast = _mm512_set1_epi32(static_cast<int>(bins - 1));
  const __m512i vtop = _mm512_set1_epi32(static_cast<int>(top));
  const __m512i vsign = _mm512_set1_epi32(static_cast<int>(0x80000000u));
  const __m128i vshift = _mm_cvtsi32_si128(static_cast<int>(shift));
  __m512i pos = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  const __m512i step = _mm512_set1_epi32(16);
  size_t m = 0;
  uint64_t c = 0;
  // Bins of the counted rows, as u16, added to the histogram after the loop: reading
  // them back from memory by the batch is cheaper than taking sixteen lanes out of a
  // register one by one (two operations each, on the vector ports the loop also needs), and
  // the loads come long after the stores, so none waits on a store being forwarded.
  alignas(64) uint16_t staged[kMaxStagedRows];
  size_t ns = 0;
  for (size_t j = 0; j < n; j += 16) {
    if (ns > kMaxStagedRows - 16) {
      for (size_t i = 0; i < ns; ++i) ++hist[staged[i]];
      ns = 0;
    }
    const size_t cnt = n - j < 16 ? n - j : 16;
    const __mmask16 live = static_cast<__mmask16>(cnt == 16 ? 0xFFFFu : (1u << cnt) - 1u);
    __mmask16 listable = live;
    if (hist != nullptr) {
      const __m512i b = _mm512_castps_si512(_mm512_maskz_loadu_ps(live, est + j));
      // total-order key: negative values flip every bit, the others set the sign bit
      const __m512i key = _mm512_xor_si512(b, _mm512_or_si512(_mm512_srai_epi32(b, 31), vsign));
      const __m512i d = _mm512_sub_epi32(_mm512_max_epu32(key, vlo), vlo);
      const __m512i bin = _mm512_min_epu32(_mm512_srl_epi32(d, vshift), vlast);
      const __mmask16 counts = _mm512_mask_cmple_epu32_mask(live, bin, vtop);
      // The counted rows' bins, compressed in a register and staged at every step: no
      // branch on whether a step counts, which mispredicts where steps with and without
      // rows at or below top alternate.
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(staged + ns),
                          _mm512_cvtepi32_epi16(_mm512_maskz_compress_epi32(counts, bin)));
      const unsigned nc = static_cast<unsigned>(__builtin_popcount(counts));
      ns += nc;
      c += nc;
      listable = counts;  // rows above top are not listed either
    }
    const __m512 l = _mm512_maskz_loadu_ps(live, low + j);
    const __mmask16 keep = _mm512_mask_cmp_ps_mask(listable, l, vw, _CMP_NGT_UQ);
    // Compressed in a register and stored whole: the compressing store to memory is
    // microcoded on some cores (tens of cycles a step); the lanes past the kept ones land in
    // entries that later steps overwrite or that lie past the list (idx holds n rounded up
    // to 16 entries).
    _mm512_storeu_si512(idx + m, _mm512_maskz_compress_epi32(keep, pos));
    m += static_cast<size_t>(__builtin_popcount(keep));
    pos = _mm512_add_epi32(pos, step);
  }
  if (hist != nullptr) {
    for (size_t i = 0; i < ns; ++i) ++hist[staged[i]];
    *counted += c;
  }
  return m;
}

}  // namespace ivf_rabitq::search::detail
