// Entry point of the extension module `tandrel`.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tandrel",
    nullptr,
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_tandrel(void) { return PyModule_Create(&g_module_def); }
