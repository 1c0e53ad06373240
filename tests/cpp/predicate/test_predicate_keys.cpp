// Dictionary keys, their decoding, and the typing of metadata rows into columns.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/predicate/keys.hpp"

namespace json = ivf_rabitq::json;
using namespace ivf_rabitq::predicate;
using ivf_rabitq::storage::FieldSchema;

namespace {

json::Value J(const std::string& text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v.ok()) << text;
  return v.ok() ? *v : json::Value();
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, 8) == 0; }

}  // namespace

TEST(DictKeys, KeyForms) {
  struct Case {
    const char* value;
    std::string typed;
    std::string untyped;
  };
  const Case cases[] = {
      {R"("abc")", "abc", "abc"},
      {R"("")", "", ""},
      {"true", "\x01true", "true"},
      {"false", "\x01" "false", "false"},
      {"null", "\x02null", "null"},
      {"1", "\x03" "1", "1"},
      {"1.0", "\x03" "1.0", "1.0"},
      {"-7", "\x03-7", "-7"},
      {"1e16", "\x03" "1e+16", "1e+16"},
      {"-0.0", "\x03-0.0", "-0.0"},
      {"[1, \"a\", null]", "\x02[1,\"a\",null]", "[1,\"a\",null]"},
      {R"({"b": 1, "a": [true]})", "\x02{\"a\":[true],\"b\":1}", "{\"a\":[true],\"b\":1}"},
      {R"("line\nbreak")", "line\nbreak", "line\nbreak"},
  };
  for (const auto& c : cases) {
    const json::Value v = J(c.value);
    EXPECT_EQ(str_key_typed(v), c.typed) << c.value;
    EXPECT_EQ(str_key(v), c.untyped) << c.value;
    EXPECT_EQ(make_key(v, true), c.typed);
    EXPECT_EQ(make_key(v, false), c.untyped);
  }
}

TEST(DictKeys, Collisions) {
  // Typed keys keep numbers, booleans and strings apart; untyped keys merge them.
  EXPECT_NE(str_key_typed(J("5")), str_key_typed(J("\"5\"")));
  EXPECT_EQ(str_key(J("5")), str_key(J("\"5\"")));
  EXPECT_NE(str_key_typed(J("true")), str_key_typed(J("\"true\"")));
  EXPECT_EQ(str_key(J("true")), str_key(J("\"true\"")));
  EXPECT_EQ(str_key(J("null")), str_key(J("\"null\"")));
  // 1 and 1.0 are distinct keys in both forms.
  EXPECT_NE(str_key_typed(J("1")), str_key_typed(J("1.0")));
  EXPECT_NE(str_key(J("1")), str_key(J("1.0")));
  // A string beginning with a prefix byte collides with the typed value it spells.
  EXPECT_EQ(str_key_typed(J(R"("\u0001true")")), str_key_typed(J("true")));
  EXPECT_EQ(str_key_typed(J(R"("\u00031")")), str_key_typed(J("1")));
  EXPECT_EQ(dict_key_value(str_key_typed(J(R"("\u0001true")"))), J("true"));
}

TEST(DictKeys, DictKeyValue) {
  struct Case {
    std::string key;
    const char* value;  // expected, as compact JSON
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"\x01true", "true"},
      {"\x01" "false", "false"},
      {"\x01yes", "false"},
      {"\x01", "false"},
      {"\x01true ", "false"},
      {"\x02null", "null"},
      {"\x02 [1, {\"a\": 2}] ", "[1,{\"a\":2}]"},
      {"\x03" "1", "1"},
      {"\x03" "1.0", "1.0"},
      {"\x03" "1e+16", "1e+16"},
      {"\x03-0.0", "-0.0"},
      {"\x03" "abc", "\"\\u0003abc\""},
      {"\x02[1", "\"\\u0002[1\""},
      {"\x02", "\"\\u0002\""},
      {"\x03" "1 2", "\"\\u00031 2\""},
      {"\x04x", "\"\\u0004x\""},
  };
  for (const auto& c : cases) EXPECT_EQ(json::to_compact(dict_key_value(c.key)), c.value) << "key " << c.key;
  // Round trip for every value that is not a string beginning with a prefix byte.
  for (const char* t : {"\"s\"", "\"\"", "true", "false", "null", "0", "-3", "2.5", "1e-9", "18446744073709551615",
                        "[]", "{}", R"({"k":[1,2.0,"x"]})"}) {
    const json::Value v = J(t);
    const json::Value back = dict_key_value(str_key_typed(v));
    EXPECT_EQ(json::to_compact(back), json::to_compact(v)) << t;
    EXPECT_EQ(back.type(), v.type()) << t;
  }
}

