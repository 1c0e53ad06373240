// Filtered scans (see scan.hpp).
#include "ivf_rabitq/scan/scan.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <optional>

#include "ivf_rabitq/common/parallel.hpp"

namespace ivf_rabitq::scan {

using index::IvfIndex;
using predicate::BlockEval;
using predicate::ColumnSet;
using storage::Delta;

namespace {

using predicate::Predicate;
using storage::Tombstones;

// Rows per task of the parallel parts (a multiple of the evaluation block).
constexpr size_t kTaskRows = 16 * BlockEval::kBlock;

// Marks which rows of one row set (main rows, or delta rows) match: the filter passes and
// the row's slot (slot_base + row) is not tombstoned. One per thread.
class Matcher {
 public:
  Matcher(const Predicate* filter, const ColumnSet& cols, const Tombstones& tomb, uint64_t slot_base)
      : tomb_(tomb), slot_base_(slot_base) {
    if (filter) eval_.emplace(*filter, cols);
  }

  // mask[i] for rows [b, b + n), n <= BlockEval::kBlock.
  void mark(size_t b, size_t n, uint8_t* mask) {
    if (eval_) {
      eval_->eval(b, n, mask);
    } else {
      std::memset(mask, 1, n);
    }
    if (tomb_.empty()) return;
    const uint64_t lo = slot_base_ + b, hi = lo + n;
    if (lo > std::numeric_limits<uint32_t>::max()) return;
    for (auto cur = tomb_.cursor(static_cast<uint32_t>(lo)); cur.valid() && cur.value() < hi; cur.next())
      mask[cur.value() - lo] = 0;
  }

  // Calls f(row) for every matching row of [b, e) in order; f returns false to stop.
  // Returns false when f stopped the walk.
  template <class F>
  bool for_each(size_t b, size_t e, F&& f) {
    uint8_t mask[BlockEval::kBlock];
    for (size_t at = b; at < e; at += BlockEval::kBlock) {
      const size_t n = std::min(BlockEval::kBlock, e - at);
      mark(at, n, mask);
      for (size_t i = 0; i < n; ++i)
        if (mask[i] && !f(at + i)) return false;
    }
    return true;
  }

  uint64_t count(size_t b, size_t e) {
    uint8_t mask[BlockEval::kBlock];
    uint64_t total = 0;
    for (size_t at = b; at < e; at += BlockEval::kBlock) {
      const size_t n = std::min(BlockEval::kBlock, e - at);
      mark(at, n, mask);
      uint32_t c = 0;
      for (size_t i = 0; i < n; ++i) c += mask[i];
      total += c;
    }
    return total;
  }

  // Whether any row of [b, e) matches; gives up (false) once *stop is raised between blocks.
  bool any(size_t b, size_t e, const std::atomic<bool>* stop = nullptr) {
    uint8_t mask[BlockEval::kBlock];
    for (size_t at = b; at < e; at += BlockEval::kBlock) {
      if (stop && stop->load(std::memory_order_relaxed)) return false;
      const size_t n = std::min(BlockEval::kBlock, e - at);
      mark(at, n, mask);
      for (size_t i = 0; i < n; ++i)
        if (mask[i]) return true;
    }
    return false;
  }

