// Test-hook counters of the static methods over several sources.
#pragma once

#include <cstdint>

namespace ivf_rabitq_py::fuse {

// How many `tdql_fuse` calls released the interpreter lock (at most once each).
uint64_t fuse_gil_releases();
// How many `distances_to_many` calls released it.
uint64_t distances_gil_releases();

}  // namespace ivf_rabitq_py::fuse
