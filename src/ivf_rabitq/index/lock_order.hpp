// Lock order of one open index, and the debug-build check that enforces it.
//
// Every lock of an index carries a rank and a domain (the index it belongs to). Debug
// builds (NDEBUG not defined) keep a thread-local record of the ranked locks the thread
// holds and check every blocking acquisition against this order before it
// blocks, so a wrong order shows up as an immediate report instead of a rare deadlock:
//
//   - `checkpoint_mutex` is outermost: it is never taken while another lock of the same
//     index is held;
//   - `wal` and `delta_stamp` are never held together;
//   - reader-writer locks held together are taken in the order `id_map`, `tombstones`,
//     `delta`, `delta_sparse`;
//   - the `filter_cache` mutex and the `live_schema` lock are never held together;
//   - no lock is taken again while the thread holds it, except a recursive read of a lock
//     the thread already holds for reading.
//
// Locks of different domains are not ordered against each other. Try-acquisitions are
// recorded but not checked: they never block, so they cannot close a deadlock cycle.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ivf_rabitq::index {

enum class LockRank : uint8_t {
  Untracked = 0,  // not part of the order above; never recorded
  CheckpointMutex,
  Wal,
  DeltaStamp,
  WalLastSync,
  IdMap,
  Tombstones,
  Delta,
  DeltaSparse,
  FilterCache,
  LiveSchema,
};

enum class LockMode : uint8_t {
  Exclusive,        // write lock or mutex
  Shared,           // plain read: queues behind a waiting writer
  SharedRecursive,  // recursive read: re-entry by a thread that holds a read passes a waiting writer
};

// The member name of a rank ("tombstones", "checkpoint_mutex", ...).
const char* lock_rank_name(LockRank rank);

namespace lock_order {

#ifdef NDEBUG
inline constexpr bool kEnabled = false;
#else
inline constexpr bool kEnabled = true;
#endif

// One lock held (or about to be taken) by a thread.
struct Held {
  LockRank rank = LockRank::Untracked;
  LockMode mode = LockMode::Exclusive;
  const void* lock = nullptr;    // identity of the lock object
  const void* domain = nullptr;  // the index the lock belongs to
};

// The rule that taking `acquiring` while holding `held` breaks, as a readable text, or
// none when the acquisition is in order. Pure: available in every build.
std::optional<std::string> violation(std::span<const Held> held, const Held& acquiring);

// Called by the locks themselves (debug builds only). note_acquire checks the
// acquisition when `check` is set (blocking acquisitions) and records it; a violation
// goes to the violation handler. note_release forgets the most recent record of `lock`.
void note_acquire(const Held& acquiring, bool check);
void note_release(const void* lock);

// The ranked locks the calling thread holds, oldest first (empty in release builds).
std::vector<Held> held_by_this_thread();

// Receives the text of a violation. The default handler prints it on standard error and
// aborts. Returns the previous handler; nullptr restores the default.
using ViolationHandler = void (*)(const std::string& text);
ViolationHandler set_violation_handler(ViolationHandler handler);

}  // namespace lock_order
}  // namespace ivf_rabitq::index
