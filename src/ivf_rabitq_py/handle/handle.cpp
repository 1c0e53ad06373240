#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

#include <memory>
#include <vector>

#include "ivf_rabitq_py/binder/errors.hpp"
#include "ivf_rabitq_py/handle/lock_file.hpp"
#include "ivf_rabitq_py/binder/methods.hpp"
#include "ivf_rabitq_py/handle/paths.hpp"

namespace ivf_rabitq_py {

namespace {

// The class carries no module of its own: CPython derives `__module__` "builtins" and
// `__name__`/`__qualname__` "RabitqIndex" from this name.
constexpr const char* kTypeName = "builtins.RabitqIndex";
// The constructor's text signature alone, no prose: `__doc__` shows as "".
constexpr const char* kClassDoc = "RabitqIndex(path, dim, n_bits=2, skip_fields=None)\n--\n\n";

constexpr const char* kCloseDoc =
    "Release this handle's open index: drop the mmaps, the WAL fd and the in-RAM\n"
    "delta/tombstone state. An immutable segment holds no un-synced WAL, so nothing is\n"
    "lost; a memtable's owner syncs before closing. The handle stays usable \xE2\x80\x94 the next\n"
    "call reopens lazily from disk, exactly like a handle whose generation went stale.\n"
    "The LSM calls this on segment handles it evicts so a long-lived process does not\n"
    "keep the fds/mmaps of every generation it ever opened.";

// ---- constructor ----------------------------------------------------------------------

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature sig = Signature::parse("RabitqIndex", "(path, dim, n_bits=2, skip_fields=None)");
  Args a;
  if (!a.bind(sig, args, kwargs)) return nullptr;
  auto rec = std::make_unique<RabitqIndex>();
  std::optional<std::vector<std::string>> skip_fields;
  if (!a.get(0, rec->path_arg) || !a.get(1, rec->dim) || !a.get(2, rec->n_bits) || !a.get(3, skip_fields)) {
    return nullptr;
  }
  // An empty path would put the segment, its lock file and later its swap siblings into
  // the working directory.
  if (rec->path_arg.empty()) return raise(PyExc::ValueError, "path must not be empty");
  if (rec->dim == 0) return raise(PyExc::ValueError, "dim must be >= 1");
  rec->path = rec->path_arg;
  if (skip_fields) rec->skip.emplace(skip_fields->begin(), skip_fields->end());

  // Lock-file open, exclusive lock, recovery, manifest test and the first open run without
  // the interpreter lock; their failures come back as values. The exclusive lock keeps the
  // constructor from seeing a half-done swap, build or checkpoint of anyone else.
  std::optional<PyErrValue> err;
  without_gil([&] {
    auto opened = LockFile::open(rec->path);
    if (!opened) {
      err = io_err(opened.error());
      return;
    }
    LockFile file = std::move(opened).value();
    if (auto st = file.lock_exclusive(); !st) {
      err = io_err(st.error());
      return;
    }
    // A segment stranded in `<path>.old` must not be reported as "nothing built".
    if (auto st = recover(rec->path); !st) {
      err = io_err(st.error());
      return;
    }
    // Only a manifest that is not there means "not built"; a manifest that cannot be looked
    // at is an error (a later build must never write over a segment it could not see).
    auto built = manifest_state(rec->path);
    if (!built) {
      err = io_err(built.error());
      return;
    }
    if (*built) {
      auto ix = rec->open_index();
      if (!ix) {
        err = io_err(ix.error());
        return;
      }
      rec->inner = std::move(ix).value();
      rec->generation = read_dir_state(rec->path);
    }
    file.unlock();
  });
  if (err) return err->raise();

  if (rec->inner && rec->inner->manifest.dim != rec->dim) {
    const uint64_t built_dim = rec->inner->manifest.dim;
    without_gil([&] { rec->inner.reset(); });
    return raise(PyExc::ValueError, "dim mismatch: opened with dim=" + std::to_string(rec->dim) +
                                        " but the index at " + quote_path(rec->path_arg) +
                                        " was built with dim=" + std::to_string(built_dim));
  }
  if (rec->inner) {
    // The settings every index of this handle receives (interval 1, no sync window).
    IndexPtr ix = std::exchange(rec->inner, nullptr);
    rec->set_inner(std::move(ix));
  }

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;  // `rec` is dropped
  reinterpret_cast<PyRabitqIndex*>(self)->handle = rec.release();
  return self;
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return construct(type, args, kwargs); });
}

