// Int8 rerank codes: the per-row power-of-two quantisation that build, add and compaction
// store, the dequantisation that get_vectors / rebuild / merge / calibration read back, and
// the query side (`RerankTable`) that turns a stored row into a squared L2 distance.
//
// A stored byte b of a row with scale S stands for (b - 128) x S / 127. S is either the
// row's own power of two 2^(e - 128) (exponent byte e, 2..255) or the segment-wide
// quant_scale of the manifest (rows without an exponent).
//
// Every kernel has a scalar reference and AVX2 / AVX-512 variants that give bit-identical
// results: integer sums are exact, and float sums are accumulated one term at a time in index
// order (SIMD only computes the independent terms).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/common/simd.hpp"

namespace ivf_rabitq::storage {

// Exponent byte of a row scale s: 2 when s is zero, negative, infinite or NaN; otherwise
// e + 128 with e the smallest integer such that 2^e >= s, clamped to -126..127 (2..255).
// Computed from the float's bits, never from log2f.
uint8_t row_exp_for(float s);

}  // namespace ivf_rabitq::storage

namespace ivf_rabitq::quant {

// The largest dim whose code energy (sum of (b - 128)^2, at most 128^2 per byte) always fits
// the u32 field of origscale.bin: 262143 x 16384 < 2^32 <= 262144 x 16384.
inline constexpr size_t kMaxRerankDim = 262143;

// Refuses a dim whose code energy could overflow 32 bits. Error (invalid input):
// "build: dim {dim} exceeds 262143, the largest dim whose int8 code energy fits 32 bits".
Status check_rerank_dim(size_t dim);

// f32 2^(max(e, 2) - 128), built from its bit pattern: bytes 0, 1 and 2 give 2^-126,
// 255 gives 2^127.
float row_scale_from_exp(uint8_t e);

// Largest |x[i]| over n values, starting from +0; NaN values are ignored. +inf when any value
// is infinite.
float max_abs(const float* x, size_t n);

// Round-half-up byte of one coordinate: t = ((x * inv) * 127) + 128 in f32, clamped to
// [0, 255] (NaN t gives 0), then floor(t) + (t - floor(t) >= 0.5).
uint8_t quantize_one(float x, float inv);
// quantize_one over n values.
void quantize_u8(const float* x, size_t n, float inv, uint8_t* out);
// quantize_one(x[i], inv) - 128 over n values (-128..127).
void quantize_i16(const float* x, size_t n, float inv, int16_t* out);

// Code energy: sum over n bytes of (b - 128)^2, computed exactly and truncated to u32 (exact
// whenever n <= kMaxRerankDim).
uint32_t code_energy(const uint8_t* b, size_t n);

// One row's rerank encoding with its own power-of-two scale (build rows, delta rows of a
// segment with origscale.bin, compaction re-quantisation).
struct RowCode {
  uint32_t energy;  // sum of (byte - 128)^2
  uint8_t exp;      // exponent byte, 2..255
};
// Encodes dim values of x into codes[0..dim): m = max_abs(x), exp = row_exp_for(m),
// scale l = row_scale_from_exp(exp), bytes = quantize_u8(x, 1 / l).
RowCode encode_pow2_row(const float* x, size_t dim, uint8_t* codes);

// origscale.bin record (8 bytes): u32 LE energy, then the exponent byte as a u32 LE.
inline constexpr size_t kOrigScaleRecordBytes = 8;
void store_origscale_record(uint8_t* rec8, RowCode rc);

// Build: encodes input rows [b, e) of a row-major n x dim matrix. Input row r goes to slot
// slot_of[r] (or slot r when slot_of is null): dim bytes at orig + slot x dim and the 8-byte
// record at origscale + slot x 8. Rows write disjoint ranges, so disjoint [b, e) ranges may
// run in parallel. Cannot fail.
void encode_build_rows(const float* rows, size_t dim, size_t b, size_t e, const uint32_t* slot_of,
                       uint8_t* orig, uint8_t* origscale);

// Delta row (add): dim + 1 bytes into out. With per_row_exp (the segment has origscale.bin):
// encode_pow2_row and byte dim = exponent. Otherwise the segment scale l =
// max(quant_scale, 1e-9) (NaN gives 1e-9), bytes = quantize_u8(x, 1 / l), byte dim = 0.
void encode_delta_row(const float* x, size_t dim, bool per_row_exp, float quant_scale, uint8_t* out);

// Dequantised row: out[i] = ((f32(b[i]) - 128) / 127) x scale in f32, in that order.
void dequantize_row(const uint8_t* b, size_t n, float scale, float* out);
// Scale for dequantising a delta row from its exponent byte: quant_scale (as stored) when the
// byte is 0, else row_scale_from_exp(e). Main rows use row_scale_from_exp of their record's
// exponent byte when origscale.bin is present, else quant_scale.
float delta_row_scale(uint8_t exp_byte, float quant_scale);

// ---- per-level kernels (tests and benchmarks call these directly) ----
float max_abs(const float* x, size_t n, simd::Level lvl);
void quantize_u8(const float* x, size_t n, float inv, uint8_t* out, simd::Level lvl);
void quantize_i16(const float* x, size_t n, float inv, int16_t* out, simd::Level lvl);
uint32_t code_energy(const uint8_t* b, size_t n, simd::Level lvl);
// Exact sum of (a[i] - b[i])^2.
uint64_t ssd_u8(const uint8_t* a, const uint8_t* b, size_t n, simd::Level lvl);
// Exact sum of q[i] x (b[i] - 128).
int64_t dot_i16_u8(const int16_t* q, const uint8_t* b, size_t n, simd::Level lvl);
// dot_i16_u8(q, rows[r], n) for r < m into out[r]: several rows per call, so the query is
// loaded once for a group of rows and the per-call overhead is paid once per batch.
void dot_i16_u8_rows(const int16_t* q, const uint8_t* const* rows, size_t m, size_t n, int64_t* out,
                     simd::Level lvl);
void dot_i16_u8_rows(const int16_t* q, const uint8_t* const* rows, size_t m, size_t n, int64_t* out);
// The same sums from the query as bytes: out[r] = sum q[i] x b[i] - 128 x q_sum for rows[r]
// (r < m), q_sum the exact sum of q[0..n). Equal to dot_i16_u8_rows of the widened query.
// With AVX-512 VNNI (vpdpbusd: 64 byte products a step) when lvl is Avx512 and the CPU has
// it, else the scalar reference; dot_s8_u8_fast() says whether the fast form runs.
void dot_s8_u8_rows(const int8_t* q, int64_t q_sum, const uint8_t* const* rows, size_t m, size_t n, int64_t* out,
                    simd::Level lvl);
bool dot_s8_u8_fast(simd::Level lvl);
// f32 sum, from +0 in index order, of (q[i] - (f32(b[i]) - 128) x step)^2.
float float_dist(const float* q, const uint8_t* b, size_t n, float step, simd::Level lvl);
RowCode encode_pow2_row(const float* x, size_t dim, uint8_t* codes, simd::Level lvl);

// The exponent of a stored row: its exponent byte and its code energy.
struct RowExponent {
  uint8_t exp;
  uint32_t energy;
};

// Main row s of a segment with origscale.bin: reads the 8-byte record (u32 LE energy at
// bytes 0..3, exponent byte at byte 4; bytes 5..7 are not read).
RowExponent main_row_exponent(const uint8_t* rec8);
// Delta row of dim + 1 bytes: none when byte dim is 0, else (byte dim, code energy of the
// dim code bytes computed on the fly).
std::optional<RowExponent> delta_row_exponent(const uint8_t* row, size_t dim);

// The query side of the int8 rerank, built once per query and read concurrently afterwards.
struct RerankTable {
  struct Pow2 {
    std::vector<int16_t> codes_i16;  // query codes at its own power-of-two scale, -128..127
    std::vector<int8_t> codes_i8;    // the same codes as bytes
    int64_t codes_sum = 0;           // their exact sum
    double pow2_step = 0;            // 2^eq / 127
    double query_norm = 0;           // pow2_step^2 x sum of codes_i16[i]^2
  };

