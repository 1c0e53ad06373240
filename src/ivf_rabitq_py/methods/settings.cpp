// Durability settings of the handle's log and its sync counter. The handle keeps the values
// so every index it opens later gets them; the index it holds gets them at once.
#include "ivf_rabitq/live/group_commit.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_set_durability_doc =
    "Durability mode for the WAL. interval=1 (default) fsyncs every op (strict).\n"
    "interval>1 = group commit: fsync once per `interval` ops \xE2\x80\x94 much higher\n"
    "multi-writer throughput; a crash may lose up to `interval` un-fsynced ops\n"
    "but never corrupts committed data. Pair with periodic flush()/sync().";
PyObject* method_set_durability(PyObject* self, Args& args) {
  uint32_t interval = 0;
  if (!args.get(0, interval)) return nullptr;
  if (interval == 0) interval = 1;
  RabitqIndex& h = handle_of(self);
  {
    std::lock_guard<std::mutex> g(h.durability_m);
    h.durability = interval;
  }
  {
    std::lock_guard<std::mutex> g(h.inner_m);
    if (h.inner) h.inner->durability_interval.store(interval, std::memory_order_relaxed);
  }
  return none();
}

const char* const method_set_wal_sync_ms_doc =
    "Time-based WAL group commit (TD-C11): fsync at most once per `ms`\n"
    "milliseconds since the last durable sync, instead of the op-count interval.\n"
    "ms=0 restores op-count / per-op durability. Persisted across reopens. An\n"
    "explicit sync()/close still flushes the un-synced tail.";
PyObject* method_set_wal_sync_ms(PyObject* self, Args& args) {
  uint64_t ms = 0;
  if (!args.get(0, ms)) return nullptr;
  RabitqIndex& h = handle_of(self);
  {
    std::lock_guard<std::mutex> g(h.wal_sync_ms_m);
    h.wal_sync_ms = ms;
  }
  {
    std::lock_guard<std::mutex> g(h.inner_m);
    if (h.inner) {
      h.inner->wal_sync_ms.store(ms);
      const auto now = ivf_rabitq::live::wal_now();
      h.inner->note_sync(now);
    }
  }
  return none();
}

const char* const method_wal_sync_count_doc =
    "Count of WAL fsyncs performed by the group-commit path (TD-C11 test hook:\n"
    "strict per-op durability == one fsync per add; time-based commit coalesces).";
PyObject* method_wal_sync_count(PyObject* self) {
  RabitqIndex& h = handle_of(self);
  uint64_t n = 0;
  {
    std::lock_guard<std::mutex> g(h.inner_m);
    if (h.inner) n = h.inner->wal_sync_count.load();
  }
  return PyLong_FromUnsignedLongLong(n);
}

}  // namespace ivf_rabitq_py
