// Per-value counts of a batch of ids over one string column, straight from the typed
// columns' dictionary codes (no metadata text is read).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::scan {

struct IdAggregate {
  // Value text -> number of live requested rows holding it (duplicates counted each time).
  std::unordered_map<std::string, uint64_t> counts;
  // Positions in the request of the ids that resolved to a live row, ascending; a row
  // without a value for the field is claimed too.
  std::vector<uint32_t> resolved;
};

// Groups `ids` by the value of the string field `field` of the live schema (the manifest's
// fields when the delta grew none). None when the field list has no string entry of that
// name, or has a numeric entry of that name. Value texts: the dictionary key itself below
// format 3; from format 3 the key decoded with dict_key_value, a string used as it is and
// any other value as its compact JSON text (keys decoding to the same text are summed).
// Locks: the live schema's read lock, then the id-map, tombstone and delta read locks for
// the row scan (released before the value texts are decoded), the schema lock last.
std::optional<IdAggregate> aggregate_by_ids(const index::IvfIndex& ix, std::string_view field,
                                            std::span<const std::string> ids);

}  // namespace ivf_rabitq::scan
