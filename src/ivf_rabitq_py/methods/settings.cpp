// Durability settings of the handle's log and its sync counter.
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_set_durability_doc = "";
PyObject* method_set_durability(PyObject* /*self*/, Args& /*args*/) { return not_available("set_durability"); }

const char* const method_set_wal_sync_ms_doc = "";
PyObject* method_set_wal_sync_ms(PyObject* /*self*/, Args& /*args*/) { return not_available("set_wal_sync_ms"); }

const char* const method_wal_sync_count_doc = "";
PyObject* method_wal_sync_count(PyObject* /*self*/) { return not_available("wal_sync_count"); }

}  // namespace ivf_rabitq_py
