// Reads by id: metadata texts (stored, rebuilt from typed columns, "null" answers) with and
// without a budget and its arithmetic; metadata status against callers' texts; presence,
// dequantised vectors and sparse terms; per-value counts of a string column.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "ivf_rabitq/scan/aggregate.hpp"
#include "ivf_rabitq/scan/meta_read.hpp"
#include "ivf_rabitq/scan/meta_status.hpp"
#include "ivf_rabitq/segment/row_readers.hpp"
#include "live/test_wal_fixture.hpp"

using namespace durable_test;
using index::IvfIndex;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;
using Strings = std::vector<std::string>;

namespace {

// Main rows id0..id4 (texts in canonical form, as the writers store them); a delta with d0 (an object), d1 (stored "null") and d2 (text that is
// not JSON); id4 and d0 are then deleted or upserted by the tests as needed.
SegmentSpec meta_spec(bool meta_files) {
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(5);
  s.metas = {R"({"b":true,"n":2,"s":"a"})", R"({"s":"bb"})", "null", R"({"n":-1.5,"x":[1,"a"]})", R"({"n":7})"};
  s.meta_files = meta_files;
  s.delta = tandrel_test::make_delta(s, {"d0", "d1", "d2"}, {R"({"n":1,"s":"a"})", "null", "{not json"});
  return s;
}

std::shared_ptr<IvfIndex> open_spec(TempDir& dir, const SegmentSpec& s) {
  tandrel_test::write_segment(dir.path(), s);
  auto ix = must_open(dir.path(), s.skip);
  if (ix) ix->durability_interval.store(1000000);
  return ix;
}

}  // namespace

TEST(MetaCost, Table) {
  struct Case {
    std::string text;
    size_t cost;
  };
  const Case cases[] = {
      {"", 0},
      {"null", 16},
      {R"({"a":1})", 384},                   // one opener, one colon
      {R"(["a,b"])", 128},                   // the comma is inside a string
      {R"({"a":1,"b":2})", 928},             // 288 + 128 + 2 x 256
      {R"("abc)", 16},                       // unterminated string: 4 x length
      {R"(["\",:{["])", 128},                // escaped quote keeps the string open
      {R"({"k":"a\\"},)", 288 + 128 + 256},  // an escaped backslash ends before the quote
      {std::string(1000, 'x'), 4000},
  };
  for (const auto& c : cases) EXPECT_EQ(scan::metadata_result_cost(c.text), c.cost) << c.text;
}

TEST(MetaRead, StoredAndDeltaTextsAndNulls) {
  TempDir dir;
  auto ix = open_spec(dir, meta_spec(true));
  ASSERT_TRUE(ix);
  ASSERT_TRUE(add(*ix, "id1", vec_for(1), R"({"up":true})").ok());  // upsert
  ASSERT_TRUE(live::delete_logged(*ix, "id4").ok());
  const Strings ids = {"id0", "id1", "id2", "id3", "id4", "d0", "d1", "d2", "nope", "id0"};
  const Strings want = {R"({"b":true,"n":2,"s":"a"})",
                        R"({"up":true})",
                        "null",
                        R"({"n":-1.5,"x":[1,"a"]})",
                        "null",
                        R"({"n":1,"s":"a"})",
                        "null",
                        "null",
                        "null",
                        R"({"b":true,"n":2,"s":"a"})"};
  EXPECT_EQ(scan::get_meta(*ix, ids), want);
  auto lim = scan::get_meta_limited(*ix, ids, SIZE_MAX, false, false);
  ASSERT_TRUE(lim);
  EXPECT_EQ(lim->texts, want);
  EXPECT_EQ(lim->nulls, 5u);
  size_t units = 0;
  for (const auto& t : want)
    if (t != "null") units += scan::metadata_result_cost(t);
  EXPECT_EQ(lim->units, units);
  // Every answer is charged: the exact total fits, one unit less does not.
  auto charged = scan::get_meta_limited(*ix, ids, units + 5 * 16, true, false);
  ASSERT_TRUE(charged);
  EXPECT_EQ(charged->units, units);
  EXPECT_FALSE(scan::get_meta_limited(*ix, ids, units + 5 * 16 - 1, true, false));
  EXPECT_TRUE(scan::get_meta_limited(*ix, ids, units, false, false));
  EXPECT_FALSE(scan::get_meta_limited(*ix, ids, units - 1, false, false));
}