TEST(TypedColumns, BuildTypingAndResolve) {
  // rows: a field with numbers and strings, one only null, a skipped one, non-object rows.
  const json::Value r0 = J(R"({"kind": 3, "tag": "x", "n": null, "skip": 1})");
  const json::Value r1 = J(R"({"kind": "x", "tag": "y", "flag": true})");
  const json::Value r2 = J(R"({"tag": "x", "kind": 2.5, "arr": [1], "flag": false})");
  const json::Value r3 = J("[1]");
  const json::Value r4 = J("5");
  const SkipSet skip{"skip"};
  TypedTable t = type_rows({&r0, &r1, &r2, &r3, &r4, nullptr}, &skip);
  // Names ascending, numeric before string; "n" (only null) and "skip" get nothing.
  ASSERT_EQ(t.fields.size(), 5u);
  const std::pair<const char*, bool> want[] = {{"arr", false}, {"flag", false}, {"kind", true}, {"kind", false}, {"tag", false}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(t.fields[i].name, want[i].first);
    EXPECT_EQ(t.fields[i].numeric, want[i].second);
  }
  ASSERT_EQ(t.num_cols.size(), 1u);
  ASSERT_EQ(t.str_cols.size(), 4u);
  // kind: 3 -> numeric only (never keyed into its string column), "x" -> string only.
  EXPECT_EQ(t.num_cols[0][0], 3.0);
  EXPECT_TRUE(std::isnan(t.num_cols[0][1]));
  EXPECT_EQ(t.num_cols[0][2], 2.5);
  EXPECT_EQ(t.str_cols[2], (std::vector<uint32_t>{kAbsentCode, 0, kAbsentCode, kAbsentCode, kAbsentCode, kAbsentCode}));
  // tag: first-occurrence codes in input order.
  EXPECT_EQ(t.str_cols[3], (std::vector<uint32_t>{0, 1, 0, kAbsentCode, kAbsentCode, kAbsentCode}));
  EXPECT_EQ(t.fields[4].dict.at("x"), 0u);
  EXPECT_EQ(t.fields[4].dict.at("y"), 1u);
  EXPECT_EQ(t.fields[1].dict.at("\x01true"), 0u);
  EXPECT_EQ(t.fields[1].dict.at("\x01" "false"), 1u);
  EXPECT_EQ(t.fields[0].dict.at("\x02[1]"), 0u);

  // try_resolve agrees with the build's typing on every row.
  for (size_t r = 0; r < 6; ++r) {
    const json::Value* rows[] = {&r0, &r1, &r2, &r3, &r4, nullptr};
    auto row = try_resolve(t.fields, rows[r], true);
    ASSERT_TRUE(row.has_value()) << r;
    ASSERT_EQ(row->num.size(), 1u);
    EXPECT_TRUE(same_bits(row->num[0], t.num_cols[0][r]) || (std::isnan(row->num[0]) && std::isnan(t.num_cols[0][r])));
    for (size_t j = 0; j < 4; ++j) EXPECT_EQ(row->str[j], t.str_cols[j][r]) << r << "," << j;
  }
  // An unknown string value refuses; unknown object keys are ignored; -0.0 and integers as f64.
  EXPECT_FALSE(try_resolve(t.fields, &(const json::Value&)J(R"({"tag": "new"})"), true).has_value());
  auto ok = try_resolve(t.fields, &(const json::Value&)J(R"({"other": "zzz", "kind": -0.0, "tag": null})"), true);
  ASSERT_TRUE(ok.has_value());
  EXPECT_TRUE(same_bits(ok->num[0], -0.0));
  EXPECT_EQ(ok->str[3], kAbsentCode);
  // A number on a name with a numeric entry never reaches its string column, even if unknown.
  auto big = try_resolve(t.fields, &(const json::Value&)J(R"({"kind": 12345})"), true);
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(big->num[0], 12345.0);
}

TEST(TypedColumns, ResolveNumbersIntoStringOnlyColumns) {
  std::vector<FieldSchema> fields = {{"s", false, {{"\x03" "5", 0}, {"5", 1}}}};
  const json::Value five = J(R"({"s": 5})");
  const json::Value five_str = J(R"({"s": "5"})");
  auto a = try_resolve(fields, &five, true);
  auto b = try_resolve(fields, &five_str, true);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->str[0], 0u);
  EXPECT_EQ(b->str[0], 1u);
  // Untyped keys: 5 and "5" share the key "5".
  auto c = try_resolve(fields, &five, false);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->str[0], 1u);
  // An empty dictionary refuses any string value.
  std::vector<FieldSchema> empty = {{"s", false, {}}};
  EXPECT_FALSE(try_resolve(empty, &five_str, true).has_value());
  // Non-object metadata is all absent.
  const json::Value arr = J("[1]");
  auto d = try_resolve(fields, &arr, true);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->str[0], kAbsentCode);
}

TEST(TypedColumns, ReverseDictionaries) {
  std::vector<FieldSchema> fields = {
      {"a", true, {}}, {"b", false, {{"x", 0}, {"\x01true", 1}}}, {"c", false, {{"q", 0}}}};
  auto rev = reverse_dictionaries(fields);
  ASSERT_EQ(rev.size(), 2u);
  EXPECT_EQ(rev[0].at(1), "\x01true");
  EXPECT_EQ(rev[0].at(0), "x");
  EXPECT_EQ(rev[1].at(0), "q");
  EXPECT_EQ(json::to_compact(dict_key_value(rev[0].at(1))), "true");
}

TEST(TypedColumns, IntegerAndFloatLiteralsShareTheNumericColumnButNotTheirKeys) {
  // 1 and 1.0 both read 1.0 in the numeric column; as keys they stay apart.
  const json::Value a = J(R"({"v": 1})");
  const json::Value b = J(R"({"v": 1.0})");
  TypedTable t = type_rows({&a, &b}, nullptr);
  ASSERT_EQ(t.fields.size(), 1u);
  EXPECT_TRUE(t.fields[0].numeric);
  EXPECT_EQ(t.num_cols[0], (std::vector<double>{1.0, 1.0}));
  EXPECT_EQ(str_key_typed(J("1")), std::string("\x03" "1"));
  EXPECT_EQ(str_key_typed(J("1.0")), std::string("\x03" "1.0"));
  // Metadata texts that are not objects type nothing: every value of the row is absent.
  for (const char* text : {"null", "[1]", "5", "\"v\""}) {
    const json::Value v = J(text);
    auto row = try_resolve(t.fields, &v, true);
    ASSERT_TRUE(row.has_value()) << text;
    ASSERT_EQ(row->num.size(), 1u);
    EXPECT_TRUE(std::isnan(row->num[0])) << text;
    TypedTable only = type_rows({&v}, nullptr);
    EXPECT_TRUE(only.fields.empty()) << text;
  }
}
