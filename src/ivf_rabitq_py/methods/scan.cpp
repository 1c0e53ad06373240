// Filtered scans: ids, counts and existence of rows matching a filter.
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_ids_matching_doc = "";
PyObject* method_ids_matching(PyObject* /*self*/, Args& /*args*/) { return not_available("ids_matching"); }

const char* const method_count_matching_doc = "";
PyObject* method_count_matching(PyObject* /*self*/, Args& /*args*/) { return not_available("count_matching"); }

const char* const method_exists_matching_doc = "";
PyObject* method_exists_matching(PyObject* /*self*/, Args& /*args*/) { return not_available("exists_matching"); }

const char* const method_ids_matching_limit_doc = "";
PyObject* method_ids_matching_limit(PyObject* /*self*/, Args& /*args*/) { return not_available("ids_matching_limit"); }

}  // namespace ivf_rabitq_py
