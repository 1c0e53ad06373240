// Group commit and the log sync shared with the handle's sync().
#include "ivf_rabitq/live/group_commit.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "ivf_rabitq/common/fileops.hpp"

namespace ivf_rabitq::live {

using index::IvfIndex;
using index::WalClock;

namespace {

std::atomic<WalNowFn> g_now_override{nullptr};

// Atomic maximum.
void raise_to(std::atomic<uint64_t>& a, uint64_t v) {
  uint64_t cur = a.load();
  while (cur < v && !a.compare_exchange_weak(cur, v)) {
  }
}

// Whole milliseconds from `from` to `to`, 0 when `from` is later.
uint64_t elapsed_ms(WalClock::time_point from, WalClock::time_point to) {
  if (to <= from) return 0;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
  const uint64_t secs = static_cast<uint64_t>(ns / 1000000000);
  const uint64_t sub = static_cast<uint64_t>(ns % 1000000000);
  return secs * 1000 + sub / 1000000;
}

}  // namespace

WalClock::time_point wal_now() {
  const WalNowFn f = g_now_override.load(std::memory_order_relaxed);
  return f != nullptr ? f() : WalClock::now();
}

WalNowFn set_wal_clock_for_testing(WalNowFn fn) { return g_now_override.exchange(fn); }

Status wal_sync_descriptor(IvfIndex& ix, bool* synced) {
  Status st;
  {
    auto w = ix.locks().wal.lock();
    if (w->valid()) {
      st = fileops::fdatasync_retrying(w->get());
      if (synced != nullptr) *synced = st.ok();
    }
  }
  if (st.ok()) return st;
  ix.fsync_failed.store(true);
  ix.locks().wal.lock()->reset();
  return st;
}

Status wal_group_commit(IvfIndex& ix) {
  const uint64_t window = ix.wal_sync_ms.load();
  if (window > 0) {
    auto last = ix.locks().wal_last_sync.lock();
    if (elapsed_ms(*last, wal_now()) < window) return {};
    *last = wal_now();
  } else {
    const uint32_t n = ix.ops_since_sync.fetch_add(1) + 1;
    if (n < std::max<uint32_t>(ix.durability_interval.load(), 1)) return {};
  }
  if (ix.fsync_failed.load()) return other_error(kWalSyncFailedText);
  const uint64_t e = ix.tomb_epoch.load();
  TANDREL_TRY(wal_sync_descriptor(ix));
  raise_to(ix.durable_tomb_epoch, e);
  ix.ops_since_sync.store(0);
  ix.wal_sync_count.fetch_add(1);
  return {};
}

Status wal_sync_now(IvfIndex& ix) {
  const uint64_t e = ix.tomb_epoch.load();
  // Only a sync that reached a descriptor covers the tombstones: with none open (nothing
  // appended since the open or the last checkpoint) the log on disk may still hold replayed
  // deletes that nobody has synced, and the checkpoint must sync them before deleted.bin.
  bool synced = false;
  TANDREL_TRY(wal_sync_descriptor(ix, &synced));
  if (synced) raise_to(ix.durable_tomb_epoch, e);
  ix.ops_since_sync.store(0);
  *ix.locks().wal_last_sync.lock() = wal_now();
  return {};
}

}  // namespace ivf_rabitq::live

namespace ivf_rabitq::index {

void IvfIndex::note_sync(WalClock::time_point at) const { *locks_.wal_last_sync.lock() = at; }

}  // namespace ivf_rabitq::index
