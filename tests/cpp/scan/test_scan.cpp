// Filtered scans against a brute-force model: every live row (main rows, delta rows, after
// upserts, deletes and schema growth) run through the reference filter interpreter, over a
// table of filters; the parallel paths (50,000 rows and more, the windows of ids_matching_limit) against the sequential
// ones; ids that cannot be read.
#include <gtest/gtest.h>

#include <random>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/scan/scan.hpp"
#include "live/test_wal_fixture.hpp"
#include "support/filter_reference.hpp"

using namespace durable_test;
using index::IvfIndex;
using predicate::Predicate;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;

namespace {

const std::vector<std::string> kMainRows = {
    R"({"n":1,"s":"a","b":true,"mixed":1,"f":1.5})",
    R"({"n":0,"s":"b","b":false,"mixed":"x","f":2.5})",
    R"({"n":-0.0,"s":"a","mixed":2})",
    R"({"n":3,"b":true,"arr":[1,2],"obj":{"a":1}})",
    R"({"n":7.25,"s":"c","mixed":"y","f":-1})",
    R"({"s":"b","b":null,"n":null})",
    R"(null)",
    R"([1,2,3])",
    R"({})",
    R"({"n":-4,"s":"1","mixed":"1","arr":[],"obj":{}})",
    R"({"n":1e300,"s":"a","f":2.5,"skipme":5})",
    R"({"n":2,"s":"c","b":false,"mixed":3,"f":1.5})",
};

const std::vector<std::string> kFilters = {
    R"({})",
    R"({"n":1})",
    R"({"n":-0.0})",
    R"({"n":{"$eq":3}})",
    R"({"n":{"$gt":2}})",
    R"({"n":{"$gte":1,"$lt":5}})",
    R"({"n":{"$lte":0}})",
    R"({"n":{"$in":[0,2,-0.0,9]}})",
    R"({"n":{"$nin":[1,null]}})",
    R"({"n":{"$ne":3}})",
    R"({"n":{"$ne":null}})",
    R"({"n":null})",
    R"({"n":{"$exists":true}})",
    R"({"n":{"$exists":false}})",
    R"({"n":{"$not":{"$gt":2}}})",
    R"({"s":"a"})",
    R"({"s":"z"})",
    R"({"s":{"$in":["a","b",1,"zz"]}})",
    R"({"s":{"$nin":["a","z"]}})",
    R"({"s":{"$ne":"a"}})",
    R"({"s":{"$gt":"a"}})",
    R"({"b":true})",
    R"({"b":{"$ne":false}})",
    R"({"b":{"$in":[false,null]}})",
    R"({"mixed":1})",
    R"({"mixed":"x"})",
    R"({"mixed":{"$in":[1,"y",3,"q"]}})",
    R"({"mixed":{"$exists":false}})",
    R"({"f":{"$lte":2.5}})",
    R"({"g":"new"})",
    R"({"g":{"$exists":true}})",
    R"({"g":{"$gt":10}})",
    R"({"$or":[{"n":1},{"s":"b"},{"g":"new"}]})",
    R"({"$nor":[{"n":{"$lt":3}}]})",
    R"({"$not":{"s":"a"}})",
    R"({"$and":[{"n":{"$exists":true}},{"s":{"$exists":false}}]})",
    R"({"$and":[{"s":"a"},{"n":{"$gte":0}}]})",
    R"({"missing":null})",
    R"({"missing":1})",
    R"({"missing":{"$nin":[1]}})",
    R"({"skipme":5})",
    R"({"arr":[1,2]})",
    R"({"obj":{"$eq":{"a":1}}})",
    R"({"$or":[]})",
};

json::Value parse(const std::string& t) {
  auto r = json::parse(t);
  EXPECT_TRUE(r.ok()) << t;
  return r.ok() ? *r : json::Value();
}

// The rows of the segment as the writes made them, in slot order.
struct ModelRow {
  std::string id;
  std::string meta;
  bool live = true;
};

class ScanModel : public ::testing::Test {
 protected:
  void SetUp() override {
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(kMainRows.size());
    s.metas = kMainRows;
    s.skip = predicate::SkipSet{"skipme"};
    tandrel_test::write_segment(dir.path(), s);
    ix = must_open(dir.path(), s.skip);
    ASSERT_TRUE(ix);
    ix->durability_interval.store(1000000);
    for (size_t i = 0; i < kMainRows.size(); ++i) rows.push_back({s.ids[i], kMainRows[i]});
  }

