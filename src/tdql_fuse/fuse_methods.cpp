// Static methods over several sources: fusion of hit lists, batched distances, metadata status.
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_distances_to_many_doc = "";
PyObject* method_distances_to_many(PyObject* /*self*/, Args& /*args*/) { return not_available("distances_to_many"); }

const char* const method_tdql_fuse_doc = "";
PyObject* method_tdql_fuse(PyObject* /*self*/, Args& /*args*/) { return not_available("tdql_fuse"); }

const char* const method_meta_status_across_doc = "";
PyObject* method_meta_status_across(PyObject* /*self*/, Args& /*args*/) { return not_available("meta_status_across"); }

const char* const method_meta_status_columns_doc = "";
PyObject* method_meta_status_columns(PyObject* /*self*/, Args& /*args*/) { return not_available("meta_status_columns"); }

}  // namespace ivf_rabitq_py