void tp_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Path, skip set, then the handle's share of the open index; a last-reference teardown
  // (final log sync) runs here, under the interpreter lock.
  delete reinterpret_cast<PyRabitqIndex*>(self)->handle;
  reinterpret_cast<PyRabitqIndex*>(self)->handle = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

// ---- methods --------------------------------------------------------------------------

PyObject* close(PyObject* self) {
  RabitqIndex& h = handle_of(self);
  h.drop_inner();
  h.clear_gen_check();
  return none();
}

constexpr const char* kSearchDoc =
    "Search. Returns list of (id, distance) ascending. `ensure_target_k` falls\n"
    "back to an exact scan when a selective filter yields fewer than k hits.";
constexpr const char* kAddDoc =
    "Incrementally add (or upsert) one vector + metadata JSON + optional sparse.\n"
    "\n"
    "`vector` is little-endian f32 bytes (read zero-copy when 4-aligned, like `search`)\n"
    "or any sequence of floats. The LSM's batched write path hands each row over as\n"
    "bytes: extracting a Python list of `dim` floats (after converting a numpy row INTO\n"
    "that list) was most of the per-row cost of a small `store()` batch.";
constexpr const char* kDeleteDoc = "Tombstone a row by id. Returns True if it existed and was live.";
constexpr const char* kFlushDoc =
    "Checkpoint: persist the in-RAM delta + tombstones and reset the WAL.\n"
    "Bounds WAL growth / open-replay time; not required for durability (every\n"
    "add/delete is already WAL-durable) but recommended periodically.";
constexpr const char* kSyncDoc = "Force-fsync the WAL tail (use with group commit before a quiescent point).";
constexpr const char* kBuildDoc =
    "Bulk build from contiguous little-endian f32 bytes (n*dim) + ids + metadata\n"
    "JSON + optional per-vector sparse terms [[(term, weight), ...], ...].";

