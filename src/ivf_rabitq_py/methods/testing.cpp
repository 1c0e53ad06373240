// Test-only entry point `tandrel._probe(kind, *values)`, compiled only with test hooks. It
// exposes the binding layer's pieces that no registered method reaches yet, so the Python
// tests can pin their conversions, messages and path handling.
#ifdef TANDREL_TEST_HOOKS

#include <stdexcept>
#include <string>
#include <vector>

#include "ivf_rabitq/common/fileops.hpp"
#include "ivf_rabitq/common/powerloss.hpp"
#include "ivf_rabitq_py/binder/args.hpp"
#include "ivf_rabitq_py/binder/errors.hpp"
#include "ivf_rabitq_py/methods/functions.hpp"
#include "ivf_rabitq_py/methods/methods.hpp"
#include "ivf_rabitq_py/handle/handle.hpp"
#include "ivf_rabitq_py/handle/lock_file.hpp"
#include "ivf_rabitq_py/handle/paths.hpp"

namespace ivf_rabitq_py {

namespace {

PyObject* floats_list(std::span<const float> v) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < v.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(v[i]);
    if (!f) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), f);
  }
  return list.release();
}

PyObject* pairs_list(const std::vector<SparsePair>& v) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& [t, w] : v) {
    Ref item = Ref::steal(Py_BuildValue("(kd)", static_cast<unsigned long>(t), static_cast<double>(w)));
    if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
  }
  return list.release();
}

template <class T>
bool convert_value(PyObject* value, T& out) {
  static const Signature sig = Signature::parse("_probe", "(value)");
  Args a;
  PyObject* pos[1] = {value};
  return a.bind(sig, pos, 1, nullptr) && a.get(0, out);
}

// A conversion of `value` to a native type, handed back as a Python value.
PyObject* conv(std::string_view type, PyObject* value) {
  if (type == "u32") {
    uint32_t v = 0;
    return convert_value(value, v) ? PyLong_FromUnsignedLong(v) : nullptr;
  }
  if (type == "u64") {
    uint64_t v = 0;
    return convert_value(value, v) ? PyLong_FromUnsignedLongLong(v) : nullptr;
  }
  if (type == "f32") {
    float v = 0;
    return convert_value(value, v) ? PyFloat_FromDouble(v) : nullptr;
  }
  if (type == "bool") {
    bool v = false;
    return convert_value(value, v) ? boolean(v) : nullptr;
  }
  if (type == "str") {
    std::string v;
    return convert_value(value, v) ? str_from(v).release() : nullptr;
  }
  if (type == "opt_str") {
    std::optional<std::string> v;
    if (!convert_value(value, v)) return nullptr;
    return v ? str_from(*v).release() : none();
  }
  if (type == "bytes") {
    BytesView v;
    return convert_value(value, v) ? PyLong_FromSize_t(v.size) : nullptr;
  }
  if (type == "str_list") {
    std::vector<std::string> v;
    if (!convert_value(value, v)) return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    for (const auto& s : v) {
      Ref item = str_from(s);
      if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
    }
    return list.release();
  }
  if (type == "f32_list") {
    std::vector<float> v;
    return convert_value(value, v) ? floats_list(v) : nullptr;
  }
  if (type == "sparse") {
    std::vector<SparsePair> v;
    return convert_value(value, v) ? pairs_list(v) : nullptr;
  }
  if (type == "sparse_rows") {
    std::vector<std::vector<SparsePair>> v;
    if (!convert_value(value, v)) return nullptr;
    return PyLong_FromSize_t(v.size());
  }
  return raise(PyExc::ValueError, "unknown conversion");
}

PyObject* raise_or_none(ivf_rabitq::Result<void, PyErrValue> r) {
  if (!r) return r.error().raise();
  return none();
}

