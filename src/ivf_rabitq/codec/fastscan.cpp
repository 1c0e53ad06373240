// Block-interleaved code scan: scalar reference kernels, dispatch, and the transpose that
// derives the blocked copy from codes.bin.
#include "ivf_rabitq/codec/fastscan.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "ivf_rabitq/common/parallel.hpp"

namespace ivf_rabitq::codec {

// ---------------------------------------------------------------------------------------
// Scalar reference
// ---------------------------------------------------------------------------------------

void detail::build_scan_tables_scalar(const uint64_t* words, size_t wpp, uint8_t* tables, ScanLayout layout) {
  const size_t len = wpp * 64;
  for (size_t g = 0; g < len / 4; ++g) {
    uint8_t q[4];
    for (size_t t = 0; t < 4; ++t) {
      const size_t i = 4 * g + t;
      uint8_t code = 0;
      for (size_t j = 0; j < 4; ++j) code |= static_cast<uint8_t>(((words[j * wpp + i / 64] >> (i % 64)) & 1u) << j);
      q[t] = code;
    }
    // Group g is nibble g % 2 of coordinate byte k = g / 2.
    const size_t k = g / 2;
    uint8_t* out = layout == ScanLayout::Quads ? tables + 128 * (k / 4) + 64 * (g % 2) + 16 * (k % 4) : tables + 16 * g;
    for (unsigned m = 0; m < 16; ++m) {
      unsigned s = 0;
      for (unsigned t = 0; t < 4; ++t)
        if (m & (1u << t)) s += q[t];
      out[m] = static_cast<uint8_t>(s);
    }
  }
}

namespace {

// The scalar scan of either layout: plane_sum(block, p, r) gives row r's table sum over
// plane p of a block; the planes are weighted 2^p.
template <class PlaneSum>
void scan_scalar(const uint8_t* blocks, size_t n_blocks, uint32_t n_bits, size_t len, uint64_t* ip,
                 PlaneSum&& plane_sum) {
  const size_t bb = scan_block_bytes(n_bits, len);
  for (size_t b = 0; b < n_blocks; ++b) {
    const uint8_t* blk = blocks + b * bb;
    for (size_t r = 0; r < kScanBlockRows; ++r) {
      uint64_t total = 0;
      for (uint32_t p = 0; p < n_bits; ++p) total += plane_sum(blk, p, r) << p;
      ip[b * kScanBlockRows + r] = total;
    }
  }
}

}  // namespace

void detail::scan_blocks_scalar(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits,
                                size_t len, uint64_t* ip) {
  const size_t cols = len / 8;  // coordinate bytes per plane
  scan_scalar(blocks, n_blocks, n_bits, len, ip, [&](const uint8_t* blk, uint32_t p, size_t r) {
    uint64_t s = 0;
    for (size_t j = 0; j < cols; ++j) {
      const uint8_t v = blk[(p * cols + j) * kScanBlockRows + r];
      s += tables[32 * j + (v & 15u)] + tables[32 * j + 16 + (v >> 4)];
    }
    return s;
  });
}

void detail::scan_quads_scalar(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits,
                               size_t len, uint64_t* ip) {
  const size_t groups = len / 32;  // column groups of 4 coordinate bytes per plane
  scan_scalar(blocks, n_blocks, n_bits, len, ip, [&](const uint8_t* blk, uint32_t p, size_t r) {
    uint64_t s = 0;
    for (size_t c = 0; c < groups; ++c) {
      const uint8_t* v = blk + (p * groups + c) * 4 * kScanBlockRows + 4 * r;
      const uint8_t* tc = tables + 128 * c;
      for (size_t t = 0; t < 4; ++t) s += tc[16 * t + (v[t] & 15u)] + tc[64 + 16 * t + (v[t] >> 4)];
    }
    return s;
  });
}

// ---------------------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------------------

namespace {

using TableFn = void (*)(const uint64_t*, size_t, uint8_t*, ScanLayout);
using ScanFn = void (*)(const uint8_t*, size_t, const uint8_t*, uint32_t, size_t, uint64_t*);
using EstFn = void (*)(const detail::EstimateScalars&, const uint64_t*, const float*, size_t, float*, float*);

simd::Level usable(simd::Level level) { return simd::cpu_supports(level) ? level : simd::Level::Scalar; }

TableFn table_for(simd::Level level) {
#if defined(__x86_64__)
  if (level != simd::Level::Scalar) return &detail::build_scan_tables_avx2;
#else
  (void)level;
#endif
  return &detail::build_scan_tables_scalar;
}

ScanFn scan_for(simd::Level level) {
#if defined(__x86_64__)
  if (scan_layout_for(level) == ScanLayout::Quads) return &detail::scan_quads_vbmi;
#endif
  return simd::pick(level, &detail::scan_blocks_scalar, &detail::scan_blocks_avx2, &detail::scan_blocks_avx512);
}

EstFn est_for(simd::Level level) {
  return simd::pick(level, &detail::estimates_from_ip_scalar, &detail::estimates_from_ip_avx2,
                    &detail::estimates_from_ip_avx512);
}

inline void scan_with(ScanFn fn, ScanLayout layout, const uint8_t* blocks, size_t n_blocks, const uint8_t* tables,
                      uint32_t n_bits, size_t len, uint64_t* ip) {
  if (len > detail::kMaxVectorScanLen)
    fn = layout == ScanLayout::Quads ? &detail::scan_quads_scalar : &detail::scan_blocks_scalar;
  fn(blocks, n_blocks, tables, n_bits, len, ip);
}

}  // namespace

ScanLayout scan_layout_for(simd::Level level) {
  return simd::has_vbmi(level) && simd::has_vnni(level) ? ScanLayout::Quads : ScanLayout::Bytes;
}

ScanLayout scan_layout() {
  static const ScanLayout layout = scan_layout_for(simd::active_level());
  return layout;
}

void build_scan_tables(const QueryLut& lut, uint8_t* tables) {
  static const TableFn fn = table_for(simd::active_level());
  fn(lut.words.data(), lut.words_per_plane, tables, scan_layout());
}

void build_scan_tables_at(simd::Level level, const QueryLut& lut, uint8_t* tables) {
  const simd::Level l = usable(level);
  table_for(l)(lut.words.data(), lut.words_per_plane, tables, scan_layout_for(l));
}

void scan_blocks(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits, size_t len,
                 uint64_t* ip, size_t ahead_blocks) {
  static const ScanFn fn = scan_for(simd::active_level());
#if defined(__x86_64__)
  if (fn == &detail::scan_quads_vbmi && len <= detail::kMaxVectorScanLen)
    return detail::scan_quads_vbmi_ahead(blocks, n_blocks, ahead_blocks, tables, n_bits, len, ip);
#endif
  scan_with(fn, scan_layout(), blocks, n_blocks, tables, n_bits, len, ip);
}

void scan_blocks_at(simd::Level level, const uint8_t* blocks, size_t n_blocks, const uint8_t* tables,
                    uint32_t n_bits, size_t len, uint64_t* ip) {
  const simd::Level l = usable(level);
  scan_with(scan_for(l), scan_layout_for(l), blocks, n_blocks, tables, n_bits, len, ip);
}

void estimates_from_ips(const QueryLut& lut, size_t pad, const uint64_t* ip, const float* factors, size_t n,
                        float* estimate, float* lower) {
  static const EstFn fn = est_for(simd::active_level());
  const detail::EstimateScalars s{static_cast<float>(pad), lut.lo, lut.step, lut.code_sum, lut.norm2};
  fn(s, ip, factors, n, estimate, lower);
}

bool blocked_estimates_fast() {
  static const bool fast = usable(simd::active_level()) == simd::Level::Avx512;
  return fast;
}

void estimates_from_blocked(const QueryLut& lut, size_t pad, const uint64_t* ip, const float* fblocks, size_t n,
                            float* estimate, float* lower, size_t ahead_blocks) {
  const detail::EstimateScalars s{static_cast<float>(pad), lut.lo, lut.step, lut.code_sum, lut.norm2};
  if (blocked_estimates_fast())
    return detail::estimates_from_blocked_avx512_ahead(s, ip, fblocks, n, estimate, lower, ahead_blocks);
  detail::estimates_from_blocked_scalar(s, ip, fblocks, n, estimate, lower);
}

void scan_estimate_blocks(const uint8_t* blocks, size_t n_blocks, size_t rows, const uint8_t* tables, uint32_t n_bits,
                          size_t len, const QueryLut& lut, size_t pad, const float* fblocks, uint64_t* ip,
                          float* estimate, float* lower, size_t ahead_blocks) {
#if defined(__x86_64__)
  static const bool fused = scan_for(simd::active_level()) == &detail::scan_quads_vbmi && blocked_estimates_fast();
  if (fused && len <= detail::kMaxVectorScanLen) {
    const detail::EstimateScalars s{static_cast<float>(pad), lut.lo, lut.step, lut.code_sum, lut.norm2};
    return detail::scan_estimate_quads_vbmi(blocks, n_blocks, ahead_blocks, tables, n_bits, len, s, fblocks, estimate,
                                            lower);
  }
#endif
  scan_blocks(blocks, n_blocks, tables, n_bits, len, ip, ahead_blocks);
  estimates_from_blocked(lut, pad, ip, fblocks, rows, estimate, lower, ahead_blocks);
}

// ---------------------------------------------------------------------------------------
// Blocked copy
// ---------------------------------------------------------------------------------------

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// Transposes the 8 x 8 byte matrix whose row i is x[i] (byte j = bits 8j..8j+7): afterwards
// byte j of x[i] is the former byte i of x[j]. Swaps 4 x 4, then 2 x 2, then 1 x 1 tiles.
inline void transpose8x8(uint64_t x[8]) {
  for (size_t i = 0; i < 4; ++i) {
    const uint64_t t = ((x[i] >> 32) ^ x[i + 4]) & 0x00000000FFFFFFFFULL;
    x[i] ^= t << 32;
    x[i + 4] ^= t;
  }
  for (size_t i : {0, 1, 4, 5}) {
    const uint64_t t = ((x[i] >> 16) ^ x[i + 2]) & 0x0000FFFF0000FFFFULL;
    x[i] ^= t << 16;
    x[i + 2] ^= t;
  }
  for (size_t i : {0, 2, 4, 6}) {
    const uint64_t t = ((x[i] >> 8) ^ x[i + 1]) & 0x00FF00FF00FF00FFULL;
    x[i] ^= t << 8;
    x[i + 1] ^= t;
  }
}

// The copy is a cache of codes.bin and never takes more than half of the machine's memory.
// A copy that would exceed that (a segment larger than the machine, or a manifest whose row
// count only sparse files back) is not made: the search then reads the mapped codes row by
// row.
size_t copy_budget() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page <= 0) return SIZE_MAX;
  return static_cast<size_t>(pages) / 2 * static_cast<size_t>(page);
}

