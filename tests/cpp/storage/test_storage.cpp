// Segment storage files: atomic replacement under injected faults, directory sync, CRC-32 of
// buffers and files, the framed control files and their corruption texts, generation, the
// id / id-hash / sparse encoders, the hashes, and typed memory maps with residency switches.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/mmap.hpp"
#include "support/pages.hpp"

using namespace ivf_rabitq;
using namespace ivf_rabitq::storage;
namespace fo = ivf_rabitq::fileops;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tandrel_storage_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    fo::disarm_all();
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  std::string path(std::string_view name) const { return join_path(dir, name); }
  void put(std::string_view name, const Bytes& b) const {
    std::ofstream f(path(name), std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  Bytes get(std::string_view name) const {
    auto r = read_file(path(name));
    EXPECT_TRUE(r.ok()) << name;
    return r.ok() ? *r : Bytes{};
  }
  bool exists(std::string_view name) const { return fs::exists(path(name)); }
  std::vector<std::string> listing() const {
    std::vector<std::string> out;
    for (auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

  std::string dir;
};

std::string em = "\xE2\x80\x94";

}  // namespace

// ---------------------------------------------------------------- CRC

TEST(Crc, GoldenValuesAndIncrementalUpdate) {
  EXPECT_EQ(crc32("abc", 3), 0x352441C2u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  Bytes zeros(8, 0);
  EXPECT_EQ(crc32(zeros), 0x6522DF69u);
  const uint8_t v3[4] = {3, 0, 0, 0};
  EXPECT_EQ(crc32(v3, 4), 0x33F170F2u);
  std::string s = "The quick brown fox jumps over the lazy dog";
  for (size_t cut = 0; cut <= s.size(); ++cut) {
    uint32_t c = crc32_update(crc32(s.data(), cut), s.data() + cut, s.size() - cut);
    ASSERT_EQ(c, crc32(s.data(), s.size())) << cut;
  }
  EXPECT_EQ(crc32(s.data(), s.size()), 0x414FA339u);
}

using CrcFile = TempDir;

TEST_F(CrcFile, FilesOfEverySizeMatchTheOneShotCrc) {
  std::mt19937_64 rng(7);
  Bytes big(3 * kCrcBufSize + 12345);
  for (auto& b : big) b = static_cast<uint8_t>(rng());
  put("empty", {});
  put("abc", bytes_of("abc"));
  put("big", big);
  put("exact", Bytes(big.begin(), big.begin() + kCrcBufSize));
  EXPECT_EQ(*crc32_file(path("empty")), 0u);
  EXPECT_EQ(*crc32_file(path("abc")), 0x352441C2u);
  EXPECT_EQ(*crc32_file(path("big")), crc32(big));
  // One buffer reused across files, as a verifier does.
  std::vector<uint8_t> buf(kCrcBufSize, 0xAB);
  EXPECT_EQ(*crc32_file_with_buffer(path("exact"), buf), crc32(big.data(), kCrcBufSize));
  EXPECT_EQ(*crc32_file_with_buffer(path("big"), buf), crc32(big));
  EXPECT_EQ(*crc32_file_with_buffer(path("abc"), buf), 0x352441C2u);
}

TEST_F(CrcFile, InterruptedReadsAreRetriedAndOtherErrorsKeepTheirKind) {
  Bytes big(2 * kCrcBufSize + 5, 0x5A);
  put("big", big);
  {
    fo::ScopedFaults g(fo::Fault{fo::Op::Read, 2, fo::Action::Errno, EINTR, 2});
    auto c = crc32_file(path("big"));
    ASSERT_TRUE(c.ok()) << c.error().text();
    EXPECT_EQ(*c, crc32(big));
  }
  {
    fo::ScopedFaults g(fo::Fault{fo::Op::Read, 1, fo::Action::ShortWrite, 0, 0});
    EXPECT_EQ(*crc32_file(path("big")), crc32(big));
  }
  {
    fo::ScopedFaults g(fo::Fault{fo::Op::Read, 2, fo::Action::Errno, EIO, 1});
    auto c = crc32_file(path("big"));
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().os_code(), EIO);
  }
  auto missing = crc32_file(path("nope"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::NotFound);
}

// ---------------------------------------------------------------- atomic replacement

TEST(WriteBytes, TemporaryPathReplacesTheExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"manifest.bin", "manifest.writing.tmp"},
      {"codes.bin", "codes.writing.tmp"},
      {"generation", "generation.writing.tmp"},
      {"/a/b/idx/generation", "/a/b/idx/generation.writing.tmp"},
      {"d/x.tar.gz", "d/x.tar.writing.tmp"},
      {"d/.hidden", "d/.hidden.writing.tmp"},
      {"d.v2/file", "d.v2/file.writing.tmp"},
      {"d/name.", "d/name.writing.tmp"},
  };
  for (auto [in, out] : cases) EXPECT_EQ(writing_tmp_path(in), out) << in;
}

using WriteBytesDir = TempDir;

TEST_F(WriteBytesDir, ReplacesContentLeavesNoTemporaryAndReusesALeftover) {
  const std::string gen = path("generation");
  ASSERT_TRUE(write_bytes(gen, bytes_of("12345678")).ok());
  EXPECT_EQ(get("generation"), bytes_of("12345678"));
  // A leftover temporary from an earlier crash, longer than the new content.
  put("generation.writing.tmp", Bytes(100, 'x'));
  ASSERT_TRUE(write_bytes(gen, std::string_view("abc")).ok());
  EXPECT_EQ(get("generation"), bytes_of("abc"));
  ASSERT_TRUE(write_bytes(gen, Bytes{}).ok());
  EXPECT_TRUE(get("generation").empty());
  EXPECT_EQ(listing(), std::vector<std::string>{"generation"});
}

TEST_F(WriteBytesDir, ReplacementWritesTheTemporaryFirst) {
  // A process killed just before the rename leaves the old target and a complete temporary
  // named after the target's stem.
  put("generation", bytes_of("old!old!"));
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    fo::arm({fo::Op::Rename, 1, fo::Action::Kill, 0, 1});
    (void)write_bytes(path("generation"), bytes_of("new!new!"));
    ::_exit(0);  // not reached: the rename kills the child
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(get("generation"), bytes_of("old!old!"));
  EXPECT_EQ(get("generation.writing.tmp"), bytes_of("new!new!"));
  // The next replacement reuses the leftover and removes it by renaming it.
  ASSERT_TRUE(write_bytes(path("generation"), bytes_of("newer")).ok());
  EXPECT_EQ(get("generation"), bytes_of("newer"));
  EXPECT_EQ(listing(), std::vector<std::string>{"generation"});
}

TEST_F(WriteBytesDir, EveryStepIsDurableInOrder) {
  // open-for-write, write, fsync(file), rename, fsync(dir): counted through the seam.
  fo::ScopedFaults g;
  fo::set_counting(true);
  ASSERT_TRUE(write_bytes(path("manifest.bin"), bytes_of("body")).ok());
  EXPECT_EQ(fo::calls(fo::Op::OpenWrite), 1u);
  EXPECT_EQ(fo::calls(fo::Op::Write), 1u);
  EXPECT_EQ(fo::calls(fo::Op::Fsync), 2u);
  EXPECT_EQ(fo::calls(fo::Op::Rename), 1u);
}

TEST_F(WriteBytesDir, FailedReplacementKeepsOldContentAndErrorKindAndRemovesTemporary) {
  struct Case {
    const char* what;
    std::vector<fo::Fault> faults;
    int err;
  };
  const Case cases[] = {
      {"open", {{fo::Op::OpenWrite, 1, fo::Action::Errno, EACCES, 1}}, EACCES},
      {"write EIO", {{fo::Op::Write, 1, fo::Action::Errno, EIO, 1}}, EIO},
      {"write ENOSPC after a short write",
       {{fo::Op::Write, 1, fo::Action::ShortWrite, 0, 1}, {fo::Op::Write, 2, fo::Action::Errno, ENOSPC, 1}},
       ENOSPC},
      {"fsync", {{fo::Op::Fsync, 1, fo::Action::Errno, EIO, 1}}, EIO},
      {"rename", {{fo::Op::Rename, 1, fo::Action::Errno, EIO, 1}}, EIO},
      {"rename ENOSPC", {{fo::Op::Rename, 1, fo::Action::Errno, ENOSPC, 1}}, ENOSPC},
  };
  const Bytes old_content = bytes_of("old content");
  Bytes new_content(200000, 'n');
  for (const Case& c : cases) {
    put("manifest.bin", old_content);
    {
      fo::ScopedFaults g;
      for (const auto& f : c.faults) fo::arm(f);
      Status s = write_bytes(path("manifest.bin"), new_content);
      ASSERT_FALSE(s.ok()) << c.what;
      EXPECT_EQ(s.error().os_code(), c.err) << c.what;
      EXPECT_EQ(s.error().kind(), kind_from_errno(c.err)) << c.what;
    }
    EXPECT_EQ(get("manifest.bin"), old_content) << c.what;
    EXPECT_EQ(listing(), std::vector<std::string>{"manifest.bin"}) << c.what;
  }
  // An interrupted fsync is retried: the replacement succeeds.
  {
    fo::ScopedFaults g(fo::Fault{fo::Op::Fsync, 1, fo::Action::Errno, EINTR, 2});
    ASSERT_TRUE(write_bytes(path("manifest.bin"), new_content).ok());
  }
  EXPECT_EQ(get("manifest.bin"), new_content);
}

TEST_F(WriteBytesDir, ZeroByteWriteIsTheWriteZeroError) {
  put("format.bin", bytes_of("old"));
  fo::ScopedFaults g(fo::Fault{fo::Op::Write, 1, fo::Action::ZeroWrite, 0, 1});
  Status s = write_bytes(path("format.bin"), bytes_of("new!"));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), ErrorKind::WriteZero);
  EXPECT_EQ(s.error().text(), "failed to write whole buffer");
  EXPECT_EQ(get("format.bin"), bytes_of("old"));
  EXPECT_EQ(listing(), std::vector<std::string>{"format.bin"});
}

