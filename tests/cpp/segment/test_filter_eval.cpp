// Filters on the rows of an open segment: main rows (mapped column files) and delta rows
// evaluated against the reference interpreter, the absent-column and -0 edge cases, and
// the rules of the compiled-filter cache.
#include <gtest/gtest.h>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "support/filter_reference.hpp"
#include "support/segment_fixture.hpp"

using namespace ivf_rabitq;
using index::IvfIndex;
using predicate::Predicate;
using tandrel_test::SegmentSpec;
using tandrel_test::TempDir;

namespace {

const std::vector<std::string> kRows = {
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
    R"({"n":0})",
    R"({"n":-0.0})",
    R"({"n":{"$gt":2}})",
    R"({"n":{"$gte":1,"$lt":5}})",
    R"({"n":{"$in":[0,2,-0.0]}})",
    R"({"n":{"$nin":[1,null]}})",
    R"({"n":{"$nin":[]}})",
    R"({"n":{"$ne":3}})",
    R"({"n":{"$ne":null}})",
    R"({"n":null})",
    R"({"n":{"$exists":true}})",
    R"({"n":{"$exists":0}})",
    R"({"n":{"$not":{"$gt":2}}})",
    R"({"s":"a"})",
    R"({"s":{"$in":["a","b",1,"zz"]}})",
    R"({"s":{"$ne":"a"}})",
    R"({"s":{"$gt":"a"}})",
    R"({"s":1})",
    R"({"b":true})",
    R"({"b":{"$ne":false}})",
    R"({"b":{"$in":[false,null]}})",
    R"({"mixed":1})",
    R"({"mixed":"x"})",
    R"({"mixed":{"$in":[1,"y",3]}})",
    R"({"mixed":{"$exists":false}})",
    R"({"f":{"$lte":2.5}})",
    R"({"f":{"$in":[1.5,-1]}})",
    R"({"$or":[{"n":1},{"s":"b"}]})",
    R"({"$nor":[{"n":{"$lt":3}}]})",
    R"({"$not":{"s":"a"}})",
    R"({"$and":[{"n":{"$exists":true}},{"s":{"$exists":false}}]})",
    R"({"missing":null})",
    R"({"missing":1})",
    R"({"missing":{"$nin":[1]}})",
    R"({"skipme":5})",
    R"({"$not":{"skipme":5}})",
    R"({"arr":{"$exists":true}})",
    R"({"obj":{"$eq":{"a":1}}})",
    R"({"arr":[1,2]})",
    R"({"n":{"$foo":1}})",
    R"({"$or":[]})",
    R"({"$where":1})",
    R"({"n":{}})",
};

json::Value parse(const std::string& t) {
  auto r = json::parse(t);
  EXPECT_TRUE(r.ok()) << t;
  return r.ok() ? *r : json::Value();
}

std::shared_ptr<IvfIndex> open_ok(const std::string& dir, std::optional<predicate::SkipSet> skip = std::nullopt) {
  auto r = IvfIndex::open_with_skip(dir, std::move(skip));
  EXPECT_TRUE(r.ok()) << r.error().text();
  return r.ok() ? *r : nullptr;
}

SegmentSpec spec_with_rows() {
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(kRows.size());
  s.metas = kRows;
  s.skip = predicate::SkipSet{"skipme"};
  // Delta rows repeat main rows in another order (every value is in the dictionaries).
  std::vector<std::string> dids, dmetas;
  for (size_t i = 0; i < kRows.size(); ++i) {
    dids.push_back("d" + std::to_string(i));
    dmetas.push_back(kRows[(i * 5 + 3) % kRows.size()]);
  }
  s.delta = tandrel_test::make_delta(s, dids, dmetas);
  return s;
}

}  // namespace

TEST(FilterEval, MainAndDeltaRowsMatchTheReference) {
  TempDir d;
  const SegmentSpec s = spec_with_rows();
  tandrel_test::write_segment(d.path(), s);
  auto ix = open_ok(d.path(), s.skip);
  ASSERT_TRUE(ix);
  ASSERT_EQ(ix->num_bins.size(), 3u);  // f, mixed, n
  predicate::SchemaRef ref;
  ref.fields = &ix->manifest.fields;
  ref.skip = &*ix->skip;
  ref.typed_keys = true;
  auto delta = ix->locks().delta.read();
  for (const std::string& f : kFilters) {
    SCOPED_TRACE(f);
    const json::Value fj = parse(f);
    auto compiled = ix->compile_filter_cached(f);
    const auto first_row = tandrel_test::reference_eval(ref, fj, nullptr);
    ASSERT_EQ(compiled.ok(), first_row.has_value()) << (compiled.ok() ? "" : compiled.error().text);
    if (!compiled.ok()) continue;
    const Predicate& p = **compiled;
    for (size_t r = 0; r < kRows.size(); ++r) {
      const json::Value row = parse(kRows[r]);
      EXPECT_EQ(ix->passes_main(p, static_cast<uint32_t>(r)), *tandrel_test::reference_eval(ref, fj, &row))
          << "main row " << kRows[r];
    }
    for (size_t r = 0; r < delta->rows(); ++r) {
      const json::Value row = parse(delta->meta[r]);
      EXPECT_EQ(IvfIndex::passes_delta(*delta, p, static_cast<uint32_t>(r)),
                *tandrel_test::reference_eval(ref, fj, &row))
          << "delta row " << delta->meta[r];
    }
  }
}

