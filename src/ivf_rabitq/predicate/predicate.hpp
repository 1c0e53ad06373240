// Compiled filters: the Predicate tree and its per-row evaluator.
//
// A Predicate is an immutable tagged tree that owns its children and its sorted lists. Leaves
// test one row's typed columns by per-kind column index and dictionary code (see keys.hpp), so
// evaluation never touches JSON or field names. eval_pred reads a row only through two readers:
// num(col) -> f64 (NaN when absent) and str(col) -> u32 code (0xFFFFFFFF when absent); a reader
// must answer "absent" for a column index it does not have.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "ivf_rabitq/predicate/keys.hpp"

namespace ivf_rabitq::predicate {

// The kind numbers are the kinds' discriminants.
enum class PredKind : uint8_t {
  And = 0,
  Or = 1,
  Not = 2,
  True = 3,
  False = 4,
  NumCmp = 5,
  NumIn = 6,
  StrEq = 7,
  StrNe = 8,
  StrIn = 9,
  Exists = 10,
};

enum class CmpOp : uint8_t { Eq = 0, Ne = 1, Gt = 2, Gte = 3, Lt = 4, Lte = 5 };

struct Predicate {
  PredKind kind = PredKind::True;
  CmpOp op = CmpOp::Eq;      // NumCmp
  bool is_num = false;       // Exists: numeric (true) or string (false) column
  bool want = false;         // Exists: wanted presence
  uint32_t col = 0;          // leaves: per-kind column index
  uint32_t code = 0;         // StrEq, StrNe
  double value = 0.0;        // NumCmp constant
  std::vector<Predicate> children;  // And, Or; Not has exactly one
  std::vector<double> nums;         // NumIn: ascending by IEEE total order, distinct, no -0, no NaN
  std::vector<uint32_t> codes;      // StrIn: ascending, distinct