TEST_F(WriteBytesDir, DirectorySyncFailureIsReportedAfterTheReplacement) {
  put("generation", bytes_of("old"));
  fo::ScopedFaults g(fo::Fault{fo::Op::Fsync, 2, fo::Action::Errno, EIO, 1});
  Status s = write_bytes(path("generation"), bytes_of("new"));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().os_code(), EIO);
  EXPECT_EQ(get("generation"), bytes_of("new"));
  EXPECT_EQ(listing(), std::vector<std::string>{"generation"});
}

TEST_F(WriteBytesDir, SyncParentDirOfBareNameSyncsTheWorkingDirectory) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.c_str()), 0);
  {
    fo::ScopedFaults g;
    fo::set_counting(true);
    EXPECT_TRUE(sync_parent_dir("manifest.bin").ok());
    EXPECT_EQ(fo::calls(fo::Op::Fsync), 1u);
    // The sync really happens: a failing directory fsync is reported.
    fo::arm({fo::Op::Fsync, 1, fo::Action::Errno, EIO, 1});
    Status s = sync_parent_dir("idx");
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().os_code(), EIO);
    // And so does a relative write_bytes: file fsync, then "." fsync.
    fo::disarm_all();
    fo::set_counting(true);
    EXPECT_TRUE(write_bytes("generation", bytes_of("x")).ok());
    EXPECT_EQ(fo::calls(fo::Op::Fsync), 2u);
  }
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(get("generation"), bytes_of("x"));
}