TEST(MetaRead, BudgetEdges) {
  TempDir dir;
  auto ix = open_spec(dir, meta_spec(true));
  ASSERT_TRUE(ix);
  auto empty = scan::get_meta_limited(*ix, {}, 0, true, false);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->texts.empty());
  EXPECT_EQ(empty->units + empty->nulls, 0u);
  const Strings missing = {"x"};
  EXPECT_FALSE(scan::get_meta_limited(*ix, missing, 0, true, false));
  EXPECT_FALSE(scan::get_meta_limited(*ix, missing, 15, true, false));
  auto sixteen = scan::get_meta_limited(*ix, missing, 16, true, false);
  ASSERT_TRUE(sixteen);
  EXPECT_EQ(sixteen->texts, Strings{"null"});
  // Nulls not charged: missing ids and a stored "null" never exhaust the budget.
  const Strings nulls = {"x", "y", "id2", "d1", "x"};
  auto free_nulls = scan::get_meta_limited(*ix, nulls, 0, false, false);
  ASSERT_TRUE(free_nulls);
  EXPECT_EQ(free_nulls->texts, Strings(5, "null"));
  EXPECT_EQ(free_nulls->units, 0u);
  EXPECT_EQ(free_nulls->nulls, 5u);
}

TEST(MetaRead, FastUpperChargesTheBoundWhileItFits) {
  TempDir dir;
  SegmentSpec s;
  s.ids = {"a"};
  s.metas = {R"({"k":1234})"};  // 10 bytes, exact cost 384
  auto ix = open_spec(dir, s);
  ASSERT_TRUE(ix);
  const Strings ids = {"a"};
  auto fits = scan::get_meta_limited(*ix, ids, 2880, false, true);
  ASSERT_TRUE(fits);
  EXPECT_EQ(fits->units, 2880u);
  auto exact = scan::get_meta_limited(*ix, ids, 2879, false, true);
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->units, 384u);
  EXPECT_FALSE(scan::get_meta_limited(*ix, ids, 383, false, true));
  // A later answer can be refused because earlier ones were charged their bound.
  const Strings twice = {"a", "a"};
  EXPECT_TRUE(scan::get_meta_limited(*ix, twice, 768, false, false));
  EXPECT_FALSE(scan::get_meta_limited(*ix, twice, 2880 + 383, false, true));
}

TEST(MetaRead, RebuiltFromTypedColumnsWithoutMetaBin) {
  TempDir dir;
  auto ix = open_spec(dir, meta_spec(false));
  ASSERT_TRUE(ix);
  ASSERT_FALSE(ix->meta_bin);
  const Strings ids = {"id0", "id1", "id2", "id3", "id4", "d0"};
  // Integers read back as floats; keys in byte order; absent values and the untyped array
  // element types are what the columns hold ("x" is a string column of compound keys).
  const Strings want = {R"({"b":true,"n":2.0,"s":"a"})", R"({"s":"bb"})", "{}", R"({"n":-1.5,"x":[1,"a"]})",
                        R"({"n":7.0})", R"({"n":1,"s":"a"})"};
  EXPECT_EQ(scan::get_meta(*ix, ids), want);
  auto lim = scan::get_meta_limited(*ix, ids, SIZE_MAX, true, false);
  ASSERT_TRUE(lim);
  EXPECT_EQ(lim->texts, want);
  EXPECT_EQ(lim->nulls, 0u);
  // The restricted dictionaries' keys are charged against their own copy of the budget:
  // too little for one key refuses the call.
  EXPECT_FALSE(scan::get_meta_limited(*ix, Strings{"id1"}, 1, false, false));
}

