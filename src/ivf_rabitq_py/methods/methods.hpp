// Bodies and docstring prose of the class methods of `RabitqIndex`, one file per group:
//   methods/search.cpp     `search`
//   methods/write.cpp      `add`, `delete`
//   handle/maintain.cpp    `build`, `flush`, `sync` (with the locked build and the swap)
//   methods/maintain.cpp   `compact`, `rebuild`, `verify_integrity`
//   methods/settings.cpp   `set_durability`, `set_wal_sync_ms`, `wal_sync_count`
//   methods/accessors.cpp  `count`, `stats`, `fit_count`, `quant_scale`, `format_version`,
//                          `pca_basis`
//   methods/sparse.cpp     `search_hybrid`, `sparse_search`
//   methods/calibrate.cpp  `calibrate_nprobe`
//   methods/scan.cpp       `ids_matching`, `count_matching`, `exists_matching`,
//                          `ids_matching_limit`
//   methods/lookup.cpp     `get_meta`, `get_meta_bounded`, `has_ids`, `get_vectors`,
//                          `get_sparse`, `aggregate_by_ids`
//   src/tdql_fuse/         the static `tdql_fuse`, `distances_to_many`,
//                          `meta_status_across`, `meta_status_columns`
// The table that registers them, in the class's order, is in handle/handle.cpp.
#pragma once

#include <atomic>
#include <cstdint>

#include "ivf_rabitq_py/binder/args.hpp"
#include "ivf_rabitq_py/binder/py.hpp"

namespace ivf_rabitq_py {

// Filter texts that mean "no filter": absent, None, the empty text and "null".
inline bool no_filter(const std::optional<StrView>& f) { return !f || f->text.empty() || f->text == "null"; }

#define TANDREL_KEYWORD_METHOD(fn) \
  PyObject* fn(PyObject* self, Args& args); \
  extern const char* const fn##_doc;
#define TANDREL_NOARGS_METHOD(fn) \
  PyObject* fn(PyObject* self); \
  extern const char* const fn##_doc;

// methods/maintain.cpp
TANDREL_NOARGS_METHOD(method_compact)
TANDREL_KEYWORD_METHOD(method_rebuild)
TANDREL_NOARGS_METHOD(method_verify_integrity)
// methods/settings.cpp
TANDREL_KEYWORD_METHOD(method_set_durability)
TANDREL_KEYWORD_METHOD(method_set_wal_sync_ms)
TANDREL_NOARGS_METHOD(method_wal_sync_count)
// methods/accessors.cpp
TANDREL_NOARGS_METHOD(method_count)
TANDREL_NOARGS_METHOD(method_stats)
TANDREL_NOARGS_METHOD(method_fit_count)
TANDREL_NOARGS_METHOD(method_quant_scale)
TANDREL_NOARGS_METHOD(method_format_version)
TANDREL_NOARGS_METHOD(method_pca_basis)
// methods/sparse.cpp
TANDREL_KEYWORD_METHOD(method_search_hybrid)
TANDREL_KEYWORD_METHOD(method_sparse_search)
// methods/calibrate.cpp
TANDREL_KEYWORD_METHOD(method_calibrate_nprobe)
// methods/scan.cpp
TANDREL_KEYWORD_METHOD(method_ids_matching)
TANDREL_KEYWORD_METHOD(method_count_matching)
TANDREL_KEYWORD_METHOD(method_exists_matching)
TANDREL_KEYWORD_METHOD(method_ids_matching_limit)
// methods/lookup.cpp
TANDREL_KEYWORD_METHOD(method_get_meta)
TANDREL_KEYWORD_METHOD(method_get_meta_bounded)
TANDREL_KEYWORD_METHOD(method_has_ids)
TANDREL_KEYWORD_METHOD(method_get_vectors)
TANDREL_KEYWORD_METHOD(method_get_sparse)
TANDREL_KEYWORD_METHOD(method_aggregate_by_ids)
// src/tdql_fuse/ (static methods: `self` is null)
TANDREL_KEYWORD_METHOD(method_distances_to_many)
TANDREL_KEYWORD_METHOD(method_tdql_fuse)
TANDREL_KEYWORD_METHOD(method_meta_status_across)
TANDREL_KEYWORD_METHOD(method_meta_status_columns)
// Counted by those static methods, read by the test hooks (`_probe`): how many `tdql_fuse`
// calls released the interpreter lock (at most once each), and how many `distances_to_many`
// calls did.
inline std::atomic<uint64_t> FUSE_GIL_RELEASES{0};
inline std::atomic<uint64_t> DISTANCES_GIL_RELEASES{0};

#undef TANDREL_KEYWORD_METHOD
#undef TANDREL_NOARGS_METHOD

}  // namespace ivf_rabitq_py
