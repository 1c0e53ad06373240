// Metadata texts of rows addressed by id: the unbudgeted batch read, the estimated memory
// cost of a text, and the batch read under a budget of such costs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::scan {

// What a "null" answer costs when nulls are charged.
inline constexpr size_t kNullCost = 16;

// Estimated memory units of one metadata text of L bytes: max(4 x L, 288 x commas + 128 x
// openers + 256 x colons), counting ',', ':', '[' and '{' outside JSON strings only (a string
// left open at the end stops the count); every product and sum saturates.
size_t metadata_result_cost(std::string_view text);

// The stored text of a row when it can be had without building anything: a delta row's
// text, or a main row's meta.bin bytes when the file is mapped and the row's offsets are
// good (not checked for UTF-8 or JSON). `delta_meta` is the delta's texts (caller holds the
// delta read lock).
std::optional<std::string_view> stored_meta_text(const index::IvfIndex& ix, uint32_t slot,
                                                 const std::vector<std::string>& delta_meta);

// One text per id: "null" for an id without a live row, else row_meta_str of its slot
// (reverse dictionaries built for a segment without meta.bin). Takes the id-map, tombstone
// and delta read locks for the whole batch.
std::vector<std::string> get_meta(const index::IvfIndex& ix, std::span<const std::string> ids);

struct LimitedMeta {
  std::vector<std::string> texts;  // one per id, in request order
  size_t units = 0;                // units charged for the answers that are not "null"
  size_t nulls = 0;                // answers that are "null", whatever the reason
};

// get_meta under a budget of memory units: a "null" answer costs kNullCost only with
// charge_nulls; any other answer costs 288 x its length when fast_upper is set and that
// fits the remaining budget, else metadata_result_cost. None as soon as one answer's cost
// exceeds what is left (a cost equal to it fits); texts already produced are dropped.
std::optional<LimitedMeta> get_meta_limited(const index::IvfIndex& ix, std::span<const std::string> ids, size_t budget,
                                            bool charge_nulls, bool fast_upper);

}  // namespace ivf_rabitq::scan