TEST(MetaStatus, Table) {
  TempDir dir;
  auto ix = open_spec(dir, meta_spec(true));
  ASSERT_TRUE(ix);
  ASSERT_TRUE(live::delete_logged(*ix, "id4").ok());
  struct Case {
    std::string id, meta;
    uint8_t want;
  };
  const Case cases[] = {
      {"nope", R"({"n":7})", 0},
      {"id4", R"({"n":7})", 0},                        // deleted
      {"id0", R"({ "s":"a", "b":true, "n":2 })", 1},   // other spacing and key order
      {"id0", R"({"n":2.0,"s":"a","b":true})", 2},     // no numeric tolerance with meta.bin
      {"id0", R"({"n":2,"s":"a"})", 2},
      {"id0", "{bad", 2},
      {"nope", "{bad", 0},
      {"id2", R"({})", 0},                             // stored "null"
      {"id2", "null", 1},
      {"d1", " null ", 1},
      {"d0", R"({"n":1,"s":"a"})", 1},
      {"d2", R"({})", 0},                              // stored text is not JSON
      {"id3", R"({"x":[1,"a"],"n":-1.5})", 1},
  };
  std::vector<std::string_view> ids;
  std::vector<std::unique_ptr<scan::CanonMeta>> owned;
  std::vector<const scan::CanonMeta*> metas;
  for (const auto& c : cases) {
    ids.push_back(c.id);
    owned.push_back(std::make_unique<scan::CanonMeta>(c.meta));
    metas.push_back(owned.back().get());
  }
  const auto got = scan::meta_status(*ix, ids, metas, false);
  ASSERT_EQ(got.size(), std::size(cases));
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], cases[i].want) << cases[i].id << " " << cases[i].meta;
  // Unequal lengths: the shorter wins.
  EXPECT_EQ(scan::meta_status(*ix, std::span(ids).first(3), metas, false).size(), 3u);
  EXPECT_EQ(scan::meta_status(*ix, ids, std::span(metas).first(2), false).size(), 2u);
}

TEST(MetaStatus, RebuiltRowsCompareNumbersAsFloats) {
  TempDir dir;
  SegmentSpec s = meta_spec(false);
  s.ids.push_back("sk");
  s.metas.push_back(R"({"n":3,"skipme":1})");
  s.skip = predicate::SkipSet{"skipme"};
  s.delta.reset();
  auto ix = open_spec(dir, s);
  ASSERT_TRUE(ix);
  const std::vector<std::pair<std::string, std::string>> pairs = {
      {"id4", R"({"n":7})"},                       // 7 against the rebuilt 7.0
      {"id0", R"({"b":true,"n":2,"s":"a"})"},      // same
      {"id0", R"({"b":true,"n":2,"s":"a","z":null})"},  // a null member: objects differ in size
      {"sk", R"({"n":3,"skipme":1})"},             // the skipped field is not in the columns
      {"sk", R"({"n":3.0})"},
      {"id3", R"({"n":-1.5,"x":[1.0,"a"]})"},      // numbers inside arrays too
  };
  const std::vector<uint8_t> want = {1, 1, 2, 2, 1, 1};
  std::vector<std::string_view> ids;
  std::vector<std::unique_ptr<scan::CanonMeta>> owned;
  std::vector<const scan::CanonMeta*> metas;
  for (const auto& [id, m] : pairs) {
    ids.push_back(id);
    owned.push_back(std::make_unique<scan::CanonMeta>(m));
    metas.push_back(owned.back().get());
  }
  EXPECT_EQ(scan::meta_status(*ix, ids, metas, true), want);
}

TEST(MetaStatus, ParallelChunksGiveTheSameStatuses) {
  TempDir dir;
  auto ix = open_spec(dir, meta_spec(true));
  ASSERT_TRUE(ix);
  const Strings pool = {"id0", "id1", "id2", "id3", "nope", "d0", "d1", "d2"};
  const Strings texts = {R"({"n":2,"s":"a","b":true})", R"({"s":"bb"})", "null", "{}", "[]", R"({"s":"a","n":1})"};
  for (size_t m : {size_t{255}, size_t{256}, size_t{1000}}) {
    std::vector<std::string_view> ids;
    std::vector<std::unique_ptr<scan::CanonMeta>> owned;
    std::vector<const scan::CanonMeta*> metas;
    for (size_t i = 0; i < m; ++i) {
      ids.push_back(pool[(i * 7) % pool.size()]);
      owned.push_back(std::make_unique<scan::CanonMeta>(texts[(i * 5) % texts.size()]));
      metas.push_back(owned.back().get());
    }
    EXPECT_EQ(scan::meta_status(*ix, ids, metas, true), scan::meta_status(*ix, ids, metas, false)) << m;
  }
}

