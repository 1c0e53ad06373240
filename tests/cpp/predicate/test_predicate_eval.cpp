// Per-row evaluation of compiled filters, and a differential test of compiler + evaluator
// against the reference interpreter on random rows and random filters.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "ivf_rabitq/predicate/compile.hpp"
#include "support/filter_reference.hpp"

namespace json = ivf_rabitq::json;
using namespace ivf_rabitq::predicate;
using tandrel_test::reference_eval;

namespace {

TypedRow row_of(std::vector<double> num, std::vector<uint32_t> str) { return TypedRow{std::move(num), std::move(str)}; }

}  // namespace

TEST(PredicateEval, NodeSemantics) {
  const double nan = kAbsentNum;
  const TypedRow neg_zero = row_of({-0.0, nan}, {7, kAbsentCode});
  const TypedRow absent = row_of({nan, nan}, {kAbsentCode, kAbsentCode});
  struct Case {
    Predicate p;
    bool on_neg_zero;
    bool on_absent;
  };
  const std::vector<Case> cases = {
      {Predicate::num_cmp(0, CmpOp::Eq, 0.0), true, false},
      {Predicate::num_cmp(0, CmpOp::Ne, 0.0), false, true},  // absent passes Ne
      {Predicate::num_cmp(0, CmpOp::Lt, 0.0), false, false},
      {Predicate::num_cmp(0, CmpOp::Lte, 0.0), true, false},
      {Predicate::num_cmp(0, CmpOp::Gte, -0.0), true, false},
      {Predicate::num_cmp(0, CmpOp::Gt, -1.0), true, false},
      {Predicate::num_in(0, {0.0}), true, false},
      {Predicate::num_in(0, {-1.0, 0.0, 2.0}), true, false},
      {Predicate::num_in(0, {-1.0, 2.0}), false, false},
      {Predicate::num_in(0, {}), false, false},
      {Predicate::str_eq(0, 7), true, false},
      {Predicate::str_ne(0, 7), false, true},
      {Predicate::str_ne(0, 3), true, true},
      {Predicate::str_in(0, {1, 7, 9}), true, false},
      {Predicate::str_in(0, {}), false, false},
      {Predicate::exists(0, true, true), true, false},
      {Predicate::exists(0, false, true), true, false},
      {Predicate::exists(1, true, false), true, true},
      // Columns beyond the row (added to the schema later): absent.
      {Predicate::exists(5, true, false), true, true},
      {Predicate::exists(5, false, true), false, false},
      {Predicate::num_cmp(5, CmpOp::Ne, 1.0), true, true},
      {Predicate::num_cmp(5, CmpOp::Eq, 1.0), false, false},
      {Predicate::str_eq(5, kAbsentCode - 1), false, false},
      {Predicate::make_and({}), true, true},
      {Predicate::make_or({}), false, false},
      {Predicate::make_not(Predicate::make_or({})), true, true},
      {Predicate::make_and({Predicate::make_true(), Predicate::str_eq(0, 7)}), true, false},
      {Predicate::make_or({Predicate::make_false(), Predicate::exists(0, true, false)}), false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(eval_row(c.p, neg_zero), c.on_neg_zero) << to_string(c.p);
    EXPECT_EQ(eval_row(c.p, absent), c.on_absent) << to_string(c.p);
  }
}

TEST(PredicateEval, LongNotChainIsUnwound) {
  Predicate p = Predicate::str_eq(0, 1);
  for (int i = 0; i < 200001; ++i) p = Predicate::make_not(std::move(p));
  EXPECT_TRUE(eval_row(p, row_of({}, {2})));
  EXPECT_FALSE(eval_row(p, row_of({}, {1})));
  // Tear the chain down iteratively so that the destructor does not recurse 200k deep.
  while (p.kind == PredKind::Not) {
    Predicate child = std::move(p.children.front());
    p = std::move(child);
  }
}

TEST(PredicateEval, ColumnMajorBinding) {
  const std::vector<std::vector<double>> num = {{1.0, kAbsentNum, -0.0}};
  const std::vector<std::vector<uint32_t>> str = {{0, 1, kAbsentCode}};
  auto p = Predicate::make_or({Predicate::num_in(0, {0.0}), Predicate::str_eq(0, 1)});
  EXPECT_FALSE(eval_columns(p, num, str, 0));
  EXPECT_TRUE(eval_columns(p, num, str, 1));
  EXPECT_TRUE(eval_columns(p, num, str, 2));
  EXPECT_TRUE(eval_columns(Predicate::exists(3, false, false), num, str, 0));
}

// ---- differential test ----

namespace {

struct Gen {
  std::mt19937_64 rng;
  explicit Gen(uint64_t seed) : rng(seed) {}
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

  json::Value scalar() {
    static const char* kScalars[] = {"0",     "-0.0",  "0.0", "1",    "1.0", "2",    "2.5",  "-1",       "3",
                                     "1e16",  "\"x\"", "\"y\"", "\"5\"", "\"1\"", "\"\"", "\"true\"", "\"\\u0001true\"",
                                     "true",  "false", "null", "null"};
    return *json::parse(kScalars[pick(std::size(kScalars))]);
  }
  json::Value row_value() {
    if (chance(0.08)) return *json::parse(chance(0.5) ? "[1]" : R"({"k":1})");
    return scalar();
  }
  json::Value row() {
    if (chance(0.05)) return chance(0.5) ? json::Value() : *json::parse("[1]");
    static const char* kNames[] = {"a", "b", "c", "d", "sk", ""};
    json::Value r = json::Value::object();
    for (const char* n : kNames)
      if (chance(0.55)) r[n] = row_value();
    return r;
  }
  std::string field_name() {
    static const char* kNames[] = {"a", "b", "c", "d", "sk", "zz", ""};
    return kNames[pick(std::size(kNames))];
  }
  json::Value operand_list() {
    if (chance(0.04)) return scalar();  // not an array: error
    json::Value arr = json::Value::array();
    size_t n = pick(4);
    for (size_t i = 0; i < n; ++i) arr.push_back(chance(0.03) ? *json::parse("[1]") : scalar());
    return arr;
  }
  json::Value field_value(int depth) {
    if (chance(0.35)) return chance(0.02) ? *json::parse("[1]") : scalar();
    static const char* kOps[] = {"$eq", "$ne", "$gt", "$gte", "$lt", "$lte", "$in", "$nin", "$not", "$exists"};
    json::Value obj = json::Value::object();
    size_t n = chance(0.02) ? 0 : 1 + pick(2);
    for (size_t i = 0; i < n; ++i) {
      std::string op = chance(0.02) ? "$bad" : kOps[pick(std::size(kOps))];
      json::Value operand;
      if (op == "$in" || op == "$nin") operand = operand_list();
      else if (op == "$not") operand = depth > 0 ? field_value(depth - 1) : scalar();
      else if (op == "$exists") operand = chance(0.1) ? *json::parse("[]") : scalar();
      else operand = chance(0.03) ? *json::parse(R"({"k":1})") : scalar();
      obj[op] = std::move(operand);
    }
    return obj;
  }
  json::Value filter(int depth) {
    if (chance(0.02)) return scalar();  // not an object: error
    json::Value f = json::Value::object();
    size_t n = pick(4);
    for (size_t i = 0; i < n; ++i) {
      const size_t kind = depth > 0 ? pick(10) : 9;
      if (kind < 3) {
        static const char* kLogic[] = {"$and", "$or", "$nor"};
        json::Value arr = json::Value::array();
        size_t m = chance(0.04) ? 0 : 1 + pick(2);
        for (size_t j = 0; j < m; ++j) arr.push_back(filter(depth - 1));
        f[kLogic[kind]] = std::move(arr);
      } else if (kind == 3) {
        f["$not"] = filter(depth - 1);
      } else if (kind == 4 && chance(0.1)) {
        f["$bad"] = 1;
      } else {
        f[field_name()] = field_value(2);
      }
    }
    return f;
  }
};

}  // namespace

TEST(PredicateEval, DifferentialAgainstReference) {
  const bool sanitized = std::getenv("TANDREL_SANITIZED") != nullptr;
  const int schemas = sanitized ? 12 : 40;
  const int filters_per_schema = 250;
  const SkipSet skip = {"sk"};
  const SkipSet empty_skip = {};
  size_t compiled = 0, errors = 0, matches = 0, evaluated = 0;
  for (int round = 0; round < schemas; ++round) {
    Gen g(1000 + round);
    std::vector<json::Value> rows;
    for (int i = 0; i < 40; ++i) rows.push_back(g.row());
    std::vector<const json::Value*> row_ptrs;
    for (const auto& r : rows) row_ptrs.push_back(r.is_null() ? nullptr : &r);
    const bool typed = round % 3 != 2;
    const SkipSet* sk = round % 4 == 0 ? nullptr : round % 4 == 1 ? &empty_skip : &skip;
    TypedTable table = type_rows(row_ptrs, sk, typed);
    const SchemaRef schema{&table.fields, sk, typed};
    std::vector<TypedRow> typed_rows;
    for (const auto* r : row_ptrs) {
      auto tr = try_resolve(table.fields, r, typed);
      ASSERT_TRUE(tr.has_value());
      typed_rows.push_back(std::move(*tr));
    }
    for (int k = 0; k < filters_per_schema; ++k) {
      const json::Value filter = g.filter(2);
      const std::string text = json::to_compact(filter);
      auto compiled_pred = compile_filter_text(schema, text);
      const auto first_ref = reference_eval(schema, filter, row_ptrs[0]);
      ASSERT_EQ(compiled_pred.ok(), first_ref.has_value())
          << text << " -> " << (compiled_pred.ok() ? to_string(*compiled_pred) : compiled_pred.error().text);
      if (!compiled_pred.ok()) {
        ++errors;
        continue;
      }
      ++compiled;
      for (size_t r = 0; r < rows.size(); ++r) {
        const auto want = reference_eval(schema, filter, row_ptrs[r]);
        ASSERT_TRUE(want.has_value());
        const bool got = eval_row(*compiled_pred, typed_rows[r]);
        ASSERT_EQ(got, *want) << "filter " << text << "\nrow " << json::to_compact(rows[r]) << "\ntree "
                              << to_string(*compiled_pred) << "\ntyped=" << typed;
        ASSERT_EQ(eval_columns(*compiled_pred, table.num_cols, table.str_cols, r), got);
        matches += got;
        ++evaluated;
      }
    }
  }
  // The generator must exercise both outcomes and both kinds of result.
  EXPECT_GT(errors, 0u);
  EXPECT_GT(compiled, errors);
  EXPECT_GT(matches, evaluated / 20);
  EXPECT_LT(matches, evaluated - evaluated / 20);
}
