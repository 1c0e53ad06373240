// The centroids regrouped for the centroid ranking of the dense search, and the size below
// which a segment ranks from every distance instead.
//
// This header holds the type an open index keeps; RankOrder::build and the ranking that
// reads it are in search/search_rank.hpp and search/search_rank.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ivf_rabitq/kmeans/distance.hpp"

namespace ivf_rabitq::kmeans {

// Up to this many centroid coordinates (centroids x padded dimension) a segment ranks from
// every distance in full (nearest_keys_all): for a few short centroids the abandoning scan's
// checks and heap cost more than the distances they skip, and no RankOrder is built.
inline constexpr uint64_t kPlainRankCoordinates = uint64_t{1} << 16;

// The centroids regrouped for the ranking: each group of two packed blocks (what one kernel
// call scans) holds a centroid and the 31 nearest to it among those not yet placed, so that
// the groups of a far region are all far and abandoned early (random neighbours keep a near
// centroid in most groups, and a group is abandoned only when every partial sum is over the
// limit). Derived at open.
struct RankOrder {
  distance::PackedVectors packed;
  std::vector<uint32_t> ids;  // the centroid of packed vector i

  // From n row-major vectors of dim values and their packing in index order. Empty when the
  // grouping would cost more than a bounded amount of work (n x n x dim).
  static RankOrder build(const float* rows, const distance::PackedVectors& pv, size_t n, size_t dim);
  bool empty() const { return ids.empty(); }
};

}  // namespace ivf_rabitq::kmeans
