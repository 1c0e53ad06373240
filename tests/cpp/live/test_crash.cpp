// Process-level crash test: a child process adds rows with the default durability (one
// fdatasync per add), checkpointing now and then, and reports every acknowledged id through
// a pipe; the parent kills it with SIGKILL at a random moment. After every kill the
// reopened segment holds every acknowledged row with its content. Rounds continue on the
// same directory, so later rounds also append behind torn tails. TANDREL_STRESS=1 runs more
// rounds.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "live/test_wal_fixture.hpp"

using namespace durable_test;
using tandrel_test::TempDir;

namespace {

uint64_t seed_of(const std::string& id) { return std::hash<std::string>{}(id) & 0xFFFFFF; }
std::string meta_of(const std::string& id) { return "{\"s\":\"" + id + "\"}"; }

[[noreturn]] void child(const std::string& dir, int round, int fd) {
  auto r = IvfIndex::open_with_skip(dir, std::nullopt);
  if (!r.ok()) ::_exit(3);
  auto& ix = **r;
  for (int i = 0;; ++i) {
    const std::string id = "r" + std::to_string(round) + "_" + std::to_string(i);
    if (!add(ix, id, vec_for(seed_of(id)), meta_of(id)).ok()) ::_exit(4);
    const std::string line = id + "\n";
    if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) ::_exit(5);
    if (i % 37 == 36 && !live::checkpoint(ix).ok()) ::_exit(6);
  }
}

}  // namespace

TEST(Crash, EveryAcknowledgedAddSurvivesSigkill) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  const bool stress = std::getenv("TANDREL_STRESS") != nullptr;
  const int rounds = stress ? 60 : 8;
  std::mt19937 rng(12345);
  std::vector<std::string> acked;
  for (int round = 0; round < rounds; ++round) {
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(p[0]);
      child(dir.path(), round, p[1]);
    }
    ::close(p[1]);
    const int wait_ms = 20 + static_cast<int>(rng() % 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "child ended on its own with status " << status;
    // Every complete line in the pipe is an acknowledged add.
    std::string buf;
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(p[0], chunk, sizeof chunk);
      if (n <= 0) break;
      buf.append(chunk, static_cast<size_t>(n));
    }
    ::close(p[0]);
    size_t start = 0;
    for (size_t nl; (nl = buf.find('\n', start)) != std::string::npos; start = nl + 1)
      acked.push_back(buf.substr(start, nl - start));

    testing::internal::CaptureStderr();  // resync warnings after torn tails
    auto ix = must_open(dir.path());
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(ix);
    const auto live = live_rows(*ix);
    size_t missing = 0;
    for (const auto& id : acked) {
      auto it = live.find(id);
      if (it == live.end()) {
        ++missing;
        ADD_FAILURE() << "acknowledged row " << id << " lost in round " << round;
        continue;
      }
      EXPECT_EQ(it->second, expected_row(*ix, vec_for(seed_of(id)), meta_of(id))) << id;
    }
    ASSERT_EQ(missing, 0u);
  }
  EXPECT_GT(acked.size(), static_cast<size_t>(rounds));
}