TEST_F(WriteBytesDir, SyncParentDirWithoutAnOpenableParentSucceedsWithoutSyncing) {
  fo::ScopedFaults g;
  fo::set_counting(true);
  for (const char* p : {"", "/", "/nonexistent_tandrel_dir/x"}) EXPECT_TRUE(sync_parent_dir(p).ok()) << p;
  EXPECT_EQ(fo::calls(fo::Op::Fsync), 0u);
  EXPECT_TRUE(sync_parent_dir(path("sub/")).ok());  // parent is dir itself
  EXPECT_TRUE(sync_parent_dir(path("file")).ok());
  EXPECT_EQ(fo::calls(fo::Op::Fsync), 2u);
}

TEST_F(WriteBytesDir, SyncParentDirReportsAParentItCannotOpen) {
  // A parent that exists but cannot be opened leaves the entry's durability unknown.
  const std::string file = path("plain");
  put("plain", bytes_of("x"));
  Status s = sync_parent_dir(file + "/child");  // the "parent" is a regular file
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().os_code(), ENOTDIR);

  // Out of descriptors: the open fails with EMFILE, and so must the sync.
  struct rlimit old_lim;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old_lim), 0);
  std::vector<int> held;
  struct rlimit lim = old_lim;
  lim.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
  Status t = sync_parent_dir(file);
  for (int fd : held) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old_lim), 0);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().os_code(), EMFILE);
}

// ---------------------------------------------------------------- framed control files

using Framed = TempDir;

