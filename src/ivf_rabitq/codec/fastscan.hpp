// Cluster scan over a block-interleaved copy of the binary row codes.
//
// The inner product sum_i qcode[i] * rowcode[i] of estimate_qc_scalar is rewritten with
// 16-entry lookup tables: for each group g of 4 consecutive coordinates,
//   T_g[m] = sum over the set bits t of m of qcode[4g + t]          (at most 60)
// so that IP = sum over row planes p of 2^p * sum_g T_g[nibble of plane p at group g].
// Every term is an exact integer, so the result equals estimate_qc_scalar bit for bit and
// the estimates and bounds built from it do not change.
//
// The rows of a cluster are cut into blocks of 32 (the last one padded with zero codes). A
// plane of a row has len / 8 coordinate bytes (a multiple of 8: len is a multiple of 64).
// The copy is derived from codes.bin, never stored, in one of two layouts chosen per process
// (scan_layout()); a block has the same size in both, and the lookup tables are ordered to
// match the layout:
//
// ScanLayout::Bytes (every level but the VBMI one): for row plane p and coordinate byte j
// (coordinates 8j..8j+7, groups 2j and 2j+1), 32 consecutive bytes hold byte j of plane p of
// rows 0..31: its low nibble indexes T_2j, its high nibble T_2j+1. One byte shuffle looks up
// 32 rows at once. Table g is tables[16g .. 16g + 16).
//
// ScanLayout::Quads (AVX-512 with VBMI and VNNI): for row plane p and column group c
// (coordinate bytes 4c..4c+3), 128 consecutive bytes hold rows 0..31 x 4 bytes: row r's bytes
// 4c..4c+3 of plane p at 4r..4r+3. The 128 table bytes of column group c are the low-nibble
// tables T_8c, T_8c+2, T_8c+4, T_8c+6, then the high-nibble ones T_8c+1, T_8c+3, T_8c+5,
// T_8c+7, so that one 64-entry byte permute of 16 rows x 4 bytes (nibble | 16 x byte
// position as index) looks up the four tables at once and a u8 x s8 dot product adds each
// row's four lookups into its own 32-bit lane, rows in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/common/simd.hpp"

