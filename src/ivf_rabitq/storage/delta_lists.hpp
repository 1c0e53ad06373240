// Delta rows grouped by cluster: for every cluster, the indexes of the delta rows assigned
// to it, ascending. The dense search reads the lists of the clusters it probes instead of
// walking every delta row per cluster.
//
// The lists mirror the delta's `clusters` field row for row. An open index keeps its lists
// beside the delta and changes them only while it holds the delta write lock (the open
// assigns them from the loaded delta, every add appends its row), so a reader holding the
// delta read lock always sees lists that describe exactly the delta it sees. A row whose
// cluster lies outside [0, clusters()) is counted but listed nowhere (no probe reaches it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::storage {

class DeltaClusterLists {
 public:
  DeltaClusterLists() = default;
  explicit DeltaClusterLists(size_t n_clusters) : n_clusters_(n_clusters) {}

  // Empty lists for n_clusters clusters.
  void reset(size_t n_clusters) {
    lists_.clear();
    lists_.shrink_to_fit();
    n_clusters_ = n_clusters;
    rows_ = 0;
  }

  // The lists of every row of `delta`, for n_clusters clusters.
  void assign(const storage::Delta& delta, size_t n_clusters) {
    reset(n_clusters);
    for (uint32_t c : delta.clusters) append(c);
  }

  // Allocates what append(c) needs, so that the append itself cannot fail.
  void reserve_one(uint32_t c) {
    if (c >= n_clusters_) return;
    if (lists_.empty()) lists_.resize(n_clusters_);
    std::vector<uint32_t>& l = lists_[c];
    if (l.size() == l.capacity()) l.reserve(l.empty() ? 4 : 2 * l.size());
  }

  // Appends the next delta row (index rows()), of cluster c.
  void append(uint32_t c) {
    if (c < n_clusters_) {
      // Allocated with the first listed row: an index that never gets a delta row keeps no
      // per-cluster vectors.
      if (lists_.empty()) lists_.resize(n_clusters_);
      lists_[c].push_back(static_cast<uint32_t>(rows_));
    }
    ++rows_;
  }

  // Delta rows of cluster c, ascending.
  std::span<const uint32_t> rows_of(uint32_t c) const {
    return c < lists_.size() ? std::span<const uint32_t>(lists_[c]) : std::span<const uint32_t>();
  }
  // Delta rows described (listed or not).
  size_t rows() const { return rows_; }
  size_t clusters() const { return n_clusters_; }

 private:
  std::vector<std::vector<uint32_t>> lists_;  // empty, or n_clusters_ lists
  size_t n_clusters_ = 0;
  size_t rows_ = 0;
};

}  // namespace ivf_rabitq::storage
