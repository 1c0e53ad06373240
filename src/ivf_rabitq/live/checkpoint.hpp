// Checkpoints of an open segment: the tombstones go to deleted.bin (framed "TDDB", Roaring
// portable body without run containers), the delta rows to delta.bin (framed "TDDL", the
// Delta record with typed columns cut back to the main column files), a caller's follow-up
// step runs (the handle bumps the generation there), a damaged log is quarantined to
// wal.corrupt.bin, and wal.bin is replaced by an empty file. Every file goes through the
// atomic replacement (temporary, fsync, rename, directory fsync), in an order the open can
// reconcile after a crash at any point.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::live {

// Checkpoints ix and runs follow_up (at most once, holding only checkpoint_mutex) between
// writing the two files and emptying the log. The caller holds none of checkpoint_mutex,
// wal or delta_stamp of ix. Result: success or the first error (see the step table in
// checkpoint.cpp for what each failure leaves behind).
Status checkpoint_then(index::IvfIndex& ix, const std::function<Status()>& follow_up);
// checkpoint_then with a follow-up that does nothing.
Status checkpoint(index::IvfIndex& ix);

// The identity of dir/delta.bin (following symbolic links): none when it does not exist,
// the status error otherwise.
Result<std::optional<index::DeltaStamp>> disk_delta_stamp(const std::string& dir);

// The list sizes of a delta, all 64-bit so that shapes beyond what memory holds can be
// checked.
struct DeltaShape {
  uint64_t rows = 0;  // ids
  uint64_t codes = 0, factors = 0, rerank = 0, clusters = 0, meta = 0, sparse = 0;
  std::vector<uint64_t> num_cols, str_cols;  // length of each column list
  uint64_t max_cluster = 0;                  // largest cluster number (0 without rows)
};
DeltaShape shape_of(const storage::Delta& d);

// Refuses (invalid data) a delta the open would refuse as structurally inconsistent or as
// overflowing the slot space, so a checkpoint never writes a delta.bin that cannot reopen.
// num_files / str_files: the column files of the main segment.
Status check_delta_for_checkpoint(const DeltaShape& s, const storage::Manifest& m, size_t num_files, size_t str_files);

// The body of delta.bin for ix's current delta: the Delta record, typed column lists cut to
// the main segment's column files when the delta holds more. Holds the delta read lock.
Result<std::vector<uint8_t>> checkpoint_delta_body(const index::IvfIndex& ix);

// The quarantine warning line (without the newline).
std::string quarantine_warning(const std::string& corrupt_path);

}  // namespace ivf_rabitq::live
