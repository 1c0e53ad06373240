// Bounds-checked readers of the main rows' sparse postings of an open segment: sparse.bin
// read in place through the term index built at open, or, for a segment without a usable
// sparse.bin, the postings kept in the manifest.
#pragma once

#include <cstdint>
#include <cstring>

#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::index {

// Calls f(row, weight) for every posting of `term` among the main rows, in stored order.
// Rows are as stored (the caller checks them against the row count). A term the segment
// does not know, or a span that would reach past the mapped file, yields nothing.
template <class F>
void for_each_main_posting(const IvfIndex& ix, uint32_t term, F&& f) {
  if (ix.sparse_bin) {
    if (ix.sparse_terms.empty()) return;
    auto it = ix.sparse_terms.find(term);
    if (it == ix.sparse_terms.end()) return;
    const SparseSpan span = it->second;
    const auto bytes = ix.sparse_bin->bytes();
    const uint64_t len = bytes.size();
    // The open checked the whole layout; this only guards against a term index and a file
    // that disagree.
    if (ix.sparse_base > len) return;
    const uint64_t avail = (len - ix.sparse_base) / 8;
    if (span.start > avail || span.count > avail - span.start) return;
    const uint8_t* p = bytes.data() + ix.sparse_base + span.start * 8;
    for (uint32_t i = 0; i < span.count; ++i, p += 8) {
      uint32_t row;
      float w;
      std::memcpy(&row, p, 4);
      std::memcpy(&w, p + 4, 4);
      f(row, w);
    }
    return;
  }
  if (ix.manifest.sparse.empty()) return;
  auto it = ix.manifest.sparse.find(term);
  if (it == ix.manifest.sparse.end()) return;
  for (const auto& [row, w] : it->second) f(row, w);
}

// Whether the segment's main rows have any sparse postings at all.
inline bool has_main_postings(const IvfIndex& ix) {
  return ix.sparse_bin ? !ix.sparse_terms.empty() : !ix.manifest.sparse.empty();
}

}  // namespace ivf_rabitq::index
