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

namespace ivf_rabitq::index {

namespace {

struct Accumulator {
  std::vector<float> score;
  std::vector<uint32_t> stamp;
  std::vector<uint32_t> touched;
  uint32_t epoch = 0;

  // Readies the accumulator for slots below `slots`.
  void begin(size_t slots) {
    if (score.size() < slots) {
      score.resize(slots);
      stamp.resize(slots, 0);
    }
    touched.clear();
    if (++epoch == 0) {  // wrapped: forget every old stamp
      std::fill(stamp.begin(), stamp.end(), 0);
      epoch = 1;
    }
  }
  void add(uint32_t slot, float v) {
    if (stamp[slot] != epoch) {
      stamp[slot] = epoch;
      score[slot] = v + 0.0f;  // an absent entry starts at +0
      touched.push_back(slot);
    } else {
      score[slot] = v + score[slot];
    }
  }
  // Drops the buffers when a call needed far more than usual, so one huge segment does not
  // pin its size in every thread that ever served it.
  void end() {
    if (touched.capacity() > (size_t{1} << 22)) std::vector<uint32_t>().swap(touched);
  }
};

Accumulator& thread_accumulator() {
  thread_local Accumulator acc;
  return acc;
}

// Orders `rows` by score_before and keeps the first k (selection first when it pays).
void select_sorted(std::vector<SlotScore>& rows, uint32_t k) {
  if (k < rows.size()) {
    std::nth_element(rows.begin(), rows.begin() + k, rows.end(), score_before);
    rows.resize(k);
  }
  std::sort(rows.begin(), rows.end(), score_before);
}

}  // namespace

std::vector<SlotScore> sparse_rank(const IvfIndex& index, SparseQuery query, uint64_t k64,
                                   const predicate::Predicate* filter) {
  const uint32_t k = sat_u32(k64);
  if (k == 0) return {};
  auto tombs = index.tombstones.read();
  auto delta = index.delta.read();
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(index.manifest.n, kU32Max - 1));
  const size_t delta_rows = std::min<size_t>(delta->rows(), size_t{kU32Max - 1} - n);

  Accumulator& acc = thread_accumulator();
  acc.begin(static_cast<size_t>(n) + delta_rows);

  // Main rows.
  if (has_main_postings(index)) {
    for (const auto& [t, w] : query) {
      for_each_main_posting(index, t, [&](uint32_t row, float p) {
        if (row < n) acc.add(row, p * w);
      });
    }
  }
  // Delta rows.
  {
    auto ds = index.delta_sparse.read();
    if (!ds->empty()) {
      for (const auto& [t, w] : query) {
        auto it = ds->find(t);
        if (it == ds->end()) continue;
        for (const auto& [i, p] : it->second)
          if (i < delta_rows) acc.add(n + i, p * w);
      }
    }
  }

  // Tombstoned rows are dropped here rather than per posting: their sums are never looked at,
  // so the result is the same and each row is tested once.
  std::vector<SlotScore> rows;
  rows.reserve(acc.touched.size());
  const bool any_tomb = !tombs->empty();
  for (uint32_t slot : acc.touched) {
    if (any_tomb && tombs->contains(slot)) continue;
    if (filter) {
      const bool pass = slot < n ? index.passes_main(*filter, slot)
                                 : IvfIndex::passes_delta(*delta, *filter, slot - n);
      if (!pass) continue;
    }
    rows.emplace_back(slot, acc.score[slot]);
  }
  acc.end();
  select_sorted(rows, k);
  return rows;
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

}  // namespace ivf_rabitq::index