TEST(FilterEval, ColumnsMainRowsDoNotHaveAndNegativeZero) {
  TempDir d;
  SegmentSpec s;
  s.ids = tandrel_test::make_ids(3);
  s.metas = {R"({"n":-0.0})", R"({"n":0.0})", R"({"n":1})"};
  tandrel_test::write_segment(d.path(), s);
  auto ix = open_ok(d.path());
  ASSERT_TRUE(ix);
  // Column 5 exists only for delta rows (grown schema): every main row reads it as absent.
  for (uint32_t slot = 0; slot < 3; ++slot) {
    EXPECT_TRUE(ix->passes_main(Predicate::exists(5, true, false), slot));
    EXPECT_FALSE(ix->passes_main(Predicate::exists(5, true, true), slot));
    EXPECT_TRUE(ix->passes_main(Predicate::num_cmp(5, predicate::CmpOp::Ne, 1.0), slot));
    EXPECT_FALSE(ix->passes_main(Predicate::num_cmp(5, predicate::CmpOp::Eq, 1.0), slot));
    EXPECT_FALSE(ix->passes_main(Predicate::num_cmp(5, predicate::CmpOp::Lt, 1e308), slot));
    EXPECT_TRUE(ix->passes_main(Predicate::str_ne(5, 0), slot));
    EXPECT_FALSE(ix->passes_main(Predicate::str_eq(5, 0), slot));
    EXPECT_TRUE(ix->passes_main(Predicate::make_and({}), slot));
    EXPECT_FALSE(ix->passes_main(Predicate::make_or({}), slot));
    EXPECT_TRUE(ix->passes_main(Predicate::make_not(Predicate::make_or({})), slot));
  }
  // -0 equals 0 for Eq and for In.
  auto eq0 = ix->compile_filter_cached(R"({"n":0})");
  auto in0 = ix->compile_filter_cached(R"({"n":{"$in":[0]}})");
  ASSERT_TRUE(eq0.ok() && in0.ok());
  for (uint32_t slot : {0u, 1u}) {
    EXPECT_TRUE(ix->passes_main(**eq0, slot));
    EXPECT_TRUE(ix->passes_main(**in0, slot));
  }
  EXPECT_FALSE(ix->passes_main(**eq0, 2));
  // A delta row with more columns than the main segment has files.
  storage::Delta delta;
  delta.num_cols = {{0.0}, {2.0}, {3.0}, {4.0}, {5.0}, {1.0}};
  EXPECT_TRUE(IvfIndex::passes_delta(delta, Predicate::num_cmp(5, predicate::CmpOp::Eq, 1.0), 0));
  EXPECT_TRUE(IvfIndex::passes_delta(delta, Predicate::exists(6, true, false), 0));
  EXPECT_TRUE(IvfIndex::passes_delta(delta, Predicate::exists(0, false, false), 0));
}

// ---------------------------------------------------------------------------------------
// Compiled-filter cache
// ---------------------------------------------------------------------------------------

namespace {

struct CacheFixture {
  TempDir d;
  std::shared_ptr<IvfIndex> ix;
  CacheFixture() {
    SegmentSpec s;
    s.ids = tandrel_test::make_ids(2);
    s.metas = {R"({"a":1,"s":"x"})", R"({"a":2})"};
    tandrel_test::write_segment(d.path(), s);
    ix = open_ok(d.path(), predicate::SkipSet{});
  }
  size_t size() const { return ix->locks().filter_cache.lock()->size(); }
  bool holds(const std::string& t) const { return ix->locks().filter_cache.lock()->count(t) != 0; }
};

}  // namespace

