// Compaction, re-clustering and integrity verification of the handle's segment.
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_compact_doc = "";
PyObject* method_compact(PyObject* /*self*/) { return not_available("compact"); }

const char* const method_rebuild_doc = "";
PyObject* method_rebuild(PyObject* /*self*/, Args& /*args*/) { return not_available("rebuild"); }

const char* const method_verify_integrity_doc = "";
PyObject* method_verify_integrity(PyObject* /*self*/) { return not_available("verify_integrity"); }

}  // namespace ivf_rabitq_py
