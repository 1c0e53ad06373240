// `RabitqIndex.add` and `RabitqIndex.delete`: the incremental write path. Arguments are
// validated with the interpreter lock held; then, without it, under the shared lock of
// `<path>.lock`, the current open index gets the log record, the in-memory change and the
// group commit, in that order under its checkpoint mutex (so log order equals apply order).
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq/live/group_commit.hpp"
#include "ivf_rabitq/live/wal.hpp"
#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/handle/lock_file.hpp"

namespace ivf_rabitq_py {

namespace {

using ivf_rabitq::IoError;
using ivf_rabitq::Status;
namespace ix_ns = ivf_rabitq::index;

constexpr uint64_t kSlotCapacity = 4294967295ull;  // 2^32 - 1 is never a slot

// A write-path failure: either an exception value rendered to "{type}: {message}" (lock
// file, reopen) or an I/O error shown by its own text.
struct WriteErr {
  std::string text;
};

// The lock file held shared and the current open index, or the rendered failure.
struct WriteTarget {
  LockFile file;
  IndexPtr ix;
};
ivf_rabitq::Result<WriteTarget, WriteErr> write_target(RabitqIndex& h) {
  auto file = lock_file(h.path);
  if (!file) return WriteErr{file.error().render()};
  WriteTarget t{std::move(file).value(), nullptr};
  if (Status st = t.file.lock_shared(); !st) return WriteErr{io_err(st.error()).render()};
  auto ix = h.opened();
  if (!ix) return WriteErr{ix.error().render()};
  t.ix = std::move(ix).value();
  return t;
}

// The slot-space refusal when one more row does not fit (main rows m, delta rows d).
std::optional<IoError> slot_space_error(const ix_ns::IvfIndex& ix) {
  const uint64_t m = ix.manifest.n;
  const uint64_t d = ix.delta.read()->rows();
  if (m + (d + 1) < kSlotCapacity) return std::nullopt;
  return ivf_rabitq::invalid_input("slot space exhausted: " + std::to_string(m) + " existing + " +
                                   std::to_string(d + 1) + " new rows exceed the u32 slot capacity");
}

}  // namespace

PyObject* method_add(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::string id;
  PyObject* vector_obj = nullptr;
  std::optional<StrView> metadata;
  std::optional<std::vector<SparsePair>> sparse;
  if (!args.get(0, id) || !args.get(1, vector_obj) || !args.get(2, metadata) || !args.get(3, sparse)) {
    return nullptr;
  }
  std::vector<float> scratch;
  std::span<const float> vec;
  if (!read_f32_vector(vector_obj, h.dim, scratch, vec)) return nullptr;
  if (vec.size() != h.dim) {
    return raise(PyExc::ValueError, "vector dim " + std::to_string(vec.size()) + " != " + std::to_string(h.dim));
  }
  if (auto st = require_finite_vec(vec, "vector"); !st) return raise(PyExc::ValueError, st.error());
  if (sparse) {
    if (auto st = require_finite_sparse_write(*sparse); !st) return st.error().raise();
  }
  ivf_rabitq::json::Value meta;  // null without metadata
  if (metadata) {
    auto doc = ivf_rabitq::json::parse(metadata->text);
    if (!doc) {
      return raise(PyExc::ValueError,
                   "metadata is not valid JSON (" + doc.error().text + "); pass None or \"{}\"");
    }
    meta = std::move(doc).value();
  }
  const std::vector<SparsePair> no_sparse;
  const std::vector<SparsePair>& pairs = sparse ? *sparse : no_sparse;

  std::optional<std::string> err = without_gil([&]() -> std::optional<std::string> {
    auto target = write_target(h);
    if (!target) return std::move(target).error().text;
    WriteTarget t = std::move(target).value();
    std::optional<std::string> out;
    [&] {
      ix_ns::IvfIndex& ix = *t.ix;
      if (vec.size() != ix.manifest.dim) {
        out = "add: vector length " + std::to_string(vec.size()) + " != index dim " +
              std::to_string(ix.manifest.dim);
        return;
      }
      if (auto e = slot_space_error(ix)) {
        out = e->text();
        return;
      }
      std::string meta_text = ivf_rabitq::json::to_compact(meta);
      std::lock_guard<ix_ns::RankedMutex> g(ix.checkpoint_mutex);
      // Tested again under the mutex: two adds at the very edge of the slot space could
      // both pass the test above, and only one of them may take the last slot.
      if (auto e = slot_space_error(ix)) {
        out = e->text();
        return;
      }
      const ix_ns::WalOp op = ix_ns::WalAdd{id, vec, meta_text, pairs};
      if (Status st = ix_ns::wal_write(ix, op); !st) {
        out = st.error().text();
        return;
      }
      ix_ns::apply_add(ix, id, vec, meta, std::move(meta_text), pairs);
      if (Status st = ix_ns::wal_group_commit(ix); !st) out = st.error().text();
    }();
    t.ix.reset();  // the index before the lock file
    t.file.close();
    return out;
  });
  if (err) return raise(PyExc::OSError, *err);
  return none();
}

PyObject* method_delete(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::string id;
  if (!args.get(0, id)) return nullptr;

  bool result = false;
  std::optional<std::string> err = without_gil([&]() -> std::optional<std::string> {
    auto target = write_target(h);
    if (!target) return std::move(target).error().text;
    WriteTarget t = std::move(target).value();
    std::optional<std::string> out;
    [&] {
      ix_ns::IvfIndex& ix = *t.ix;
      const std::optional<uint32_t> slot = ix.slot_of(id);
      if (!slot) return;  // never in this segment: nothing is written
      if (ix.tombstones.read()->contains(*slot)) return;  // deleted before
      std::lock_guard<ix_ns::RankedMutex> g(ix.checkpoint_mutex);
      const ix_ns::WalOp op = ix_ns::WalDelete{id};
      if (Status st = ix_ns::wal_write(ix, op); !st) {
        out = st.error().text();
        return;
      }
      result = ix_ns::apply_delete(ix, id);
      if (Status st = ix_ns::wal_group_commit(ix); !st) out = st.error().text();
    }();
    t.ix.reset();
    t.file.close();
    return out;
  });
  if (err) return raise(PyExc::OSError, *err);
  return boolean(result);
}

}  // namespace ivf_rabitq_py
