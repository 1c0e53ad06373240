// Block evaluation of compiled filters (see block_eval.hpp).
#include "ivf_rabitq/predicate/block_eval.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace ivf_rabitq::predicate {

namespace {

// Values of rows [b, b + n) of one column: the column itself when it covers the range,
// otherwise a copy with absent values filled in past its end.
template <class T>
const T* column_range(const T* data, size_t len, size_t b, size_t n, T absent, std::vector<T>& tmp) {
  if (data && len >= b + n) return data + b;
  tmp.assign(n, absent);
  if (data && len > b) std::memcpy(tmp.data(), data + b, (len - b) * sizeof(T));
  return tmp.data();
}

template <class F>
void fill_by(size_t n, uint8_t* out, F&& f) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(f(i));
}

bool all_zero(const uint8_t* m, size_t n) {
  uint8_t acc = 0;
  for (size_t i = 0; i < n; ++i) acc |= m[i];
  return acc == 0;
}

bool all_one(const uint8_t* m, size_t n) {
  uint8_t acc = 1;
  for (size_t i = 0; i < n; ++i) acc &= m[i];
  return acc == 1;
}

bool num_in(const Predicate& p, double v) {
  if (std::isnan(v) || p.nums.empty()) return false;
  if (v == 0.0) v = 0.0;  // -0 looks up as +0
  const int64_t key = total_order_key(v);
  auto it = std::lower_bound(p.nums.begin(), p.nums.end(), key,
                             [](double e, int64_t k) { return total_order_key(e) < k; });
  return it != p.nums.end() && total_order_key(*it) == key;
}

// The columns of rows [b, b + n): a column index beyond the set reads as a column without
// values. A copy with absent values filled in (when a column does not cover the rows) lives in
// a per-thread buffer until the next call for a column of the same kind.
struct BlockColumns {
  const ColumnSet& cols;
  size_t b;
  size_t n;

  const double* num(uint32_t c) const {
    thread_local std::vector<double> tmp;
    const ColumnSet::Num col = c < cols.num.size() ? cols.num[c] : ColumnSet::Num{};
    return column_range(col.data, col.len, b, n, kAbsentNum, tmp);
  }
  const uint32_t* str(uint32_t c) const {
    thread_local std::vector<uint32_t> tmp;
    const ColumnSet::Str col = c < cols.str.size() ? cols.str[c] : ColumnSet::Str{};
    return column_range(col.data, col.len, b, n, kAbsentCode, tmp);
  }
};

// A NaN (absent) value compares false under every operator but Ne, as eval_pred has it.
void eval_num_cmp(const Predicate& p, const double* v, size_t n, uint8_t* out) {
  const double k = p.value;
  switch (p.op) {
    case CmpOp::Eq: fill_by(n, out, [&](size_t i) { return v[i] == k; }); break;
    case CmpOp::Ne: fill_by(n, out, [&](size_t i) { return v[i] != k; }); break;
    case CmpOp::Gt: fill_by(n, out, [&](size_t i) { return v[i] > k; }); break;
    case CmpOp::Gte: fill_by(n, out, [&](size_t i) { return v[i] >= k; }); break;
    case CmpOp::Lt: fill_by(n, out, [&](size_t i) { return v[i] < k; }); break;
    case CmpOp::Lte: fill_by(n, out, [&](size_t i) { return v[i] <= k; }); break;
  }
}

// Membership in a code set: none matches an empty set, a short set is tested code by code,
// a longer one (sorted) by binary search.
void eval_str_in(const Predicate& p, const uint32_t* s, size_t n, uint8_t* out) {
  const auto& codes = p.codes;
  if (codes.empty()) {
    std::memset(out, 0, n);
  } else if (codes.size() <= 8) {
    fill_by(n, out, [&](size_t i) {
      bool hit = false;
      for (uint32_t c : codes) hit |= s[i] == c;
      return hit;
    });
  } else {
    fill_by(n, out, [&](size_t i) { return std::binary_search(codes.begin(), codes.end(), s[i]); });
  }
}

void eval_exists(const Predicate& p, const BlockColumns& cols, size_t n, uint8_t* out) {
  const bool want = p.want;
  if (p.is_num) {
    const double* v = cols.num(p.col);
    fill_by(n, out, [&](size_t i) { return !std::isnan(v[i]) == want; });
  } else {
    const uint32_t* s = cols.str(p.col);
    fill_by(n, out, [&](size_t i) { return (s[i] != kAbsentCode) == want; });
  }
}

}  // namespace

uint8_t* BlockEval::scratch(size_t depth) {
  if (scratch_.size() <= depth) scratch_.resize(depth + 1);
  auto& s = scratch_[depth];
  if (s.size() < kBlock) s.resize(kBlock);
  return s.data();
}

void BlockEval::combine(const Predicate& p, size_t depth, size_t b, size_t n, uint8_t* out) {
  const bool is_and = p.kind == PredKind::And;
  if (p.children.empty()) {
    std::memset(out, is_and ? 1 : 0, n);
    return;
  }
  node(p.children[0], depth + 1, b, n, out);
  for (size_t c = 1; c < p.children.size(); ++c) {
    if (is_and ? all_zero(out, n) : all_one(out, n)) break;
    uint8_t* tmp = scratch(depth);
    node(p.children[c], depth + 1, b, n, tmp);
    if (is_and) {
      for (size_t i = 0; i < n; ++i) out[i] &= tmp[i];
    } else {
      for (size_t i = 0; i < n; ++i) out[i] |= tmp[i];
    }
  }
}

void BlockEval::node(const Predicate& p0, size_t depth, size_t b, size_t n, uint8_t* out) {
  const Predicate* p = &p0;
  bool negate = false;
  while (p->kind == PredKind::Not) {
    negate = !negate;
    p = &p->children.front();
  }
  const BlockColumns cols{cols_, b, n};
  switch (p->kind) {
    case PredKind::And:
    case PredKind::Or: combine(*p, depth, b, n, out); break;
    case PredKind::Not: break;  // unwound above
    case PredKind::True: std::memset(out, 1, n); break;
    case PredKind::False: std::memset(out, 0, n); break;
    case PredKind::NumCmp: eval_num_cmp(*p, cols.num(p->col), n, out); break;
    case PredKind::NumIn: {
      const double* v = cols.num(p->col);
      fill_by(n, out, [&](size_t i) { return num_in(*p, v[i]); });
      break;
    }
    case PredKind::StrEq: {
      const uint32_t* s = cols.str(p->col);
      const uint32_t code = p->code;
      fill_by(n, out, [&](size_t i) { return s[i] == code; });
      break;
    }
    case PredKind::StrNe: {
      const uint32_t* s = cols.str(p->col);
      const uint32_t code = p->code;
      fill_by(n, out, [&](size_t i) { return s[i] != code; });
      break;
    }
    case PredKind::StrIn: eval_str_in(*p, cols.str(p->col), n, out); break;
    case PredKind::Exists: eval_exists(*p, cols, n, out); break;
  }
  if (negate) {
    for (size_t i = 0; i < n; ++i) out[i] ^= 1;
  }
}

}  // namespace ivf_rabitq::predicate
