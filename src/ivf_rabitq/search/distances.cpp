#include "ivf_rabitq/search/distances.hpp"

#include <cmath>
#include <limits>

#include "ivf_rabitq/common/parallel.hpp"
#include "ivf_rabitq/search/search.hpp"

namespace ivf_rabitq::search {

using index::IdMap;
using index::IvfIndex;
using quant::RerankTable;

namespace {

template <class Id>
std::vector<float> chunk_impl(const IvfIndex& index, const IdMap& map, const storage::Tombstones& tombs,
                              const storage::Delta& delta, std::span<const RerankTable> tables,
                              std::span<const float> queries, std::span<const Id> ids) {
  const SegmentView seg = index_view(index).seg;
  const size_t dim = seg.dim;
  const auto slots = index.slots_of_locked(ids, map, delta.ids);
  // Delta slots whose rerank bytes are really there (a slot the resolver returns is below
  // n + delta rows; the bytes are checked too).
  const uint64_t delta_rows = delta.rerank.size() / (dim + 1);
  std::vector<float> out;
  out.reserve(ids.size());
  for (const auto& slot : slots) {
    if (!slot || tombs.contains(*slot) || (*slot >= seg.n && *slot - seg.n >= delta_rows)) {
      out.push_back(std::numeric_limits<float>::quiet_NaN());
      continue;
    }
    float m = std::numeric_limits<float>::infinity();
    for (size_t j = 0; j < tables.size(); ++j) {
      const float d = slot_distance(seg, delta, tables[j], queries.subspan(j * dim, dim), *slot);
      if (d < m) m = d;  // a NaN d leaves m unchanged
    }
    out.push_back(m);
  }
  return out;
}

}  // namespace

std::vector<RerankTable> distance_tables(const IvfIndex& index, std::span<const float> queries) {
  const size_t dim = index.manifest.dim;
  std::vector<RerankTable> tables;
  if (dim == 0) return tables;
  const size_t q = queries.size() / dim;
  tables.reserve(q);
  const bool pow2 = index.origscale_bin.has_value();
  for (size_t i = 0; i < q; ++i) tables.push_back(rerank_table(index, queries.subspan(i * dim, dim), pow2));
  return tables;
}

std::vector<float> distances_chunk(const IvfIndex& index, const IdMap& map, const storage::Tombstones& tombs,
                                   const storage::Delta& delta, std::span<const RerankTable> tables,
                                   std::span<const float> queries, std::span<const std::string_view> ids) {
  return chunk_impl(index, map, tombs, delta, tables, queries, ids);
}

std::vector<float> distances_chunk(const IvfIndex& index, const IdMap& map, const storage::Tombstones& tombs,
                                   const storage::Delta& delta, std::span<const RerankTable> tables,
                                   std::span<const float> queries, std::span<const std::string> ids) {
  return chunk_impl(index, map, tombs, delta, tables, queries, ids);
}

std::vector<float> distances_to(const IvfIndex& index, std::span<const std::string_view> ids,
                                std::span<const float> queries, bool parallel) {
  const std::vector<RerankTable> tables = distance_tables(index, queries);
  auto map = index.locks().id_map.read();
  auto tombs = index.locks().tombstones.read();
  auto delta = index.locks().delta.read();
  if (!parallel || ids.size() < kDistanceParallelMin)
    return distances_chunk(index, *map, *tombs, *delta, tables, queries, ids);
  std::vector<float> out;
  parallel::isolate([&] {
    out = parallel::collect_chunks<float>(ids.size(), kDistanceChunk, [&](size_t b, size_t e) {
      return distances_chunk(index, *map, *tombs, *delta, tables, queries, ids.subspan(b, e - b));
    });
  });
  return out;
}

std::vector<float> distances_across(std::span<const IvfIndex* const> sources, std::span<const std::string_view> ids,
                                    std::span<const float> queries, bool parallel) {
  std::vector<float> out(ids.size(), std::numeric_limits<float>::quiet_NaN());
  if (ids.empty() || sources.empty()) return out;
  if (sources.size() == 1) return distances_to(*sources[0], ids, queries, parallel);
  std::vector<size_t> pending(ids.size());
  std::vector<std::string_view> pending_ids(ids.begin(), ids.end());
  for (size_t i = 0; i < pending.size(); ++i) pending[i] = i;
  for (const IvfIndex* src : sources) {
    if (pending.empty()) break;
    const std::vector<float> d = distances_to(*src, pending_ids, queries, parallel);
    size_t kept = 0;
    for (size_t i = 0; i < pending.size(); ++i) {
      if (!std::isnan(d[i])) {
        out[pending[i]] = d[i];
      } else {
        pending[kept] = pending[i];
        pending_ids[kept] = pending_ids[i];
        ++kept;
      }
    }
    pending.resize(kept);
    pending_ids.resize(kept);
  }
  return out;
}

}  // namespace ivf_rabitq::search
