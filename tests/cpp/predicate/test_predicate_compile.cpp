// Filter compiler: one table of (filter text, schema) -> compiled tree or error text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ivf_rabitq/predicate/compile.hpp"

using namespace ivf_rabitq::predicate;
using ivf_rabitq::storage::FieldSchema;

namespace {

// Typed schema. Column numbers: num a=0, n=1, kept=2; str a=0, s=1, ""=2, t=3.
const std::vector<FieldSchema> kTypedFields = {
    {"a", true, {}},
    {"a", false, {{"x", 0}, {"\x03" "1", 1}}},
    {"n", true, {}},
    {"s", false, {{"x", 0}, {"y", 1}, {"\x01true", 2}, {"\x03" "1", 3}, {"\x02[1]", 4}}},
    {"", false, {{"e", 0}}},
    {"t", false, {}},
    {"kept", true, {}},
    {"a", true, {}},  // a second numeric "a" is never looked at
};
// Untyped-key schema (formats 1 and 2): 5 and "5" share a key, as do true and "true".
// Column numbers: num n=0; str s=0.
const std::vector<FieldSchema> kUntypedFields = {
    {"n", true, {}},
    {"s", false, {{"x", 0}, {"5", 1}, {"true", 2}, {"null", 3}}},
};
const SkipSet kSkip = {"sk", "kept"};
const SkipSet kEmptySkip = {};

struct Schema {
  char id;
  SchemaRef ref;
};
const Schema kSchemas[] = {
    {'T', SchemaRef{&kTypedFields, &kSkip, true}},       // typed keys, skip set
    {'N', SchemaRef{&kTypedFields, nullptr, true}},      // no skip set
    {'E', SchemaRef{&kTypedFields, &kEmptySkip, true}},  // empty skip set
    {'U', SchemaRef{&kUntypedFields, &kSkip, false}},    // untyped keys
};

const SchemaRef& schema(char id) {
  for (const auto& s : kSchemas)
    if (s.id == id) return s.ref;
  std::abort();
}

std::string run(char id, const std::string& text) {
  auto r = compile_filter_text(schema(id), text);
  return r.ok() ? to_string(*r) : "error: " + r.error().text;
}

const char* kCompound = " (compound equality is not supported)";

}  // namespace

