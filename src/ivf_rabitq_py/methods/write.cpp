// `RabitqIndex.add` and `RabitqIndex.delete`: the incremental write path. Arguments are
// validated with the interpreter lock held; then, without it, under the shared lock of
// `<path>.lock`, the current open index runs the engine's logged add or delete (log record,
// in-memory change and group commit under its checkpoint mutex, so log order equals apply
// order). This file takes no lock of the index itself.
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ivf_rabitq/common/json.hpp"
#include "ivf_rabitq/live/delta.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/handle/lock_file.hpp"

namespace ivf_rabitq_py {

namespace {

using ivf_rabitq::Status;
namespace live = ivf_rabitq::live;
using ivf_rabitq::index::IvfIndex;

// Runs `op` on the handle's current open index under the shared lock of `<path>.lock`.
// Opening or locking the lock file and the reopen fail as an OSError carrying the rendered
// exception ("OSError: ...", "RuntimeError: index not built/opened"); `op` returns its own
// failure. The index reference is dropped before the lock file is closed. Interpreter lock
// released.
template <class Op>
std::optional<PyErrValue> with_write_target(RabitqIndex& h, Op&& op) {
  auto file = lock_file(h.path);
  if (!file) return as_os_err_text(file.error());
  LockFile f = std::move(file).value();
  if (Status st = f.lock_shared(); !st) return as_os_err_text(io_err(st.error()));
  auto opened = h.opened();
  if (!opened) return as_os_err_text(opened.error());
  IndexPtr ix = std::move(opened).value();
  std::optional<PyErrValue> out = op(*ix);
  ix.reset();  // the index before the lock file
  f.close();
  return out;
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
  if (auto st = require_finite_vec(vec, "vector"); !st) return st.error().raise();
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

  std::optional<PyErrValue> err = without_gil([&] {
    return with_write_target(h, [&](IvfIndex& ix) -> std::optional<PyErrValue> {
      Status st = live::add_logged(ix, std::move(id), vec, meta, ivf_rabitq::json::to_compact(meta), pairs);
      if (!st) return io_err(st.error());
      return std::nullopt;
    });
  });
  if (err) return err->raise();
  return none();
}

PyObject* method_delete(PyObject* self, Args& args) {
  RabitqIndex& h = handle_of(self);
  std::string id;
  if (!args.get(0, id)) return nullptr;

  bool result = false;
  std::optional<PyErrValue> err = without_gil([&] {
    return with_write_target(h, [&](IvfIndex& ix) -> std::optional<PyErrValue> {
      auto removed = live::delete_logged(ix, id);
      if (!removed) return io_err(removed.error());
      result = *removed;
      return std::nullopt;
    });
  });
  if (err) return err->raise();
  return boolean(result);
}

}  // namespace ivf_rabitq_py
