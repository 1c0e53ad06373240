#include "ivf_rabitq/index/lock_order.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace ivf_rabitq::index {

const char* lock_rank_name(LockRank rank) {
  switch (rank) {
    case LockRank::Untracked: return "untracked";
    case LockRank::CheckpointMutex: return "checkpoint_mutex";
    case LockRank::Wal: return "wal";
    case LockRank::DeltaStamp: return "delta_stamp";
    case LockRank::WalLastSync: return "wal_last_sync";
    case LockRank::IdMap: return "id_map";
    case LockRank::Tombstones: return "tombstones";
    case LockRank::Delta: return "delta";
    case LockRank::DeltaSparse: return "delta_sparse";
    case LockRank::FilterCache: return "filter_cache";
    case LockRank::LiveSchema: return "live_schema";
  }
  return "unknown";
}

namespace lock_order {
namespace {

// Position in the chain of reader-writer locks that may be held together; 0 = not in it.
int chain_position(LockRank r) {
  switch (r) {
    case LockRank::IdMap: return 1;
    case LockRank::Tombstones: return 2;
    case LockRank::Delta: return 3;
    case LockRank::DeltaSparse: return 4;
    default: return 0;
  }
}

bool exclusive_pair(LockRank a, LockRank b, LockRank x, LockRank y) {
  return (a == x && b == y) || (a == y && b == x);
}

const char* mode_name(LockMode m) {
  switch (m) {
    case LockMode::Exclusive: return "exclusive";
    case LockMode::Shared: return "read";
    case LockMode::SharedRecursive: return "recursive read";
  }
  return "?";
}

std::string describe(const Held& acquiring, const Held& held, const char* rule) {
  std::string s = "lock order violation: taking ";
  s += lock_rank_name(acquiring.rank);
  s += " (";
  s += mode_name(acquiring.mode);
  s += ") while holding ";
  s += lock_rank_name(held.rank);
  s += " (";
  s += mode_name(held.mode);
  s += "): ";
  s += rule;
  return s;
}

void default_handler(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  std::abort();
}

std::atomic<ViolationHandler> g_handler{nullptr};

std::vector<Held>& record() {
  thread_local std::vector<Held> held;
  return held;
}

}  // namespace

std::optional<std::string> violation(std::span<const Held> held, const Held& acquiring) {
  if (acquiring.rank == LockRank::Untracked) return std::nullopt;
  for (const Held& h : held) {
    if (h.rank == LockRank::Untracked || h.domain != acquiring.domain) continue;
    if (h.lock == acquiring.lock) {
      // Re-entry: only a recursive read over a read hold is admitted by the lock.
      if (acquiring.mode == LockMode::SharedRecursive && h.mode != LockMode::Exclusive) continue;
      return describe(acquiring, h, "the thread already holds this lock (self-deadlock)");
    }
    if (acquiring.rank == LockRank::CheckpointMutex) {
      return describe(acquiring, h, "checkpoint_mutex must be taken before every other lock of the index");
    }
    if (exclusive_pair(acquiring.rank, h.rank, LockRank::Wal, LockRank::DeltaStamp)) {
      return describe(acquiring, h, "wal and delta_stamp are never held together");
    }
    if (exclusive_pair(acquiring.rank, h.rank, LockRank::FilterCache, LockRank::LiveSchema)) {
      return describe(acquiring, h, "filter_cache and live_schema are never held together");
    }
    const int a = chain_position(acquiring.rank);
    const int b = chain_position(h.rank);
    if (a != 0 && b != 0 && b >= a) {
      return describe(acquiring, h, "reader-writer locks are taken in the order id_map, tombstones, delta, delta_sparse");
    }
  }
  return std::nullopt;
}

void note_acquire(const Held& acquiring, bool check) {
  if (acquiring.rank == LockRank::Untracked) return;
  auto& held = record();
  if (check) {
    if (auto v = violation(held, acquiring)) {
      ViolationHandler h = g_handler.load(std::memory_order_acquire);
      (h != nullptr ? h : default_handler)(*v);
    }
  }
  held.push_back(acquiring);
}

void note_release(const void* lock) {
  auto& held = record();
  for (size_t i = held.size(); i-- > 0;) {
    if (held[i].lock == lock) {
      held.erase(held.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

std::vector<Held> held_by_this_thread() { return record(); }

ViolationHandler set_violation_handler(ViolationHandler handler) {
  return g_handler.exchange(handler, std::memory_order_acq_rel);
}

}  // namespace lock_order
}  // namespace ivf_rabitq::index