  void add_row(const std::string& id, const std::string& meta) {
    ASSERT_TRUE(add(*ix, id, vec_for(rows.size()), meta).ok());
    for (auto& r : rows)
      if (r.id == id) r.live = false;
    rows.push_back({id, json::to_compact(parse(meta))});
  }
  void delete_row(const std::string& id) {
    ASSERT_TRUE(live::delete_logged(*ix, id).ok());
    for (auto& r : rows)
      if (r.id == id) r.live = false;
  }

  // The model's matching ids for a filter, or none when it does not compile.
  std::optional<std::vector<std::string>> expected(const std::string& filter) {
    const auto fields = ix->locks().live_schema.read()->value_or(ix->manifest.fields);
    predicate::SchemaRef ref;
    ref.fields = &fields;
    ref.skip = ix->skip ? &*ix->skip : nullptr;
    ref.typed_keys = true;
    const json::Value fj = parse(filter);
    if (!tandrel_test::reference_eval(ref, fj, nullptr)) return std::nullopt;
    std::vector<std::string> out;
    for (const auto& r : rows) {
      if (!r.live) continue;
      const json::Value row = parse(r.meta);
      if (*tandrel_test::reference_eval(ref, fj, &row)) out.push_back(r.id);
    }
    return out;
  }

  void check_all_filters() {
    for (const std::string& f : kFilters) {
      SCOPED_TRACE(f);
      auto want = expected(f);
      auto compiled = ix->compile_filter_cached(f);
      ASSERT_EQ(compiled.ok(), want.has_value());
      if (!want) continue;
      const Predicate* p = compiled->get();
      EXPECT_EQ(scan::ids_matching(*ix, p), *want);
      EXPECT_EQ(scan::count_matching(*ix, p), want->size());
      EXPECT_EQ(scan::exists_matching(*ix, p), !want->empty());
      for (uint64_t limit : {uint64_t{0}, uint64_t{1}, uint64_t{3}, uint64_t{12}, uint64_t{13}, uint64_t{1000},
                             ~uint64_t{0}}) {
        std::vector<std::string> first(want->begin(), want->begin() + std::min<uint64_t>(limit, want->size()));
        EXPECT_EQ(scan::ids_matching_limit(*ix, p, limit), first) << "limit " << limit;
      }
    }
  }

  TempDir dir;
  std::shared_ptr<IvfIndex> ix;
  std::vector<ModelRow> rows;
};

}  // namespace

TEST_F(ScanModel, MainRowsOnly) { check_all_filters(); }

TEST_F(ScanModel, AfterUpsertsDeletesAndSchemaGrowth) {
  add_row("d0", R"({"n":5,"s":"a","g":"new"})");
  add_row("id3", R"({"n":9,"s":"z","mixed":"q"})");  // upsert of a main row, new dictionary key
  add_row("d1", R"({"g":11,"b":true})");               // g becomes numeric as well
  add_row("d2", R"(null)");
  add_row("d3", R"({"s":"b","f":2.5,"skipme":5})");
  delete_row("id1");
  delete_row("d2");
  add_row("d0", R"({"n":1,"g":"new"})");  // upsert of a delta row
  add_row("id7", R"({"arr":[1,2]})");
  check_all_filters();
}

TEST_F(ScanModel, NoFilterCountsEveryLiveRow) {
  add_row("x", R"({"n":1})");
  delete_row("id0");
  delete_row("id11");
  EXPECT_EQ(scan::count_matching(*ix, nullptr), ix->live_count());
  EXPECT_EQ(scan::ids_matching(*ix, nullptr).back(), "x");
  EXPECT_EQ(scan::ids_matching(*ix, nullptr).front(), "id1");
  for (size_t i = 0; i < kMainRows.size(); ++i) delete_row("id" + std::to_string(i));
  delete_row("x");
  EXPECT_EQ(scan::count_matching(*ix, nullptr), 0u);
  EXPECT_FALSE(scan::exists_matching(*ix, nullptr));
  EXPECT_TRUE(scan::ids_matching(*ix, nullptr).empty());
}

