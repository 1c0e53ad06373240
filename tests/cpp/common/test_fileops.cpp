// The file-operations seam: faults fire at the chosen call, for the chosen number of calls,
// with the chosen errno; short and zero writes; counting across threads; the fault-description parser.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ivf_rabitq/common/fileops.hpp"

using namespace ivf_rabitq;
namespace fo = ivf_rabitq::fileops;

namespace {

struct TempFile {
  std::string path;
  int fd = -1;
  TempFile() {
    char tmpl[] = "/tmp/tandrel_fileops_XXXXXX";
    fd = ::mkstemp(tmpl);
    path = tmpl;
  }
  ~TempFile() {
    if (fd >= 0) ::close(fd);
    ::unlink(path.c_str());
  }
  std::string content() const {
    std::string s;
    int f = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    char buf[4096];
    ssize_t r;
    while ((r = ::read(f, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(r));
    ::close(f);
    return s;
  }
};

}  // namespace

TEST(FileOps, FaultFiresAtNthCallForRepeatCallsThenStops) {
  struct Case {
    uint64_t nth, repeat;
    std::vector<bool> fails;  // outcome of calls 1..6
  };
  const Case cases[] = {
      {1, 1, {true, false, false, false, false, false}},
      {3, 1, {false, false, true, false, false, false}},
      {2, 2, {false, true, true, false, false, false}},
      {4, 0, {false, false, false, true, true, true}},
  };
  TempFile t;
  for (const Case& c : cases) {
    fo::ScopedFaults guard(fo::Fault{fo::Op::Fsync, c.nth, fo::Action::Errno, EIO, c.repeat});
    for (size_t i = 0; i < c.fails.size(); ++i) {
      errno = 0;
      int r = fo::fsync(t.fd);
      EXPECT_EQ(r != 0, c.fails[i]) << "nth=" << c.nth << " repeat=" << c.repeat << " call " << i + 1;
      if (r != 0) {
        EXPECT_EQ(errno, EIO);
      }
    }
    EXPECT_EQ(fo::calls(fo::Op::Fsync), c.fails.size());
    // Other operations are not affected.
    EXPECT_EQ(fo::fdatasync(t.fd), 0);
  }
  // Disarmed: nothing fires and nothing is counted.
  EXPECT_EQ(fo::fsync(t.fd), 0);
  EXPECT_EQ(fo::calls(fo::Op::Fsync), 0u);
}

TEST(FileOps, FaultCountsFromTheMomentItIsArmed) {
  TempFile t;
  fo::ScopedFaults guard;
  fo::set_counting(true);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(fo::fsync(t.fd), 0);
  fo::arm({fo::Op::Fsync, 2, fo::Action::Errno, ENOSPC, 1});
  EXPECT_EQ(fo::fsync(t.fd), 0);
  EXPECT_EQ(fo::fsync(t.fd), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(fo::fsync(t.fd), 0);
  EXPECT_EQ(fo::calls(fo::Op::Fsync), 8u);
}

TEST(FileOps, WriteAllHandlesShortWritesInterruptsAndZeroWrites) {
  const std::string payload = "0123456789abcdefghij";
  {
    // A short write followed by an interrupted one: the loop still writes everything once.
    TempFile t;
    fo::ScopedFaults guard;
    fo::arm({fo::Op::Write, 1, fo::Action::ShortWrite, 0, 1});
    fo::arm({fo::Op::Write, 2, fo::Action::Errno, EINTR, 1});
    ASSERT_TRUE(fo::write_all(t.fd, payload.data(), payload.size()).ok());
    EXPECT_EQ(t.content(), payload);
    EXPECT_EQ(fo::calls(fo::Op::Write), 3u);
  }
  {
    TempFile t;
    fo::ScopedFaults guard(fo::Fault{fo::Op::Write, 1, fo::Action::ZeroWrite, 0, 1});
    Status s = fo::write_all(t.fd, payload.data(), payload.size());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::WriteZero);
    EXPECT_EQ(s.error().text(), "failed to write whole buffer");
  }
  {
    TempFile t;
    fo::ScopedFaults guard(fo::Fault{fo::Op::Write, 2, fo::Action::Errno, ENOSPC, 1});
    fo::arm({fo::Op::Write, 1, fo::Action::ShortWrite, 0, 1});
    Status s = fo::write_all(t.fd, payload.data(), payload.size());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::StorageFull);
    EXPECT_EQ(s.error().os_code(), ENOSPC);
    EXPECT_EQ(t.content(), payload.substr(0, payload.size() / 2));  // a torn write stays torn
  }
  {
    // An empty write does nothing and is not an error, even with a fault armed.
    TempFile t;
    fo::ScopedFaults guard(fo::Fault{fo::Op::Write, 1, fo::Action::Errno, EIO, 0});
    EXPECT_TRUE(fo::write_all(t.fd, payload.data(), 0).ok());
  }
}

TEST(FileOps, ReadFullRepeatsShortReadsRetriesInterruptsAndStopsAtTheEnd) {
  const std::string payload = "0123456789abcdefghij";  // 20 bytes
  const fo::Fault half{fo::Op::Read, 1, fo::Action::ShortWrite, 0, 1};  // the first read gets half
  struct Case {
    const char* name;
    std::vector<fo::Fault> faults;
    size_t n;
    std::string want;  // bytes read; empty with want_err set
    int want_err;      // 0: success
    uint64_t reads;    // read calls made
  } cases[] = {
      {"all of a prefix", {}, 8, payload.substr(0, 8), 0, 1},
      {"the file ends first", {}, 32, payload, 0, 2},
      {"short read, then interrupted", {half, {fo::Op::Read, 2, fo::Action::Errno, EINTR, 2}}, 12,
       payload.substr(0, 12), 0, 4},
      {"a read reporting 0 is the end", {half, {fo::Op::Read, 2, fo::Action::ZeroWrite, 0, 1}}, 12,
       payload.substr(0, 6), 0, 2},
      {"an error after a short read", {half, {fo::Op::Read, 2, fo::Action::Errno, EIO, 1}}, 12, "", EIO, 2},
      {"nothing asked, nothing read", {{fo::Op::Read, 1, fo::Action::Errno, EIO, 0}}, 0, "", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile t;
    ASSERT_TRUE(fo::write_all(t.fd, payload.data(), payload.size()).ok());
    ASSERT_EQ(::lseek(t.fd, 0, SEEK_SET), 0);
    fo::ScopedFaults guard;
    fo::set_counting(true);
    for (const fo::Fault& f : c.faults) fo::arm(f);
    std::string buf(c.n, '#');
    Result<size_t> got = fo::read_full(t.fd, buf.data(), buf.size());
    EXPECT_EQ(fo::calls(fo::Op::Read), c.reads);
    if (c.want_err != 0) {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error().os_code(), c.want_err);
      continue;
    }
    ASSERT_TRUE(got.ok()) << got.error().text();
    EXPECT_EQ(buf.substr(0, *got), c.want);
  }
}

TEST(FileOps, SyncRetriesInterruptsAndKeepsOtherErrors) {
  TempFile t;
  {
    fo::ScopedFaults guard(fo::Fault{fo::Op::Fdatasync, 1, fo::Action::Errno, EINTR, 3});
    EXPECT_TRUE(fo::fdatasync_retrying(t.fd).ok());
    EXPECT_EQ(fo::calls(fo::Op::Fdatasync), 4u);
  }
  {
    fo::ScopedFaults guard(fo::Fault{fo::Op::Fsync, 1, fo::Action::Errno, EIO, 1});
    Status s = fo::fsync_retrying(t.fd);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().os_code(), EIO);
  }
}