  std::vector<uint8_t> codes_u8;  // codes at the segment scale; empty on fallback / empty query
  float step_sq = 0;              // step x step
  float step = 0;                 // max(quant_scale, 1e-9) / 127
  bool float_fallback = false;    // the query's largest magnitude exceeds the segment scale
  std::optional<Pow2> pow2;       // present exactly when asked for (segment has origscale.bin)

  // Builds the table of a query against a segment of scale quant_scale.
  static RerankTable build(std::span<const float> query, float quant_scale, bool pow2);
  static RerankTable build(std::span<const float> query, float quant_scale, bool pow2, simd::Level lvl);
  // Rebuilds this table in place, reusing its buffers (per-thread scratch tables).
  void assign(std::span<const float> query, float quant_scale, bool want_pow2);
  void assign(std::span<const float> query, float quant_scale, bool want_pow2, simd::Level lvl);

  // Squared L2 distance between the query (the same values the table was built from; its
  // length is the row's dim) and a stored row of query.size() code bytes. exp is the row's
  // exponent, none for segment-scale rows. Never negative, never -0; pure, allocation-free.
  float distance(std::span<const float> query, const uint8_t* row, std::optional<RowExponent> exp) const;
  float distance(std::span<const float> query, const uint8_t* row, std::optional<RowExponent> exp,
                 simd::Level lvl) const;

