// The Python handle `RabitqIndex` on one segment directory: its record, the heap type that
// carries it, the handle's access to its open index (staleness check and reopen), and the
// bodies of its methods, which live in files by role:
//   handle/handle.cpp    the type, constructor, close, deallocation, method table
//   handle/reopen.cpp    the three entry points to the open index, reloads, the index slot
//   methods/search.cpp   `search`
//   methods/write.cpp    `add`, `delete`
//   handle/maintain.cpp  checkpoints, `flush`, `sync`, the locked build, the directory swap, `build`
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq/index/ivf_index.hpp"
#include "ivf_rabitq_py/binder/args.hpp"
#include "ivf_rabitq_py/binder/errors.hpp"
#include "ivf_rabitq_py/handle/paths.hpp"
#include "ivf_rabitq_py/binder/py.hpp"

namespace ivf_rabitq_py {

using IndexPtr = std::shared_ptr<ivf_rabitq::index::IvfIndex>;
using GenClock = std::chrono::steady_clock;

// How long a read path trusts the last read of `<path>/generation`.
inline constexpr std::chrono::nanoseconds kGenCacheLifetime{50'000'000};

// What the handle compares to decide whether its open index is still current: the counter
// in `<path>/generation` and the identity of the directory `<path>` itself (a directory
// replaced by another one, even at the same generation, is a different segment).
struct DirState {
  uint64_t generation = 0;
  std::optional<DirId> dir;
  bool operator==(const DirState&) const = default;
};

// The current state of `<path>`: generation file (0 when missing or unreadable) and identity.
DirState read_dir_state(const std::filesystem::path& path);

// The handle record. `path`, `path_arg`, `dim`, `n_bits` and `skip` never change after
// construction; every other field is read and written only under its own mutex. Lock order:
// `<path>.lock`, then `generation`, then one of `inner`, `durability`, `wal_sync_ms`;
// `gen_check` is always taken alone.
struct RabitqIndex {
  std::filesystem::path path;                        // the segment directory `<path>`
  std::string path_arg;                              // the `path` argument as given (messages)
  uint32_t dim = 0;                                  // at least 1
  uint32_t n_bits = 2;                               // not validated here
  std::optional<ivf_rabitq::predicate::SkipSet> skip;  // fields kept out of typed columns

  mutable std::mutex inner_m;
  IndexPtr inner;  // the open index, or none

  mutable std::mutex generation_m;
  DirState generation;  // what `inner` reflects

  mutable std::mutex durability_m;
  uint32_t durability = 1;

  mutable std::mutex wal_sync_ms_m;
  uint64_t wal_sync_ms = 0;

  // The 50 ms cache of read paths: the state of `<path>` read at the instant.
  struct GenCheck {
    GenClock::time_point at;
    DirState state;
  };
  mutable std::mutex gen_check_m;
  std::optional<GenCheck> gen_check;

  // ---- the index slot (reopen.cpp) ----
  // The held index (a new shared reference), or none.
  IndexPtr current() const;
  // Applies the handle's durability settings to `ix`, installs it and returns the previous
  // content of the slot.
  IndexPtr swap_inner(IndexPtr ix);
  // swap_inner, dropping the previous index on the calling thread.
  void set_inner(IndexPtr ix);
  // Takes the index out of the slot and drops it with the interpreter lock released
  // (interpreter lock held on entry and exit).
  void drop_inner();
  void clear_gen_check();

  // An open of `<path>` with the handle's skip set.
  ivf_rabitq::Result<IndexPtr> open_index(bool for_search = true) const;

  // ---- entry points to the open index (reopen.cpp) ----
  // Read paths without the interpreter lock: 50 ms cached staleness check, reopen. `held`
  // (optional) receives the index the check found current or installed (none when nothing
  // is built and nothing held).
  ivf_rabitq::Status reload_if_stale_raw(IndexPtr* held = nullptr);
  // Failure: OSError with the I/O text, or RuntimeError "index not built/opened".
  ivf_rabitq::Result<IndexPtr, PyErrValue> opened_search();
  // Read paths holding the interpreter lock (released around the check and the reopen).
  // Null with a Python exception set on failure.
  IndexPtr opened_off_gil();
  // Write paths without the interpreter lock: no cache, the generation read on every call.
  ivf_rabitq::Result<IndexPtr, PyErrValue> opened();
  // Unconditional reopen after this handle changed `<path>`; the caller holds the exclusive
  // file lock and the interpreter lock. The OSError (not raised) on failure.
  std::optional<PyErrValue> reload_after_bump();

  // ---- maintenance (maintain.cpp) ----
  // Checkpoint under the exclusive file lock (caller), in place when the held index is
  // provably current, through a fresh view otherwise; bumps the generation.
  ivf_rabitq::Status checkpoint_locked();
  // `compact` and `rebuild`: the live rows of a fresh view under the exclusive file lock,
  // staged in `<path>.compacting` at the generation plus 1 and swapped in. Interpreter lock
  // held on entry and exit; None, or null with the Python exception set.
  PyObject* compact();
  PyObject* rebuild(std::optional<uint32_t> n_clusters);
};

// The Python object: nothing but the record.
struct PyRabitqIndex {
  PyObject_HEAD
  RabitqIndex* handle;
};

// The type object, created once per process on first call (borrowed; never released).
// Null with a Python exception set when creation fails.
PyObject* rabitq_index_type();

// Whether `o` is a RabitqIndex (the type is final, so an exact type check).
bool is_rabitq_index(PyObject* o);

// The record of a RabitqIndex object (methods receive `self` already type-checked).
inline RabitqIndex& handle_of(PyObject* self) { return *reinterpret_cast<PyRabitqIndex*>(self)->handle; }

// A RabitqIndex argument (for lists of source handles): the object and its record.
struct HandleArg {
  PyObject* obj = nullptr;
  RabitqIndex* handle = nullptr;
};
template <>
struct From<HandleArg> {
  static bool convert(PyObject* o, HandleArg& out);
};

// ---- method bodies (registered in handle.cpp) ----
PyObject* method_search(PyObject* self, Args& args);
PyObject* method_add(PyObject* self, Args& args);
PyObject* method_delete(PyObject* self, Args& args);
PyObject* method_flush(PyObject* self);
PyObject* method_sync(PyObject* self);
PyObject* method_build(PyObject* self, Args& args);

// The `pca` argument of build and merge: None -> none; otherwise exactly two float sequences
// [mean, comps]. False with the Python error set.
struct PcaArg {
  std::vector<float> mean, comps;
};
bool convert_pca(PyObject* o, std::optional<PcaArg>& out);

}  // namespace ivf_rabitq_py
