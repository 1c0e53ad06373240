// The segment records written to disk as whole values: Manifest (body of manifest.bin),
// Delta (body of delta.bin and the in-memory store of added rows) and FieldSchema (one
// typed metadata column, stored inside the Manifest). Their binary form is in codec_records.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ivf_rabitq::storage {

// One typed metadata column.
struct FieldSchema {
  std::string name;
  // true: f64 values (num_{i}.bin); false: u32 dictionary codes (str_{j}.bin).
  bool numeric = false;
  // Dictionary of a code column: key text to code; empty for numeric columns.
  std::unordered_map<std::string, uint32_t> dict;

  bool operator==(const FieldSchema&) const = default;
};

using SparsePairs = std::vector<std::pair<uint32_t, float>>;

struct Manifest {
  uint64_t dim = 0;
  uint64_t pad = 0;
  uint64_t words_per_plane = 0;
  uint64_t n_bits = 0;
  uint64_t n_clusters = 0;
  uint64_t n = 0;
  uint64_t seed = 0;
  float quant_scale = 0.0f;
  std::vector<float> centroids;   // n_clusters x dim
  std::vector<uint32_t> offsets;  // n_clusters + 1
  std::vector<std::string> ids;   // legacy: ids kept in the manifest itself
  std::vector<FieldSchema> fields;
  // Legacy sparse postings: term -> (slot, weight) pairs.
  std::unordered_map<uint32_t, SparsePairs> sparse;
  std::vector<float> pca_mean;   // dim values or empty
  std::vector<float> pca_comps;  // 3 x dim values or empty
  uint64_t fit_count = 0;

  bool operator==(const Manifest&) const = default;
};

// Rows added since the segment was written, in order of addition (delta row r is slot n + r).
struct Delta {
  std::vector<uint64_t> codes;    // n_bits x words_per_plane words per row
  std::vector<float> factors;     // 4 per row
  std::vector<uint8_t> rerank;    // dim code bytes + 1 exponent byte per row
  std::vector<uint32_t> clusters;
  std::vector<std::string> ids;
  std::vector<std::vector<double>> num_cols;    // one list per numeric column
  std::vector<std::vector<uint32_t>> str_cols;  // one list per code column
  std::vector<std::string> meta;
  std::vector<SparsePairs> sparse;

  size_t rows() const { return ids.size(); }
  Delta clone() const { return *this; }
  bool operator==(const Delta&) const = default;
};

}  // namespace ivf_rabitq::storage