namespace ivf_rabitq::codec {

inline constexpr size_t kScanBlockRows = 32;

// How the bytes of a block (and the lookup tables) are ordered; see the top of this file.
enum class ScanLayout : uint8_t { Bytes = 0, Quads = 1 };

// The layout of the kernels at `level`: Quads at AVX-512 when the CPU also has VBMI and
// VNNI, else Bytes. A level the CPU lacks gives the layout of the scalar kernels.
ScanLayout scan_layout_for(simd::Level level);
// The layout of this process: that of simd::active_level(). Blocks and tables made for the
// dispatched scan_blocks must use it (BlockedCodes::build and build_scan_tables do).
ScanLayout scan_layout();

// Bytes of the lookup tables of one query residual of len coordinates: 16 per group of 4.
constexpr size_t scan_table_bytes(size_t len) { return len * 4; }

// Bytes of one block of 32 rows: n_bits planes of len / 8 coordinate bytes x 32 rows.
constexpr size_t scan_block_bytes(uint32_t n_bits, size_t len) { return static_cast<size_t>(n_bits) * len * 4; }

// Fills tables (scan_table_bytes(lut.words_per_plane * 64) bytes) from the 4-bit query codes
// of lut, in the order of scan_layout(). Dispatched on simd::active_level(); the _at variant
// writes the order of scan_layout_for(level).
void build_scan_tables(const QueryLut& lut, uint8_t* tables);
void build_scan_tables_at(simd::Level level, const QueryLut& lut, uint8_t* tables);

// Inner products of n_blocks consecutive blocks (scan_block_bytes(n_bits, len) bytes each)
// against tables: ip[32b + r] for row r of block b (padding rows included). len is the code
// length in coordinates (words per plane x 64), n_bits 1..8. No allocation. Dispatched on
// simd::active_level(); blocks and tables are in the order of scan_layout() (of
// scan_layout_for(level) for the _at variant).
// ahead_blocks: how many blocks after these the caller will scan next (the rest of its
// cluster); the kernel may request them from memory early. A hint only: the results are
// the same whatever its value.
void scan_blocks(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits, size_t len,
                 uint64_t* ip, size_t ahead_blocks = 0);
void scan_blocks_at(simd::Level level, const uint8_t* blocks, size_t n_blocks, const uint8_t* tables,
                    uint32_t n_bits, size_t len, uint64_t* ip);

// Estimates and lower bounds of n rows from their inner products ip[r] and factors (4 f32
// per row) against lut; bit-identical to estimate_distance for every row. Dispatched.
void estimates_from_ips(const QueryLut& lut, size_t pad, const uint64_t* ip, const float* factors, size_t n,
                        float* estimate, float* lower);

// Row factors in the blocks of the scan: per block of 32 rows, kBlockFactorFields runs of 32
// f32 (norm2, step, lo and code_sum of the rows, then (step x step) / 12, the f32 value the
// estimate's variance term starts from), zero for the padding rows. Estimates read them
// without transposing a row's four factors and without a division per row.
inline constexpr size_t kBlockFactorFields = 5;
inline constexpr size_t kBlockFactorFloats = kBlockFactorFields * kScanBlockRows;

// Estimates and lower bounds of rows 0..n-1 of consecutive blocks whose factors start at
// fblocks (kBlockFactorFloats f32 a block) from their inner products ip[r], against lut;
// bit-identical to estimates_from_ips over the rows' stored factors. Written for n rounded
// up to a multiple of 16 (padding rows of the last block included): estimate and lower must
// hold that many. ahead_blocks as for scan_blocks (a hint). Dispatched: AVX-512, else the
// scalar reference.
void estimates_from_blocked(const QueryLut& lut, size_t pad, const uint64_t* ip, const float* fblocks, size_t n,
                            float* estimate, float* lower, size_t ahead_blocks = 0);
// scan_blocks over n_blocks blocks, then estimates_from_blocked over their first `rows` rows
// (rows <= 32 x n_blocks), the same values; with the AVX-512 VBMI scan in one pass that keeps
// the inner products in registers and writes the estimates of every row of the blocks
// (estimate and lower must hold 32 x n_blocks entries). ip (32 x n_blocks entries) is
// scratch, written or not. ahead_blocks as for scan_blocks (a hint).
void scan_estimate_blocks(const uint8_t* blocks, size_t n_blocks, size_t rows, const uint8_t* tables, uint32_t n_bits,
                          size_t len, const QueryLut& lut, size_t pad, const float* fblocks, uint64_t* ip,
                          float* estimate, float* lower, size_t ahead_blocks = 0);
// Whether estimates_from_blocked runs a vector kernel at this process's level (the blocked
// factors are only worth their memory then).
bool blocked_estimates_fast();

// The block-interleaved copy of a segment's main row codes, cluster by cluster. Cluster c
// owns the rows offsets[c] .. min(offsets[c+1], n) - 1 and the blocks first_block[c] ..
// first_block[c+1] - 1 (ceil(rows / 32) of them). Immutable once built.
class BlockedCodes {
 public:
  BlockedCodes() = default;

  // Called with a range [first, end) of source rows once the copy has read them for good, so
  // that the caller can drop the source's pages while the copy is still being made. Ranges
  // of different calls may touch the same page (never the same row); calls may come from
  // several threads at once.
  using RowsDone = std::function<void(uint64_t first, uint64_t end)>;

  // Transposes the codes of every cluster (in parallel over clusters). codes holds n_bits x
  // words u64 per row; rows beyond codes' length are left as zero codes. A cluster whose
  // offsets are out of order gets no rows. The blocks are in the given layout. `done`, when
  // set, hears of the code rows read (see RowsDone).
  static BlockedCodes build(std::span<const uint64_t> codes, const uint32_t* offsets, size_t n_clusters, uint32_t n,
                            uint32_t n_bits, size_t words, ScanLayout layout = scan_layout(),
                            const RowsDone& done = {});

  bool empty() const { return first_block_.empty(); }
  size_t n_clusters() const { return first_block_.empty() ? 0 : first_block_.size() - 1; }
  uint32_t n() const { return n_; }
  uint32_t n_bits() const { return n_bits_; }
  size_t words() const { return words_; }
  ScanLayout layout() const { return layout_; }
  size_t block_bytes() const { return block_bytes_; }
  size_t total_bytes() const { return total_bytes_; }
  // First block of cluster c (c < n_clusters()).
  const uint8_t* cluster_blocks(size_t c) const { return bytes_.get() + first_block_[c] * block_bytes_; }

