#include "ivf_rabitq/common/fileops.hpp"

#include "ivf_rabitq/common/powerloss.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <string>
#include <vector>

namespace ivf_rabitq::fileops {

namespace {

// Set while a fault is armed or counting is on; the only thing the fast path reads.
std::atomic<bool> g_active{false};

struct ArmedFault {
  Fault f;
  uint64_t start = 0;  // calls of f.op already seen when armed
};

struct State {
  std::mutex mu;
  std::array<uint64_t, kOpCount> counts{};
  std::vector<ArmedFault> faults;
  bool counting = false;
};

State& state() {
  static State* s = new State();  // never destroyed: wrappers may run during exit
  return *s;
}

void refresh_active(State& s) { g_active.store(s.counting || !s.faults.empty(), std::memory_order_relaxed); }

struct Decision {
  bool fire = false;
  Fault f;
};

// Counts the call and decides whether a fault fires for it. Slow path only.
Decision decide(Op op) {
  State& s = state();
  std::lock_guard<std::mutex> lk(s.mu);
  uint64_t n = ++s.counts[static_cast<size_t>(op)];
  Decision d;
  for (const ArmedFault& a : s.faults) {
    if (a.f.op != op) continue;
    uint64_t rel = n - a.start;  // 1-based index of this call since arming
    if (rel < a.f.nth) continue;
    if (a.f.repeat != 0 && rel - a.f.nth >= a.f.repeat) continue;
    d.fire = true;
    d.f = a.f;
    break;
  }
  return d;
}

inline Decision check(Op op) {
  if (!g_active.load(std::memory_order_relaxed)) return {};
  return decide(op);
}

[[noreturn]] void kill_self() {
  ::raise(SIGKILL);
  ::_exit(137);
}

// Runs a byte transfer, or the armed fault in its place (a short transfer runs the call on a
// shorter length).
template <class Call>
ssize_t transfer(Op op, size_t n, Call&& call) {
  Decision d = check(op);
  if (!d.fire) return call(n);
  switch (d.f.action) {
    case Action::Errno: errno = d.f.err; return -1;
    case Action::ShortWrite: return n <= 1 ? call(n) : call(n / 2);
    case Action::ZeroWrite: return 0;
    case Action::Kill: kill_self();
  }
  return call(n);
}

// Applies a fault to a call without a byte count: returns -1 with errno when it fires.
template <class Call>
int simple(Op op, Call&& call) {
  Decision d = check(op);
  if (d.fire) {
    if (d.f.action == Action::Kill) kill_self();
    if (d.f.action == Action::Errno) {
      errno = d.f.err;
      return -1;
    }
  }
  return call();
}

}  // namespace

const char* op_name(Op op) {
  switch (op) {
    case Op::OpenWrite: return "open_write";
    case Op::Write: return "write";
    case Op::Read: return "read";
    case Op::Fsync: return "fsync";
    case Op::Fdatasync: return "fdatasync";
    case Op::Rename: return "rename";
    case Op::Unlink: return "unlink";
    case Op::Mkdir: return "mkdir";
    case Op::Ftruncate: return "ftruncate";
    case Op::Link: return "link";
    case Op::Rmdir: return "rmdir";
  }
  return "?";
}

void arm(const Fault& f) {
  State& s = state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.faults.push_back({f, s.counts[static_cast<size_t>(f.op)]});
  refresh_active(s);
}

void disarm_all() {
  State& s = state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.faults.clear();
  s.counts.fill(0);
  s.counting = false;
  refresh_active(s);
}

uint64_t calls(Op op) {
  State& s = state();
  std::lock_guard<std::mutex> lk(s.mu);
  return s.counts[static_cast<size_t>(op)];
}

void set_counting(bool on) {
  State& s = state();
  std::lock_guard<std::mutex> lk(s.mu);
  s.counting = on;
  refresh_active(s);
}

#ifdef TANDREL_TEST_HOOKS
namespace {

struct ErrnoName {
  const char* name;
  int value;
};
constexpr ErrnoName kErrnoNames[] = {
    {"EIO", EIO},       {"ENOSPC", ENOSPC}, {"EINTR", EINTR},   {"EACCES", EACCES}, {"EPERM", EPERM},
    {"EROFS", EROFS},   {"EDQUOT", EDQUOT}, {"EBADF", EBADF},   {"EINVAL", EINVAL}, {"EAGAIN", EAGAIN},
    {"EEXIST", EEXIST}, {"ENOENT", ENOENT}, {"EXDEV", EXDEV},   {"EMFILE", EMFILE}, {"ENOMEM", ENOMEM},
    {"EFBIG", EFBIG},   {"EISDIR", EISDIR}, {"ENOTDIR", ENOTDIR},
};

bool parse_u64(std::string_view s, uint64_t& out) {
  if (s.empty()) return false;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size();
}

std::vector<std::string_view> split(std::string_view s, char sep) {
  std::vector<std::string_view> out;
  size_t b = 0;
  while (true) {
    size_t e = s.find(sep, b);
    out.push_back(s.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b));
    if (e == std::string_view::npos) break;
    b = e + 1;
  }
  return out;
}

bool parse_item(std::string_view item, Fault& f) {
  auto parts = split(item, ':');
  if (parts.size() < 3 || parts.size() > 4) return false;
  bool op_found = false;
  for (size_t i = 0; i < kOpCount; ++i) {
    if (parts[0] == op_name(static_cast<Op>(i))) {
      f.op = static_cast<Op>(i);
      op_found = true;
    }
  }
  if (!op_found) return false;
  if (!parse_u64(parts[1], f.nth) || f.nth == 0) return false;
  std::string_view what = parts[2];
  if (what == "short") {
    f.action = Action::ShortWrite;
  } else if (what == "zero") {
    f.action = Action::ZeroWrite;
  } else if (what == "kill") {
    f.action = Action::Kill;
  } else {
    f.action = Action::Errno;
    bool found = false;
    for (const auto& e : kErrnoNames) {
      if (what == e.name) {
        f.err = e.value;
        found = true;
      }
    }
    uint64_t num = 0;
    if (!found && parse_u64(what, num) && num > 0 && num < 4096) {
      f.err = static_cast<int>(num);
      found = true;
    }
    if (!found) return false;
  }
  f.repeat = 1;
  if (parts.size() == 4) {
    if (parts[3] == "*") {
      f.repeat = 0;
    } else if (!parse_u64(parts[3], f.repeat) || f.repeat == 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

Status arm_from_spec(std::string_view spec) {
  std::vector<Fault> faults;
  if (!spec.empty()) {
    for (std::string_view item : split(spec, ',')) {
      Fault f;
      if (!parse_item(item, f)) return invalid_input("bad fault spec item: \"" + std::string(item) + "\"");
      faults.push_back(f);
    }
  }
  for (const Fault& f : faults) arm(f);
  return {};
}
#endif

int open(const char* path, int flags, mode_t mode) {
  flags |= O_CLOEXEC;
  if ((flags & (O_WRONLY | O_RDWR | O_CREAT)) != 0) {
    return simple(Op::OpenWrite, [&] { return ::open(path, flags, mode); });
  }
  return ::open(path, flags, mode);
}

ssize_t write(int fd, const void* buf, size_t n) {
  return transfer(Op::Write, n, [&](size_t k) { return ::write(fd, buf, k); });
}

ssize_t read(int fd, void* buf, size_t n) {
  return transfer(Op::Read, n, [&](size_t k) { return ::read(fd, buf, k); });
}

ssize_t pread(int fd, void* buf, size_t n, off_t off) {
  return transfer(Op::Read, n, [&](size_t k) { return ::pread(fd, buf, k, off); });
}

namespace {

// A successful sync, told to the power-loss recorder when it runs.
int synced(int fd, int r) {
  if (r == 0 && powerloss::recording()) powerloss::after_sync(fd);
  return r;
}

// Runs a call that removes a name of `path`, keeping the power-loss recorder's inode lives.
template <class Call>
int removing(const char* path, Call&& call) {
  if (!powerloss::recording()) return call();
  const powerloss::RemoveToken t = powerloss::before_remove(path);
  const int r = call();
  if (r == 0) powerloss::after_remove(t);
  return r;
}

}  // namespace

int fsync(int fd) {
  return synced(fd, simple(Op::Fsync, [&] { return ::fsync(fd); }));
}
int fdatasync(int fd) {
  return synced(fd, simple(Op::Fdatasync, [&] { return ::fdatasync(fd); }));
}
int rename(const char* from, const char* to) {
  const auto call = [&] { return simple(Op::Rename, [&] { return ::rename(from, to); }); };
  if (!powerloss::recording()) return call();
  // The entry replaced at `to` loses a name, unless it already is the renamed file.
  struct stat a, b;
  if (::lstat(from, &a) == 0 && ::lstat(to, &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev) return call();
  return removing(to, call);
}
int unlink(const char* path) {
  return removing(path, [&] { return simple(Op::Unlink, [&] { return ::unlink(path); }); });
}
int mkdir(const char* path, mode_t mode) {
  return simple(Op::Mkdir, [&] { return ::mkdir(path, mode); });
}
int ftruncate(int fd, off_t len) {
  return simple(Op::Ftruncate, [&] { return ::ftruncate(fd, len); });
}
int link(const char* from, const char* to) {
  return simple(Op::Link, [&] { return ::link(from, to); });
}
int rmdir(const char* path) {
  return removing(path, [&] { return simple(Op::Rmdir, [&] { return ::rmdir(path); }); });
}

void remove_tree(const char* path) {
  struct stat st;
  if (::lstat(path, &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    (void)fileops::unlink(path);
    return;
  }
  std::vector<std::string> names;
  if (DIR* d = ::opendir(path)) {
    while (const dirent* e = ::readdir(d)) {
      std::string_view n(e->d_name);
      if (n != "." && n != "..") names.emplace_back(n);
    }
    ::closedir(d);
  }
  std::string child(path);
  if (child.empty() || child.back() != '/') child += '/';
  const size_t base = child.size();
  for (const std::string& n : names) {
    child.resize(base);
    child += n;
    remove_tree(child.c_str());
  }
  (void)fileops::rmdir(path);
}

Status write_all(int fd, const void* buf, size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t w = fileops::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return IoError::last_os();
    }
    if (w == 0) return IoError::msg(ErrorKind::WriteZero, "failed to write whole buffer");
    p += w;
    n -= static_cast<size_t>(w);
  }
  return {};
}

Result<size_t> read_full(int fd, void* buf, size_t n) {
  char* p = static_cast<char*>(buf);
  size_t got = 0;
  while (got < n) {
    const ssize_t r = fileops::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      return IoError::last_os();
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return got;
}

Status fsync_retrying(int fd) {
  while (fileops::fsync(fd) != 0) {
    if (errno != EINTR) return IoError::last_os();
  }
  return {};
}

Status fdatasync_retrying(int fd) {
  while (fileops::fdatasync(fd) != 0) {
    if (errno != EINTR) return IoError::last_os();
  }
  return {};
}

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) reset(o.release());
  return *this;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace ivf_rabitq::fileops
