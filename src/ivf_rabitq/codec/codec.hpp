// Vector codec: the segment's random rotation, the n-bit binary row codes with their four
// row factors, the 4-bit query lookup table, and the bit-plane inner product between the
// two (scalar reference plus AVX2 / AVX-512 batch kernels).
//
// Floating point here is part of the stored format: every sum runs in the order written
// in codec.cpp; SIMD variants only work across independent lanes (rows, butterflies) and
// give bit-identical results to the scalar reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ivf_rabitq/common/simd.hpp"

namespace ivf_rabitq::codec {

// ---------------------------------------------------------------------------------------
// Random rotation
// ---------------------------------------------------------------------------------------

// XORed into the segment seed to give the rotation seed.
inline constexpr uint64_t kRotationSeedXor = 0x5241424954513171ULL;

// The rotation seed of a segment seed (the manifest's u64 seed).
constexpr uint64_t rotation_seed(uint64_t segment_seed) { return segment_seed ^ kRotationSeedXor; }

// Padded length of rotated vectors: max(64, dim rounded up to a multiple of 64) in the
// new layout, max(64, smallest power of two >= dim) in the legacy layout.
size_t rotation_pad(size_t dim, bool new_layout);

// Rounds of sign flips and unnormalised Walsh-Hadamard transforms. Immutable after
// build(); rotate_into() is safe to call from any number of threads at once.
struct Rotator {
  // One sign vector (+1.0f / -1.0f) per round: new layout 4 x dim, legacy 2 x pad.
  std::vector<std::vector<float>> signs;
  size_t dim = 0;
  size_t pad = 64;
  size_t block = 0;          // new layout: largest power of two <= dim (1 for dim 0); legacy 0
  float legacy_scale = 0.f;  // legacy: 1/sqrt(pad) in f32; new 0
  float block_scale = 0.f;   // new: 1/sqrt(block) in f32; legacy 0
  bool new_layout = true;

  // seed is the rotation seed (rotation_seed(segment seed)). new_layout: true at build
  // and merge, and at open for format version >= 2.
  static Rotator build(size_t dim, uint64_t seed, bool new_layout);