TEST_F(Framed, GoldenBytes) {
  ASSERT_TRUE(write_format_version_as(dir, 3).ok());
  EXPECT_EQ(get("format.bin"), (Bytes{'T', 'D', 'F', 'V', 0xF2, 0x70, 0xF1, 0x33, 3, 0, 0, 0}));
  ASSERT_TRUE(write_file_crcs(path("crcs.bin"), {}).ok());
  EXPECT_EQ(get("crcs.bin"), (Bytes{'T', 'D', 'C', 'R', 0x69, 0xDF, 0x22, 0x65, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(Framed, RoundTripsAndUnorderedTables) {
  Manifest m;
  m.dim = 3;
  m.pad = 64;
  m.words_per_plane = 1;
  m.n_bits = 2;
  m.n_clusters = 1;
  m.centroids = {1.f, 2.f, 3.f};
  m.offsets = {0, 0};
  ASSERT_TRUE(write_manifest_bin(path("manifest.bin"), m).ok());
  auto body = read_manifest_bin(path("manifest.bin"));
  ASSERT_TRUE(body.ok());
  EXPECT_EQ(*body, encode_manifest(m));
  EXPECT_EQ(*decode_manifest(*body), m);

  FileCrcs t;
  for (int i = 0; i < 50; ++i) t["num_" + std::to_string(i) + ".bin"] = static_cast<uint32_t>(i * 2654435761u);
  ASSERT_TRUE(write_file_crcs(path("crcs.bin"), t).ok());
  EXPECT_EQ(*read_file_crcs(path("crcs.bin")), t);
  // The same table with another insertion order may encode differently; it reads back equal.
  FileCrcs t2;
  for (int i = 49; i >= 0; --i) t2["num_" + std::to_string(i) + ".bin"] = static_cast<uint32_t>(i * 2654435761u);
  ASSERT_TRUE(write_file_crcs(path("crcs2.bin"), t2).ok());
  EXPECT_EQ(*read_file_crcs(path("crcs2.bin")), t);

  for (uint32_t v : {0u, 1u, 2u, 3u}) {
    ASSERT_TRUE(write_format_version_as(dir, v).ok());
    EXPECT_EQ(*read_format_version(dir), v);
  }
  fs::remove(path("format.bin"));
  EXPECT_EQ(*read_format_version(dir), 1u);
  auto missing = read_manifest_bin(path("manifest_missing.bin"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::NotFound);
  EXPECT_TRUE(read_file_crcs(path("crcs_missing.bin"))->empty());
}

TEST_F(Framed, CorruptionFixturesGiveExactTextsAndKinds) {
  const std::string crcs_frame = "corrupt index: crcs.bin failed magic+CRC " + em +
                                 " refusing to open (would silently disable at-rest CRC verification); restore from "
                                 "backup or run repair";
  auto framed = [](std::string_view magic, const Bytes& body) { return frame_bytes(magic, body); };
  auto flip_crc = [](Bytes b) {
    b[4] ^= 1;
    return b;
  };
  // A table body whose one name is not UTF-8.
  Bytes bad_name = {1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 1, 2, 3, 4};
  std::string bad_name_msg = decode_file_crcs(bad_name).error().message();
  EXPECT_EQ(bad_name_msg, "invalid UTF-8 in text at byte 0");
  Bytes v4 = format_version_bytes(4);
  Bytes fmt13 = format_version_bytes(3);
  fmt13.push_back(0);

  enum Reader { kManifest, kCrcs, kFormat };
  struct Case {
    const char* what;
    Reader reader;
    Bytes file;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"manifest short", kManifest, bytes_of("TDMF"), "corrupt index: bad manifest header (missing magic)"},
      {"manifest empty", kManifest, {}, "corrupt index: bad manifest header (missing magic)"},
      {"manifest magic", kManifest, framed("TDMX", encode_manifest(Manifest{})),
       "corrupt index: bad manifest header (missing magic)"},
      {"manifest crc", kManifest, flip_crc(framed("TDMF", encode_manifest(Manifest{}))),
       "corrupt index: manifest.bin checksum mismatch"},
      {"crcs short", kCrcs, bytes_of("TDCR\x69\xDF\x22"), crcs_frame},
      {"crcs magic", kCrcs, framed("TDMF", encode_file_crcs({})), crcs_frame},
      {"crcs crc", kCrcs, flip_crc(framed("TDCR", encode_file_crcs({}))), crcs_frame},
      {"crcs undecodable", kCrcs, framed("TDCR", bad_name),
       "corrupt index: crcs.bin body undeserializable (" + bad_name_msg + ") " + em +
           " refusing to open (would silently disable at-rest CRC verification)"},
      {"crcs truncated body", kCrcs, framed("TDCR", Bytes{1, 0, 0, 0}),
       "corrupt index: crcs.bin body undeserializable (unexpected end of input: 8 bytes needed at offset 0, 4 left) " +
           em + " refusing to open (would silently disable at-rest CRC verification)"},
      {"format 13 bytes", kFormat, fmt13, "corrupt index: format.bin bad header (truncated/tampered version marker)"},
      {"format 11 bytes", kFormat, Bytes(fmt13.begin(), fmt13.begin() + 11),
       "corrupt index: format.bin bad header (truncated/tampered version marker)"},
      {"format magic", kFormat, bytes_of("TDFX\xF2\x70\xF1\x33\x03\x00\x00\x00"),
       "corrupt index: format.bin bad header (truncated/tampered version marker)"},
      {"format crc", kFormat, flip_crc(format_version_bytes(3)), "corrupt index: format.bin checksum mismatch"},
      {"format v4", kFormat, v4,
       "index at " + quoted_path(dir) +
           " was written by a newer Tandrel (on-disk format v4 > supported v3); upgrade Tandrel to open it"},
  };
  for (const Case& c : cases) {
    IoError err;
    bool failed = false;
    if (c.reader == kManifest) {
      put("manifest.bin", c.file);
      auto r = read_manifest_bin(path("manifest.bin"));
      failed = !r.ok();
      if (failed) err = r.error();
    } else if (c.reader == kCrcs) {
      put("crcs.bin", c.file);
      auto r = read_file_crcs(path("crcs.bin"));
      failed = !r.ok();
      if (failed) err = r.error();
    } else {
      put("format.bin", c.file);
      auto r = read_format_version(dir);
      failed = !r.ok();
      if (failed) err = r.error();
    }
    ASSERT_TRUE(failed) << c.what;
    EXPECT_EQ(err.kind(), ErrorKind::InvalidData) << c.what;
    EXPECT_EQ(err.text(), c.text) << c.what;
  }
  // The newer-format text names the directory in quoted form.
  EXPECT_EQ(quoted_path("/a/b \"c\"\\d\n"), "\"/a/b \\\"c\\\"\\\\d\\n\"");
  EXPECT_EQ(quoted_path("x\xFFy"), "\"x\\xFFy\"");
  EXPECT_EQ(quoted_path("caf\xC3\xA9"), "\"caf\xC3\xA9\"");
  // Non-printable characters show as \u{hex}: controls, C1 controls and invisible format marks.
  const std::pair<std::string, std::string> invisible[] = {
      {"a\x01\x7F\tb", "\"a\\u{1}\\u{7f}\\tb\""},
      {"a\xC2\x85" "b", "\"a\\u{85}b\""},
      {"\xC2\xAD\xE2\x80\x8B\xEF\xBB\xBF", "\"\\u{ad}\\u{200b}\\u{feff}\""},
      {"\xC2\xA0\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC2\xA0\xE2\x82\xAC\xF0\x9F\x98\x80\""},
  };
  for (const auto& [in, out] : invisible) EXPECT_EQ(quoted_path(in), out) << out;
}

TEST_F(Framed, EightByteManifestPassesFramingThenFailsToDecode) {
  put("manifest.bin", frame_bytes("TDMF", {}));
  ASSERT_EQ(get("manifest.bin").size(), 8u);
  auto body = read_manifest_bin(path("manifest.bin"));
  ASSERT_TRUE(body.ok());
  EXPECT_TRUE(body->empty());
  auto m = decode_manifest(*body);
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().kind(), ErrorKind::InvalidData);
  EXPECT_EQ(m.error().text().rfind("unexpected end of input", 0), 0u) << m.error().text();
}

TEST_F(Framed, ReadFailuresOtherThanMissingKeepTheirKind) {
  fs::create_directory(path("crcs.bin"));
  fs::create_directory(path("format.bin"));
  auto c = read_file_crcs(path("crcs.bin"));
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().kind(), ErrorKind::IsADirectory);
  auto f = read_format_version(dir);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().kind(), ErrorKind::IsADirectory);
  put("manifest.bin", frame_bytes("TDMF", {}));
  fo::ScopedFaults g(fo::Fault{fo::Op::Read, 1, fo::Action::Errno, EIO, 1});
  auto m = read_manifest_bin(path("manifest.bin"));
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().os_code(), EIO);
}

