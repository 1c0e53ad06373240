// Edge cases of the open: files that are not regular files (FIFOs, devices, directories)
// in place of every file of a segment, which error wins when two files are damaged, and
// edge cases of the open, verification, id resolution and the filter cache that the other
// suites leave out.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq/storage/mmap.hpp"
#include "ivf_rabitq/storage/tombstones.hpp"
#include "ivf_rabitq/segment/verify.hpp"
#include "support/segment_fixture.hpp"

using namespace ivf_rabitq;
using index::IvfIndex;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;

namespace {

// A hang (a FIFO opened for reading, an endless read) kills the test instead of CI.
class HangGuard {
 public:
  explicit HangGuard(unsigned seconds) { ::alarm(seconds); }
  ~HangGuard() { ::alarm(0); }
};

// Ten main rows with a numeric and a string column, metadata texts, sparse postings, a
// checkpointed delta of two rows and tombstones on slots 1 and 11.
SegmentSpec full_spec() {
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(10);
  for (int i = 0; i < 10; ++i)
    s.metas.push_back("{\"n\":" + std::to_string(i) + ",\"s\":\"v" + std::to_string(i % 3) + "\"}");
  s.sparse.resize(10);
  for (uint32_t i = 0; i < 10; ++i) s.sparse[i] = {{i % 3, 0.5f}, {7, 1.0f}};
  s.delta = tandrel_test::make_delta(s, {"d0", "d1"}, {"{\"n\":1}", "{\"s\":\"v1\"}"});
  s.tombstones = std::vector<uint32_t>{1, 11};
  return s;
}

void copy_dir(const std::string& from, const TempDir& to) {
  for (const auto& e : std::filesystem::directory_iterator(from))
    std::filesystem::copy_file(e.path(), to.file(e.path().filename().string()));
}

struct Opened {
  Result<std::shared_ptr<IvfIndex>> r;
  std::string err;
};
Opened open_capture(const std::string& dir) {
  testing::internal::CaptureStderr();
  auto r = IvfIndex::open_with_skip(dir, std::nullopt);
  std::string err = testing::internal::GetCapturedStderr();
  return {std::move(r), std::move(err)};
}

void edit_manifest(const std::string& dir, const std::function<void(storage::Manifest&)>& edit) {
  auto body = storage::read_manifest_bin(dir + "/manifest.bin");
  ASSERT_TRUE(body.ok());
  auto m = storage::decode_manifest(*body);
  ASSERT_TRUE(m.ok());
  edit(*m);
  ASSERT_TRUE(storage::write_manifest_bin(dir + "/manifest.bin", *m).ok());
}

std::string os_text(int e) { return IoError::os(e).text(); }

enum class Kind { Directory, Fifo, DevNull };
const char* kind_name(Kind k) { return k == Kind::Directory ? "directory" : k == Kind::Fifo ? "fifo" : "/dev/null"; }

void replace_with(const std::string& path, Kind k) {
  std::filesystem::remove(path);
  switch (k) {
    case Kind::Directory: std::filesystem::create_directory(path); break;
    case Kind::Fifo: ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); break;
    case Kind::DevNull: ASSERT_EQ(::symlink("/dev/null", path.c_str()), 0); break;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Files that are not regular files
// ---------------------------------------------------------------------------------------

TEST(StorageEdges, NonRegularFilesAreRefusedWithoutBlocking) {
  HangGuard guard(30);
  for (Kind k : {Kind::Directory, Kind::Fifo, Kind::DevNull}) {
    SCOPED_TRACE(kind_name(k));
    TempDir d;
    const std::string path = d.file("x.bin");
    replace_with(path, k);
    const ErrorKind want_kind = k == Kind::Directory ? ErrorKind::IsADirectory : ErrorKind::Other;
    const std::string want_text = k == Kind::Directory ? os_text(EISDIR) : "not a regular file";
    auto check = [&](const IoError& e) {
      EXPECT_EQ(e.kind(), want_kind);
      EXPECT_EQ(e.text(), want_text);
    };
    for (auto mode : {storage::Residency::Plain, storage::Residency::Random, storage::Residency::Hot}) {
      auto m = storage::TypedMmap<uint64_t>::open_with(path, mode);
      ASSERT_FALSE(m.ok());
      check(m.error());
    }
    auto r = storage::read_file(path);
    ASSERT_FALSE(r.ok());
    check(r.error());
    auto c = storage::crc32_file(path);
    ASSERT_FALSE(c.ok());
    check(c.error());
  }
  // Regular files still map and read, empty ones included.
  TempDir d;
  tandrel_test::write_all(d.file("e.bin"), {});
  tandrel_test::write_all(d.file("f.bin"), {1, 2, 3, 4, 5, 6, 7, 8});
  auto e = storage::TypedMmap<uint64_t>::open_with(d.file("e.bin"), storage::Residency::Hot);
  ASSERT_TRUE(e.ok());
  EXPECT_TRUE(e->empty());
  auto f = storage::TypedMmap<uint64_t>::open_with(d.file("f.bin"), storage::Residency::Plain);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f->len(), 1u);
  EXPECT_EQ(storage::read_file(d.file("f.bin")).value(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(storage::crc32_file(d.file("e.bin")).value(), 0u);
}

TEST(OpenEdges, FileTypeMatrix) {
  // Every file of a segment replaced by a directory, a FIFO or a link to /dev/null: files
  // the open needs refuse it with the file-type error, optional accelerators are absent.
  HangGuard guard(120);
  TempDir base;
  tandrel_test::write_segment(base.path(), full_spec());
  const std::string structure = "corrupt index: manifest structure inconsistent (offsets/centroids/ids)";
  const std::vector<std::string> refusing = {"format.bin", "manifest.bin", "crcs.bin",  "codes.bin",
                                             "metas.bin",  "orig.bin",     "origscale.bin", "num_0.bin",
                                             "str_0.bin",  "deleted.bin",  "delta.bin"};
  const std::vector<std::string> optional = {"idhash.bin", "meta.bin", "meta_off.bin", "sparse.bin"};
  std::vector<std::string> all = refusing;
  all.insert(all.end(), optional.begin(), optional.end());
  all.insert(all.end(), {"ids.bin", "ids_off.bin", "wal.bin"});
  for (const std::string& f : all) {
    for (Kind k : {Kind::Directory, Kind::Fifo, Kind::DevNull}) {
      SCOPED_TRACE(f + " as " + kind_name(k));
      TempDir d;
      copy_dir(base.path(), d);
      replace_with(d.file(f), k);
      const std::string q = storage::quoted_path(d.path());
      const ErrorKind type_kind = k == Kind::Directory ? ErrorKind::IsADirectory : ErrorKind::Other;
      const std::string type_text = k == Kind::Directory ? os_text(EISDIR) : "not a regular file";
      auto [r, err] = open_capture(d.path());
      EXPECT_EQ(err, "");
      if (std::find(optional.begin(), optional.end(), f) != optional.end()) {
        ASSERT_TRUE(r.ok()) << r.error().text();
        const IvfIndex& ix = **r;
        if (f == "idhash.bin") {
          EXPECT_FALSE(ix.idhash_bin);
          EXPECT_EQ(ix.slot_of("id4"), 4u);
        }
        if (f == "meta.bin" || f == "meta_off.bin") {
          EXPECT_FALSE(ix.meta_bin || ix.meta_off_bin);
        }
        if (f == "sparse.bin") {
          EXPECT_FALSE(ix.sparse_bin);
        }
        continue;
      }
      ASSERT_FALSE(r.ok());
      if (f == "ids.bin" || f == "ids_off.bin") {
        EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
        EXPECT_EQ(r.error().text(), structure);
      } else if (f == "wal.bin") {
        EXPECT_EQ(r.error().kind(), type_kind);
        EXPECT_EQ(r.error().text(), "corrupt index: wal.bin at " + q + " exists but is unreadable (" + type_text +
                                        "); refusing to open as an empty WAL (un-checkpointed writes would be lost)");
      } else {
        EXPECT_EQ(r.error().kind(), type_kind);
        EXPECT_EQ(r.error().text(), type_text);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------
// Which error wins
// ---------------------------------------------------------------------------------------

namespace {

void flip_last(const TempDir& d, const std::string& f) {
  auto b = tandrel_test::read_all(d.file(f));
  b.back() ^= 0x80;
  tandrel_test::write_all(d.file(f), b);
}
void grow(const TempDir& d, const std::string& f) {
  auto b = tandrel_test::read_all(d.file(f));
  b.push_back(0);
  tandrel_test::write_all(d.file(f), b);
}
void flip_first(const TempDir& d, const std::string& f) {
  auto b = tandrel_test::read_all(d.file(f));
  b[0] ^= 0x20;
  tandrel_test::write_all(d.file(f), b);
}
void set_u64(const TempDir& d, const std::string& f, size_t at, uint64_t v) {
  auto b = tandrel_test::read_all(d.file(f));
  storage::store_u64(b.data() + at, v);
  tandrel_test::write_all(d.file(f), b);
}
void remove_file(const TempDir& d, const std::string& f) { std::filesystem::remove(d.file(f)); }

std::string crc_mismatch_text(const TempDir& d, const std::string& f, uint32_t want) {
  auto b = tandrel_test::read_all(d.file(f));
  char buf[96];
  std::snprintf(buf, sizeof buf, "content CRC mismatch (got %08x, want %08x)", storage::crc32(b.data(), b.size()), want);
  return "corrupt index: " + f + " " + buf + " \u2014 at-rest bit-rot; refusing to serve wrong results";
}

}  // namespace

TEST(OpenEdges, FirstFailingStepWins) {
  TempDir base;
  SegmentSpec spec = full_spec();
  spec.idhash = false;  // so the id map is built from ids.bin (step 15 can fail)
  tandrel_test::write_segment(base.path(), spec);
  const auto crcs = *storage::read_file_crcs(base.file("crcs.bin"));
  const std::string structure = "corrupt index: manifest structure inconsistent (offsets/centroids/ids)";
  const std::string deleted_frame =
      "corrupt index: deleted.bin failed magic+CRC (tombstone data corrupted) \u2014 refusing to open to avoid "
      "resurrecting deleted/superseded rows; restore from backup or run repair";
  const std::string does_not_recreate =
      "corrupt index: deleted.bin tombstones rows the WAL replay does not recreate (stale/foreign tombstones, or a "
      "WAL damaged during a checkpoint) \u2014 refusing to open";
  struct Case {
    const char* what;
    std::function<void(const TempDir&)> damage;
    std::function<std::string(const TempDir&)> error;  // "" = opens
    std::string warning = "";                         // with "{q}" for the quoted directory
  };
  const std::vector<Case> cases = {
      {"format.bin beats a missing manifest.bin",
       [](const TempDir& d) { flip_first(d, "format.bin"); remove_file(d, "manifest.bin"); },
       [](const TempDir&) { return std::string("corrupt index: format.bin bad header (truncated/tampered version marker)"); }},
      {"manifest.bin beats a missing codes.bin",
       [](const TempDir& d) { flip_last(d, "manifest.bin"); remove_file(d, "codes.bin"); },
       [](const TempDir&) { return std::string("corrupt index: manifest.bin checksum mismatch"); }},
      {"all core files are mapped before any length is checked",
       [](const TempDir& d) { grow(d, "codes.bin"); remove_file(d, "orig.bin"); },
       [](const TempDir&) { return os_text(ENOENT); }},
      {"core lengths in order codes, metas, orig",
       [](const TempDir& d) { grow(d, "orig.bin"); grow(d, "metas.bin"); },
       [](const TempDir&) { return std::string("corrupt index: metas.bin is 161 bytes, expected 160"); }},
      {"orig.bin length beats origscale.bin",
       [](const TempDir& d) { grow(d, "orig.bin"); grow(d, "origscale.bin"); },
       [](const TempDir&) { return std::string("corrupt index: orig.bin is 81 bytes, expected 80"); }},
      {"origscale.bin beats the id offsets",
       [](const TempDir& d) { grow(d, "origscale.bin"); set_u64(d, "ids_off.bin", 0, 1); },
       [](const TempDir&) { return std::string("corrupt index: origscale.bin is 81 bytes, expected 80"); }},
      {"id offsets beat the manifest structure",
       [](const TempDir& d) {
         set_u64(d, "ids_off.bin", 0, 1);
         edit_manifest(d.path(), [](auto& m) { m.offsets.back() = 9; });
       },
       [](const TempDir&) { return std::string("corrupt index: ids_off.bin offsets inconsistent"); }},
      {"manifest structure beats a missing column file",
       [](const TempDir& d) {
         edit_manifest(d.path(), [](auto& m) { m.offsets.back() = 9; });
         remove_file(d, "num_0.bin");
       },
       [](const TempDir&) { return std::string("corrupt index: manifest structure inconsistent (offsets/centroids/ids)"); }},
      {"column files beat deleted.bin",
       [](const TempDir& d) { grow(d, "str_0.bin"); flip_first(d, "deleted.bin"); },
       [](const TempDir&) { return std::string("corrupt index: str_0.bin is 41 bytes, expected 40"); }},
      {"deleted.bin beats delta.bin",
       [](const TempDir& d) { flip_first(d, "delta.bin"); flip_first(d, "deleted.bin"); },
       [&](const TempDir&) { return deleted_frame; }},
      {"delta structure beats id offsets out of range",
       [](const TempDir& d) {
         auto body = tandrel_test::read_all(d.file("delta.bin"));
         auto delta = storage::decode_delta(std::span<const uint8_t>(body).subspan(8));
         ASSERT_TRUE(delta.ok());
         delta->clusters[0] = 7;
         ASSERT_TRUE(storage::write_framed(d.file("delta.bin"), storage::kDeltaMagic, storage::encode_delta(*delta)).ok());
         set_u64(d, "ids_off.bin", 8 * 3, 1000);
       },
       [](const TempDir&) {
         return std::string(
             "corrupt index: delta.bin is structurally inconsistent with the manifest (stale/foreign delta) \u2014 "
             "refusing to open");
       }},
      {"id offsets out of range beat crcs.bin and the checksums",
       [](const TempDir& d) { set_u64(d, "ids_off.bin", 8 * 3, 1000); flip_first(d, "crcs.bin"); },
       [](const TempDir&) {
         return std::string("corrupt index: ids_off.bin offsets are out of range \u2014 refusing to open");
       }},
      {"warnings are printed in order idhash, meta_off, sparse before a later failure",
       [](const TempDir& d) {
         tandrel_test::write_all(d.file("idhash.bin"), std::vector<uint8_t>(12, 0));
         set_u64(d, "meta_off.bin", 0, 1);
         grow(d, "sparse.bin");
         flip_first(d, "crcs.bin");
       },
       [](const TempDir&) {
         return std::string(
             "corrupt index: crcs.bin failed magic+CRC \u2014 refusing to open (would silently disable at-rest CRC "
             "verification); restore from backup or run repair");
       },
       "Tandrel: idhash.bin at {q} wrong length \u2014 rebuilding id map from ids\n"
       "Tandrel: meta_off.bin at {q} has inconsistent offsets \u2014 reconstructing metadata from columns\n"
       "Tandrel: sparse.bin at {q} is malformed \u2014 ignoring (sparse search degraded)\n"},
      {"crcs.bin beats a log that cannot be read",
       [](const TempDir& d) { flip_first(d, "crcs.bin"); std::filesystem::create_directory(d.file("wal.bin")); },
       [](const TempDir&) {
         return std::string(
             "corrupt index: crcs.bin failed magic+CRC \u2014 refusing to open (would silently disable at-rest CRC "
             "verification); restore from backup or run repair");
       }},
      {"an unreadable log beats the tombstone checks and the checksums",
       [](const TempDir& d) {
         std::filesystem::create_directory(d.file("wal.bin"));
         ASSERT_TRUE(storage::write_framed(d.file("deleted.bin"), storage::kDeletedMagic,
                                           storage::Tombstones::from_slots(std::vector<uint32_t>{40}).serialize())
                         .ok());
         flip_last(d, "codes.bin");
       },
       [](const TempDir& d) {
         return "corrupt index: wal.bin at " + storage::quoted_path(d.path()) + " exists but is unreadable (" +
                os_text(EISDIR) + "); refusing to open as an empty WAL (un-checkpointed writes would be lost)";
       }},
      {"the tombstone reconciliation beats the checksums",
       [](const TempDir& d) {
         ASSERT_TRUE(storage::write_framed(d.file("deleted.bin"), storage::kDeletedMagic,
                                           storage::Tombstones::from_slots(std::vector<uint32_t>{40}).serialize())
                         .ok());
         flip_last(d, "codes.bin");
       },
       [&](const TempDir&) { return does_not_recreate; }},
      {"checksums are verified last",
       [](const TempDir& d) {
         tandrel_test::write_all(d.file("wal.bin"), {});
         flip_last(d, "codes.bin");
         flip_last(d, "str_0.bin");
       },
       [&](const TempDir& d) { return crc_mismatch_text(d, "codes.bin", crcs.at("codes.bin")); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir d;
    copy_dir(base.path(), d);
    c.damage(d);
    auto [r, err] = open_capture(d.path());
    std::string want_warning = c.warning;
    const std::string q = storage::quoted_path(d.path());
    for (size_t at; (at = want_warning.find("{q}")) != std::string::npos;) want_warning.replace(at, 3, q);
    EXPECT_EQ(err, want_warning);
    const std::string want = c.error(d);
    if (want.empty()) {
      EXPECT_TRUE(r.ok()) << r.error().text();
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().text(), want);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Edge cases of the open
// ---------------------------------------------------------------------------------------

TEST(OpenEdges, IdHashTwelveBytesShort) {
  TempDir d;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(6);
  tandrel_test::write_segment(d.path(), s);
  auto b = tandrel_test::read_all(d.file("idhash.bin"));
  b.resize(b.size() - 12);
  tandrel_test::write_all(d.file("idhash.bin"), b);
  auto [r, err] = open_capture(d.path());
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(err, "Tandrel: idhash.bin at " + storage::quoted_path(d.path()) +
                     " wrong length \u2014 rebuilding id map from ids\n");
  const IvfIndex& ix = **r;
  EXPECT_FALSE(ix.idhash_bin);
  EXPECT_EQ(ix.locks().id_map.read()->size(), 6u);
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(ix.slot_of("id" + std::to_string(i)), i);
}

TEST(OpenEdges, TombstonesOnRowsOnlyTheLogRecreates) {
  // Segment: 4 main rows and one checkpointed delta row (slots 0..4). The log then adds "y"
  // (slot 5) and deletes it; deleted.bin already records slot 5, as a checkpoint that wrote
  // deleted.bin but not yet delta.bin leaves it.
  const std::string does_not_recreate =
      "corrupt index: deleted.bin tombstones rows the WAL replay does not recreate (stale/foreign tombstones, or a "
      "WAL damaged during a checkpoint) \u2014 refusing to open";
  TempDir d;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(4);
  s.delta = tandrel_test::make_delta(s, {"x"});
  s.crcs = false;
  tandrel_test::write_segment(d.path(), s);
  {
    auto r = IvfIndex::open_with_skip(d.path(), std::nullopt);
    ASSERT_TRUE(r.ok()) << r.error().text();
    json::Value meta;
    ASSERT_TRUE(live::add_logged(**r, "y", std::vector<float>(8, 0.5f), meta, "null", {}).ok());
    auto del = live::delete_logged(**r, "y");
    ASSERT_TRUE(del.ok());
    EXPECT_TRUE(*del);
  }
  ASSERT_TRUE(storage::write_framed(d.file("deleted.bin"), storage::kDeletedMagic,
                                    storage::Tombstones::from_slots(std::vector<uint32_t>{0, 5}).serialize())
                  .ok());
  {
    auto r = IvfIndex::open_with_skip(d.path(), std::nullopt);
    ASSERT_TRUE(r.ok()) << r.error().text();
    EXPECT_EQ((*r)->locks().tombstones.read()->to_vector(), (std::vector<uint32_t>{0, 5}));
    EXPECT_EQ((*r)->locks().delta.read()->rows(), 2u);
    EXPECT_EQ((*r)->live_count(), 4u);
  }
  // With an empty or a missing log nothing recreates slot 5.
  for (bool empty : {true, false}) {
    SCOPED_TRACE(empty ? "empty log" : "missing log");
    if (empty) tandrel_test::write_all(d.file("wal.bin"), {});
    else std::filesystem::remove(d.file("wal.bin"));
    auto r = IvfIndex::open_with_skip(d.path(), std::nullopt);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
    EXPECT_EQ(r.error().text(), does_not_recreate);
  }
}

// ---------------------------------------------------------------------------------------
// Edge cases of verification
// ---------------------------------------------------------------------------------------

TEST(VerifyEdges, NoTableMeansNoDataFileIsRead) {
  // Damage that only a checksum can see: without crcs.bin, or with an empty table, the open
  // succeeds; with the table it is refused.
  for (int variant = 0; variant < 3; ++variant) {
    SCOPED_TRACE(variant);
    TempDir d;
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(5);
    tandrel_test::write_segment(d.path(), s);
    flip_last(d, "codes.bin");
    if (variant == 0) std::filesystem::remove(d.file("crcs.bin"));
    if (variant == 1) {
      ASSERT_TRUE(storage::write_file_crcs(d.file("crcs.bin"), {}).ok());
    }
    auto r = IvfIndex::open_with_skip(d.path(), std::nullopt);
    if (variant < 2) {
      ASSERT_TRUE(r.ok()) << r.error().text();
      EXPECT_TRUE((*r)->file_crcs.empty());
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_NE(r.error().text().find("codes.bin content CRC mismatch"), std::string::npos);
    }
  }
}

TEST(VerifyEdges, DefaultBudgetBoundary) {
  // Sparse files of 64 MiB and 64 MiB + 1 byte of zeros, recorded with a wrong CRC: the
  // longer one is skipped under the default budget, the other is read and refused.
  const uint64_t budget = segment::parse_verify_budget(nullptr);
  ASSERT_EQ(budget, 67108864u);
  TempDir d;
  tandrel_test::write_all(d.file("codes.bin"), {});
  ASSERT_EQ(::truncate(d.file("codes.bin").c_str(), static_cast<off_t>(budget + 1)), 0);
  storage::FileCrcs t{{"codes.bin", 1}};
  EXPECT_TRUE(segment::verify_files_under(d.path(), t, budget).ok());
  ASSERT_EQ(::truncate(d.file("codes.bin").c_str(), static_cast<off_t>(budget)), 0);
  const uint32_t zeros = storage::crc32_file(d.file("codes.bin")).value();
  auto r = segment::verify_files_under(d.path(), t, budget);
  ASSERT_FALSE(r.ok());
  char buf[64];
  std::snprintf(buf, sizeof buf, "(got %08x, want 00000001)", zeros);
  EXPECT_EQ(r.error().text(), std::string("corrupt index: codes.bin content CRC mismatch ") + buf +
                                  " \u2014 at-rest bit-rot; refusing to serve wrong results");
  t["codes.bin"] = zeros;
  EXPECT_TRUE(segment::verify_files_under(d.path(), t, budget).ok());
}

// ---------------------------------------------------------------------------------------
// Id resolution
// ---------------------------------------------------------------------------------------

TEST(IdsEdges, IdHashRunsAndOffsetsBeyondIdsBin) {
  TempDir d;
  SegmentSpec s;
  s.ids = {"a", "b", "a", "c"};  // main slots 0 and 2 both hold "a"
  tandrel_test::write_segment(d.path(), s);
  // idhash.bin with the run of "a" listing slot 2 before slot 0: the first record whose
  // stored id matches wins.
  std::vector<std::pair<uint64_t, uint32_t>> recs;
  for (uint32_t i = 0; i < 4; ++i) recs.push_back({storage::fnv1a64(s.ids[i]), i});
  std::sort(recs.begin(), recs.end(), [](auto x, auto y) { return x.first != y.first ? x.first < y.first : x.second > y.second; });
  std::vector<uint8_t> bytes;
  for (auto [h, slot] : recs) {
    storage::append_u64(bytes, h);
    storage::append_u32(bytes, slot);
  }
  tandrel_test::write_all(d.file("idhash.bin"), bytes);
  // Offset 3 (end of slot 2, start of slot 3) far beyond ids.bin: slots 2 and 3 have no id.
  set_u64(d, "ids_off.bin", 8 * 3, 1000);
  std::filesystem::remove(d.file("crcs.bin"));
  auto r = IvfIndex::open_with_skip(d.path(), std::nullopt);
  ASSERT_TRUE(r.ok()) << r.error().text();
  const IvfIndex& ix = **r;
  EXPECT_EQ(ix.ext_id(2), std::nullopt);
  EXPECT_EQ(ix.ext_id(3), std::nullopt);
  EXPECT_EQ(ix.ext_of(3), "");
  EXPECT_EQ(ix.slot_of("c"), std::nullopt);
  EXPECT_EQ(ix.slot_of("b"), 1u);
  EXPECT_EQ(ix.slot_of("a"), 0u);  // slot 2's record comes first but has no id now
  set_u64(d, "ids_off.bin", 8 * 3, 3);
  auto r2 = IvfIndex::open_with_skip(d.path(), std::nullopt);
  ASSERT_TRUE(r2.ok()) << r2.error().text();
  EXPECT_EQ((*r2)->slot_of("a"), 2u);  // both match: the first record wins
  auto map = (*r2)->locks().id_map.read();
  auto dl = (*r2)->locks().delta.read();
  const std::vector<std::string> q = {"a", "c", "a"};
  EXPECT_EQ((*r2)->slots_of_locked(std::span<const std::string>(q), *map, dl->ids),
            (std::vector<std::optional<uint32_t>>{2u, 3u, 2u}));
}

// ---------------------------------------------------------------------------------------
// Filter cache
// ---------------------------------------------------------------------------------------

TEST(FilterEdges, NestingLimitBoundary) {
  TempDir d;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(2);
  s.metas = {R"({"a":1})", R"({"a":2})"};
  tandrel_test::write_segment(d.path(), s);
  auto r = IvfIndex::open_with_skip(d.path(), std::nullopt);
  ASSERT_TRUE(r.ok());
  // Each level of $and is an object and an array. 62 levels around {"a":{"$in":[1]}} nest
  // 127 containers and compile; one more array inside makes 128, which the parser refuses.
  auto nested = [](int levels, const std::string& inner) {
    std::string t = inner;
    for (int i = 0; i < levels; ++i) t = R"({"$and":[)" + t + "]}";
    return t;
  };
  auto ok = (*r)->compile_filter_cached(nested(62, R"({"a":{"$in":[1]}})"));  // 124 + 3 = 127
  EXPECT_TRUE(ok.ok()) << ok.error().text;
  auto bad = (*r)->compile_filter_cached(nested(62, R"({"a":{"$in":[[1]]}})"));  // 124 + 4 = 128
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().text.rfind("bad filter: recursion limit exceeded", 0), 0u) << bad.error().text;
}

// ---------------------------------------------------------------------------------------
// Read failures
// ---------------------------------------------------------------------------------------

TEST(OpenEdges, EveryReadFailureIsReportedAndInterruptedReadsAreRetried) {
  // The open of a segment with every control file (format.bin, manifest.bin, deleted.bin,
  // delta.bin, crcs.bin, a non-empty wal.bin). An EIO at the k-th read, for every k, fails
  // the open with the system error (wrapped by the log's unreadable text for wal.bin); an
  // EINTR at the k-th read changes nothing.
  TempDir d;
  tandrel_test::write_segment(d.path(), full_spec());
  {
    auto r = IvfIndex::open_with_skip(d.path(), std::nullopt);
    ASSERT_TRUE(r.ok()) << r.error().text();
    json::Value meta;
    ASSERT_TRUE(live::add_logged(**r, "w", std::vector<float>(8, 0.25f), meta, "null", {}).ok());
  }
  fileops::set_counting(true);
  ASSERT_TRUE(IvfIndex::open_with_skip(d.path(), std::nullopt).ok());
  const uint64_t reads = fileops::calls(fileops::Op::Read);
  fileops::disarm_all();
  ASSERT_GE(reads, 12u);  // at least two reads for each of the six files
  const std::string eio = os_text(EIO);
  const std::string wal_eio = "corrupt index: wal.bin at " + storage::quoted_path(d.path()) +
                              " exists but is unreadable (" + eio +
                              "); refusing to open as an empty WAL (un-checkpointed writes would be lost)";
  int wal_failures = 0;
  for (uint64_t k = 1; k <= reads; ++k) {
    SCOPED_TRACE(k);
    {
      fileops::ScopedFaults f(fileops::Fault{fileops::Op::Read, k, fileops::Action::Errno, EIO, 1});
      auto r = IvfIndex::open_with_skip(d.path(), std::nullopt);
      ASSERT_FALSE(r.ok());
      const std::string& text = r.error().text();
      if (text == wal_eio) {
        ++wal_failures;
      } else if (text.rfind("corrupt index: ", 0) == 0) {
        // A read of the checksum verification: the file it was reading is named.
        EXPECT_EQ(r.error().kind(), ErrorKind::InvalidData);
        EXPECT_NE(text.find(" unreadable (" + eio + ")"), std::string::npos) << text;
      } else {
        EXPECT_EQ(r.error().kind(), ErrorKind::Other);
        EXPECT_EQ(text, eio);
      }
    }
    {
      fileops::ScopedFaults f(fileops::Fault{fileops::Op::Read, k, fileops::Action::Errno, EINTR, 1});
      auto r = IvfIndex::open_with_skip(d.path(), std::nullopt);
      ASSERT_TRUE(r.ok()) << r.error().text();
      EXPECT_EQ((*r)->locks().delta.read()->rows(), 3u);
    }
  }
  EXPECT_GE(wal_failures, 1);
}

TEST(FilterEdges, KeyOrderAndRealSchemaGrowth) {
  TempDir d;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(2);
  s.metas = {R"({"a":1,"s":"x"})", R"({"a":2,"s":"y"})"};
  tandrel_test::write_segment(d.path(), s);
  // An empty skip set lets delta rows bring new typed fields.
  auto r = IvfIndex::open_with_skip(d.path(), predicate::SkipSet{});
  ASSERT_TRUE(r.ok()) << r.error().text();
  IvfIndex& ix = **r;
  auto ab = ix.compile_filter_cached(R"({"a":1,"s":"x"})");
  auto ba = ix.compile_filter_cached(R"({"s":"x","a":1})");
  ASSERT_TRUE(ab.ok() && ba.ok());
  EXPECT_NE(ab->get(), ba->get());
  EXPECT_EQ(**ab, **ba);
  EXPECT_EQ(ix.locks().filter_cache.lock()->size(), 2u);

  // A filter on a field no row has yet compiles to a constant and is cached.
  const std::string f = R"({"g":{"$gte":5}})";
  auto before = ix.compile_filter_cached(f);
  ASSERT_TRUE(before.ok());
  EXPECT_EQ((*before)->kind, predicate::PredKind::False);
  const uint64_t epoch = ix.schema_epoch.load();
  // A logged add whose metadata brings g grows the schema: the cache is emptied and the
  // filter, compiled again, tests the new column.
  auto meta = json::parse(R"({"g":7})");
  ASSERT_TRUE(meta.ok());
  ASSERT_TRUE(live::add_logged(ix, "new", std::vector<float>(8, 0.5f), *meta, R"({"g":7})", {}).ok());
  EXPECT_EQ(ix.schema_epoch.load(), epoch + 1);
  EXPECT_EQ(ix.locks().filter_cache.lock()->size(), 0u);
  auto after = ix.compile_filter_cached(f);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ((*after)->kind, predicate::PredKind::NumCmp);
  {
    auto delta = ix.locks().delta.read();
    ASSERT_EQ(delta->rows(), 1u);
    EXPECT_TRUE(IvfIndex::passes_delta(*delta, **after, 0));
  }
  EXPECT_FALSE(ix.passes_main(**after, 0));
  EXPECT_FALSE(ix.passes_main(**after, 1));
}
