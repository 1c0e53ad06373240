// Checkpoints: the files and state a checkpoint leaves, the stamp of delta.bin, the
// follow-up step, the quarantine of a damaged log, failures at each step, the refusal to
// write a delta.bin the open would refuse, and a crash matrix: a child process is killed at
// every file operation of a checkpoint and the reopened directory must hold exactly the
// acknowledged rows.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "live/test_wal_fixture.hpp"

using namespace durable_test;
using tandrel_test::TempDir;
namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> read_or_empty(const std::string& path) {
  auto r = storage::read_file(path);
  return r.ok() ? std::move(r).value() : std::vector<uint8_t>{};
}

std::vector<uint8_t> body_of(const std::string& path, std::string_view magic) {
  const auto file = read_or_empty(path);
  std::span<const uint8_t> body;
  EXPECT_EQ(storage::check_frame(file, magic, &body), storage::FrameCheck::Ok) << path;
  return std::vector<uint8_t>(body.begin(), body.end());
}

// A directory whose log holds operations on top of an earlier checkpoint: rows only in the
// log, upserts of main, checkpointed and logged rows, deletes of each kind.
void prepare(const std::string& dir, std::map<std::string, RowView>* expected) {
  tandrel_test::write_segment(dir, small_spec());
  auto ix = must_open(dir);
  ASSERT_TRUE(ix);
  ix->durability_interval.store(4);
  auto put = [&](const std::string& id, int seed, const std::string& meta) {
    ASSERT_TRUE(add(*ix, id, vec_for(seed), meta).ok()) << id;
  };
  put("a", 1, R"({"s":"v1"})");
  put("b", 2, "null");
  put("c", 3, R"({"s":"brand new"})");
  put("id2", 4, R"({"n":20})");
  ASSERT_TRUE(*live::delete_logged(*ix, "id4"));
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  put("d", 5, "null");
  put("e", 6, R"({"n":1})");
  put("a", 7, R"({"s":"v2"})");
  ASSERT_TRUE(*live::delete_logged(*ix, "d"));
  put("e", 8, R"({"n":2})");
  ASSERT_TRUE(*live::delete_logged(*ix, "id6"));
  ASSERT_TRUE(*live::delete_logged(*ix, "b"));
  ASSERT_TRUE(live::wal_sync_now(*ix).ok());
  *expected = live_rows(*ix);
}

}  // namespace

TEST(Checkpoint, EmptyIndexWritesEmptyFiles) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  auto ix = must_open(dir.path());
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  EXPECT_EQ(body_of(dir.file("deleted.bin"), storage::kDeletedMagic),
            (std::vector<uint8_t>{0x3A, 0x30, 0, 0, 0, 0, 0, 0}));
  const auto delta = body_of(dir.file("delta.bin"), storage::kDeltaMagic);
  EXPECT_EQ(delta, std::vector<uint8_t>(9 * 8, 0));  // nine empty lists
  EXPECT_TRUE(fs::exists(dir.file("wal.bin")));
  EXPECT_EQ(fs::file_size(dir.file("wal.bin")), 0u);
}

TEST(Checkpoint, StateAfterwardsAndStamps) {
  TempDir dir;
  std::map<std::string, RowView> expected;
  prepare(dir.path(), &expected);
  auto ix = must_open(dir.path());
  EXPECT_EQ(live_rows(*ix), expected);
  ASSERT_TRUE(add(*ix, "z", vec_for(9)).ok());
  expected["z"] = expected_row(*ix, vec_for(9), "null");
  ASSERT_TRUE(ix->locks().wal.lock()->valid());
  ix->wal_damaged.store(false);
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  EXPECT_FALSE(ix->locks().wal.lock()->valid());
  EXPECT_EQ(ix->wal_bytes.load(), 0u);
  EXPECT_EQ(ix->durable_tomb_epoch.load(), ix->tomb_epoch.load());
  EXPECT_FALSE(ix->fsync_failed.load());
  EXPECT_EQ(fs::file_size(dir.file("wal.bin")), 0u);
  auto disk = live::disk_delta_stamp(dir.path());
  ASSERT_TRUE(disk.ok());
  ASSERT_TRUE(disk->has_value());
  EXPECT_EQ(*ix->locks().delta_stamp.lock(), *disk);
  EXPECT_EQ((*disk)->len, fs::file_size(dir.file("delta.bin")));
  // Another index checkpointing the same directory writes a new file: the stamp differs.
  {
    auto other = must_open(dir.path());
    EXPECT_EQ(live_rows(*other), expected);
    ASSERT_TRUE(live::checkpoint(*other).ok());
  }
  auto disk2 = live::disk_delta_stamp(dir.path());
  ASSERT_TRUE(disk2.ok());
  EXPECT_NE(*disk2, *disk);
  // No delta.bin: none.
  TempDir empty;
  auto none = live::disk_delta_stamp(empty.path());
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());
}

