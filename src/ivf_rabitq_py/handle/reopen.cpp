// The handle's access to its open index: the three entry points of the method bodies
// (read paths with the 50 ms generation cache, read paths holding the interpreter lock,
// write paths without cache), the unconditional reopen after the handle's own change, and
// the operations on the index slot.
//
// A handle is stale when `<path>/generation` differs from the generation its index reflects
// or when `<path>` is no longer the directory it opened (another one renamed or built in its
// place); both lead to a reopen under the shared lock of `<path>.lock`. Threads that find the
// same stale state reopen once: `generation` is taken again after the file lock is won and
// held across the second read, the open and the exchange, so the later threads see the
// reopened state and return.
#include <utility>

#include "ivf_rabitq/storage/framed.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/handle/lock_file.hpp"

namespace ivf_rabitq_py {

using ivf_rabitq::IoError;
using ivf_rabitq::Result;
using ivf_rabitq::Status;
using ivf_rabitq::index::IvfIndex;

DirState read_dir_state(const std::filesystem::path& path) {
  DirState s;
  s.generation = ivf_rabitq::storage::read_generation(path.native());
  s.dir = dir_identity(path);
  return s;
}

// ---- the index slot --------------------------------------------------------------------

IndexPtr RabitqIndex::current() const {
  std::lock_guard<std::mutex> g(inner_m);
  return inner;
}

IndexPtr RabitqIndex::swap_inner(IndexPtr ix) {
  if (ix) {
    {
      std::lock_guard<std::mutex> g(durability_m);
      ix->durability_interval.store(durability == 0 ? 1 : durability, std::memory_order_relaxed);
    }
    {
      std::lock_guard<std::mutex> g(wal_sync_ms_m);
      ix->wal_sync_ms.store(wal_sync_ms, std::memory_order_relaxed);
      const auto now = GenClock::now();
      ix->note_sync(now);
    }
  }
  std::lock_guard<std::mutex> g(inner_m);
  std::swap(inner, ix);
  return ix;
}

void RabitqIndex::set_inner(IndexPtr ix) {
  IndexPtr previous = swap_inner(std::move(ix));
  previous.reset();
}

void RabitqIndex::drop_inner() {
  IndexPtr taken;
  {
    std::lock_guard<std::mutex> g(inner_m);
    taken = std::exchange(inner, nullptr);
  }
  if (taken) without_gil([&] { taken.reset(); });
}

void RabitqIndex::clear_gen_check() {
  std::lock_guard<std::mutex> g(gen_check_m);
  gen_check.reset();
}

Result<IndexPtr> RabitqIndex::open_index(bool for_search) const {
  auto r = IvfIndex::open_with_skip(path.native(), skip, for_search);
  if (!r) return std::move(r).error();
  return IndexPtr(std::move(r).value());
}

// ---- read paths --------------------------------------------------------------------------

Status RabitqIndex::reload_if_stale_raw(IndexPtr* held) {
  const auto now = GenClock::now();
  DirState seen;
  bool cached = false;
  {
    std::lock_guard<std::mutex> g(gen_check_m);
    if (gen_check) {
      // A clock reading earlier than the stored one counts as no time elapsed.
      const auto elapsed = now > gen_check->at ? now - gen_check->at : GenClock::duration::zero();
      if (elapsed < kGenCacheLifetime) {
        seen = gen_check->state;
        cached = true;
      }
    }
  }
  if (!cached) {
    seen = read_dir_state(path);
    std::lock_guard<std::mutex> g(gen_check_m);
    gen_check = GenCheck{now, seen};
  }
  // The index found current (or installed) is the one handed back: a close() right after
  // the check must not turn a call on a built segment into "not built".
  IndexPtr ix;
  {
    std::lock_guard<std::mutex> g(generation_m);
    ix = current();
    if (seen == generation && ix) {
      if (held) *held = std::move(ix);
      return {};
    }
  }
  ix.reset();

  auto file = LockFile::open(path);
  if (!file) return std::move(file).error();
  if (Status st = file->lock_shared(); !st) return st;
  auto built = manifest_state(path);
  if (!built) return std::move(built).error();
  if (!*built) {  // nothing to open: the caller uses what the slot holds
    if (held) *held = current();
    return {};
  }

  const DirState now_state = read_dir_state(path);
  std::lock_guard<std::mutex> g(generation_m);
  ix = current();
  if (!(now_state == generation && ix)) {
    auto opened_ix = open_index();
    if (!opened_ix) return std::move(opened_ix).error();
    ix = std::move(opened_ix).value();
    set_inner(ix);
    generation = now_state;
  }
  if (held) *held = std::move(ix);
  return {};
}

Result<IndexPtr, PyErrValue> RabitqIndex::opened_search() {
  IndexPtr ix;
  if (Status st = reload_if_stale_raw(&ix); !st) return io_err(st.error());
  if (!ix) return runtime_err(kNotBuilt);
  return ix;
}

IndexPtr RabitqIndex::opened_off_gil() {
  IndexPtr ix;
  Status st = without_gil([&] { return reload_if_stale_raw(&ix); });
  if (!st) {
    io_err(st.error()).raise();
    return nullptr;
  }
  if (!ix) raise(PyExc::RuntimeError, kNotBuilt);
  return ix;
}

// ---- write paths -----------------------------------------------------------------------

Result<IndexPtr, PyErrValue> RabitqIndex::opened() {
  const DirState seen = read_dir_state(path);
  IndexPtr ix;
  {
    std::lock_guard<std::mutex> g(generation_m);
    ix = current();
    if (!(seen == generation && ix)) ix.reset();
  }
  if (!ix) {
    auto file = lock_file(path);
    if (!file) return std::move(file).error();
    if (Status st = file->lock_shared(); !st) return io_err(st.error());
    auto built = manifest_state(path);
    if (!built) return io_err(built.error());
    if (*built) {
      const DirState now_state = read_dir_state(path);
      std::lock_guard<std::mutex> g(generation_m);
      ix = current();
      if (!(now_state == generation && ix)) {
        auto opened_ix = open_index();
        if (!opened_ix) return io_err(opened_ix.error());
        ix = std::move(opened_ix).value();
        IndexPtr previous = swap_inner(ix);
        previous.reset();
        generation = now_state;
      }
    } else {
      ix = current();
    }
  }
  if (!ix) return runtime_err(kNotBuilt);
  return ix;
}

// ---- after the handle's own change ---------------------------------------------------

std::optional<PyErrValue> RabitqIndex::reload_after_bump() {
  clear_gen_check();
  Result<IndexPtr> ix = without_gil([&] { return open_index(); });
  if (!ix) return io_err(ix.error());
  IndexPtr previous = swap_inner(std::move(ix).value());
  const DirState state = read_dir_state(path);
  {
    std::lock_guard<std::mutex> g(generation_m);
    generation = state;
  }
  if (previous) without_gil([&] { previous.reset(); });
  return std::nullopt;
}

}  // namespace ivf_rabitq_py
