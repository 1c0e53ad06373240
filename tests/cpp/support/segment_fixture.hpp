// Test fixture: writes a small, valid segment directory file by file with the storage
// writers (the same layouts the open reads), so the open and everything built on it can be
// tested without the bulk build. Row data (codes, factors, rerank bytes, centroids) is
// deterministic pseudo-random content of the right shape.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ivf_rabitq/predicate/keys.hpp"
#include "ivf_rabitq/storage/records.hpp"

namespace tandrel_test {

struct SegmentSpec {
  uint64_t dim = 8;
  uint64_t n_clusters = 2;
  uint64_t n_bits = 1;
  uint64_t seed = 42;
  float quant_scale = 1.0f;
  // format.bin version; none: no format.bin (version 1, legacy rotation layout).
  std::optional<uint32_t> format_version = 3;
  // One id per main row (n = ids.size()).
  std::vector<std::string> ids;
  // Metadata texts, empty or one per row; typed into columns like a build does.
  std::vector<std::string> metas;
  // Sparse terms, empty or one list per row; written to sparse.bin.
  std::vector<ivf_rabitq::storage::SparsePairs> sparse;
  std::optional<ivf_rabitq::predicate::SkipSet> skip;

  bool ids_files = true;     // ids.bin + ids_off.bin (else the ids go into the manifest)
  bool idhash = true;        // idhash.bin (records hashed with index::id_hash)
  bool meta_files = true;    // meta.bin + meta_off.bin (only when metas are given)
  bool sparse_file = true;   // sparse.bin (only when sparse lists are given)
  bool origscale = true;     // origscale.bin
  bool crcs = true;          // crcs.bin recording every data file

  std::optional<ivf_rabitq::storage::Delta> delta;  // written to delta.bin when set
  std::optional<std::vector<uint32_t>> tombstones;  // written to deleted.bin when set
};

// Ids "id0", "id1", ...
std::vector<std::string> make_ids(size_t n, const std::string& prefix = "id");

// Writes the segment into `dir` (created if missing). Aborts the test on failure.
void write_segment(const std::string& dir, const SegmentSpec& spec);

// The manifest write_segment writes for `spec` (ids and fields filled in).
ivf_rabitq::storage::Manifest manifest_for(const SegmentSpec& spec);

// A structurally valid delta for `spec` with the given ids (and metadata texts, typed
// against the segment's fields; rows the fields cannot type are all-absent).
ivf_rabitq::storage::Delta make_delta(const SegmentSpec& spec, const std::vector<std::string>& ids,
                                      const std::vector<std::string>& metas = {});

// Records the CRC-32 of `name` (re-read from dir) in dir/crcs.bin, replacing its entry.
void rerecord_crc(const std::string& dir, const std::string& name);

// A fresh temporary directory, removed with its content when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path()/name
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers for tests.
std::vector<uint8_t> read_all(const std::string& path);
void write_all(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace tandrel_test