// Memory for a derived copy of `bytes` (> 0) bytes, or null. A large copy goes on
// transparent huge pages where the system allows them on request: the scan jumps from
// cluster to cluster, and 4 KiB pages would cost a TLB miss or two per probed cluster.
// Sizes are rounded up to the alignment as aligned_alloc requires.
void* alloc_copy(size_t bytes) {
  const size_t align = bytes >= kHugePage ? kHugePage : 64;
  const size_t rounded = (bytes + align - 1) / align * align;
  void* mem = std::aligned_alloc(align, rounded);
#if defined(MADV_HUGEPAGE)
  if (mem != nullptr && align == kHugePage) (void)madvise(mem, rounded, MADV_HUGEPAGE);
#endif
  return mem;
}

}  // namespace

namespace {

// Reports the source rows clusters [c0, c1) read: rows offsets[c] .. min(offsets[c + 1], n,
// rows) - 1 of each cluster, as one range from the least first row to the greatest end (the
// clusters of a chunk are adjacent in a well-formed segment; a damaged one reports a wider
// range, which only costs the caller a page it reads again).
void report_rows(const BlockedCodes::RowsDone& done, const uint32_t* offsets, size_t c0, size_t c1, uint64_t n,
                 uint64_t rows) {
  if (!done) return;
  uint64_t lo = UINT64_MAX, hi = 0;
  for (size_t c = c0; c < c1; ++c) {
    const uint64_t a = offsets[c];
    const uint64_t b = std::min<uint64_t>(std::min<uint64_t>(offsets[c + 1], n), rows);
    if (a >= b) continue;
    lo = std::min(lo, a);
    hi = std::max(hi, b);
  }
  if (lo < hi) done(lo, hi);
}

}  // namespace

