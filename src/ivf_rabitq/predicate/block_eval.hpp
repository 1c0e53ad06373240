// Column-at-a-time evaluation of a compiled filter over a block of consecutive rows.
//
// eval_pred (predicate.hpp) walks the tree once per row; a scan over a million rows would
// spend its time in that walk. BlockEval walks the tree once per block instead and runs each
// leaf as a tight loop over the column array, writing one byte (0 or 1) per row, and
// combines children bytewise. The answer for every row equals eval_pred's on that row:
// absent values (NaN, 0xFFFFFFFF, a column the row set lacks, a row beyond a column's
// length) read exactly as eval_pred's readers give them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ivf_rabitq/predicate/predicate.hpp"

namespace ivf_rabitq::predicate {

// Typed columns of a row set, one pointer and length per column in per-kind order. Rows at or
// beyond a column's length (and every row of a column index beyond the lists) are absent.
struct ColumnSet {
  struct Num {
    const double* data = nullptr;
    size_t len = 0;
  };
  struct Str {
    const uint32_t* data = nullptr;
    size_t len = 0;
  };
  std::vector<Num> num;
  std::vector<Str> str;
};

class BlockEval {
 public:
  // Rows per call of eval.
  static constexpr size_t kBlock = 2048;

  // Borrows both; they must outlive the evaluator. One evaluator per thread.
  BlockEval(const Predicate& pred, const ColumnSet& cols) : pred_(pred), cols_(cols) {}

  // mask[i] = 1 when row b + i passes, else 0, for i < n (n <= kBlock).
  void eval(size_t b, size_t n, uint8_t* mask) { node(pred_, 0, b, n, mask); }

 private:
  void node(const Predicate& p, size_t depth, size_t b, size_t n, uint8_t* out);
  // And / Or of p's children, stopping once the block's answer is settled.
  void combine(const Predicate& p, size_t depth, size_t b, size_t n, uint8_t* out);
  uint8_t* scratch(size_t depth);

  const Predicate& pred_;
  const ColumnSet& cols_;
  std::vector<std::vector<uint8_t>> scratch_;
};

}  // namespace ivf_rabitq::predicate
