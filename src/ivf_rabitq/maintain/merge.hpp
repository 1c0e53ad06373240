// Merge: several segment directories folded into one new segment.
//
// IvfIndex::merge(out, dirs, tombstones, n_clusters, scale, skip, pca_mean, pca_comps, n_bits,
// seed) runs in three stages:
//   1. inputs: `out` is refused when it names one of the inputs; every input is opened (no
//      skip set), all must share the first input's dim, and each input's recorded data files
//      must match its crcs.bin (else the "corrupt index: " error, nothing written); the live rows are collected source by
//      source in `dirs` order (main rows by slot, then delta rows), rows whose id the caller
//      tombstones are dropped and listed, and each id keeps one row: the content of the last
//      live row met, at the position where the id was first met.
//   2. clustering and encoding: every vector is rebuilt from the int8 codes its source stored;
//      k-means runs on an evenly strided sample (cap: TANDREL_MERGE_SAMPLE); each row goes to
//      its nearest centroid, rows are ordered by cluster (row-list order inside a cluster) and
//      re-encoded (binary codes of the rotated residual, four factors, int8 codes with a
//      power-of-two scale).
//   3. files: the metadata keys are typed over all rows (sorted keys, a numeric and/or a
//      string column each; a null value counts as the key's absence), the output directory is created and cleared of the files of an
//      earlier segment, the data files are streamed batch by batch, then the atomic files,
//      crcs.bin, format.bin (3), generation (0) and manifest.bin last.
// Nothing is written when no row survives. A failed merge leaves `out` without a manifest of
// its own; the inputs are never changed. Every parallel pass runs on the calling thread's pool
// and results never depend on its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ivf_rabitq::maintain {

// The k-means sample cap when TANDREL_MERGE_SAMPLE is unset or invalid.
inline constexpr uint64_t kDefaultMergeSample = 1000000;

// Parses a TANDREL_MERGE_SAMPLE value: an optional '+' then decimal digits fitting 64 bits, no
// white space; anything else, and 0, gives the default.
uint64_t read_merge_sample_env(std::optional<std::string_view> value);
// The cap, read from the environment at the first call and kept for the process.
uint64_t merge_sample_cap();

// Whether two path texts name the same path component by component: repeated and trailing
// separators and "." components (other than a leading one) make no difference.
bool same_path_components(std::string_view a, std::string_view b);
// same_path_components, or both name existing directories with the same device and inode
// (a symbolic link, a relative against an absolute form, ".." components).
bool same_directory(const std::string& a, const std::string& b);

// Cluster count and sample size for n rows: k from n_clusters (0: floor(sqrt(n))) clamped to
// 1..n, m = min(max(40 k, 50000), cap, n), then k = min(k, m). n must be at least 1.
struct MergePlan {
  size_t k = 1;
  size_t m = 1;
};
MergePlan merge_plan(size_t n, uint64_t n_clusters, uint64_t cap);

// Rows per encoding batch: min(max(16777216 / (8 n_bits words + dim + 88), 1024), n, 16384).
size_t merge_batch_rows(size_t n, size_t n_bits, size_t words, size_t dim);

}  // namespace ivf_rabitq::maintain
