// The file-operations seam. Every write, read, fsync, fdatasync, rename, link, unlink,
// mkdir, rmdir, ftruncate and open of the engine and the module goes through these thin
// wrappers, so tests can
// make the Nth call of one operation fail with a chosen errno, write short, write nothing, or
// kill the process at that point. With no fault armed each wrapper costs one relaxed atomic
// load on top of the system call.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ivf_rabitq/common/error.hpp"

namespace ivf_rabitq::fileops {

// The operations a fault can target.
enum class Op : uint8_t {
  OpenWrite,  // open() with O_WRONLY, O_RDWR or O_CREAT
  Write,
  Read,
  Fsync,
  Fdatasync,
  Rename,
  Unlink,
  Mkdir,
  Ftruncate,
  Link,
  Rmdir,
};
inline constexpr size_t kOpCount = 11;
const char* op_name(Op op);

// What an armed fault does when it fires.
enum class Action : uint8_t {
  Errno,       // the call fails with `err`, doing nothing
  ShortWrite,  // write/read: transfers only half of the requested bytes (at least 1)
  ZeroWrite,   // write/read: transfers nothing and reports 0
  Kill,        // the process is killed with SIGKILL before the call runs
};

struct Fault {
  Op op = Op::Write;
  // Fires at the nth call of `op` counted from the moment the fault is armed (1 = next call).
  uint64_t nth = 1;
  Action action = Action::Errno;
  int err = EIO;
  // Number of consecutive calls (from the nth on) that fire; 0 = every call from the nth on.
  uint64_t repeat = 1;
};

// Arms a fault (faults accumulate until disarm_all).
void arm(const Fault& f);
// Removes every armed fault and stops counting.
void disarm_all();
// Calls of `op` seen while counting was on (counting is on while a fault is armed or
// after set_counting(true)); reset by disarm_all.
uint64_t calls(Op op);
void set_counting(bool on);

// Disarms every fault when it goes out of scope.
class ScopedFaults {
 public:
  ScopedFaults() = default;
  explicit ScopedFaults(const Fault& f) { arm(f); }
  ScopedFaults(const ScopedFaults&) = delete;
  ScopedFaults& operator=(const ScopedFaults&) = delete;
  ~ScopedFaults() { disarm_all(); }
};

#ifdef TANDREL_TEST_HOOKS
// Arms faults from a text of comma-separated items "op:nth:what[:repeat]": op one of
// open_write, write, read, fsync, fdatasync, rename, unlink, mkdir, ftruncate, link, rmdir;
// nth >= 1;
// what an errno name (EIO, ENOSPC, EINTR, ...) or number, or short, zero, kill; repeat a
// count or "*" (every call from the nth on). Example: "fdatasync:3:EIO". An empty text arms
// nothing. A malformed text arms nothing and is an invalid-input error.
Status arm_from_spec(std::string_view spec);
#endif

// ---- raw wrappers: POSIX semantics (-1 and errno on failure) ----

// open() with O_CLOEXEC added; counted as OpenWrite when the flags ask for writing.
int open(const char* path, int flags, mode_t mode = 0);
ssize_t write(int fd, const void* buf, size_t n);
ssize_t read(int fd, void* buf, size_t n);
ssize_t pread(int fd, void* buf, size_t n, off_t off);
int fsync(int fd);
int fdatasync(int fd);
int rename(const char* from, const char* to);
int unlink(const char* path);
int mkdir(const char* path, mode_t mode);
int ftruncate(int fd, off_t len);
int link(const char* from, const char* to);
int rmdir(const char* path);

// ---- conveniences built on the wrappers ----

// Writes all n bytes: repeats short writes, retries EINTR; a write that reports 0 bytes for a
// non-empty remainder is the write-zero error "failed to write whole buffer".
Status write_all(int fd, const void* buf, size_t n);
// Reads until n bytes are in buf or the file ends: repeats short reads, retries EINTR.
// Returns the number of bytes read (fewer than n only at the end of the file), or the
// system error of the read that failed.
Result<size_t> read_full(int fd, void* buf, size_t n);
// Removes `path` and, for a directory, everything below it (not following symbolic links),
// best effort: every unlink and rmdir goes through the seam, failures are skipped. A path
// that does not exist is fine.
void remove_tree(const char* path);

// fsync / fdatasync retried while interrupted.
Status fsync_retrying(int fd);
Status fdatasync_retrying(int fd);

// Owns a descriptor; closes it (ignoring errors) when dropped.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace ivf_rabitq::fileops
