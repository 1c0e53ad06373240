// Id resolution and live count: main and delta ids, upserts, stored ids that are damaged,
// batch lookups against one-by-one lookups, and ids whose hashes collide (through the id
// hash seam), with and without idhash.bin.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/storage/data_files.hpp"
#include "ivf_rabitq/storage/files.hpp"
#include "support/segment_fixture.hpp"

using namespace ivf_rabitq;
using index::IvfIndex;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;

namespace {

// Installs a replacement id hash for the lifetime of the object.
class HashOverride {
 public:
  explicit HashOverride(index::IdHashFn f) : prev_(index::set_id_hash_for_testing(f)) {}
  ~HashOverride() { index::set_id_hash_for_testing(prev_); }

 private:
  index::IdHashFn prev_;
};

uint64_t hash_mod5(std::string_view id) { return storage::fnv1a64(id) % 5; }
uint64_t hash_const(std::string_view) { return 42; }

std::shared_ptr<IvfIndex> open_ok(const std::string& dir) {
  auto r = IvfIndex::open_with_skip(dir, std::nullopt);
  EXPECT_TRUE(r.ok()) << r.error().text();
  return r.ok() ? *r : nullptr;
}

// The slot each id should resolve to: the newest row holding it.
std::map<std::string, uint32_t> expected_slots(const SegmentSpec& s) {
  std::map<std::string, uint32_t> want;
  for (size_t i = 0; i < s.ids.size(); ++i) want[s.ids[i]] = static_cast<uint32_t>(i);
  if (s.delta)
    for (size_t r = 0; r < s.delta->ids.size(); ++r) want[s.delta->ids[r]] = static_cast<uint32_t>(s.ids.size() + r);
  return want;
}

std::vector<std::optional<uint32_t>> one_by_one(const IvfIndex& ix, const std::vector<std::string>& q) {
  auto map = ix.locks().id_map.read();
  auto d = ix.locks().delta.read();
  std::vector<std::optional<uint32_t>> out;
  for (const auto& id : q) out.push_back(ix.slot_of_locked(id, *map, d->ids));
  return out;
}

void expect_batch_matches(const IvfIndex& ix, const std::vector<std::string>& q) {
  const auto single = one_by_one(ix, q);
  auto map = ix.locks().id_map.read();
  auto d = ix.locks().delta.read();
  EXPECT_EQ(ix.slots_of_locked(std::span<const std::string>(q), *map, d->ids), single);
  std::vector<std::string_view> views(q.begin(), q.end());
  EXPECT_EQ(ix.slots_of_locked(std::span<const std::string_view>(views), *map, d->ids), single);
}

struct Layout {
  bool idhash;
  bool ids_files;
};
const Layout kLayouts[] = {{true, true}, {false, true}, {false, false}, {true, false}};

}  // namespace

TEST(Ids, ResolutionAcrossLayouts) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(testing::Message() << "idhash=" << l.idhash << " ids_files=" << l.ids_files);
    TempDir d;
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(20);
    s.ids[7] = "";  // the empty id is an ordinary id
    s.idhash = l.idhash;
    s.ids_files = l.ids_files;
    // Delta: a new id, an upsert of a main id, and two rows of one new id.
    s.delta = tandrel_test::make_delta(s, {"new", "id3", "twice", "twice"});
    s.tombstones = std::vector<uint32_t>{3, 22};
    tandrel_test::write_segment(d.path(), s);
    auto ix = open_ok(d.path());
    ASSERT_TRUE(ix);
    for (const auto& [id, slot] : expected_slots(s)) EXPECT_EQ(ix->slot_of(id), slot) << id;
    EXPECT_EQ(ix->slot_of("id3"), 21u);    // the upsert's delta row, not the tombstoned main row
    EXPECT_EQ(ix->slot_of("twice"), 23u);  // the later of two delta rows
    EXPECT_EQ(ix->slot_of(""), 7u);
    EXPECT_EQ(ix->slot_of("missing"), std::nullopt);
    EXPECT_EQ(ix->slot_of("id"), std::nullopt);
    EXPECT_EQ(ix->ext_of(5), "id5");
    EXPECT_EQ(ix->ext_of(7), "");
    EXPECT_EQ(ix->ext_id(7), std::optional<std::string_view>(""));
    EXPECT_EQ(ix->ext_of(21), "id3");
    EXPECT_EQ(ix->ext_id(20), std::nullopt);  // not a main slot
    // The prefetch before a result's ids is a hint: main, delta and absent slots alike.
    for (uint32_t slot : {0u, 7u, 19u, 20u, 23u, 24u, 1u << 31}) ix->prefetch_id(slot);
    EXPECT_EQ(ix->live_count(), 22u);
  }
}

