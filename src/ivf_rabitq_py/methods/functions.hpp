// Bodies of the module-level functions of `tandrel` (registered in src/module.cpp).
#pragma once

#include "ivf_rabitq_py/binder/args.hpp"
#include "ivf_rabitq_py/binder/py.hpp"

namespace ivf_rabitq_py {

PyObject* merge_segments(PyObject* module, Args& args);
PyObject* slot_space_ok(PyObject* module, Args& args);
PyObject* ivf_open_count(PyObject* module);
PyObject* set_residency(PyObject* module, Args& args);
// methods/json_scan.cpp
PyObject* scan_json_chunk(PyObject* module, Args& args);
PyObject* scan_json_text(PyObject* module, Args& args);
PyObject* scan_json_texts(PyObject* module, Args& args);

#ifdef TANDREL_TEST_HOOKS
// `tandrel._probe(kind, *values)`: test-only access to the argument converters, validators,
// sibling paths and recovery (not in `__all__`; compiled only with test hooks).
PyObject* probe(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// How many JSON scans ran with the interpreter lock released (methods/json_scan.cpp).
uint64_t json_scan_gil_releases();
#endif

}  // namespace ivf_rabitq_py