TEST(FileOps, OpenForWriteIsFaultableAndReadOnlyOpenIsNot) {
  TempFile t;
  fo::ScopedFaults guard(fo::Fault{fo::Op::OpenWrite, 1, fo::Action::Errno, EACCES, 0});
  int r = fo::open(t.path.c_str(), O_RDONLY);
  ASSERT_GE(r, 0);
  EXPECT_TRUE(::fcntl(r, F_GETFD) & FD_CLOEXEC);
  ::close(r);
  EXPECT_EQ(fo::open(t.path.c_str(), O_WRONLY), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(fo::calls(fo::Op::OpenWrite), 1u);
}

TEST(FileOps, CountingIsExactUnderConcurrentCallers) {
  TempFile t;
  fo::ScopedFaults guard;
  // Fault far beyond the calls made: everything succeeds, every call is counted once.
  fo::arm({fo::Op::Fsync, 1000000, fo::Action::Errno, EIO, 1});
  constexpr int kThreads = 8, kCalls = 200;
  std::vector<std::thread> ts;
  for (int i = 0; i < kThreads; ++i) {
    ts.emplace_back([&] {
      for (int k = 0; k < kCalls; ++k) EXPECT_EQ(fo::fsync(t.fd), 0);
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(fo::calls(fo::Op::Fsync), static_cast<uint64_t>(kThreads * kCalls));
}

TEST(FileOps, ExactlyOneConcurrentCallerSeesASingleFault) {
  TempFile t;
  fo::ScopedFaults guard(fo::Fault{fo::Op::Fsync, 50, fo::Action::Errno, EIO, 1});
  std::atomic<int> failures{0};
  std::vector<std::thread> ts;
  for (int i = 0; i < 4; ++i) {
    ts.emplace_back([&] {
      for (int k = 0; k < 50; ++k) failures += fo::fsync(t.fd) != 0;
    });
  }
  for (auto& th : ts) th.join();
  EXPECT_EQ(failures.load(), 1);
}

TEST(FileOps, KillActionKillsTheProcessBeforeTheCall) {
  TempFile t;
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    fo::arm({fo::Op::Write, 2, fo::Action::Kill, 0, 1});
    (void)fo::write_all(t.fd, "a", 1);
    (void)fo::write_all(t.fd, "b", 1);  // killed here
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_EQ(t.content(), "a");
}

#ifdef TANDREL_TEST_HOOKS
TEST(FileOps, SpecStringArmsFaults) {
  TempFile t;
  {
    fo::ScopedFaults guard;
    ASSERT_TRUE(fo::arm_from_spec("fdatasync:3:EIO").ok());
    EXPECT_EQ(fo::fdatasync(t.fd), 0);
    EXPECT_EQ(fo::fdatasync(t.fd), 0);
    EXPECT_EQ(fo::fdatasync(t.fd), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(fo::fdatasync(t.fd), 0);
  }
  {
    fo::ScopedFaults guard;
    ASSERT_TRUE(fo::arm_from_spec("rename:1:ENOSPC:*,fsync:2:28:2").ok());
    EXPECT_EQ(fo::rename("/nonexistent/a", "/nonexistent/b"), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(fo::rename("/nonexistent/a", "/nonexistent/b"), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(fo::fsync(t.fd), 0);
    EXPECT_EQ(fo::fsync(t.fd), -1);
    EXPECT_EQ(errno, 28);
    EXPECT_EQ(fo::fsync(t.fd), -1);
    EXPECT_EQ(fo::fsync(t.fd), 0);
  }
  {
    fo::ScopedFaults guard;
    ASSERT_TRUE(fo::arm_from_spec("write:1:short").ok());
    ASSERT_TRUE(fo::write_all(t.fd, "xyzw", 4).ok());
    EXPECT_EQ(fo::calls(fo::Op::Write), 2u);
  }
  EXPECT_TRUE(fo::arm_from_spec("").ok());
  for (const char* bad : {"fsync", "fsync:0:EIO", "fsync:1:EWHAT", "chmod:1:EIO", "fsync:1:EIO:0", "fsync:x:EIO",
                          "fsync:1:EIO,", "write:1:short:1:2"}) {
    Status s = fo::arm_from_spec(bad);
    EXPECT_FALSE(s.ok()) << bad;
    if (!s.ok()) {
      EXPECT_EQ(s.error().kind(), ErrorKind::InvalidInput);
    }
    // A malformed spec arms nothing, even when its first items were fine.
    EXPECT_EQ(fo::fsync(t.fd), 0) << bad;
  }
  fo::disarm_all();
}
#endif
