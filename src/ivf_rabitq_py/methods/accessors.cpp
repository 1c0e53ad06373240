// Counters and stored parameters of the open segment. count, stats, fit_count and
// quant_scale answer from the index the handle holds (zeros without one) and never touch the
// disk; format_version and pca_basis go through the staleness-checked open.
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"

namespace ivf_rabitq_py {

const char* const method_count_doc = "";
PyObject* method_count(PyObject* self) {
  RabitqIndex& h = handle_of(self);
  uint64_t n = 0;
  {
    std::lock_guard<std::mutex> g(h.inner_m);
    if (h.inner) n = h.inner->live_count();
  }
  return PyLong_FromUnsignedLongLong(n);
}

const char* const method_stats_doc = "(main_count, delta_count, deleted_count) for maintenance/auto-vacuum policy.";
PyObject* method_stats(PyObject* self) {
  RabitqIndex& h = handle_of(self);
  uint64_t main_count = 0, delta_count = 0, deleted = 0;
  {
    std::lock_guard<std::mutex> g(h.inner_m);
    if (h.inner) {
      const auto c = h.inner->row_counts();
      main_count = c.main;
      delta_count = c.delta;
      deleted = c.deleted;
    }
  }
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(main_count),
                       static_cast<unsigned long long>(delta_count), static_cast<unsigned long long>(deleted));
}

const char* const method_fit_count_doc = "#vectors at the last k-means fit; auto-rebuild compares live_count to this.";
PyObject* method_fit_count(PyObject* self) {
  RabitqIndex& h = handle_of(self);
  uint64_t n = 0;
  {
    std::lock_guard<std::mutex> g(h.inner_m);
    if (h.inner) n = h.inner->manifest.fit_count;
  }
  return PyLong_FromUnsignedLongLong(n);
}

const char* const method_quant_scale_doc =
    "The int8 quantization scale (lets the LSM reuse one global scale across\n"
    "segments so reranked distances are directly comparable when merging).";
PyObject* method_quant_scale(PyObject* self) {
  RabitqIndex& h = handle_of(self);
  float q = 0.0f;
  {
    std::lock_guard<std::mutex> g(h.inner_m);
    if (h.inner) q = h.inner->manifest.quant_scale;
  }
  return PyFloat_FromDouble(static_cast<double>(q));
}

const char* const method_format_version_doc =
    "The on-disk format version this index was opened at, and the version this build\n"
    "writes. An index below the current version reads under its OWN conventions (older\n"
    "rotator, untyped metadata dictionary keys, one segment-wide rerank scale) and is\n"
    "never migrated in place; the LSM uses this to find segments worth rewriting when\n"
    "`rebuild()` asks for the current format.";
PyObject* method_format_version(PyObject* self) {
  IndexPtr ix = handle_of(self).opened_off_gil();
  if (!ix) return nullptr;
  const unsigned long v = ix->format_version;
  ix.reset();
  return Py_BuildValue("(kk)", v, 3ul);
}

const char* const method_pca_basis_doc =
    "Persisted PCA basis (mean[dim], comps[3*dim]) computed at build time, or\n"
    "None if absent. iter_pca_3d uses it to project without re-fitting per call.";
PyObject* method_pca_basis(PyObject* self) {
  IndexPtr ix = handle_of(self).opened_off_gil();
  if (!ix) return nullptr;
  if (ix->manifest.pca_mean.empty() || ix->manifest.pca_comps.empty()) return none();
  const std::vector<float> mean = ix->manifest.pca_mean, comps = ix->manifest.pca_comps;
  ix.reset();
  auto to_list = [](const std::vector<float>& v) -> PyObject* {
    PyObject* l = PyList_New(static_cast<Py_ssize_t>(v.size()));
    if (l == nullptr) return nullptr;
    for (size_t i = 0; i < v.size(); ++i) {
      PyObject* f = PyFloat_FromDouble(static_cast<double>(v[i]));
      if (f == nullptr) {
        Py_DECREF(l);
        return nullptr;
      }
      PyList_SetItem(l, static_cast<Py_ssize_t>(i), f);
    }
    return l;
  };
  PyObject* a = to_list(mean);
  if (a == nullptr) return nullptr;
  PyObject* b = to_list(comps);
  if (b == nullptr) {
    Py_DECREF(a);
    return nullptr;
  }
  return Py_BuildValue("(NN)", a, b);
}

}  // namespace ivf_rabitq_py