  // The power-of-two integer formula of a row with exponent e whose exact dot product with
  // codes_i16 is dot (requires the pow2 part). distance() uses it for such rows; batch
  // scorers that compute the dot products several rows at a time finish with it, so both
  // give the same bits.
  float pow2_distance(RowExponent e, int64_t dot) const {
    const double v = static_cast<double>(quant::row_scale_from_exp(e.exp)) * 0.007874015748031496;
    const double t = static_cast<double>(e.energy);
    const double d = ((t * (v * v)) - (((v + v) * pow2->pow2_step) * static_cast<double>(dot))) + pow2->query_norm;
    if (!(d > 0.0)) return 0.0f;  // negative, -0 and NaN all give +0
    return static_cast<float>(d);
  }
};

}  // namespace ivf_rabitq::quant

namespace ivf_rabitq::quant::detail {
// Kernel entry points of each ISA file; called only through the dispatch in quant.cpp.
#define TANDREL_QUANT_KERNELS(ns)                                                   \
  namespace ns {                                                                    \
  float max_abs(const float* x, size_t n);                                          \
  void quantize_u8(const float* x, size_t n, float inv, uint8_t* out);              \
  void quantize_i16(const float* x, size_t n, float inv, int16_t* out);             \
  uint64_t code_energy(const uint8_t* b, size_t n);                                 \
  uint64_t ssd_u8(const uint8_t* a, const uint8_t* b, size_t n);                    \
  int64_t dot_i16_u8(const int16_t* q, const uint8_t* b, size_t n);                 \
  void dot_i16_u8_rows(const int16_t* q, const uint8_t* const* rows, size_t m, size_t n, int64_t* out); \
  float float_dist(const float* q, const uint8_t* b, size_t n, float step);         \
  void dot_s8_u8_rows(const int8_t* q, int64_t q_sum, const uint8_t* const* rows, size_t m, size_t n, int64_t* out); \
  }
TANDREL_QUANT_KERNELS(scalar)
TANDREL_QUANT_KERNELS(avx2)
TANDREL_QUANT_KERNELS(avx512)
#undef TANDREL_QUANT_KERNELS
}  // namespace ivf_rabitq::quant::detail
