#include "ivf_rabitq/storage/mmap.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <limits>

#include "ivf_rabitq/common/env.hpp"
#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/storage/files.hpp"

namespace ivf_rabitq::storage {

bool residency_value_on(std::optional<std::string_view> value) {
  // A value that is not UTF-8 is off; white space around it (Unicode's, since the value is
  // text) is not part of it.
  const auto t = env::trimmed(value);
  if (!t) return false;
  const std::string_view v = *t;
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
  const bool on = residency_value_on(env::get(name));
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