TEST(MetaStatus, CanonicalFormIsComputedOnceForAllThreads) {
  const std::string text = R"({"b":[1, 2.5], "a":"x"})";
  scan::CanonMeta c(text);
  std::vector<const std::string*> seen(8);
  std::vector<std::thread> ts;
  for (size_t t = 0; t < seen.size(); ++t) ts.emplace_back([&, t] { seen[t] = &*c.get(); });
  for (auto& t : ts) t.join();
  for (auto* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_EQ(*c.get(), R"({"a":"x","b":[1,2.5]})");
  EXPECT_FALSE(scan::CanonMeta("{").get());
}

TEST(JsonEqNumeric, Table) {
  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {"3", "3.0", true},        {"0", "-0.0", true},          {"[1,2]", "[1.0,2]", true},
      {"[1,2]", "[2,1]", false}, {R"({"a":1})", R"({"a":1.0})", true},
      {R"({"a":1})", R"({"a":1,"b":2})", false},              {"1", "\"1\"", false},
      {"null", "null", true},    {"true", "1", false},          {R"({"a":[{"b":4}]})", R"({"a":[{"b":4.0}]})", true},
  };
  for (const auto& [a, b, want] : cases)
    EXPECT_EQ(scan::json_eq_numeric(*json::parse(a), *json::parse(b)), want) << a << " vs " << b;
}

TEST(RowReaders, HasIdsFollowsAddsDeletesAndUpserts) {
  TempDir dir;
  auto ix = open_spec(dir, meta_spec(true));
  ASSERT_TRUE(ix);
  ASSERT_TRUE(live::delete_logged(*ix, "id1").ok());
  ASSERT_TRUE(live::delete_logged(*ix, "d0").ok());
  ASSERT_TRUE(add(*ix, "new", vec_for(3)).ok());
  ASSERT_TRUE(add(*ix, "id1", vec_for(4)).ok());  // re-added after its delete
  const Strings ids = {"id0", "id1", "d0", "d1", "new", "nope", "id0"};
  EXPECT_EQ(segment::has_ids(*ix, ids), (std::vector<bool>{true, true, false, true, true, false, true}));
  EXPECT_TRUE(segment::has_ids(*ix, {}).empty());
}

TEST(RowReaders, VectorsAreTheDequantisedInt8Copy) {
  TempDir dir;
  SegmentSpec s;
  s.dim = 4;
  s.ids = {"a", "b"};
  s.quant_scale = 0.5f;
  s.crcs = false;
  storage::Delta d = tandrel_test::make_delta(s, {"z0", "z1", "z2"});
  const uint8_t delta_rows[3][5] = {{128, 255, 0, 1, 0}, {255, 128, 0, 200, 1}, {255, 0, 128, 64, 131}};
  for (size_t r = 0; r < 3; ++r) std::memcpy(d.rerank.data() + r * 5, delta_rows[r], 5);
  s.delta = d;
  tandrel_test::write_segment(dir.path(), s);
  const std::vector<uint8_t> orig = {128, 255, 0, 64, 255, 255, 1, 128};
  tandrel_test::write_all(dir.file("orig.bin"), orig);
  auto os = tandrel_test::read_all(dir.file("origscale.bin"));
  os[4] = 130;  // row a: 2^2
  os[12] = 1;   // row b: 2^-126, like 2
  tandrel_test::write_all(dir.file("origscale.bin"), os);
  auto ix = must_open(dir.path());
  ASSERT_TRUE(ix);

  auto deq = [](uint8_t c, float scale) { return ((static_cast<float>(c) - 128.0f) / 127.0f) * scale; };
  const float tiny = std::ldexp(1.0f, -126);
  const auto got = segment::get_vectors(*ix, Strings{"a", "b", "z0", "z1", "z2", "nope"});
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(got[0], (std::vector<float>{0.0f, 4.0f, -128.0f / 127.0f * 4.0f, deq(64, 4.0f)}));
  EXPECT_EQ(got[1], (std::vector<float>{tiny, tiny, deq(1, tiny), 0.0f}));
  EXPECT_EQ(got[2], (std::vector<float>{0.0f, 0.5f, deq(0, 0.5f), deq(1, 0.5f)}));  // exponent 0: quant_scale
  EXPECT_EQ(got[3], (std::vector<float>{tiny, 0.0f, deq(0, tiny), deq(200, tiny)}));
  EXPECT_EQ(got[4], (std::vector<float>{8.0f, deq(0, 8.0f), 0.0f, deq(64, 8.0f)}));
  EXPECT_TRUE(got[5].empty());

  // Without origscale.bin every main row uses quant_scale.
  TempDir dir2;
  s.origscale = false;
  s.delta.reset();
  tandrel_test::write_segment(dir2.path(), s);
  tandrel_test::write_all(dir2.file("orig.bin"), orig);
  auto ix2 = must_open(dir2.path());
  ASSERT_TRUE(ix2);
  EXPECT_EQ(segment::get_vectors(*ix2, Strings{"a"})[0], (std::vector<float>{0.0f, 0.5f, -128.0f / 127.0f * 0.5f,
                                                                            deq(64, 0.5f)}));
}

