#include "support/pages.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace tandrel_test {

size_t present_pages(std::span<const uint8_t> m) {
  if (m.empty()) return 0;
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const uintptr_t a = reinterpret_cast<uintptr_t>(m.data()) / page;
  const uintptr_t b = (reinterpret_cast<uintptr_t>(m.data()) + m.size() + page - 1) / page;
  int fd = ::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return SIZE_MAX;
  std::vector<uint64_t> e(b - a);
  const ssize_t got = ::pread(fd, e.data(), e.size() * 8, static_cast<off_t>(a * 8));
  ::close(fd);
  if (got != static_cast<ssize_t>(e.size() * 8)) return SIZE_MAX;
  size_t n = 0;
  for (uint64_t v : e) n += (v >> 63) & 1;
  return n;
}

}  // namespace tandrel_test
