// Open-time checksum verification of the bulk files recorded in crcs.bin, and the
// process-wide byte budget that bounds it (TANDREL_VERIFY_MAX_BYTES, read once).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/segment/open_util.hpp"
#include "ivf_rabitq/storage/files.hpp"

namespace ivf_rabitq::index {

namespace {

constexpr uint64_t kDefaultVerifyBudget = 67108864;  // 64 MiB
constexpr size_t kCrcBufferSize = 65536;

// Decodes one UTF-8 code point at s[i]; returns its length (0 when invalid).
size_t decode_utf8(std::string_view s, size_t i, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t len;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  if (cp >= 0xD800 && cp <= 0xDFFF) return 0;
  return len;
}

// Unicode White_Space.
bool is_unicode_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

// Whether a recorded file name is one of the bulk files checked at open.
bool selected_for_open_check(std::string_view name) {
  return name == "codes.bin" || name == "metas.bin" || name == "orig.bin" || name == "origscale.bin" ||
         name == "ids.bin" || name == "ids_off.bin" || name.substr(0, 4) == "num_" || name.substr(0, 4) == "str_";
}

std::string hex8(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", v);
  return buf;
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

// CRC-32 of a whole regular file, streamed through `buf`. The file is opened without
// following a symbolic link and without blocking (a FIFO in place of a data file must
// not hang the open), and must be a regular file.
Result<uint32_t> crc32_regular_file(const std::string& path, uint8_t* buf, size_t buf_len) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return IoError::last_os();
  FdCloser closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) return IoError::last_os();
  if (!S_ISREG(st.st_mode)) return other_error("not a regular file");
  uint32_t crc = 0;
  for (;;) {
    const ssize_t r = ::read(fd, buf, buf_len);
    if (r < 0) {
      if (errno == EINTR) continue;
      return IoError::last_os();
    }
    if (r == 0) break;
    crc = storage::crc32_update(crc, buf, static_cast<size_t>(r));
  }
  return crc;
}

}  // namespace

uint64_t parse_verify_budget(const char* value) {
  if (value == nullptr) return kDefaultVerifyBudget;
  const std::string_view s(value);
  // Validate UTF-8 and find the trimmed range.
  size_t i = 0;
  size_t first = std::string_view::npos, last_end = 0;
  while (i < s.size()) {
    uint32_t cp = 0;
    const size_t len = decode_utf8(s, i, cp);
    if (len == 0) return kDefaultVerifyBudget;
    if (!is_unicode_space(cp)) {
      if (first == std::string_view::npos) first = i;
      last_end = i + len;
    }
    i += len;
  }
  if (first == std::string_view::npos) return kDefaultVerifyBudget;
  std::string_view t = s.substr(first, last_end - first);
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty()) return kDefaultVerifyBudget;
  uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return kDefaultVerifyBudget;
    if (__builtin_mul_overflow(v, uint64_t{10}, &v) || __builtin_add_overflow(v, uint64_t(c - '0'), &v))
      return kDefaultVerifyBudget;
  }
  return v;
}

uint64_t read_env() { return parse_verify_budget(std::getenv("TANDREL_VERIFY_MAX_BYTES")); }

uint64_t verify_open_budget() {
  // A function-local static is initialised exactly once; concurrent first callers wait.
  static const uint64_t CACHE = read_env();
  return CACHE;
}

Status verify_files_under(const std::string& dir, const std::unordered_map<std::string, uint32_t>& file_crcs,
                          uint64_t budget) {
  if (file_crcs.empty()) return {};
  std::vector<const std::pair<const std::string, uint32_t>*> entries;
  entries.reserve(file_crcs.size());
  for (const auto& e : file_crcs) entries.push_back(&e);
  std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
  for (const auto* e : entries) {
    const std::string& name = e->first;
    if (!selected_for_open_check(name)) continue;
    // A recorded name is only ever joined to the directory when it is a single plain
    // path component; anything else could reach outside the segment.
    if (!detail::is_plain_file_name(name)) {
      return invalid_data("corrupt index: recorded file " + name + " is unreadable (not a plain file name)");
    }
    const std::string path = storage::join_path(dir, name);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      const IoError err = IoError::last_os();
      return invalid_data("corrupt index: recorded file " + name + " is unreadable (" + err.text() + ")");
    }
    const uint64_t len = static_cast<uint64_t>(st.st_size);
    if (len > budget) continue;
    auto buf = std::make_unique<uint8_t[]>(kCrcBufferSize);  // zero-filled
    Result<uint32_t> crc = crc32_regular_file(path, buf.get(), kCrcBufferSize);
    buf.reset();
    if (!crc.ok()) {
      return invalid_data("corrupt index: " + name + " unreadable (" + crc.error().text() + ")");
    }
    if (*crc != e->second) {
      return invalid_data("corrupt index: " + name + " content CRC mismatch (got " + hex8(*crc) + ", want " +
                          hex8(e->second) +
                          ") \xE2\x80\x94 at-rest bit-rot; refusing to serve wrong results");
    }
  }
  return {};
}

Result<uint32_t> crc32_recorded_file(const std::string& dir, const std::string& name, std::span<uint8_t> buf) {
  if (!detail::is_plain_file_name(name)) return invalid_input("not a plain file name");
  return crc32_regular_file(storage::join_path(dir, name), buf.data(), buf.size());
}

Status IvfIndex::verify_under(uint64_t budget) const { return verify_files_under(dir, file_crcs, budget); }

}  // namespace ivf_rabitq::index