TEST(FilterCompiler, Table) {
  struct Case {
    char schema;
    std::string filter;
    std::string want;  // tree, or "error: <text>"
  };
  const std::string scalar_err = " requires a scalar or null operand, got ";
  const std::vector<Case> cases = {
      // Shape of the root.
      {'T', "{}", "And()"},
      {'T', R"({"n": 1})", "NumCmp(1 Eq 1.0)"},
      {'T', R"({"b": 1, "$or": [{"n": 1}], "a": 2})", "And(Or(NumCmp(1 Eq 1.0)),NumCmp(0 Eq 2.0),False)"},
      {'T', R"({"$and": [{"n": 1}]})", "And(NumCmp(1 Eq 1.0))"},
      {'T', R"({"$nor": [{"n": 1}, {"s": "x"}]})", "Not(Or(NumCmp(1 Eq 1.0),StrEq(1 0)))"},
      {'T', R"({"$not": {"n": 1}})", "Not(NumCmp(1 Eq 1.0))"},
      {'T', R"({"n": 1, "n": 2})", "NumCmp(1 Eq 2.0)"},
      // Equality.
      {'T', R"({"a": 1})", "Or(NumCmp(0 Eq 1.0),StrEq(0 1))"},
      {'T', R"({"a": 1.0})", "NumCmp(0 Eq 1.0)"},
      {'T', R"({"a": {"$eq": 1}})", "Or(NumCmp(0 Eq 1.0),StrEq(0 1))"},
      {'T', R"({"a": "x"})", "StrEq(0 0)"},
      {'T', R"({"a": null})", "And(Exists(num 0 false),Exists(str 0 false))"},
      {'T', R"({"s": 1})", "StrEq(1 3)"},
      {'T', R"({"s": "x"})", "StrEq(1 0)"},
      {'T', R"({"s": true})", "StrEq(1 2)"},
      {'T', R"({"s": false})", "False"},
      {'T', R"({"s": "\u0001true"})", "StrEq(1 2)"},
      {'T', R"({"s": null})", "Exists(str 1 false)"},
      {'T', R"({"t": "x"})", "False"},
      {'T', R"({"n": "x"})", "False"},
      {'T', R"({"n": -0.0})", "NumCmp(1 Eq -0.0)"},
      {'T', R"({"n": 18446744073709551615})", "NumCmp(1 Eq 1.8446744073709552e+19)"},
      {'T', R"({"": "e"})", "StrEq(2 0)"},
      {'U', R"({"s": 5})", "StrEq(0 1)"},
      {'U', R"({"s": "5"})", "StrEq(0 1)"},
      {'U', R"({"s": true})", "StrEq(0 2)"},
      {'U', R"({"s": "true"})", "StrEq(0 2)"},
      {'U', R"({"s": null})", "Exists(str 0 false)"},
      {'U', R"({"n": 5})", "NumCmp(0 Eq 5.0)"},
      // $ne.
      {'T', R"({"n": {"$ne": null}})", "Exists(num 1 true)"},
      {'T', R"({"a": {"$ne": null}})", "Or(Exists(num 0 true),Exists(str 0 true))"},
      {'T', R"({"s": {"$ne": "x"}})", "Not(StrEq(1 0))"},
      {'T', R"({"s": {"$ne": "zzz"}})", "Not(False)"},
      {'T', R"({"n": {"$ne": 3}})", "Not(NumCmp(1 Eq 3.0))"},
      // Ranges.
      {'T', R"({"n": {"$gte": 1, "$lt": 5}})", "And(NumCmp(1 Gte 1.0),NumCmp(1 Lt 5.0))"},
      {'T', R"({"n": {"$gt": 1, "$lte": 2.5}})", "And(NumCmp(1 Gt 1.0),NumCmp(1 Lte 2.5))"},
      {'T', R"({"a": {"$gt": 0}})", "NumCmp(0 Gt 0.0)"},
      {'T', R"({"n": {"$gt": "5"}})", "False"},
      {'T', R"({"s": {"$gt": 5}})", "False"},
      {'T', R"({"n": {"$lte": [1]}})", "False"},
      {'T', R"({"n": {"$lt": null}})", "False"},
      // $in / $nin.
      {'T', R"({"n": {"$in": [2, -0.0, 0, 2]}})", "NumIn(1 [0.0,2.0])"},
      {'T', R"({"n": {"$in": [3, -1e300, 0.5, "x", true]}})", "NumIn(1 [-1e+300,0.5,3.0])"},
      {'T', R"({"n": {"$in": []}})", "False"},
      {'T', R"({"n": {"$nin": []}})", "Not(False)"},
      {'T', R"({"n": {"$in": ["x"]}})", "False"},
      {'T', R"({"n": {"$in": [1, null]}})", "Or(NumIn(1 [1.0]),Exists(num 1 false))"},
      {'T', R"({"a": {"$in": [1, "x", "zz", null, "x"]}})",
       "Or(NumIn(0 [1.0]),StrIn(0 [0,1]),And(Exists(num 0 false),Exists(str 0 false)))"},
      {'T', R"({"s": {"$in": ["y", "x", true, 1.0]}})", "StrIn(1 [0,1,2])"},
      {'T', R"({"s": {"$nin": ["x"]}})", "Not(StrIn(1 [0]))"},
      {'T', R"({"s": {"$nin": ["x", null]}})", "Not(Or(StrIn(1 [0]),Exists(str 1 false)))"},
      {'U', R"({"s": {"$in": [5, "5", "x"]}})", "StrIn(0 [0,1])"},
      // $exists truthiness.
      {'T', R"({"n": {"$exists": ""}})", "Exists(num 1 true)"},
      {'T', R"({"n": {"$exists": 0}})", "Exists(num 1 false)"},
      {'T', R"({"n": {"$exists": -0.0}})", "Exists(num 1 false)"},
      {'T', R"({"n": {"$exists": 0.5}})", "Exists(num 1 true)"},
      {'T', R"({"n": {"$exists": []}})", "Exists(num 1 true)"},
      {'T', R"({"n": {"$exists": {}}})", "Exists(num 1 true)"},
      {'T', R"({"n": {"$exists": null}})", "Exists(num 1 false)"},
      {'T', R"({"n": {"$exists": true}})", "Exists(num 1 true)"},
      {'T', R"({"a": {"$exists": false}})", "And(Exists(num 0 false),Exists(str 0 false))"},
      {'T', R"({"a": {"$exists": 1}})", "Or(Exists(num 0 true),Exists(str 0 true))"},
      // Field-level $not.
      {'T', R"({"n": {"$not": {"$gt": 1}}})", "Not(NumCmp(1 Gt 1.0))"},
      {'T', R"({"n": {"$not": 1}})", "Not(NumCmp(1 Eq 1.0))"},
      {'T', R"({"n": {"$not": {"$not": null}}})", "Not(Not(Exists(num 1 false)))"},
      // Skipped fields (no schema entry, in a non-empty skip set) fold by negation.
      {'T', R"({"sk": 1})", "False"},
      {'T', R"({"sk": null})", "False"},
      {'T', R"({"$not": {"sk": 1}})", "Not(True)"},
      {'T', R"({"$nor": [{"sk": 1}]})", "Not(Or(True))"},
      {'T', R"({"$nor": [{"$not": {"sk": 1}}]})", "Not(Or(Not(False)))"},
      {'T', R"({"$not": {"$not": {"sk": 1}}})", "Not(Not(False))"},
      {'T', R"({"sk": {"$bogus": 1}})", "False"},
      {'T', R"({"sk": [1]})", "False"},
      {'T', R"({"sk": {}})", "False"},
      {'T', R"({"sk": {"$not": {"$eq": 1}}})", "False"},
      {'T', R"({"kept": 1})", "NumCmp(2 Eq 1.0)"},
      {'N', R"({"sk": 1})", "False"},
      {'N', R"({"$not": {"sk": 1}})", "Not(False)"},
      {'N', R"({"sk": {"$bogus": 1}})", "error: unknown operator $bogus on field sk"},
      {'E', R"({"$not": {"sk": 1}})", "Not(False)"},
      {'E', R"({"$nor": [{"sk": null}]})", "Not(Or(True))"},
      // Fields without columns fold to constants.
      {'T', R"({"zz": null})", "True"},
      {'T', R"({"zz": 1})", "False"},
      {'T', R"({"zz": "x"})", "False"},
      {'T', R"({"zz": {"$eq": null}})", "True"},
      {'T', R"({"zz": {"$eq": true}})", "False"},
      {'T', R"({"zz": {"$ne": null}})", "False"},
      {'T', R"({"zz": {"$ne": 3}})", "True"},
      {'T', R"({"zz": {"$gt": 1}})", "False"},
      {'T', R"({"zz": {"$lte": [1]}})", "False"},
      {'T', R"({"zz": {"$in": [1]}})", "False"},
      {'T', R"({"zz": {"$in": [1, null]}})", "True"},
      {'T', R"({"zz": {"$nin": [1]}})", "True"},
      {'T', R"({"zz": {"$nin": [null]}})", "False"},
      {'T', R"({"zz": {"$exists": false}})", "True"},
      {'T', R"({"zz": {"$exists": 1}})", "False"},
      {'T', R"({"zz": {"$not": {"$eq": 1}}})", "Not(False)"},
      {'T', R"({"zz": {"$not": null}})", "Not(True)"},
      {'T', R"({"zz": {"$gt": 1, "$exists": false}})", "And(True,False)"},  // "$exists" < "$gt"
      // Errors: the root and the top-level operators.
      {'T', "null", "error: filter must be an object, got null"},
      {'T', " null", "error: filter must be an object, got null"},
      {'T', "[]", "error: filter must be an object, got an array"},
      {'T', "5", "error: filter must be an object, got a number"},
      {'T', "\"s\"", "error: filter must be an object, got a string"},
      {'T', "true", "error: filter must be an object, got a boolean"},
      {'T', R"({"$not": 5})", "error: filter must be an object, got a number"},
      {'T', R"({"$and": [5]})", "error: filter must be an object, got a number"},
      {'T', R"({"$or": [{}, null]})", "error: filter must be an object, got null"},
      {'T', R"({"$and": []})", "error: $and requires a non-empty array"},
      {'T', R"({"$or": []})", "error: $or requires a non-empty array"},
      {'T', R"({"$nor": []})", "error: $nor requires a non-empty array"},
      {'T', R"({"$and": {"x": 1}})", "error: $and requires an array"},
      {'T', R"({"$or": 1})", "error: $or requires an array"},
      {'T', R"({"$nor": null})", "error: $nor requires an array"},
      {'T', R"({"$foo": 1})", "error: unknown top-level operator $foo"},
      {'T', R"({"$": 1})", "error: unknown top-level operator $"},
      {'T', R"({"$sk": 1})", "error: unknown top-level operator $sk"},
      // Errors: field clauses, with columns (a) and without (zz).
      {'T', R"({"a": [1]})", "error: array equality on field a is not supported"},
      {'T', R"({"zz": [1]})", "error: array equality on field zz is not supported"},
      {'T', R"({"a": {}})", "error: empty operator object on field a"},
      {'T', R"({"zz": {}})", "error: empty operator object on field zz"},
      {'T', R"({"a": {"$not": [1]}})", "error: array equality on field a is not supported"},
      {'T', R"({"a": {"$not": {}}})", "error: empty operator object on field a"},
      {'T', R"({"zz": {"$not": {}}})", "error: empty operator object on field zz"},
      {'T', R"({"a": {"$eq": [1]}})", "error: equality on field a" + scalar_err + "an array" + kCompound},
      {'T', R"({"zz": {"$eq": [1]}})", "error: $eq on field zz" + scalar_err + "an array" + kCompound},
      {'T', R"({"a": {"$ne": {}}})", "error: $ne on field a" + scalar_err + "an object" + kCompound},
      {'T', R"({"zz": {"$ne": {"k": 1}}})", "error: $ne on field zz" + scalar_err + "an object" + kCompound},
      {'T', R"({"a": {"$in": [[1]]}})", "error: $in on field a" + scalar_err + "an array" + kCompound},
      {'T', R"({"a": {"$nin": [1, {}]}})", "error: $nin on field a" + scalar_err + "an object" + kCompound},
      {'T', R"({"zz": {"$in": [null, [1]]}})", "error: $in/$nin on field zz" + scalar_err + "an array" + kCompound},
      {'T', R"({"zz": {"$nin": [{}]}})", "error: $in/$nin on field zz" + scalar_err + "an object" + kCompound},
      {'T', R"({"a": {"$in": [null, [1]]}})", "error: $in on field a" + scalar_err + "an array" + kCompound},
      {'T', R"({"a": {"$in": 5}})", "error: $in requires an array on field a"},
      {'T', R"({"a": {"$nin": "x"}})", "error: $nin requires an array on field a"},
      {'T', R"({"a": {"$in": null}})", "error: $in requires an array on field a"},
      {'T', R"({"zz": {"$in": 5}})", "error: $in/$nin requires an array on field zz"},
      {'T', R"({"zz": {"$nin": {}}})", "error: $in/$nin requires an array on field zz"},
      {'T', R"({"a": {"$foo": 1}})", "error: unknown operator $foo on field a"},
      {'T', R"({"a": {"foo": 1}})", "error: unknown operator foo on field a"},
      {'T', R"({"zz": {"foo": 1}})", "error: unknown operator foo on field zz"},
      {'T', R"({"": {"x": 1}})", "error: unknown operator x on field "},
      {'T', R"({"a": {"$eq": {}}})", "error: equality on field a" + scalar_err + "an object" + kCompound},
      {'T', R"({"s": [1]})", "error: array equality on field s is not supported"},
      // The first error in key order wins.
      {'T', R"({"b": {"$x": 1}, "a": {"$y": 1}})", "error: unknown operator $y on field a"},
      {'T', R"({"a": {"$gt": 1, "$bad": 1}})", "error: unknown operator $bad on field a"},
      {'T', R"({"a": {"$in": 5, "$eq": [1]}})", "error: equality on field a" + scalar_err + "an array" + kCompound},
      {'T', R"({"n": 1, "$and": [], "a": {"$x": 1}})", "error: $and requires a non-empty array"},
      {'T', R"({"a": {"$x": 1}, "b": [1]})", "error: unknown operator $x on field a"},
      {'T', R"({"$or": [{"n": 1}, {"a": []}], "$and": [{"a": {}}]})", "error: empty operator object on field a"},
      {'T', R"({"$zz": 1, "$and": 5})", "error: $and requires an array"},
      {'T', R"({"sk": {"$bad": 1}, "zz": {"$bad": 1}})", "error: unknown operator $bad on field zz"},
      // Parse failures.
      {'T', "", "error: bad filter: syntax error while parsing value - unexpected end of input; expected '[', '{', or a literal at line 1 column 1"},
      {'T', "{\"n\": 1", "error: bad filter: syntax error while parsing object - unexpected end of input; expected '}' at line 1 column 8"},
  };
  for (const auto& c : cases) EXPECT_EQ(run(c.schema, c.filter), c.want) << "schema " << c.schema << ": " << c.filter;
}

