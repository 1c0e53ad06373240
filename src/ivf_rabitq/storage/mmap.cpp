#include "ivf_rabitq/storage/mmap.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <limits>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/storage/files.hpp"

namespace ivf_rabitq::storage {

namespace {

// Unicode White_Space code points (the value is text, so a no-break space or an ideographic
// space around it is trimmed like an ASCII one).
bool is_unicode_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

// Decodes the code point of the valid UTF-8 sequence of length n at p.
uint32_t decode_cp(const unsigned char* p, size_t n) {
  if (n == 1) return p[0];
  uint32_t cp = p[0] & (0xFF >> (n + 1));
  for (size_t k = 1; k < n; ++k) cp = (cp << 6) | (p[k] & 0x3F);
  return cp;
}

// Strips leading and trailing Unicode whitespace from valid UTF-8.
std::string_view trim_unicode_space(std::string_view v) {
  auto bytes = [&] { return reinterpret_cast<const unsigned char*>(v.data()); };
  while (!v.empty()) {
    const unsigned char c = bytes()[0];
    const size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (n > v.size() || !is_unicode_space(decode_cp(bytes(), n))) break;
    v.remove_prefix(n);
  }
  while (!v.empty()) {
    size_t n = 1;  // step back over continuation bytes to the sequence's first byte
    while (n < v.size() && n < 4 && (bytes()[v.size() - n] & 0xC0) == 0x80) ++n;
    if (!is_unicode_space(decode_cp(bytes() + v.size() - n, n))) break;
    v.remove_suffix(n);
  }
  return v;
}

}  // namespace

bool residency_value_on(std::optional<std::string_view> value) {
  if (!value || !is_valid_utf8(*value)) return false;
  std::string_view v = trim_unicode_space(*value);
  auto eq_nocase = [&](std::string_view w) {
    if (v.size() != w.size()) return false;
    for (size_t i = 0; i < v.size(); ++i) {
      char c = v[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != w[i]) return false;
    }
    return true;
  };
  return !(v.empty() || v == "0" || eq_nocase("no") || eq_nocase("off") || eq_nocase("false"));
}

bool residency_flag(const char* name, std::atomic<uint8_t>& sw) {
  uint8_t s = sw.load(std::memory_order_relaxed);
  if (s == 1) return false;
  if (s == 2) return true;
  const char* env = std::getenv(name);
  bool on = residency_value_on(env ? std::optional<std::string_view>(env) : std::nullopt);
  sw.store(on ? 2 : 1, std::memory_order_relaxed);
  return on;
}

void set_residency(bool prewarm, bool mlock) {
  PREWARM.store(prewarm ? 2 : 1, std::memory_order_relaxed);
  MLOCK.store(mlock ? 2 : 1, std::memory_order_relaxed);
}

MmapRegion& MmapRegion::operator=(MmapRegion&& o) noexcept {
  if (this != &o) {
    reset();
    addr_ = o.addr_;
    len_ = o.len_;
    o.addr_ = nullptr;
    o.len_ = 0;
  }
  return *this;
}

void MmapRegion::reset() {
  if (addr_ != nullptr) ::munmap(addr_, len_);
  addr_ = nullptr;
  len_ = 0;
}

Result<MmapRegion> MmapRegion::open_with(const std::string& path, Residency mode) {
  // Non-blocking, so a FIFO in place of a data file cannot hang the open; only a regular
  // file is mapped (a device would otherwise map as an empty or bogus file).
  int fd = fileops::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return IoError::last_os();
  fileops::Fd guard(fd);
  bool prewarm = mode == Residency::Hot && residency_flag("TANDREL_PREWARM", PREWARM);
  struct stat st;
  if (::fstat(fd, &st) != 0) return IoError::last_os();
  TANDREL_TRY(require_regular_file(st));
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
    return invalid_data("memory map length overflows isize");
  }
  MmapRegion m;
  size_t len = static_cast<size_t>(st.st_size);
  if (len == 0) {
    // Nothing to map: an empty view. A hot map still decides the lock switch, as a non-empty
    // one does, so both switches latch at the first hot map whatever its size.
    if (mode == Residency::Hot) (void)residency_flag("TANDREL_MLOCK", MLOCK);
    return m;
  }
  int flags = MAP_SHARED | (prewarm ? MAP_POPULATE : 0);
  void* addr = ::mmap(nullptr, len, PROT_READ, flags, fd, 0);
  if (addr == MAP_FAILED) return IoError::last_os();
  m.addr_ = addr;
  m.len_ = len;
  // The mapping starts on a page boundary, so advice and locks cover exactly [addr, addr+len).
  if (mode == Residency::Random) {
    (void)::madvise(addr, len, MADV_RANDOM);
  } else if (mode == Residency::Hot) {
    if (prewarm) (void)::madvise(addr, len, MADV_WILLNEED);
    if (residency_flag("TANDREL_MLOCK", MLOCK)) (void)::mlock(addr, len);
  }
  return m;
}

}  // namespace ivf_rabitq::storage