BlockedCodes BlockedCodes::build(std::span<const uint64_t> codes, const uint32_t* offsets, size_t n_clusters,
                                 uint32_t n, uint32_t n_bits, size_t words, ScanLayout layout, const RowsDone& done) {
  BlockedCodes bc;
  if (n_bits == 0 || words == 0 || offsets == nullptr) return bc;
  const size_t row_words = static_cast<size_t>(n_bits) * words;
  size_t block_bytes = 0;
  if (__builtin_mul_overflow(row_words, sizeof(uint64_t) * kScanBlockRows, &block_bytes)) return bc;
  const size_t code_rows = codes.size() / row_words;

  std::vector<uint64_t> first(n_clusters + 1, 0);
  for (size_t c = 0; c < n_clusters; ++c) {
    const uint32_t a = offsets[c];
    const uint32_t b = std::min(offsets[c + 1], n);
    const uint64_t rows = b > a ? b - a : 0;
    first[c + 1] = first[c] + (rows + kScanBlockRows - 1) / kScanBlockRows;
  }
  size_t total = 0;
  if (__builtin_mul_overflow(static_cast<size_t>(first[n_clusters]), block_bytes, &total)) return bc;
  if (total > copy_budget()) return bc;
  uint8_t* mem = nullptr;
  if (total != 0) {
    mem = static_cast<uint8_t*>(alloc_copy(total));
    if (mem == nullptr) return bc;
  }
  bc.bytes_.reset(mem);

  const size_t row_bytes = row_words * sizeof(uint64_t);
  const uint8_t* src = reinterpret_cast<const uint8_t*>(codes.data());
  auto transpose = [&](size_t c0, size_t c1) {
    for (size_t c = c0; c < c1; ++c) {
      const uint32_t a = offsets[c];
      uint8_t* out = mem + first[c] * block_bytes;
      const uint64_t end = std::min<uint64_t>(std::min<uint64_t>(offsets[c + 1], n), code_rows);
      for (uint64_t blk = first[c]; blk < first[c + 1]; ++blk, out += block_bytes) {
        const uint64_t r0 = a + (blk - first[c]) * kScanBlockRows;
        if (layout == ScanLayout::Quads) {
          // 4-byte word w of row r (column group w % (len / 32) of plane w / (len / 32)) goes
          // to out[128 w + 4 r]; rows without codes are zero.
          for (size_t r = 0; r < kScanBlockRows; ++r) {
            uint8_t* o = out + 4 * r;
            if (r0 + r < end) {
              const uint8_t* row = src + (r0 + r) * row_bytes;
              for (size_t w = 0; w < row_bytes / 4; ++w) std::memcpy(o + w * 4 * kScanBlockRows, row + 4 * w, 4);
            } else {
              for (size_t w = 0; w < row_bytes / 4; ++w) std::memset(o + w * 4 * kScanBlockRows, 0, 4);
            }
          }
          continue;
        }
        // 8 x 8 byte tiles: 8 rows' next 8 code bytes in, 8 columns' bytes of those rows out.
        for (size_t rg = 0; rg < kScanBlockRows; rg += 8) {
          const uint8_t* rows[8];
          for (size_t i = 0; i < 8; ++i) rows[i] = r0 + rg + i < end ? src + (r0 + rg + i) * row_bytes : nullptr;
          for (size_t col = 0; col < row_bytes; col += 8) {
            uint64_t x[8];
            for (size_t i = 0; i < 8; ++i) {
              x[i] = 0;
              if (rows[i] != nullptr) std::memcpy(&x[i], rows[i] + col, 8);
            }
            transpose8x8(x);
            for (size_t j = 0; j < 8; ++j) std::memcpy(out + (col + j) * kScanBlockRows + rg, &x[j], 8);
          }
        }
      }
    }
    report_rows(done, offsets, c0, c1, n, code_rows);
  };
  // A small copy is made on the calling thread: the pool costs more than it saves there.
  if (total < (size_t{1} << 20)) {
    transpose(0, n_clusters);
  } else {
    parallel::for_chunks(n_clusters, 16, transpose);
  }

  bc.first_block_ = std::move(first);
  bc.block_bytes_ = block_bytes;
  bc.total_bytes_ = total;
  bc.words_ = words;
  bc.n_ = n;
  bc.n_bits_ = n_bits;
  bc.layout_ = layout;
  return bc;
}