TEST(FilterCompiler, NestingDepth) {
  auto nest = [](int levels) {
    std::string s;
    for (int i = 0; i < levels; ++i) s += R"({"$and":[)";
    s += R"({"n":1})";
    for (int i = 0; i < levels; ++i) s += "]}";
    return s;
  };
  auto ok = compile_filter_text(schema('T'), nest(63));
  ASSERT_TRUE(ok.ok()) << ok.error().text;
  const Predicate* p = &*ok;
  for (int i = 0; i < 63; ++i) {
    ASSERT_EQ(p->kind, PredKind::And);
    ASSERT_EQ(p->children.size(), 1u);
    p = &p->children[0];
  }
  EXPECT_EQ(to_string(*p), "NumCmp(1 Eq 1.0)");
  auto bad = compile_filter_text(schema('T'), nest(64));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().text.rfind("bad filter: recursion limit exceeded", 0), 0u) << bad.error().text;
}

TEST(FilterCompiler, WhitespaceAndKeyOrderGiveEqualTrees) {
  auto a = compile_filter_text(schema('T'), R"({"n":{"$lt":5,"$gte":1},"s":"x"})");
  auto b = compile_filter_text(schema('T'), "{ \"s\" : \"x\" ,\n \"n\" : { \"$gte\" : 1 , \"$lt\" : 5 } }");
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_TRUE(*a == *b);
  auto c = compile_filter_text(schema('T'), R"({"n":{"$lt":5,"$gte":1},"s":"y"})");
  EXPECT_FALSE(*a == *c);
}
