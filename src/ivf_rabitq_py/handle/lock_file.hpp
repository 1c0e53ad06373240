// The advisory lock file `<path>.lock` through which processes sharing a segment directory
// coordinate: maintenance holds it exclusively, writers and reopens shared.
//
// The file is opened read-write, created with mode 0o666 (less the umask), never truncated,
// close-on-exec; nothing is read from or written to it and it is never deleted. Locks are
// whole-file `flock` locks, blocking. An interrupted wait is not retried: it fails with the
// interruption error (EINTR) like any other `flock` failure. Waits happen without the
// interpreter lock; nothing here needs it.
#pragma once

#include <filesystem>
#include <utility>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq_py/binder/errors.hpp"

namespace ivf_rabitq_py {

// An open `<path>.lock`. Closing it (destruction) ends any lock held through it.
class LockFile {
 public:
  LockFile() = default;
  LockFile(LockFile&&) noexcept = default;
  LockFile& operator=(LockFile&&) noexcept = default;

  // Opens (creating when missing) the lock file of the segment directory `segment_dir`;
  // takes no lock. The plain I/O error on failure.
  static ivf_rabitq::Result<LockFile> open(const std::filesystem::path& segment_dir);

  // Blocking flock; EINTR is returned, not retried.
  ivf_rabitq::Status lock_shared();
  ivf_rabitq::Status lock_exclusive();
  // LOCK_UN; a failure is ignored (closing releases the lock anyway).
  void unlock();
  void close() { fd_.reset(); }

  int fd() const { return fd_.get(); }
  bool is_open() const { return fd_.valid(); }

 private:
  explicit LockFile(int fd) : fd_(fd) {}
  ivf_rabitq::fileops::Fd fd_;
};

// `RabitqIndex::lock_file`: the lock file of `segment_dir`, or OSError with the I/O text.
ivf_rabitq::Result<LockFile, PyErrValue> lock_file(const std::filesystem::path& segment_dir);

// A lock held on `<path>.lock` for the guard's lifetime: open + flock in one step; the
// destructor unlocks and closes. On failure nothing stays open.
class FileLockGuard {
 public:
  static ivf_rabitq::Result<FileLockGuard> shared(const std::filesystem::path& segment_dir);
  static ivf_rabitq::Result<FileLockGuard> exclusive(const std::filesystem::path& segment_dir);

  FileLockGuard(FileLockGuard&&) noexcept = default;
  FileLockGuard& operator=(FileLockGuard&&) noexcept = default;
  ~FileLockGuard() {
    if (file_.is_open()) file_.unlock();
  }

 private:
  explicit FileLockGuard(LockFile f) : file_(std::move(f)) {}
  LockFile file_;
};

}  // namespace ivf_rabitq_py
