// Argument converters shared by the static methods over several sources. Everything here
// runs with the interpreter lock held; the objects that later code reads without it are
// held by owning references.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "ivf_rabitq/common/error.hpp"
#include "ivf_rabitq_py/binder/args.hpp"
#include "ivf_rabitq_py/binder/errors.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"

namespace ivf_rabitq_py::fuse {

// TypeError "expected {what}, got {type}", the binder's own wording; returns false.
bool expected(const char* what, PyObject* o);

// A tuple of exactly n items: false with TypeError (not a tuple) or ValueError "expected
// tuple of length {n}, but got tuple of length {m}".
bool tuple_of(PyObject* o, Py_ssize_t n);

// A double through Python's float conversion (ints and objects with __float__ included).
struct F64 {
  double v = 0.0;
};
// A signed 64-bit integer (int or __index__; OverflowError beyond the range).
struct I64 {
  int64_t v = 0;
};

// A RabitqIndex source, held by an owning reference for the whole call: another thread may
// drop the caller's list while the interpreter lock is released.
struct OwnedHandle {
  Ref obj;
  RabitqIndex* handle = nullptr;
};

// A bytes object (or subclass), held, with its buffer.
struct OwnedBytes {
  Ref obj;
  BytesView view;
};

// The handles' dims, in source order (for `source_queries`).
std::vector<uint32_t> dims_of(const std::vector<OwnedHandle>& sources);

// Opens every source in order through the handle's read path (50 ms cached staleness check,
// reopen when stale); the first failure stops. Interpreter lock released.
ivf_rabitq::Result<std::vector<IndexPtr>, PyErrValue> open_sources(const std::vector<OwnedHandle>& sources);

// Raw pointers to the opened indexes, for the engine's span parameters.
std::vector<const ivf_rabitq::index::IvfIndex*> raw(const std::vector<IndexPtr>& opened);

}  // namespace ivf_rabitq_py::fuse

namespace ivf_rabitq_py {

template <>
struct From<fuse::F64> {
  static bool convert(PyObject* o, fuse::F64& out);
};
template <>
struct From<fuse::I64> {
  static bool convert(PyObject* o, fuse::I64& out);
};
template <>
struct From<fuse::OwnedHandle> {
  static bool convert(PyObject* o, fuse::OwnedHandle& out);
};
template <>
struct From<fuse::OwnedBytes> {
  static bool convert(PyObject* o, fuse::OwnedBytes& out);
};

}  // namespace ivf_rabitq_py
