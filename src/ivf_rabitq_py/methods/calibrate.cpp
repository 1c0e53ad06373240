// Choosing the probe count for a target recall.
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_calibrate_nprobe_doc = "";
PyObject* method_calibrate_nprobe(PyObject* /*self*/, Args& /*args*/) { return not_available("calibrate_nprobe"); }

}  // namespace ivf_rabitq_py