TEST_F(Framed, Generation) {
  EXPECT_EQ(read_generation(dir), 0u);
  EXPECT_EQ(*read_generation_for_write(dir), 0u);
  ASSERT_TRUE(write_generation(dir, 0x0102030405060708ull).ok());
  EXPECT_EQ(get("generation"), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
  EXPECT_EQ(read_generation(dir), 0x0102030405060708ull);
  put("generation", Bytes(7, 0xFF));
  EXPECT_EQ(read_generation(dir), 0u);
  EXPECT_EQ(*read_generation_for_write(dir), 0u);
  put("generation", Bytes{5, 0, 0, 0, 0, 0, 0, 0, 9});
  EXPECT_EQ(read_generation(dir), 5u);
  EXPECT_EQ(*read_generation_for_write(dir), 5u);
  {
    // A transient read error: comparing readers see 0, a writer gets the error instead of
    // resetting the counter.
    fo::ScopedFaults g(fo::Fault{fo::Op::Read, 1, fo::Action::Errno, EIO, 0});
    EXPECT_EQ(read_generation(dir), 0u);
    auto w = read_generation_for_write(dir);
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().os_code(), EIO);
  }
  {
    // Interrupted and short reads still give all 8 bytes.
    fo::ScopedFaults g(fo::Fault{fo::Op::Read, 1, fo::Action::Errno, EINTR, 1});
    fo::arm({fo::Op::Read, 3, fo::Action::ShortWrite, 0, 2});
    EXPECT_EQ(*read_generation_for_write(dir), 5u);
  }
  fs::remove(path("generation"));
  fs::create_directory(path("generation"));
  EXPECT_EQ(read_generation(dir), 0u);
  auto w = read_generation_for_write(dir);
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().kind(), ErrorKind::IsADirectory);
}