TEST(Scan, EmptySegment) {
  TempDir dir;
  SegmentSpec s;
  tandrel_test::write_segment(dir.path(), s);
  auto ix = must_open(dir.path());
  ASSERT_TRUE(ix);
  EXPECT_TRUE(scan::ids_matching(*ix, nullptr).empty());
  EXPECT_EQ(scan::count_matching(*ix, nullptr), 0u);
  EXPECT_FALSE(scan::exists_matching(*ix, nullptr));
  EXPECT_TRUE(scan::ids_matching_limit(*ix, nullptr, 5).empty());
}

TEST(Scan, UnreadableMainIdIsListedAsEmptyAndCounted) {
  TempDir dir;
  SegmentSpec s;
  s.ids = {"a", "b", "c"};
  s.metas = {R"({"k":1})", R"({"k":2})", R"({"k":3})"};
  s.crcs = false;
  s.idhash = false;
  tandrel_test::write_segment(dir.path(), s);
  // ids.bin holds "abc"; turn the middle byte into a lone continuation byte.
  auto bytes = tandrel_test::read_all(dir.file("ids.bin"));
  ASSERT_EQ(bytes.size(), 3u);
  bytes[1] = 0x80;
  tandrel_test::write_all(dir.file("ids.bin"), bytes);
  auto ix = must_open(dir.path());
  ASSERT_TRUE(ix);
  EXPECT_EQ(scan::ids_matching(*ix, nullptr), (std::vector<std::string>{"a", "", "c"}));
  EXPECT_EQ(scan::ids_matching_limit(*ix, nullptr, 2), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(scan::count_matching(*ix, nullptr), 3u);
}

// Large segments: the parallel main part (from 50,000 rows), the exists probe and the limit
// windows give exactly what the sequential per-row model gives.
TEST(ScanLarge, ParallelPathsEqualTheRowByRowModel) {
  for (size_t n : {size_t{49999}, size_t{50000}, size_t{54096}, size_t{430001}}) {
    SCOPED_TRACE(n);
    TempDir dir;
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(n);
    s.metas.reserve(n);
    for (size_t i = 0; i < n; ++i)
      s.metas.push_back("{\"k\":" + std::to_string(i % 1000) + ",\"c\":\"" + std::string(1, 'a' + i % 7) + "\"}");
    s.crcs = false;
    tandrel_test::write_segment(dir.path(), s);
    auto ix = must_open(dir.path());
    ASSERT_TRUE(ix);
    ix->durability_interval.store(1000000);
    // Tombstones spread over the range, and a few delta rows.
    for (size_t i = 0; i < n; i += 997) ASSERT_TRUE(live::delete_logged(*ix, s.ids[i]).ok());
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(add(*ix, "d" + std::to_string(i), vec_for(i), R"({"k":999,"c":"a"})").ok());

    for (const char* f : {R"({"k":999})", R"({"c":"b","k":{"$lt":500}})", R"({"k":{"$gte":0}})", R"({"k":-1})"}) {
      SCOPED_TRACE(f);
      auto p = ix->compile_filter_cached(f);
      ASSERT_TRUE(p.ok());
      std::vector<std::string> want;
      {
        auto tomb = ix->locks().tombstones.read();
        auto d = ix->locks().delta.read();
        for (uint32_t slot = 0; slot < n; ++slot)
          if (!tomb->contains(slot) && ix->passes_main(**p, slot)) want.push_back(s.ids[slot]);
        for (uint32_t i = 0; i < d->rows(); ++i)
          if (!tomb->contains(static_cast<uint32_t>(n + i)) && IvfIndex::passes_delta(*d, **p, i))
            want.push_back(d->ids[i]);
      }
      for (size_t threads : {size_t{1}, size_t{4}}) {
        parallel::with_threads(threads, [&] {
          EXPECT_EQ(scan::ids_matching(*ix, p->get()), want);
          EXPECT_EQ(scan::count_matching(*ix, p->get()), want.size());
          EXPECT_EQ(scan::exists_matching(*ix, p->get()), !want.empty());
          for (uint64_t limit : {uint64_t{1}, uint64_t{150}, uint64_t{want.size() / 2 + 1}, uint64_t{want.size()},
                                 uint64_t{want.size() + 1}}) {
            std::vector<std::string> first(want.begin(), want.begin() + std::min<uint64_t>(limit, want.size()));
            EXPECT_EQ(scan::ids_matching_limit(*ix, p->get(), limit), first) << "limit " << limit;
          }
        });
      }
    }
  }
}
