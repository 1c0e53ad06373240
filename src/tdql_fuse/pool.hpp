// The native side of multi-column fusion: the row pool built from the hit lists of the
// query's clauses, the ban and the gates, the cells that still need a lookup, the fill of
// those cells, and the scores with prefer boosts and the top selection. Nothing here
// touches Python; the method in fuse_methods.cpp converts the arguments, runs the lookups
// and builds the result.
//
// Cells are column-major: the cell of column c and row r is entry c * n_rows + r. A hit
// distance d of column c is only ever used normalised, as d / divs[c] (plain IEEE division:
// a divisor of 0 gives an infinity or a NaN).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tdql_fuse {

struct Hit {
  std::string id;
  double dist = 0.0;
};

// One match, must or should clause, in query order.
struct Clause {
  std::vector<Hit> hits;
  size_t column = 0;  // below n_cols
  double weight = 0.0;
  bool required = false;  // a must clause
};

// One prefer entry: rows it lists near its best hit get their score lowered.
struct Prefer {
  std::vector<Hit> hits;
  double factor = 0.0;
  double divisor = 1.0;
};

// Row gates: how many required columns and how many should clauses must return a row.
struct Gates {
  size_t required_all = 0;  // distinct required columns under match mode "all", else 0
  std::optional<int64_t> minimum_required_match;
  int64_t minimum_should_match = 0;  // 0: no should gate
};

struct Worst {
  double weight = 0.0;
  double dist = 0.0;  // normalised
};

class Pool {
 public:
  // Pools every row some clause returned (in order of first appearance), sets each cell to
  // the smallest normalised distance its column's clauses gave (an equal or NaN distance
  // never replaces a stored one), records each column's worst hit, bans and gates rows.
  // `clauses` must outlive the pool (its ids are viewed, not copied); every clause column
  // is below `divs.size()`.
  Pool(const std::vector<Clause>& clauses, std::vector<double> divs, const std::unordered_set<std::string>& ban,
       const std::optional<Gates>& gates, bool has_should);

  size_t n_cols() const { return divs_.size(); }
  size_t n_rows() const { return ids_.size(); }
  size_t cell(size_t c, size_t r) const { return c * ids_.size() + r; }

  // Per column with a worst hit (ascending), the rows (ascending) that no clause of the
  // column returned and that are not dropped; columns with no such row are left out.
  std::vector<std::pair<size_t, std::vector<size_t>>> missing() const;

  // Fills the cells (c, rows[i]) from per-query looked-up distances: per row the smallest
  // distance over the queries (an earlier query kept on ties; a NaN never wins over a
  // number), normalised; a NaN result takes the column's worst hit. `per_query[j]` is
  // (weight, one distance per row, NaN for a row that has none).
  void fill(size_t c, const std::vector<size_t>& rows,
            const std::vector<std::pair<double, std::vector<double>>>& per_query);

  struct Scored {
    std::vector<double> scores;  // one per row, dropped rows included
    std::vector<size_t> rows;    // returned rows, ascending
  };
  // Weighted mean of each row's matched and filled cells, times the prefer boosts; then the
  // undropped rows, cut to the best `top` (ties with the `top`-th kept) when no score is NaN.
  Scored score(const std::vector<Prefer>& prefer, std::optional<size_t> top) const;

  const std::vector<std::string_view>& ids() const { return ids_; }
  const std::vector<std::pair<size_t, size_t>>& first() const { return first_; }
  const std::vector<double>& dist() const { return dist_; }
  const std::vector<double>& weight() const { return weight_; }
  const std::vector<uint8_t>& matched() const { return matched_; }
  const std::vector<uint8_t>& filled() const { return filled_; }
  const std::vector<uint8_t>& dropped() const { return dropped_; }
  const std::optional<Worst>& worst(size_t c) const { return worst_[c]; }
  double div(size_t c) const { return divs_[c]; }

 private:
  std::vector<std::string_view> ids_;                // views of the first appearance's id
  std::vector<std::pair<size_t, size_t>> first_;     // (clause, hit) of the first appearance
  std::vector<double> dist_, weight_;                // per cell
  std::vector<uint8_t> matched_, filled_;            // per cell
  std::vector<uint8_t> dropped_;                     // per row
  std::vector<std::optional<Worst>> worst_;          // per column
  std::vector<double> divs_;                         // per column
  std::unordered_map<std::string_view, size_t> index_;
};

}  // namespace tdql_fuse
