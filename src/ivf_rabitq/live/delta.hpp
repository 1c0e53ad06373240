// Delta rows of an open segment: the add (with upsert) and delete that the write path and
// log replay apply to memory, and the logged forms the write path runs under the index's
// checkpoint mutex (append to wal.bin, apply, group commit).
//
// A delta row is encoded in every form readers need the moment apply_add returns: binary
// codes and row factors of its rotated residual, its nearest cluster, int8 rerank bytes
// plus the exponent byte, typed column values, its id, metadata text and sparse terms
// (with postings in delta_sparse), and its place in the per-cluster lists (delta_lists).
// Delta row d has slot n + d; slots are never reused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/common/json.hpp"

namespace ivf_rabitq::index {
class IvfIndex;
}  // namespace ivf_rabitq::index

namespace ivf_rabitq::live {

// Slots are u32 and 4294967295 is never one: n + delta rows stays below it.
inline constexpr uint64_t kSlotLimit = 4294967295ull;

// Whether one more row fits the slot space (main rows + delta rows + 1 < 2^32 - 1).
bool slot_space_allows_one_more(uint64_t main_rows, uint64_t delta_rows);

// Upserts one row. vector holds at least dim values (callers pass exactly dim); meta is the
// parsed document (JSON null without metadata), meta_text its compact printing (stored as
// given). An existing live row of the id is tombstoned after the new row is appended, and
// the id map is pointed at the new slot last, so concurrent readers never see neither row.
// Cannot fail. Callers serialise writers (checkpoint_mutex, or the open before sharing).
void apply_add(index::IvfIndex& ix, std::string id, std::span<const float> vector, const json::Value& meta,
               std::string meta_text, std::span<const std::pair<uint32_t, float>> sparse);

// Tombstones the live row of id: true when a live row was tombstoned now, false when the id
// has no row or its row is already tombstoned.
bool apply_delete(index::IvfIndex& ix, std::string_view id);

// The logged add of the write path: refuses a vector of another length (invalid input "add:
// vector length {} != index dim {}") and an add beyond the slot space (invalid input "slot
// space exhausted: {} existing + {} new rows exceed the u32 slot capacity", tested under the
// delta read lock before and again after checkpoint_mutex is taken); then, holding
// checkpoint_mutex: wal_write of the Add record (failure: nothing applied), apply_add,
// wal_group_commit (failure: the row stays applied and logged, the error is returned).
// meta_text is what the log and the delta store (the compact printing of meta).
Status add_logged(index::IvfIndex& ix, std::string id, std::span<const float> vector, const json::Value& meta,
                  std::string meta_text, std::span<const std::pair<uint32_t, float>> sparse);

// The logged delete of the write path: false without writing anything when the id has no
// live row; otherwise, holding checkpoint_mutex: wal_write of the Delete record, apply_delete
// (its result is returned), wal_group_commit (failure: the tombstone stays, error returned).
Result<bool> delete_logged(index::IvfIndex& ix, std::string_view id);

}  // namespace ivf_rabitq::live
