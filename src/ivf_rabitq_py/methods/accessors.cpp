// Counters and stored parameters of the open segment.
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_count_doc = "";
PyObject* method_count(PyObject* /*self*/) { return not_available("count"); }

const char* const method_stats_doc = "";
PyObject* method_stats(PyObject* /*self*/) { return not_available("stats"); }

const char* const method_fit_count_doc = "";
PyObject* method_fit_count(PyObject* /*self*/) { return not_available("fit_count"); }

const char* const method_quant_scale_doc = "";
PyObject* method_quant_scale(PyObject* /*self*/) { return not_available("quant_scale"); }

const char* const method_format_version_doc = "";
PyObject* method_format_version(PyObject* /*self*/) { return not_available("format_version"); }

const char* const method_pca_basis_doc = "";
PyObject* method_pca_basis(PyObject* /*self*/) { return not_available("pca_basis"); }

}  // namespace ivf_rabitq_py