TEST(FilterCache, HitsErrorsAndDistinctTexts) {
  CacheFixture c;
  auto a = c.ix->compile_filter_cached(R"({"a":1})");
  auto b = c.ix->compile_filter_cached(R"({"a":1})");
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->get(), b->get());  // the cached pointer itself
  auto spaced = c.ix->compile_filter_cached(R"({ "a" : 1 })");
  ASSERT_TRUE(spaced.ok());
  EXPECT_NE(spaced->get(), a->get());
  EXPECT_EQ(**spaced, **a);
  EXPECT_EQ(c.size(), 2u);

  struct Case {
    std::string text;
    std::string error_prefix;
  };
  const Case errors[] = {
      {"", "bad filter: "},
      {"{", "bad filter: "},
      {"{} x", "bad filter: "},
      {" null", "filter must be an object, got null"},
      {"[1]", "filter must be an object, got an array"},
      {R"({"a":{"$bad":1}})", "unknown operator $bad on field a"},
  };
  for (const auto& e : errors) {
    for (int twice = 0; twice < 2; ++twice) {  // errors are never cached: same answer again
      auto r = c.ix->compile_filter_cached(e.text);
      ASSERT_FALSE(r.ok()) << e.text;
      EXPECT_EQ(r.error().text.rfind(e.error_prefix, 0), 0u) << r.error().text;
    }
  }
  EXPECT_EQ(c.size(), 2u);
  EXPECT_FALSE(c.holds(""));
}

TEST(FilterCache, SixtyFifthTextClearsTheCache) {
  CacheFixture c;
  for (int i = 0; i < 64; ++i) ASSERT_TRUE(c.ix->compile_filter_cached(R"({"a":)" + std::to_string(i) + "}").ok());
  EXPECT_EQ(c.size(), 64u);
  ASSERT_TRUE(c.ix->compile_filter_cached(R"({"a":1})").ok());  // a hit changes nothing
  EXPECT_EQ(c.size(), 64u);
  ASSERT_TRUE(c.ix->compile_filter_cached(R"({"a":64})").ok());
  EXPECT_EQ(c.size(), 1u);
  EXPECT_TRUE(c.holds(R"({"a":64})"));
}

TEST(FilterCache, KeyBytesRule) {
  CacheFixture c;
  const size_t limit = index::kFilterCacheMaxKeyBytes;
  // One text of (almost) the whole budget is cached alone.
  std::string big = "{}" + std::string(limit - 9 - 2, ' ');
  ASSERT_TRUE(c.ix->compile_filter_cached(big).ok());
  EXPECT_EQ(c.size(), 1u);
  // Keys summing to exactly the limit stay together.
  const std::string seven = R"({"a":1})";
  ASSERT_EQ(big.size() + seven.size(), limit - 2);
  ASSERT_TRUE(c.ix->compile_filter_cached(seven).ok());
  const std::string two = "{}";
  ASSERT_TRUE(c.ix->compile_filter_cached(two).ok());
  EXPECT_EQ(c.size(), 3u);  // big + 7 + 2 == limit
  // One byte more clears the cache, which then holds only the new text.
  ASSERT_TRUE(c.ix->compile_filter_cached(" {}").ok());
  EXPECT_EQ(c.size(), 1u);
  EXPECT_TRUE(c.holds(" {}"));
  // A single text longer than the limit is still cached when the cache is empty.
  c.ix->locks().filter_cache.lock()->clear();
  std::string huge = "{}" + std::string(limit, ' ');
  ASSERT_TRUE(c.ix->compile_filter_cached(huge).ok());
  EXPECT_EQ(c.size(), 1u);
}

TEST(FilterCache, SchemaGrowthRecompiles) {
  CacheFixture c;
  const std::string f = R"({"g":5})";
  auto before = c.ix->compile_filter_cached(f);
  ASSERT_TRUE(before.ok());
  EXPECT_EQ((*before)->kind, predicate::PredKind::False);  // no column for g yet
  EXPECT_TRUE(c.holds(f));
  // Growth as the delta does it: grow under the live_schema write lock, release it, then
  // under the cache mutex bump the epoch and empty the cache.
  {
    auto ls = c.ix->locks().live_schema.write();
    std::vector<storage::FieldSchema> grown = c.ix->manifest.fields;
    storage::FieldSchema g;
    g.name = "g";
    g.numeric = true;
    grown.push_back(g);
    *ls = std::move(grown);
  }
  {
    auto cache = c.ix->locks().filter_cache.lock();
    c.ix->schema_epoch.fetch_add(1);
    cache->clear();
  }
  auto after = c.ix->compile_filter_cached(f);
  ASSERT_TRUE(after.ok());
  EXPECT_EQ(**after, Predicate::num_cmp(1, predicate::CmpOp::Eq, 5.0));  // numeric columns: a, g
  storage::Delta delta;
  delta.num_cols = {{2.0}, {5.0}};
  EXPECT_TRUE(IvfIndex::passes_delta(delta, **after, 0));
  EXPECT_FALSE(c.ix->passes_main(**after, 0));
}

TEST(FilterCache, NestingLimit) {
  CacheFixture c;
  auto nested = [](int levels) {
    std::string t = R"({"a":1})";
    for (int i = 0; i < levels; ++i) t = R"({"$and":[)" + t + "]}";
    return t;
  };
  EXPECT_TRUE(c.ix->compile_filter_cached(nested(63)).ok());
  auto r = c.ix->compile_filter_cached(nested(64));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().text.rfind("bad filter: recursion limit exceeded", 0), 0u) << r.error().text;
}
