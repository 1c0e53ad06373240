// Lookups by id: metadata texts, presence, vectors, sparse terms, per-value counts.
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_get_meta_doc = "";
PyObject* method_get_meta(PyObject* /*self*/, Args& /*args*/) { return not_available("get_meta"); }

const char* const method_get_meta_bounded_doc = "";
PyObject* method_get_meta_bounded(PyObject* /*self*/, Args& /*args*/) { return not_available("get_meta_bounded"); }

const char* const method_has_ids_doc = "";
PyObject* method_has_ids(PyObject* /*self*/, Args& /*args*/) { return not_available("has_ids"); }

const char* const method_get_vectors_doc = "";
PyObject* method_get_vectors(PyObject* /*self*/, Args& /*args*/) { return not_available("get_vectors"); }

const char* const method_get_sparse_doc = "";
PyObject* method_get_sparse(PyObject* /*self*/, Args& /*args*/) { return not_available("get_sparse"); }

const char* const method_aggregate_by_ids_doc = "";
PyObject* method_aggregate_by_ids(PyObject* /*self*/, Args& /*args*/) { return not_available("aggregate_by_ids"); }

}  // namespace ivf_rabitq_py
