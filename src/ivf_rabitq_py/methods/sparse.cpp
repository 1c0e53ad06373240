// Sparse search and hybrid (dense + sparse) search with rank fusion.
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_search_hybrid_doc = "";
PyObject* method_search_hybrid(PyObject* /*self*/, Args& /*args*/) { return not_available("search_hybrid"); }

const char* const method_sparse_search_doc = "";
PyObject* method_sparse_search(PyObject* /*self*/, Args& /*args*/) { return not_available("sparse_search"); }

}  // namespace ivf_rabitq_py