 private:
  const Tombstones& tomb_;
  uint64_t slot_base_;
  std::optional<BlockEval> eval_;
};

// Matching main slots of [b, e), in order, collected on the pool.
std::vector<uint32_t> collect_main_slots(const Predicate* filter, const ColumnSet& cols, const Tombstones& tomb,
                                         size_t b, size_t e) {
  std::vector<uint32_t> out;
  parallel::isolate([&] {
    out = parallel::collect_chunks<uint32_t>(e - b, kTaskRows, [&](size_t cb, size_t ce) {
      std::vector<uint32_t> part;
      Matcher m(filter, cols, tomb, 0);
      m.for_each(b + cb, b + ce, [&](size_t row) {
        part.push_back(static_cast<uint32_t>(row));
        return true;
      });
      return part;
    });
  });
  return out;
}

std::string main_id_or_empty(const IvfIndex& ix, uint32_t slot) {
  auto id = ix.main_id(slot);
  return id ? std::string(*id) : std::string();
}

// dst = the id of main slot `slot` ("" when it has none), reusing dst's storage.
void assign_main_id(const IvfIndex& ix, uint32_t slot, std::string& dst) {
  auto id = ix.main_id(slot);
  if (id) dst.assign(id->data(), id->size());
}

}  // namespace

ColumnSet main_columns(const IvfIndex& ix) {
  ColumnSet c;
  c.num.reserve(ix.num_bins.size());
  for (const auto& m : ix.num_bins) c.num.push_back({m.view().data(), m.len()});
  c.str.reserve(ix.str_bins.size());
  for (const auto& m : ix.str_bins) c.str.push_back({m.view().data(), m.len()});
  return c;
}

ColumnSet delta_columns(const Delta& d) {
  ColumnSet c;
  c.num.reserve(d.num_cols.size());
  for (const auto& v : d.num_cols) c.num.push_back({v.data(), v.size()});
  c.str.reserve(d.str_cols.size());
  for (const auto& v : d.str_cols) c.str.push_back({v.data(), v.size()});
  return c;
}

std::vector<std::string> ids_matching(const IvfIndex& ix, const Predicate* filter) {
  auto tomb = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  const size_t n = ix.main_rows();
  const ColumnSet main = main_columns(ix);
  // Matching slots first (4 bytes each), then the ids written once into a result of the
  // exact size: no regrowth of a vector of strings.
  std::vector<std::string> out;
  if (n < kScanParallelRows) {
    std::vector<uint32_t> slots;
    Matcher m(filter, main, *tomb, 0);
    m.for_each(0, n, [&](size_t s) {
      slots.push_back(static_cast<uint32_t>(s));
      return true;
    });
    out.reserve(slots.size() + d->rows());
    for (uint32_t s : slots) out.push_back(main_id_or_empty(ix, s));
  } else {
    std::vector<std::vector<uint32_t>> parts;
    parallel::isolate([&] {
      parts = parallel::map_chunks<std::vector<uint32_t>>(n, kTaskRows, [&](size_t b, size_t e) {
        std::vector<uint32_t> part;
        Matcher(filter, main, *tomb, 0).for_each(b, e, [&](size_t s) {
          part.push_back(static_cast<uint32_t>(s));
          return true;
        });
        return part;
      });
      std::vector<size_t> at(parts.size() + 1, 0);
      for (size_t p = 0; p < parts.size(); ++p) at[p + 1] = at[p] + parts[p].size();
      out.reserve(at.back() + d->rows());
      out.resize(at.back());
      parallel::for_chunks(parts.size(), 1, [&](size_t pb, size_t pe) {
        for (size_t p = pb; p < pe; ++p)
          for (size_t i = 0; i < parts[p].size(); ++i) assign_main_id(ix, parts[p][i], out[at[p] + i]);
      });
    });
  }
  const ColumnSet delta = delta_columns(*d);
  Matcher dm(filter, delta, *tomb, n);
  dm.for_each(0, d->rows(), [&](size_t i) {
    out.push_back(d->ids[i]);
    return true;
  });
  return out;
}

std::vector<std::string> ids_matching_limit(const IvfIndex& ix, const Predicate* filter, uint64_t limit) {
  std::vector<std::string> out;
  if (limit == 0) return out;
  auto tomb = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  const size_t n = ix.main_rows();
  const ColumnSet main = main_columns(ix);
  std::vector<uint32_t> slots;
  if (n < kScanParallelRows) {
    Matcher m(filter, main, *tomb, 0);
    m.for_each(0, n, [&](size_t s) {
      slots.push_back(static_cast<uint32_t>(s));
      return slots.size() < limit;
    });
  } else {
    uint64_t start = 0, window = kLimitFirstWindow;
    while (slots.size() < limit) {
      const uint64_t end = window >= n - start ? n : start + window;
      std::vector<uint32_t> part = collect_main_slots(filter, main, *tomb, start, end);
      slots.insert(slots.end(), part.begin(), part.end());
      if (end == n) break;
      start = end;
      window = window > std::numeric_limits<uint64_t>::max() / 2 ? std::numeric_limits<uint64_t>::max() : window * 2;
    }
    if (slots.size() > limit) slots.resize(limit);
  }
  out.reserve(slots.size());
  for (uint32_t s : slots) out.push_back(main_id_or_empty(ix, s));
  if (out.size() < limit) {
    const ColumnSet delta = delta_columns(*d);
    Matcher dm(filter, delta, *tomb, n);
    dm.for_each(0, d->rows(), [&](size_t i) {
      out.push_back(d->ids[i]);
      return out.size() < limit;
    });
  }
  return out;
}

uint64_t count_matching(const IvfIndex& ix, const Predicate* filter) {
  auto tomb = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  const size_t n = ix.main_rows();
  const ColumnSet main = main_columns(ix);
  uint64_t total = 0;
  if (n < kScanParallelRows) {
    total = Matcher(filter, main, *tomb, 0).count(0, n);
  } else {
    parallel::isolate([&] {
      total = parallel::reduce_chunks<uint64_t>(
          n, kTaskRows, uint64_t{0},
          [&](size_t b, size_t e) { return Matcher(filter, main, *tomb, 0).count(b, e); },
          [](uint64_t a, uint64_t x) { return a + x; });
    });
  }
  const ColumnSet delta = delta_columns(*d);
  total += Matcher(filter, delta, *tomb, n).count(0, d->rows());
  return total;
}

bool exists_matching(const IvfIndex& ix, const Predicate* filter) {
  auto tomb = ix.locks().tombstones.read();
  auto d = ix.locks().delta.read();
  const size_t n = ix.main_rows();
  const ColumnSet main = main_columns(ix);
  const size_t head = std::min<size_t>(n, kExistsProbeRows);
  if (Matcher(filter, main, *tomb, 0).any(0, head)) return true;
  if (n - head >= kScanParallelRows) {
    std::atomic<bool> found{false};
    parallel::isolate([&] {
      parallel::for_chunks(n - head, kTaskRows, [&](size_t b, size_t e) {
        if (found.load(std::memory_order_relaxed)) return;
        if (Matcher(filter, main, *tomb, 0).any(head + b, head + e, &found))
          found.store(true, std::memory_order_relaxed);
      });
    });
    if (found.load()) return true;
  } else if (Matcher(filter, main, *tomb, 0).any(head, n)) {
    return true;
  }
  const ColumnSet delta = delta_columns(*d);
  return Matcher(filter, delta, *tomb, n).any(0, d->rows());
}

}  // namespace ivf_rabitq::scan