TEST(RowReaders, SparseTermsOfMainAndDeltaRows) {
  TempDir dir;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(4);
  s.sparse = {{{7, 1.5f}, {3, 0.25f}}, {}, {{3, 2.0f}}, {{9, -1.0f}, {7, 0.5f}}};
  auto ix = open_spec(dir, s);
  ASSERT_TRUE(ix);
  ASSERT_TRUE(add(*ix, "dz", vec_for(1), "null", {{11, 1.0f}, {2, 3.0f}}).ok());
  ASSERT_TRUE(live::delete_logged(*ix, "id2").ok());
  auto sorted = [](storage::SparsePairs p) {
    std::sort(p.begin(), p.end());
    return p;
  };
  Strings ids = {"id0", "id1", "id2", "id3", "dz", "nope", "id0"};
  const auto few = segment::get_sparse(*ix, ids);
  ASSERT_EQ(few.size(), ids.size());
  EXPECT_EQ(sorted(few[0]), (storage::SparsePairs{{3, 0.25f}, {7, 1.5f}}));
  EXPECT_TRUE(few[1].empty());
  EXPECT_TRUE(few[2].empty());  // deleted
  EXPECT_EQ(sorted(few[3]), (storage::SparsePairs{{7, 0.5f}, {9, -1.0f}}));
  EXPECT_EQ(few[4], (storage::SparsePairs{{11, 1.0f}, {2, 3.0f}}));  // order of the add
  EXPECT_TRUE(few[5].empty());
  EXPECT_EQ(few[6], few[0]);
  // 64 ids or more invert every posting: the same pairs in the same order.
  Strings many = ids;
  while (many.size() < segment::kSparseInvertAllIds) many.push_back("pad");
  const auto all = segment::get_sparse(*ix, many);
  for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(all[i], few[i]) << ids[i];
}

TEST(Aggregate, CountsClaimsAndNone) {
  TempDir dir;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(7);
  s.metas = {R"({"c":"red","k":1,"mixed":1})", R"({"c":"blue","mixed":"x"})", R"({"c":"red"})", R"({"k":2})",
             R"({"c":true})", R"({"c":"true"})", R"({"c":"red","sk":"a"})"};
  s.skip = predicate::SkipSet{"sk"};
  auto ix = open_spec(dir, s);
  ASSERT_TRUE(ix);
  ASSERT_TRUE(live::delete_logged(*ix, "id2").ok());
  ASSERT_TRUE(add(*ix, "d0", vec_for(1), R"({"c":"red","g":"new"})").ok());
  ASSERT_TRUE(add(*ix, "d1", vec_for(2), R"({"g":"new"})").ok());

  const Strings ids = {"id0", "id1", "id2", "id3", "nope", "id4", "id5", "id6", "d0", "id0", "d1"};
  auto agg = scan::aggregate_by_ids(*ix, "c", ids);
  ASSERT_TRUE(agg);
  EXPECT_EQ(agg->counts, (std::unordered_map<std::string, uint64_t>{{"red", 4}, {"blue", 1}, {"true", 2}}));
  EXPECT_EQ(agg->resolved, (std::vector<uint32_t>{0, 1, 3, 5, 6, 7, 8, 9, 10}));
  // A field only delta rows have.
  auto g = scan::aggregate_by_ids(*ix, "g", ids);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->counts, (std::unordered_map<std::string, uint64_t>{{"new", 2}}));
  for (const char* f : {"k", "mixed", "sk", "unknown"}) {
    EXPECT_FALSE(scan::aggregate_by_ids(*ix, f, ids)) << f;
    EXPECT_FALSE(scan::aggregate_by_ids(*ix, f, {})) << f;
  }
  auto none = scan::aggregate_by_ids(*ix, "c", {});
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->counts.empty() && none->resolved.empty());
}

