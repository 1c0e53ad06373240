// The column-at-a-time evaluator of compiled filters against the per-row evaluator, on random
// columns and random filter trees.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "ivf_rabitq/predicate/block_eval.hpp"
#include "ivf_rabitq/predicate/compile.hpp"

namespace predicate = ivf_rabitq::predicate;
using predicate::Predicate;

// The block evaluator gives eval_pred's answer on every row, for columns with absent values,
// -0, NaN, columns shorter than the row range and columns the row set lacks.
TEST(BlockEval, EqualsRowEvaluationOnRandomColumns) {
  std::mt19937_64 rng(7);
  const size_t rows = 5000;
  std::vector<std::vector<double>> num(3, std::vector<double>(rows));
  std::vector<std::vector<uint32_t>> str(2, std::vector<uint32_t>(rows));
  const double vals[] = {0.0, -0.0, 1.0, 2.0, 3.5, -1.0, predicate::kAbsentNum};
  for (auto& c : num)
    for (auto& v : c) v = vals[rng() % 7];
  for (auto& c : str)
    for (auto& v : c) v = rng() % 5 == 0 ? predicate::kAbsentCode : static_cast<uint32_t>(rng() % 6);
  num[2].resize(rows - 1500);  // shorter than the rows: the tail is absent
  predicate::ColumnSet cols;
  for (auto& c : num) cols.num.push_back({c.data(), c.size()});
  for (auto& c : str) cols.str.push_back({c.data(), c.size()});

  using predicate::CmpOp;
  std::vector<Predicate> leaves = {
      Predicate::num_cmp(0, CmpOp::Eq, 0.0),   Predicate::num_cmp(1, CmpOp::Ne, 1.0),
      Predicate::num_cmp(2, CmpOp::Gt, 1.0),   Predicate::num_cmp(0, CmpOp::Gte, 2.0),
      Predicate::num_cmp(1, CmpOp::Lt, 0.0),   Predicate::num_cmp(2, CmpOp::Lte, 3.5),
      Predicate::num_cmp(5, CmpOp::Lte, 3.5),  Predicate::num_in(0, {-1.0, 0.0, 3.5}),
      Predicate::num_in(2, {}),                Predicate::str_eq(0, 3),
      Predicate::str_ne(1, 2),                 Predicate::str_in(0, {0, 2, 4}),
      Predicate::str_in(1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}),
      Predicate::str_eq(9, 1),                 Predicate::exists(2, true, true),
      Predicate::exists(1, false, false),      Predicate::make_true(),
      Predicate::make_false(),
  };
  std::vector<Predicate> trees = leaves;
  for (int t = 0; t < 60; ++t) {
    auto pick = [&] { return trees[rng() % trees.size()]; };
    switch (rng() % 4) {
      case 0: trees.push_back(Predicate::make_and({pick(), pick(), pick()})); break;
      case 1: trees.push_back(Predicate::make_or({pick(), pick()})); break;
      case 2: trees.push_back(Predicate::make_not(pick())); break;
      default: trees.push_back(Predicate::make_and({})); trees.push_back(Predicate::make_or({})); break;
    }
  }
  std::vector<uint8_t> mask(predicate::BlockEval::kBlock);
  for (const Predicate& p : trees) {
    SCOPED_TRACE(predicate::to_string(p));
    predicate::BlockEval ev(p, cols);
    for (size_t b = 0; b < rows; b += predicate::BlockEval::kBlock) {
      const size_t n = std::min(predicate::BlockEval::kBlock, rows - b);
      ev.eval(b, n, mask.data());
      for (size_t i = 0; i < n; ++i) {
        const size_t r = b + i;
        const bool want = predicate::eval_pred(
            p,
            [&](uint32_t c) { return c < num.size() && r < num[c].size() ? num[c][r] : predicate::kAbsentNum; },
            [&](uint32_t c) { return c < str.size() && r < str[c].size() ? str[c][r] : predicate::kAbsentCode; });
        ASSERT_EQ(mask[i], want ? 1 : 0) << "row " << r;
      }
    }
  }
}
