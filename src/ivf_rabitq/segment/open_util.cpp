#include "ivf_rabitq/segment/open_util.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace ivf_rabitq::segment::detail {

void warn_line(const std::string& text) {
  std::string line = text;
  line.push_back('\n');
  std::fflush(stderr);
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t w = ::write(STDERR_FILENO, p, left);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (w == 0) return;
    p += w;
    left -= static_cast<size_t>(w);
  }
}

bool is_plain_file_name(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\0') return false;
  }
  return true;
}

}  // namespace ivf_rabitq::segment::detail
