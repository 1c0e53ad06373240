// Filtered scans of an open segment: the ids, the first `limit` ids, the number and the
// existence of live rows passing an optional compiled filter (null: every live row).
//
// Each scan takes the tombstone read lock, then the delta read lock, and holds both for its
// whole run, so it sees one state of the segment; it releases the delta lock first. Main
// rows are walked first in slot order, then delta rows in order of addition. From 50,000
// main rows the main part runs on the calling thread's pool; its workers read through the
// caller's guards and take no lock. Typed columns are evaluated a block of rows at a time
// (predicate/block_eval.hpp). None of the scans can fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq/predicate/predicate.hpp"
#include "ivf_rabitq/predicate/block_eval.hpp"

namespace ivf_rabitq::scan {

// Main rows from which the scans use the pool.
inline constexpr uint64_t kScanParallelRows = 50000;
// Main rows exists_matching tests on the calling thread before it considers the pool.
inline constexpr uint64_t kExistsProbeRows = 4096;
// First window of ids_matching_limit on large segments; each next window is twice as long.
inline constexpr uint64_t kLimitFirstWindow = 200000;

// Matching ids: main rows in slot order (a main row without a readable id gives ""), then
// delta rows in order of addition.
std::vector<std::string> ids_matching(const index::IvfIndex& ix, const predicate::Predicate* filter);
// The first `limit` entries of ids_matching, scanning no further than needed (limit 0: no
// lock taken, nothing scanned).
std::vector<std::string> ids_matching_limit(const index::IvfIndex& ix, const predicate::Predicate* filter,
                                            uint64_t limit);
// Number of matching rows.
uint64_t count_matching(const index::IvfIndex& ix, const predicate::Predicate* filter);
// Whether any row matches; stops at the first match.
bool exists_matching(const index::IvfIndex& ix, const predicate::Predicate* filter);

// The typed columns of the main rows (the mapped num_{i}.bin / str_{j}.bin) and of the
// delta rows (the caller holds the delta read lock for as long as it uses the result).
predicate::ColumnSet main_columns(const index::IvfIndex& ix);
predicate::ColumnSet delta_columns(const storage::Delta& d);

}  // namespace ivf_rabitq::scan
