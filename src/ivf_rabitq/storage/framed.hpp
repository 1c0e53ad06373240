// The control files of a segment directory: manifest.bin, crcs.bin (framed: four-byte magic,
// CRC-32 of the body, body), format.bin (magic, CRC of the version, version) and the
// generation counter. The same framing wraps delta.bin and deleted.bin.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::storage {

inline constexpr std::string_view kManifestMagic = "TDMF";
inline constexpr std::string_view kCrcsMagic = "TDCR";
inline constexpr std::string_view kDeltaMagic = "TDDL";
inline constexpr std::string_view kDeletedMagic = "TDDB";
inline constexpr std::string_view kFormatMagic = "TDFV";
// The format version build and merge write, and the newest one this code reads.
inline constexpr uint32_t kFormatVersion = 3;

// The outcome of checking a framed file's header and checksum.
enum class FrameCheck : uint8_t {
  Ok,
  BadHeader,  // shorter than 8 bytes or another magic
  BadCrc,     // the body's CRC-32 differs from the stored one
};
// Checks the frame of `file` against `magic` (four bytes); on Ok, *body is bytes 8..end.
FrameCheck check_frame(std::span<const uint8_t> file, std::string_view magic, std::span<const uint8_t>* body);
// magic ++ crc32(body) ++ body.
std::vector<uint8_t> frame_bytes(std::string_view magic, std::span<const uint8_t> body);
// Frames `body` and replaces `path` with it through write_bytes.
Status write_framed(const std::string& path, std::string_view magic, std::span<const uint8_t> body);

// manifest.bin: the verified body bytes. A missing or unreadable file is the OS error; a bad
// header or checksum is an invalid-data "corrupt index: " error.
Result<std::vector<uint8_t>> read_manifest_bin(const std::string& path);
Status write_manifest_bin(const std::string& path, const Manifest& m);

// crcs.bin: the checksum table. A missing file is an empty table; other read failures are
// the OS error; damage is an invalid-data "corrupt index: " error.
Result<FileCrcs> read_file_crcs(const std::string& path);
Status write_file_crcs(const std::string& path, const FileCrcs& table);

// format.bin of dir: the 12 bytes for version v.
std::vector<uint8_t> format_version_bytes(uint32_t v);
Status write_format_version_as(const std::string& dir, uint32_t v);
// The version of dir: 1 when format.bin is missing, 0..3 as stored; damage and a newer
// version are invalid-data errors, other read failures the OS error.
Result<uint32_t> read_format_version(const std::string& dir);

// generation of dir, for readers that only compare it: 0 when the file is missing,
// unreadable or shorter than 8 bytes; otherwise its first 8 bytes as a little-endian u64.
uint64_t read_generation(const std::string& dir);
// generation of dir, for writers computing the next value: 0 when the file is missing or
// shorter than 8 bytes; any other failure to open or read it is returned, so a transient
// I/O error never resets the counter.
Result<uint64_t> read_generation_for_write(const std::string& dir);
// Replaces dir/generation with the 8 little-endian bytes of v.
Status write_generation(const std::string& dir, uint64_t v);

}  // namespace ivf_rabitq::storage
