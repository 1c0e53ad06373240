// Entry point of the extension module `tandrel`: creates the module, registers the class
// `RabitqIndex` and the module functions, and refuses a second initialisation in the same
// process. Importing does nothing else: no thread, no environment read, no file.
#include "ivf_rabitq_py/methods/functions.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/binder/methods.hpp"
#include "ivf_rabitq_py/binder/py.hpp"

namespace {

using namespace ivf_rabitq_py;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tandrel",
    "",  // empty docstring
    -1,  // no per-module state; single-phase initialisation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

constexpr const char* kSlotSpaceOkDoc =
    "Slot-space capacity check exposed for testing the fail-closed overflow guard\n"
    "(`current + adding < u32::MAX`) \xE2\x80\x94 allocating billions of rows to trip it in a\n"
    "test is infeasible, so the checked-arithmetic helper is verified directly.";
constexpr const char* kOpenCountDoc =
    "Total `IvfIndex::open()` calls this process has made \xE2\x80\x94 test hook for TD-R1 to\n"
    "assert that a single-process flush avoids a full reopen+replay while a foreign\n"
    "append forces one.";
constexpr const char* kSetResidencyDoc =
    "Set the process-global residency policy (prewarm / mlock of hot scan files). The\n"
    "Python auto-residency calls this instead of mutating os.environ \xE2\x80\x94 mmap opens run\n"
    "GIL-free and reading an env var they set from another thread is a setenv/getenv\n"
    "data race. Takes effect on the next (re)open; overrides the env seed.";
constexpr const char* kScanJsonChunkDoc =
    "Return `(commas, openers, colons, next_state)` for a JSON byte chunk.\n"
    "State bit 0 means inside a string; bit 1 means an odd trailing backslash run.";
constexpr const char* kScanJsonTextDoc = "Return `(commas, openers, colons)` outside quoted strings in a JSON text.";
constexpr const char* kScanJsonTextsDoc =
    "Aggregate independent JSON texts with one Python-to-native call and no joined copy.\n"
    "Lists and tuples avoid Python iterator allocation; other iterables stream itemwise.";

// Module functions, in the order they are added (and listed in `__all__`).
const MethodDecl kFunctions[] = {
    keyword<"merge_segments", "(out, dirs, tombstones, n_clusters, scale, skip, pca, n_bits, seed=42)",
            merge_segments>(""),
    keyword<"slot_space_ok", "(current, adding)", slot_space_ok>(kSlotSpaceOkDoc),
    no_args<"ivf_open_count", "()", ivf_open_count>(kOpenCountDoc),
    keyword<"set_residency", "(prewarm, mlock)", set_residency>(kSetResidencyDoc),
    keyword<"scan_json_chunk", "(data, state=0)", scan_json_chunk>(kScanJsonChunkDoc),
    keyword<"scan_json_text", "(text)", scan_json_text>(kScanJsonTextDoc),
    keyword<"scan_json_texts", "(texts)", scan_json_texts>(kScanJsonTextsDoc),
};

// Appends `name` to the module's `__all__` (created on first use) and sets the attribute.
bool add_object(PyObject* module, PyObject* name, PyObject* obj) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
  } else if (!PyList_Check(all.get())) {
    raise(PyExc::TypeError, "`__all__` must be a list");
    return false;
  }
  if (PyList_Append(all.get(), name) != 0) return false;
  return PyObject_SetAttr(module, name, obj) == 0;
}

bool init_module(PyObject* module) {
  PyObject* type = rabitq_index_type();
  if (!type) return false;
  Ref type_name_obj = str_from("RabitqIndex");
  if (!type_name_obj || !add_object(module, type_name_obj.get(), type)) return false;

  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  static PyMethodDef* defs = method_defs(kFunctions);
  for (size_t i = 0; i < std::size(kFunctions); ++i) {
    Ref fn = Ref::steal(PyCFunction_NewEx(&defs[i], module, module_name.get()));
    if (!fn) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
    if (!name || !add_object(module, name.get(), fn.get())) return false;
  }

#ifdef TANDREL_TEST_HOOKS
  static PyMethodDef probe_def = {"_probe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&probe)),
                                  METH_FASTCALL, nullptr};
  Ref probe_fn = Ref::steal(PyCFunction_NewEx(&probe_def, module, module_name.get()));
  if (!probe_fn || PyObject_SetAttrString(module, "_probe", probe_fn.get()) != 0) return false;
#endif
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_tandrel(void) {
  return guarded([]() -> PyObject* {
    // The module object of the first successful initialisation; never released.
    static PyObject* initialised = nullptr;
    if (initialised) {
      return raise(PyExc::ImportError, "the tandrel module may be initialized only once per interpreter process");
    }
    Ref module = Ref::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    if (!init_module(module.get())) return nullptr;
    initialised = module.new_ref();
    return module.release();
  });
}
