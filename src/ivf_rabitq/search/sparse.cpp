// Sparse retrieval and rank fusion.
//
// The score accumulator is a per-thread dense array over slots with a stamp per slot (the
// stamp of the current call marks a slot as touched), plus the list of touched slots: a
// query adds one float per posting without hashing and without clearing the array between
// calls. Sums run in query-pair order and posting order exactly as a per-call map would,
// so the scores are the same bits.
#include "ivf_rabitq/search/sparse.hpp"

#include <algorithm>
#include <unordered_map>

#include "ivf_rabitq/search/topk.hpp"
#include "ivf_rabitq/segment/sparse_postings.hpp"

namespace ivf_rabitq::search {

using index::DeltaSparse;
using index::IvfIndex;

namespace {

struct Accumulator {
  // Score and stamp side by side: one cache line per slot touched.
  struct Cell {
    float score;
    uint32_t stamp;
  };
  std::vector<Cell> cells;
  std::vector<uint32_t> touched;
  uint32_t epoch = 0;

  // Readies the accumulator for slots below `slots`.
  void begin(size_t slots) {
    if (cells.size() < slots) cells.resize(slots, Cell{0.0f, 0});
    touched.clear();
    if (++epoch == 0) {  // wrapped: forget every old stamp
      for (auto& c : cells) c.stamp = 0;
      epoch = 1;
    }
  }
  [[gnu::always_inline]] void add(uint32_t slot, float v) {
    Cell& c = cells[slot];
    if (c.stamp != epoch) {
      c.stamp = epoch;
      c.score = v + 0.0f;  // an absent entry starts at +0
      touched.push_back(slot);
    } else {
      c.score = v + c.score;
    }
  }
  void prefetch(uint32_t slot) const { __builtin_prefetch(&cells[slot], 1); }
  size_t count() const { return touched.size(); }
  // f(slot, score) for every touched slot below `total`: in first-touch order (random in
  // memory) when they are few, by one sequential sweep over the stamps when they are many.
  template <class F>
  void for_each(size_t total, F&& f) const {
    if (touched.size() > total / 8) {
      for (size_t s = 0; s < total; ++s)
        if (cells[s].stamp == epoch) f(static_cast<uint32_t>(s), cells[s].score);
    } else {
      for (uint32_t s : touched) f(s, cells[s].score);
    }
  }
  // Drops the buffers when a call needed far more than usual, so one huge segment does not
  // pin its size in every thread that ever served it.
  void end() {
    if (touched.capacity() > (size_t{1} << 22)) std::vector<uint32_t>().swap(touched);
    if (cells.size() > (size_t{1} << 24)) {
      std::vector<Cell>().swap(cells);
      epoch = 0;
    }
  }
};

// The accumulator of a query whose postings are few next to the segment's rows: a map from
// slot to score, so the memory follows the postings rather than the row count.
struct MapAccumulator {
  std::unordered_map<uint32_t, float, storage::IntHasher> map;
  explicit MapAccumulator(size_t postings) { map.reserve(postings); }
  void add(uint32_t slot, float v) {
    auto [it, fresh] = map.try_emplace(slot, 0.0f);  // an absent entry starts at +0
    it->second = v + it->second;
  }
  void prefetch(uint32_t) const {}
  size_t count() const { return map.size(); }
  template <class F>
  void for_each(size_t, F&& f) const {
    for (const auto& [slot, score] : map) f(slot, score);
  }
};

// Not inlined: in the shared module a thread-local is reached through __tls_get_addr, and an
// inlined access gets repeated inside the scoring loop; one call hands out a plain pointer.
[[gnu::noinline]] Accumulator* thread_accumulator() {
  thread_local Accumulator acc;
  return &acc;
}

// Orders `rows` by score_before and keeps the first k (selection first when it pays).
void select_sorted(std::vector<SlotScore>& rows, uint32_t k) {
  if (k < rows.size()) {
    std::nth_element(rows.begin(), rows.begin() + k, rows.end(), score_before);
    rows.resize(k);
  }
  std::sort(rows.begin(), rows.end(), score_before);
}

// The k best of the candidates offered one by one, kept in a heap whose front is the worst
// kept: the same rows, in the same final order, as sorting all of them and keeping k, with
// memory bounded by k rather than by the number of scored rows.
class TopK {
 public:
  explicit TopK(uint32_t k, size_t expected) : k_(k) { heap_.reserve(std::min<size_t>(k, expected)); }
  // Whether a row with this score would be kept now (so filters are evaluated only then).
  bool wants(const SlotScore& c) const { return heap_.size() < k_ || score_before(c, heap_.front()); }
  void push(const SlotScore& c) {
    if (heap_.size() < k_) {
      heap_.push_back(c);
      std::push_heap(heap_.begin(), heap_.end(), score_before);
    } else {
      std::pop_heap(heap_.begin(), heap_.end(), score_before);
      heap_.back() = c;
      std::push_heap(heap_.begin(), heap_.end(), score_before);
    }
  }
  std::vector<SlotScore> sorted() && {
    std::sort(heap_.begin(), heap_.end(), score_before);
    return std::move(heap_);
  }