  // Adds the blocked row factors (see kBlockFactorFields) from metas (4 f32 a row, the rows
  // of the codes); rows beyond metas' length get zero factors. Returns false, adding
  // nothing, when the copy cannot be allocated or would take the two copies past half the
  // machine's memory. `done`, when set, hears of the metas rows read (see RowsDone).
  bool add_factors(std::span<const float> metas, const uint32_t* offsets, const RowsDone& done = {});
  bool has_factors() const { return factors_ != nullptr; }
  // The copy's memory: the blocks (total_bytes()) and the factors (factor_bytes(), 0 without
  // them), for residency calls on it.
  const uint8_t* block_data() const { return bytes_.get(); }
  const float* factor_data() const { return factors_.get(); }
  size_t factor_bytes() const { return factors_ ? first_block_.back() * kBlockFactorFloats * sizeof(float) : 0; }
  // Factors of the first block of cluster c (has_factors()).
  const float* cluster_factors(size_t c) const { return factors_.get() + first_block_[c] * kBlockFactorFloats; }

 private:
  struct Free {
    void operator()(void* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t[], Free> bytes_;
  std::unique_ptr<float[], Free> factors_;
  std::vector<uint64_t> first_block_;
  size_t block_bytes_ = 0;
  size_t total_bytes_ = 0;
  size_t words_ = 0;
  uint32_t n_ = 0;
  uint32_t n_bits_ = 0;
  ScanLayout layout_ = ScanLayout::Bytes;
};

// Per-level kernels (fastscan.cpp, fastscan_avx2.cpp, fastscan_avx512.cpp). Call them only
// through the dispatchers above or when the CPU has the level's features. The table
// builders write the order of `layout`; the scan_blocks_* kernels read the Bytes layout,
// the scan_quads_* kernels the Quads layout.
namespace detail {
void build_scan_tables_scalar(const uint64_t* words, size_t wpp, uint8_t* tables, ScanLayout layout);
void build_scan_tables_avx2(const uint64_t* words, size_t wpp, uint8_t* tables, ScanLayout layout);
void scan_blocks_scalar(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits,
                        size_t len, uint64_t* ip);
void scan_blocks_avx2(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits,
                      size_t len, uint64_t* ip);
void scan_blocks_avx512(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits,
                        size_t len, uint64_t* ip);
void scan_quads_scalar(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits, size_t len,
                       uint64_t* ip);
void scan_quads_vbmi(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits, size_t len,
                     uint64_t* ip);
// scan_quads_vbmi_ahead, then estimates_from_blocked_avx512 of every row of the blocks, in
// one pass (scan_estimate_blocks).
void scan_estimate_quads_vbmi(const uint8_t* blocks, size_t n_blocks, size_t ahead, const uint8_t* tables,
                              uint32_t n_bits, size_t len, const EstimateScalars& s, const float* fblocks,
                              float* estimate, float* lower);
// The same, requesting early the `ahead` blocks that follow (see scan_blocks).
void scan_quads_vbmi_ahead(const uint8_t* blocks, size_t n_blocks, size_t ahead, const uint8_t* tables,
                           uint32_t n_bits, size_t len, uint64_t* ip);
// The blocked-factor estimates share the estimate code of codec.cpp / codec_avx512.cpp and
// live there.
void estimates_from_blocked_scalar(const EstimateScalars& s, const uint64_t* ip, const float* fblocks, size_t n,
                                   float* estimate, float* lower);
void estimates_from_blocked_avx512(const EstimateScalars& s, const uint64_t* ip, const float* fblocks, size_t n,
                                   float* estimate, float* lower);
// The same, requesting early the factors of the `ahead` blocks that follow (see scan_blocks).
void estimates_from_blocked_avx512_ahead(const EstimateScalars& s, const uint64_t* ip, const float* fblocks, size_t n,
                                         float* estimate, float* lower, size_t ahead);
// The vector kernels keep 32-bit row sums: up to 15 x 255 x len, exact up to this length
// (15 x 255 x 2^20 < 2^32); longer codes are scanned by the scalar kernel of the layout.
inline constexpr size_t kMaxVectorScanLen = size_t{1} << 20;
}  // namespace detail

}  // namespace ivf_rabitq::codec
