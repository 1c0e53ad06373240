// Per-id distances: for each external id, the int8 rerank distance a search would report
// between its live row and the nearest of one or more queries.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ivf_rabitq/codec/quant.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/search/search_view.hpp"

namespace ivf_rabitq::search {

// Ids per parallel chunk, and the smallest batch that is split over the pool.
inline constexpr size_t kDistanceChunk = 32;
inline constexpr size_t kDistanceParallelMin = 64;

// One rerank table per whole query of `queries` (dim values each, trailing values ignored;
// none when dim is 0), with the pow2 part exactly when the segment has origscale.bin.
std::vector<quant::RerankTable> distance_tables(const index::IvfIndex& index, std::span<const float> queries);

// The per-chunk step: one f32 per id (NaN: no row or tombstoned; +inf: no queries; else the
// smallest distance over the queries, a NaN distance never replacing a number). The caller
// holds the id_map, tombstones and delta read locks (in that order) and passes what they
// guard, and built `tables` from the same `queries`.
std::vector<float> distances_chunk(const index::IvfIndex& index, const index::IdMap& map,
                                   const storage::Tombstones& tombs, const storage::Delta& delta,
                                   std::span<const quant::RerankTable> tables, std::span<const float> queries,
                                   std::span<const std::string_view> ids);
std::vector<float> distances_chunk(const index::IvfIndex& index, const index::IdMap& map,
                                   const storage::Tombstones& tombs, const storage::Delta& delta,
                                   std::span<const quant::RerankTable> tables, std::span<const float> queries,
                                   std::span<const std::string> ids);

// The whole lookup: tables outside the locks, then the id_map, tombstones and delta read
// locks for the whole call; with `parallel` and 64 ids or more, chunks of 32 ids run on the
// calling thread's pool and come back in id order. Never fails.
std::vector<float> distances_to(const index::IvfIndex& index, std::span<const std::string_view> ids,
                                std::span<const float> queries, bool parallel);

// The same lookup over several segments of one column, newest first: each id takes the
// value of the first segment that holds it live; later segments see only the ids still
// unresolved (NaN so far). No segments, or no segment holding an id: NaN. With one segment
// this is exactly `distances_to`.
std::vector<float> distances_across(std::span<const index::IvfIndex* const> sources,
                                    std::span<const std::string_view> ids, std::span<const float> queries,
                                    bool parallel);

}  // namespace ivf_rabitq::search