TEST(Ids, DamagedStoredIdsHaveNoId) {
  TempDir d;
  SegmentSpec s;
  s.ids = {"a", "bb", "ccc", "dd"};
  tandrel_test::write_segment(d.path(), s);
  // ids.bin "abbcccdd", offsets 0 1 3 6 8: slot 1 gets end < start, slot 3 invalid UTF-8.
  auto off = tandrel_test::read_all(d.file("ids_off.bin"));
  storage::store_u64(off.data() + 16, 0);
  tandrel_test::write_all(d.file("ids_off.bin"), off);
  auto bytes = tandrel_test::read_all(d.file("ids.bin"));
  bytes[6] = 0xFF;
  tandrel_test::write_all(d.file("ids.bin"), bytes);
  tandrel_test::rerecord_crc(d.path(), "ids_off.bin");
  tandrel_test::rerecord_crc(d.path(), "ids.bin");
  auto ix = open_ok(d.path());
  ASSERT_TRUE(ix);
  EXPECT_EQ(ix->ext_id(0), std::optional<std::string_view>("a"));
  EXPECT_EQ(ix->ext_id(1), std::nullopt);
  EXPECT_EQ(ix->ext_of(1), "");
  EXPECT_EQ(ix->ext_id(2), std::optional<std::string_view>("abbccc"));
  EXPECT_EQ(ix->ext_id(3), std::nullopt);
  EXPECT_EQ(ix->ext_of(3), "");
  for (uint32_t slot = 0; slot < 6; ++slot) ix->prefetch_id(slot);  // reads no byte out of range
  EXPECT_EQ(ix->slot_of("a"), 0u);
  EXPECT_EQ(ix->slot_of("bb"), std::nullopt);
  EXPECT_EQ(ix->slot_of("ccc"), std::nullopt);
  EXPECT_EQ(ix->slot_of("\xFF" "d"), std::nullopt);
  EXPECT_EQ(ix->slot_of("dd"), std::nullopt);
}

TEST(Ids, BatchEqualsOneByOne) {
  for (const Layout& l : kLayouts) {
    SCOPED_TRACE(testing::Message() << "idhash=" << l.idhash << " ids_files=" << l.ids_files);
    TempDir d;
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(600);
    s.idhash = l.idhash;
    s.ids_files = l.ids_files;
    s.delta = tandrel_test::make_delta(s, {"id5", "x1", "x2", "id5", "x1"});
    tandrel_test::write_segment(d.path(), s);
    auto ix = open_ok(d.path());
    ASSERT_TRUE(ix);
    std::mt19937 rng(7);
    for (size_t size : {0, 1, 16, 17, 33, 1000}) {
      std::vector<std::string> q;
      for (size_t i = 0; i < size; ++i) {
        switch (rng() % 4) {
          case 0: q.push_back("id" + std::to_string(rng() % 600)); break;
          case 1: q.push_back("x" + std::to_string(rng() % 3)); break;
          case 2: q.push_back("nope" + std::to_string(rng() % 50)); break;
          default: q.push_back("id5"); break;
        }
      }
      expect_batch_matches(*ix, q);
      auto got = one_by_one(*ix, q);
      const auto want = expected_slots(s);
      for (size_t i = 0; i < q.size(); ++i) {
        auto it = want.find(q[i]);
        EXPECT_EQ(got[i], it == want.end() ? std::nullopt : std::optional<uint32_t>(it->second)) << q[i];
      }
    }
  }
}

