#include "ivf_rabitq_py/handle/lock_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq_py/handle/paths.hpp"

namespace ivf_rabitq_py {

using ivf_rabitq::IoError;
using ivf_rabitq::Result;
using ivf_rabitq::Status;

Result<LockFile> LockFile::open(const std::filesystem::path& segment_dir) {
  const std::filesystem::path p = sibling(segment_dir, kLockSuffix);
  int fd;
  do {
    fd = ivf_rabitq::fileops::open(p.c_str(), O_RDWR | O_CREAT, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::last_os();
  return LockFile(fd);
}

Status LockFile::lock_shared() {
  if (::flock(fd_.get(), LOCK_SH) != 0) return IoError::last_os();
  return {};
}

Status LockFile::lock_exclusive() {
  if (::flock(fd_.get(), LOCK_EX) != 0) return IoError::last_os();
  return {};
}

void LockFile::unlock() { (void)::flock(fd_.get(), LOCK_UN); }

Result<LockFile, PyErrValue> lock_file(const std::filesystem::path& segment_dir) {
  auto f = LockFile::open(segment_dir);
  if (!f) return io_err(f.error());
  return std::move(f).value();
}

Result<FileLockGuard> FileLockGuard::shared(const std::filesystem::path& segment_dir) {
  auto f = LockFile::open(segment_dir);
  if (!f) return std::move(f).error();
  LockFile file = std::move(f).value();
  if (Status st = file.lock_shared(); !st) return std::move(st).error();
  return FileLockGuard(std::move(file));
}

Result<FileLockGuard> FileLockGuard::exclusive(const std::filesystem::path& segment_dir) {
  auto f = LockFile::open(segment_dir);
  if (!f) return std::move(f).error();
  LockFile file = std::move(f).value();
  if (Status st = file.lock_exclusive(); !st) return std::move(st).error();
  return FileLockGuard(std::move(file));
}

}  // namespace ivf_rabitq_py
