// File primitives of a segment directory: atomic durable replacement of a whole file,
// directory sync, whole-file reads, CRC-32 (ISO-HDLC, the CRC of zlib's crc32) of buffers and
// files, and little-endian loads and stores.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

#include "ivf_rabitq/common/error.hpp"

namespace ivf_rabitq::storage {

static_assert(std::endian::native == std::endian::little, "on-disk integers are read in place as little-endian");

// Size of the buffer the file checksum functions stream through.
inline constexpr size_t kCrcBufSize = 65536;

// CRC-32 of a buffer (0 for an empty one).
uint32_t crc32(const void* data, size_t len);
inline uint32_t crc32(std::span<const uint8_t> bytes) { return crc32(bytes.data(), bytes.size()); }
// Continues a running CRC-32: crc32_update(crc32(a), b) == crc32(a ++ b); start from 0.
uint32_t crc32_update(uint32_t crc, const void* data, size_t len);

// The temporary of a replacement: the path with its extension replaced by "writing.tmp"
// (manifest.bin -> manifest.writing.tmp, generation -> generation.writing.tmp).
std::string writing_tmp_path(std::string_view path);

// Replaces `path` atomically and durably with `bytes`: writes <stem>.writing.tmp, fsyncs it,
// renames it over the target and fsyncs the directory. A failure before the rename removes
// the temporary (best effort) and leaves the target as it was.
Status write_bytes(const std::string& path, std::span<const uint8_t> bytes);
Status write_bytes(const std::string& path, std::string_view bytes);

// fsyncs the directory holding `path` ("." for a bare relative name). A path without a
// parent (the root, the empty path) and a parent that does not exist (ENOENT) succeed; a
// parent that exists but cannot be opened is an error.
Status sync_parent_dir(const std::string& path);

// Whether opening a path follows a symbolic link in its last component. NoFollow
// (O_NOFOLLOW) makes a link there the system's ELOOP error.
enum class Links : uint8_t { Follow, NoFollow };

// CRC-32 of a whole file, streamed through a 64 KiB buffer; interrupted reads are retried.
Result<uint32_t> crc32_file(const std::string& path);
// Same, through a caller-owned non-empty buffer, read kCrcBufSize bytes at a time at most
// (content unspecified after); the file is opened by open_regular_for_read.
Result<uint32_t> crc32_file_with_buffer(const std::string& path, std::span<uint8_t> buf,
                                        Links links = Links::Follow);

// Opens an existing file read-only for reading it whole: O_CLOEXEC, and O_NONBLOCK so a FIFO
// planted in its place cannot hang the caller. Only a regular file is accepted: a directory
// is the system's EISDIR error, any other type (FIFO, device, socket) the error "not a
// regular file" (kind Other). Returns the descriptor (owned by the caller) and the status.
Result<int> open_regular_for_read(const std::string& path, struct ::stat* st_out = nullptr,
                                  Links links = Links::Follow);
// Checks the status of an open descriptor the same way (EISDIR, or "not a regular file").
Status require_regular_file(const struct ::stat& st);

// Reads a whole regular file (interrupted reads retried); see open_regular_for_read.
Result<std::vector<uint8_t>> read_file(const std::string& path);
// Reads from an open descriptor's current position to its end.
Result<std::vector<uint8_t>> read_fd_to_end(int fd);

// A path in quoted form for warnings and messages: double quotes around it, with '"', '\\'
// and control characters escaped and bytes that are not UTF-8 shown as \xNN.
std::string quoted_path(std::string_view path);

// Joins a directory and a file name with one '/'.
std::string join_path(std::string_view dir, std::string_view name);

// ---- little-endian loads and stores (unaligned) ----
inline uint32_t load_u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline uint64_t load_u64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline float load_f32(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void store_u32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline void store_u64(uint8_t* p, uint64_t v) { std::memcpy(p, &v, 8); }
inline void append_u32(std::vector<uint8_t>& out, uint32_t v) {
  size_t at = out.size();
  out.resize(at + 4);
  store_u32(out.data() + at, v);
}
inline void append_u64(std::vector<uint8_t>& out, uint64_t v) {
  size_t at = out.size();
  out.resize(at + 8);
  store_u64(out.data() + at, v);
}

}  // namespace ivf_rabitq::storage
