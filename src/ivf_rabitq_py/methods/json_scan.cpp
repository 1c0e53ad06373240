// Module functions of the JSON structural scanner: `scan_json_chunk`, `scan_json_text` and
// `scan_json_texts`. Conversion runs with the interpreter lock held; the scan of one input of
// kReleaseBytes or more runs with it released, on bytes owned by a reference this call holds
// (the bound argument, or the list/tuple/iterator item), so another thread dropping or
// replacing its own reference cannot free them.
#include <atomic>

#include "ivf_rabitq_py/methods/functions.hpp"
#include "json_scan/scan.hpp"

namespace json_scan {

namespace {

using ivf_rabitq_py::Ref;

// Inputs below this size are scanned with the interpreter lock held: releasing and
// re-taking it would cost more than the scan.
constexpr size_t kReleaseBytes = 16384;

#ifdef TANDREL_TEST_HOOKS
std::atomic<uint64_t> g_releases{0};
#endif

ScanResult scan_input(const char* data, size_t len, uint8_t state) {
  if (len < kReleaseBytes) return scan(data, len, state);
#ifdef TANDREL_TEST_HOOKS
  g_releases.fetch_add(1, std::memory_order_relaxed);
#endif
  return ivf_rabitq_py::without_gil([&] { return scan(data, len, state); });
}

// Adds the counts of one text, scanned from outside strings, to `totals`. `item` is owned by
// the caller for the duration. False with the Python error set when it is not a str or has
// no UTF-8 encoding (a lone surrogate).
bool add_json_text(PyObject* item, Counts& totals) {
  ivf_rabitq_py::StrView text;
  if (!ivf_rabitq_py::From<ivf_rabitq_py::StrView>::convert(item, text)) return false;
  totals += scan_input(text.text.data(), text.text.size(), 0).counts;
  return true;
}

PyObject* counts_tuple(const Counts& c) {
  return Py_BuildValue("(KKK)", static_cast<unsigned long long>(c.commas),
                       static_cast<unsigned long long>(c.openers), static_cast<unsigned long long>(c.colons));
}

// `state` as a signed 64-bit integer; the conversion errors name the argument.
bool state_arg(PyObject* o, int64_t& out) {
  Ref idx = Ref::steal(PyNumber_Index(o));
  if (!idx) return ivf_rabitq_py::wrap_arg_error("state");
  const long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      ivf_rabitq_py::raise(ivf_rabitq_py::PyExc::OverflowError,
                           "argument 'state': int too big to convert to a signed 64-bit integer");
      return false;
    }
    return ivf_rabitq_py::wrap_arg_error("state");
  }
  out = v;
  return true;
}

}  // namespace

}  // namespace json_scan

namespace ivf_rabitq_py {

PyObject* scan_json_chunk(PyObject* /*module*/, Args& args) {
  BytesView data;
  if (!args.get(0, data)) return nullptr;
  int64_t state = 0;
  if (args.given(1) && !json_scan::state_arg(args[1], state)) return nullptr;
  if (state < 0 || state > 3) return raise(PyExc::ValueError, "JSON scanner state must be in 0..3");
  // `data` stays alive while released: `args` holds a reference to the bytes object.
  const json_scan::ScanResult r = json_scan::scan_input(data.data, data.size, static_cast<uint8_t>(state));
  return Py_BuildValue("(KKKi)", static_cast<unsigned long long>(r.counts.commas),
                       static_cast<unsigned long long>(r.counts.openers),
                       static_cast<unsigned long long>(r.counts.colons), static_cast<int>(r.state));
}

PyObject* scan_json_text(PyObject* /*module*/, Args& args) {
  StrView text;
  if (!args.get(0, text)) return nullptr;
  return json_scan::counts_tuple(json_scan::scan_input(text.text.data(), text.text.size(), 0).counts);
}

PyObject* scan_json_texts(PyObject* /*module*/, Args& args) {
  PyObject* texts = args[0];
  if (PyUnicode_Check(texts)) return raise(PyExc::TypeError, "expected an iterable of JSON strings");
  json_scan::Counts totals;
  if (PyList_Check(texts)) {
    // By index, without an iterator; the list may shrink while an item is scanned with the
    // interpreter lock released, so its length is read again after each item.
    const Py_ssize_t n = PyList_Size(texts);
    for (Py_ssize_t i = 0; i < n && i < PyList_Size(texts); ++i) {
      Ref item = Ref::borrow(PyList_GetItem(texts, i));
      if (!item || !json_scan::add_json_text(item.get(), totals)) return nullptr;
    }
  } else if (PyTuple_Check(texts)) {
    const Py_ssize_t n = PyTuple_Size(texts);
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref item = Ref::borrow(PyTuple_GetItem(texts, i));
      if (!item || !json_scan::add_json_text(item.get(), totals)) return nullptr;
    }
  } else {
    Ref it = Ref::steal(PyObject_GetIter(texts));
    if (!it) return nullptr;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
      if (!json_scan::add_json_text(item.get(), totals)) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
  }
  return json_scan::counts_tuple(totals);
}

#ifdef TANDREL_TEST_HOOKS
uint64_t json_scan_gil_releases() { return json_scan::g_releases.load(std::memory_order_relaxed); }
#endif

}  // namespace ivf_rabitq_py