TEST_F(Framed, FailedWriteKeepsThePreviousFile) {
  ASSERT_TRUE(write_format_version_as(dir, 2).ok());
  {
    fo::ScopedFaults g(fo::Fault{fo::Op::Rename, 1, fo::Action::Errno, ENOSPC, 1});
    Status s = write_format_version_as(dir, 3);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::StorageFull);
  }
  EXPECT_EQ(*read_format_version(dir), 2u);
  EXPECT_EQ(listing(), std::vector<std::string>{"format.bin"});
}

// ---------------------------------------------------------------- data-file encoders

TEST(DataFiles, EncodeIds) {
  auto e0 = encode_ids({});
  EXPECT_TRUE(e0.bytes.empty());
  EXPECT_EQ(e0.offsets, std::vector<uint64_t>{0});
  EXPECT_EQ(encode_offsets(e0.offsets), Bytes(8, 0));
  std::vector<std::string> ids = {"a", "bc"};
  auto e = encode_ids(ids);
  EXPECT_EQ(e.bytes, bytes_of("abc"));
  EXPECT_EQ(e.offsets, (std::vector<uint64_t>{0, 1, 3}));
  EXPECT_EQ(encode_offsets(e.offsets), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(DataFiles, HashConstants) {
  EXPECT_EQ(fnv1a64(""), 0xcbf29ce484222325ull);
  EXPECT_EQ(fnv1a64("a"), 0xaf63dc4c8601ec8cull);
  EXPECT_EQ(fnv1a64("foobar"), 0x85944171f73967e8ull);
  EXPECT_EQ(IntHasher::hash(0), 0u);
  EXPECT_EQ(IntHasher::hash(1), 0xdc9c882a5545f306ull);
  EXPECT_EQ(IntHasher::hash(7), 0x0847b9284ce9a530ull);
  EXPECT_EQ(IntHasher::hash(0xFFFFFFFFu), 0x776377d5af569523ull);
  EXPECT_EQ(IntHasher{}(1), static_cast<size_t>(0xdc9c882a5545f306ull));
}

TEST(DataFiles, IdHashRecordsAreSortedAndDuplicatesFlagged) {
  struct Case {
    std::vector<std::string> ids;
    bool dup;
  };
  const Case cases[] = {
      {{}, false},
      {{"a", "b"}, false},
      {{"same", "same"}, true},
      {{"x", "y", "x"}, true},
      {{"q", "q", "q", "r"}, true},
      {{"", "0", "00", "000"}, false},
  };
  for (const Case& c : cases) {
    auto e = encode_idhash_checked(c.ids);
    EXPECT_EQ(e.has_duplicate, c.dup) << c.ids.size();
    ASSERT_EQ(e.bytes.size(), c.ids.size() * 12);
    std::vector<bool> seen(c.ids.size());
    for (size_t i = 0; i < c.ids.size(); ++i) {
      uint64_t h = load_u64(e.bytes.data() + 12 * i);
      uint32_t slot = load_u32(e.bytes.data() + 12 * i + 8);
      ASSERT_LT(slot, c.ids.size());
      EXPECT_EQ(h, fnv1a64(c.ids[slot]));
      EXPECT_FALSE(seen[slot]);
      seen[slot] = true;
      if (i > 0) {
        EXPECT_LE(load_u64(e.bytes.data() + 12 * (i - 1)), h);
      }
    }
  }
  // Many distinct ids: no duplicate; one repeated far apart: flagged.
  std::vector<std::string> many;
  for (int i = 0; i < 20000; ++i) many.push_back("id-" + std::to_string(i));
  EXPECT_FALSE(encode_idhash_checked(many).has_duplicate);
  many.push_back("id-123");
  EXPECT_TRUE(encode_idhash_checked(many).has_duplicate);
}

TEST(DataFiles, SparseGolden) {
  std::unordered_map<uint32_t, SparsePairs> m = {{7, {{3, 0.5f}}}, {2, {{1, 1.0f}, {0, 2.0f}}}};
  Bytes expect = {2, 0, 0, 0, 0, 0, 0, 0,                                  // T
                  2, 0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0,          // (2,2) (7,1)
                  1, 0, 0, 0, 0x00, 0x00, 0x80, 0x3F, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x40,  // (1,1.0) (0,2.0)
                  3, 0, 0, 0, 0x00, 0x00, 0x00, 0x3F};                     // (3,0.5)
  EXPECT_EQ(encode_sparse(m), expect);
  EXPECT_EQ(expect.size(), 48u);
  std::unordered_map<uint32_t, SparsePairs, IntHasher> hm(m.begin(), m.end());
  EXPECT_EQ(encode_sparse(hm), expect);
  std::map<uint32_t, SparsePairs> om(m.begin(), m.end());
  EXPECT_EQ(encode_sparse(om), expect);
  EXPECT_EQ(encode_sparse(std::unordered_map<uint32_t, SparsePairs>{}), Bytes(8, 0));
}

// ---------------------------------------------------------------- typed maps

// The on/off rule stated at residency_value_on (storage/mmap.hpp), value by value.
TEST(Residency, ValueTable) {
  const std::pair<std::optional<std::string_view>, bool> cases[] = {
      {std::nullopt, false}, {"", false},    {"  ", false},   {"0", false},     {" Off ", false},
      {"OFF", false},        {"no", false},  {"No", false},   {"FALSE", false}, {"\tfalse\n", false},
      {"offf", true},        {"yes", true},  {"1", true},     {"true", true},   {"on", true},
      {"2", true},           {"00", true},   {"n o", true},   {"\xFF", false},  {" 0 ", false},
      // Whitespace is Unicode whitespace: no-break, ideographic and next-line spaces trim too;
      // a zero-width space is not whitespace.
      {"\xC2\xA0off\xE3\x80\x80", false}, {"\xC2\xA0", false}, {"\xC2\x85no\xE2\x80\xA8", false},
      {"\xE2\x80\x8Boff", true},          {"off\xE2\x80\x8B", true}, {"\xF0\x9F\x98\x80", true},
  };
  for (auto [v, on] : cases) EXPECT_EQ(residency_value_on(v), on) << (v ? std::string(*v) : "<unset>");
}

TEST(Residency, FlagLatchesOnFirstUse) {
  const char* name = "TANDREL_TEST_RESIDENCY_SWITCH";
  std::atomic<uint8_t> sw{0};
  ::setenv(name, " Off ", 1);
  EXPECT_FALSE(residency_flag(name, sw));
  EXPECT_EQ(sw.load(), 1);
  ::setenv(name, "yes", 1);
  EXPECT_FALSE(residency_flag(name, sw));  // latched
  sw = 0;
  EXPECT_TRUE(residency_flag(name, sw));
  EXPECT_EQ(sw.load(), 2);
  ::unsetenv(name);
  EXPECT_TRUE(residency_flag(name, sw));
  sw = 0;
  EXPECT_FALSE(residency_flag(name, sw));
}

using Mmap = TempDir;

namespace {

// Locked memory of this process in kB, from /proc/self/status.
long locked_kb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmLck:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

}  // namespace

using tandrel_test::present_pages;

TEST_F(Mmap, PlainMapsAreMadeHotAndReleasedOnRequest) {
  // 16 pages of distinct words; a plain map faults nothing in until it is read.
  std::vector<uint64_t> words(16 * 4096 / 8);
  for (size_t i = 0; i < words.size(); ++i) words[i] = i * 0x9E3779B97F4A7C15ull;
  Bytes raw(words.size() * 8);
  std::memcpy(raw.data(), words.data(), raw.size());
  put("codes.bin", raw);
  PREWARM = 0;
  MLOCK = 0;
  auto m = TypedMmap<uint64_t>::open_with(path("codes.bin"), Residency::Plain);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(PREWARM.load(), 0);
  EXPECT_EQ(present_pages(m->bytes()), 0u);
  m->make_hot(HotPolicy{true, false});
  EXPECT_EQ(present_pages(m->bytes()), 16u);
  // Elements 600 .. 1199 lie on pages 1 and 2 (512 words a page): those two go, whole.
  m->release(600, 600);
  EXPECT_EQ(present_pages(m->bytes()), 14u);
  // A released page reads the file's bytes again (the fault may map its neighbours too).
  EXPECT_EQ((*m)[700], words[700]);
  EXPECT_GE(present_pages(m->bytes()), 15u);
  m->release_all();
  EXPECT_EQ(present_pages(m->bytes()), 0u);
  EXPECT_EQ(std::vector<uint64_t>(m->view().begin(), m->view().end()), words);
  // A locked mapping is unlocked as it is released.
  const long before = locked_kb();
  m->make_hot(HotPolicy{false, true});
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // the sanitizers turn mlock into a no-op
  EXPECT_EQ(locked_kb(), before + 64);
  EXPECT_EQ(present_pages(m->bytes()), 16u);
#endif
  m->release_all();
  EXPECT_EQ(locked_kb(), before);
  EXPECT_EQ(present_pages(m->bytes()), 0u);
  // Out-of-range and empty requests do nothing.
  m->release(words.size(), 10);
  m->release(0, 0);
}

TEST_F(Mmap, EmptyFilesMapToEmptyViewsInEveryMode) {
  put("codes.bin", {});
  for (uint8_t mode : {0, 1, 2}) {
    auto m = TypedMmap<uint64_t>::open_with(path("codes.bin"), mode);
    ASSERT_TRUE(m.ok()) << int(mode);
    EXPECT_EQ(m->len(), 0u);
    EXPECT_TRUE(m->view().empty());
    EXPECT_TRUE(m->bytes().empty());
  }
}

TEST_F(Mmap, FirstHotMapLatchesBothSwitchesEvenWhenEmpty) {
  // A segment of 0 rows has empty hot files; mapping them still decides both switches from
  // the environment, and an unset TANDREL_MLOCK locks nothing.
  put("codes.bin", {});
  put("metas.bin", Bytes(8192, 1));
  PREWARM = 0;
  MLOCK = 0;
  ::unsetenv("TANDREL_PREWARM");
  ::setenv("TANDREL_MLOCK", "\xC2\xA0on ", 1);
  {
    auto hot = TypedMmap<uint64_t>::open_with(path("codes.bin"), Residency::Hot);
    ASSERT_TRUE(hot.ok());
    EXPECT_TRUE(hot->empty());
    EXPECT_EQ(PREWARM.load(), 1);
    EXPECT_EQ(MLOCK.load(), 2);
  }
  ::unsetenv("TANDREL_MLOCK");
  MLOCK = 0;
  const long before = locked_kb();
  {
    auto hot = TypedMmap<float>::open_with(path("metas.bin"), Residency::Hot);
    ASSERT_TRUE(hot.ok());
    EXPECT_EQ(MLOCK.load(), 1);
    EXPECT_EQ(locked_kb(), before);
  }
  PREWARM = 0;
  MLOCK = 0;
}

TEST_F(Mmap, TypedViewsAndOwnership) {
  std::vector<uint64_t> words = {1, 0xFFFFFFFFFFFFFFFFull, 42};
  Bytes raw(words.size() * 8);
  std::memcpy(raw.data(), words.data(), raw.size());
  put("codes.bin", raw);
  auto m = TypedMmap<uint64_t>::open_with(path("codes.bin"), Residency::Random);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(std::vector<uint64_t>(m->view().begin(), m->view().end()), words);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(m->view().data()) % 4096, 0u);
  auto f = TypedMmap<float>::open_with(path("codes.bin"), Residency::Plain);
  EXPECT_EQ(f->len(), 6u);
  // Moving keeps the mapping alive; the file can go away meanwhile.
  TypedMmap<uint64_t> moved = std::move(*m);
  fs::remove(path("codes.bin"));
  EXPECT_EQ(moved[2], 42u);
  auto missing = TypedMmap<uint8_t>::open_with(path("orig.bin"), Residency::Random);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::NotFound);
}

