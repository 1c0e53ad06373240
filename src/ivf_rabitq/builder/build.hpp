// Bulk build of a segment directory: clustering, ordering by cluster, the two encodings of
// every row (binary codes of the rotated residual, int8 rerank codes), typing of the rows'
// metadata into columns, and the ordered writing of every file with manifest.bin last.
//
// Everything a build writes is a pure function of its inputs: the parallel steps (k-means,
// assignment, segment scale, row encoding) compute independent per-row values into
// pre-sized outputs; metadata, dictionaries, sparse postings and file writes are sequential.
// Only the entry order of crcs.bin may differ between runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ivf_rabitq/codec/codec.hpp"
#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::builder {

// Rows of a segment are addressed by u32 slots and 0xFFFFFFFF is never a slot, so a segment
// holds at most 4294967294 rows.
inline constexpr uint64_t kMaxSegmentRows = 4294967294ull;

// The seed of the segment's rotation is the segment seed XORed with this value.
inline constexpr uint64_t kBuildRotationXor = codec::kRotationSeedXor;

// Assignment switches from brute force to neighbour-list descent at this many clusters.
inline constexpr size_t kNeighborListMinClusters = 512;

// The metadata of a build's input rows, one entry per input row in input order. Either parsed
// documents (rebuild hands over the live rows' values) or JSON texts, which the build parses
// itself, each exactly once, in batches of rows (only one batch's documents alive at a time),
// before it touches the disk (the Python build hands over the caller's texts). The list may be shorter than n: a missing entry counts as
// null. Entries beyond the n-th are ignored. The viewed storage must outlive the build call.
class BuildMetadata {
 public:
  // No metadata: every row is null.
  BuildMetadata() = default;
  static BuildMetadata values(std::span<const json::Value> docs) { return BuildMetadata(docs); }
  static BuildMetadata texts(std::span<const std::string> texts) { return BuildMetadata(texts); }
  static BuildMetadata texts(std::span<const std::string_view> texts) { return BuildMetadata(texts); }

  size_t size() const;
  bool is_texts() const { return src_.index() != 0; }

  // Row r's value (r < size()): points `out` at the document, or parses the text into
  // `holder` and points `out` at it. Safe to call from several threads at once. A text that is
  // not valid JSON is the invalid-data error
  // "build: metadata[{r}] is not valid JSON ({parser message}); pass "{}" or "null" explicitly".
  Status load(size_t r, json::Value& holder, const json::Value*& out) const;

 private:
  using Source = std::variant<std::span<const json::Value>, std::span<const std::string>,
                              std::span<const std::string_view>>;
  template <class S>
  explicit BuildMetadata(S s) : src_(s) {}
  Source src_{std::span<const json::Value>{}};
};

// The parameters of a build besides its rows.
struct BuildParams {
  uint32_t n_clusters = 0;   // requested cluster count (0 gives 1; above n gives n)
  uint32_t n_bits = 2;       // requested bits per coordinate (0 gives 1; above 8 gives 8)
  uint64_t seed = 0;         // the segment seed, stored as given
  float quant_scale = 0.0f;  // > 0: stored as given; otherwise computed from the rows
};

// Writes one complete format-3 segment into `dir` (created with its missing parents):
// data files (each with its CRC-32 recorded), crcs.bin, format.bin (3), generation (0) and,
// last, manifest.bin. A manifest.bin already in the directory is removed (and the removal
// made durable) before any data file is written, so an interrupted build never leaves an old
// manifest over new data files. Stale delta.bin, deleted.bin, wal.bin and wal.corrupt.bin are
// removed. Duplicate ids keep only their last occurrence in input order.
//
// data: n x dim f32, row-major, input order. ids: exactly n, consumed. sparse: per input row
// (may be shorter than n or empty). skip: metadata field names never typed into columns.
// pca_mean / pca_comps: copied into the manifest unchanged.
//
// Errors (nothing is created for the invalid-input ones, nor for a bad metadata text):
//   "build: dim must be >= 1"
//   "build: n={n} rows exceed the slot space (at most 4294967294 rows)"
//   "build: dim {dim} exceeds 262143, the largest dim whose int8 code energy fits 32 bits"
//   "build: n={n} x dim={dim} overflows"
//   "build: data.len()={} (expected {}) or ids.len()={} (expected {})"
//   the metadata error of BuildMetadata::load (invalid data);
//   any error of creating the directory or writing a file, unchanged.
Status build_segment(const std::string& dir, std::span<const float> data, size_t n, size_t dim,
                     std::vector<std::string> ids, const BuildMetadata& metadata,
                     std::span<const storage::SparsePairs> sparse, std::span<const std::string> skip,
                     std::span<const float> pca_mean, std::span<const float> pca_comps,
                     const BuildParams& params);

// Derived values of a build.
// n_bits' = 1 when n_bits is 0, else min(n_bits, 8).
uint32_t effective_bits(uint32_t n_bits);
// k = min(max(n, 1), max(n_clusters, 1)).
size_t effective_clusters(size_t n, uint32_t n_clusters);

// Cluster offsets (k + 1 values) and the slot of every input row: a stable counting sort of
// the rows by cluster, so rows keep their input order inside a cluster. Every cluster[r] < k.
struct SlotOrder {
  std::vector<uint32_t> offsets;  // k + 1
  std::vector<uint32_t> slot_of;  // per input row
};
SlotOrder order_by_cluster(std::span<const uint32_t> cluster, size_t k);

// Outputs of the row encoder, zero-filled and sized by the caller; row r writes only the
// ranges of its slot s.
struct EncodedRows {
  std::span<uint64_t> codes;     // n x n_bits x words
  std::span<float> factors;      // n x 4
  std::span<uint8_t> orig;       // n x dim
  std::span<uint8_t> origscale;  // n x 8
};

// Encodes every input row (in parallel) twice, at its slot: binary code + four factors of its
// rotated residual to centroid cluster[r] (statistics length dim), and int8 rerank codes of
// the row itself with its own power-of-two scale and the (code energy, exponent) record.
// Cannot fail. rows: n x dim; centroids: k x dim; rot: the segment's rotation (new layout).
void encode_build_rows(std::span<const float> rows, size_t n, size_t dim, std::span<const float> centroids,
                       std::span<const uint32_t> cluster, std::span<const uint32_t> slot_of,
                       const codec::Rotator& rot, uint32_t n_bits, const EncodedRows& out);

// The segment scale computed by a build: the largest |v| over every value (NaN ignored),
// at least 1e-6 (f32).
float build_quant_scale(std::span<const float> rows);

}  // namespace ivf_rabitq::builder
