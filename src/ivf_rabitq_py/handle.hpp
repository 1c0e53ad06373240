// The Python handle `RabitqIndex` on one segment directory: its record, the heap type that
// carries it, the constructor and `close`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "ivf_rabitq_py/args.hpp"
#include "ivf_rabitq_py/py.hpp"

namespace ivf_rabitq_py {

// The handle record. `path`, `dim`, `n_bits` and `skip` never change after construction.
// The open-index slot (`inner`, `generation`, `durability`, `wal_sync_ms`, `gen_check`, each
// behind its own mutex) joins this record together with the engine's open index.
struct RabitqIndex {
  std::filesystem::path path;                   // the segment directory `<path>`
  std::string path_arg;                         // the `path` argument as given (for messages)
  uint32_t dim = 0;                             // at least 1
  uint32_t n_bits = 2;                          // not validated here
  std::optional<std::set<std::string>> skip;    // metadata fields kept out of typed columns
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

}  // namespace ivf_rabitq_py