  // Writes the rotation of src into out (pad elements). src may be shorter than dim
  // (missing values count as 0) or longer (extra values ignored). Allocates nothing.
  // out must hold at least pad elements; only out[0..pad) is written. A shorter out is
  // a caller bug: it is zero-filled and left unrotated rather than overrun.
  void rotate_into(std::span<const float> src, std::span<float> out) const;
};

// In-place unnormalised fast Walsh-Hadamard transform of v[0..n) (levels h = 1, 2, 4, ...
// while h < n; blocks of 2h while s + 2h <= n). Dispatched on simd::active_level().
void fwht(float* v, size_t n);
// The same at an explicit level (the level must be supported by the CPU; tests/benches).
void fwht_at(simd::Level level, float* v, size_t n);

// ---------------------------------------------------------------------------------------
// Binary row codes and query lookup tables
// ---------------------------------------------------------------------------------------

// Row factors: four f32 per row, in this order (metas.bin and the delta store them so).
inline constexpr size_t kFactorNorm2 = 0;
inline constexpr size_t kFactorStep = 1;
inline constexpr size_t kFactorLo = 2;
inline constexpr size_t kFactorCodeSum = 3;
inline constexpr size_t kRowFactors = 4;

// Quantises a rotated residual x (len f32, len = pad) to n_bits (1..8) bits per
// coordinate, written as n_bits bit planes of `words` u64 each (plane-major) into code,
// and fills factors with (norm2, step, lo, code_sum). D is the statistics length (dim in
// the new rotation layout, pad in the legacy one). Preconditions: code.size() >=
// n_bits * words, words * 64 >= len. Uses a fixed 64-byte scratch; no allocation.
void encode_rotated_bbit(std::span<const float> x, size_t D, uint32_t n_bits, size_t words,
                         std::span<uint64_t> code, std::span<float, kRowFactors> factors);

// Query side of one probed cluster: 4-bit codes as 4 bit planes plus scalars.
struct QueryLut {
  std::vector<uint64_t> words;  // 4 planes x words_per_plane, plane-major
  size_t words_per_plane = 0;
  float norm2 = 0.f;
  float step = 0.f;
  float lo = 0.f;
  float code_sum = 0.f;
};

// Overwrites lut from the rotated query residual r (len f32, len a positive multiple of
// 64) with statistics length D. Reuses lut.words' storage (allocates only to grow it).
// Dispatched on simd::active_level(); every level gives the same table.
void preprocess_query_into(QueryLut& lut, std::span<const float> r, size_t D);
// The same at an explicit level (the level must be supported by the CPU; tests/benches).
void preprocess_query_into_at(simd::Level level, QueryLut& lut, std::span<const float> r, size_t D);

// Raw statistics of one residual over its first n coordinates, in coordinate order: the
// largest and smallest value (NaN values ignored; of equal values the first one is kept;
// -inf / +inf when there is none) and the f32 running sums of the values and of their
// squares, each added one coordinate after another from +0.
struct ResidualStats {
  float mn;
  float mx;
  float sum;
  float sumsq;
};

// Statistics of the residuals q - rows[ids[i]] (rows: row-major, `stride` f32 per row) over
// their first n coordinates, for i < count, into out[i]. The residual value of coordinate
// j is the f32 difference q[j] - row[j]. Several residuals are walked side by side (one
// per SIMD lane), each still in coordinate order, so the sums equal the one-at-a-time
// sums bit for bit. Dispatched on simd::active_level(); no allocation.
void residual_stats(const float* q, const float* rows, size_t stride, const uint32_t* ids, size_t count,
                    size_t n, ResidualStats* out);
void residual_stats_at(simd::Level level, const float* q, const float* rows, size_t stride,
                       const uint32_t* ids, size_t count, size_t n, ResidualStats* out);

// preprocess_query_into with the raw statistics of r over its first min(len, D)
// coordinates already computed (residual_stats): identical result.
void preprocess_query_with(QueryLut& lut, std::span<const float> r, size_t D, const ResidualStats& st);

// Inner product sum_i qcode[i] * rowcode[i] from the bit planes: lut_words holds >= 4 x
// words, code >= n_bits x words. 0 when n_bits or words is 0. Portable reference.
uint64_t estimate_qc_scalar(std::span<const uint64_t> lut_words, std::span<const uint64_t> code,
                            uint32_t n_bits, size_t words);

// ---------------------------------------------------------------------------------------
// Batch kernels for the cluster scan
// ---------------------------------------------------------------------------------------

// Inner products of n_rows consecutive rows against one lookup table. Row r's code is
// codes[r * n_bits * words .. (r + 1) * n_bits * words); lut_words holds 4 x words words;
// out[r] = estimate_qc_scalar(lut_words, row r, n_bits, words). n_bits 0..8 (0 gives 0s).
// No allocation. Dispatched once on simd::active_level(); specialised for n_bits 1/2/4
// with words 2/12/24 and generic otherwise.
void ip_rows(const uint64_t* lut_words, const uint64_t* codes, size_t n_rows, uint32_t n_bits,
             size_t words, uint64_t* out);
// The same at an explicit level (must be supported by the CPU).
void ip_rows_at(simd::Level level, const uint64_t* lut_words, const uint64_t* codes, size_t n_rows,
                uint32_t n_bits, size_t words, uint64_t* out);

// Estimated squared distance of a row and its lower bound (six standard deviations of
// the rounding error below the estimate).
struct RowEstimate {
  float estimate;
  float lower;
};

// From one inner product ip (estimate_qc_scalar), the row's four factors and the lut's
// scalars; pad is the segment's padded dimension. f32, in the stored order:
//   S = pad*(lo_x*lo_q) + ((step_x*lo_q)*code_sum_x + ((lo_x*step_q)*code_sum_q + (step_x*step_q)*IP))
//   estimate = (norm2_x + norm2_q) - (S + S)
//   var = ((step_x*step_x)/12)*norm2_q + ((step_q*step_q)/12)*norm2_x  (negative/NaN -> 0)
//   lower = estimate - 6*sqrt(var)
RowEstimate estimate_distance(uint64_t ip, const float* row_factors, const QueryLut& lut, size_t pad);

// Estimates and lower bounds of n_rows consecutive rows (codes as for ip_rows, factors 4
// f32 per row) against lut (lut.words_per_plane words per plane); writes estimate[r] and
// lower[r]. Bit-identical to estimate_distance(estimate_qc_scalar(...)) for every row.
// No allocation. Dispatched once on simd::active_level().
void estimate_rows(const QueryLut& lut, const uint64_t* codes, const float* factors, size_t n_rows,
                   uint32_t n_bits, size_t pad, float* estimate, float* lower);
void estimate_rows_at(simd::Level level, const QueryLut& lut, const uint64_t* codes,
                      const float* factors, size_t n_rows, uint32_t n_bits, size_t pad,
                      float* estimate, float* lower);

// Per-level kernels (implemented in codec.cpp, codec_avx2.cpp, codec_avx512.cpp). Call
// them only through the dispatchers above or when simd::cpu_supports(level).
namespace detail {
void ip_rows_scalar(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint32_t n_bits,
                    size_t words, uint64_t* out);
void ip_rows_avx2(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint32_t n_bits,
                  size_t words, uint64_t* out);
void ip_rows_avx512(const uint64_t* q, const uint64_t* codes, size_t n_rows, uint32_t n_bits,
                    size_t words, uint64_t* out);
void fwht_scalar(float* v, size_t n);
void fwht_avx2(float* v, size_t n);
void fwht_avx512(float* v, size_t n);
// Raw statistics, one residual per lane (see residual_stats).
void residual_stats_scalar(const float* q, const float* rows, size_t stride, const uint32_t* ids,
                           size_t count, size_t n, ResidualStats* out);
void residual_stats_avx2(const float* q, const float* rows, size_t stride, const uint32_t* ids,
                         size_t count, size_t n, ResidualStats* out);
void residual_stats_avx512(const float* q, const float* rows, size_t stride, const uint32_t* ids,
                           size_t count, size_t n, ResidualStats* out);
// 4-bit query codes of r[0..len) (len a multiple of 64): code = round half up of
// clamp((r - lo) / div, 0, 15) (NaN gives 0), written as 4 bit planes of wpp words into
// words; returns the exact sum of the codes.
uint64_t quantise_query_scalar(const float* r, size_t len, float lo, float div, uint64_t* words, size_t wpp);
uint64_t quantise_query_avx2(const float* r, size_t len, float lo, float div, uint64_t* words, size_t wpp);
uint64_t quantise_query_avx512(const float* r, size_t len, float lo, float div, uint64_t* words, size_t wpp);
// Estimate math for n rows whose inner products are given (ip[r]).
struct EstimateScalars {
  float pad, lo_q, step_q, code_sum_q, norm2_q;
};
void estimates_from_ip_scalar(const EstimateScalars& s, const uint64_t* ip, const float* factors,
                              size_t n, float* estimate, float* lower);
void estimates_from_ip_avx2(const EstimateScalars& s, const uint64_t* ip, const float* factors,
                            size_t n, float* estimate, float* lower);
void estimates_from_ip_avx512(const EstimateScalars& s, const uint64_t* ip, const float* factors,
                              size_t n, float* estimate, float* lower);
}  // namespace detail

}  // namespace ivf_rabitq::codec