TEST(Checkpoint, FailingFollowUpKeepsTheLog) {
  TempDir dir;
  std::map<std::string, RowView> expected;
  prepare(dir.path(), &expected);
  auto ix = must_open(dir.path());
  const auto log = read_or_empty(dir.file("wal.bin"));
  ASSERT_FALSE(log.empty());
  int calls = 0;
  auto st = live::checkpoint_then(*ix, [&] {
    ++calls;
    return Status(other_error("generation write failed"));
  });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().text(), "generation write failed");
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(read_or_empty(dir.file("wal.bin")), log);
  EXPECT_EQ(ix->wal_bytes.load(), log.size());
  ix.reset();
  auto again = must_open(dir.path());
  EXPECT_EQ(live_rows(*again), expected);
}

TEST(Checkpoint, QuarantineOfADamagedLog) {
  TempDir dir;
  std::map<std::string, RowView> expected;
  prepare(dir.path(), &expected);
  auto log = read_or_empty(dir.file("wal.bin"));
  // Damage one frame in the middle (its row is lost; the rest replays).
  log[40] ^= 0xFF;
  tandrel_test::write_all(dir.file("wal.bin"), log);
  testing::internal::CaptureStderr();
  auto ix = must_open(dir.path());
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(ix->wal_damaged.load());
  testing::internal::CaptureStderr();
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, live::quarantine_warning(dir.file("wal.corrupt.bin")) + "\n");
  EXPECT_EQ(err.rfind("Tandrel: quarantined a damaged wal.bin to \"", 0), 0u);
  EXPECT_EQ(read_or_empty(dir.file("wal.corrupt.bin")), log);
  EXPECT_FALSE(ix->wal_damaged.load());
  // Damage flag with an empty log: no copy, no line.
  fs::remove(dir.file("wal.corrupt.bin"));
  ix->wal_damaged.store(true);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(fs::exists(dir.file("wal.corrupt.bin")));
  EXPECT_FALSE(ix->wal_damaged.load());
}

TEST(Checkpoint, LogIsSyncedFirstOnlyAfterNewTombstones) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  auto ix = must_open(dir.path());
  ix->durability_interval.store(100);
  ASSERT_TRUE(add(*ix, "a", vec_for(1)).ok());
  fileops::set_counting(true);
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 0u);  // only adds of new ids
  ASSERT_TRUE(add(*ix, "a", vec_for(2)).ok());            // an upsert tombstones
  ASSERT_TRUE(live::checkpoint(*ix).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fdatasync), 1u);
  fileops::disarm_all();
}

