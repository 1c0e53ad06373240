// Bounds-checked readers of the main rows' sparse postings of an open segment: sparse.bin
// read in place through the term index built at open, or, for a segment without a usable
// sparse.bin, the postings kept in the manifest.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::segment {

// The postings of `term` in sparse.bin as raw 8-byte records (row u32 LE, weight f32 LE), in
// stored order; empty when the segment has no sparse.bin, does not know the term, or the
// span would reach past the mapped file.
inline std::span<const uint8_t> sparse_bin_postings(const index::IvfIndex& ix, uint32_t term) {
  if (!ix.sparse_bin || ix.sparse_terms.empty()) return {};
  auto it = ix.sparse_terms.find(term);
  if (it == ix.sparse_terms.end()) return {};
  const index::SparseSpan span = it->second;
  const auto bytes = ix.sparse_bin->bytes();
  const uint64_t len = bytes.size();
  // The open checked the whole layout; this only guards against a term index and a file
  // that disagree.
  if (ix.sparse_base > len) return {};
  const uint64_t avail = (len - ix.sparse_base) / 8;
  if (span.start > avail || span.count > avail - span.start) return {};
  return bytes.subspan(ix.sparse_base + span.start * 8, size_t{span.count} * 8);
}

inline uint32_t posting_row(const uint8_t* rec) {
  uint32_t row;
  std::memcpy(&row, rec, 4);
  return row;
}
inline float posting_weight(const uint8_t* rec) {
  float w;
  std::memcpy(&w, rec + 4, 4);
  return w;
}

// Calls f(row, weight) for every posting of `term` among the main rows, in stored order:
// from sparse.bin when the segment has one, else from the manifest's postings. Rows are as
// stored (the caller checks them against the row count).
template <class F>
void for_each_main_posting(const index::IvfIndex& ix, uint32_t term, F&& f) {
  if (ix.sparse_bin) {
    const auto recs = sparse_bin_postings(ix, term);
    for (size_t off = 0; off < recs.size(); off += 8) f(posting_row(&recs[off]), posting_weight(&recs[off]));
    return;
  }
  if (ix.manifest.sparse.empty()) return;
  auto it = ix.manifest.sparse.find(term);
  if (it == ix.manifest.sparse.end()) return;
  for (const auto& [row, w] : it->second) f(row, w);
}

// Whether the segment's main rows have any sparse postings at all.
inline bool has_main_postings(const index::IvfIndex& ix) {
  return ix.sparse_bin ? !ix.sparse_terms.empty() : !ix.manifest.sparse.empty();
}

}  // namespace ivf_rabitq::segment