TEST(Ids, CollidingHashes) {
  // Every id hashes to one of 5 values (or all to one): main-main, main-delta and
  // delta-delta collisions everywhere, with idhash.bin holding runs of equal hashes.
  for (index::IdHashFn fn : {&hash_mod5, &hash_const}) {
    HashOverride guard(fn);
    for (const Layout& l : kLayouts) {
      SCOPED_TRACE(testing::Message() << "idhash=" << l.idhash << " ids_files=" << l.ids_files);
      TempDir d;
      SegmentSpec s;
      s.ids = tandrel_test::make_ids(40);
      s.idhash = l.idhash;
      s.ids_files = l.ids_files;
      s.delta = tandrel_test::make_delta(s, {"new0", "id4", "new1", "new0", "id9"});
      tandrel_test::write_segment(d.path(), s);
      auto ix = open_ok(d.path());
      ASSERT_TRUE(ix);
      std::vector<std::string> q;
      for (const auto& [id, slot] : expected_slots(s)) {
        EXPECT_EQ(ix->slot_of(id), slot) << id;
        q.push_back(id);
      }
      for (const char* absent : {"zz", "id40", "new2"}) {
        EXPECT_EQ(ix->slot_of(absent), std::nullopt) << absent;
        q.push_back(absent);
      }
      expect_batch_matches(*ix, q);
    }
  }
}

TEST(Ids, TwoMainIdsSharingAHashWithoutIdHashFile) {
  // The shape the displaced-slot record exists for: the map keeps the later main slot, and
  // the earlier id must still resolve (a delete or upsert of it must find its live row).
  HashOverride guard(&hash_const);
  TempDir d;
  SegmentSpec s;
  s.ids = {"first", "second"};
  s.idhash = false;
  tandrel_test::write_segment(d.path(), s);
  auto ix = open_ok(d.path());
  ASSERT_TRUE(ix);
  EXPECT_EQ(ix->locks().id_map.read()->size(), 1u);
  EXPECT_EQ(ix->slot_of("second"), 1u);
  EXPECT_EQ(ix->slot_of("first"), 0u);
  EXPECT_EQ(ix->slot_of("third"), std::nullopt);
  // A later row under the same hash (as an add inserts it) keeps both main rows reachable.
  ix->locks().id_map.write()->insert(42, 2);
  auto map = ix->locks().id_map.read();
  const std::vector<std::string> delta_ids = {"third"};
  EXPECT_EQ(ix->slot_of_locked("first", *map, delta_ids), 0u);
  EXPECT_EQ(ix->slot_of_locked("second", *map, delta_ids), 1u);
  EXPECT_EQ(ix->slot_of_locked("third", *map, delta_ids), 2u);
}

TEST(Ids, LiveCountFloorsAtZero) {
  TempDir d;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(3);
  tandrel_test::write_segment(d.path(), s);
  auto ix = open_ok(d.path());
  ASSERT_TRUE(ix);
  EXPECT_EQ(ix->live_count(), 3u);
  {
    auto t = ix->locks().tombstones.write();
    for (uint32_t slot : {0u, 1u, 5u, 9u}) t->insert(slot);
  }
  EXPECT_EQ(ix->live_count(), 0u);
  // A tombstoned slot still resolves: liveness is the caller's test.
  EXPECT_EQ(ix->slot_of("id1"), 1u);
}

// stats() reads these: main rows, delta rows and tombstones as stored, not netted out.
TEST(Ids, RowCounts) {
  struct Case {
    std::vector<std::string> delta_ids;
    std::vector<uint32_t> tombs;
    IvfIndex::RowCounts want;
  };
  const std::vector<Case> cases = {
      {{}, {}, {3, 0, 0}},
      {{"a", "b"}, {}, {3, 2, 0}},
      {{"a", "b"}, {1, 4}, {3, 2, 2}},
      {{}, {0, 2}, {3, 0, 2}},
  };
  for (const auto& c : cases) {
    TempDir d;
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(3);
    if (!c.delta_ids.empty()) s.delta = tandrel_test::make_delta(s, c.delta_ids);
    if (!c.tombs.empty()) s.tombstones = c.tombs;
    tandrel_test::write_segment(d.path(), s);
    auto ix = open_ok(d.path());
    ASSERT_TRUE(ix);
    const auto got = ix->row_counts();
    EXPECT_EQ(got.main, c.want.main);
    EXPECT_EQ(got.delta, c.want.delta);
    EXPECT_EQ(got.deleted, c.want.deleted) << c.tombs.size();
  }
}
