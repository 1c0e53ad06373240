// Rebuild: the live rows of an open segment gathered in slot order (id, vector dequantised
// from the int8 rerank bytes, metadata value, sparse terms) and handed to the bulk build,
// which re-clusters and re-encodes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/storage/records.hpp"

namespace ivf_rabitq::maintain {

// One entry per live row: main rows by ascending slot, then delta rows in delta order.
struct GatheredRows {
  size_t dim = 0;
  std::vector<float> vectors;  // rows x dim
  std::vector<std::string> ids;
  std::vector<json::Value> meta;
  std::vector<storage::SparsePairs> sparse;
  size_t rows() const { return ids.size(); }
};

// Gathers the live rows of `ix` over copies of its tombstones and delta. A main row whose id
// cannot be read is the "corrupt index: " error of LiveRows::id.
Result<GatheredRows> gather_live_rows(const index::IvfIndex& ix);

// The cluster count of a rebuild: the given one, else floor(sqrt(live rows)) (in double,
// clamped to the u32 range); at least 1.
uint32_t rebuild_clusters(std::optional<uint32_t> n_clusters, uint64_t live_rows);

// Fields kept out of typed columns by the rebuilt segment: the handle's skip set when it has
// one; otherwise every top-level key of the gathered metadata objects that is not the name of
// a field of the live schema (every key when the schema has none). Sorted, distinct.
std::vector<std::string> rebuild_skip_fields(const std::optional<predicate::SkipSet>& skip, const GatheredRows& rows,
                                             const std::vector<storage::FieldSchema>& live_fields);

// The whole rebuild of `ix` into `out`: the recorded data files checked against crcs.bin
// (a mismatch is the "corrupt index: " error, before anything is written), gather, bulk build with the segment's PCA basis,
// n_bits, seed and quant_scale and min(max(rows, 1), k) clusters, then `out/generation`
// replaced with `generation`.
Status rebuild_to(const index::IvfIndex& ix, const std::string& out, std::optional<uint32_t> n_clusters,
                  const std::optional<predicate::SkipSet>& skip, uint64_t generation);

}  // namespace ivf_rabitq::maintain
