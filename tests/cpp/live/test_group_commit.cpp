// Group commit: the count and time policies with an injected clock, the sticky failure
// after a failed fdatasync (refusing every due operation with the fixed text until a
// checkpoint), and the handle's own log sync.
#include <gtest/gtest.h>

#include <atomic>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "live/test_wal_fixture.hpp"

using namespace durable_test;
using tandrel_test::TempDir;

namespace {

std::atomic<int64_t> g_fake_ms{0};
const index::WalClock::time_point kBase = index::WalClock::time_point(std::chrono::hours(1000));
index::WalClock::time_point fake_now() { return kBase + std::chrono::milliseconds(g_fake_ms.load()); }

const std::string kSticky =
    "WAL fsync previously failed; call sync()/flush() to recover durability before confirming this op";

class GroupCommit : public ::testing::Test {
 protected:
  void SetUp() override {
    tandrel_test::write_segment(dir.path(), small_spec());
    ix = must_open(dir.path());
    ASSERT_TRUE(ix);
    prev_clock = live::set_wal_clock_for_testing(&fake_now);
    g_fake_ms = 0;
    ix->note_sync(fake_now());
    fileops::set_counting(true);
  }
  void TearDown() override {
    fileops::disarm_all();
    fileops::set_counting(false);
    live::set_wal_clock_for_testing(prev_clock);
  }

  // One logged add; returns "" on success, else the error text. Records whether it synced.
  struct Step {
    std::string err;
    bool synced;
  };
  Step op(const std::string& id, bool fail_sync = false) {
    const uint64_t before = fileops::calls(fileops::Op::Fdatasync);
    Status st;
    if (fail_sync) {
      fileops::arm(fileops::Fault{fileops::Op::Fdatasync, 1, fileops::Action::Errno, EIO});
      st = add(*ix, id, vec_for(id.size()));
      fileops::disarm_all();
      fileops::set_counting(true);
    } else {
      st = add(*ix, id, vec_for(id.size()));
    }
    const bool synced = fileops::calls(fileops::Op::Fdatasync) != before || fail_sync;
    return Step{st.ok() ? "" : st.error().text(), synced};
  }

  TempDir dir;
  std::shared_ptr<IvfIndex> ix;
  live::WalNowFn prev_clock = nullptr;
};

}  // namespace

TEST_F(GroupCommit, CountPolicyTable) {
  struct Case {
    uint32_t interval;
    std::vector<bool> synced;  // per operation
  };
  const std::vector<Case> cases = {
      {1, {true, true, true, true}},
      {3, {false, false, true, false, false, true}},
      {0, {true, true, true}},
      {5, {false, false, false, false, true, false}},
  };
  int k = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.interval);
    ix->durability_interval.store(c.interval);
    ix->ops_since_sync.store(0);
    const uint64_t count0 = ix->wal_sync_count.load();
    uint64_t syncs = 0;
    for (size_t i = 0; i < c.synced.size(); ++i) {
      auto s = op("c" + std::to_string(k++));
      EXPECT_EQ(s.err, "");
      EXPECT_EQ(s.synced, c.synced[i]) << "op " << i + 1;
      syncs += c.synced[i];
    }
    EXPECT_EQ(ix->wal_sync_count.load() - count0, syncs);
  }
}

TEST_F(GroupCommit, TimeWindowPolicy) {
  ix->wal_sync_ms.store(100);
  struct Step {
    int64_t at_ms;
    bool synced;
  };
  const std::vector<Step> steps = {{0, false}, {10, false}, {99, false}, {100, true},
                                   {150, false}, {199, false}, {201, true}, {202, false}};
  for (const auto& s : steps) {
    g_fake_ms = s.at_ms;
    auto r = op("t" + std::to_string(s.at_ms));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.synced, s.synced) << "at " << s.at_ms;
  }
  EXPECT_EQ(ix->wal_sync_count.load(), 2u);
  // A clock reading before the window start counts as no time elapsed.
  ix->note_sync(fake_now() + std::chrono::seconds(10));
  EXPECT_FALSE(op("early").synced);
}

TEST_F(GroupCommit, FailedSyncIsStickyUntilACheckpoint) {
  ix->durability_interval.store(1);
  auto first = op("a", /*fail_sync=*/true);
  EXPECT_EQ(first.err, IoError::os(EIO).text());
  EXPECT_TRUE(ix->fsync_failed.load());
  EXPECT_FALSE(ix->locks().wal.lock()->valid());  // the descriptor was closed
  // Later operations are logged and applied, but refused confirmation.
  for (const char* id : {"b", "c"}) {
    auto s = op(id);
    EXPECT_EQ(s.err, kSticky);
    EXPECT_FALSE(s.synced);
  }
  EXPECT_EQ(ix->locks().delta.read()->ids, (std::vector<std::string>{"a", "b", "c"}));
  auto del = live::delete_logged(*ix, "a");
  ASSERT_FALSE(del.ok());
  EXPECT_EQ(del.error().text(), kSticky);
  EXPECT_EQ(del.error().kind(), ErrorKind::Other);
  EXPECT_TRUE(ix->locks().tombstones.read()->contains(10));
  // The checkpoint syncs the log first (a tombstone was added) through a fresh descriptor.
  const uint64_t before = fileops::calls(fileops::Op::Fdatasync);
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), before + 1);
  EXPECT_FALSE(ix->fsync_failed.load());
  EXPECT_EQ(ix->durable_tomb_epoch.load(), ix->tomb_epoch.load());
  auto after = op("d");
  EXPECT_EQ(after.err, "");
  EXPECT_TRUE(after.synced);
  EXPECT_EQ(ix->wal_sync_count.load(), 1u);
}