bool BlockedCodes::add_factors(std::span<const float> metas, const uint32_t* offsets, const RowsDone& done) {
  if (empty() || offsets == nullptr) return false;
  const size_t blocks = first_block_.back();
  size_t floats = 0;
  if (__builtin_mul_overflow(blocks, kBlockFactorFloats, &floats)) return false;
  if (floats == 0) return false;
  // Within the same budget as the codes' copy, the two together.
  const size_t bytes = floats * sizeof(float);
  if (bytes > copy_budget() - std::min(copy_budget(), total_bytes_)) return false;
  float* mem = static_cast<float*>(alloc_copy(bytes));
  if (mem == nullptr) return false;
  const size_t meta_rows = metas.size() / kRowFactors;
  auto fill = [&](size_t c0, size_t c1) {
    for (size_t c = c0; c < c1; ++c) {
      const uint64_t a = offsets[c];
      const uint64_t end = std::min<uint64_t>(std::min<uint64_t>(offsets[c + 1], n_), meta_rows);
      for (uint64_t blk = first_block_[c]; blk < first_block_[c + 1]; ++blk) {
        float* out = mem + blk * kBlockFactorFloats;
        std::fill_n(out, kBlockFactorFloats, 0.0f);
        const uint64_t r0 = a + (blk - first_block_[c]) * kScanBlockRows;
        for (size_t r = 0; r < kScanBlockRows && r0 + r < end; ++r) {
          const float* f = metas.data() + (r0 + r) * kRowFactors;
          out[r] = f[kFactorNorm2];
          out[kScanBlockRows + r] = f[kFactorStep];
          out[2 * kScanBlockRows + r] = f[kFactorLo];
          out[3 * kScanBlockRows + r] = f[kFactorCodeSum];
          out[4 * kScanBlockRows + r] = (f[kFactorStep] * f[kFactorStep]) / 12.0f;
        }
      }
    }
    report_rows(done, offsets, c0, c1, n_, meta_rows);
  };
  const size_t n_clusters = first_block_.size() - 1;
  if (bytes < (size_t{1} << 20)) {
    fill(0, n_clusters);
  } else {
    parallel::for_chunks(n_clusters, 16, fill);
  }
  factors_.reset(mem);
  return true;
}

}  // namespace ivf_rabitq::codec
