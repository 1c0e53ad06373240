// The writer of segment directories: the closing order (manifest last), checksums of whole
// and streamed files, stream files replacing rather than truncating, and the removal of an
// earlier segment's log, delta, tombstones and manifest.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/segment_writer.hpp"
#include "support/segment_fixture.hpp"

namespace {

using namespace ivf_rabitq;
using tandrel_test::TempDir;
namespace fs = std::filesystem;

TEST(SegmentWriter, StreamsWholeFilesAndClosesWithManifestLast) {
  TempDir t;
  const std::string dir = t.path() + "/a/b";
  auto w = storage::SegmentWriter::begin(dir, false);
  ASSERT_TRUE(w.ok());
  const std::vector<uint8_t> whole{1, 2, 3};
  ASSERT_TRUE(w->write_file("ids.bin", whole).ok());
  auto s = w->stream("codes.bin");
  ASSERT_TRUE(s.ok());
  std::vector<uint8_t> want;
  for (uint32_t i = 0; i < 5000; ++i) {  // crosses the buffer several times
    ASSERT_TRUE(s->append_value(i).ok());
    const auto* p = reinterpret_cast<const uint8_t*>(&i);
    want.insert(want.end(), p, p + 4);
  }
  ASSERT_TRUE(s->finish().ok());
  EXPECT_FALSE(s->append_value(1).ok());
  ASSERT_TRUE(w->record_crc_from_disk("codes.bin").ok());
  EXPECT_EQ(tandrel_test::read_all(dir + "/codes.bin"), want);
  EXPECT_EQ(w->crcs().at("codes.bin"), storage::crc32(want));
  EXPECT_EQ(w->crcs().at("ids.bin"), storage::crc32(whole));

  storage::Manifest m;
  m.dim = 3;
  // The manifest's rename fails: everything before it is there, the manifest is not.
  {
    fileops::set_counting(true);
    fileops::ScopedFaults f(fileops::Fault{fileops::Op::Rename, 4, fileops::Action::Errno, EIO, 1});
    EXPECT_FALSE(w->finish(3, 7, m).ok());
  }
  EXPECT_TRUE(fs::exists(dir + "/crcs.bin"));
  EXPECT_TRUE(fs::exists(dir + "/format.bin"));
  EXPECT_EQ(storage::read_generation(dir), 7u);
  EXPECT_FALSE(fs::exists(dir + "/manifest.bin"));
  ASSERT_TRUE(w->finish(3, 7, m).ok());
  EXPECT_EQ(storage::read_file_crcs(dir + "/crcs.bin").value(), w->crcs());
  EXPECT_EQ(storage::read_format_version(dir).value(), 3u);
  EXPECT_TRUE(fs::exists(dir + "/manifest.bin"));
}

TEST(SegmentWriter, StreamReplacesAnExistingFileWithANewOne) {
  TempDir t;
  const std::string p = t.file("codes.bin");
  tandrel_test::write_all(p, std::vector<uint8_t>(100, 7));
  const int keep = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(keep, 0);
  struct stat before;
  ASSERT_EQ(::fstat(keep, &before), 0);
  auto w = storage::SegmentWriter::begin(t.path(), false);
  ASSERT_TRUE(w.ok());
  auto s = w->stream("codes.bin");
  ASSERT_TRUE(s.ok());
  ASSERT_TRUE(s->append_value(uint8_t{1}).ok());
  ASSERT_TRUE(s->finish().ok());
  struct stat after;
  ASSERT_EQ(::stat(p.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_size, 1);
  std::vector<uint8_t> old(100);
  ASSERT_EQ(::pread(keep, old.data(), 100, 0), 100);
  EXPECT_EQ(old, std::vector<uint8_t>(100, 7));
  ::close(keep);
}

TEST(SegmentWriter, ClearStaleRemovesEarlierSegmentControlFiles) {
  TempDir t;
  for (const char* f : {"wal.bin", "wal.corrupt.bin", "delta.bin", "deleted.bin", "manifest.bin", "codes.bin"})
    tandrel_test::write_all(t.file(f), {1});
  ASSERT_TRUE(storage::SegmentWriter::begin(t.path(), true).ok());
  for (const char* f : {"wal.bin", "wal.corrupt.bin", "delta.bin", "deleted.bin", "manifest.bin"})
    EXPECT_FALSE(fs::exists(t.file(f))) << f;
  EXPECT_TRUE(fs::exists(t.file("codes.bin")));
  // Without clear_stale nothing is removed.
  tandrel_test::write_all(t.file("wal.bin"), {1});
  ASSERT_TRUE(storage::SegmentWriter::begin(t.path(), false).ok());
  EXPECT_TRUE(fs::exists(t.file("wal.bin")));
  // A failing removal is reported.
  fileops::ScopedFaults f(fileops::Fault{fileops::Op::Unlink, 1, fileops::Action::Errno, EACCES, 1});
  auto r = storage::SegmentWriter::begin(t.path(), true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().os_code(), EACCES);
}

}  // namespace
