// The live rows of one open segment, as the maintenance paths (compaction, rebuild, merge)
// read them: main rows plus delta rows minus tombstones, per cluster or in slot order, over
// copies of the tombstones and the delta taken once, so the paths never hold an index lock
// while they write.
//
// A row is addressed by RowRef: a main slot (0 .. n-1) or a delta row index (slot n + d).
// Main rows' contents are read in place from the segment's mappings, delta rows' from the
// delta copy. Every read is bounds-checked against the mapping or list it reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/storage/records.hpp"
#include "ivf_rabitq/storage/tombstones.hpp"

namespace ivf_rabitq::maintain {

struct RowRef {
  bool delta = false;
  uint32_t index = 0;  // main slot, or delta row index
  bool operator==(const RowRef&) const = default;
};

class LiveRows {
 public:
  // Copies the tombstones under their read lock, releases it, then clones the delta under its
  // read lock (never both locks at once), and groups the live delta rows by cluster.
  explicit LiveRows(const index::IvfIndex& ix);

  const index::IvfIndex& index() const { return ix_; }
  uint32_t main_rows() const { return n_; }
  size_t delta_rows() const { return delta_.rows(); }
  size_t dim() const { return dim_; }
  // u64 code words per row.
  size_t code_words() const { return words_; }
  size_t n_clusters() const { return n_clusters_; }
  const storage::Delta& delta() const { return delta_; }
  const storage::Tombstones& tombstones() const { return tombs_; }

  bool main_live(uint32_t s) const { return !tombs_.contains(s); }
  bool delta_live(uint32_t d) const { return !tombs_.contains(static_cast<uint32_t>(n_ + d)); }
  bool live(RowRef r) const { return r.delta ? delta_live(r.index) : main_live(r.index); }
  // Number of live rows (exact over the copies).
  uint64_t live_count() const { return live_; }

  // Main slots of cluster c: [begin, end) from the manifest's cluster offsets.
  std::pair<uint32_t, uint32_t> main_range(size_t c) const;
  // Live delta rows of cluster c, ascending.
  std::span<const uint32_t> delta_of_cluster(size_t c) const;

  // Visits cluster c's live rows: its main rows in slot order, then its delta rows in the order
  // they were added. f(RowRef) returns Status; the first failure ends the walk.
  template <class F>
  Status for_each_in_cluster(size_t c, F&& f) const {
    const auto [b, e] = main_range(c);
    for (uint32_t s = b; s < e; ++s)
      if (main_live(s)) TANDREL_TRY(f(RowRef{false, s}));
    for (uint32_t d : delta_of_cluster(c)) TANDREL_TRY(f(RowRef{true, d}));
    return {};
  }
  // Visits every live row: main rows by ascending slot, then delta rows in delta order.
  template <class F>
  Status for_each(F&& f) const {
    for (uint32_t s = 0; s < n_; ++s)
      if (main_live(s)) TANDREL_TRY(f(RowRef{false, s}));
    for (uint32_t d = 0; d < delta_.rows(); ++d)
      if (delta_live(d)) TANDREL_TRY(f(RowRef{true, d}));
    return {};
  }

  // Binary code words (code_words()), the four row factors, and the dim int8 code bytes.
  const uint64_t* codes(RowRef r) const;
  const float* factors(RowRef r) const;
  const uint8_t* rerank(RowRef r) const;
  // A delta row's exponent byte (0: the row uses the segment's quant_scale).
  uint8_t delta_exp(uint32_t d) const { return delta_.rerank[static_cast<size_t>(d) * (dim_ + 1) + dim_]; }
  // A main row's 8-byte origscale.bin record, or nullptr without origscale.bin.
  const uint8_t* main_scale_record(uint32_t s) const;
  bool has_origscale() const { return origscale_ != nullptr; }

  // The scale a row's int8 codes are dequantised with: a main row's record exponent (raised to
  // 2) with origscale.bin, a delta row's non-zero exponent byte (raised to 2), otherwise the
  // manifest's quant_scale.
  float scale(RowRef r) const;
  // dim values ((code - 128) / 127) x scale, in f32.
  void dequantise(RowRef r, float* out) const;

  // The row's external id. A main row whose id cannot be read (offsets out of order or out of
  // range, bytes not UTF-8, a slot beyond the legacy list) is the invalid-data error
  // "corrupt index: id of row {slot} cannot be read": writing it as the empty id would make
  // two rows share one id and lose one of them.
  Result<std::string_view> id(RowRef r) const;

  // The main rows' sparse terms regrouped by slot (postings below n only), each row's pairs
  // in the order the term index is walked.
  std::unordered_map<uint32_t, storage::SparsePairs> main_sparse_by_slot() const;
  // A delta row's sparse terms (empty when the delta holds none for it).
  std::span<const std::pair<uint32_t, float>> delta_sparse(uint32_t d) const;
  // A delta row's stored metadata text, or nullptr when the delta holds fewer texts.
  const std::string* delta_meta(uint32_t d) const { return d < delta_.meta.size() ? &delta_.meta[d] : nullptr; }

 private:
  const index::IvfIndex& ix_;
  storage::Tombstones tombs_;
  storage::Delta delta_;
  std::vector<std::vector<uint32_t>> by_cluster_;
  const uint8_t* origscale_ = nullptr;
  uint64_t live_ = 0;
  uint32_t n_ = 0;
  size_t dim_ = 0;
  size_t words_ = 0;
  size_t n_clusters_ = 0;
};

// Checks that the mapped main-row files and the delta copy hold what the manifest and the
// delta's row count imply, so the readers above never read outside them. Error:
// "corrupt index: {what} shorter than the rows it must hold".
Status check_row_sources(const LiveRows& rows);

}  // namespace ivf_rabitq::maintain
