#include "ivf_rabitq/storage/mmap.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

HotPolicy hot_policy() {
  HotPolicy p;
  p.prewarm = residency_flag("TANDREL_PREWARM", PREWARM);
  p.mlock = residency_flag("TANDREL_MLOCK", MLOCK);
  return p;
}

MmapRegion& MmapRegion::operator=(MmapRegion&& o) noexcept {
  if (this != &o) {
    reset();
    addr_ = o.addr_;
    len_ = o.len_;
    locked_ = o.locked_;
    o.addr_ = nullptr;
    o.len_ = 0;
    o.locked_ = false;
  }
  return *this;
}

void MmapRegion::reset() {
  if (addr_ != nullptr) ::munmap(addr_, len_);
  addr_ = nullptr;
  len_ = 0;
  locked_ = false;
}

namespace {

size_t page_size() {
  static const size_t page = [] {
    const long p = ::sysconf(_SC_PAGESIZE);
    return p > 0 ? static_cast<size_t>(p) : size_t{4096};
  }();
  return page;
}

}  // namespace

Result<MmapRegion> MmapRegion::map_file(const std::string& path, bool populate) {
  // Non-blocking, so a FIFO in place of a data file cannot hang the open; only a regular
  // file is mapped (a device would otherwise map as an empty or bogus file).
  int fd = fileops::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return IoError::last_os();
  fileops::Fd guard(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return IoError::last_os();
  TANDREL_TRY(require_regular_file(st));
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > static_cast<uint64_t>(std::numeric_limits<ptrdiff_t>::max())) {
    return invalid_data("memory map length overflows isize");
  }
  MmapRegion m;
  const size_t len = static_cast<size_t>(st.st_size);
  if (len == 0) return m;  // nothing to map: an empty view
  void* addr = ::mmap(nullptr, len, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0), fd, 0);
  if (addr == MAP_FAILED) return IoError::last_os();
  m.addr_ = addr;
  m.len_ = len;
  return m;
}

Result<MmapRegion> MmapRegion::open_with(const std::string& path, Residency mode) {
  if (mode == Residency::Hot) return open_hot(path, hot_policy());
  TANDREL_ASSIGN(MmapRegion m, map_file(path, false));
  // The mapping starts on a page boundary, so advice covers exactly [addr, addr+len).
  if (m.addr_ != nullptr && mode == Residency::Random) (void)::madvise(m.addr_, m.len_, MADV_RANDOM);
  return m;
}

Result<MmapRegion> MmapRegion::open_hot(const std::string& path, HotPolicy policy) {
  TANDREL_ASSIGN(MmapRegion m, map_file(path, policy.prewarm));
  if (m.addr_ != nullptr) {
    if (policy.prewarm) (void)::madvise(m.addr_, m.len_, MADV_WILLNEED);
    if (policy.mlock) {
      m.locked_ = true;  // also after a failure, which may have locked a part
      (void)::mlock(m.addr_, m.len_);
    }
  }
  return m;
}

void MmapRegion::make_hot(HotPolicy policy) const {
  if (addr_ == nullptr) return;
  if (policy.prewarm) {
    (void)::madvise(addr_, len_, MADV_WILLNEED);
#if defined(MADV_POPULATE_READ)
    if (::madvise(addr_, len_, MADV_POPULATE_READ) != 0)
#endif
    {
      // Kernels without MADV_POPULATE_READ: one read a page.
      const volatile uint8_t* p = static_cast<const volatile uint8_t*>(addr_);
      for (size_t o = 0; o < len_; o += page_size()) (void)p[o];
    }
  }
  if (policy.mlock) {
    locked_ = true;  // also after a failure, which may have locked a part
    (void)::mlock(addr_, len_);
  }
}

void MmapRegion::release(size_t offset, size_t len) const {
  if (addr_ == nullptr || offset >= len_ || len == 0) return;
  const size_t page = page_size();
  const size_t end = std::min(len_, offset + std::min(len, len_ - offset));
  const size_t a = offset / page * page;
  const size_t b = std::min((end + page - 1) / page * page, (len_ + page - 1) / page * page);
  uint8_t* p = static_cast<uint8_t*>(addr_) + a;
  // Locked pages cannot be dropped; a shared file mapping unlocked and dropped reads the same
  // bytes back from the file.
  if (locked_) (void)::munlock(p, b - a);
  (void)::madvise(p, b - a, MADV_DONTNEED);
}

}  // namespace ivf_rabitq::storage
