#include "ivf_rabitq/storage/framed.hpp"

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/segment_files.hpp"

namespace ivf_rabitq::storage {

FrameCheck check_frame(std::span<const uint8_t> file, std::string_view magic, std::span<const uint8_t>* body) {
  if (file.size() < 8 || magic.size() != 4 || std::memcmp(file.data(), magic.data(), 4) != 0) {
    return FrameCheck::BadHeader;
  }
  std::span<const uint8_t> b = file.subspan(8);
  if (crc32(b) != load_u32(file.data() + 4)) return FrameCheck::BadCrc;
  if (body) *body = b;
  return FrameCheck::Ok;
}

std::vector<uint8_t> frame_bytes(std::string_view magic, std::span<const uint8_t> body) {
  std::vector<uint8_t> out;
  out.reserve(8 + body.size());
  out.insert(out.end(), magic.begin(), magic.end());
  append_u32(out, crc32(body));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Status write_framed(const std::string& path, std::string_view magic, std::span<const uint8_t> body) {
  return write_bytes(path, frame_bytes(magic, body));
}

Result<std::vector<uint8_t>> read_manifest_bin(const std::string& path) {
  TANDREL_ASSIGN(std::vector<uint8_t> file, read_file(path));
  std::span<const uint8_t> body;
  switch (check_frame(file, kManifestMagic, &body)) {
    case FrameCheck::BadHeader: return invalid_data("corrupt index: bad manifest header (missing magic)");
    case FrameCheck::BadCrc: return invalid_data("corrupt index: manifest.bin checksum mismatch");
    case FrameCheck::Ok: break;
  }
  file.erase(file.begin(), file.begin() + 8);
  return file;
}

Status write_manifest_bin(const std::string& path, const Manifest& m) {
  return write_framed(path, kManifestMagic, encode_manifest(m));
}

Result<FileCrcs> read_file_crcs(const std::string& path) {
  auto file = read_file(path);
  if (!file.ok()) {
    if (file.error().kind() == ErrorKind::NotFound) return FileCrcs{};
    return std::move(file).error();
  }
  std::span<const uint8_t> body;
  if (check_frame(*file, kCrcsMagic, &body) != FrameCheck::Ok) {
    return invalid_data(
        "corrupt index: crcs.bin failed magic+CRC \u2014 refusing to open (would silently disable at-rest CRC "
        "verification); restore from backup or run repair");
  }
  auto table = decode_file_crcs(body);
  if (!table.ok()) {
    return invalid_data("corrupt index: crcs.bin body undeserializable (" + table.error().message() +
                        ") \u2014 refusing to open (would silently disable at-rest CRC verification)");
  }
  return std::move(table).value();
}

Status write_file_crcs(const std::string& path, const FileCrcs& table) {
  return write_framed(path, kCrcsMagic, encode_file_crcs(table));
}

std::vector<uint8_t> format_version_bytes(uint32_t v) {
  uint8_t vb[4];
  store_u32(vb, v);
  std::vector<uint8_t> out(kFormatMagic.begin(), kFormatMagic.end());
  append_u32(out, crc32(vb, 4));
  append_u32(out, v);
  return out;
}

Status write_format_version_as(const std::string& dir, uint32_t v) {
  return write_bytes(join_path(dir, kFormatFile), format_version_bytes(v));
}

Result<uint32_t> read_format_version(const std::string& dir) {
  auto file = read_file(join_path(dir, kFormatFile));
  if (!file.ok()) {
    if (file.error().kind() == ErrorKind::NotFound) return uint32_t{1};
    return std::move(file).error();
  }
  const std::vector<uint8_t>& b = *file;
  if (b.size() != 12 || std::memcmp(b.data(), kFormatMagic.data(), 4) != 0) {
    return invalid_data("corrupt index: format.bin bad header (truncated/tampered version marker)");
  }
  if (crc32(b.data() + 8, 4) != load_u32(b.data() + 4)) {
    return invalid_data("corrupt index: format.bin checksum mismatch");
  }
  uint32_t v = load_u32(b.data() + 8);
  if (v > kFormatVersion) {
    return invalid_data("index at " + quoted_path(dir) + " was written by a newer Tandrel (on-disk format v" +
                        std::to_string(v) + " > supported v" + std::to_string(kFormatVersion) +
                        "); upgrade Tandrel to open it");
  }
  return v;
}

namespace {

// Reads up to the first 8 bytes of dir/generation: the bytes read, or the error.
Result<std::vector<uint8_t>> read_generation_prefix(const std::string& dir) {
  std::string path = join_path(dir, kGenerationFile);
  // Non-blocking and regular files only: a FIFO named `generation` must not hang a reader.
  TANDREL_ASSIGN(int fd, open_regular_for_read(path));
  fileops::Fd guard(fd);
  std::vector<uint8_t> out(8);
  TANDREL_ASSIGN(const size_t len, fileops::read_full(fd, out.data(), out.size()));
  out.resize(len);
  return out;
}

}  // namespace

uint64_t read_generation(const std::string& dir) {
  auto b = read_generation_prefix(dir);
  if (!b.ok() || b->size() < 8) return 0;
  return load_u64(b->data());
}

Result<uint64_t> read_generation_for_write(const std::string& dir) {
  auto b = read_generation_prefix(dir);
  if (!b.ok()) {
    if (b.error().kind() == ErrorKind::NotFound) return uint64_t{0};
    return std::move(b).error();
  }
  if (b->size() < 8) return uint64_t{0};
  return load_u64(b->data());
}

Status write_generation(const std::string& dir, uint64_t v) {
  uint8_t b[8];
  store_u64(b, v);
  return write_bytes(join_path(dir, kGenerationFile), std::span<const uint8_t>(b, 8));
}

}  // namespace ivf_rabitq::storage
