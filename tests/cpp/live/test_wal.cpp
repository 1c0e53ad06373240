// Write-ahead log: golden frames, the frame test, the payload limit, the replay table
// (missing, empty, short, torn, damaged, undecodable, wrong dimension), truncation at every
// byte of the last frames, and the append path (directory sync on creation, failed writes).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <limits>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "live/test_wal_fixture.hpp"

using namespace durable_test;
using live::DecodedWalOp;
using live::WalAdd;
using live::WalApply;
using live::WalDelete;
using tandrel_test::TempDir;

namespace {

std::vector<uint8_t> frame_of(const live::WalOp& op) {
  auto f = live::encode_wal_frame(op);
  EXPECT_TRUE(f.ok());
  return f.ok() ? std::move(f).value() : std::vector<uint8_t>{};
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const std::vector<float> kVec2 = {1.0f, -2.0f};
const storage::SparsePairs kPair7 = {{7, 0.5f}};

}  // namespace

TEST(WalFrame, GoldenDeleteAndAdd) {
  const std::vector<uint8_t> del = frame_of(WalDelete{"abc"});
  const std::vector<uint8_t> want_del = {0x57, 0x51, 0x42, 0x52, 0x0F, 0x00, 0x00, 0x00, 0xDE, 0x26, 0xAF, 0x3D, 0x01, 0x00,
                                         0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61, 0x62, 0x63};
  EXPECT_EQ(del, want_del);

  const std::vector<uint8_t> add = frame_of(WalAdd{"a", kVec2, "null", kPair7});
  const std::vector<uint8_t> want_payload = cat({
      {0x00, 0x00, 0x00, 0x00},                          // tag Add
      {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // id length
      {0x61},                                            // "a"
      {0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // vector count
      {0x00, 0x00, 0x80, 0x3F},                          // 1.0
      {0x00, 0x00, 0x00, 0xC0},                          // -2.0
      {0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // metadata length
      {0x6E, 0x75, 0x6C, 0x6C},                          // "null"
      {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // pair count
      {0x07, 0x00, 0x00, 0x00},                          // term 7
      {0x00, 0x00, 0x00, 0x3F},                          // 0.5
  });
  ASSERT_EQ(want_payload.size(), 57u);
  const std::vector<uint8_t> want_head = {0x57, 0x51, 0x42, 0x52, 0x39, 0x00, 0x00, 0x00, 0xF4, 0x5C, 0x09, 0x89};
  ASSERT_EQ(add.size(), 12u + 57u);
  EXPECT_EQ(std::vector<uint8_t>(add.begin(), add.begin() + 12), want_head);
  EXPECT_EQ(std::vector<uint8_t>(add.begin() + 12, add.end()), want_payload);
  EXPECT_EQ(live::wal_payload_size(WalAdd{"a", kVec2, "null", kPair7}), 57u);
  EXPECT_EQ(live::wal_payload_size(WalDelete{"abc"}), 15u);

  // Both decode back.
  auto d = live::decode_wal_payload(std::span<const uint8_t>(add).subspan(12));
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->kind, DecodedWalOp::Kind::Add);
  EXPECT_EQ(d->id, "a");
  EXPECT_EQ(d->vector, kVec2);
  EXPECT_EQ(d->meta, "null");
  EXPECT_EQ(d->sparse, kPair7);
  auto dd = live::decode_wal_payload(std::span<const uint8_t>(del).subspan(12));
  ASSERT_TRUE(dd.ok());
  EXPECT_EQ(dd->kind, DecodedWalOp::Kind::Delete);
  EXPECT_EQ(dd->id, "abc");
}

TEST(WalFrame, FrameTest) {
  const auto f = frame_of(WalDelete{"abc"});
  const auto two = cat({f, f});
  EXPECT_EQ(live::wal_frame_ok_at(two, 0), std::optional<size_t>(27));
  EXPECT_EQ(live::wal_frame_ok_at(two, 27), std::optional<size_t>(27));
  EXPECT_EQ(live::wal_frame_ok_at(two, 1), std::nullopt);
  EXPECT_EQ(live::wal_frame_ok_at(two, 54), std::nullopt);
  EXPECT_EQ(live::wal_frame_ok_at(two, 1000), std::nullopt);
  auto bad = f;
  bad[20] ^= 1;  // payload byte: CRC mismatch
  EXPECT_EQ(live::wal_frame_ok_at(bad, 0), std::nullopt);
  auto longlen = f;
  storage::store_u32(longlen.data() + 4, 0xFFFFFFFFu);  // length past the end
  EXPECT_EQ(live::wal_frame_ok_at(longlen, 0), std::nullopt);
  // An empty payload with the CRC of nothing is an intact (undecodable) frame.
  std::vector<uint8_t> empty = {0x57, 0x51, 0x42, 0x52, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(live::wal_frame_ok_at(empty, 0), std::optional<size_t>(12));
  EXPECT_FALSE(live::decode_wal_payload({}).ok());
}

TEST(WalFrame, PayloadOfFourGiBIsRefused) {
  // Only the sizes are looked at: the spans are never read.
  static const char byte = 0;
  const std::string_view huge_meta(&byte, (size_t{1} << 32) - 36);  // payload 2^32 exactly
  auto r = live::encode_wal_frame(WalAdd{"", {}, huge_meta, {}});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(r.error().text().rfind("add: ", 0), 0u) << r.error().text();
  const std::string_view huge_id(&byte, size_t{1} << 32);
  auto rd = live::encode_wal_frame(WalDelete{huge_id});
  ASSERT_FALSE(rd.ok());
  EXPECT_EQ(rd.error().text().rfind("delete: ", 0), 0u);
  // One byte less fits the u32 length field (size computed only).
  EXPECT_EQ(live::wal_payload_size(WalAdd{"", {}, std::string_view(&byte, (size_t{1} << 32) - 37), {}}),
            0xFFFFFFFFull);
}

// ---- the scan, byte level ----

namespace {

struct Recorded {
  live::WalScanResult res;
  std::vector<std::string> ids;  // ids handed to the visitor, "-" prefix for deletes
};
Recorded scan(const std::vector<uint8_t>& bytes) {
  Recorded out;
  out.res = live::scan_wal(bytes, [&](DecodedWalOp& op) {
    out.ids.push_back((op.kind == DecodedWalOp::Kind::Delete ? "-" : "") + op.id);
    return WalApply::Applied;
  });
  return out;
}

}  // namespace

TEST(WalScan, TruncationAtEveryByteOfTheLastThreeFrames) {
  const std::vector<float> v8 = vec_for(1);
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < 5; ++i) frames.push_back(frame_of(WalAdd{"r" + std::to_string(i), v8, "{\"k\":1}", kPair7}));
  frames.push_back(frame_of(WalDelete{"r1"}));
  std::vector<uint8_t> log;
  std::vector<size_t> starts;
  for (const auto& f : frames) {
    starts.push_back(log.size());
    log.insert(log.end(), f.begin(), f.end());
  }
  starts.push_back(log.size());
  const size_t first_cut = starts[frames.size() - 3];
  for (size_t len = first_cut; len <= log.size(); ++len) {
    std::vector<uint8_t> cut(log.begin(), log.begin() + len);
    const Recorded r = scan(cut);
    size_t complete = 0;
    while (complete < frames.size() && starts[complete + 1] <= len) ++complete;
    EXPECT_EQ(r.res.applied, complete) << "len " << len;
    EXPECT_EQ(r.res.end, starts[complete]) << "len " << len;
    EXPECT_FALSE(r.res.damaged) << "len " << len;
    ASSERT_EQ(r.ids.size(), complete);
  }
}

TEST(WalScan, DamageTable) {
  const std::vector<float> v8 = vec_for(2);
  const auto a = frame_of(WalAdd{"a", v8, "null", {}});
  const auto b = frame_of(WalAdd{"b", v8, "null", {}});
  const auto c = frame_of(WalDelete{"a"});
  auto bad_crc = b;
  bad_crc[9] ^= 0xFF;
  // A good frame whose payload has tag 2.
  std::vector<uint8_t> tag2_payload = {2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'x'};
  std::vector<uint8_t> tag2 = {0x57, 0x51, 0x42, 0x52, 13, 0, 0, 0, 0, 0, 0, 0};
  storage::store_u32(tag2.data() + 8, storage::crc32(tag2_payload.data(), tag2_payload.size()));
  tag2.insert(tag2.end(), tag2_payload.begin(), tag2_payload.end());
  // A good frame whose id is not UTF-8.
  const std::string bad_utf8 = "\xC3\x28";
  const auto badid = frame_of(WalDelete{bad_utf8});

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<std::string> ids;
    bool damaged;
    size_t end;
  };
  const std::vector<Case> cases = {
      {"empty", {}, {}, false, 0},
      {"three good", cat({a, b, c}), {"a", "b", "-a"}, false, a.size() + b.size() + c.size()},
      {"bad crc between good", cat({a, bad_crc, c}), {"a", "-a"}, true, a.size() + b.size() + c.size()},
      {"garbage between good", cat({a, {1, 2, 3, 4, 5}, c}), {"a", "-a"}, true, a.size() + 5 + c.size()},
      {"unknown tag", cat({a, tag2, c}), {"a", "-a"}, true, a.size() + tag2.size() + c.size()},
      {"invalid utf-8 id", cat({a, badid, c}), {"a", "-a"}, true, a.size() + badid.size() + c.size()},
      {"garbage tail", cat({a, {0x57, 0x51, 0x42}}), {"a"}, false, a.size()},
      {"bad crc last", cat({a, bad_crc}), {"a"}, false, a.size()},
  };
  for (const auto& k : cases) {
    const Recorded r = scan(k.bytes);
    EXPECT_EQ(r.ids, k.ids) << k.name;
    EXPECT_EQ(r.res.damaged, k.damaged) << k.name;
    EXPECT_EQ(r.res.end, k.end) << k.name;
  }
  // Short files: 1 to 11 bytes are a torn tail at 0.
  for (size_t len = 1; len <= 11; ++len) {
    const Recorded r = scan(std::vector<uint8_t>(a.begin(), a.begin() + len));
    EXPECT_EQ(r.res, (live::WalScanResult{0, false, 0})) << len;
  }
  // A visitor that skips counts as damage.
  auto r = live::scan_wal(cat({a, b}),
                          [](DecodedWalOp& op) { return op.id == "a" ? WalApply::Skipped : WalApply::Applied; });
  EXPECT_TRUE(r.damaged);
  EXPECT_EQ(r.applied, 1u);
}

// ---- replay through an open index ----

class WalReplay : public ::testing::Test {
 protected:
  void SetUp() override { tandrel_test::write_segment(dir.path(), small_spec()); }
  std::string wal() const { return dir.file("wal.bin"); }
  void put_log(const std::vector<uint8_t>& bytes) { tandrel_test::write_all(wal(), bytes); }
  struct Out {
    std::shared_ptr<IvfIndex> ix;
    std::string err;
  };
  Out reopen() {
    testing::internal::CaptureStderr();
    auto r = IvfIndex::open_with_skip(dir.path(), std::nullopt);
    Out o;
    o.err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().text());
    if (r.ok()) o.ix = std::move(r).value();
    return o;
  }
  std::vector<std::string> delta_ids(const IvfIndex& ix) { return ix.locks().delta.read()->ids; }
  TempDir dir;
};

TEST_F(WalReplay, Table) {
  const auto v = vec_for(3);
  const auto a = frame_of(WalAdd{"a", v, "{\"s\":\"v1\"}", kPair7});
  const auto b = frame_of(WalAdd{"b", v, "null", {}});
  const auto del_a = frame_of(WalDelete{"a"});
  auto bad_crc = b;
  bad_crc[20] ^= 0x40;
  std::vector<float> v9 = vec_for(3, 9);
  const auto wrong_dim = frame_of(WalAdd{"w", v9, "null", {}});
  const auto bad_meta = frame_of(WalAdd{"m", v, "{not json", {}});
  const auto trailing_meta = frame_of(WalAdd{"t", v, "{\"a\":1} x", {}});
  const std::string nul_text("{\"s\":\"v1\"}\0junk", 15);
  const auto nul_meta = frame_of(WalAdd{"z", v, nul_text, {}});
  // Components the Python add refuses: the frame is damage, like one of the wrong length.
  auto with = [&](size_t at, float x) {
    auto w = v;
    w[at] = x;
    return frame_of(WalAdd{"x", w, "null", {}});
  };
  const auto nan_vec = with(0, std::numeric_limits<float>::quiet_NaN());
  const auto inf_vec = with(7, std::numeric_limits<float>::infinity());
  const auto ninf_vec = with(3, -std::numeric_limits<float>::infinity());
  const std::string warn = live::wal_damage_warning(dir.path()) + "\n";

  struct Case {
    const char* name;
    std::optional<std::vector<uint8_t>> log;  // none: no wal.bin
    std::vector<std::string> delta;
    bool damaged;
    size_t end;
  };
  const std::vector<Case> cases = {
      {"missing", std::nullopt, {}, false, 0},
      {"empty", std::vector<uint8_t>{}, {}, false, 0},
      {"five bytes", std::vector<uint8_t>(a.begin(), a.begin() + 5), {}, false, 0},
      {"torn last", cat({a, std::vector<uint8_t>(b.begin(), b.end() - 1)}), {"a"}, false, a.size()},
      {"bad crc between", cat({a, bad_crc, del_a}), {"a"}, true, a.size() + b.size() + del_a.size()},
      {"wrong dim", cat({a, wrong_dim, b}), {"a", "b"}, true, a.size() + wrong_dim.size() + b.size()},
      {"bad meta", cat({bad_meta, trailing_meta}), {"m", "t"}, false, bad_meta.size() + trailing_meta.size()},
      {"meta with a NUL byte", cat({nul_meta}), {"z"}, false, nul_meta.size()},
      {"NaN component", cat({a, nan_vec, b}), {"a", "b"}, true, a.size() + nan_vec.size() + b.size()},
      {"infinite components", cat({inf_vec, a, ninf_vec}), {"a"}, true, inf_vec.size() + a.size() + ninf_vec.size()},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    ::unlink(wal().c_str());
    if (k.log) put_log(*k.log);
    auto o = reopen();
    ASSERT_TRUE(o.ix);
    EXPECT_EQ(delta_ids(*o.ix), k.delta);
    EXPECT_EQ(o.ix->wal_damaged.load(), k.damaged);
    EXPECT_EQ(o.ix->wal_bytes.load(), k.end);
    EXPECT_EQ(o.err, k.damaged ? warn : "");
  }
  // Unparsable metadata is stored as null; "a" was deleted in the damaged case.
  {
    put_log(cat({a, bad_crc, del_a}));
    auto o = reopen();
    EXPECT_TRUE(o.ix->locks().tombstones.read()->contains(10));
    EXPECT_EQ(o.ix->locks().delta.read()->meta, (std::vector<std::string>{"{\"s\":\"v1\"}"}));
    EXPECT_EQ(o.ix->locks().delta.read()->sparse[0], kPair7);
    EXPECT_EQ(o.ix->locks().delta_sparse.read()->at(7).size(), 1u);
  }
  for (const auto& log : {bad_meta, nul_meta}) {
    put_log(log);
    auto o = reopen();
    EXPECT_EQ(o.ix->locks().delta.read()->meta, (std::vector<std::string>{"null"}));
  }
}

TEST_F(WalReplay, UpsertTwiceAndDeleteOfUnknownId) {
  const auto v = vec_for(4);
  put_log(cat({frame_of(WalAdd{"x", v, "null", {}}), frame_of(WalAdd{"x", v, "null", {}}), frame_of(WalDelete{"nope"}),
               frame_of(WalAdd{"id3", v, "null", {}})}));
  auto o = reopen();
  ASSERT_TRUE(o.ix);
  auto& ix = *o.ix;
  EXPECT_EQ(delta_ids(ix), (std::vector<std::string>{"x", "x", "id3"}));
  EXPECT_EQ(ix.locks().tombstones.read()->to_vector(), (std::vector<uint32_t>{3, 10}));
  EXPECT_EQ(ix.tomb_epoch.load(), 2u);
  EXPECT_EQ(ix.slot_of("x"), std::optional<uint32_t>(11));
  EXPECT_EQ(ix.slot_of("id3"), std::optional<uint32_t>(12));
  EXPECT_FALSE(ix.wal_damaged.load());
}

TEST_F(WalReplay, UnreadableLogRefusesTheOpen) {
  ASSERT_EQ(::mkdir(wal().c_str(), 0755), 0);
  auto r = IvfIndex::open_with_skip(dir.path(), std::nullopt);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::IsADirectory);
  const std::string want = "corrupt index: wal.bin at " + storage::quoted_path(dir.path()) + " exists but is unreadable (" +
                           IoError::os(EISDIR).text() +
                           "); refusing to open as an empty WAL (un-checkpointed writes would be lost)";
  EXPECT_EQ(r.error().text(), want);
}

TEST_F(WalReplay, AppendsAfterATornTailAreFoundAsDamage) {
  const auto v = vec_for(5);
  auto a = frame_of(WalAdd{"a", v, "null", {}});
  put_log(cat({a, std::vector<uint8_t>(a.begin(), a.begin() + 7)}));
  {
    auto o = reopen();
    EXPECT_EQ(o.ix->wal_bytes.load(), a.size());
    ASSERT_TRUE(add(*o.ix, "b", v).ok());
    EXPECT_EQ(o.ix->wal_bytes.load(), 2 * a.size());  // the tail is not counted
  }
  auto o = reopen();
  EXPECT_EQ(delta_ids(*o.ix), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(o.ix->wal_damaged.load());
}

TEST_F(WalReplay, AddsBeyondTheSlotSpaceAreNotApplied) {
  // A main segment just below the slot limit cannot be written here; instead, check the
  // guard the replay uses and that replay refuses the add that would reach the limit.
  EXPECT_TRUE(live::slot_space_allows_one_more(0, 0));
  EXPECT_TRUE(live::slot_space_allows_one_more(4294967293ull, 0));
  EXPECT_FALSE(live::slot_space_allows_one_more(4294967294ull, 0));
  EXPECT_FALSE(live::slot_space_allows_one_more(4294967000ull, 294));
  EXPECT_FALSE(live::slot_space_allows_one_more(~0ull, 1));
  EXPECT_FALSE(live::slot_space_allows_one_more(1, ~0ull));
}

// ---- the append path ----

TEST_F(WalReplay, FirstAppendSyncsTheDirectoryOnce) {
  auto ix = must_open(dir.path());
  ix->durability_interval.store(1000);  // no fdatasync in between
  fileops::set_counting(true);
  ASSERT_TRUE(add(*ix, "a", vec_for(1)).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fsync), 1u);
  ASSERT_TRUE(add(*ix, "b", vec_for(2)).ok());
  ASSERT_TRUE(live::delete_logged(*ix, "a").ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fsync), 1u);
  fileops::disarm_all();
  fileops::set_counting(false);
}

