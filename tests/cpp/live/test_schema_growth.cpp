// Typed schema growth: the growth rules per skip set (none, empty, non-empty), epochs and the
// filter cache, and reopen equivalence: the live schema, the delta's typed columns and
// filter results are the same after a checkpoint and reopen, and after a replay.
#include <gtest/gtest.h>

#include "ivf_rabitq/live/schema_growth.hpp"
#include "ivf_rabitq/storage/codec_records.hpp"
#include "live/test_wal_fixture.hpp"

using namespace durable_test;
using predicate::SkipSet;
using tandrel_test::TempDir;

namespace {

const std::vector<std::string> kFilters = {
    R"({"s":"v1"})",         R"({"s":"new"})",        R"({"n":{"$gt":3}})", R"({"fresh":7})",
    R"({"label":"x"})",      R"({"s":5})",            R"({"label":{"$exists":true}})",
    R"({"secret":"hidden"})", R"({"$or":[{"fresh":{"$lt":0}},{"s":"v2"}]})",
};

// Rows exercising every growth path: new string values, new keys (number and string), a
// number under a name that only has a string entry, a skipped key, non-objects.
const std::vector<std::pair<std::string, std::string>> kRows = {
    {"a", R"({"s":"new","n":4})"},
    {"b", R"({"fresh":7,"label":"x"})"},
    {"c", R"({"s":5})"},
    {"d", R"({"secret":"hidden","fresh":-1})"},
    {"e", "null"},
    {"f", R"([1,2])"},
    {"g", R"({"label":"y","s":"v2"})"},
    {"id3", R"({"s":"new"})"},  // upsert of a main row
};

struct Snapshot {
  std::optional<std::vector<storage::FieldSchema>> live;
  std::vector<uint8_t> delta_bytes;  // the whole delta record, typed columns included
  std::vector<std::vector<uint32_t>> filter_rows;  // per filter: delta rows passing
  bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const IvfIndex& ix) {
  Snapshot s;
  s.live = *ix.locks().live_schema.read();
  auto d = ix.locks().delta.read();
  s.delta_bytes = storage::encode_delta(*d);
  for (const auto& f : kFilters) {
    auto p = ix.compile_filter_cached(f);
    EXPECT_TRUE(p.ok()) << f;
    std::vector<uint32_t> rows;
    if (p.ok())
      for (uint32_t r = 0; r < d->rows(); ++r)
        if (IvfIndex::passes_delta(*d, **p, r)) rows.push_back(r);
    s.filter_rows.push_back(std::move(rows));
  }
  return s;
}

size_t entries(const std::optional<std::vector<storage::FieldSchema>>& live, size_t fallback) {
  return live ? live->size() : fallback;
}

}  // namespace

class SchemaGrowth : public ::testing::TestWithParam<int> {
 protected:
  std::optional<SkipSet> skip() const {
    switch (GetParam()) {
      case 0: return std::nullopt;
      case 1: return SkipSet{};
      default: return SkipSet{"secret"};
    }
  }
};

TEST_P(SchemaGrowth, ReopenEquivalence) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  auto ix = must_open(dir.path(), skip());
  for (const auto& [id, meta] : kRows) ASSERT_TRUE(add(*ix, id, vec_for(id.size()), meta).ok()) << id;
  const Snapshot before = snapshot(*ix);

  // Growth per skip set.
  const size_t main_fields = ix->manifest.fields.size();  // n (numeric), s (string)
  ASSERT_EQ(main_fields, 2u);
  if (GetParam() == 0) {
    // Only new dictionary keys: "new" (and the number 5 keyed into s).
    EXPECT_EQ(entries(before.live, main_fields), 2u);
  } else if (GetParam() == 1) {
    // fresh (numeric), label (string), s numeric (from the number 5), secret (string).
    EXPECT_EQ(entries(before.live, main_fields), 6u);
  } else {
    EXPECT_EQ(entries(before.live, main_fields), 5u);
    for (const auto& f : *before.live) EXPECT_NE(f.name, "secret");
  }

  // Replay only.
  ix.reset();
  {
    auto replayed = must_open(dir.path(), skip());
    EXPECT_EQ(snapshot(*replayed), before);
    ASSERT_TRUE(live::checkpoint(*replayed).ok());
  }
  // Checkpoint + reopen: the columns were cut in delta.bin and are rebuilt from the texts.
  {
    auto body = storage::read_file(dir.file("delta.bin"));
    ASSERT_TRUE(body.ok());
    auto d = storage::decode_delta(std::span<const uint8_t>(body.value()).subspan(8));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d->num_cols.size(), 1u);
    EXPECT_EQ(d->str_cols.size(), 1u);
  }
  auto reopened = must_open(dir.path(), skip());
  EXPECT_EQ(snapshot(*reopened), before);
  // And growth continues from there with the same codes as an uninterrupted index would give.
  ASSERT_TRUE(add(*reopened, "h", vec_for(9), R"({"label":"z","s":"newer"})").ok());
}