TEST_F(GroupCommit, FailedSyncWithIntervalFiveRefusesTheVeryNextOp) {
  ix->durability_interval.store(5);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(op("p" + std::to_string(i)).err, "");
  EXPECT_EQ(op("p4", true).err, IoError::os(EIO).text());
  EXPECT_EQ(op("p5").err, kSticky);  // the counter was not reset
  EXPECT_EQ(op("p6").err, kSticky);
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  // The checkpoint does not reset the counter: the next op is due at once and syncs.
  auto s = op("p7");
  EXPECT_EQ(s.err, "");
  EXPECT_TRUE(s.synced);
  EXPECT_EQ(ix->ops_since_sync.load(), 0u);
}

TEST_F(GroupCommit, FailedSyncInTimeWindowRefusesOnlyAfterTheWindow) {
  ix->wal_sync_ms.store(100);
  g_fake_ms = 100;
  EXPECT_EQ(op("w0", true).err, IoError::os(EIO).text());
  g_fake_ms = 150;
  EXPECT_EQ(op("w1").err, "");  // inside the window restarted by the failed attempt
  g_fake_ms = 199;
  EXPECT_EQ(op("w2").err, "");
  g_fake_ms = 200;
  EXPECT_EQ(op("w3").err, kSticky);
  g_fake_ms = 250;
  EXPECT_EQ(op("w4").err, "");  // the refusal restarted the window too
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  g_fake_ms = 400;
  auto s = op("w5");
  EXPECT_EQ(s.err, "");
  EXPECT_TRUE(s.synced);
}

TEST_F(GroupCommit, NoDescriptorCountsAsASuccessfulSync) {
  EXPECT_FALSE(ix->locks().wal.lock()->valid());
  ASSERT_TRUE(live::wal_group_commit(*ix).ok());
  EXPECT_EQ(ix->wal_sync_count.load(), 1u);
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 0u);
}

TEST_F(GroupCommit, TheHandlesOwnSync) {
  ix->durability_interval.store(10);
  ASSERT_EQ(op("a").err, "");
  ASSERT_TRUE(live::delete_logged(*ix, "id1").ok());
  EXPECT_EQ(ix->ops_since_sync.load(), 2u);
  EXPECT_EQ(ix->durable_tomb_epoch.load(), 0u);
  g_fake_ms = 40;
  ASSERT_TRUE(live::wal_sync_now(*ix).ok());
  EXPECT_EQ(ix->ops_since_sync.load(), 0u);
  EXPECT_EQ(ix->wal_sync_count.load(), 0u);  // not counted
  EXPECT_EQ(ix->durable_tomb_epoch.load(), 1u);
  EXPECT_EQ(*ix->locks().wal_last_sync.lock(), fake_now());
  {
    fileops::ScopedFaults f(fileops::Fault{fileops::Op::Fdatasync, 1, fileops::Action::Errno, EIO});
    EXPECT_FALSE(live::wal_sync_now(*ix).ok());
  }
  EXPECT_TRUE(ix->fsync_failed.load());
  EXPECT_FALSE(ix->locks().wal.lock()->valid());
}

TEST_F(GroupCommit, DropSyncsTheDescriptorOnceAndWarnsOnFailure) {
  ix->durability_interval.store(100);
  ASSERT_EQ(op("a").err, "");
  const uint64_t before = fileops::calls(fileops::Op::Fdatasync);
  fileops::arm(fileops::Fault{fileops::Op::Fdatasync, 1, fileops::Action::Errno, EIO});
  testing::internal::CaptureStderr();
  ix.reset();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), before + 1);
  EXPECT_EQ(err, "Tandrel: final WAL sync on drop failed at " + storage::quoted_path(dir.path()) + " (" +
                     IoError::os(EIO).text() +
                     "); a group-commit tail may be lost \u2014 call sync()/close() explicitly for a durability point\n");
  // An index that never appended syncs nothing and prints nothing.
  fileops::disarm_all();
  fileops::set_counting(true);
  auto quiet = must_open(dir.path());
  testing::internal::CaptureStderr();
  quiet.reset();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 0u);
}