TEST_F(WalReplay, FailedDirectorySyncOnCreationFailsTheAppend) {
  auto ix = must_open(dir.path());
  {
    fileops::ScopedFaults f(fileops::Fault{fileops::Op::Fsync, 1, fileops::Action::Errno, EIO});
    auto st = add(*ix, "a", vec_for(1));
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().text(), IoError::os(EIO).text());
  }
  EXPECT_EQ(ix->locks().delta.read()->rows(), 0u);  // nothing applied
  EXPECT_EQ(ix->wal_bytes.load(), 0u);
  // The next append finds the empty file and syncs the directory again.
  fileops::set_counting(true);
  ASSERT_TRUE(add(*ix, "a", vec_for(1)).ok());
  EXPECT_EQ(fileops::calls(fileops::Op::Fsync), 1u);
  fileops::disarm_all();
  fileops::set_counting(false);
}

TEST_F(WalReplay, FailedWriteAppliesNothingAndLeavesWalBytes) {
  auto ix = must_open(dir.path());
  ASSERT_TRUE(add(*ix, "a", vec_for(1)).ok());
  const uint64_t before = ix->wal_bytes.load();
  {
    fileops::ScopedFaults f(fileops::Fault{fileops::Op::Write, 1, fileops::Action::ShortWrite, 0});
    fileops::arm(fileops::Fault{fileops::Op::Write, 2, fileops::Action::Errno, ENOSPC});
    auto st = add(*ix, "b", vec_for(2));
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().kind(), ErrorKind::StorageFull);
  }
  EXPECT_EQ(ix->wal_bytes.load(), before);
  EXPECT_EQ(ix->locks().delta.read()->ids, (std::vector<std::string>{"a"}));
  struct stat st {};
  ASSERT_EQ(::stat(wal().c_str(), &st), 0);
  EXPECT_GT(static_cast<uint64_t>(st.st_size), before);  // half a frame on disk
  // A later add follows the partial frame; replay finds it by searching (damage).
  ASSERT_TRUE(add(*ix, "c", vec_for(3)).ok());
  ix.reset();
  auto o = reopen();
  EXPECT_EQ(delta_ids(*o.ix), (std::vector<std::string>{"a", "c"}));
  EXPECT_TRUE(o.ix->wal_damaged.load());
}

TEST_F(WalReplay, WrongVectorLengthAndSlotSpaceOfTheLoggedAdd) {
  auto ix = must_open(dir.path());
  auto st = add(*ix, "a", vec_for(1, 7));
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(st.error().text(), "add: vector length 7 != index dim 8");
  EXPECT_EQ(ix->wal_bytes.load(), 0u);

  // Main rows at the edge of the u32 slot space: one more row does not fit, and nothing is
  // logged or applied.
  const uint64_t n = ix->manifest.n;
  ix->manifest.n = live::kSlotLimit - 1;
  st = add(*ix, "b", vec_for(2));
  ix->manifest.n = n;
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(st.error().text(), "slot space exhausted: 4294967294 existing + 1 new rows exceed the u32 slot capacity");
  EXPECT_EQ(ix->wal_bytes.load(), 0u);
  EXPECT_EQ(ix->locks().delta.read()->rows(), 0u);
}
