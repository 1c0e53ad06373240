// Group commit: the durability point of every logged add and delete. One fdatasync of the
// log per operation (default), one every N operations, or at most one per time window. A
// failed sync is sticky: from then on no operation whose sync is due is confirmed until a
// checkpoint has made the log durable again.
#pragma once

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"

namespace ivf_rabitq::live {

// The text of the sticky refusal (an error of kind other).
inline constexpr const char* kWalSyncFailedText =
    "WAL fsync previously failed; call sync()/flush() to recover durability before confirming this op";

// Runs the group-commit policy after an operation was logged and applied. Callers hold the
// index's checkpoint_mutex. On error the operation stays logged and applied.
Status wal_group_commit(index::IvfIndex& ix);

// The log sync of the handle's sync() when no checkpoint is needed: fdatasync of the held
// descriptor under `wal` (none held counts as success), not counted in wal_sync_count. On
// success: ops_since_sync = 0 and the window restarts; durable_tomb_epoch is raised to the
// tomb_epoch read before the sync only when a descriptor was actually synced (with none, the
// log on disk may hold replayed deletes nobody synced yet, which the next checkpoint must
// sync before writing deleted.bin). On failure: fsync_failed is set and the descriptor closed.
Status wal_sync_now(index::IvfIndex& ix);

// fdatasync of the held descriptor (retrying EINTR); on failure sets fsync_failed, closes
// the descriptor and returns the system's error. Shared by the group commit and sync.
// `synced` (optional) is set to true when a descriptor was held and its sync succeeded.
Status wal_sync_descriptor(index::IvfIndex& ix, bool* synced = nullptr);

// The monotonic clock of the sync window. Tests may replace it (nullptr restores the real
// clock); returns the previous override.
using WalNowFn = index::WalClock::time_point (*)();
index::WalClock::time_point wal_now();
WalNowFn set_wal_clock_for_testing(WalNowFn fn);

}  // namespace ivf_rabitq::live