  static Predicate make_true() { return Predicate{}; }
  static Predicate make_false() {
    Predicate p;
    p.kind = PredKind::False;
    return p;
  }
  static Predicate make_and(std::vector<Predicate> ch) {
    Predicate p;
    p.kind = PredKind::And;
    p.children = std::move(ch);
    return p;
  }
  static Predicate make_or(std::vector<Predicate> ch) {
    Predicate p;
    p.kind = PredKind::Or;
    p.children = std::move(ch);
    return p;
  }
  static Predicate make_not(Predicate child) {
    Predicate p;
    p.kind = PredKind::Not;
    p.children.push_back(std::move(child));
    return p;
  }
  static Predicate num_cmp(uint32_t col, CmpOp op, double k) {
    Predicate p;
    p.kind = PredKind::NumCmp;
    p.col = col;
    p.op = op;
    p.value = k;
    return p;
  }
  static Predicate num_in(uint32_t col, std::vector<double> list) {
    Predicate p;
    p.kind = PredKind::NumIn;
    p.col = col;
    p.nums = std::move(list);
    return p;
  }
  static Predicate str_eq(uint32_t col, uint32_t code) {
    Predicate p;
    p.kind = PredKind::StrEq;
    p.col = col;
    p.code = code;
    return p;
  }
  static Predicate str_ne(uint32_t col, uint32_t code) {
    Predicate p;
    p.kind = PredKind::StrNe;
    p.col = col;
    p.code = code;
    return p;
  }
  static Predicate str_in(uint32_t col, std::vector<uint32_t> list) {
    Predicate p;
    p.kind = PredKind::StrIn;
    p.col = col;
    p.codes = std::move(list);
    return p;
  }
  static Predicate exists(uint32_t col, bool is_num, bool want) {
    Predicate p;
    p.kind = PredKind::Exists;
    p.col = col;
    p.is_num = is_num;
    p.want = want;
    return p;
  }
};

// Structural equality (constants compared by bit pattern).
bool operator==(const Predicate& a, const Predicate& b);

// A readable one-line form for tests and diagnostics, e.g.
// "And(NumCmp(0 Gte 1.0),Not(StrEq(1 3)),Exists(num 2 false),NumIn(0 [0.0,2.0]))".
std::string to_string(const Predicate& p);

// The IEEE-754 total-order key of an f64 as a signed integer.
inline int64_t total_order_key(double d) {
  int64_t k = std::bit_cast<int64_t>(d);
  return k < 0 ? (k ^ INT64_MAX) : k;
}

// Evaluates p on one row. No allocation, no lock; And/Or short-circuit, chains of Not are
// unwound in a loop. Recursion depth is bounded by the nesting of the filter text (< 128).
template <class NumReader, class StrReader>
bool eval_pred(const Predicate& p, const NumReader& num, const StrReader& str) {
  const Predicate* node = &p;
  bool negate = false;
  while (node->kind == PredKind::Not) {
    negate = !negate;
    node = &node->children.front();
  }
  bool r = false;
  switch (node->kind) {
    case PredKind::And:
      r = true;
      for (const auto& c : node->children)
        if (!eval_pred(c, num, str)) {
          r = false;
          break;
        }
      break;
    case PredKind::Or:
      r = false;
      for (const auto& c : node->children)
        if (eval_pred(c, num, str)) {
          r = true;
          break;
        }
      break;
    case PredKind::Not: break;  // unwound above
    case PredKind::True: r = true; break;
    case PredKind::False: r = false; break;
    case PredKind::NumCmp: {
      const double v = num(node->col);
      const double k = node->value;
      if (std::isnan(v)) {
        r = node->op == CmpOp::Ne;
        break;
      }
      switch (node->op) {
        case CmpOp::Eq: r = v == k; break;
        case CmpOp::Ne: r = v != k; break;
        case CmpOp::Gt: r = v > k; break;
        case CmpOp::Gte: r = v >= k; break;
        case CmpOp::Lt: r = v < k; break;
        case CmpOp::Lte: r = v <= k; break;
      }
      break;
    }
    case PredKind::NumIn: {
      double v = num(node->col);
      if (std::isnan(v) || node->nums.empty()) break;
      if (v == 0.0) v = 0.0;  // -0 looks up as +0
      const int64_t key = total_order_key(v);
      auto it = std::lower_bound(node->nums.begin(), node->nums.end(), key,
                                 [](double e, int64_t k) { return total_order_key(e) < k; });
      r = it != node->nums.end() && total_order_key(*it) == key;
      break;
    }
    case PredKind::StrEq: r = str(node->col) == node->code; break;
    case PredKind::StrNe: r = str(node->col) != node->code; break;
    case PredKind::StrIn:
      r = !node->codes.empty() && std::binary_search(node->codes.begin(), node->codes.end(), str(node->col));
      break;
    case PredKind::Exists: {
      const bool present = node->is_num ? !std::isnan(num(node->col)) : str(node->col) != kAbsentCode;
      r = present == node->want;
      break;
    }
  }
  return r != negate;
}

// Evaluates p on a TypedRow (indices beyond the row's lists read as absent).
inline bool eval_row(const Predicate& p, const TypedRow& row) {
  return eval_pred(
      p, [&](uint32_t c) { return c < row.num.size() ? row.num[c] : kAbsentNum; },
      [&](uint32_t c) { return c < row.str.size() ? row.str[c] : kAbsentCode; });
}

// Evaluates p on row r of column-major typed data (one list per column, as the delta keeps
// them). Columns beyond the lists read as absent; every present list must hold row r.
inline bool eval_columns(const Predicate& p, const std::vector<std::vector<double>>& num_cols,
                         const std::vector<std::vector<uint32_t>>& str_cols, size_t r) {
  return eval_pred(
      p, [&](uint32_t c) { return c < num_cols.size() ? num_cols[c][r] : kAbsentNum; },
      [&](uint32_t c) { return c < str_cols.size() ? str_cols[c][r] : kAbsentCode; });
}

}  // namespace ivf_rabitq::predicate