TEST(Checkpoint, FailureAtEachStep) {
  struct Case {
    const char* name;
    fileops::Fault fault;
    bool deleted_new, delta_new, log_emptied, fsync_failed;
  };
  // Renames in order: deleted.bin, delta.bin, wal.bin.
  const std::vector<Case> cases = {
      {"log sync", {fileops::Op::Fdatasync, 1, fileops::Action::Errno, EIO}, false, false, false, true},
      {"deleted.bin", {fileops::Op::Rename, 1, fileops::Action::Errno, EIO}, false, false, false, false},
      {"delta.bin", {fileops::Op::Rename, 2, fileops::Action::Errno, EIO}, true, false, false, false},
      {"empty log", {fileops::Op::Rename, 3, fileops::Action::Errno, EIO}, true, true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::map<std::string, RowView> expected;
    prepare(dir.path(), &expected);
    const auto old_deleted = read_or_empty(dir.file("deleted.bin"));
    const auto old_delta = read_or_empty(dir.file("delta.bin"));
    const auto old_log = read_or_empty(dir.file("wal.bin"));
    auto ix = must_open(dir.path());
    ix->durability_interval.store(100);
    ASSERT_TRUE(live::delete_logged(*ix, "id7").ok());  // tombstones since the last sync
    expected.erase("id7");
    {
      fileops::ScopedFaults f(c.fault);
      EXPECT_FALSE(live::checkpoint(*ix).ok());
    }
    EXPECT_EQ(read_or_empty(dir.file("deleted.bin")) != old_deleted, c.deleted_new);
    EXPECT_EQ(read_or_empty(dir.file("delta.bin")) != old_delta, c.delta_new);
    EXPECT_EQ(read_or_empty(dir.file("wal.bin")).empty(), c.log_emptied);
    EXPECT_EQ(ix->fsync_failed.load(), c.fsync_failed);
    EXPECT_FALSE(fs::exists(dir.file("deleted.writing.tmp")));
    EXPECT_FALSE(fs::exists(dir.file("delta.writing.tmp")));
    ix.reset();
    auto again = must_open(dir.path());
    EXPECT_EQ(live_rows(*again), expected);
  }
}

TEST(Checkpoint, NeverWritesADeltaTheOpenRefuses) {
  storage::Manifest m;
  m.dim = 8;
  m.n_bits = 2;
  m.words_per_plane = 1;
  m.n_clusters = 4;
  m.n = 100;
  auto shape = [&](uint64_t rows) {
    live::DeltaShape s;
    s.rows = s.clusters = s.meta = s.sparse = rows;
    s.codes = 2 * rows;
    s.factors = 4 * rows;
    s.rerank = 9 * rows;
    s.num_cols = {rows};
    s.str_cols = {rows, rows};
    s.max_cluster = 3;
    return s;
  };
  EXPECT_TRUE(live::check_delta_for_checkpoint(shape(5), m, 1, 2).ok());
  // Extra (grown) column lists are cut on writing, fewer cannot reopen.
  EXPECT_TRUE(live::check_delta_for_checkpoint(shape(5), m, 1, 1).ok());
  EXPECT_FALSE(live::check_delta_for_checkpoint(shape(5), m, 2, 2).ok());
  // The slot space: n + rows must stay below 2^32 - 1, and counts above 2^32 are refused.
  EXPECT_TRUE(live::check_delta_for_checkpoint(shape(4294967294ull - 100), m, 1, 2).ok());
  for (uint64_t rows : std::vector<uint64_t>{4294967295ull - 100, (uint64_t{1} << 32) + 5, uint64_t{1} << 40}) {
    auto st = live::check_delta_for_checkpoint(shape(rows), m, 1, 2);
    ASSERT_FALSE(st.ok()) << rows;
    EXPECT_EQ(st.error().kind(), ErrorKind::InvalidData);
  }
  auto bad = shape(5);
  bad.max_cluster = 4;
  EXPECT_FALSE(live::check_delta_for_checkpoint(bad, m, 1, 2).ok());
  bad = shape(5);
  bad.meta = 4;
  EXPECT_FALSE(live::check_delta_for_checkpoint(bad, m, 1, 2).ok());
  bad = shape(5);
  bad.rerank = 8 * 5;
  EXPECT_FALSE(live::check_delta_for_checkpoint(bad, m, 1, 2).ok());
  // Zero rows: column list counts are not checked.
  auto zero = shape(0);
  zero.num_cols.clear();
  EXPECT_TRUE(live::check_delta_for_checkpoint(zero, m, 3, 3).ok());
}

// ---- crash matrix ----

namespace {

enum class Ver { Old, New };
struct DiskState {
  Ver deleted, delta;
  bool log_full;
  bool temporaries;
  auto operator<=>(const DiskState&) const = default;
};

}  // namespace

TEST(CheckpointCrash, KillAtEveryFileOperation) {
  TempDir base;
  std::map<std::string, RowView> expected;
  prepare(base.path(), &expected);
  const auto old_deleted = read_or_empty(base.file("deleted.bin"));
  const auto old_delta = read_or_empty(base.file("delta.bin"));
  std::set<DiskState> seen;
  const fileops::Op ops[] = {fileops::Op::OpenWrite, fileops::Op::Write, fileops::Op::Fsync, fileops::Op::Fdatasync,
                             fileops::Op::Rename};
  int kills = 0;
  for (fileops::Op op : ops) {
    for (uint64_t nth = 1; nth < 64; ++nth) {
      TempDir dir;
      fs::copy(base.path(), dir.path(), fs::copy_options::overwrite_existing | fs::copy_options::recursive);
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        auto r = IvfIndex::open_with_skip(dir.path(), std::nullopt);
        if (!r.ok()) ::_exit(3);
        // A tombstone since the last durable sync, so the checkpoint syncs the log first.
        (*r)->durability_interval.store(100);
        auto del = live::delete_logged(**r, "id8");
        if (!del.ok() || !*del) ::_exit(4);
        fileops::arm(fileops::Fault{op, nth, fileops::Action::Kill});
        auto st = live::checkpoint_then(**r, [&] { return storage::write_generation(dir.path(), 7); });
        ::_exit(st.ok() ? 0 : 5);
      }
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
      if (!killed) {
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
      }
      SCOPED_TRACE(std::string(fileops::op_name(op)) + " #" + std::to_string(nth));
      // The delete of id8 was applied and logged before the checkpoint began, and the kill
      // comes no earlier than its frame: it must survive like every earlier operation.
      auto want = expected;
      want.erase("id8");
      DiskState ds;
      ds.deleted = read_or_empty(dir.file("deleted.bin")) == old_deleted ? Ver::Old : Ver::New;
      ds.delta = read_or_empty(dir.file("delta.bin")) == old_delta ? Ver::Old : Ver::New;
      ds.log_full = !read_or_empty(dir.file("wal.bin")).empty();
      ds.temporaries = false;
      for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.path().filename().string().find(".writing.tmp") != std::string::npos) ds.temporaries = true;
      seen.insert(ds);
      auto again = must_open(dir.path());
      ASSERT_TRUE(again);
      EXPECT_EQ(live_rows(*again), want);
      if (!killed) break;
      ++kills;
    }
  }
  EXPECT_GT(kills, 10);
  // The named states were all reached.
  EXPECT_TRUE(seen.count({Ver::New, Ver::Old, true, false}) || seen.count({Ver::New, Ver::Old, true, true}));
  EXPECT_TRUE(seen.count({Ver::New, Ver::New, true, false}) || seen.count({Ver::New, Ver::New, true, true}));
  EXPECT_TRUE(seen.count({Ver::New, Ver::New, false, false}));
  bool temps = false;
  for (const auto& s : seen) temps |= s.temporaries;
  EXPECT_TRUE(temps);
}

