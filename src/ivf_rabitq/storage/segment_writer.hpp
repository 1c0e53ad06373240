// The one writer of complete segment directories. A segment is written in a fixed order so
// that a directory is either complete or recognisably partial: the data files (whole files
// replaced atomically, or large files streamed row by row in slot order), each with its CRC-32
// recorded, then crcs.bin, format.bin, generation and, last, manifest.bin. A directory
// without manifest.bin is never opened as a segment, so a crash anywhere before the last
// step leaves nothing a reader would trust.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/records.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"

namespace ivf_rabitq::storage {

// mkdir -p with permission bits 0777 (before the umask); an existing directory is accepted.
// Each directory it creates is made durable in its parent (fsync of the parent), so a power
// loss after a build returns cannot take the new segment directory, or a parent made for it,
// away.
Status create_dir_all(const std::string& path);

// Files of an earlier segment that must not survive under a new one: a log whose frames name
// slots of the old numbering, the checkpointed delta and tombstones, and the manifest that
// describes the old data files.
inline constexpr const char* kStaleSegmentFiles[] = {kWalFile, kWalCorruptFile, kDeltaFile, kDeletedFile,
                                                     kManifestFile};

// Removes every kStaleSegmentFiles entry present in dir, then fsyncs dir when something was
// removed. A removal failing for another reason than absence is returned.
Status clear_stale_segment_files(const std::string& dir);

// A data file written front to back through a buffer: created as a new file (an existing file
// of that name is removed first, so a process that still maps the old one keeps its pages and
// no stale tail survives), mode 0666 before the umask.
class StreamFile {
 public:
  static constexpr size_t kBufferBytes = 8192;

  StreamFile() = default;
  StreamFile(StreamFile&&) noexcept = default;
  StreamFile& operator=(StreamFile&&) noexcept = default;

  static Result<StreamFile> create(const std::string& path);

  // Appends bytes (written out whenever the buffer fills). The first failure is sticky and
  // returned by every later call.
  Status append(const void* data, size_t n);
  template <class T>
  Status append_value(const T& v) {
    return append(&v, sizeof(T));
  }
  // Writes out the buffer and fsyncs the file; the descriptor is closed afterwards.
  Status finish();
  uint64_t bytes_written() const { return written_; }

 private:
  Status drain();

  fileops::Fd fd_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t used_ = 0;
  uint64_t written_ = 0;
  bool failed_ = false;
};

// How a segment's vectors are coded: dimensions, bits, rotation seed, int8 scale and the
// PCA basis (viewed, not owned). Compaction keeps its source's coding; build and merge set
// their own.
struct SegmentCoding {
  uint64_t dim = 0;
  uint64_t pad = 0;
  uint64_t words_per_plane = 0;
  uint64_t n_bits = 0;
  uint64_t seed = 0;
  float quant_scale = 0.0f;
  std::span<const float> pca_mean;   // dim values or empty
  std::span<const float> pca_comps;  // 3 x dim values or empty

  // The coding recorded in `m` (its PCA basis viewed in place).
  static SegmentCoding of(const Manifest& m);
};

// The clusters, rows and schema of a newly written segment.
struct SegmentRows {
  uint64_t n_clusters = 0;
  uint64_t n = 0;
  uint64_t fit_count = 0;         // rows the clustering was fitted on
  std::vector<float> centroids;   // n_clusters x dim, unrotated
  std::vector<uint32_t> offsets;  // n_clusters + 1
  std::vector<FieldSchema> fields;
};

// The manifest of a newly written segment: its coding and its rows. The legacy members (ids
// and sparse postings kept in the manifest itself) stay empty: no writer produces them.
Manifest segment_manifest(const SegmentCoding& coding, SegmentRows rows);

class SegmentWriter {
 public:
  // Prepares `dir` (created with its missing parents). With clear_stale, files of an earlier
  // segment in it are removed first (clear_stale_segment_files).
  static Result<SegmentWriter> begin(const std::string& dir, bool clear_stale);

  const std::string& dir() const { return dir_; }
  std::string path_of(std::string_view name) const;

  // A whole data file: records the CRC-32 of `bytes` and replaces dir/name atomically.
  Status write_file(const std::string& name, std::span<const uint8_t> bytes);
  // A streamed data file in dir (see StreamFile); its checksum is recorded by
  // record_crc_from_disk once it is finished.
  Result<StreamFile> stream(const std::string& name) const;
  // Records the CRC-32 of dir/name as it is on disk.
  Status record_crc_from_disk(const std::string& name);

  const FileCrcs& crcs() const { return crcs_; }
  // Forgets the recorded checksums (a writer that starts its data files over).
  void reset_crcs() { crcs_.clear(); }

  // The closing steps, in order: crcs.bin (the recorded checksums), format.bin, generation
  // (8 bytes LE), manifest.bin. The first failure is returned.
  Status finish(uint32_t format_version, uint64_t generation, const Manifest& manifest) const;

 private:
  explicit SegmentWriter(std::string dir) : dir_(std::move(dir)) {}
  std::string dir_;
  FileCrcs crcs_;
};

}  // namespace ivf_rabitq::storage