INSTANTIATE_TEST_SUITE_P(SkipSets, SchemaGrowth, ::testing::Values(0, 1, 2), [](const auto& info) {
  return std::string(info.param == 0 ? "NoSkipSet" : info.param == 1 ? "EmptySkipSet" : "NonEmptySkipSet");
});

TEST(SchemaGrowthRules, EpochsAndFilterCache) {
  struct Case {
    const char* name;
    std::optional<SkipSet> skip;
    std::string meta;
    uint64_t epoch;        // schema_epoch after the add
    size_t live_entries;   // 0: no live schema
  };
  const std::vector<Case> cases = {
      {"no skip set, unknown key", std::nullopt, R"({"zz":1})", 0, 0},
      {"no skip set, known values", std::nullopt, R"({"s":"v1","n":2})", 0, 0},
      {"no skip set, new string value", std::nullopt, R"({"s":"q"})", 1, 2},
      {"empty skip set, unknown key", SkipSet{}, R"({"zz":1})", 1, 3},
      {"empty skip set, null value", SkipSet{}, R"({"zz":null})", 0, 0},
      {"skipped key", SkipSet{"zz"}, R"({"zz":"a"})", 0, 0},
      {"number under a string name", SkipSet{}, R"({"s":2})", 1, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    tandrel_test::write_segment(dir.path(), small_spec());
    auto ix = must_open(dir.path(), c.skip);
    ASSERT_TRUE(ix->compile_filter_cached(R"({"s":"v1"})").ok());
    ASSERT_FALSE(ix->locks().filter_cache.lock()->empty());
    ASSERT_TRUE(add(*ix, "r", vec_for(1), c.meta).ok());
    EXPECT_EQ(ix->schema_epoch.load(), c.epoch);
    EXPECT_EQ(ix->locks().filter_cache.lock()->empty(), c.epoch != 0);
    auto live = ix->locks().live_schema.read();
    EXPECT_EQ(live->has_value() ? (*live)->size() : 0u, c.live_entries);
  }
}

TEST(SchemaGrowthRules, NumberUnderStringNameAndNewDictionaryCodes) {
  TempDir dir;
  tandrel_test::write_segment(dir.path(), small_spec());
  auto ix = must_open(dir.path(), SkipSet{});
  ASSERT_TRUE(add(*ix, "a", vec_for(1), R"({"s":2})").ok());
  ASSERT_TRUE(add(*ix, "b", vec_for(2), R"({"s":"w"})").ok());
  auto live = ix->locks().live_schema.read();
  ASSERT_TRUE(live->has_value());
  const auto& f = **live;
  ASSERT_EQ(f.size(), 3u);
  EXPECT_EQ(f[2].name, "s");
  EXPECT_TRUE(f[2].numeric);
  const auto& dict = f[1].dict;  // the string column s: v0, v1, v2, then the number key, then "w"
  EXPECT_EQ(dict.size(), 5u);
  EXPECT_EQ(dict.at(predicate::str_key_typed(json::Value(2))), 3u);
  EXPECT_EQ(dict.at("w"), 4u);
  auto d = ix->locks().delta.read();
  ASSERT_EQ(d->num_cols.size(), 2u);
  EXPECT_EQ(d->num_cols[1][0], 2.0);                     // the number goes to the new numeric column
  EXPECT_EQ(d->str_cols[0][0], predicate::kAbsentCode);  // its string code stays absent
  EXPECT_EQ(d->str_cols[0][1], 4u);
  EXPECT_TRUE(std::isnan(d->num_cols[1][1]));
}

TEST(SchemaGrowthRules, RebuildReturnsNoneWhenNothingGrew) {
  auto spec = small_spec();
  TempDir dir;
  spec.delta = tandrel_test::make_delta(spec, {"d0"}, {R"({"s":"v1"})"});
  tandrel_test::write_segment(dir.path(), spec);
  auto ix = must_open(dir.path(), SkipSet{});
  EXPECT_FALSE(ix->locks().live_schema.read()->has_value());
}

TEST(SchemaGrowthRules, RebuildReadsATextWithANulByteAsNull) {
  // A delta row's text is parsed whole: "{...}\0junk" is no object and grows nothing.
  const std::string grown = R"({"s":"grown"})";
  const std::vector<std::pair<std::string, bool>> cases = {
      {grown, true},
      {grown + std::string(1, '\0'), false},
      {grown + std::string("\0junk", 5), false},
  };
  for (const auto& [text, grows] : cases) {
    SCOPED_TRACE(testing::PrintToString(text));
    auto spec = small_spec();
    TempDir dir;
    spec.delta = tandrel_test::make_delta(spec, {"d0"}, {text});
    tandrel_test::write_segment(dir.path(), spec);
    auto ix = must_open(dir.path(), SkipSet{});
    ASSERT_TRUE(ix);
    EXPECT_EQ(ix->locks().live_schema.read()->has_value(), grows);
    auto p = ix->compile_filter_cached(grown);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(IvfIndex::passes_delta(*ix->locks().delta.read(), **p, 0), grows);
  }
}