// The check the handle makes before checkpointing the index it holds in place: the log and
// delta.bin must still be the ones this index knows. Another writer's append changes the
// log's length; another writer's checkpoint replaces delta.bin (and empties the log).
TEST(Checkpoint, LogIsCurrentUntilAnotherWriterActs) {
  struct Case {
    const char* name;
    bool own_add;     // this index appends first
    bool other_add;   // a second index on the directory appends
    bool other_ckpt;  // a second index checkpoints
    bool want;
  };
  const std::vector<Case> cases = {
      {"untouched", false, false, false, true},
      {"own append", true, false, false, true},
      {"other append", false, true, false, false},
      {"other append after own", true, true, false, false},
      {"other checkpoint, empty log", false, false, true, false},
      {"other checkpoint after own append", true, false, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    tandrel_test::write_segment(dir.path(), small_spec());
    ASSERT_TRUE(live::checkpoint(*must_open(dir.path())).ok());  // delta.bin exists
    auto ix = must_open(dir.path());
    ASSERT_TRUE(ix);
    if (c.own_add) {
      ASSERT_TRUE(add(*ix, "mine", vec_for(1)).ok());
    }
    if (c.other_add || c.other_ckpt) {
      auto other = must_open(dir.path());
      ASSERT_TRUE(other);
      if (c.other_add) {
        ASSERT_TRUE(add(*other, "theirs", vec_for(2)).ok());
      }
      if (c.other_ckpt) {
        ASSERT_TRUE(live::checkpoint(*other).ok());
      }
    }
    auto got = ix->log_is_current();
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got, c.want);
    // Its own checkpoint makes the index current again.
    ASSERT_TRUE(live::checkpoint(*ix).ok());
    got = ix->log_is_current();
    ASSERT_TRUE(got.ok());
    EXPECT_TRUE(*got);
  }
}
