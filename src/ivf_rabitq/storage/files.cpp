#include "ivf_rabitq/storage/files.hpp"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/common/utf8.hpp"

namespace ivf_rabitq::storage {

uint32_t crc32(const void* data, size_t len) { return len == 0 ? 0u : libdeflate_crc32(0, data, len); }

uint32_t crc32_update(uint32_t crc, const void* data, size_t len) {
  return len == 0 ? crc : libdeflate_crc32(crc, data, len);
}

namespace {

// Strips trailing slashes, keeping a lone "/".
std::string_view trim_trailing_slashes(std::string_view p) {
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  return p;
}

}  // namespace

std::string writing_tmp_path(std::string_view path) {
  path = trim_trailing_slashes(path);
  size_t slash = path.rfind('/');
  size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
  std::string_view name = path.substr(name_start);
  size_t dot = name.rfind('.');
  // The extension follows the last dot of the last component; a leading dot does not count,
  // and ".." has none.
  bool has_ext = dot != std::string_view::npos && dot != 0 && name != "..";
  std::string out(path.substr(0, has_ext ? name_start + dot : path.size()));
  out += ".writing.tmp";
  return out;
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

Status sync_parent_dir(const std::string& path_in) {
  std::string_view path = trim_trailing_slashes(path_in);
  if (path.empty() || path == "/") return {};
  size_t slash = path.rfind('/');
  std::string parent;
  if (slash == std::string_view::npos) {
    // A bare relative name lives in the working directory: sync "." rather than nothing.
    parent = ".";
  } else if (slash == 0) {
    parent = "/";
  } else {
    parent = std::string(trim_trailing_slashes(path.substr(0, slash)));
  }
  int fd = fileops::open(parent.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) {
    // Only a parent that does not exist has nothing to make durable; one that cannot be
    // opened (EMFILE, ENOMEM, EACCES, ...) leaves the entry's durability unknown.
    if (errno == ENOENT) return {};
    return IoError::last_os();
  }
  fileops::Fd guard(fd);
  return fileops::fsync_retrying(fd);
}

namespace {

Status write_bytes_impl(const std::string& path, const uint8_t* data, size_t len) {
  std::string tmp = writing_tmp_path(path);
  int fd = fileops::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return IoError::last_os();
  fileops::Fd guard(fd);
  auto fail = [&](IoError e) -> Status {
    guard.reset();
    // Best effort: a failed replacement leaves no temporary behind.
    (void)fileops::unlink(tmp.c_str());
    return e;
  };
  if (Status s = fileops::write_all(fd, data, len); !s.ok()) return fail(std::move(s).error());
  if (Status s = fileops::fsync_retrying(fd); !s.ok()) return fail(std::move(s).error());
  guard.reset();
  if (fileops::rename(tmp.c_str(), path.c_str()) != 0) return fail(IoError::last_os());
  return sync_parent_dir(path);
}

}  // namespace

Status write_bytes(const std::string& path, std::span<const uint8_t> bytes) {
  return write_bytes_impl(path, bytes.data(), bytes.size());
}

Status write_bytes(const std::string& path, std::string_view bytes) {
  return write_bytes_impl(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Result<uint32_t> crc32_file_with_buffer(const std::string& path, std::span<uint8_t> buf, Links links) {
  if (buf.empty()) return invalid_input("crc32_file_with_buffer: empty buffer");
  TANDREL_ASSIGN(const int fd, open_regular_for_read(path, nullptr, links));
  fileops::Fd guard(fd);
  const size_t chunk = buf.size() < kCrcBufSize ? buf.size() : kCrcBufSize;
  uint32_t crc = 0;
  for (;;) {
    TANDREL_ASSIGN(const size_t got, fileops::read_full(fd, buf.data(), chunk));
    crc = crc32_update(crc, buf.data(), got);
    if (got < chunk) return crc;
  }
}

Result<uint32_t> crc32_file(const std::string& path) {
  std::unique_ptr<uint8_t[]> buf(new uint8_t[kCrcBufSize]());
  return crc32_file_with_buffer(path, std::span<uint8_t>(buf.get(), kCrcBufSize));
}

Result<std::vector<uint8_t>> read_fd_to_end(int fd) {
  // The size the file reports is only a hint: read exactly that much first, then keep
  // reading in chunks until end of file (the file may have grown meanwhile).
  size_t hint = 0;
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    if (pos >= 0 && pos < st.st_size) hint = static_cast<size_t>(st.st_size - pos);
  }
  std::vector<uint8_t> out(hint);
  TANDREL_ASSIGN(const size_t len, fileops::read_full(fd, out.data(), hint));
  out.resize(len);
  if (len < hint) return out;
  std::unique_ptr<uint8_t[]> chunk(new uint8_t[kCrcBufSize]);
  for (;;) {
    TANDREL_ASSIGN(const size_t got, fileops::read_full(fd, chunk.get(), kCrcBufSize));
    out.insert(out.end(), chunk.get(), chunk.get() + got);
    if (got < kCrcBufSize) return out;
  }
}

Status require_regular_file(const struct ::stat& st) {
  if (S_ISREG(st.st_mode)) return {};
  if (S_ISDIR(st.st_mode)) return IoError::os(EISDIR);
  return other_error("not a regular file");
}

Result<int> open_regular_for_read(const std::string& path, struct ::stat* st_out, Links links) {
  int fd = fileops::open(path.c_str(), O_RDONLY | O_NONBLOCK | (links == Links::NoFollow ? O_NOFOLLOW : 0));
  if (fd < 0) return IoError::last_os();
  fileops::Fd guard(fd);
  struct ::stat st;
  if (::fstat(fd, &st) != 0) return IoError::last_os();
  TANDREL_TRY(require_regular_file(st));
  if (st_out != nullptr) *st_out = st;
  return guard.release();
}

Result<std::vector<uint8_t>> read_file(const std::string& path) {
  TANDREL_ASSIGN(const int fd, open_regular_for_read(path));
  fileops::Fd guard(fd);
  return read_fd_to_end(fd);
}

std::string quoted_path(std::string_view path) {
  std::string out = "\"";
  char tmp[16];
  for (size_t i = 0; i < path.size();) {
    const unsigned char c = static_cast<unsigned char>(path[i]);
    const utf8::Step st = utf8::decode(path, i);
    if (!st.ok) {
      // One byte at a time: each byte of an ill-formed sequence shows as itself.
      std::snprintf(tmp, sizeof tmp, "\\x%02X", c);
      out += tmp;
      ++i;
      continue;
    }
    switch (st.cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        // Controls and invisible format marks show as \u{hex}; the rest prints as it is.
        if (utf8::prints_visibly(st.cp)) {
          out.append(path.substr(i, st.len));
        } else {
          std::snprintf(tmp, sizeof tmp, "\\u{%x}", static_cast<unsigned>(st.cp));
          out += tmp;
        }
    }
    i += st.len;
  }
  out += '"';
  return out;
}

}  // namespace ivf_rabitq::storage