// The class's method table, in this order: build, search, calibrate_nprobe, add,
// search_hybrid, sparse_search, delete, flush, compact, rebuild, count, stats, fit_count,
// get_meta, get_meta_bounded, has_ids, get_vectors, get_sparse, quant_scale,
// format_version, pca_basis, ids_matching, count_matching, aggregate_by_ids,
// exists_matching, set_durability, set_wal_sync_ms, wal_sync_count, sync, close,
// verify_integrity, ids_matching_limit, then the static distances_to_many, tdql_fuse,
// meta_status_across, meta_status_columns.
const MethodDecl kMethods[] = {
    keyword<"build",
            "($self, vectors, n, ids, metadatas, n_clusters, seed=42, sparse=None, skip_index=None, pca=None, "
            "quant_scale=0.0)",
            method_build>(kBuildDoc),
    keyword<"search", "($self, query, k, nprobe=32, rerank=400, filter_json=None, ensure_target_k=False)",
            method_search>(kSearchDoc),
    keyword<"calibrate_nprobe",
            "($self, n_samples, k, target_recall, grid, rerank=500, seed=1234, background=False)",
            method_calibrate_nprobe>(method_calibrate_nprobe_doc),
    keyword<"add", "($self, id, vector, metadata=None, sparse=None)", method_add>(kAddDoc),
    keyword<"search_hybrid",
            "($self, query, sparse_query, k, nprobe=64, rerank=500, filter_json=None, rrf_k=60.0, "
            "ensure_target_k=False)",
            method_search_hybrid>(method_search_hybrid_doc),
    keyword<"sparse_search", "($self, sparse_query, k, filter_json=None)", method_sparse_search>(
        method_sparse_search_doc),
    keyword<"delete", "($self, id)", method_delete>(kDeleteDoc),
    no_args<"flush", "($self)", method_flush>(kFlushDoc),
    no_args<"compact", "($self)", method_compact>(method_compact_doc),
    keyword<"rebuild", "($self, n_clusters=None)", method_rebuild>(method_rebuild_doc),
    no_args<"count", "($self)", method_count>(method_count_doc),
    no_args<"stats", "($self)", method_stats>(method_stats_doc),
    no_args<"fit_count", "($self)", method_fit_count>(method_fit_count_doc),
    keyword<"get_meta", "($self, ids, max_result_bytes=None)", method_get_meta>(method_get_meta_doc),
    keyword<"get_meta_bounded", "($self, ids, max_result_bytes, fast_upper=False)", method_get_meta_bounded>(
        method_get_meta_bounded_doc),
    keyword<"has_ids", "($self, ids)", method_has_ids>(method_has_ids_doc),
    keyword<"get_vectors", "($self, ids)", method_get_vectors>(method_get_vectors_doc),
    keyword<"get_sparse", "($self, ids)", method_get_sparse>(method_get_sparse_doc),
    no_args<"quant_scale", "($self)", method_quant_scale>(method_quant_scale_doc),
    no_args<"format_version", "($self)", method_format_version>(method_format_version_doc),
    no_args<"pca_basis", "($self)", method_pca_basis>(method_pca_basis_doc),
    keyword<"ids_matching", "($self, filter_json=None)", method_ids_matching>(method_ids_matching_doc),
    keyword<"count_matching", "($self, filter_json=None)", method_count_matching>(method_count_matching_doc),
    keyword<"aggregate_by_ids", "($self, field, ids)", method_aggregate_by_ids>(method_aggregate_by_ids_doc),
    keyword<"exists_matching", "($self, filter_json=None)", method_exists_matching>(method_exists_matching_doc),
    keyword<"set_durability", "($self, interval)", method_set_durability>(method_set_durability_doc),
    keyword<"set_wal_sync_ms", "($self, ms)", method_set_wal_sync_ms>(method_set_wal_sync_ms_doc),
    no_args<"wal_sync_count", "($self)", method_wal_sync_count>(method_wal_sync_count_doc),
    no_args<"sync", "($self)", method_sync>(kSyncDoc),
    no_args<"close", "($self)", close>(kCloseDoc),
    no_args<"verify_integrity", "($self)", method_verify_integrity>(method_verify_integrity_doc),
    keyword<"ids_matching_limit", "($self, filter_json, limit)", method_ids_matching_limit>(
        method_ids_matching_limit_doc),
    static_keyword<"distances_to_many", "(jobs, parallel=True)", method_distances_to_many>(
        method_distances_to_many_doc),
    static_keyword<"tdql_fuse", "(n_cols, clauses, divs, ban, gates, has_should, fill, prefer, top, parallel)",
                   method_tdql_fuse>(method_tdql_fuse_doc),
    static_keyword<"meta_status_across", "(sources, ids, metas, parallel=True)", method_meta_status_across>(
        method_meta_status_across_doc),
    static_keyword<"meta_status_columns", "(columns, ids, metas, parallel=True)", method_meta_status_columns>(
        method_meta_status_columns_doc),
};

}  // namespace

PyObject* rabitq_index_type() {
  static PyObject* type = nullptr;  // filled once under the interpreter lock
  if (type) return type;
  static PyMethodDef* defs = method_defs(kMethods);
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&tp_dealloc)},
      {Py_tp_methods, defs},
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {0, nullptr},
  };
  PyType_Spec spec = {kTypeName, static_cast<int>(sizeof(PyRabitqIndex)), 0, Py_TPFLAGS_DEFAULT, slots};
  type = PyType_FromSpec(&spec);
  return type;
}

bool is_rabitq_index(PyObject* o) {
  PyObject* t = rabitq_index_type();
  return t && reinterpret_cast<PyObject*>(Py_TYPE(o)) == t;
}

bool From<HandleArg>::convert(PyObject* o, HandleArg& out) {
  if (!is_rabitq_index(o)) {
    if (!PyErr_Occurred()) raise(PyExc::TypeError, "expected RabitqIndex, got " + type_name(o));
    return false;
  }
  out.obj = o;
  out.handle = &handle_of(o);
  return true;
}

}  // namespace ivf_rabitq_py