TEST_F(Mmap, HotFilesFollowTheSwitches) {
  Bytes raw(64 * 1024, 7);
  put("metas.bin", raw);
  // Environment decides on first use by a hot map, then latches.
  PREWARM = 0;
  MLOCK = 0;
  ::setenv("TANDREL_PREWARM", "yes", 1);
  ::setenv("TANDREL_MLOCK", " off", 1);
  {
    auto plain = TypedMmap<float>::open_with(path("metas.bin"), Residency::Plain);
    ASSERT_TRUE(plain.ok());
    EXPECT_EQ(PREWARM.load(), 0);  // only hot maps read the switches
    auto hot = TypedMmap<float>::open_with(path("metas.bin"), Residency::Hot);
    ASSERT_TRUE(hot.ok());
    EXPECT_EQ(PREWARM.load(), 2);
    EXPECT_EQ(MLOCK.load(), 1);
  }
  ::unsetenv("TANDREL_PREWARM");
  ::unsetenv("TANDREL_MLOCK");

  struct rlimit rl;
  ASSERT_EQ(::getrlimit(RLIMIT_MEMLOCK, &rl), 0);
  long before = locked_kb();
  set_residency(true, false);
  {
    auto hot = TypedMmap<float>::open_with(path("metas.bin"), Residency::Hot);
    ASSERT_TRUE(hot.ok());
    EXPECT_EQ(locked_kb(), before);  // nothing locked
  }
  set_residency(false, true);
  {
    auto hot = TypedMmap<float>::open_with(path("metas.bin"), Residency::Hot);
    ASSERT_TRUE(hot.ok());  // a failed lock (low limit) is silent
#ifndef __SANITIZE_ADDRESS__  // the address sanitizer turns mlock into a no-op
    if (rl.rlim_cur == RLIM_INFINITY || rl.rlim_cur >= 2 * raw.size()) {
      EXPECT_EQ(locked_kb(), before + 64);
    }
#endif
  }
  EXPECT_EQ(locked_kb(), before);  // unmapping releases the lock
  PREWARM = 0;
  MLOCK = 0;
}
