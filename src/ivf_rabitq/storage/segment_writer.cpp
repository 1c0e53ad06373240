#include "ivf_rabitq/storage/segment_writer.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"

namespace ivf_rabitq::storage {

namespace {

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

Status create_dir_all(const std::string& path) {
  if (path.empty() || is_directory(path)) return {};
  if (fileops::mkdir(path.c_str(), 0777) == 0) return sync_parent_dir(path);
  int err = errno;
  if (err == ENOENT) {
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    size_t slash = parent.rfind('/');
    if (slash != std::string::npos && slash > 0) {
      TANDREL_TRY(create_dir_all(parent.substr(0, slash)));
      if (fileops::mkdir(path.c_str(), 0777) == 0) return sync_parent_dir(path);
      err = errno;
    }
  }
  if (is_directory(path)) return {};
  return IoError::os(err);
}

Status clear_stale_segment_files(const std::string& dir) {
  bool removed = false;
  for (const char* name : kStaleSegmentFiles) {
    const std::string path = join_path(dir, name);
    if (fileops::unlink(path.c_str()) == 0) {
      removed = true;
    } else if (errno != ENOENT) {
      return IoError::last_os();
    }
  }
  if (!removed) return {};
  return sync_parent_dir(join_path(dir, kManifestFile));
}

// ---- StreamFile ----------------------------------------------------------------------------

Result<StreamFile> StreamFile::create(const std::string& path) {
  if (fileops::unlink(path.c_str()) != 0 && errno != ENOENT) return IoError::last_os();
  const int fd = fileops::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return IoError::last_os();
  StreamFile f;
  f.fd_ = fileops::Fd(fd);
  f.buf_ = std::make_unique<uint8_t[]>(kBufferBytes);
  return f;
}

Status StreamFile::drain() {
  if (used_ == 0) return {};
  Status st = fileops::write_all(fd_.get(), buf_.get(), used_);
  if (!st) {
    failed_ = true;
    return st;
  }
  written_ += used_;
  used_ = 0;
  return {};
}

Status StreamFile::append(const void* data, size_t n) {
  if (failed_ || !fd_.valid()) return IoError::msg(ErrorKind::Other, "stream file already failed or finished");
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (n != 0) {
    if (used_ == kBufferBytes) TANDREL_TRY(drain());
    const size_t take = std::min(n, kBufferBytes - used_);
    std::memcpy(buf_.get() + used_, p, take);
    used_ += take;
    p += take;
    n -= take;
  }
  return {};
}

Status StreamFile::finish() {
  if (failed_ || !fd_.valid()) return IoError::msg(ErrorKind::Other, "stream file already failed or finished");
  TANDREL_TRY(drain());
  if (Status st = fileops::fsync_retrying(fd_.get()); !st) {
    failed_ = true;
    return st;
  }
  fd_.reset();
  buf_.reset();
  return {};
}

// ---- The manifest of a new segment ---------------------------------------------------------

SegmentCoding SegmentCoding::of(const Manifest& m) {
  return SegmentCoding{m.dim, m.pad, m.words_per_plane, m.n_bits, m.seed, m.quant_scale, m.pca_mean, m.pca_comps};
}

Manifest segment_manifest(const SegmentCoding& coding, SegmentRows rows) {
  Manifest m;
  m.dim = coding.dim;
  m.pad = coding.pad;
  m.words_per_plane = coding.words_per_plane;
  m.n_bits = coding.n_bits;
  m.n_clusters = rows.n_clusters;
  m.n = rows.n;
  m.seed = coding.seed;
  m.quant_scale = coding.quant_scale;
  m.centroids = std::move(rows.centroids);
  m.offsets = std::move(rows.offsets);
  m.fields = std::move(rows.fields);
  m.pca_mean.assign(coding.pca_mean.begin(), coding.pca_mean.end());
  m.pca_comps.assign(coding.pca_comps.begin(), coding.pca_comps.end());
  m.fit_count = rows.fit_count;
  return m;
}

// ---- SegmentWriter -------------------------------------------------------------------------

Result<SegmentWriter> SegmentWriter::begin(const std::string& dir, bool clear_stale) {
  TANDREL_TRY(create_dir_all(dir));
  if (clear_stale) TANDREL_TRY(clear_stale_segment_files(dir));
  return SegmentWriter(dir);
}

std::string SegmentWriter::path_of(std::string_view name) const { return join_path(dir_, name); }

Status SegmentWriter::write_file(const std::string& name, std::span<const uint8_t> bytes) {
  crcs_[name] = crc32(bytes);
  return write_bytes(path_of(name), bytes);
}

Result<StreamFile> SegmentWriter::stream(const std::string& name) const { return StreamFile::create(path_of(name)); }

Status SegmentWriter::record_crc_from_disk(const std::string& name) {
  TANDREL_ASSIGN(const uint32_t crc, crc32_file(path_of(name)));
  crcs_[name] = crc;
  return {};
}

Status SegmentWriter::finish(uint32_t format_version, uint64_t generation, const Manifest& manifest) const {
  TANDREL_TRY(write_file_crcs(path_of(kCrcsFile), crcs_));
  TANDREL_TRY(write_format_version_as(dir_, format_version));
  uint8_t gen[8];
  store_u64(gen, generation);
  TANDREL_TRY(write_bytes(path_of(kGenerationFile), std::span<const uint8_t>(gen, 8)));
  return write_manifest_bin(path_of(kManifestFile), manifest);
}

}  // namespace ivf_rabitq::storage