TEST(Aggregate, UntypedKeysBeforeFormat3AreReportedAsStored) {
  TempDir dir;
  SegmentSpec s;
  s.format_version = 2;
  s.ids = tandrel_test::make_ids(3);
  s.metas = {R"({"c":true})", R"({"c":"true"})", R"({"c":[1]})"};
  auto ix = open_spec(dir, s);
  ASSERT_TRUE(ix);
  auto agg = scan::aggregate_by_ids(*ix, "c", s.ids);
  ASSERT_TRUE(agg);
  EXPECT_EQ(agg->counts, (std::unordered_map<std::string, uint64_t>{{"true", 2}, {"[1]", 1}}));
}

// The cost scan skips runs inside strings several bytes at a time: it must count exactly what
// a byte-by-byte walk counts, wherever quotes and escapes fall.
TEST(MetaCost, EqualsAByteByByteWalk) {
  auto plain = [](const std::string& t) {
    size_t commas = 0, openers = 0, colons = 0;
    bool in = false;
    for (size_t i = 0; i < t.size(); ++i) {
      const char c = t[i];
      if (in) {
        if (c == '\\') ++i;
        else if (c == '"') in = false;
      } else if (c == '"') {
        in = true;
      } else if (c == ',') {
        ++commas;
      } else if (c == ':') {
        ++colons;
      } else if (c == '[' || c == '{') {
        ++openers;
      }
    }
    return std::max(4 * t.size(), 288 * commas + 128 * openers + 256 * colons);
  };
  std::mt19937_64 rng(3);
  const char alphabet[] = "\"\\,:[{ab";
  for (int k = 0; k < 5000; ++k) {
    std::string t(rng() % 40, ' ');
    for (auto& c : t) c = rng() % 3 == 0 ? alphabet[rng() % 8] : 'x';
    ASSERT_EQ(scan::metadata_result_cost(t), plain(t)) << t;
  }
}

// Two segments of one column, newest first: the newest segment whose answer is not 0
// decides; a deleted, absent or stored-"null" row passes the id on to the older segment.
TEST(MetaStatus, AcrossSegmentsNewestFirst) {
  TempDir older_dir, newer_dir;
  auto older = open_spec(older_dir, meta_spec(true));
  SegmentSpec ns = meta_spec(true);
  ns.metas = {R"({"s":"new"})", R"({"s":"bb"})", "null", "null", R"({"n":7})"};
  ns.delta.reset();
  auto newer = open_spec(newer_dir, ns);
  ASSERT_TRUE(older && newer);
  ASSERT_TRUE(live::delete_logged(*newer, "id4").ok());
  struct Case {
    std::string id, meta;
    uint8_t want;
  };
  const Case cases[] = {
      {"id0", R"({"b":true,"n":2,"s":"a"})", 2},  // the newer row differs; the older is not asked
      {"id1", R"({"s":"bb"})", 1},
      {"id3", R"({"n":-1.5,"x":[1,"a"]})", 1},    // newer stores null: the older decides
      {"id2", R"({})", 0},                         // null in both
      {"id2", "null", 1},
      {"id4", R"({"n":7})", 1},                    // deleted in the newer
      {"d0", R"({"n":1,"s":"a"})", 1},             // only in the older's delta
      {"nope", "{}", 0},
  };
  std::vector<std::string_view> ids;
  std::vector<std::unique_ptr<scan::CanonMeta>> owned;
  std::vector<const scan::CanonMeta*> metas;
  for (const auto& c : cases) {
    ids.push_back(c.id);
    owned.push_back(std::make_unique<scan::CanonMeta>(c.meta));
    metas.push_back(owned.back().get());
  }
  const IvfIndex* both[] = {newer.get(), older.get()};
  for (bool par : {false, true}) {
    const auto got = scan::meta_status_across(both, ids, metas, par);
    ASSERT_EQ(got.size(), std::size(cases));
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], cases[i].want) << cases[i].id << " " << cases[i].meta;
  }
  EXPECT_EQ(scan::meta_status_across({}, ids, metas, true), std::vector<uint8_t>(ids.size(), 0));
  EXPECT_TRUE(scan::meta_status_across(both, {}, {}, true).empty());
}