 private:
  uint32_t k_;
  std::vector<SlotScore> heap_;
};

// Adds every posting of the query to `acc`: main rows (below n) from the segment's source,
// then delta rows (index below delta_rows) at slot n + index; all in query-pair order.
template <class Acc>
void accumulate(const IvfIndex& index, SparseQuery query, uint32_t n, size_t delta_rows, const DeltaSparse& ds,
                Acc& acc) {
  if (index.sparse_bin) {
    // Posting rows follow the build's input order, not the slot order, so the accumulator
    // is read at random: prefetching a few postings ahead keeps several reads in flight.
    constexpr size_t kAhead = 16;
    for (const auto& [t, w] : query) {
      const auto recs = segment::sparse_bin_postings(index, t);
      const size_t count = recs.size() / 8;
      const uint8_t* p = recs.data();
      for (size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) {
          const uint32_t ahead = segment::posting_row(p + (i + kAhead) * 8);
          if (ahead < n) acc.prefetch(ahead);
        }
        const uint32_t row = segment::posting_row(p + i * 8);
        if (row < n) acc.add(row, segment::posting_weight(p + i * 8) * w);
      }
    }
  } else if (segment::has_main_postings(index)) {
    for (const auto& [t, w] : query) {
      segment::for_each_main_posting(index, t, [&](uint32_t row, float p) {
        if (row < n) acc.add(row, p * w);
      });
    }
  }
  if (ds.empty()) return;
  for (const auto& [t, w] : query) {
    auto it = ds.find(t);
    if (it == ds.end()) continue;
    for (const auto& [i, p] : it->second)
      if (i < delta_rows) acc.add(n + i, p * w);
  }
}

// Postings the query will visit (an upper bound of the rows it touches).
size_t posting_count(const IvfIndex& index, SparseQuery query, const DeltaSparse& ds) {
  size_t total = 0;
  for (const auto& [t, w] : query) {
    if (index.sparse_bin) {
      total += segment::sparse_bin_postings(index, t).size() / 8;
    } else if (auto it = index.manifest.sparse.find(t); it != index.manifest.sparse.end()) {
      total += it->second.size();
    }
    if (auto it = ds.find(t); it != ds.end()) total += it->second.size();
  }
  return total;
}

// The k best of the accumulated rows that are live and pass the filter, in score order.
// Tombstoned rows are dropped here rather than per posting: their sums are never looked at,
// so the result is the same and each row is tested once. The filter runs only for rows that
// would enter the k best, which changes nothing but the cost.
template <class Acc>
std::vector<SlotScore> best_rows(const IvfIndex& index, const storage::Tombstones& tombs, const storage::Delta& delta,
                                 const predicate::Predicate* filter, uint32_t n, size_t total, uint32_t k,
                                 const Acc& acc) {
  const bool any_tomb = !tombs.empty();
  auto passes = [&](uint32_t slot) {
    if (any_tomb && tombs.contains(slot)) return false;
    if (!filter) return true;
    return slot < n ? index.passes_main(*filter, slot) : IvfIndex::passes_delta(delta, *filter, slot - n);
  };
  if (k >= acc.count()) {
    std::vector<SlotScore> out;
    out.reserve(acc.count());
    acc.for_each(total, [&](uint32_t slot, float score) {
      if (passes(slot)) out.emplace_back(slot, score);
    });
    std::sort(out.begin(), out.end(), score_before);
    return out;
  }
  TopK top(k, acc.count());
  acc.for_each(total, [&](uint32_t slot, float score) {
    const SlotScore c{slot, score};
    if (top.wants(c) && passes(slot)) top.push(c);
  });
  return std::move(top).sorted();
}

}  // namespace

std::vector<SlotScore> sparse_rank(const IvfIndex& index, SparseQuery query, uint64_t k64,
                                   const predicate::Predicate* filter) {
  const uint32_t k = sat_u32(k64);
  if (k == 0) return {};
  auto tombs = index.locks().tombstones.read();
  auto delta = index.locks().delta.read();
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(index.manifest.n, kU32Max - 1));
  const size_t delta_rows = std::min<size_t>(delta->rows(), size_t{kU32Max - 1} - n);
  const size_t total = static_cast<size_t>(n) + delta_rows;
  auto ds = index.locks().delta_sparse.read();
  std::vector<SlotScore> out;
  // A dense per-thread array when the postings are a fair share of the rows; a map sized by
  // the postings when they are few (a short query on a large segment).
  const size_t postings = posting_count(index, query, *ds);
  if (postings < total / 16) {
    MapAccumulator acc(postings);
    accumulate(index, query, n, delta_rows, *ds, acc);
    ds.unlock();  // the delta postings are read only while scoring
    out = best_rows(index, *tombs, *delta, filter, n, total, k, acc);
  } else {
    Accumulator& acc = *thread_accumulator();
    acc.begin(total);
    accumulate(index, query, n, delta_rows, *ds, acc);
    ds.unlock();  // the delta postings are read only while scoring
    out = best_rows(index, *tombs, *delta, filter, n, total, k, acc);
    acc.end();
  }
  return out;
}

std::vector<SlotScore> search_hybrid(uint64_t k64, float rrf_k, std::span<const std::pair<uint32_t, float>> dense,
                                     std::span<const std::pair<uint32_t, float>> sparse) {
  const uint32_t k = sat_u32(k64);
  if (k == 0) return {};
  std::unordered_map<uint32_t, float, storage::IntHasher> fused;
  fused.reserve(dense.size() + sparse.size());
  auto walk = [&](std::span<const std::pair<uint32_t, float>> list) {
    for (size_t r = 0; r < list.size(); ++r) {
      const float c = 1.0f / ((static_cast<float>(r) + rrf_k) + 1.0f);
      auto [it, fresh] = fused.try_emplace(list[r].first, 0.0f);
      it->second = c + it->second;
    }
  };
  walk(dense);
  walk(sparse);
  std::vector<SlotScore> rows(fused.begin(), fused.end());
  select_sorted(rows, k);
  return rows;
}

}  // namespace ivf_rabitq::search
