// Cluster scan over a block-interleaved copy of the binary row codes.
//
// The inner product sum_i qcode[i] * rowcode[i] of estimate_qc_scalar is rewritten with
// 16-entry lookup tables: for each group g of 4 consecutive coordinates,
//   T_g[m] = sum over the set bits t of m of qcode[4g + t]          (at most 60)
// so that IP = sum over row planes p of 2^p * sum_g T_g[nibble of plane p at group g].
// Every term is an exact integer, so the result equals estimate_qc_scalar bit for bit and
// the estimates and bounds built from it do not change.
//
// Blocked layout: the rows of a cluster are cut into blocks of 32 (the last one padded with
// zero codes). Inside a block, for row plane p and coordinate byte j (coordinates 8j..8j+7,
// that is groups 2j and 2j+1), 32 consecutive bytes hold byte j of plane p of rows 0..31:
// its low nibble indexes T_2j, its high nibble T_2j+1. One byte shuffle then looks up 32
// rows at once. The copy is derived from codes.bin (a byte transpose), never stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/common/simd.hpp"

namespace ivf_rabitq::codec {

inline constexpr size_t kScanBlockRows = 32;

// Bytes of the lookup tables of one query residual of len coordinates: 16 per group of 4.
constexpr size_t scan_table_bytes(size_t len) { return len * 4; }

// Bytes of one block of 32 rows: n_bits planes of len / 8 coordinate bytes x 32 rows.
constexpr size_t scan_block_bytes(uint32_t n_bits, size_t len) { return static_cast<size_t>(n_bits) * len * 4; }

// Fills tables (scan_table_bytes(lut.words_per_plane * 64) bytes) from the 4-bit query codes
// of lut: table g is tables[16g .. 16g + 16). Dispatched on simd::active_level().
void build_scan_tables(const QueryLut& lut, uint8_t* tables);
void build_scan_tables_at(simd::Level level, const QueryLut& lut, uint8_t* tables);

// Inner products of n_blocks consecutive blocks (scan_block_bytes(n_bits, len) bytes each)
// against tables: ip[32b + r] for row r of block b (padding rows included). len is the code
// length in coordinates (words per plane x 64), n_bits 1..8. No allocation. Dispatched on
// simd::active_level().
void scan_blocks(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits, size_t len,
                 uint64_t* ip);
void scan_blocks_at(simd::Level level, const uint8_t* blocks, size_t n_blocks, const uint8_t* tables,
                    uint32_t n_bits, size_t len, uint64_t* ip);

// Estimates and lower bounds of n rows from their inner products ip[r] and factors (4 f32
// per row) against lut; bit-identical to estimate_distance for every row. Dispatched.
void estimates_from_ips(const QueryLut& lut, size_t pad, const uint64_t* ip, const float* factors, size_t n,
                        float* estimate, float* lower);

// The block-interleaved copy of a segment's main row codes, cluster by cluster. Cluster c
// owns the rows offsets[c] .. min(offsets[c+1], n) - 1 and the blocks first_block[c] ..
// first_block[c+1] - 1 (ceil(rows / 32) of them). Immutable once built.
class BlockedCodes {
 public:
  BlockedCodes() = default;

  // Transposes the codes of every cluster (in parallel over clusters). codes holds n_bits x
  // words u64 per row; rows beyond codes' length are left as zero codes. A cluster whose
  // offsets are out of order gets no rows.
  static BlockedCodes build(std::span<const uint64_t> codes, const uint32_t* offsets, size_t n_clusters, uint32_t n,
                            uint32_t n_bits, size_t words);

  bool empty() const { return first_block_.empty(); }
  size_t n_clusters() const { return first_block_.empty() ? 0 : first_block_.size() - 1; }
  uint32_t n() const { return n_; }
  uint32_t n_bits() const { return n_bits_; }
  size_t words() const { return words_; }
  size_t block_bytes() const { return block_bytes_; }
  size_t total_bytes() const { return total_bytes_; }
  // First block of cluster c (c < n_clusters()).
  const uint8_t* cluster_blocks(size_t c) const { return bytes_.get() + first_block_[c] * block_bytes_; }

 private:
  struct Free {
    void operator()(uint8_t* p) const { std::free(p); }
  };
  std::unique_ptr<uint8_t[], Free> bytes_;
  std::vector<uint64_t> first_block_;
  size_t block_bytes_ = 0;
  size_t total_bytes_ = 0;
  size_t words_ = 0;
  uint32_t n_ = 0;
  uint32_t n_bits_ = 0;
};

// Per-level kernels (fastscan.cpp, fastscan_avx2.cpp, fastscan_avx512.cpp). Call them only
// through the dispatchers above or when the CPU has the level's features.
namespace detail {
void build_scan_tables_scalar(const uint64_t* words, size_t wpp, uint8_t* tables);
void build_scan_tables_avx2(const uint64_t* words, size_t wpp, uint8_t* tables);
void scan_blocks_scalar(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits,
                        size_t len, uint64_t* ip);
void scan_blocks_avx2(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits,
                      size_t len, uint64_t* ip);
void scan_blocks_avx512(const uint8_t* blocks, size_t n_blocks, const uint8_t* tables, uint32_t n_bits,
                        size_t len, uint64_t* ip);
// The vector kernels keep 32-bit row sums: up to 15 x 255 x len, exact below this length.
inline constexpr size_t kMaxVectorScanLen = size_t{1} << 20;
}  // namespace detail

}  // namespace ivf_rabitq::codec
