#include "tdql_fuse/convert.hpp"

namespace ivf_rabitq_py::fuse {

bool expected(const char* what, PyObject* o) {
  raise(PyExc::TypeError, std::string("expected ") + what + ", got " + type_name(o));
  return false;
}

bool tuple_of(PyObject* o, Py_ssize_t n) {
  if (!PyTuple_Check(o)) return expected("tuple", o);
  const Py_ssize_t m = PyTuple_Size(o);
  if (m < 0) return false;
  if (m != n) {
    raise(PyExc::ValueError,
          "expected tuple of length " + std::to_string(n) + ", but got tuple of length " + std::to_string(m));
    return false;
  }
  return true;
}

std::vector<uint32_t> dims_of(const std::vector<OwnedHandle>& sources) {
  std::vector<uint32_t> dims;
  dims.reserve(sources.size());
  for (const auto& s : sources) dims.push_back(s.handle->dim);
  return dims;
}

ivf_rabitq::Result<std::vector<IndexPtr>, PyErrValue> open_sources(const std::vector<OwnedHandle>& sources) {
  std::vector<IndexPtr> out;
  out.reserve(sources.size());
  for (const auto& s : sources) {
    auto opened = s.handle->opened_search();
    if (!opened) return std::move(opened).error();
    out.push_back(std::move(opened).value());
  }
  return out;
}

std::vector<const ivf_rabitq::index::IvfIndex*> raw(const std::vector<IndexPtr>& opened) {
  std::vector<const ivf_rabitq::index::IvfIndex*> out;
  out.reserve(opened.size());
  for (const auto& p : opened) out.push_back(p.get());
  return out;
}

}  // namespace ivf_rabitq_py::fuse

namespace ivf_rabitq_py {

bool From<fuse::F64>::convert(PyObject* o, fuse::F64& out) {
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out.v = d;
  return true;
}

bool From<fuse::I64>::convert(PyObject* o, fuse::I64& out) {
  Ref idx = Ref::steal(PyNumber_Index(o));
  if (!idx) return false;
  const long long v = PyLong_AsLongLong(idx.get());
  if (v == -1 && PyErr_Occurred()) return false;
  out.v = v;
  return true;
}

bool From<fuse::OwnedHandle>::convert(PyObject* o, fuse::OwnedHandle& out) {
  HandleArg h;
  if (!From<HandleArg>::convert(o, h)) return false;
  out.obj = Ref::borrow(h.obj);
  out.handle = h.handle;
  return true;
}

bool From<fuse::OwnedBytes>::convert(PyObject* o, fuse::OwnedBytes& out) {
  if (!From<BytesView>::convert(o, out.view)) return false;
  out.obj = Ref::borrow(o);
  return true;
}

}  // namespace ivf_rabitq_py