PyObject* run(std::string_view kind, PyObject* const* v, size_t n) {
  auto need = [&](size_t k) {
    if (n != k) raise(PyExc::TypeError, "wrong number of probe values");
    return n == k;
  };
  if (kind.starts_with("conv:")) return need(1) ? conv(kind.substr(5), v[0]) : nullptr;
  if (kind == "vector") {
    uint64_t dim = 0;
    if (!need(2) || !From<uint64_t>::convert(v[1], dim)) return nullptr;
    std::vector<float> scratch;
    std::span<const float> out;
    if (!read_f32_vector(v[0], dim, scratch, out)) return nullptr;
    const bool in_place = !out.empty() && out.data() != scratch.data();
    Ref list = Ref::steal(floats_list(out));
    if (!list) return nullptr;
    return Py_BuildValue("(OO)", list.get(), in_place ? Py_True : Py_False);
  }
  if (kind == "finite_vec" || kind == "finite_query") {
    std::vector<float> q;
    std::string label;
    if (!need(kind == "finite_vec" ? 2 : 1) || !From<std::vector<float>>::convert(v[0], q)) return nullptr;
    if (kind == "finite_query") return raise_or_none(require_finite(q));
    if (!From<std::string>::convert(v[1], label)) return nullptr;
    return raise_or_none(require_finite_vec(q, label));
  }
  if (kind == "sparse_query" || kind == "sparse_write") {
    std::vector<SparsePair> p;
    if (!need(1) || !From<std::vector<SparsePair>>::convert(v[0], p)) return nullptr;
    return raise_or_none(kind == "sparse_query" ? require_finite_sparse(p) : require_finite_sparse_write(p));
  }
  if (kind == "source_queries") {
    std::vector<HandleArg> sources;
    BytesView bytes;
    if (!need(2) || !From<std::vector<HandleArg>>::convert(v[0], sources)) return nullptr;
    std::vector<uint32_t> dims;
    for (const auto& s : sources) dims.push_back(s.handle->dim);
    // The bytes object is not examined at all when there are no sources.
    if (!dims.empty() && !From<BytesView>::convert(v[1], bytes)) return nullptr;
    auto r = source_queries(dims, bytes.data, bytes.size);
    if (!r) return r.error().raise();
    return floats_list(r.value());
  }
  if (kind == "search_err") {
    std::string k, text;
    if (!need(2) || !From<std::string>::convert(v[0], k) || !From<std::string>::convert(v[1], text)) return nullptr;
    // The three failures of the query paths, built without the interpreter lock as those
    // paths build them, raised with it.
    PyErrValue pe = without_gil([&] {
      return k == "io" ? io_err(std::move(text)) : k == "invalid" ? value_err(std::move(text)) : runtime_err(std::move(text));
    });
    return pe.raise();
  }
  if (kind == "io_os" || kind == "io_by_kind" || kind == "render_io_os") {
    uint32_t err = 0;
    if (!need(1) || !From<uint32_t>::convert(v[0], err)) return nullptr;
    const auto e = ivf_rabitq::IoError::os(static_cast<int>(err));
    if (kind == "io_os") return io_err(e).raise();
    if (kind == "io_by_kind") return io_err_by_kind(e).raise();
    return str_from(io_err(e).render()).release();
  }
  if (kind == "io_msg") {
    std::string text;
    if (!need(1) || !From<std::string>::convert(v[0], text)) return nullptr;
    return io_err(ivf_rabitq::IoError::msg(ivf_rabitq::ErrorKind::InvalidData, text)).raise();
  }
  if (kind == "render_exc") {
    if (!need(1)) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(v[0])), v[0]);
    // Rendered from a thread that released the interpreter lock; the error indicator is
    // consumed.
    std::string text = without_gil([] { return render_current_exception(); });
    return str_from(text).release();
  }
  if (kind == "panic") throw std::runtime_error("probe panic");
  if (kind == "panic_nogil") {
    without_gil([] { throw std::logic_error("probe panic without the interpreter lock"); });
    return none();
  }
  if (kind == "oom") throw std::bad_alloc();
  if (kind == "json_scan_releases") return PyLong_FromUnsignedLongLong(json_scan_gil_releases());
  if (kind == "fuse_releases") return PyLong_FromUnsignedLongLong(FUSE_GIL_RELEASES.load(std::memory_order_relaxed));
  if (kind == "distances_releases") return PyLong_FromUnsignedLongLong(DISTANCES_GIL_RELEASES.load(std::memory_order_relaxed));
  if (kind == "sibling") {
    std::string suffix;
    if (!need(2) || !From<std::string>::convert(v[1], suffix)) return nullptr;
    std::string path;
    if (PyBytes_Check(v[0])) {
      BytesView b;
      if (!From<BytesView>::convert(v[0], b)) return nullptr;
      path.assign(b.data, b.size);
    } else if (!From<std::string>::convert(v[0], path)) {
      return nullptr;
    }
    const std::string out = sibling(path, suffix).native();
    return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
  }
  if (kind == "recover" || kind == "heal") {
    std::string path;
    if (!need(1) || !From<std::string>::convert(v[0], path)) return nullptr;
    if (kind == "recover") {
      auto st = without_gil([&] { return recover(path); });
      if (!st) return io_err(st.error()).raise();
      return none();
    }
    auto r = without_gil([&] { return heal_orphaned_compaction(path); });
    if (!r) return io_err(r.error()).raise();
    return boolean(r.value());
  }
  if (kind == "guard") {
    // Holds `<path>.lock` in the given mode while calling back into Python.
    std::string path, mode;
    if (!need(3) || !From<std::string>::convert(v[0], path) || !From<std::string>::convert(v[1], mode)) return nullptr;
    auto guard = without_gil([&] {
      return mode == "shared" ? FileLockGuard::shared(path) : FileLockGuard::exclusive(path);
    });
    if (!guard) return io_err(guard.error()).raise();
    return PyObject_CallNoArgs(v[2]);
  }
  if (kind == "quote") {
    std::string text;
    if (!need(1) || !From<std::string>::convert(v[0], text)) return nullptr;
    return str_from(quote_path(text)).release();
  }
  if (kind == "fmt_exp") {
    if (!need(1)) return nullptr;
    const double d = PyFloat_AsDouble(v[0]);
    if (d == -1.0 && PyErr_Occurred()) return nullptr;
    return str_from(fmt_f64_exp(d)).release();
  }
  if (kind == "powerloss" || kind == "powerloss_restore") {
    // "powerloss": records what each sync under ROOT makes durable into JOURNAL from now on;
    // "powerloss_restore": rebuilds ROOT as a power cut would have left it (SEED != 0 tears
    // the unsynced tails).
    std::string root, journal;
    uint64_t seed = 0;
    const size_t n = kind == "powerloss" ? 2 : 3;
    if (!need(n) || !From<std::string>::convert(v[0], root) || !From<std::string>::convert(v[1], journal)) {
      return nullptr;
    }
    if (n == 3 && !From<uint64_t>::convert(v[2], seed)) return nullptr;
    auto st = without_gil([&] {
      return kind == "powerloss" ? ivf_rabitq::powerloss::start(root, journal)
                                 : ivf_rabitq::powerloss::restore(root, journal, seed);
    });
    if (!st) return io_err(st.error()).raise();
    return none();
  }
  if (kind == "faults") {
    // Arms file-operation faults ("fdatasync:1:EIO", see fileops::arm_from_spec); an empty
    // text disarms every fault.
    std::string spec;
    if (!need(1) || !From<std::string>::convert(v[0], spec)) return nullptr;
    if (spec.empty()) {
      ivf_rabitq::fileops::disarm_all();
      return none();
    }
    if (auto st = ivf_rabitq::fileops::arm_from_spec(spec); !st) return io_err(st.error()).raise();
    return none();
  }
  if (kind == "calls") {
    // Calls of one file operation counted since counting started ("fsync", "rename", ...);
    // `_probe("calls", None)` starts counting from zero.
    if (!need(1)) return nullptr;
    if (v[0] == Py_None) {
      ivf_rabitq::fileops::disarm_all();
      ivf_rabitq::fileops::set_counting(true);
      return none();
    }
    std::string op;
    if (!From<std::string>::convert(v[0], op)) return nullptr;
    for (size_t i = 0; i < ivf_rabitq::fileops::kOpCount; ++i) {
      const auto o = static_cast<ivf_rabitq::fileops::Op>(i);
      if (op == ivf_rabitq::fileops::op_name(o)) return PyLong_FromUnsignedLongLong(ivf_rabitq::fileops::calls(o));
    }
    return raise(PyExc::ValueError, "unknown file operation");
  }
  if (kind == "state") {
    // The handle's view of its segment: (holds an index, generation it reflects, the held
    // index's wal_bytes, fsync_failed).
    if (!need(1) || !is_rabitq_index(v[0])) return raise(PyExc::TypeError, "expected RabitqIndex");
    RabitqIndex& h = handle_of(v[0]);
    IndexPtr ix = h.current();
    uint64_t g;
    {
      std::lock_guard<std::mutex> lk(h.generation_m);
      g = h.generation.generation;
    }
    return Py_BuildValue("(OKKO)", ix ? Py_True : Py_False, static_cast<unsigned long long>(g),
                         static_cast<unsigned long long>(ix ? ix->wal_bytes.load() : 0),
                         ix && ix->fsync_failed.load() ? Py_True : Py_False);
  }
  return raise(PyExc::ValueError, "unknown probe kind");
}

}  // namespace

PyObject* probe(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&]() -> PyObject* {
    std::string kind;
    if (nargs < 1 || !From<std::string>::convert(args[0], kind)) {
      if (!PyErr_Occurred()) raise(PyExc::TypeError, "_probe(kind, *values)");
      return nullptr;
    }
    return run(kind, args + 1, static_cast<size_t>(nargs - 1));
  });
}

}  // namespace ivf_rabitq_py

#endif  // TANDREL_TEST_HOOKS
